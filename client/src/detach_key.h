#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::client {

// Reads a detach key as written on the command line: "^x" for Ctrl-x (letters in either case,
// and @ [ \ ] ^ _ ?), or one printable ASCII character. Nothing when the text is none of these.
std::optional<unsigned char> parse_detach_key(std::string_view text);

// How long a single press of the detach key waits for a second one.
inline constexpr std::chrono::milliseconds DOUBLE_PRESS_WINDOW{300};

// Tells a detach from a doubled detach key in what is read from the keyboard. The key pressed
// twice in a row is sent to the session once. A single press detaches when the window has
// passed without more input, or at once when other input follows it; that input is dropped,
// since it was meant for whatever comes after the detach.
class DetachKeyFilter {
 public:
  using Clock = std::chrono::steady_clock;

  struct Keys {
    std::string to_send;  // what the session receives
    bool detach = false;  // after to_send
  };

  explicit DetachKeyFilter(std::optional<unsigned char> key,
                           std::chrono::milliseconds window = DOUBLE_PRESS_WINDOW)
      : m_key(key), m_window(window) {}

  // Input read at now. A press that waits counts as doubled by the next byte read, however late
  // that is: a caller that reads what is waiting before calling expired() never detaches while
  // the second press sits unread.
  Keys feed(std::string_view input, Clock::time_point now);

  // When a waiting press turns into a detach; nothing while no press waits.
  std::optional<Clock::time_point> deadline() const { return m_deadline; }

  // True once a waiting press has turned into a detach.
  bool expired(Clock::time_point now) const { return m_deadline && now >= *m_deadline; }

 private:
  std::optional<unsigned char> m_key;
  std::chrono::milliseconds m_window;
  std::optional<Clock::time_point> m_deadline;  // a press waits for its second
};

}  // namespace velmora::client
