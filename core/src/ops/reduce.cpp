// Parallel flat sums on the worker pool, and the entry points' choice between
// them and the sequential kernels.
//
// The buffer is cut into ceil(count / S) chunks of S = ceil(count / P)
// elements, P being the processor count (not the pool size). Chunk sums land
// in an array indexed by chunk and are combined over a fixed tree, so the
// result depends on the data, P and the arena size, never on timing.
#include "ops/reduce.hpp"

#include <cstddef>
#include <cstring>
#include <memory>

#include "backend/processor_count.hpp"
#include "common/decimal.hpp"
#include "ops/flat_reduce.hpp"
#include "scheduler/arena.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {
namespace {

struct Chunking {
  std::uint64_t size;   // S, elements per chunk (the last may hold fewer)
  std::size_t chunks;   // N
};

Chunking chunking_for(std::uint64_t count, std::uint64_t processors) {
  const std::uint64_t size = ceil_div(count, processors == 0 ? 1 : processors);
  return {size, static_cast<std::size_t>(ceil_div(count, size))};
}

// Room for one value per chunk; N <= P, so a small inline array nearly always does.
template <class T>
class ChunkValues {
 public:
  explicit ChunkValues(std::size_t n)
      : heap_(n > kInline ? std::make_unique<T[]>(n) : nullptr), values_(heap_ ? heap_.get() : inline_) {}
  T* data() noexcept { return values_; }
  T& operator[](std::size_t i) noexcept { return values_[i]; }

 private:
  static constexpr std::size_t kInline = 64;
  T inline_[kInline];
  std::unique_ptr<T[]> heap_;
  T* values_;
};

}  // namespace

float parallel_sum_f32_cpu(const float* data, std::uint64_t count) {
  return parallel_sum_f32_cpu(data, count, backend::processor_count());
}

float parallel_sum_f32_cpu(const float* data, std::uint64_t count, std::uint64_t processors) {
  if (count == 0) return 0.0f;
  const Chunking plan = chunking_for(count, processors);
  ChunkValues<float> sums(plan.chunks);
  auto sum_chunk = [&](std::size_t index) {
    const std::uint64_t begin = index * plan.size;
    const std::uint64_t length = count - begin < plan.size ? count - begin : plan.size;
    const float* chunk = data + begin;
    sums[index] = scheduler::with_chunk_arena([&](scheduler::ThreadArena& arena) {
      float* copy = arena.alloc_f32(length);
      if (copy == nullptr) return sum_f32_cpu(chunk, length);
      std::memcpy(copy, chunk, length * sizeof(float));
      return compensated_sum_f32_cpu(copy, length);
    });
  };
  scheduler::run_chunks(plan.chunks, sum_chunk);
  return scheduler::combine_fixed_tree(sums.data(), plan.chunks,
                                       [](float left, float right) { return left + right; });
}

std::int32_t parallel_sum_i32_cpu(const std::int32_t* data, std::uint64_t count) {
  return parallel_sum_i32_cpu(data, count, backend::processor_count());
}

std::int32_t parallel_sum_i32_cpu(const std::int32_t* data, std::uint64_t count, std::uint64_t processors) {
  if (count == 0) return 0;
  const Chunking plan = chunking_for(count, processors);
  // Unsigned so that the combination wraps modulo 2^32 without overflow.
  ChunkValues<std::uint32_t> sums(plan.chunks);
  auto sum_chunk = [&](std::size_t index) {
    const std::uint64_t begin = index * plan.size;
    const std::uint64_t length = count - begin < plan.size ? count - begin : plan.size;
    sums[index] = static_cast<std::uint32_t>(sum_i32_cpu(data + begin, length));
  };
  scheduler::run_chunks(plan.chunks, sum_chunk);
  const std::uint32_t total = scheduler::combine_fixed_tree(
      sums.data(), plan.chunks, [](std::uint32_t left, std::uint32_t right) { return left + right; });
  return static_cast<std::int32_t>(total);
}

float sum_f32_auto(const float* data, std::uint64_t count) {
  return count < kParallelSumThreshold ? sum_f32_cpu(data, count) : parallel_sum_f32_cpu(data, count);
}

std::int32_t sum_i32_auto(const std::int32_t* data, std::uint64_t count) {
  return count < kParallelSumThreshold ? sum_i32_cpu(data, count) : parallel_sum_i32_cpu(data, count);
}

float mean_f32_auto(const float* data, std::uint64_t count) {
  if (count < kParallelSumThreshold) return mean_f32_cpu(data, count);
  return parallel_sum_f32_cpu(data, count) / static_cast<float>(count);
}

}  // namespace zoltra::ops
