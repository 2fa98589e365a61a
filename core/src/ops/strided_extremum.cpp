// Max and min of strided views: the view's elements folded in memory order,
// each distinct element once, so that a transposed view reads memory as its
// base does and runs of adjacent floats fold with vectors.
#include "ops/strided_extremum.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <utility>

#include "ops/operand_walk.hpp"
#include "ops/reduce.hpp"
#include "ops/strided_extremum_scalar.hpp"

namespace zoltra::ops {

ExtremumRuns extremum_runs_portable() noexcept {
  return {[](const float* p, std::uint64_t count, std::uint64_t stride, float r) noexcept {
            return extremum_scalar<MaxStep>(p, 0, count, stride, r);
          },
          [](const float* p, std::uint64_t count, std::uint64_t stride, float r) noexcept {
            return extremum_scalar<MinStep>(p, 0, count, stride, r);
          },
          [](const float* p, std::uint64_t count, std::uint64_t stride, SeenBits& seen) noexcept {
            zeros_scalar(p, 0, count, stride, seen);
          }};
}

ExtremumRuns extremum_runs_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return extremum_runs_avx2();
  return extremum_runs_portable();
}

namespace {

struct Axis {
  std::uint64_t extent;  // >= 2
  std::uint64_t stride;  // bytes, a positive multiple of 4
};

// The set of elements the view visits, as a walk of them in memory order:
// broadcast axes (stride 0, or no stride) dropped, since they only repeat
// elements; negative strides turned around, moving `base` to the lowest
// element; axes sorted by stride, largest first, then merged where they step
// through memory as one. False when a stride is not a multiple of 4, where an
// element's address is not data plus its offset, or for more than 2^64
// positions.
bool memory_order(const std::int64_t* shape, std::uint64_t ndim, const std::int64_t* strides,
                  std::uint64_t nstrides, OperandWalk<1>& walk, std::uint64_t& base) noexcept {
  Axis axes[OperandWalk<1>::kMaxDims];  // 64 extents of 2 or more overflow first
  std::uint64_t kept = 0, positions = 1;
  base = 0;
  for (std::uint64_t d = 0; d < ndim; ++d) {
    const std::int64_t stride = d < nstrides ? strides[d] : 0;
    if (shape[d] <= 1 || stride == 0) continue;
    const auto extent = static_cast<std::uint64_t>(shape[d]);
    if (stride % 4 != 0 || __builtin_mul_overflow(positions, extent, &positions)) return false;
    auto magnitude = static_cast<std::uint64_t>(stride);
    if (stride < 0) {
      magnitude = 0 - magnitude;
      base -= magnitude * (extent - 1);
    }
    axes[kept++] = {extent, magnitude};
  }
  for (std::uint64_t d = 1; d < kept; ++d)  // insertion sort: few axes, no allocation
    for (std::uint64_t e = d; e > 0 && axes[e - 1].stride < axes[e].stride; --e) std::swap(axes[e - 1], axes[e]);
  for (std::uint64_t d = 0; d < kept; ++d) walk.add(axes[d].extent, {static_cast<std::int64_t>(axes[d].stride)});
  return true;
}

const ExtremumRuns& chosen_runs() noexcept {
  static const ExtremumRuns runs = extremum_runs_for(backend::cpu_features());
  return runs;
}

float first_element(const float* data) noexcept {
  float v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

template <bool kMax>
float extremum(const float* data, const std::int64_t* shape, std::uint64_t ndim, const std::int64_t* strides,
               std::uint64_t nstrides) noexcept {
  constexpr auto sequential = kMax ? max_f32_strided_sequential : min_f32_strided_sequential;
  // The first visited element is data[0]: a NaN there is the result.
  const float first = first_element(data);
  if (first != first) return first;

  OperandWalk<1> walk;
  std::uint64_t base = 0;
  if (!memory_order(shape, ndim, strides, nstrides, walk, base))
    return sequential(data, shape, ndim, strides, nstrides);

  // Each run of the innermost axis, in memory order.
  auto for_each_run = [&](auto visit) {
    const auto start = reinterpret_cast<std::uintptr_t>(data) + base;
    if (walk.dims() == 0) return visit(reinterpret_cast<const float*>(start), 1, 4);
    walk.runs(0, walk.count(), [&](const std::array<std::int64_t, 1>& at, const std::array<std::int64_t, 1>& stride,
                                   std::uint64_t n) {
      visit(reinterpret_cast<const float*>(start + static_cast<std::uint64_t>(at[0])), n,
            static_cast<std::uint64_t>(stride[0]));
    });
  };
  const ExtremumRuns& runs = chosen_runs();
  const ExtremumRun run = kMax ? runs.max : runs.min;
  float r = kMax ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  for_each_run([&](const float* p, std::uint64_t count, std::uint64_t stride) { r = run(p, count, stride, r); });
  if (r != 0.0f) return r;
  SeenBits seen;
  for_each_run([&](const float* p, std::uint64_t count, std::uint64_t stride) { runs.zeros(p, count, stride, seen); });
  const bool plus_zero = seen.unsigned_min == 0;
  const bool minus_zero = seen.signed_min == std::numeric_limits<std::int32_t>::min();
  if (plus_zero && minus_zero) return sequential(data, shape, ndim, strides, nstrides);  // which came first
  return minus_zero ? -0.0f : 0.0f;
}

float quiet_nan() noexcept {
  const std::uint32_t bits = 0x7FC00000u;
  float v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

bool has_zero_extent(const std::int64_t* shape, std::uint64_t ndim) noexcept {
  for (std::uint64_t d = 0; d < ndim; ++d)
    if (shape[d] == 0) return true;
  return false;
}

}  // namespace

float max_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0) return quiet_nan();
  if (has_zero_extent(shape, ndim)) return -std::numeric_limits<float>::infinity();
  return extremum<true>(data, shape, ndim, strides, nstrides);
}

float min_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept {
  if (ndim == 0) return quiet_nan();
  if (has_zero_extent(shape, ndim)) return std::numeric_limits<float>::infinity();
  return extremum<false>(data, shape, ndim, strides, nstrides);
}

}  // namespace zoltra::ops
