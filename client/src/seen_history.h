#pragma once

// What a terminal has shown of a session's output, remembered from one attachment to the next,
// so that reattaching in the same terminal does not push the same lines into its scrollback
// again. The point is found again by content: a hash of the last bytes shown, looked for in the
// next replay (which is the session's most recent output, whatever came since).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velmora/core/result.h"

namespace velmora::client {

// The last bytes of a session's output that reached the terminal.
class ShownTail {
 public:
  static constexpr std::size_t KEEP = 4096;
  static constexpr std::size_t TRIM_AT = 64 * 1024;
  void append(std::string_view bytes);
  std::string_view bytes() const;

 private:
  std::string m_bytes;
};

struct Fingerprint {
  std::uint32_t short_length = 0;  // hashed bytes, the window that is searched for
  std::uint64_t short_hash = 0;
  std::uint32_t long_length = 0;  // the longer stretch before it that confirms a match
  std::uint64_t long_hash = 0;
  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Nothing when the tail is too short to be told apart.
std::optional<Fingerprint> fingerprint_of(std::string_view tail);

// The end of the latest place in replay whose bytes match the fingerprint.
std::optional<std::size_t> find_seen(std::string_view replay, const Fingerprint& fingerprint);

// The terminal on fd, told apart from every other one for as long as it lives: its device and
// the session leader that holds it, with that process's start time. Nothing when fd is not our
// controlling terminal.
std::optional<std::string> terminal_identity(int fd);

struct SeenRecord {
  std::string socket;  // the daemon's socket
  std::string key;     // the session
  std::uint32_t shell_pid = 0;
  std::string terminal;  // terminal_identity
  Fingerprint fingerprint;
  std::int64_t when = 0;  // seconds since the epoch
};

// The per-user file of records: $XDG_STATE_HOME/velmora/seen, else ~/.local/state/velmora/seen.
// Private (0600 in a 0700 directory), replaced atomically under a lock, at most MAX_RECORDS.
class SeenStore {
 public:
  static constexpr std::size_t MAX_RECORDS = 64;
  // Nothing when neither XDG_STATE_HOME nor HOME is usable.
  static std::optional<SeenStore> at_default_path();
  explicit SeenStore(std::string path) : m_path(std::move(path)) {}

  std::optional<Fingerprint> find(const std::string& socket, const std::string& key,
                                  std::uint32_t shell_pid, const std::string& terminal) const;
  // Replaces the record of the same terminal and session.
  Result<void> remember(const SeenRecord& record) const;
  // Drops every record of a session that has ended.
  Result<void> forget(const std::string& socket, const std::string& key,
                      std::uint32_t shell_pid) const;

  const std::string& path() const { return m_path; }

 private:
  // The file's records, without its header; empty when it is not ours or not such a file.
  std::string read_records() const;
  std::vector<SeenRecord> load() const;
  Result<void> update(const std::function<void(std::vector<SeenRecord>&)>& change) const;

  std::string m_path;
};

}  // namespace velmora::client
