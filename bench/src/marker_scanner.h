#pragma once

// Finds an end marker in a byte stream that arrives in chunks of any size, also when the marker
// straddles two or more chunks.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::bench {

class MarkerScanner {
 public:
  explicit MarkerScanner(std::string marker) : m_marker(std::move(marker)) {}

  // True once the marker has been seen in everything fed since the last reset().
  bool feed(std::string_view chunk);
  bool found() const { return m_found; }
  // Bytes fed since the last reset().
  std::size_t total() const { return m_total; }
  // Non-empty chunks fed since the last reset().
  std::size_t chunks() const { return m_chunks; }
  void reset();

 private:
  std::string m_marker;
  std::string m_tail;  // the last marker.size() - 1 bytes fed, at most
  std::size_t m_total = 0;
  std::size_t m_chunks = 0;
  bool m_found = false;
};

}  // namespace velmora::bench
