// The layer's matrix x vector product: ranges of rows over the pool; in a
// range, batches of rows whose starts are listed once, each batch read as
// four streams a quarter of it apart, a row of each per group, so that every
// stream runs through memory in order; each group's blocks go through the
// row-group kernel and the blocks of each row over the layer's tree.
#include "ops/layer_matvec.hpp"

#include <algorithm>

#include "common/decimal.hpp"
#include "ops/chosen_variants.hpp"
#include "ops/layer_matvec_variants.hpp"
#include "ops/layer_sum.hpp"
#include "ops/layer_sum_variants.hpp"
#include "ops/layer_tree.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

LayerMatvecKernels layer_matvec_kernels_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files) {
    if (backend::runs_avx2_files(features)) return {layer_rows_dot_avx2};
  }
  return {layer_rows_dot_portable};
}

namespace {

using Chosen = ChosenVariants<LayerMatvecKernels, layer_matvec_kernels_for>;

// From this many elements read, rows split over the pool: below it the
// hand-off costs more than the half it saves.
constexpr std::uint64_t kParallelWork = 65536;
// Rows whose starts are listed at a time (2 KiB of pointers).
constexpr std::uint64_t kBatch = 256;

struct Sums {
  float v[kLayerRowGroup];
};

// The layer's dot products of `rows` (contiguous, `length` > 0 values each) with v.
Sums group_dot(const float* const* rows, const float* v, std::uint64_t length) {
  auto leaf = [&](std::uint64_t b) {
    const std::uint64_t first = b * kLayerBlock, left = length - first;
    const float* at[kLayerRowGroup];
    for (int r = 0; r < kLayerRowGroup; ++r) at[r] = rows[r] + first;
    Sums s;
    Chosen::run<&LayerMatvecKernels::rows_dot>(static_cast<const float* const*>(at), v + first,
                                               static_cast<std::uint32_t>(left < kLayerBlock ? left : kLayerBlock),
                                               static_cast<float*>(s.v));
    return s;
  };
  if (length <= kLayerBlock) return leaf(0);
  auto add = [](Sums a, const Sums& b) {
    for (int r = 0; r < kLayerRowGroup; ++r) a.v[r] += b.v[r];
    return a;
  };
  return layer_tree(0, ceil_div(length, std::uint64_t{kLayerBlock}), leaf, add);
}

// out[i] for the n rows that start at starts[0..n): groups of a row from each
// quarter, then the last n mod 4 in a group that repeats its last row.
void batch_dot(const char* const* starts, std::uint64_t n, const float* v, std::uint64_t length, float* out) {
  const std::uint64_t quarter = n / kLayerRowGroup;
  const float* rows[kLayerRowGroup];
  for (std::uint64_t j = 0; j < quarter; ++j) {
    for (int r = 0; r < kLayerRowGroup; ++r) rows[r] = reinterpret_cast<const float*>(starts[r * quarter + j]);
    const Sums s = group_dot(rows, v, length);
    for (int r = 0; r < kLayerRowGroup; ++r) out[r * quarter + j] = s.v[r];
  }
  const std::uint64_t done = kLayerRowGroup * quarter;
  if (done == n) return;
  for (std::uint64_t r = 0; r < kLayerRowGroup; ++r)
    rows[r] = reinterpret_cast<const float*>(starts[std::min(done + r, n - 1)]);
  const Sums s = group_dot(rows, v, length);
  std::copy(s.v, s.v + (n - done), out + done);
}

}  // namespace

void layer_matvec_f32(const ViewWalk& rows, const ViewWalk& row, const ViewWalk& v, float* out,
                      std::uint64_t processors) {
  const std::uint64_t count = rows.size(), length = row.size();
  if (length == 0) return std::fill(out, out + count, 0.0f);
  // Fewer row groups than processors: each row splits its own tree instead.
  const std::uint64_t groups = ceil_div(count, std::uint64_t{kLayerRowGroup});
  const bool few = groups < processors;
  const bool grouped = !few && row.contiguous() && v.contiguous();
  const auto* vector = reinterpret_cast<const float*>(v.data());
  // Rows [begin, end) on this thread, `inner` processors for each row's own tree.
  auto range = [&](std::uint64_t begin, std::uint64_t end, std::uint64_t inner) {
    const char* starts[kBatch];
    for (std::uint64_t first = begin; first < end; first += kBatch) {
      const std::uint64_t n = std::min(kBatch, end - first);
      const char** next = starts;
      rows.runs(first, n, [&](const char* p, std::int64_t stride, std::uint64_t run) {
        for (std::uint64_t i = 0; i < run; ++i, p += stride) *next++ = p;
      });
      if (grouped) {
        batch_dot(starts, n, vector, length, out + first);
        continue;
      }
      for (std::uint64_t i = 0; i < n; ++i) out[first + i] = layer_dot_f32(row.at(starts[i]), v, inner);
    }
  };
  if (few || processors < 2 || count * length < kParallelWork || scheduler::on_pool_thread())
    return range(0, count, few ? processors : 1);
  // Whole groups per range: only the last can be short.
  const std::uint64_t chunks = std::min(groups, kRangesPerProcessor * processors);
  auto row_of_group = [&](std::uint64_t g) { return std::min(count, g * kLayerRowGroup); };
  auto chunk = [&](std::size_t c) { range(row_of_group(c * groups / chunks), row_of_group((c + 1) * groups / chunks), 1); };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
}

}  // namespace zoltra::ops
