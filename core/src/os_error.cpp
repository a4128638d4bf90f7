#include "velmora/core/os_error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace velmora {
namespace {

// strerror_r is the XSI form (returns int) on macOS and the GNU form (returns char*) on glibc;
// these two overloads accept whichever the platform declares.
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }

}  // namespace

OsError OsError::from_errno() { return OsError(errno); }

std::string OsError::message() const {
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(m_code, buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(m_code);
  return text;
}

std::string OsError::display() const {
  return message() + " (os error " + std::to_string(m_code) + ")";
}

std::string OsError::debug() const {
  std::string quoted;
  for (char c : message()) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return std::string("Os { code: ") + std::to_string(m_code) + ", kind: " + kind() +
         ", message: \"" + quoted + "\" }";
}

const char* OsError::kind() const {
  switch (m_code) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EDEADLK: return "Deadlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EAGAIN: return "WouldBlock";
    case EINPROGRESS: return "InProgress";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case ELOOP: return "FilesystemLoop";
    case ENAMETOOLONG: return "InvalidFilename";
    case EHOSTUNREACH: return "HostUnreachable";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case EDQUOT: return "QuotaExceeded";
    case ESTALE: return "StaleNetworkFileHandle";
    case ENOSYS: return "Unsupported";
#if EOPNOTSUPP != ENOSYS
    case EOPNOTSUPP: return "Unsupported";
#endif
    default: return "Uncategorized";
  }
}

}  // namespace velmora
