// argmax/argmin on the broadcasting walk: the whole view as rows in
// row-major order, each contiguous row by the processor's run kernel and
// any other by the plain fold, over ranges on the pool whose answers are
// taken in order; along an axis, the walk goes over the kept positions and
// each row of outputs folds the axis for them, side by side when the
// outputs are neighbours in memory (axis 0 of a C-ordered matrix).
#include "ops/argextremum.hpp"

#include <algorithm>
#include <vector>

#include "common/unaligned.hpp"
#include "ops/argextremum_variants.hpp"
#include "ops/broadcast_walk.hpp"

namespace zoltra::ops {

ArgRunKernels argextremum_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return argextremum_avx2();
  return argextremum_portable();
}

namespace {

bool float_aligned(const char* p) noexcept { return (reinterpret_cast<std::uintptr_t>(p) & 3u) == 0; }

float at(const char* p) noexcept { return load_unaligned<float>(p); }

// The index of the answer along n elements from p, `stride` bytes apart.
// Out of line: inlined into the walk, GCC laid the NaN test on the common
// path (measured: 1.6 times the instructions of a transposed argmax).
template <bool kLargest>
[[gnu::noinline]] std::uint64_t fold(ArgRunKernel run, const char* p, std::int64_t stride, std::uint64_t n) noexcept {
  if (stride == 4 && float_aligned(p)) return run(reinterpret_cast<const float*>(p), n);
  std::uint64_t index = 0;
  float best = at(p);
  for (std::uint64_t i = 1; i < n; ++i) {
    const float x = at(p + static_cast<std::int64_t>(i) * stride);
    if (replaces<kLargest>(x, best)) best = x, index = i;
  }
  return index;
}

struct Best {
  float value = 0.0f;
  std::uint64_t index = 0;
  bool any = false;
  template <bool kLargest>
  void offer(float x, std::uint64_t i) noexcept {
    if (!any || replaces<kLargest>(x, value)) *this = Best{x, i, true};
  }
};

template <bool kLargest>
std::uint64_t whole(ArgRunKernel run, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                    const std::int64_t* strides) {
  const BroadcastWalk<1> walk(ndim, shape, {strides});
  const std::uint64_t count = walk.count();
  const std::array<char*, 1> base{walk_address(data)};
  auto range = [&](std::uint64_t begin, std::uint64_t end) {
    Best best;
    std::uint64_t position = begin;
    walk.run(base, [&](const std::array<char*, 1>& p, const std::array<std::int64_t, 1>& s, std::uint64_t n) {
      const std::uint64_t i = fold<kLargest>(run, p[0], s[0], n);
      best.offer<kLargest>(at(p[0] + static_cast<std::int64_t>(i) * s[0]), position + i);
      position += n;
    }, begin, end);
    return best;
  };
  const std::uint64_t processors = backend::processor_count();
  if (count < kParallelBroadcastThreshold || processors < 2 || scheduler::on_pool_thread())
    return range(0, count).index;
  // The ranges' answers taken in order: the first range holding the
  // extreme (or a NaN) wins, as in one fold.
  const std::uint64_t length = range_length(count, processors, 64);
  std::vector<Best> answers(ceil_div(count, length));
  auto chunk = [&](std::size_t c) { answers[c] = range(c * length, std::min(count, (c + 1) * length)); };
  scheduler::run_chunks(answers.size(), chunk);
  Best best;
  for (const Best& b : answers) best.offer<kLargest>(b.value, b.index);
  return best.index;
}

template <bool kLargest>
void along(ArgRunKernel run, const float* data, std::uint64_t ndim, const std::int64_t* shape,
           const std::int64_t* strides, std::uint64_t axis, std::int64_t* out) {
  std::vector<std::int64_t> kept_shape, kept_strides, out_strides;
  for (std::uint64_t d = 0; d < ndim; ++d) {
    if (d == axis) continue;
    kept_shape.push_back(shape[d]);
    kept_strides.push_back(strides[d]);
  }
  out_strides.resize(kept_shape.size());
  std::int64_t step = 8;
  for (std::size_t d = kept_shape.size(); d-- > 0;) {
    out_strides[d] = step;
    step *= kept_shape[d];
  }
  const BroadcastWalk<2> walk(kept_shape.size(), kept_shape.data(), {kept_strides.data(), out_strides.data()});
  if (walk.count() == 0) return;
  const auto length = static_cast<std::uint64_t>(shape[axis]);
  const std::int64_t sa = strides[axis];
  const auto row = [&](const std::array<char*, 2>& p, const std::array<std::int64_t, 2>& s, std::uint64_t n) {
    const std::int64_t sk = s[0];
    if (sk == 4 && sa != 4 && length > 1) {
      // Neighbouring outputs fold together, one step of the axis at a time.
      constexpr std::uint64_t kBlock = 256;
      float best[kBlock];
      std::int64_t index[kBlock];
      for (std::uint64_t b = 0; b < n; b += kBlock) {
        const std::uint64_t m = std::min(kBlock, n - b);
        const char* first = p[0] + static_cast<std::int64_t>(b) * 4;
        for (std::uint64_t j = 0; j < m; ++j) best[j] = at(first + static_cast<std::int64_t>(j) * 4), index[j] = 0;
        for (std::uint64_t a = 1; a < length; ++a) {
          const char* line = first + static_cast<std::int64_t>(a) * sa;
          for (std::uint64_t j = 0; j < m; ++j) {
            const float x = at(line + static_cast<std::int64_t>(j) * 4);
            if (replaces<kLargest>(x, best[j])) best[j] = x, index[j] = static_cast<std::int64_t>(a);
          }
        }
        for (std::uint64_t j = 0; j < m; ++j) store_unaligned(p[1] + static_cast<std::int64_t>(b + j) * s[1], index[j]);
      }
      return;
    }
    for (std::uint64_t j = 0; j < n; ++j) {
      const auto i = static_cast<std::int64_t>(fold<kLargest>(run, p[0] + static_cast<std::int64_t>(j) * sk, sa, length));
      store_unaligned(p[1] + static_cast<std::int64_t>(j) * s[1], i);
    }
  };
  walk.run_all({walk_address(data), reinterpret_cast<char*>(out)}, row,
               [] {}, 16, length);
}

}  // namespace

std::uint64_t argextremum_f32_cpu(bool largest, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                                  const std::int64_t* strides) {
  const ArgRunKernels kernels = argextremum_for(backend::cpu_features());
  return largest ? whole<true>(kernels.largest, data, ndim, shape, strides)
                 : whole<false>(kernels.smallest, data, ndim, shape, strides);
}

void axis_argextremum_f32_cpu(bool largest, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                              const std::int64_t* strides, std::uint64_t axis, std::int64_t* out) {
  const ArgRunKernels kernels = argextremum_for(backend::cpu_features());
  if (largest) along<true>(kernels.largest, data, ndim, shape, strides, axis, out);
  else along<false>(kernels.smallest, data, ndim, shape, strides, axis, out);
}

}  // namespace zoltra::ops
