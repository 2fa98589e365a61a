// The element-wise kernels behind the entry points: the processor's variant,
// on the calling thread or, for large buffers, in chunks on the worker pool.
// Every element is one correctly rounded operation, so neither the variant nor
// the split can change a result.
#include "ops/elementwise.hpp"

#include <atomic>
#include <memory>

#include "backend/processor_count.hpp"
#include "common/decimal.hpp"
#include "ops/chosen_variants.hpp"
#include "ops/elementwise_variants.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

ElementwiseKernels elementwise_kernels_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return {add_f32_avx2, sub_f32_avx2, mul_f32_avx2, div_f32_avx2};
  return {add_f32_portable, sub_f32_portable, mul_f32_portable, div_f32_portable};
}

ElementwiseKernels elementwise_streaming_kernels_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return {add_f32_avx2_stream, sub_f32_avx2_stream, mul_f32_avx2_stream, div_f32_avx2_stream};
  return elementwise_kernels_for(features);
}

ElementwiseSplit elementwise_split(std::uint64_t count, std::size_t threads, const float* out) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(out);
  // A float-aligned out reaches a 64-byte boundary within 15 elements.
  std::uint64_t head = (address & 3u) == 0 ? ((0 - address) & 63u) / 4 : 0;
  if (head > count) head = count;
  if (threads == 0) threads = 1;
  const std::uint64_t rest = count - head;
  const std::uint64_t length = ceil_div(ceil_div(rest, threads), 16) * 16;
  if (length == 0) return {count, count, 0, 1};
  return {count, head, length, static_cast<std::size_t>(ceil_div(rest, length))};
}

std::uint64_t streaming_threshold(const backend::CacheGeometry& geometry) noexcept {
  return geometry.llc_bytes / 2 / 12;
}

namespace {

// Pool threads keep one number for life, so that call after call each takes
// the same piece of a buffer and finds it still in its own cache: the pool
// hands out chunk indices in the order its threads arrive.
std::size_t worker_slot() noexcept {
  static std::atomic<std::size_t> next{0};
  thread_local const std::size_t slot = next.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

// One claim flag per piece; every run of the chunk body claims exactly one
// piece, its own when still free, so each piece runs once.
class PieceClaims {
 public:
  explicit PieceClaims(std::size_t n)
      : heap_(n > kInline ? std::make_unique<std::atomic<bool>[]>(n) : nullptr),
        flags_(heap_ ? heap_.get() : inline_), n_(n) {}
  std::size_t claim(std::size_t preferred) noexcept {
    for (std::size_t k = 0;; ++k) {
      const std::size_t c = (preferred + k) % n_;
      if (!flags_[c].exchange(true, std::memory_order_relaxed)) return c;
    }
  }

 private:
  static constexpr std::size_t kInline = 64;
  std::atomic<bool> inline_[kInline] = {};
  std::unique_ptr<std::atomic<bool>[]> heap_;
  std::atomic<bool>* flags_;
  std::size_t n_;
};

// Small calls go through the choice resolved once; large ones choose again
// from the cached features, a cost their size hides.
using Chosen = ChosenVariants<ElementwiseKernels, elementwise_kernels_for>;

using Op = ElementwiseKernel ElementwiseKernels::*;

// Streaming stores only pay for an output apart from the inputs: in place,
// the output's lines are in cache already, read as an input, and ordinary
// stores there took half the time of streaming ones.
ElementwiseKernels for_call(std::uint64_t count, bool in_place) {
  const backend::CpuFeatures& features = backend::cpu_features();
  static const std::uint64_t threshold = streaming_threshold(backend::cache_geometry());
  return count >= threshold && !in_place ? elementwise_streaming_kernels_for(features)
                                         : elementwise_kernels_for(features);
}

void run_large(Op op, const float* a, const float* b, float* out, std::uint64_t count) {
  // One chunk per processor, like the parallel sums; a single processor would
  // only add the hand-off, and a pool thread may not wait for its own pool.
  const bool in_place = out == a || out == b;
  const std::uint64_t processors = backend::processor_count();
  if (processors < 2 || scheduler::on_pool_thread()) return (for_call(count, in_place).*op)(a, b, out, count);
  const ElementwiseSplit split = elementwise_split(count, static_cast<std::size_t>(processors), out);
  const ElementwiseKernel kernel = for_call(count, in_place).*op;
  PieceClaims claims(split.chunks);
  auto chunk = [&](std::size_t) {
    const std::size_t c = claims.claim(worker_slot() % split.chunks);
    const std::uint64_t begin = split.begin(c);
    kernel(a + begin, b + begin, out + begin, split.end(c) - begin);
  };
  scheduler::run_chunks(split.chunks, chunk);
}

// Small calls: one test and one call more than the kernel itself.
template <Op kOp>
inline void run(const float* a, const float* b, float* out, std::uint64_t count) {
  if (count < kParallelElementwiseThreshold) [[likely]] return Chosen::run<kOp>(a, b, out, count);
  run_large(kOp, a, b, out, count);
}

}  // namespace

void add_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) {
  run<&ElementwiseKernels::add>(a, b, out, count);
}

void sub_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) {
  run<&ElementwiseKernels::sub>(a, b, out, count);
}

void mul_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) {
  run<&ElementwiseKernels::mul>(a, b, out, count);
}

void div_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) {
  run<&ElementwiseKernels::div>(a, b, out, count);
}

}  // namespace zoltra::ops
