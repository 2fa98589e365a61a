#include "scheduler/arena.hpp"

#include <cstdlib>
#include <limits>
#include <optional>

#include "common/decimal.hpp"
#include "common/panic.hpp"

namespace zoltra::scheduler {

std::optional<std::uint64_t> parse_arena_size(std::string_view text) noexcept {
  return parse_unsigned_decimal(text);
}

void ThreadArena::Free::operator()(std::byte* p) const noexcept { std::free(p); }

ThreadArena ThreadArena::with_size(std::uint64_t size) {
  ThreadArena arena;
  if (size == 0 || size > std::numeric_limits<std::size_t>::max()) return arena;
  // The arena is created in the middle of an operation, so a size the process
  // cannot get must not end it: calloc fails softly and the arena stays at
  // size 0, which makes every caller take its path without scratch space.
  void* block = std::calloc(static_cast<std::size_t>(size), 1);
  if (block == nullptr) return arena;
  arena.buffer_.reset(static_cast<std::byte*>(block));
  arena.size_ = size;
  return arena;
}

ThreadArena ThreadArena::with_default_size() {
  std::uint64_t size = kDefaultArenaSize;
  if (const char* text = std::getenv("ZOLTRA_ARENA_SIZE")) {
    if (auto parsed = parse_arena_size(text)) size = *parsed;
  }
  return with_size(size);
}

namespace {
// Where a zero-float request in an arena without a block points: never read
// or written, it only has to differ from "no room".
float zero_size_room;
}  // namespace

float* ThreadArena::alloc_f32(std::uint64_t count) noexcept {
  const std::uint64_t start = offset_ + ((4 - (offset_ & 3)) & 3);
  if (start < offset_ || start > size_) return nullptr;
  if (count > (size_ - start) / 4) return nullptr;
  offset_ = start + 4 * count;
  if (!buffer_) return &zero_size_room;
  return reinterpret_cast<float*>(buffer_.get() + start);
}

namespace {

struct ArenaSlot {
  std::optional<ThreadArena> arena;
  bool in_use = false;
};

thread_local ArenaSlot ARENA;
thread_local ArenaSlot CHUNK_ARENA;

}  // namespace

ArenaLease::ArenaLease(ArenaUse use) {
  ArenaSlot& slot = use == ArenaUse::kChunk ? CHUNK_ARENA : ARENA;
  if (slot.in_use) throw Panic("scratch arena is already in use on this thread");
  if (!slot.arena) slot.arena = ThreadArena::with_default_size();
  slot.in_use = true;
  arena_ = &*slot.arena;
  in_use_ = &slot.in_use;
}

ArenaLease::~ArenaLease() {
  arena_->reset();
  *in_use_ = false;
}

}  // namespace zoltra::scheduler
