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

Result<SideBySide> start_side_by_side(const Options& options, const Workspace& workspace,
                                      const std::string& name) {
  auto daemon = workspace.start_daemon(options, name);
  if (!daemon) return daemon.error();
  auto session = SessionTerminal::attach(daemon->socket(), name);
  if (!session) return session.error();
  auto shell = RawShell::start({options.shell, "-l"}, 24, 80);
  if (!shell) return shell.error();
  return SideBySide{std::move(*daemon), std::move(*session), RawTerminal(std::move(*shell))};
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
