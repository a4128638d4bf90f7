#pragma once

// The bytes bound for the terminal from one read of the daemon's stream, gathered for one write.
// Growing it does not zero-fill: decoded output is written straight into it.

#include <cstddef>
#include <memory>
#include <string_view>

namespace velmora::client {

class OutputBuffer {
 public:
  void append(std::string_view bytes);
  OutputBuffer& operator+=(std::string_view bytes) {
    append(bytes);
    return *this;
  }
  // Room for n more bytes at the end, already counted in size(); what is not written there
  // must be taken back with truncate().
  char* extend(std::size_t n);
  void truncate(std::size_t size) {
    if (size < m_size) m_size = size;
  }
  void clear() { m_size = 0; }

  std::size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  std::string_view view() const { return {m_data.get(), m_size}; }
  friend bool operator==(const OutputBuffer& buffer, std::string_view bytes) {
    return buffer.view() == bytes;
  }

 private:
  std::unique_ptr<char[]> m_data;
  std::size_t m_size = 0;
  std::size_t m_capacity = 0;
};

}  // namespace velmora::client
