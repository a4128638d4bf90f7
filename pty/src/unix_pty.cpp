#include "unix_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

#include "platform.h"
#include "velmora/core/os_error.h"

namespace velmora::pty {
namespace {

static_assert(sizeof(TerminalSize) == sizeof(struct winsize));
static_assert(offsetof(TerminalSize, rows) == offsetof(struct winsize, ws_row));
static_assert(offsetof(TerminalSize, cols) == offsetof(struct winsize, ws_col));
static_assert(offsetof(TerminalSize, xpixel) == offsetof(struct winsize, ws_xpixel));
static_assert(offsetof(TerminalSize, ypixel) == offsetof(struct winsize, ws_ypixel));

Error os_error_with(const char* prefix) { return Error(prefix + OsError::from_errno().debug()); }

Result<void> set_cloexec(int fd) {
  int flags = ::fcntl(fd, F_GETFD);
  if (flags == -1) return os_error_with("fcntl to read flags failed: ");
  if (::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1) {
    return os_error_with("fcntl to set CLOEXEC failed: ");
  }
  return {};
}

}  // namespace

std::unique_ptr<PtySystem> native_pty_system() { return std::make_unique<UnixPtySystem>(); }

Result<OwnedFd> try_clone(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy >= 0) return OwnedFd(copy);
  if (errno == EINVAL) {
    // The platform lacks F_DUPFD_CLOEXEC: duplicate, then mark.
    OwnedFd owned(::dup(fd));
    if (owned) {
      int flags = ::fcntl(owned.get(), F_GETFD);
      if (flags == -1) return Error("fcntl read failed");
      if (::fcntl(owned.get(), F_SETFD, flags | FD_CLOEXEC) == -1) {
        return Error("failed to set cloexec");
      }
      return owned;
    }
  }
  return Error("dup of fd " + std::to_string(fd) + " failed");
}

Result<PtyPair> UnixPtySystem::openpty(TerminalSize size) {
  int master = -1;
  int slave = -1;
  struct winsize ws = {size.rows, size.cols, size.xpixel, size.ypixel};
  if (platform::open_pty(&master, &slave, &ws) != 0) {
    return os_error_with("failed to openpty: ");
  }
  OwnedFd master_fd(master);
  OwnedFd slave_fd(slave);
  if (auto r = set_cloexec(master_fd.get()); !r) return r.error();
  if (auto r = set_cloexec(slave_fd.get()); !r) return r.error();
  return PtyPair{std::make_unique<UnixSlavePty>(std::move(slave_fd)),
                 std::make_unique<UnixMasterPty>(std::move(master_fd))};
}

Result<void> UnixMasterPty::resize(TerminalSize size) {
  struct winsize ws = {size.rows, size.cols, size.xpixel, size.ypixel};
  if (::ioctl(m_fd.get(), TIOCSWINSZ, &ws) != 0) {
    return os_error_with("failed to ioctl(TIOCSWINSZ): ");
  }
  return {};
}

Result<std::unique_ptr<PtyReader>> UnixMasterPty::try_clone_reader() {
  auto fd = try_clone(m_fd.get());
  if (!fd) return fd.error();
  return std::unique_ptr<PtyReader>(std::make_unique<PtyFd>(std::move(*fd)));
}

Result<std::unique_ptr<PtyWriter>> UnixMasterPty::take_writer() {
  if (m_writer_taken) return Error("cannot take writer more than once");
  // Set before duplicating: a failed duplication uses up the one take as well.
  m_writer_taken = true;
  auto fd = try_clone(m_fd.get());
  if (!fd) return fd.error();
  return std::unique_ptr<PtyWriter>(std::make_unique<UnixMasterWriter>(std::move(*fd)));
}

Result<std::size_t> PtyFd::read(char* buffer, std::size_t capacity) {
  ssize_t n = ::read(m_fd.get(), buffer, capacity);
  if (n >= 0) return static_cast<std::size_t>(n);
  // EIO is how the platform says that nobody holds the slave side open any more.
  if (errno == EIO) return std::size_t{0};
  return OsError::from_errno().to_error();
}

Result<std::size_t> UnixMasterWriter::write(std::string_view bytes) {
  ssize_t n = ::write(m_fd.get(), bytes.data(), bytes.size());
  if (n < 0) return OsError::from_errno().to_error();
  return static_cast<std::size_t>(n);
}

Result<void> UnixMasterWriter::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(m_fd.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return OsError::from_errno().to_error();
    }
    if (n == 0) return Error("failed to write whole buffer");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// A newline completes any pending input line and the end-of-file character then ends the input
// of a shell that reads in canonical mode. The release may happen under the daemon's session
// lock, so it must not wait for a shell that has stopped reading: the bytes are sent only when
// the terminal reports room for them right now. On Linux a master that polls writable has room
// for a whole tty buffer (at least 256 bytes) and no write in progress, so the two-byte write
// then completes without sleeping; the descriptor itself stays blocking because it shares its
// open file description with the reader.
UnixMasterWriter::~UnixMasterWriter() {
  if (!m_fd) return;
  int saved = errno;
  struct termios attributes;
  if (::tcgetattr(m_fd.get(), &attributes) == 0 && attributes.c_cc[VEOF] != 0) {
    struct pollfd p = {m_fd.get(), POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0 &&
        (p.revents & (POLLERR | POLLHUP)) == 0) {
      const char bytes[2] = {'\n', static_cast<char>(attributes.c_cc[VEOF])};
      (void)write_all(std::string_view(bytes, sizeof bytes));
    }
  }
  errno = saved;
}

}  // namespace velmora::pty
