#include "output_line.h"

#include <array>
#include <cstdint>

namespace velmora::bench {

namespace {

constexpr std::uint8_t INVALID = 0xff;

constexpr std::array<std::uint8_t, 256> make_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = INVALID;
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < alphabet.size(); ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  return table;
}

constexpr std::array<std::uint8_t, 256> TABLE = make_table();

constexpr std::string_view SUFFIX = "\"}";

std::uint32_t sextet(char c) { return TABLE[static_cast<unsigned char>(c)]; }

}  // namespace

bool base64_decode_append(std::string_view text, std::string& out) {
  if (text.size() % 4 != 0) return false;
  if (text.empty()) return true;
  std::size_t padding = text.back() != '=' ? 0 : text[text.size() - 2] == '=' ? 2 : 1;
  std::size_t full_groups = text.size() / 4 - (padding != 0 ? 1 : 0);
  std::size_t start = out.size();
  out.resize(start + text.size() / 4 * 3 - padding);
  auto* dst = reinterpret_cast<unsigned char*>(out.data() + start);
  const char* src = text.data();
  // Any invalid symbol sets bits above the low 24 in the accumulated OR.
  std::uint32_t bad = 0;
  for (std::size_t group = 0; group < full_groups; ++group, src += 4, dst += 3) {
    std::uint32_t a = sextet(src[0]), b = sextet(src[1]), c = sextet(src[2]), d = sextet(src[3]);
    bad |= a | b | c | d;
    std::uint32_t word = a << 18 | b << 12 | c << 6 | d;
    dst[0] = static_cast<unsigned char>(word >> 16);
    dst[1] = static_cast<unsigned char>(word >> 8);
    dst[2] = static_cast<unsigned char>(word);
  }
  if (padding != 0) {
    std::uint32_t a = sextet(src[0]), b = sextet(src[1]);
    bad |= a | b;
    if (padding == 2) {
      // The unused low bits of the last symbol must be zero in a canonical encoding.
      if ((b & 0x0f) != 0) bad = INVALID;
      dst[0] = static_cast<unsigned char>(a << 2 | b >> 4);
    } else {
      std::uint32_t c = sextet(src[2]);
      bad |= c;
      if ((c & 0x03) != 0) bad = INVALID;
      dst[0] = static_cast<unsigned char>(a << 2 | b >> 4);
      dst[1] = static_cast<unsigned char>(b << 4 | c >> 2);
    }
  }
  if (bad >= 64) {
    out.resize(start);
    return false;
  }
  return true;
}

OutputDecoder::OutputDecoder(std::string_view key) {
  m_prefix = "{\"type\":\"output\",\"key\":\"";
  m_prefix.append(key);
  m_prefix.append("\",\"dataBase64\":\"");
}

OutputLine OutputDecoder::decode(std::string_view line, std::string& out) const {
  if (line.size() < m_prefix.size() + SUFFIX.size() || !line.starts_with(m_prefix) ||
      !line.ends_with(SUFFIX))
    return OutputLine::OtherEvent;
  std::string_view payload =
      line.substr(m_prefix.size(), line.size() - m_prefix.size() - SUFFIX.size());
  return base64_decode_append(payload, out) ? OutputLine::Decoded : OutputLine::Malformed;
}

}  // namespace velmora::bench
