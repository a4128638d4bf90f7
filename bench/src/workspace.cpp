#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench.h"

namespace velmora::bench {

Result<Workspace> Workspace::create() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return Error("cannot make a temporary directory");
  return Workspace(pattern);
}

Workspace::~Workspace() {
  if (m_path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

Result<std::string> Workspace::text_file(const std::string& name, std::size_t bytes) const {
  std::string path = file(name);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && static_cast<std::size_t>(info.st_size) == bytes)
    return path;
  // Lines of 79 printable characters and a newline, the shape of ordinary program output.
  constexpr std::string_view ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789 .,;:-_=+()[]";
  constexpr std::size_t LINE = 80;
  std::string block;
  for (std::size_t line = 0; block.size() < (1u << 20); ++line) {
    for (std::size_t column = 0; column + 1 < LINE; ++column)
      block.push_back(ALPHABET[(line * 7 + column) % ALPHABET.size()]);
    block.push_back('\n');
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (std::size_t left = bytes; left > 0;) {
    std::size_t take = std::min(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(take));
    left -= take;
  }
  out.close();
  if (!out) return Error("cannot write " + path);
  return path;
}

Result<DaemonProcess> Workspace::start_daemon(const Options& options,
                                              const std::string& name) const {
  return DaemonProcess::start(options.daemon, file(name + ".sock"), options.shell,
                              file(name + ".stderr"));
}

Result<void> wait_ready(Terminal& terminal, std::chrono::milliseconds quiet) {
  if (auto ready = run_command(terminal, "echo RE$((0))ADY", "RE0ADY",
                               Clock::now() + std::chrono::seconds(10));
      !ready)
    return Error("shell not ready: " + ready.error().text());
  drain(terminal, quiet);
  return {};
}

namespace {

// Keeps a front end once its shell is ready; otherwise says why it is missing.
void keep_when_ready(Result<RawTerminal> started, const std::string& label,
                     std::optional<RawTerminal>& kept, std::string& missing) {
  if (!started) {
    missing = label + ": " + started.error().text();
    return;
  }
  kept.emplace(std::move(*started));
  if (auto ready = wait_ready(*kept); !ready) {
    missing = label + ": " + ready.error().text();
    kept.reset();
  }
}

}  // namespace

Result<Sides> start_sides(const Options& options, const Workspace& workspace,
                          const std::string& name) {
  auto shell = start_raw_shell(options.shell);
  if (!shell) return shell.error();
  auto daemon = workspace.start_daemon(options, name);
  if (!daemon) return daemon.error();
  auto session = SessionTerminal::attach(daemon->socket(), name, ROWS, COLS);
  if (!session) return session.error();
  Sides sides{
      std::move(*shell), std::move(*daemon), std::move(*session), {}, {}, "", {}, {}, {}, ""};
  if (auto ready = wait_ready(sides.raw); !ready) return Error("raw: " + ready.error().text());
  if (auto ready = wait_ready(sides.session); !ready) return ready.error();

  // The client's session has a daemon of its own, so that the protocol-level runs (and the
  // comparison with the untracked daemon) see a daemon that serves them alone.
  if (options.client.empty()) {
    sides.client_missing = "no velmora client";
  } else if (auto client_daemon = workspace.start_daemon(options, name + "-client");
             !client_daemon) {
    sides.client_missing = "daemon for the client: " + client_daemon.error().text();
  } else {
    sides.client_daemon.emplace(std::move(*client_daemon));
    keep_when_ready(start_velmora_client(options.client, sides.client_daemon->socket(), name),
                    "velmora attach", sides.client, sides.client_missing);
    if (!sides.client) sides.client_daemon.reset();
  }

  if (options.relay.empty()) {
    sides.relay_missing = "no velmora_relay";
  } else {
    keep_when_ready(start_relay(options.relay, options.shell), "velmora_relay", sides.relay,
                    sides.relay_missing);
  }

  if (!options.tmux.empty()) {
    auto server =
        TmuxServer::start(options.tmux, workspace.file(name + ".tmux"), options.shell, name);
    auto attached = server ? server->attach(name) : Result<RawTerminal>(server.error());
    if (attached) {
      sides.tmux_server.emplace(std::move(*server));
      sides.tmux.emplace(std::move(*attached));
      if (auto ready = wait_ready(*sides.tmux); !ready) {
        progress("tmux left out: %s", ready.error().text().c_str());
        sides.tmux.reset();
      }
    } else {
      progress("tmux left out: %s", attached.error().text().c_str());
    }
  }

  return sides;
}

void progress(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("velmora_bench: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

}  // namespace velmora::bench
