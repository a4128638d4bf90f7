#include "attach_stream.h"

#include <variant>

#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/protocol.h"
#include "velmora/core/wire_names.h"

namespace velmora::client {
namespace {

// The fixed pieces up to and into the string values, as the daemon writes them.
constexpr auto OUTPUT_PREFIX_TEXT = wire::join(wire::OUTPUT_LINE_START.chars, "\"");
constexpr auto DATA_MEMBER_TEXT = wire::join("\"", wire::DATA_MEMBER.chars, "\"");
constexpr auto ATTACHED_PREFIX_TEXT = wire::join(wire::ATTACHED_LINE_START.chars, "\"");
constexpr auto REPLAY_MEMBER_TEXT = wire::join(wire::REPLAY_MEMBER.chars, "\"");
constexpr std::string_view OUTPUT_PREFIX = OUTPUT_PREFIX_TEXT.view();
constexpr std::string_view DATA_MEMBER = DATA_MEMBER_TEXT.view();
constexpr std::string_view ATTACHED_PREFIX = ATTACHED_PREFIX_TEXT.view();
constexpr std::string_view REPLAY_MEMBER = REPLAY_MEMBER_TEXT.view();

// The replay of an attached event line as the daemon writes it, found without parsing it:
// base64 holds neither quotes nor backslashes. The rest of the line, without the replay's
// text, is small enough for the general decoder.
struct AttachedLine {
  std::string rest;
  std::string_view replay_base64;
};

std::optional<AttachedLine> split_attached_line(std::string_view line) {
  if (!line.starts_with(ATTACHED_PREFIX)) return std::nullopt;
  std::size_t member = line.find(REPLAY_MEMBER, ATTACHED_PREFIX.size());
  if (member == std::string_view::npos) return std::nullopt;
  // The key and the flag before it hold no backslash, so the member name cannot be inside a
  // string.
  if (line.substr(0, member).find('\\') != std::string_view::npos) return std::nullopt;
  std::size_t begin = member + REPLAY_MEMBER.size();
  std::size_t end = line.find('"', begin);
  if (end == std::string_view::npos) return std::nullopt;
  AttachedLine parts;
  parts.replay_base64 = line.substr(begin, end - begin);
  parts.rest.reserve(line.size() - parts.replay_base64.size());
  parts.rest.append(line.substr(0, begin));
  parts.rest.append(line.substr(end));
  return parts;
}

}  // namespace

std::optional<OutputLine> parse_output_line(std::string_view line) {
  if (line.substr(0, OUTPUT_PREFIX.size()) != OUTPUT_PREFIX) return std::nullopt;
  std::string_view rest = line.substr(OUTPUT_PREFIX.size());
  std::size_t key_end = rest.find_first_of("\"\\");
  // A key with escapes takes the general path.
  if (key_end == std::string_view::npos || rest[key_end] != '"') return std::nullopt;
  OutputLine parts;
  parts.key = rest.substr(0, key_end);
  rest = rest.substr(key_end);
  if (rest.substr(0, DATA_MEMBER.size()) != DATA_MEMBER) return std::nullopt;
  rest = rest.substr(DATA_MEMBER.size());
  std::size_t data_end = rest.find('"');
  if (data_end == std::string_view::npos || rest.substr(data_end) != "\"}") return std::nullopt;
  parts.data_base64 = rest.substr(0, data_end);
  return parts;
}

void AttachStream::show(std::string_view bytes, OutputBuffer& out) {
  if (m_attached) {
    out.append(bytes);
    m_shown.append(bytes);
  } else {
    m_held.append(bytes);
  }
}

void AttachStream::show_base64(std::string_view data_base64, OutputBuffer& out) {
  if (!m_attached) {
    if (auto bytes = base64_decode(data_base64)) m_held.append(*bytes);
    return;
  }
  std::size_t at = out.size();
  std::size_t size = base64_decoded_size(data_base64);
  auto* room = reinterpret_cast<unsigned char*>(out.extend(size));
  // Undecodable data is dropped, as the general path drops it.
  if (!base64_decode_into(room, data_base64)) {
    out.truncate(at);
    return;
  }
  m_shown.append(out.view().substr(at));
}

void AttachStream::handle_line(std::string_view line, OutputBuffer& out) {
  if (m_ending != Ending::running) return;
  if (auto output = parse_output_line(line)) {
    if (output->key == m_key) show_base64(output->data_base64, out);
    return;  // else another session of this connection
  }
  std::optional<AttachedLine> split = split_attached_line(line);
  auto event = decode_event(split ? std::string_view(split->rest) : line);
  // A line that we cannot read (a newer daemon's event, say) is skipped, not fatal: the
  // session on screen matters more than one line.
  if (!event) return;
  if (auto* output = std::get_if<OutputEvent>(&*event)) {
    if (output->key == m_key) show_base64(output->data_base64, out);
  } else if (auto* attached = std::get_if<AttachedEvent>(&*event)) {
    if (attached->key != m_key || m_attached) return;
    m_attached = true;
    m_resumed = attached->resumed;
    m_shell_pid = attached->pid;
    std::string_view replay_base64 = split ? split->replay_base64 : attached->replay_base64;
    // An undecodable replay is dropped; live output still follows. It is decoded into memory
    // that is not zero-filled first.
    OutputBuffer decoded;
    std::size_t size = base64_decoded_size(replay_base64);
    if (size > 0 &&
        base64_decode_into(reinterpret_cast<unsigned char*>(decoded.extend(size)), replay_base64)) {
      std::string_view replay = decoded.view();
      if (m_resumed && m_draw) {
        m_draw(replay, m_shell_pid, out);
      } else {
        out += replay;
      }
      m_shown.append(replay);
    }
    show(m_held, out);
    m_held.clear();
    m_held.shrink_to_fit();
  } else if (auto* exited = std::get_if<ExitedEvent>(&*event)) {
    if (exited->key != m_key) return;
    // What the shell wrote last is still worth seeing.
    out += m_held;
    m_held.clear();
    m_ending = Ending::exited;
  } else if (auto* error = std::get_if<ErrorEvent>(&*event)) {
    std::string_view message = error->message;
    if (message.starts_with(DISPLACED_NOTICE) && message.substr(DISPLACED_NOTICE.size()) == m_key) {
      m_ending = Ending::displaced;
      return;
    }
    m_ending = Ending::failed;
    m_failure = error->message;
  }
}

}  // namespace velmora::client
