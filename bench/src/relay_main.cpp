// velmora_relay: the simplest client there can be between a person's terminal and a shell's.
// It runs a program on a terminal of its own, puts the terminal it was started on in raw mode
// and copies bytes both ways until the program ends. No protocol, no daemon, no screen: what the
// benchmark measures through it is what any client pays for the second terminal alone.

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "raw_shell.h"

namespace {

using velmora::bench::RawShell;

// Far more than one pseudo-terminal read gives, so that a read never stops short for want of
// room.
constexpr std::size_t BUFFER_SIZE = 64 * 1024;

// Writes all of bytes to fd, waiting while it is full (the shell's terminal is non-blocking).
bool write_all(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd entry{fd, POLLOUT, 0};
      (void)::poll(&entry, 1, -1);
    } else if (written < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}

enum class Copied { some, nothing, source_ended, sink_ended };

// One read from one side and all of it written to the other.
Copied copy_once(int from, int to, std::vector<char>& buffer) {
  ssize_t got = ::read(from, buffer.data(), buffer.size());
  if (got > 0) {
    return write_all(to, buffer.data(), static_cast<std::size_t>(got)) ? Copied::some
                                                                       : Copied::sink_ended;
  }
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return Copied::nothing;
  // End of file, or EIO once the other end of a terminal has closed.
  return Copied::source_ended;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: velmora_relay PROGRAM [ARG...]\n", stderr);
    return 2;
  }
  // The program's terminal takes the size of ours.
  winsize size{};
  if (::ioctl(STDIN_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
    size.ws_row = 24;
    size.ws_col = 80;
  }
  // Raw before the program starts, so that nothing it prints meets a cooked terminal.
  termios saved{};
  bool is_terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (is_terminal) {
    termios raw = saved;
    ::cfmakeraw(&raw);
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
      std::perror("velmora_relay: raw mode");
      return 1;
    }
  }
  int status = 0;
  {
    auto program =
        RawShell::start(std::vector<std::string>(argv + 1, argv + argc), size.ws_row, size.ws_col);
    if (!program) {
      std::fprintf(stderr, "velmora_relay: %s\n", program.error().text().c_str());
      status = 1;
    } else {
      std::vector<char> buffer(BUFFER_SIZE);
      pollfd sides[2] = {{STDIN_FILENO, POLLIN, 0}, {program->master(), POLLIN, 0}};
      bool program_ended = false, terminal_ended = false;
      while (!program_ended && !terminal_ended) {
        if (::poll(sides, 2, -1) < 0) {
          if (errno == EINTR) continue;
          break;
        }
        // The program's side first: its end shows as a hang-up once its output has been read.
        if (sides[1].revents != 0) {
          Copied copied = copy_once(program->master(), STDOUT_FILENO, buffer);
          program_ended = copied == Copied::source_ended;
          terminal_ended = copied == Copied::sink_ended;
        }
        if (!program_ended && !terminal_ended && sides[0].revents != 0) {
          Copied copied = copy_once(STDIN_FILENO, program->master(), buffer);
          terminal_ended = copied == Copied::source_ended;
          program_ended = copied == Copied::sink_ended;
        }
      }
      // A program that closed its terminal is reaped here; one whose person went away is ended
      // by the handle's destructor.
      if (program_ended)
        (void)program->wait_exit(std::chrono::steady_clock::now() + std::chrono::seconds(1));
    }
  }
  if (is_terminal) (void)::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return status;
}
