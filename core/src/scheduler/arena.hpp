#pragma once
// Per-thread scratch arena: a fixed zero-filled block handed out by bumping an
// offset. An arena scope (with_arena) holds the thread's arena for exclusive
// use and resets it when the scope ends, so every operation finds it empty.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace zoltra::scheduler {

inline constexpr std::uint64_t kDefaultArenaSize = 1'048'576;

// The ZOLTRA_ARENA_SIZE grammar: optional "+", one or more ASCII digits, at
// most 2^64 - 1. Anything else is nullopt (the caller then uses the default).
std::optional<std::uint64_t> parse_arena_size(std::string_view text) noexcept;

class ThreadArena {
 public:
  ThreadArena() = default;  // size 0, no block
  // Zero-filled block of exactly `size` bytes (see the .cpp for sizes that
  // cannot be allocated).
  static ThreadArena with_size(std::uint64_t size);
  // Size from ZOLTRA_ARENA_SIZE, read now, else kDefaultArenaSize.
  static ThreadArena with_default_size();

  // Room for `count` floats starting at the offset rounded up to 4 bytes, or
  // nullptr when it would pass the end; the offset is unchanged on failure.
  float* alloc_f32(std::uint64_t count) noexcept;
  void reset() noexcept { offset_ = 0; }

  std::uint64_t size() const noexcept { return size_; }
  std::uint64_t offset() const noexcept { return offset_; }
  const std::byte* data() const noexcept { return buffer_.get(); }

 private:
  struct Free { void operator()(std::byte* p) const noexcept; };
  std::unique_ptr<std::byte, Free> buffer_;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
};

// Which of a thread's two arenas a scope takes. Chunks of parallel work run
// in the chunk arena: a pool thread has nothing else, and a submitting thread
// that runs chunks itself holds its own ARENA for the whole call, so its
// chunks need an arena apart from it. Both are sized the same way, so a chunk
// computes the same bits on whichever thread it runs.
enum class ArenaUse : bool { kOperation, kChunk };

// Takes one of the calling thread's arenas (creating it on first use) for
// exclusive use; throws Panic if the thread already holds it. Released by ArenaLease.
class ArenaLease {
 public:
  explicit ArenaLease(ArenaUse use = ArenaUse::kOperation);
  ~ArenaLease();  // resets the arena and gives it back
  ArenaLease(const ArenaLease&) = delete;
  ArenaLease& operator=(const ArenaLease&) = delete;
  ThreadArena& arena() noexcept { return *arena_; }

 private:
  ThreadArena* arena_;
  bool* in_use_;
};

// Runs op(arena) with the calling thread's arena in exclusive use, then resets
// and releases it, also when op throws.
template <class Op>
decltype(auto) with_arena(Op&& op) {
  ArenaLease lease;
  return static_cast<Op&&>(op)(lease.arena());
}

// The same for one chunk of parallel work, in the thread's chunk arena.
template <class Op>
decltype(auto) with_chunk_arena(Op&& op) {
  ArenaLease lease(ArenaUse::kChunk);
  return static_cast<Op&&>(op)(lease.arena());
}

}  // namespace zoltra::scheduler
