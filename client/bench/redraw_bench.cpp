// How long a reattach takes to bring a session's screen back: the redraw in this process, and
// `velmora attach` on a pseudo-terminal until the drawn screen's last line has arrived, beside
// `tmux attach` redrawing the same content in the same run.
//
// usage: velmora_redraw_bench [--iterations N] [--velmora PATH] [--velmorad PATH] [--no-tmux]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "redraw.h"
#include "seen_history.h"

using Clock = std::chrono::steady_clock;
using namespace velmora::client;

namespace {

constexpr int ROWS = 24;
constexpr int COLS = 80;
constexpr const char* MARK = "MARK-42-END";

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
  std::vector<double> samples;
  double at(double q) const {
    if (samples.empty()) return 0;
    std::vector<double> s = samples;
    std::sort(s.begin(), s.end());
    return s[static_cast<std::size_t>(q * static_cast<double>(s.size() - 1))];
  }
};

void report(const char* what, const Figures& f) {
  std::printf("%-58s p50 %7.3f ms  p90 %7.3f ms  min %7.3f ms  (n=%zu)\n", what, f.at(0.5),
              f.at(0.9), f.at(0.0), f.samples.size());
}

// Lines like a listing, with colour, to about size bytes, then the marker and a prompt.
std::string shell_like(std::size_t size) {
  std::string out;
  for (int i = 1; out.size() < size; ++i) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "-rw-r--r-- 1 user user %6d Jan  1 12:00 \x1b[01;32mfile-%06d.txt\x1b[0m\r\n",
                  i * 37 % 100000, i);
    out += line;
  }
  return out;
}

void in_process(int iterations) {
  std::printf("== in process: redraw of a 256 KiB replay at %dx%d\n", ROWS, COLS);
  std::string plain = shell_like(256 * 1024 - 64) + MARK + "\r\nin$ ";
  std::string editor = shell_like(8 * 1024) + "\x1b[?1049h\x1b[?2004h\x1b[H\x1b[2J";
  for (int i = 0; editor.size() < 256 * 1024; ++i)
    editor += "\x1b[" + std::to_string(i % ROWS + 1) + ";1H\x1b[K\x1b[34m~\x1b[0m edited line " +
              std::to_string(i);
  // Output that keeps moving the cursor up (multi-line progress): no anchor near the end.
  std::string progress = shell_like(4096);
  for (int i = 0; progress.size() < 256 * 1024; ++i)
    progress += "\x1b[3A\r\x1b[Kstep " + std::to_string(i) + "\r\n\x1b[Kdone\r\n\x1b[K" +
                std::to_string(i) + "%\r\n";

  struct Case {
    const char* name;
    const std::string* replay;
    History history;
    bool seen_all;
    Feed feed;
  };
  const Case cases[] = {
      {"shell output, history pushed (new terminal)", &plain, History::push, false, Feed::shortest},
      {"shell output, same terminal (nothing new)", &plain, History::push, true, Feed::shortest},
      {"shell output, --no-history", &plain, History::skip, false, Feed::shortest},
      {"shell output, every byte through the emulator", &plain, History::skip, false, Feed::full},
      {"editor on the alternate screen", &editor, History::push, false, Feed::shortest},
      {"editor, every byte through the emulator", &editor, History::skip, false, Feed::full},
      {"cursor-up progress output (worst case)", &progress, History::push, false, Feed::shortest},
  };
  for (const Case& c : cases) {
    Figures f;
    std::size_t bytes = 0;
    for (int i = 0; i < iterations; ++i) {
      RedrawRequest request;
      request.replay = *c.replay;
      request.rows = ROWS;
      request.cols = COLS;
      request.history = c.history;
      request.feed = c.feed;
      if (c.seen_all) request.seen = c.replay->size();
      auto start = Clock::now();
      auto drawn = redraw_replay(request);
      f.samples.push_back(ms_since(start));
      if (drawn) bytes = drawn->bytes.size();
    }
    report(c.name, f);
    std::printf("%-58s %zu bytes written\n", "", bytes);
  }
  // The seen-point search over a whole replay that does not hold it.
  Figures search;
  ShownTail tail;
  tail.append("something that this replay has never shown, long enough to be a tail, " +
              std::string(300, '#'));
  auto print = fingerprint_of(tail.bytes());
  for (int i = 0; i < iterations && print; ++i) {
    auto start = Clock::now();
    volatile bool found = find_seen(plain, *print).has_value();
    (void)found;
    search.samples.push_back(ms_since(start));
  }
  report("seen point looked for and not found", search);
}

// A child on a new pseudo-terminal of ROWS x COLS; -1 on failure.
pid_t spawn_on_pty(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   int& master) {
  master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return -1;
  winsize size{};
  size.ws_row = ROWS;
  size.ws_col = COLS;
  ::ioctl(master, TIOCSWINSZ, &size);
  std::string slave_name = ::ptsname(master);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    int slave = ::open(slave_name.c_str(), O_RDWR);
    if (slave < 0) ::_exit(126);
    ::ioctl(slave, TIOCSCTTY, 0);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    if (slave > 2) ::close(slave);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return pid;
}

// Reads master until done(all bytes so far) holds; false after timeout.
bool read_until(int master, std::string& seen, const std::function<bool(const std::string&)>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = Clock::now() + timeout;
  char buffer[65536];
  while (!done(seen)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{master, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

// The marker and, after it, the prompt on the screen's last line.
bool screen_arrived(const std::string& seen) {
  auto mark = seen.rfind(MARK);
  return mark != std::string::npos && seen.find("in$ ", mark) != std::string::npos;
}

void finish(pid_t pid, int master, const std::string& detach) {
  if (!detach.empty()) (void)!::write(master, detach.data(), detach.size());
  std::string rest;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    read_until(
        master, rest, [](const std::string&) { return false; }, std::chrono::milliseconds(5));
  }
  ::close(master);
}

int run_command(const std::string& command) { return std::system(command.c_str()); }

void end_to_end(int iterations, const std::string& velmora, const std::string& velmorad,
                bool with_tmux) {
  char pattern[] = "/tmp/velmora-redraw-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return;
  std::string dir = pattern;
  std::string socket = dir + "/d.sock";
  std::string listing = dir + "/listing.txt";
  {
    std::ofstream out(listing);
    std::string text = shell_like(300 * 1024);
    out << text;
  }
  std::ofstream(dir + "/rc") << "PS1='in$ '\n";
  std::vector<std::string> env = {"PATH=/usr/bin:/bin",
                                  "HOME=" + dir,
                                  "TERM=xterm-256color",
                                  "LANG=C.UTF-8",
                                  "SHELL=/bin/sh",
                                  "ENV=" + dir + "/rc",
                                  "VELMORAD_SOCKET=" + socket,
                                  "XDG_STATE_HOME=" + dir + "/state"};
  std::printf(
      "== end to end: from starting the client on a new %dx%d pty until the screen's "
      "last line arrived\n",
      ROWS, COLS);

  int master = -1;
  pid_t daemon = spawn_on_pty({velmorad}, env, master);
  if (daemon < 0) return;
  // The daemon sits on a pty of its own; its output there is not read.
  for (int i = 0; i < 200 && ::access(socket.c_str(), F_OK) != 0; ++i) ::usleep(10000);

  // The session: a shell that printed more than the replay holds.
  int m = -1;
  pid_t first = spawn_on_pty({velmora, "attach", "bench"}, env, m);
  std::string seen;
  read_until(m, seen, [](const std::string& s) { return s.find("in$ ") != std::string::npos; });
  std::string command = "cat " + listing + "; echo MARK-$((6*7))-END\r";
  (void)!::write(m, command.data(), command.size());
  read_until(m, seen, screen_arrived);
  finish(first, m, "\x1c");

  std::string tmux_socket = dir + "/tmux.sock";
  std::string tmux = "tmux -S " + tmux_socket + " -f /dev/null";
  if (with_tmux) {
    run_command(tmux + " new-session -d -s bench -x 80 -y 24 \"env PS1='in$ ' /bin/sh\"");
    run_command(tmux + " set-option -g status off");
    run_command(tmux + " send-keys -t bench \"" + command.substr(0, command.size() - 1) +
                "\" Enter");
    for (int i = 0; i < 500; ++i) {
      std::string capture = dir + "/capture.txt";
      run_command(tmux + " capture-pane -p -t bench > " + capture);
      std::ifstream in(capture);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (text.find(MARK) != std::string::npos) break;
      ::usleep(20000);
    }
  }

  Figures fresh, no_history, same_terminal, tmux_figures;
  // The same terminal: one shell holds the pty, and starts velmora on every line.
  int shell_master = -1;
  pid_t shell =
      spawn_on_pty({"/bin/sh", "-c", "while read -r line; do " + velmora + " attach bench; done"},
                   env, shell_master);
  std::vector<std::string> tmux_argv = {"/usr/bin/tmux", "-S", tmux_socket,
                                        "attach",        "-t", "bench"};
  for (int i = 0; i < iterations; ++i) {
    // Interleaved, so that the machine's state is the same for each.
    {
      auto start = Clock::now();
      pid_t pid = spawn_on_pty({velmora, "attach", "bench"}, env, m);
      std::string out;
      if (read_until(m, out, screen_arrived)) fresh.samples.push_back(ms_since(start));
      finish(pid, m, "\x1c");
    }
    {
      auto start = Clock::now();
      pid_t pid = spawn_on_pty({velmora, "attach", "--no-history", "bench"}, env, m);
      std::string out;
      if (read_until(m, out, screen_arrived)) no_history.samples.push_back(ms_since(start));
      finish(pid, m, "\x1c");
    }
    if (shell > 0) {
      std::string out;
      auto start = Clock::now();
      (void)!::write(shell_master, "\n", 1);
      if (read_until(shell_master, out, screen_arrived) && i > 0)
        same_terminal.samples.push_back(ms_since(start));
      (void)!::write(shell_master, "\x1c", 1);
      read_until(shell_master, out, [](const std::string& s) {
        return s.find("[detached from bench]") != std::string::npos;
      });
    }
    if (with_tmux) {
      auto start = Clock::now();
      pid_t pid = spawn_on_pty(tmux_argv, env, m);
      std::string out;
      if (read_until(m, out, screen_arrived)) tmux_figures.samples.push_back(ms_since(start));
      finish(pid, m,
             "\x02"
             "d");
    }
  }
  report("velmora attach, new terminal (history pushed)", fresh);
  report("velmora attach --no-history, new terminal", no_history);
  report("velmora attach, same terminal again (via a shell)", same_terminal);
  if (with_tmux) report("tmux attach, new terminal", tmux_figures);

  if (shell > 0) {
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    ::close(shell_master);
  }
  if (with_tmux) run_command(tmux + " kill-server");
  std::vector<std::string> shutdown_env = env;
  pid_t stop = spawn_on_pty({velmora, "shutdown"}, env, m);
  finish(stop, m, "");
  ::kill(daemon, SIGKILL);
  ::waitpid(daemon, nullptr, 0);
  ::close(master);
  run_command("rm -rf " + dir);
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = 100;
  std::string velmora = VELMORA_PATH;
  std::string velmorad = VELMORAD_PATH;
  bool with_tmux = ::access("/usr/bin/tmux", X_OK) == 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--iterations" && i + 1 < argc) {
      iterations = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--velmora" && i + 1 < argc) {
      velmora = argv[++i];
    } else if (arg == "--velmorad" && i + 1 < argc) {
      velmorad = argv[++i];
    } else if (arg == "--no-tmux") {
      with_tmux = false;
    } else {
      std::fprintf(stderr,
                   "usage: velmora_redraw_bench [--iterations N] [--velmora PATH] "
                   "[--velmorad PATH] [--no-tmux]\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  in_process(iterations);
  end_to_end(iterations, velmora, velmorad, with_tmux);
  return 0;
}
