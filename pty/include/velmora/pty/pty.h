#pragma once

// Pseudo-terminal pairs: the master side (resize, one reader per clone, one writer) and the slave
// side on which a command is started.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "velmora/core/result.h"

namespace velmora::pty {

class Child;
class CommandBuilder;

// Laid out exactly like struct winsize, and handed to the platform as one.
struct TerminalSize {
  std::uint16_t rows = 0;
  std::uint16_t cols = 0;
  std::uint16_t xpixel = 0;
  std::uint16_t ypixel = 0;
};

// Reads the shell's output from the master side.
class PtyReader {
 public:
  virtual ~PtyReader() = default;
  // Bytes placed in buffer; 0 is end of file (EIO, the slave side gone, is reported as 0 too).
  virtual Result<std::size_t> read(char* buffer, std::size_t capacity) = 0;
  // Polls readable (POLLIN, or POLLHUP once the slave side is gone) when read() would not block,
  // so that the caller can wait for it together with other descriptors. Owned by the reader.
  virtual int descriptor() const = 0;
};

// Writes terminal input on the master side. Releasing it sends a newline and the end-of-file
// character, so that a shell reading in canonical mode sees end of input; it never blocks on a
// shell that has stopped reading.
class PtyWriter {
 public:
  virtual ~PtyWriter() = default;
  virtual Result<std::size_t> write(std::string_view bytes) = 0;
  virtual Result<void> write_all(std::string_view bytes) = 0;
  virtual Result<void> flush() = 0;
};

class MasterPty {
 public:
  virtual ~MasterPty() = default;
  virtual Result<void> resize(TerminalSize size) = 0;
  virtual Result<std::unique_ptr<PtyReader>> try_clone_reader() = 0;
  // Succeeds at most once; a failed duplication also uses up the one take.
  virtual Result<std::unique_ptr<PtyWriter>> take_writer() = 0;
};

class SlavePty {
 public:
  virtual ~SlavePty() = default;
  // Starts the command on this terminal as a new session leader (see command.h).
  virtual Result<std::unique_ptr<Child>> spawn_command(CommandBuilder command) = 0;
};

struct PtyPair {
  std::unique_ptr<SlavePty> slave;
  std::unique_ptr<MasterPty> master;
};

class PtySystem {
 public:
  virtual ~PtySystem() = default;
  virtual Result<PtyPair> openpty(TerminalSize size) = 0;
};

std::unique_ptr<PtySystem> native_pty_system();

}  // namespace velmora::pty
