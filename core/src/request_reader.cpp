// decode_line: one request line to a Request, in one left-to-right pass.
//
// The reading follows the protocol's established behaviour exactly, because its fault texts
// and columns reach clients: the tag ("type") is looked for while the text is read, and the
// faults of the tag and of the JSON text are reported where they are found; the members of
// the chosen alternative are judged only after the whole value has been read. Members are
// converted as they are read (their faults kept, not reported yet), so nothing but the
// converted values is stored, and containers are tracked on a fixed explicit stack.

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "json_scanner.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/unicode.h"
#include "velmora/core/wire_names.h"

namespace velmora {
namespace {

using json::FAILURE_PREFIX;
using json::Number;
using json::Scalar;
using json::Scanner;
using json::Syntax;

constexpr std::string_view TAG_NAME = wire::TYPE;

enum class Field : std::uint8_t { key, cwd, cols, rows, env, version, data_base64 };
constexpr std::size_t FIELD_COUNT = 7;
constexpr std::string_view FIELD_NAMES[FIELD_COUNT] = {
    wire::KEY, wire::CWD, wire::COLS, wire::ROWS, wire::ENV, wire::VERSION, wire::DATA_BASE64};

std::optional<Field> field_named(std::string_view name) {
  for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
    if (FIELD_NAMES[i] == name) return static_cast<Field>(i);
  }
  return std::nullopt;
}

// One alternative of Request, at its index in the variant.
struct Alternative {
  std::string_view tag;
  std::array<Field, 5> fields;
  std::size_t field_count;
  std::string_view struct_text;  // how a too short array form names what it expected
};
constexpr Alternative ALTERNATIVES[] = {
    {wire::HELLO, {Field::version}, 1, "struct variant Request::Hello with 1 element"},
    {wire::ATTACH,
     {Field::key, Field::cwd, Field::cols, Field::rows, Field::env},
     5,
     "struct variant Request::Attach with 5 elements"},
    {wire::WRITE,
     {Field::key, Field::data_base64},
     2,
     "struct variant Request::Write with 2 elements"},
    {wire::RESIZE,
     {Field::key, Field::cols, Field::rows},
     3,
     "struct variant Request::Resize with 3 elements"},
    {wire::CLOSE, {Field::key}, 1, "struct variant Request::Close with 1 element"},
    {wire::LIST, {}, 0, ""},
    {wire::SHUTDOWN, {}, 0, ""},
};
constexpr std::size_t ALTERNATIVE_COUNT = std::size(ALTERNATIVES);
static_assert(ALTERNATIVE_COUNT == std::variant_size_v<Request>);

constexpr std::string_view UNKNOWN_VARIANT_LIST =
    "expected one of `hello`, `attach`, `write`, `resize`, `close`, `list`, `shutdown`";

// What a container is to the request.
enum class Role : std::uint8_t { plain, top_object, top_array, env, pair };

// Trivial on purpose: the stack is not cleared up front, each frame is written when pushed.
struct Frame {
  bool is_object;
  bool first;
  Role role;
  std::uint64_t count;  // elements seen (arrays)
};

// Where a value being read goes.
enum class Target : std::uint8_t { ignore, field, env_element, pair_name, pair_value };

std::string invalid_type(std::string_view unexpected, std::string_view expected) {
  std::string text = "invalid type: ";
  text += unexpected;
  text += ", expected ";
  text += expected;
  return text;
}

class RequestReader {
 public:
  explicit RequestReader(std::string_view text) : m_text(text), m_in(text) {}

  Result<Request> read();

 private:
  Frame& top() { return m_stack[m_depth - 1]; }
  bool read_top_value();
  bool run();
  bool step(Frame& frame);
  bool close_frame();
  bool read_top_member();
  bool read_tag();
  bool reject_tag(int first_byte);
  bool read_value(Target target, Field field);
  bool read_described(int first_byte, Scalar& out);
  void accept_scalar(Target target, Field field, const Scalar& value);
  Role accept_open(Target target, Field field, bool is_array);
  Target target_for_element(Frame& frame, Field& field);
  Target target_for_member(std::string_view name, Field& field);
  std::string* string_destination(Target target, Field field);
  void fault(Field field, std::string text);
  bool env_failed() const {
    return m_fields[static_cast<std::size_t>(Field::env)].fault.has_value();
  }
  std::optional<std::string> member_fault() const;
  Request build();

  struct FieldState {
    std::int64_t first = -1;      // ordinal of the first occurrence
    std::int64_t duplicate = -1;  // ordinal of the second occurrence
    std::optional<std::string> fault;
  };

  std::string_view m_text;
  Scanner m_in;
  std::array<Frame, json::MAX_DEPTH> m_stack;
  std::size_t m_depth = 0;
  std::size_t m_alternative = ALTERNATIVE_COUNT;  // none yet
  bool m_array_form = false;
  std::int64_t m_ordinal = 0;  // members (object form) or elements after the tag (array form)
  std::array<FieldState, FIELD_COUNT> m_fields{};
  std::string m_scratch;

  // The converted values of the declared members.
  std::string m_key;
  std::optional<std::string> m_cwd;
  std::uint16_t m_cols = 0;
  std::uint16_t m_rows = 0;
  std::uint32_t m_version = 0;
  std::string m_data_base64;
  std::vector<EnvPair> m_env;
  EnvPair m_pair;
};

Result<Request> RequestReader::read() {
  if (!read_top_value()) {
    return Error(std::string(FAILURE_PREFIX) + json::describe_fault(m_text, m_in.fault()));
  }
  if (auto fault = member_fault()) return Error(std::string(FAILURE_PREFIX) + *fault);
  m_in.skip_white_space();
  if (m_in.peek() >= 0) {
    m_in.fail_peek(Syntax::trailing_characters);
    return Error(std::string(FAILURE_PREFIX) + json::describe_fault(m_text, m_in.fault()));
  }
  return build();
}

bool RequestReader::read_top_value() {
  m_in.skip_white_space();
  int c = m_in.peek();
  if (c < 0) return m_in.fail_peek(Syntax::eof_value);
  if (c == '{' || c == '[') {
    m_in.eat();
    m_depth = 1;
    m_stack[0] = Frame{c == '{', true, c == '{' ? Role::top_object : Role::top_array, 0};
    if (c == '[') {
      // The array form: the first element is the tag.
      m_array_form = true;
      m_in.skip_white_space();
      int next = m_in.peek();
      if (next == ']') {
        m_in.eat();
        return m_in.fail_here("missing field `type`");
      }
      if (next < 0) return m_in.fail_peek(Syntax::eof_list);
      m_stack[0].first = false;
      if (!read_tag()) return false;
    }
    return run();
  }
  Scalar value;
  if (!read_described(c, value)) return false;
  return m_in.fail_here(invalid_type(json::describe(value), "internally tagged enum Request"));
}

// Reads a scalar, or a string kept in m_scratch, for a fault text to describe.
bool RequestReader::read_described(int first_byte, Scalar& out) {
  if (first_byte != '"') return m_in.read_scalar(first_byte, out);
  m_in.eat();
  m_scratch.clear();
  if (!m_in.read_string(&m_scratch)) return false;
  out.kind = Scalar::Kind::string;
  out.text = m_scratch;
  return true;
}

bool RequestReader::run() {
  while (m_depth > 0) {
    if (!step(top())) return false;
  }
  return true;
}

// The next element or member of the innermost container, or its end.
bool RequestReader::step(Frame& frame) {
  const Scanner::Step step =
      frame.is_object ? m_in.next_in_object(frame.first) : m_in.next_in_array(frame.first);
  if (step == Scanner::Step::failed) return false;
  if (step == Scanner::Step::closed) return close_frame();
  if (frame.role == Role::top_object) return read_top_member();
  if (frame.is_object) {
    if (!m_in.read_string(nullptr) || !m_in.read_colon()) return false;
    return read_value(Target::ignore, Field::key);
  }
  Field field = Field::key;
  Target target = target_for_element(frame, field);
  ++frame.count;
  return read_value(target, field);
}

// A member of the request's own object, after the opening quotation mark of its name.
bool RequestReader::read_top_member() {
  m_scratch.clear();
  if (!m_in.read_string(&m_scratch)) return false;
  if (m_scratch == TAG_NAME) {
    if (m_alternative != ALTERNATIVE_COUNT) {
      // Reported once the object has been looked at up to its next token: the column takes in
      // the white space after the name, and a closing brace right there.
      m_in.skip_white_space();
      if (m_in.peek() == '}') m_in.eat();
      return m_in.fail_here("duplicate field `type`");
    }
    return m_in.read_colon() && read_tag();
  }
  Field field = Field::key;
  Target target = target_for_member(m_scratch, field);
  ++m_ordinal;
  return m_in.read_colon() && read_value(target, field);
}

// The tag's value: a string that names an alternative.
bool RequestReader::read_tag() {
  m_in.skip_white_space();
  int c = m_in.peek();
  if (c < 0) return m_in.fail_peek(Syntax::eof_value);
  if (c != '"') return reject_tag(c);
  m_in.eat();
  m_scratch.clear();
  if (!m_in.read_string(&m_scratch)) return false;
  for (std::size_t i = 0; i < ALTERNATIVE_COUNT; ++i) {
    if (ALTERNATIVES[i].tag == m_scratch) {
      m_alternative = i;
      return true;
    }
  }
  return m_in.fail_here("unknown variant `" + m_scratch + "`, " +
                        std::string(UNKNOWN_VARIANT_LIST));
}

// A tag that is not a string. A container is refused at once, before its opening bracket is
// consumed, so the column is that of the byte before it.
bool RequestReader::reject_tag(int first_byte) {
  constexpr std::string_view TAG_KIND = "variant identifier";
  if (first_byte == '[') return m_in.fail_here(invalid_type("sequence", TAG_KIND));
  if (first_byte == '{') return m_in.fail_here(invalid_type("map", TAG_KIND));
  Scalar value;
  if (!m_in.read_scalar(first_byte, value)) return false;
  return m_in.fail_here(invalid_type(json::describe(value), TAG_KIND));
}

Target RequestReader::target_for_member(std::string_view name, Field& field) {
  auto named = field_named(name);
  if (!named) return Target::ignore;
  FieldState& state = m_fields[static_cast<std::size_t>(*named)];
  if (state.first < 0) {
    state.first = m_ordinal;
    field = *named;
    return Target::field;
  }
  // A second occurrence decides nothing but the duplicate fault; its value is only checked.
  if (state.duplicate < 0) state.duplicate = m_ordinal;
  return Target::ignore;
}

Target RequestReader::target_for_element(Frame& frame, Field& field) {
  switch (frame.role) {
    case Role::top_array: {
      const Alternative& alternative = ALTERNATIVES[m_alternative];
      std::uint64_t index = frame.count;
      m_ordinal = static_cast<std::int64_t>(index);
      if (index >= alternative.field_count) return Target::ignore;
      field = alternative.fields[index];
      m_fields[static_cast<std::size_t>(field)].first = m_ordinal;
      return Target::field;
    }
    case Role::env:
      return env_failed() ? Target::ignore : Target::env_element;
    case Role::pair:
      if (env_failed() || frame.count >= 2) return Target::ignore;
      return frame.count == 0 ? Target::pair_name : Target::pair_value;
    case Role::plain:
    case Role::top_object:
      break;
  }
  return Target::ignore;
}

bool RequestReader::read_value(Target target, Field field) {
  m_in.skip_white_space();
  int c = m_in.peek();
  if (c < 0) return m_in.fail_peek(Syntax::eof_value);
  if (c == '[' || c == '{') {
    if (m_depth == json::MAX_DEPTH) return m_in.fail_peek(Syntax::recursion_limit);
    m_in.eat();
    bool is_array = c == '[';
    m_stack[m_depth++] = Frame{!is_array, true, accept_open(target, field, is_array), 0};
    return true;
  }
  if (c == '"') {
    if (std::string* destination = string_destination(target, field)) {
      m_in.eat();
      return m_in.read_string(destination);
    }
    if (target == Target::ignore) {
      m_in.eat();
      return m_in.read_string(nullptr);
    }
  }
  // Anything else may end up in a fault text, strings where something else belongs included.
  Scalar value;
  if (!read_described(c, value)) return false;
  accept_scalar(target, field, value);
  return true;
}

// Where a string read for target is stored, or nullptr when a string does not belong there.
std::string* RequestReader::string_destination(Target target, Field field) {
  switch (target) {
    case Target::field:
      if (field == Field::key) return &m_key;
      if (field == Field::data_base64) return &m_data_base64;
      if (field == Field::cwd) return &m_cwd.emplace();
      return nullptr;
    case Target::pair_name:
      return &m_pair.first;
    case Target::pair_value:
      return &m_pair.second;
    case Target::ignore:
    case Target::env_element:
      return nullptr;
  }
  return nullptr;
}

void RequestReader::fault(Field field, std::string text) {
  auto& slot = m_fields[static_cast<std::size_t>(field)].fault;
  if (!slot) slot = std::move(text);
}

void RequestReader::accept_scalar(Target target, Field field, const Scalar& value) {
  switch (target) {
    case Target::ignore:
      return;
    case Target::env_element:
      return fault(Field::env, invalid_type(json::describe(value), "a tuple of size 2"));
    case Target::pair_name:
    case Target::pair_value:
      return fault(Field::env, invalid_type(json::describe(value), "a string"));
    case Target::field:
      break;
  }
  switch (field) {
    case Field::key:
    case Field::data_base64:
      return fault(field, invalid_type(json::describe(value), "a string"));
    case Field::cwd:
      if (value.kind == Scalar::Kind::null) return;  // null means none
      return fault(field, invalid_type(json::describe(value), "a string"));
    case Field::env:
      return fault(field, invalid_type(json::describe(value), "a sequence"));
    case Field::cols:
    case Field::rows:
    case Field::version: {
      const bool wide = field == Field::version;
      const std::string_view kind = wide ? "u32" : "u16";
      const std::uint64_t limit = wide ? UINT32_MAX : UINT16_MAX;
      if (value.kind != Scalar::Kind::number || value.number.kind == Number::Kind::floating) {
        return fault(field, invalid_type(json::describe(value), kind));
      }
      if (value.number.kind == Number::Kind::signed_integer || value.number.u > limit) {
        return fault(field,
                     "invalid value: " + json::describe(value) + ", expected " + std::string(kind));
      }
      if (field == Field::version) {
        m_version = static_cast<std::uint32_t>(value.number.u);
      } else {
        (field == Field::cols ? m_cols : m_rows) = static_cast<std::uint16_t>(value.number.u);
      }
      return;
    }
  }
}

Role RequestReader::accept_open(Target target, Field field, bool is_array) {
  const std::string_view unexpected = is_array ? "sequence" : "map";
  switch (target) {
    case Target::ignore:
      return Role::plain;
    case Target::env_element:
      if (is_array) {
        m_pair = EnvPair();
        return Role::pair;
      }
      fault(Field::env, invalid_type(unexpected, "a tuple of size 2"));
      return Role::plain;
    case Target::pair_name:
    case Target::pair_value:
      fault(Field::env, invalid_type(unexpected, "a string"));
      return Role::plain;
    case Target::field:
      break;
  }
  switch (field) {
    case Field::env:
      if (is_array) return Role::env;
      fault(field, invalid_type(unexpected, "a sequence"));
      break;
    case Field::cols:
    case Field::rows:
      fault(field, invalid_type(unexpected, "u16"));
      break;
    case Field::version:
      fault(field, invalid_type(unexpected, "u32"));
      break;
    case Field::key:
    case Field::cwd:
    case Field::data_base64:
      fault(field, invalid_type(unexpected, "a string"));
      break;
  }
  return Role::plain;
}

bool RequestReader::close_frame() {
  Frame frame = top();
  --m_depth;
  switch (frame.role) {
    case Role::top_object:
      if (m_alternative == ALTERNATIVE_COUNT) return m_in.fail_here("missing field `type`");
      return true;
    case Role::top_array:
      m_ordinal = static_cast<std::int64_t>(frame.count);  // elements after the tag
      return true;
    case Role::pair:
      if (env_failed()) return true;
      if (frame.count < 2) {
        fault(Field::env,
              "invalid length " + std::to_string(frame.count) + ", expected a tuple of size 2");
      } else if (frame.count > 2) {
        fault(Field::env, "invalid length " + std::to_string(frame.count) +
                              ", expected 2 elements in sequence");
      } else {
        m_env.push_back(std::move(m_pair));
      }
      return true;
    case Role::env:
    case Role::plain:
      return true;
  }
  return true;
}

// The first fault of the alternative's members, once the whole value has been read.
std::optional<std::string> RequestReader::member_fault() const {
  const Alternative& alternative = ALTERNATIVES[m_alternative];
  const auto fields = std::span(alternative.fields.data(), alternative.field_count);
  if (m_array_form) {
    const auto given = static_cast<std::uint64_t>(m_ordinal);
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i >= given) {
        return "invalid length " + std::to_string(given) + ", expected " +
               std::string(alternative.struct_text);
      }
      if (const auto& fault = m_fields[static_cast<std::size_t>(fields[i])].fault) return *fault;
    }
    if (given > fields.size()) {
      return "invalid length " + std::to_string(given) + ", expected " +
             std::to_string(fields.size()) +
             (fields.size() == 1 ? " element in sequence" : " elements in sequence");
    }
    return std::nullopt;
  }
  // Object form: the earliest member, in text order, whose value does not fit or whose name
  // repeats; then the first required member that is absent.
  std::int64_t earliest = -1;
  std::optional<std::string> chosen;
  for (Field field : fields) {
    const FieldState& state = m_fields[static_cast<std::size_t>(field)];
    if (state.fault && (earliest < 0 || state.first < earliest)) {
      earliest = state.first;
      chosen = *state.fault;
    }
    if (state.duplicate >= 0 && (earliest < 0 || state.duplicate < earliest)) {
      earliest = state.duplicate;
      chosen =
          "duplicate field `" + std::string(FIELD_NAMES[static_cast<std::size_t>(field)]) + "`";
    }
  }
  if (chosen) return chosen;
  for (Field field : fields) {
    if (field != Field::cwd && m_fields[static_cast<std::size_t>(field)].first < 0) {
      return "missing field `" + std::string(FIELD_NAMES[static_cast<std::size_t>(field)]) + "`";
    }
  }
  return std::nullopt;
}

Request RequestReader::build() {
  switch (m_alternative) {
    case 0:
      return HelloRequest{m_version};
    case 1:
      return AttachRequest{std::move(m_key), std::move(m_cwd), m_cols, m_rows, std::move(m_env)};
    case 2:
      return WriteRequest{std::move(m_key), std::move(m_data_base64)};
    case 3:
      return ResizeRequest{std::move(m_key), m_cols, m_rows};
    case 4:
      return CloseRequest{std::move(m_key)};
    case 5:
      return ListRequest{};
    default:
      return ShutdownRequest{};
  }
}

}  // namespace

Result<Request> decode_line(std::string_view line) {
  try {
    return RequestReader(trim_white_space(line)).read();
  } catch (const std::bad_alloc&) {
    // A line too large to hold is a failure of that line, not of the caller.
    return Error(std::string(FAILURE_PREFIX) + "out of memory");
  }
}

}  // namespace velmora
