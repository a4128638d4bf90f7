// decode_event: the clients' direction. Reads any JSON object with the shared scanner into a
// small tree (explicit stack, same nesting limit), then picks the event's members from it:
// unknown members are ignored, absent or mistyped ones fail with a text naming them.

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_scanner.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/unicode.h"
#include "velmora/core/wire_names.h"

namespace velmora {
namespace {

using json::FAILURE_PREFIX;
using json::Number;
using json::Scanner;
using json::Syntax;

struct Node {
  enum class Kind : std::uint8_t { scalar, array, object };
  Kind kind = Kind::scalar;
  json::Scalar scalar;  // for scalars; a string's text is held in text
  std::string text;
  std::string name;         // the member name, for the members of an object
  std::vector<Node> items;  // elements, or members in their order
};

std::string describe(const Node& node) {
  switch (node.kind) {
    case Node::Kind::scalar:
      break;
    case Node::Kind::array:
      return "sequence";
    case Node::Kind::object:
      return "map";
  }
  json::Scalar scalar = node.scalar;
  scalar.text = node.text;
  return json::describe(scalar);
}

bool is_string(const Node& node) {
  return node.kind == Node::Kind::scalar && node.scalar.kind == json::Scalar::Kind::string;
}

// Reads one JSON value into a tree without native recursion. Only what an event can use is
// kept: the members of the outer object, the rows of its "keys" array and their members. The
// contents of every other container are checked and dropped, so no line can make the tree
// much larger than the event it carries.
class TreeReader {
 public:
  explicit TreeReader(std::string_view text) : m_in(text) {}

  bool read(Node& root) {
    if (!read_value(root)) return false;
    while (!m_open.empty()) {
      if (!step()) return false;
    }
    m_in.skip_white_space();
    return m_in.peek() < 0 || m_in.fail_peek(Syntax::trailing_characters);
  }
  const json::Fault& fault() const { return m_in.fault(); }

 private:
  struct Open {
    Node* node;  // nullptr when the contents are dropped
    bool object;
    bool first;
  };

  bool keeps_contents(const Node& container) const {
    switch (m_open.size()) {
      case 0:
        return true;  // the event itself
      case 1:
        return m_open[0].node && container.name == wire::KEYS;  // the rows of "sessions"
      case 2:
        return m_open[1].node != nullptr;  // one row
      default:
        return false;
    }
  }

  // Reads a scalar into node, or opens node as a container to be filled by step().
  bool read_value(Node& node) {
    m_in.skip_white_space();
    int c = m_in.peek();
    if (c < 0) return m_in.fail_peek(Syntax::eof_value);
    if (c == '[' || c == '{') {
      if (m_open.size() == json::MAX_DEPTH) return m_in.fail_peek(Syntax::recursion_limit);
      m_in.eat();
      node.kind = c == '[' ? Node::Kind::array : Node::Kind::object;
      m_open.push_back(Open{keeps_contents(node) ? &node : nullptr, c == '{', true});
      return true;
    }
    if (c == '"') {
      m_in.eat();
      node.scalar.kind = json::Scalar::Kind::string;
      return m_in.read_string(&node.text);
    }
    return m_in.read_scalar(c, node.scalar);
  }

  // The next element or member of the innermost open container, or its end.
  bool step() {
    Open& open = m_open.back();
    switch (open.object ? m_in.next_in_object(open.first) : m_in.next_in_array(open.first)) {
      case Scanner::Step::failed:
        return false;
      case Scanner::Step::closed:
        m_open.pop_back();
        return true;
      case Scanner::Step::item:
        break;
    }
    // Elements are added only here, after which the new node is the innermost open one, so
    // the pointers on the stack stay valid until their containers are closed.
    Node* item = &m_dropped;
    if (open.node) {
      item = &open.node->items.emplace_back();
    } else {
      m_dropped.text.clear();
      m_dropped.name.clear();
    }
    if (open.object && !(m_in.read_string(&item->name) && m_in.read_colon())) return false;
    return read_value(*item);
  }

  Scanner m_in;
  std::vector<Open> m_open;
  Node m_dropped;  // where the elements of dropped containers are read
};

// Takes the members of one object by name; the first failure is kept.
class Members {
 public:
  explicit Members(const Node& object) : m_object(object) {}

  std::string text(std::string_view name) {
    const Node* node = find(name);
    if (!node) return {};
    if (is_string(*node)) return node->text;
    mistyped(*node, "a string");
    return {};
  }
  bool boolean(std::string_view name) {
    const Node* node = find(name);
    if (!node) return false;
    if (node->kind == Node::Kind::scalar && node->scalar.kind == json::Scalar::Kind::boolean) {
      return node->scalar.boolean;
    }
    mistyped(*node, "a boolean");
    return false;
  }
  std::uint64_t unsigned_integer(std::string_view name, std::uint64_t limit,
                                 std::string_view kind) {
    const Node* node = find(name);
    if (!node) return 0;
    const Number& number = node->scalar.number;
    if (node->kind != Node::Kind::scalar || node->scalar.kind != json::Scalar::Kind::number ||
        number.kind == Number::Kind::floating) {
      mistyped(*node, kind);
      return 0;
    }
    if (number.kind == Number::Kind::signed_integer || number.u > limit) {
      fail("invalid value: " + describe(*node) + ", expected " + std::string(kind));
      return 0;
    }
    return number.u;
  }
  std::uint32_t u32(std::string_view name) {
    return static_cast<std::uint32_t>(unsigned_integer(name, UINT32_MAX, "u32"));
  }
  const Node* array(std::string_view name) {
    const Node* node = find(name);
    if (!node || node->kind == Node::Kind::array) return node;
    mistyped(*node, "a sequence");
    return nullptr;
  }

  const std::optional<std::string>& failure() const { return m_failure; }
  void fail(std::string text) {
    if (!m_failure) m_failure = std::move(text);
  }

 private:
  const Node* find(std::string_view name) {
    const Node* found = nullptr;
    for (const Node& member : m_object.items) {
      if (member.name != name) continue;
      if (found) {
        fail("duplicate field `" + std::string(name) + "`");
        return nullptr;
      }
      found = &member;
    }
    if (!found) fail("missing field `" + std::string(name) + "`");
    return found;
  }
  void mistyped(const Node& node, std::string_view expected) {
    fail("invalid type: " + describe(node) + ", expected " + std::string(expected));
  }

  const Node& m_object;
  std::optional<std::string> m_failure;
};

SessionInfo read_session_info(const Node& row, Members& outer) {
  if (row.kind != Node::Kind::object) {
    outer.fail("invalid type: " + describe(row) + ", expected struct SessionInfo");
    return {};
  }
  Members m(row);
  SessionInfo info;
  info.key = m.text(wire::KEY);
  info.cwd = m.text(wire::CWD);
  info.started_at = m.unsigned_integer(wire::STARTED_AT, UINT64_MAX, "u64");
  info.pid = m.u32(wire::PID);
  if (m.failure()) outer.fail(*m.failure());
  return info;
}

std::optional<Event> read_event(std::string_view tag, Members& m) {
  if (tag == wire::HELLO) {
    HelloEvent e;
    e.version = m.u32(wire::VERSION);
    e.pid = m.u32(wire::PID);
    return e;
  }
  if (tag == wire::ATTACHED) {
    AttachedEvent e;
    e.key = m.text(wire::KEY);
    e.resumed = m.boolean(wire::RESUMED);
    e.replay_base64 = m.text(wire::REPLAY_BASE64);
    e.cwd = m.text(wire::CWD);
    e.pid = m.u32(wire::PID);
    return e;
  }
  if (tag == wire::OUTPUT) return OutputEvent{m.text(wire::KEY), m.text(wire::DATA_BASE64)};
  if (tag == wire::EXITED) return ExitedEvent{m.text(wire::KEY)};
  if (tag == wire::SESSIONS) {
    SessionsEvent e;
    if (const Node* rows = m.array(wire::KEYS)) {
      for (const Node& row : rows->items) e.keys.push_back(read_session_info(row, m));
    }
    return e;
  }
  if (tag == wire::ERROR) return ErrorEvent{m.text(wire::MESSAGE)};
  return std::nullopt;
}

Result<Event> read_line(std::string_view text) {
  Node root;
  TreeReader reader(text);
  if (!reader.read(root)) {
    return Error(std::string(FAILURE_PREFIX) + json::describe_fault(text, reader.fault()));
  }
  const auto failure = [](const std::string& detail) {
    return Error(std::string(FAILURE_PREFIX) + detail);
  };
  if (root.kind != Node::Kind::object) {
    return failure("invalid type: " + describe(root) + ", expected internally tagged enum Event");
  }
  Members members(root);
  std::string tag = members.text(wire::TYPE);
  if (members.failure()) return failure(*members.failure());
  std::optional<Event> event = read_event(tag, members);
  if (!event) {
    return failure("unknown variant `" + tag +
                   "`, expected one of `hello`, `attached`, `output`, `exited`, `sessions`, "
                   "`error`");
  }
  if (members.failure()) return failure(*members.failure());
  return std::move(*event);
}

}  // namespace

Result<Event> decode_event(std::string_view line) {
  try {
    return read_line(trim_white_space(line));
  } catch (const std::bad_alloc&) {
    return Error(std::string(FAILURE_PREFIX) + "out of memory");
  }
}

}  // namespace velmora
