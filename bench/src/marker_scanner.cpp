#include "marker_scanner.h"

namespace velmora::bench {

bool MarkerScanner::feed(std::string_view chunk) {
  m_total += chunk.size();
  if (!chunk.empty()) ++m_chunks;
  if (m_found || m_marker.empty()) return m_found = true;
  std::size_t keep = m_marker.size() - 1;
  // A marker that straddles the boundary starts in the tail and ends in the chunk's head.
  if (!m_tail.empty()) {
    std::string seam = m_tail;
    seam.append(chunk.substr(0, keep));
    if (seam.find(m_marker) != std::string::npos) return m_found = true;
  }
  if (chunk.find(m_marker) != std::string_view::npos) return m_found = true;
  if (chunk.size() >= keep) {
    m_tail.assign(chunk.substr(chunk.size() - keep));
  } else {
    m_tail.append(chunk);
    if (m_tail.size() > keep) m_tail.erase(0, m_tail.size() - keep);
  }
  return false;
}

void MarkerScanner::reset() {
  m_tail.clear();
  m_total = 0;
  m_chunks = 0;
  m_found = false;
}

}  // namespace velmora::bench
