#include "terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "velmora/core/os_error.h"

namespace velmora::client {

std::optional<WindowSize> window_size(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
    return std::nullopt;
  return WindowSize{size.ws_row, size.ws_col};
}

WindowSize terminal_size() {
  return window_size(STDIN_FILENO)
      .value_or(window_size(STDOUT_FILENO).value_or(WindowSize{24, 80}));
}

termios raw_settings(const termios& current) {
  termios raw = current;
  raw.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  raw.c_cflag |= CS8;
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  return raw;
}

Result<RawMode> RawMode::enter(int fd) {
  termios saved{};
  if (::tcgetattr(fd, &saved) != 0) return OsError::from_errno().to_error();
  termios raw = raw_settings(saved);
  int rc;
  do {
    rc = ::tcsetattr(fd, TCSADRAIN, &raw);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return OsError::from_errno().to_error();
  return RawMode(fd, saved, raw);
}

RawMode::RawMode(RawMode&& other) noexcept
    : m_fd(other.m_fd), m_saved(other.m_saved), m_raw(other.m_raw) {
  other.m_fd = -1;
}

void RawMode::reapply() const {
  if (m_fd < 0) return;
  while (::tcsetattr(m_fd, TCSADRAIN, &m_raw) != 0 && errno == EINTR) {
  }
}

void RawMode::restore(Drain drain) {
  if (m_fd < 0) return;
  int saved_errno = errno;
  int when = drain == Drain::wait ? TCSADRAIN : TCSANOW;
  while (::tcsetattr(m_fd, when, &m_saved) != 0 && errno == EINTR) {
  }
  m_fd = -1;
  errno = saved_errno;
}

}  // namespace velmora::client
