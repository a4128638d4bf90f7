#pragma once

// Helpers shared by the terminal and process tests.

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "unix_pty.h"
#include "velmora/pty/child.h"
#include "velmora/pty/command.h"
#include "velmora/pty/pty.h"

namespace velmora::pty::test_support {

using namespace std::chrono_literals;

// A pair of the given size; the test fails at once when it cannot be opened.
inline PtyPair open_pair(TerminalSize size = {24, 80, 0, 0}) {
  auto pair = native_pty_system()->openpty(size);
  if (!pair) throw std::runtime_error(pair.error().text());
  return std::move(*pair);
}

inline int fd_of(const PtyReader& reader) { return dynamic_cast<const PtyFd&>(reader).fd(); }
inline int fd_of(const MasterPty& master) {
  return dynamic_cast<const UnixMasterPty&>(master).fd();
}
inline int fd_of(const SlavePty& slave) { return dynamic_cast<const UnixSlavePty&>(slave).fd(); }

// Everything the reader yields until end of file, or until `done` holds for what was read so far,
// or until the timeout. Reads only after poll reports data, so it never blocks past the timeout.
template <typename Done>
std::string read_until(PtyReader& reader, Done done, std::chrono::milliseconds timeout = 10s) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done(text)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p = {fd_of(reader), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    auto n = reader.read(buffer, sizeof buffer);
    if (!n || *n == 0) break;
    text.append(buffer, *n);
  }
  return text;
}

inline std::string read_to_end(PtyReader& reader, std::chrono::milliseconds timeout = 10s) {
  return read_until(
      reader, [](const std::string&) { return false; }, timeout);
}

inline std::string read_until_contains(PtyReader& reader, std::string_view needle,
                                       std::chrono::milliseconds timeout = 10s) {
  return read_until(
      reader, [&](const std::string& text) { return text.find(needle) != std::string::npos; },
      timeout);
}

// Waits for pid to become a zombie or vanish; true when it did within the timeout. Does not
// collect it.
inline bool has_exited(pid_t pid, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    siginfo_t info = {};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      return true;
    }
    if (info.si_pid == pid) return true;
    ::usleep(5000);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

// True while pid names a process that has not been collected (a zombie included).
inline bool is_uncollected(pid_t pid) {
  siginfo_t info = {};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// A fresh directory under the system's temporary directory, removed with its files.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp");
    pattern += "/pty-test-XXXXXX";
    m_path = ::mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    if (!m_path.empty()) std::system(("rm -rf '" + m_path + "'").c_str());
  }
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name, const std::string& content, mode_t mode) const {
    std::string path = m_path + "/" + name;
    std::ofstream(path) << content;
    ::chmod(path.c_str(), mode);
    return path;
  }

 private:
  std::string m_path;
};

}  // namespace velmora::pty::test_support
