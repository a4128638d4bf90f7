// Resume: reattaching to a session whose replay is full, timed from the attach request to the
// whole `attached` line, beside a trivial server that answers every line with the same prebuilt
// line of the same size.

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "bench.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/unix_socket.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t REPLAY_LIMIT = 262144;

// Serves one connection at a time: every line it reads is answered with `reply`.
class TrivialServer {
 public:
  static Result<std::unique_ptr<TrivialServer>> start(const std::string& path, std::string reply) {
    auto listener = listen_owner_only(path, Threads::running);
    if (!listener) return listener.error();
    std::unique_ptr<TrivialServer> server(
        new TrivialServer(std::move(*listener), std::move(reply)));
    try {
      server->m_thread = std::thread([raw = server.get()] { raw->run(); });
    } catch (const std::system_error& failure) {
      return Error(std::string("failed to spawn thread: ") + failure.what());
    }
    return server;
  }
  TrivialServer(const TrivialServer&) = delete;
  TrivialServer& operator=(const TrivialServer&) = delete;
  ~TrivialServer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  TrivialServer(OwnedFd listener, std::string reply)
      : m_listener(std::move(listener)), m_reply(std::move(reply)) {}

  void run() {
    while (!m_stop) {
      if (!wait_readable(m_listener.get(), Clock::now() + 100ms)) continue;
      OwnedFd accepted(::accept(m_listener.get(), nullptr, nullptr));
      if (!accepted) continue;
      auto connection = LineConnection::adopt(std::move(accepted));
      if (!connection) continue;
      while (!m_stop) {
        auto line = connection->read_line(Clock::now() + 100ms);
        if (!line) {
          if (line.error().text() == "timed out") continue;
          break;
        }
        if (!connection->send_all(m_reply)) break;
      }
    }
  }

  OwnedFd m_listener;
  std::string m_reply;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace

void measure_resume(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "resume, full replay";
  progress("%s: %d resumes", name.c_str(), options.resume_count);
  auto file = workspace.text_file("replay.txt", REPLAY_LIMIT + REPLAY_LIMIT / 4);
  if (!file) return report.failed(name, file.error().text());
  auto daemon = workspace.start_daemon(options, "resume");
  if (!daemon) return report.failed(name, daemon.error().text());
  auto creator = SessionTerminal::attach(daemon->socket(), "replay");
  if (!creator) return report.failed(name, creator.error().text());
  if (auto filled = run_command(*creator, "cat " + *file + "; echo RP$((0))DONE", "RP0DONE",
                                Clock::now() + 30s);
      !filled)
    return report.failed(name, filled.error().text());
  drain(*creator, 200ms);

  auto resumer = LineConnection::connect(daemon->socket());
  if (!resumer) return report.failed(name, resumer.error().text());
  AttachRequest attach;
  attach.key = "replay";
  attach.rows = 24;
  attach.cols = 80;
  const std::string request = encode_request(attach);
  constexpr std::string_view ATTACHED = "{\"type\":\"attached\"";

  // The first resume yields the line that the reference server will hand out.
  std::string attached_line;
  if (auto first = timed_request(*resumer, request, ATTACHED, &attached_line); !first)
    return report.failed(name, first.error().text());
  auto event = decode_event(attached_line);
  auto* attached = event ? std::get_if<AttachedEvent>(&*event) : nullptr;
  if (attached == nullptr || !attached->resumed)
    return report.failed(name, "first reattach did not resume the session");
  auto replay = base64_decode(attached->replay_base64);
  if (!replay || replay->size() != REPLAY_LIMIT)
    return report.failed(name, "replay holds " + std::to_string(replay ? replay->size() : 0) +
                                   " bytes, not " + std::to_string(REPLAY_LIMIT));

  auto server = TrivialServer::start(workspace.file("reference.sock"), attached_line + "\n");
  if (!server) return report.failed(name, server.error().text());
  auto reference = LineConnection::connect(workspace.file("reference.sock"));
  if (!reference) return report.failed(name, reference.error().text());

  std::vector<double> daemon_us, reference_us;
  Profiler profiler(options.profile_command, {daemon->pid()});
  for (int i = 0; i < options.resume_count; ++i) {
    auto resumed = timed_request(*resumer, request, ATTACHED);
    if (!resumed) return report.failed(name, resumed.error().text());
    daemon_us.push_back(*resumed);
    auto served = timed_request(*reference, request, ATTACHED);
    if (!served) return report.failed(name, "reference: " + served.error().text());
    reference_us.push_back(*served);
  }
  double daemon50 = median(daemon_us), reference50 = median(reference_us);
  double ratio = daemon50 / reference50;
  report.add(Row{name + " p50 (ms)", fixed(daemon50 / 1e3, 3), fixed(reference50 / 1e3, 3),
                 fixed(ratio, 2), "< 3 ms and <= 1.2 of reference",
                 verdict_of(daemon50 < 3000.0 && ratio <= 1.2)});
}

}  // namespace velmora::bench
