#pragma once

// The wire messages exchanged between clients and the daemon, and the protocol version.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velmora {

inline constexpr std::uint32_t PROTOCOL_VERSION = 1;

// One environment entry of an attach request: name, then value.
using EnvPair = std::pair<std::string, std::string>;

// Requests, in declaration order (the order of the array form and of the "unknown variant" list).
struct HelloRequest {
  std::uint32_t version = 0;
  friend bool operator==(const HelloRequest&, const HelloRequest&) = default;
};
struct AttachRequest {
  std::string key;
  std::optional<std::string> cwd;
  std::uint16_t cols = 0;
  std::uint16_t rows = 0;
  std::vector<EnvPair> env;
  friend bool operator==(const AttachRequest&, const AttachRequest&) = default;
};
struct WriteRequest {
  std::string key;
  std::string data_base64;  // wire name "dataBase64"
  friend bool operator==(const WriteRequest&, const WriteRequest&) = default;
};
struct ResizeRequest {
  std::string key;
  std::uint16_t cols = 0;
  std::uint16_t rows = 0;
  friend bool operator==(const ResizeRequest&, const ResizeRequest&) = default;
};
struct CloseRequest {
  std::string key;
  friend bool operator==(const CloseRequest&, const CloseRequest&) = default;
};
struct ListRequest {
  friend bool operator==(const ListRequest&, const ListRequest&) = default;
};
struct ShutdownRequest {
  friend bool operator==(const ShutdownRequest&, const ShutdownRequest&) = default;
};

using Request = std::variant<HelloRequest, AttachRequest, WriteRequest, ResizeRequest,
                             CloseRequest, ListRequest, ShutdownRequest>;

// One row of the "sessions" event.
struct SessionInfo {
  std::string key;
  std::string cwd;
  std::uint64_t started_at = 0;  // wire name "startedAt", whole seconds since the epoch
  std::uint32_t pid = 0;
  friend bool operator==(const SessionInfo&, const SessionInfo&) = default;
};

// Events, in declaration order; every member is always written, in this order, after "type".
struct HelloEvent {
  std::uint32_t version = PROTOCOL_VERSION;
  std::uint32_t pid = 0;
  friend bool operator==(const HelloEvent&, const HelloEvent&) = default;
};
struct AttachedEvent {
  std::string key;
  bool resumed = false;
  std::string replay_base64;  // wire name "replayBase64"
  std::string cwd;
  std::uint32_t pid = 0;
  friend bool operator==(const AttachedEvent&, const AttachedEvent&) = default;
};
struct OutputEvent {
  std::string key;
  std::string data_base64;  // wire name "dataBase64"
  friend bool operator==(const OutputEvent&, const OutputEvent&) = default;
};
struct ExitedEvent {
  std::string key;
  friend bool operator==(const ExitedEvent&, const ExitedEvent&) = default;
};
struct SessionsEvent {
  std::vector<SessionInfo> keys;  // wire name "keys", although each element is a whole row
  friend bool operator==(const SessionsEvent&, const SessionsEvent&) = default;
};
struct ErrorEvent {
  std::string message;
  friend bool operator==(const ErrorEvent&, const ErrorEvent&) = default;
};

using Event =
    std::variant<HelloEvent, AttachedEvent, OutputEvent, ExitedEvent, SessionsEvent, ErrorEvent>;

}  // namespace velmora
