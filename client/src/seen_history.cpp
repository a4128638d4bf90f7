#include "seen_history.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "io_util.h"
#include "platform.h"
#include "velmora/core/os_error.h"
#include "velmora/core/owned_fd.h"

namespace velmora::client {
namespace {

constexpr std::size_t SHORT_WINDOW = 256;
constexpr std::size_t MIN_WINDOW = 16;
constexpr std::uint64_t BASE = 0x100000001b3ull;  // odd, so that every power is invertible
constexpr std::string_view HEADER = "velmora-seen 1\n";

std::uint64_t power(std::uint64_t base, std::size_t exponent) {
  std::uint64_t result = 1;
  while (exponent > 0) {
    if (exponent & 1) result *= base;
    base *= base;
    exponent >>= 1;
  }
  return result;
}

// Sum of byte i times BASE^i, over the window: it rolls backwards one byte at a time.
std::uint64_t window_hash(std::string_view bytes) {
  std::uint64_t hash = 0;
  for (std::size_t i = bytes.size(); i > 0; --i)
    hash = hash * BASE + static_cast<unsigned char>(bytes[i - 1]);
  return hash;
}

// FNV-1a, for the confirming stretch.
std::uint64_t stretch_hash(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

std::string hex_of(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(DIGITS[c >> 4]);
    out.push_back(DIGITS[c & 15]);
  }
  return out;
}

std::optional<std::string> bytes_of_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  while (true) {
    auto at = line.find(separator);
    fields.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return fields;
    line.remove_prefix(at + 1);
  }
}

template <typename T>
bool number_of(std::string_view text, T& out, int base = 10) {
  if (text.empty() || text.size() > 20) return false;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(copy.c_str(), &end, base);
  if (errno != 0 || end != copy.c_str() + copy.size()) return false;
  out = static_cast<T>(value);
  return true;
}

std::optional<SeenRecord> parse_record(std::string_view line) {
  auto f = split(line, '\t');
  if (f.size() != 9) return std::nullopt;
  SeenRecord record;
  auto socket = bytes_of_hex(f[0]);
  auto key = bytes_of_hex(f[1]);
  if (!socket || !key) return std::nullopt;
  record.socket = std::move(*socket);
  record.key = std::move(*key);
  record.terminal = std::string(f[3]);
  std::uint64_t when = 0;
  if (!number_of(f[2], record.shell_pid) || !number_of(f[4], record.fingerprint.short_length) ||
      !number_of(f[5], record.fingerprint.short_hash, 16) ||
      !number_of(f[6], record.fingerprint.long_length) ||
      !number_of(f[7], record.fingerprint.long_hash, 16) || !number_of(f[8], when))
    return std::nullopt;
  record.when = static_cast<std::int64_t>(when);
  return record;
}

std::string format_record(const SeenRecord& r) {
  char hashes[64];
  std::snprintf(hashes, sizeof hashes, "%llx\t%u\t%llx",
                static_cast<unsigned long long>(r.fingerprint.short_hash),
                r.fingerprint.long_length,
                static_cast<unsigned long long>(r.fingerprint.long_hash));
  return hex_of(r.socket) + "\t" + hex_of(r.key) + "\t" + std::to_string(r.shell_pid) + "\t" +
         r.terminal + "\t" + std::to_string(r.fingerprint.short_length) + "\t" + hashes + "\t" +
         std::to_string(r.when) + "\n";
}

// Creates each missing directory of path's parent, private to the user.
Result<void> make_parent_directories(const std::string& path) {
  for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    std::string dir = path.substr(0, at);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return OsError::from_errno().to_error();
  }
  return {};
}

bool same_session(const SeenRecord& r, const std::string& socket, const std::string& key,
                  std::uint32_t pid) {
  return r.socket == socket && r.key == key && r.shell_pid == pid;
}

}  // namespace

void ShownTail::append(std::string_view bytes) {
  if (bytes.size() >= KEEP) {
    m_bytes.assign(bytes.substr(bytes.size() - KEEP));
    return;
  }
  // Trimmed now and then, not on every chunk: streaming output comes in chunks of about 4 KiB,
  // and moving the kept bytes for each of them was a tenth of the client's work.
  if (m_bytes.size() + bytes.size() > TRIM_AT) m_bytes.erase(0, m_bytes.size() - KEEP);
  m_bytes.append(bytes);
}

std::string_view ShownTail::bytes() const {
  std::string_view all = m_bytes;
  return all.size() > KEEP ? all.substr(all.size() - KEEP) : all;
}

std::optional<Fingerprint> fingerprint_of(std::string_view tail) {
  if (tail.size() < MIN_WINDOW) return std::nullopt;
  Fingerprint fp;
  std::string_view window = tail.substr(tail.size() - std::min(tail.size(), SHORT_WINDOW));
  fp.short_length = static_cast<std::uint32_t>(window.size());
  fp.short_hash = window_hash(window);
  fp.long_length = static_cast<std::uint32_t>(tail.size());
  fp.long_hash = stretch_hash(tail);
  return fp;
}

std::optional<std::size_t> find_seen(std::string_view replay, const Fingerprint& fp) {
  std::size_t k = fp.short_length;
  if (k < MIN_WINDOW || k > fp.long_length || replay.size() < k) return std::nullopt;
  const auto* b = reinterpret_cast<const unsigned char*>(replay.data());
  std::uint64_t top = power(BASE, k - 1);
  // From the end backwards: the most recent match is the one wanted, and usually close.
  std::size_t start = replay.size() - k;
  std::uint64_t hash = window_hash(replay.substr(start, k));
  while (true) {
    if (hash == fp.short_hash) {
      std::size_t end = start + k;
      // Too close to the replay's start for the longer stretch: the window has to do.
      if (end < fp.long_length ||
          stretch_hash(replay.substr(end - fp.long_length, fp.long_length)) == fp.long_hash)
        return end;
    }
    if (start == 0) return std::nullopt;
    --start;
    hash = b[start] + BASE * (hash - b[start + k] * top);
  }
}

std::optional<std::string> terminal_identity(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return std::nullopt;
  pid_t leader = ::tcgetsid(fd);
  if (leader <= 0) return std::nullopt;
  auto started = process_start_time(leader);
  if (!started) return std::nullopt;
  return std::to_string(static_cast<unsigned long long>(info.st_rdev)) + ":" +
         std::to_string(leader) + ":" + std::to_string(*started);
}

std::optional<SeenStore> SeenStore::at_default_path() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return SeenStore(std::string(state) + "/velmora/seen");
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/')
    return SeenStore(std::string(home) + "/.local/state/velmora/seen");
  return std::nullopt;
}

std::string SeenStore::read_records() const {
  std::string text;
  OwnedFd fd(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  struct stat info {};
  // Only a file of our own: another user's could steer what we show.
  if (!fd || ::fstat(fd.get(), &info) != 0 || info.st_uid != ::getuid() || info.st_size > 1 << 20)
    return text;
  text.resize(static_cast<std::size_t>(info.st_size));
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  if (!std::string_view(text).starts_with(HEADER)) return {};
  return text.substr(HEADER.size());
}

std::vector<SeenRecord> SeenStore::load() const {
  std::vector<SeenRecord> records;
  std::string text = read_records();
  for (std::string_view line : split(text, '\n'))
    if (auto record = parse_record(line)) records.push_back(std::move(*record));
  return records;
}

std::optional<Fingerprint> SeenStore::find(const std::string& socket, const std::string& key,
                                           std::uint32_t shell_pid,
                                           const std::string& terminal) const {
  // Every reattach looks here: only the record of this session and terminal is read in full.
  std::string text = read_records();
  std::string socket_hex = hex_of(socket);
  std::string key_hex = hex_of(key);
  std::string_view rest = text;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    auto field = [&line, at = std::size_t{0}]() mutable {
      std::size_t stop = std::min(line.find('\t', at), line.size());
      std::string_view f = line.substr(at, stop - at);
      at = stop + 1;
      return f;
    };
    std::string_view socket_field = field();
    std::string_view key_field = field();
    field();  // the shell's pid, compared once the record is parsed
    if (socket_field != socket_hex || key_field != key_hex || field() != terminal) continue;
    if (auto r = parse_record(line); r && same_session(*r, socket, key, shell_pid))
      return r->fingerprint;
  }
  return std::nullopt;
}

Result<void> SeenStore::update(const std::function<void(std::vector<SeenRecord>&)>& change) const {
  if (auto made = make_parent_directories(m_path); !made) return made;
  std::string lock_path = m_path + ".lock";
  OwnedFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return OsError::from_errno().to_error();
  // Two clients that end at once: one read-modify-write after the other.
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) return OsError::from_errno().to_error();
  std::vector<SeenRecord> records = load();
  change(records);
  if (records.size() > MAX_RECORDS) {
    std::sort(records.begin(), records.end(),
              [](const SeenRecord& a, const SeenRecord& b) { return a.when > b.when; });
    records.resize(MAX_RECORDS);
  }
  std::string text(HEADER);
  for (const SeenRecord& r : records) text += format_record(r);

  std::string temporary = m_path + ".XXXXXX";
  OwnedFd out(::mkstemp(temporary.data()));
  if (!out) return OsError::from_errno().to_error();
  ::fcntl(out.get(), F_SETFD, FD_CLOEXEC);
  bool written = ::fchmod(out.get(), 0600) == 0 && write_all(out.get(), text);
  if (!written || ::rename(temporary.c_str(), m_path.c_str()) != 0) {
    OsError error = OsError::from_errno();
    ::unlink(temporary.c_str());
    return error.to_error();
  }
  return {};
}

Result<void> SeenStore::remember(const SeenRecord& record) const {
  return update([&](std::vector<SeenRecord>& records) {
    std::erase_if(records, [&](const SeenRecord& r) {
      return same_session(r, record.socket, record.key, record.shell_pid) &&
             r.terminal == record.terminal;
    });
    records.push_back(record);
  });
}

Result<void> SeenStore::forget(const std::string& socket, const std::string& key,
                               std::uint32_t shell_pid) const {
  return update([&](std::vector<SeenRecord>& records) {
    std::erase_if(records,
                  [&](const SeenRecord& r) { return same_session(r, socket, key, shell_pid); });
  });
}

}  // namespace velmora::client
