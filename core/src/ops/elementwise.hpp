#pragma once
// Element-wise float32 arithmetic over whole buffers: out[i] = a[i] op b[i].
// out may be the very buffer a or b; any other overlap is outside the contract.
// From kParallelElementwiseThreshold elements on, one contiguous chunk per
// processor runs on the worker pool while the caller waits; the results are
// the same bits. Runs on any x86-64 processor (AVX2 vectors where it has them).
#include <cstddef>
#include <cstdint>

#include "backend/cache_geometry.hpp"

namespace zoltra::ops {

void add_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count);
void sub_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count);
void mul_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count);
void div_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count);

// Measured on two processors: a hand-off to the pool and back costs about 2 us,
// 65,536 additions about 7 us on one thread and 4 us on two.
inline constexpr std::uint64_t kParallelElementwiseThreshold = 65536;

// Calls of at least this many elements write with streaming stores unless
// they are in place. Their traffic (two inputs and the output, 12 bytes an
// element) passes half the last-level cache, so the output would not be in
// cache for the next call anyway, and skipping the read of each output line
// before it is written saves a quarter of the memory traffic. Below that,
// ordinary stores leave the output in cache: on a 32 MiB L3, 1,000,000
// elements took half the time with them.
std::uint64_t streaming_threshold(const backend::CacheGeometry& geometry) noexcept;

// Chunk c covers [begin(c), end(c)). Chunks after the first start `head`
// elements plus a multiple of `length` (itself a multiple of 16) into the
// buffer, which puts them on 64-byte boundaries of out: no two threads write
// into one cache line.
struct ElementwiseSplit {
  std::uint64_t count;
  std::uint64_t head;
  std::uint64_t length;
  std::size_t chunks;
  std::uint64_t begin(std::size_t c) const noexcept { return c == 0 ? 0 : head + c * length; }
  std::uint64_t end(std::size_t c) const noexcept { return c + 1 == chunks ? count : head + (c + 1) * length; }
};
ElementwiseSplit elementwise_split(std::uint64_t count, std::size_t threads, const float* out) noexcept;

}  // namespace zoltra::ops
