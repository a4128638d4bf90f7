#include "output_buffer.h"

#include <algorithm>
#include <cstring>

namespace velmora::client {

char* OutputBuffer::extend(std::size_t n) {
  if (m_capacity - m_size < n) {
    std::size_t capacity = std::max({m_size + n, 2 * m_capacity, std::size_t{64 * 1024}});
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (m_size > 0) std::memcpy(data.get(), m_data.get(), m_size);
    m_data = std::move(data);
    m_capacity = capacity;
  }
  char* at = m_data.get() + m_size;
  m_size += n;
  return at;
}

void OutputBuffer::append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(extend(bytes.size()), bytes.data(), bytes.size());
}

}  // namespace velmora::client
