#pragma once

// One attachment's event loop, from the attach request until it ends.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "attach_stream.h"
#include "cli.h"
#include "detach_key.h"
#include "mode_tracker.h"
#include "output_buffer.h"
#include "resume_display.h"
#include "seen_history.h"
#include "signal_pipe.h"
#include "terminal.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/line_reader.h"
#include "velmora/core/owned_fd.h"
#include "velmora/core/protocol.h"

namespace velmora::client {

// How an attachment ended.
enum class Outcome {
  detached,
  exited,
  attached_elsewhere,
  daemon_gone,
  failed,
  terminal_gone,
  signalled
};

// The room of each read of the daemon's stream: the attached line of a full replay (about
// 350 KiB) comes in one read, and streaming output in few.
inline constexpr std::size_t STREAM_READ_SIZE = 512 * 1024;

// The event loop of one attachment: the daemon's stream to the terminal, the keyboard and
// window size to the daemon, a lost connection taken up again.
class Attachment {
 public:
  Attachment(const AttachCommand& command, std::string socket_path, OwnedFd socket, WindowSize size,
             const ResumeDisplay& display, pid_t daemon_pid)
      : m_command(command),
        m_socket_path(std::move(socket_path)),
        m_socket(std::move(socket)),
        m_stream(command.key, drawer()),
        m_size(size),
        m_detach_key(command.detach_key),
        m_display(display),
        m_daemon_pid(daemon_pid) {}

  // Sends the attach request and runs until the attachment ends.
  Outcome run(SignalPipe& signals, RawMode& raw);

  const std::string& failure() const { return m_failure; }
  const ModeTracker& modes() const { return m_modes; }
  const ShownTail& shown() const { return m_stream.shown(); }
  std::uint32_t shell_pid() const { return m_shell_pid; }

 private:
  void queue(const Request& request) { m_outgoing += encode_request(request); }
  void queue_resize(WindowSize size) { queue(ResizeRequest{m_command.key, size.cols, size.rows}); }
  void queue_attach();
  bool flush_outgoing();
  std::optional<Outcome> read_daemon();
  std::optional<Outcome> read_terminal();
  std::optional<Outcome> show(std::string_view bytes);
  AttachStream::ReplayDrawer drawer();
  std::optional<Outcome> come_back();
  void drain_outgoing();
  int poll_timeout() const;

  const AttachCommand& m_command;
  std::string m_socket_path;
  OwnedFd m_socket;
  AttachStream m_stream;
  WindowSize m_size;
  LineBuffer m_lines{LineBuffer::MAX_LINE, STREAM_READ_SIZE};  // the daemon's stream
  std::string m_outgoing;
  std::size_t m_outgoing_sent = 0;
  OutputBuffer m_screen;  // what one read of the stream shows, written at once
  ModeTracker m_modes;
  std::optional<std::chrono::steady_clock::time_point> m_redraw_at;
  // While output streams, the daemon's stream is left alone until then, so that its events
  // gather and are taken in one read and one terminal write.
  std::optional<std::chrono::steady_clock::time_point> m_rest_until;
  DetachKeyFilter m_detach_key;
  std::string m_failure;

  const ResumeDisplay& m_display;
  pid_t m_daemon_pid;
  std::uint32_t m_shell_pid = 0;
  bool m_came_back = false;  // the stream is a new connection after the old one was lost
  bool m_drew_alternate = false;
  // Where in m_screen a drawn screen ends, and whether its cursor is on a fresh line.
  std::optional<std::size_t> m_drawing_end;
  std::pair<std::size_t, std::size_t> m_drawing_history;  // its history's bytes in m_screen
  bool m_drawing_line_start = false;
};

}  // namespace velmora::client
