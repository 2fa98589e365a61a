// exp, log, sqrt, tanh behind the entry points: the processor's variant, on
// the calling thread or, for large buffers, in chunks on the worker pool.
#include "ops/unary_math.hpp"

#include "backend/processor_count.hpp"
#include "ops/chosen_variants.hpp"
#include "ops/elementwise.hpp"
#include "ops/unary_math_variants.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

UnaryMathKernel unary_math_kernel_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files) {
    if (backend::runs_avx512_files(features)) return unary_math_f32_avx512;
    if (backend::runs_avx2_files(features)) return unary_math_f32_avx2;
  }
  return unary_math_f32_portable;
}

namespace {

struct UnaryMathKernels {
  UnaryMathKernel run;
};
UnaryMathKernels kernels_for(const backend::CpuFeatures& features) noexcept { return {unary_math_kernel_for(features)}; }
using Chosen = ChosenVariants<UnaryMathKernels, kernels_for>;

// exp, log and tanh cost about 1 ns an element on one Zen 3 core, so a
// hand-off to the pool (about 2 us) pays from a few thousand elements; sqrt
// costs what an addition does.
std::uint64_t parallel_threshold(UnaryMath function) noexcept {
  return function == UnaryMath::kSqrt ? kParallelElementwiseThreshold : 8192;
}

}  // namespace

void unary_math_f32_cpu(UnaryMath function, const float* x, float* out, std::uint64_t count) {
  const std::uint64_t processors = backend::processor_count();
  if (count < parallel_threshold(function) || processors < 2 || scheduler::on_pool_thread()) {
    return Chosen::run<&UnaryMathKernels::run>(function, x, out, count);
  }
  const ElementwiseSplit split = elementwise_split(count, static_cast<std::size_t>(processors), out);
  const UnaryMathKernel kernel = unary_math_kernel_for(backend::cpu_features());
  auto chunk = [&](std::size_t c) {
    const std::uint64_t begin = split.begin(c);
    kernel(function, x + begin, out + begin, split.end(c) - begin);
  };
  scheduler::run_chunks(split.chunks, chunk);
}

}  // namespace zoltra::ops
