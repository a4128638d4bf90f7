#pragma once

// The POSIX terminal handles behind the interfaces of pty.h.

#include <cstddef>
#include <memory>
#include <string_view>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"
#include "velmora/pty/pty.h"

namespace velmora::pty {

// A close-on-exec duplicate of fd, numbered as low as possible. Errors: "dup of fd {fd} failed",
// "fcntl read failed", "failed to set cloexec".
Result<OwnedFd> try_clone(int fd);

class UnixPtySystem final : public PtySystem {
 public:
  Result<PtyPair> openpty(TerminalSize size) override;
};

class UnixMasterPty final : public MasterPty {
 public:
  explicit UnixMasterPty(OwnedFd fd) : m_fd(std::move(fd)) {}

  Result<void> resize(TerminalSize size) override;
  Result<std::unique_ptr<PtyReader>> try_clone_reader() override;
  Result<std::unique_ptr<PtyWriter>> take_writer() override;

  int fd() const { return m_fd.get(); }

 private:
  OwnedFd m_fd;
  bool m_writer_taken = false;
};

class UnixSlavePty final : public SlavePty {
 public:
  explicit UnixSlavePty(OwnedFd fd) : m_fd(std::move(fd)) {}

  Result<std::unique_ptr<Child>> spawn_command(CommandBuilder command) override;

  int fd() const { return m_fd.get(); }

 private:
  OwnedFd m_fd;
};

// The reader: its own duplicate of the master descriptor.
class PtyFd final : public PtyReader {
 public:
  explicit PtyFd(OwnedFd fd) : m_fd(std::move(fd)) {}

  Result<std::size_t> read(char* buffer, std::size_t capacity) override;
  int descriptor() const override { return m_fd.get(); }

  int fd() const { return m_fd.get(); }

 private:
  OwnedFd m_fd;
};

// The writer: its own duplicate of the master descriptor.
class UnixMasterWriter final : public PtyWriter {
 public:
  explicit UnixMasterWriter(OwnedFd fd) : m_fd(std::move(fd)) {}
  ~UnixMasterWriter() override;
  UnixMasterWriter(const UnixMasterWriter&) = delete;
  UnixMasterWriter& operator=(const UnixMasterWriter&) = delete;

  Result<std::size_t> write(std::string_view bytes) override;
  Result<void> write_all(std::string_view bytes) override;
  Result<void> flush() override { return {}; }

  int fd() const { return m_fd.get(); }

 private:
  OwnedFd m_fd;
};

}  // namespace velmora::pty
