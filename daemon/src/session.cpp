#include "session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "client_slot.h"

// 0 builds a daemon that follows no terminal modes, to measure what following them costs. Only
// this file differs between the two builds.
#ifndef VELMORA_MODE_TRACKING
#define VELMORA_MODE_TRACKING 1
#endif

namespace velmora::daemon {

namespace {

constexpr bool MODE_TRACKING = VELMORA_MODE_TRACKING != 0;

// The first block is small: most shells print a prompt and then wait.
constexpr std::size_t FIRST_BLOCK = 4096;

}  // namespace

void Replay::append(const char* bytes, std::size_t size) {
  if (size == 0) return;
  if (size >= m_limit) {
    // Only the chunk's own tail survives; everything held so far would be trimmed.
    bytes += size - m_limit;
    size = m_limit;
    m_start = 0;
    m_length = 0;
  }
  grow(std::min(m_length + size, m_limit));

  // Trimming before copying gives the same content as copying then trimming, but lets the block
  // stop at the limit. Either way only the start moves.
  if (m_length + size > m_limit) {
    std::size_t excess = m_length + size - m_limit;
    m_start = (m_start + excess) % m_capacity;
    m_length -= excess;
  }

  std::size_t end = (m_start + m_length) % m_capacity;
  std::size_t first = std::min(size, m_capacity - end);
  std::memcpy(m_block.get() + end, bytes, first);
  if (first < size) std::memcpy(m_block.get(), bytes + first, size - first);
  m_length += size;
}

ByteBuffer Replay::copy(std::string_view prefix, std::size_t newest) const {
  newest = std::min(newest, m_length);
  auto [older, newer] = pieces();
  // The newest bytes are the end of older (if they reach into it) and then all of newer.
  std::size_t from_older = newest > newer.size() ? newest - newer.size() : 0;
  std::string_view tail_of_newer = newer.substr(newer.size() - (newest - from_older));
  ByteBuffer copy(prefix.size() + newest);
  char* out = copy.data();
  if (!prefix.empty()) std::memcpy(out, prefix.data(), prefix.size());
  out += prefix.size();
  if (from_older > 0) std::memcpy(out, older.data() + older.size() - from_older, from_older);
  if (!tail_of_newer.empty()) {
    std::memcpy(out + from_older, tail_of_newer.data(), tail_of_newer.size());
  }
  return copy;
}

std::pair<std::string_view, std::string_view> Replay::pieces() const {
  if (m_length == 0) return {};
  std::size_t first = std::min(m_length, m_capacity - m_start);
  return {std::string_view(m_block.get() + m_start, first),
          std::string_view(m_block.get(), m_length - first)};
}

void Replay::grow(std::size_t needed) {
  if (needed <= m_capacity) return;
  std::size_t capacity = std::max({needed, m_capacity * 2, FIRST_BLOCK});
  capacity = std::min(capacity, std::max(needed, m_limit));
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

SessionOutput::SessionOutput(std::shared_ptr<ClientSlot> slot, WakeUp wake)
    : m_modes(REPLAY_LIMIT),
      m_replay(MODE_TRACKING ? m_modes.history_size() : REPLAY_LIMIT),
      m_slot(std::move(slot)),
      m_wake(std::move(wake)) {}

Route SessionOutput::append(const char* bytes, std::size_t size) {
  MutexLock lock(m_mutex);
  m_replay.append(bytes, size);
  if constexpr (MODE_TRACKING) m_modes.feed(std::string_view(bytes, size));
  return Route{m_slot, m_generation.load()};
}

ByteBuffer SessionOutput::replay_locked() const {
  if constexpr (!MODE_TRACKING) return m_replay.copy({}, REPLAY_LIMIT);
  auto [older, newer] = m_replay.pieces();
  ReplayStart start = m_modes.replay_start(older, newer);
  return m_replay.copy(start.preamble, start.output_size);
}

std::optional<Takeover> SessionOutput::take_over(std::shared_ptr<ClientSlot> slot) {
  Takeover takeover;
  {
    MutexLock lock(m_mutex);
    if (m_finished || m_ending.load()) return std::nullopt;
    takeover.replay = replay_locked();
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

void SessionOutput::shell_exited() {
  m_shell_exited.store(true);
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
