#include "output_line.h"

#include "velmora/core/base64.h"
#include "velmora/core/wire_names.h"

namespace velmora::bench {

namespace {

constexpr std::string_view SUFFIX = "\"}";

}  // namespace

bool base64_decode_append(std::string_view text, std::string& out) {
  std::size_t start = out.size();
  out.resize(start + base64_decoded_size(text));
  if (base64_decode_into(reinterpret_cast<unsigned char*>(out.data() + start), text)) return true;
  out.resize(start);
  return false;
}

OutputDecoder::OutputDecoder(std::string_view key) {
  // Keys need no escaping in the benchmark's sessions, so the line is known up to the payload.
  m_prefix = wire::OUTPUT_LINE_START.view();
  m_prefix.push_back('"');
  m_prefix.append(key);
  m_prefix.push_back('"');
  m_prefix.append(wire::DATA_MEMBER.view());
  m_prefix.push_back('"');
}

OutputLine OutputDecoder::decode(std::string_view line, std::string& out) const {
  if (line.size() < m_prefix.size() + SUFFIX.size() || !line.starts_with(m_prefix) ||
      !line.ends_with(SUFFIX))
    return OutputLine::other_event;
  std::string_view payload =
      line.substr(m_prefix.size(), line.size() - m_prefix.size() - SUFFIX.size());
  return base64_decode_append(payload, out) ? OutputLine::decoded : OutputLine::malformed;
}

}  // namespace velmora::bench
