#include "session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "client_slot.h"

namespace velmora::daemon {

namespace {

// The first block is small: most shells print a prompt and then wait.
constexpr std::size_t FIRST_BLOCK = 4096;

}  // namespace

void Replay::append(const char* bytes, std::size_t size) {
  if (size == 0) return;
  if (size >= REPLAY_LIMIT) {
    // Only the chunk's own tail survives; everything held so far would be trimmed.
    bytes += size - REPLAY_LIMIT;
    size = REPLAY_LIMIT;
    m_start = 0;
    m_length = 0;
  }
  grow(std::min(m_length + size, REPLAY_LIMIT));

  // Trimming before copying gives the same content as copying then trimming, but lets the block
  // stop at REPLAY_LIMIT bytes. Either way only the start moves.
  if (m_length + size > REPLAY_LIMIT) {
    std::size_t excess = m_length + size - REPLAY_LIMIT;
    m_start = (m_start + excess) % m_capacity;
    m_length -= excess;
  }

  std::size_t end = (m_start + m_length) % m_capacity;
  std::size_t first = std::min(size, m_capacity - end);
  std::memcpy(m_block.get() + end, bytes, first);
  if (first < size) std::memcpy(m_block.get(), bytes + first, size - first);
  m_length += size;
}

std::string Replay::snapshot() const {
  std::string copy(m_length, '\0');
  if (m_length == 0) return copy;
  std::size_t first = std::min(m_length, m_capacity - m_start);
  std::memcpy(copy.data(), m_block.get() + m_start, first);
  if (first < m_length) std::memcpy(copy.data() + first, m_block.get(), m_length - first);
  return copy;
}

void Replay::grow(std::size_t needed) {
  if (needed <= m_capacity) return;
  std::size_t capacity = std::max({needed, m_capacity * 2, FIRST_BLOCK});
  capacity = std::min(capacity, std::max(needed, REPLAY_LIMIT));
  auto block = std::make_unique_for_overwrite<char[]>(capacity);
  if (m_length > 0) {
    // Unwrap the content into the new block; this is the only time bytes are moved.
    std::size_t first = std::min(m_length, m_capacity - m_start);
    std::memcpy(block.get(), m_block.get() + m_start, first);
    if (first < m_length) std::memcpy(block.get() + first, m_block.get(), m_length - first);
  }
  m_block = std::move(block);
  m_capacity = capacity;
  m_start = 0;
}

Result<std::shared_ptr<SessionOutput>> SessionOutput::create(std::shared_ptr<ClientSlot> slot) {
  auto wake = WakeUp::create();
  if (!wake) return wake.error();
  return std::make_shared<SessionOutput>(std::move(slot), std::move(*wake));
}

Route SessionOutput::append(const char* bytes, std::size_t size) {
  MutexLock lock(m_mutex);
  m_replay.append(bytes, size);
  return Route{m_slot, m_generation.load()};
}

std::optional<Takeover> SessionOutput::take_over(std::shared_ptr<ClientSlot> slot) {
  Takeover takeover;
  {
    MutexLock lock(m_mutex);
    if (m_finished || m_ending.load()) return std::nullopt;
    takeover.replay = m_replay.snapshot();
    // The connection that has the output already keeps it: nothing to abandon.
    if (slot == m_slot) {
      takeover.previous = std::move(slot);
      return takeover;
    }
    takeover.previous = std::exchange(m_slot, std::move(slot));
    m_generation.fetch_add(1);
  }
  m_wake.signal();
  return takeover;
}

void SessionOutput::end() {
  {
    MutexLock lock(m_mutex);
    if (m_ending.load()) return;
    m_ending.store(true);
    m_generation.fetch_add(1);
  }
  m_wake.signal();
}

std::shared_ptr<ClientSlot> SessionOutput::finish() {
  MutexLock lock(m_mutex);
  m_finished = true;
  return m_slot;
}

bool SessionOutput::finished() {
  MutexLock lock(m_mutex);
  return m_finished;
}

Session::~Session() {
  // A fixed order: the terminal handles first (the writer's release ends the shell's input with a
  // newline and the end-of-file character), then the process handle, then the shared parts.
  master.reset();
  writer.reset();
  child.reset();
  output.reset();
  cwd.clear();
  cwd.shrink_to_fit();
}

}  // namespace velmora::daemon
