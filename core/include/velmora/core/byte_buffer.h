#pragma once

// Bytes in storage that is not cleared before it is filled. A resume's replay and its line are
// some hundred KiB each: a std::string of that size is zeroed first and then written, which
// costs as much as writing it.

#include <cstddef>
#include <memory>
#include <string_view>

namespace velmora {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  // size bytes whose values are unspecified until written.
  explicit ByteBuffer(std::size_t size)
      : m_data(size > 0 ? std::make_unique_for_overwrite<char[]>(size) : nullptr), m_size(size) {}
  // A copy of text.
  static ByteBuffer copy_of(std::string_view text);

  char* data() { return m_data.get(); }
  const char* data() const { return m_data.get(); }
  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  std::string_view view() const { return {m_data.get(), m_size}; }

 private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_size = 0;
};

inline ByteBuffer ByteBuffer::copy_of(std::string_view text) {
  ByteBuffer buffer(text.size());
  if (!text.empty()) __builtin_memcpy(buffer.data(), text.data(), text.size());
  return buffer;
}

}  // namespace velmora
