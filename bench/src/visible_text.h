#pragma once

// What a terminal would show of a byte stream, roughly: the printable characters, with escape
// sequences (CSI, OSC and the short ones) and control characters left out. Sequences may be split
// across chunks. Enough to find a typed character in the output of a front end that redraws.

#include <string>
#include <string_view>

namespace velmora::bench {

class VisibleText {
 public:
  // Appends the visible characters of chunk to out.
  void feed(std::string_view chunk, std::string& out);

 private:
  enum class State { text, escape, csi, osc, osc_escape };
  State m_state = State::text;
};

}  // namespace velmora::bench
