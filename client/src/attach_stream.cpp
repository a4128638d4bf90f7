#include "attach_stream.h"

#include <variant>

#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/protocol.h"

namespace velmora::client {
namespace {

constexpr std::string_view OUTPUT_PREFIX = R"({"type":"output","key":")";
constexpr std::string_view DATA_MEMBER = R"(","dataBase64":")";

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

void AttachStream::show(std::string_view bytes, std::string& out) {
  if (m_attached) {
    out.append(bytes);
    m_shown.append(bytes);
  } else {
    m_held.append(bytes);
  }
}

void AttachStream::handle_line(std::string_view line, std::string& out) {
  if (m_ending != Ending::Running) return;
  if (auto output = parse_output_line(line)) {
    if (output->key != m_key) return;  // another session of this connection
    auto bytes = base64_decode(output->data_base64);
    if (bytes) show(*bytes, out);
    return;
  }
  auto event = decode_event(line);
  // A line that we cannot read (a newer daemon's event, say) is skipped, not fatal: the
  // session on screen matters more than one line.
  if (!event) return;
  if (auto* output = std::get_if<OutputEvent>(&*event)) {
    if (output->key != m_key) return;
    auto bytes = base64_decode(output->data_base64);
    if (bytes) show(*bytes, out);
  } else if (auto* attached = std::get_if<AttachedEvent>(&*event)) {
    if (attached->key != m_key || m_attached) return;
    m_attached = true;
    m_resumed = attached->resumed;
    m_shell_pid = attached->pid;
    // An undecodable replay is dropped; live output still follows.
    if (auto replay = base64_decode(attached->replay_base64); replay && !replay->empty()) {
      if (m_resumed && m_draw) {
        m_draw(*replay, m_shell_pid, out);
      } else {
        out += *replay;
      }
      m_shown.append(*replay);
    }
    show(m_held, out);
    m_held.clear();
    m_held.shrink_to_fit();
  } else if (auto* exited = std::get_if<ExitedEvent>(&*event)) {
    if (exited->key != m_key) return;
    // What the shell wrote last is still worth seeing.
    out += m_held;
    m_held.clear();
    m_ending = Ending::Exited;
  } else if (auto* error = std::get_if<ErrorEvent>(&*event)) {
    std::string_view message = error->message;
    if (message.starts_with(DISPLACED_NOTICE) && message.substr(DISPLACED_NOTICE.size()) == m_key) {
      m_ending = Ending::Displaced;
      return;
    }
    m_ending = Ending::Failed;
    m_failure = error->message;
  }
}

}  // namespace velmora::client
