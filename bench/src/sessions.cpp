// Many sessions: creating 1,000 idle shells, the daemon's memory for them and `list` over them;
// `shutdown` with 500 live sessions; and whether a `close` holds up other clients meanwhile.

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include "bench.h"
#include "platform.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"
#include "velmora/core/line_codec.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view SESSIONS = "{\"type\":\"sessions\"";
constexpr std::string_view HELLO = "{\"type\":\"hello\"";

// Creates count sessions named prefix0, prefix1, ... on one connection; microseconds each.
Result<std::vector<double>> create_sessions(LineConnection& connection, const std::string& prefix,
                                            int count) {
  std::vector<double> micros;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    auto attached = attach_on(connection, prefix + std::to_string(i), 24, 80, start + 30s);
    if (!attached) return Error("session " + std::to_string(i) + ": " + attached.error().text());
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return micros;
}

// Reads and drops what arrives (the shells' first prompts) until nothing has come for the quiet
// period, or at most for ten seconds.
void settle(LineConnection& connection, std::chrono::milliseconds quiet) {
  auto give_up = Clock::now() + 10s;
  while (Clock::now() < give_up && connection.read_line(Clock::now() + quiet)) {
  }
}

Result<double> round_trip(LineConnection& connection, const Request& request,
                          std::string_view prefix, std::string* line_out = nullptr) {
  return timed_request(connection, encode_request(request), prefix, line_out);
}

Result<std::vector<SessionInfo>> list_sessions(LineConnection& connection) {
  std::string line;
  if (auto done = round_trip(connection, ListRequest{}, SESSIONS, &line); !done)
    return done.error();
  auto event = decode_event(line);
  auto* sessions = event ? std::get_if<SessionsEvent>(&*event) : nullptr;
  if (sessions == nullptr) return Error("unreadable sessions event");
  return std::move(sessions->keys);
}

// While one client closes a session whose shell ignores SIGHUP (so that the close waits its
// full course before SIGKILL), another client's requests are timed.
void measure_close(const DaemonProcess& daemon, LineConnection& observer, Report& report) {
  const std::string name = "list during a slow close";
  constexpr int CLOSES = 5;
  std::vector<double> idle_list, idle_hello, busy_list, busy_hello, exit_ms;
  for (int i = 0; i < 10; ++i) {
    auto list = round_trip(observer, ListRequest{}, SESSIONS);
    auto hello = round_trip(observer, HelloRequest{PROTOCOL_VERSION}, HELLO);
    if (!list || !hello) return report.failed(name, "idle requests failed");
    idle_list.push_back(*list);
    idle_hello.push_back(*hello);
  }
  for (int i = 0; i < CLOSES; ++i) {
    std::string key = "stubborn" + std::to_string(i);
    auto victim = SessionTerminal::attach(daemon.socket(), key);
    if (!victim) return report.failed(name, victim.error().text());
    if (auto ready =
            run_command(*victim, "trap '' HUP; echo HU$((0))P", "HU0P", Clock::now() + 10s);
        !ready)
      return report.failed(name, ready.error().text());
    drain(*victim, 50ms);
    auto closed_at = Clock::now();
    if (auto sent = victim->connection().send_all(encode_request(CloseRequest{key})); !sent)
      return report.failed(name, sent.error().text());
    // Let the close reach the daemon first.
    std::this_thread::sleep_for(10ms);
    auto list = round_trip(observer, ListRequest{}, SESSIONS);
    auto hello = round_trip(observer, HelloRequest{PROTOCOL_VERSION}, HELLO);
    if (!list || !hello) return report.failed(name, "requests during the close failed");
    busy_list.push_back(*list);
    busy_hello.push_back(*hello);
    // The shell must still end: the close goes on to SIGKILL.
    std::string ignored;
    auto ended = victim->read_some(ignored, Clock::now() + 5s);
    while (ended) ended = victim->read_some(ignored, Clock::now() + 5s);
    if (ended.error().text() != "session " + key + " exited")
      return report.failed(name, "closed shell did not end: " + ended.error().text());
    exit_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - closed_at).count());
  }
  double list_ms = percentile(busy_list, 1.0) / 1e3;
  report.add(Row{name + " max (ms)", fixed(list_ms, 2), fixed(median(idle_list) / 1e3, 2), "",
                 "< 50 ms (a close waits ~200 ms)", verdict_of(list_ms < 50.0)});
  double hello_ms = percentile(busy_hello, 1.0) / 1e3;
  report.add(Row{"hello during a slow close max (ms)", fixed(hello_ms, 2),
                 fixed(median(idle_hello) / 1e3, 2), "", "< 50 ms", verdict_of(hello_ms < 50.0)});
  report.add(Row{"slow close until exited p50 (ms)", fixed(median(exit_ms), 0), "", "", "",
                 Verdict::info});
}

}  // namespace

void measure_scale(const Options& options, const Workspace& workspace, Report& report) {
  const int count = options.idle_sessions;
  const std::string name = std::to_string(count) + " idle sessions";
  progress("%s: creating", name.c_str());
  auto daemon = workspace.start_daemon(options, "scale");
  if (!daemon) return report.failed(name, daemon.error().text());
  auto connection = LineConnection::connect(daemon->socket());
  if (!connection) return report.failed(name, connection.error().text());
  if (!round_trip(*connection, HelloRequest{PROTOCOL_VERSION}, HELLO))
    return report.failed(name, "no hello");
  auto rss_before = process_rss_bytes(daemon->pid());

  auto start = Clock::now();
  auto created = create_sessions(*connection, "idle", count);
  if (!created) return report.failed(name, created.error().text());
  double per_session_ms =
      std::chrono::duration<double, std::milli>(Clock::now() - start).count() / count;
  settle(*connection, 500ms);
  auto rss_after = process_rss_bytes(daemon->pid());

  report.add(Row{"create session mean (ms)", fixed(per_session_ms, 2), "", "",
                 "p50 " + fixed(median(*created) / 1e3, 2) + " ms", Verdict::info});
  if (rss_before && rss_after) {
    double kib = static_cast<double>(*rss_after - *rss_before) / 1024.0 / count;
    report.add(Row{"daemon RSS per idle session (KiB)", fixed(kib, 1), "", "", "< 100 KiB",
                   verdict_of(kib < 100.0)});
  } else {
    report.failed("daemon RSS per idle session", "cannot read the daemon's memory");
  }

  auto listed = list_sessions(*connection);
  if (!listed) return report.failed("list", listed.error().text());
  if (static_cast<int>(listed->size()) != count)
    return report.failed("list", "lists " + std::to_string(listed->size()) + " sessions");
  std::vector<double> list_us;
  Profiler profiler(options.profile_command, {daemon->pid()});
  for (int i = 0; i < 20; ++i) {
    auto took = round_trip(*connection, ListRequest{}, SESSIONS);
    if (!took) return report.failed("list", took.error().text());
    list_us.push_back(*took);
  }
  double list_ms = median(list_us) / 1e3;
  report.add(Row{"list with " + std::to_string(count) + " sessions p50 (ms)", fixed(list_ms, 2), "",
                 "", "< 5 ms", verdict_of(list_ms < 5.0)});
}

void measure_shutdown(const Options& options, const Workspace& workspace, Report& report) {
  const int count = options.shutdown_sessions;
  const std::string name = "shutdown with " + std::to_string(count) + " sessions (ms)";
  progress("shutdown: creating %d sessions", count);
  auto daemon = workspace.start_daemon(options, "shutdown");
  if (!daemon) return report.failed(name, daemon.error().text());
  auto connection = LineConnection::connect(daemon->socket());
  if (!connection) return report.failed(name, connection.error().text());
  if (auto created = create_sessions(*connection, "live", count); !created)
    return report.failed(name, created.error().text());
  settle(*connection, 500ms);
  measure_close(*daemon, *connection, report);

  auto listed = list_sessions(*connection);
  if (!listed) return report.failed(name, listed.error().text());
  auto start = Clock::now();
  if (auto sent = connection->send_all(encode_request(ShutdownRequest{})); !sent)
    return report.failed(name, sent.error().text());
  auto status = daemon->wait_exit(start + 60s);
  double took_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!status) return report.failed(name, "still running after 60 s");
  // Every shell must end with the daemon; give the last ones a moment.
  auto alive = [&] {
    int left = 0;
    for (const auto& session : *listed)
      if (session.pid > 0 && (::kill(static_cast<pid_t>(session.pid), 0) == 0 || errno == EPERM))
        ++left;
    return left;
  };
  auto deadline = Clock::now() + 2s;
  while (alive() > 0 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  int left = alive();
  report.add(Row{name, fixed(took_ms, 0), "", "", "< 1000 ms, no shell left",
                 verdict_of(took_ms < 1000.0 && left == 0)});
  if (left > 0)
    report.failed("shells after shutdown", std::to_string(left) + " still running after 2 s");
}

}  // namespace velmora::bench
