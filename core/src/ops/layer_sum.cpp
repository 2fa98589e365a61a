// The layer's reductions: blocks of the row-major walk (layer_blocks.hpp),
// then the fixed tree over the block values.
#include "ops/layer_sum.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <vector>

#include "common/decimal.hpp"
#include "ops/chosen_variants.hpp"
#include "ops/layer_blocks.hpp"
#include "ops/layer_sum_variants.hpp"
#include "ops/layer_tree.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

LayerSumKernels layer_sum_kernels_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files) {
    if (backend::runs_avx512_files(features)) {
      return {layer_block_sum_avx512, layer_block_dot_avx512, layer_add_row_avx2, layer_block_max_avx2,
              layer_block_min_avx2, layer_transpose_band_avx2, layer_max_row_avx2, layer_min_row_avx2,
              layer_gather_pairs_avx2};
    }
    if (backend::runs_avx2_files(features)) {
      return {layer_block_sum_avx2, layer_block_dot_avx2, layer_add_row_avx2, layer_block_max_avx2,
              layer_block_min_avx2, layer_transpose_band_avx2, layer_max_row_avx2, layer_min_row_avx2,
              layer_gather_pairs_avx2};
    }
  }
  return {layer_block_sum_portable, layer_block_dot_portable, layer_add_row_portable, layer_block_max_portable,
          layer_block_min_portable, layer_transpose_band_portable, layer_max_row_portable,
          layer_min_row_portable, layer_gather_pairs_portable};
}

namespace {

using Chosen = ChosenVariants<LayerSumKernels, layer_sum_kernels_for>;

// The tree over leaves [i, j); leaf(b, readers) reads block b of the walks
// through readers[0] and readers[1], which serve one chunk.
template <class Leaf, class Combine>
float tree(std::uint64_t i, std::uint64_t j, Leaf& leaf, Combine& combine, const ViewWalk& a, const ViewWalk& b) {
  BlockReader readers[2] = {BlockReader(a), BlockReader(b)};
  auto with_readers = [&](std::uint64_t k) { return leaf(k, readers); };
  return layer_tree(i, j, with_readers, combine);
}

// The same tree cut at its first nodes of at most `grain` leaves: collect
// lists them in order, join combines their values above them.
void collect(std::uint64_t i, std::uint64_t j, std::uint64_t grain, std::vector<std::uint64_t>& starts) {
  if (j - i <= grain) return starts.push_back(i);
  const std::uint64_t h = std::bit_floor(j - i - 1);
  collect(i, i + h, grain, starts);
  collect(i + h, j, grain, starts);
}

template <class Combine>
float join(std::uint64_t i, std::uint64_t j, std::uint64_t grain, const float*& values, Combine& combine) {
  if (j - i <= grain) return *values++;
  const std::uint64_t h = std::bit_floor(j - i - 1);
  const float left = join(i, i + h, grain, values, combine);
  return combine(left, join(i + h, j, grain, values, combine));
}

// Chunks per processor: those that start first take over a late one's share.
constexpr std::uint64_t kNodesPerProcessor = 4;

// `fewest` blocks go to the pool, at the least.
template <class Leaf, class Combine>
float tree_over_pool(std::uint64_t leaves, std::uint64_t processors, Leaf leaf, Combine combine, const ViewWalk& a,
                     const ViewWalk& b, std::uint64_t fewest = kLayerParallelBlocks) {
  if (leaves < fewest || processors < 2 || scheduler::on_pool_thread())
    return tree(0, leaves, leaf, combine, a, b);
  const std::uint64_t grain = ceil_div(leaves, kNodesPerProcessor * processors);
  std::vector<std::uint64_t> starts;
  collect(0, leaves, grain, starts);
  starts.push_back(leaves);
  std::vector<float> values(starts.size() - 1);
  auto node = [&](std::size_t c) { values[c] = tree(starts[c], starts[c + 1], leaf, combine, a, b); };
  scheduler::run_chunks(values.size(), node);
  const float* next = values.data();
  return join(0, leaves, grain, next, combine);
}

std::uint32_t block_length(std::uint64_t size, std::uint64_t b) noexcept {
  const std::uint64_t left = size - b * kLayerBlock;
  return static_cast<std::uint32_t>(left < kLayerBlock ? left : kLayerBlock);
}

float add(float a, float b) noexcept { return a + b; }

// No order of visits changes a max or min: the walk goes through memory.
template <bool Larger>
float extremum(const ViewWalk& view, std::uint64_t processors) {
  const ViewWalk x = view.in_memory_order();
  const std::uint64_t size = x.size();
  auto leaf = [&](std::uint64_t b, BlockReader* readers) {
    const std::uint32_t length = block_length(size, b);
    const float* values = readers[0].block(b, length);
    return Larger ? layer_block_max_f32(values, length) : layer_block_min_f32(values, length);
  };
  auto pick = [](float a, float b) {
    if (a != a || b != b) return std::numeric_limits<float>::quiet_NaN();
    return (layer_order_key(a) > layer_order_key(b)) == Larger ? a : b;
  };
  return tree_over_pool(ceil_div(size, std::uint64_t{kLayerBlock}), processors, leaf, pick, x, x);
}

}  // namespace

float layer_block_sum_f32(const float* x, std::uint32_t count) noexcept {
  return Chosen::run<&LayerSumKernels::block_sum>(x, count);
}

float layer_block_dot_f32(const float* a, const float* b, std::uint32_t count) noexcept {
  return Chosen::run<&LayerSumKernels::block_dot>(a, b, count);
}

float layer_block_max_f32(const float* x, std::uint32_t count) noexcept {
  return Chosen::run<&LayerSumKernels::block_max>(x, count);
}

float layer_block_min_f32(const float* x, std::uint32_t count) noexcept {
  return Chosen::run<&LayerSumKernels::block_min>(x, count);
}

void layer_transpose_band_f32(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t columns,
                              float* const* out_rows) noexcept {
  Chosen::run<&LayerSumKernels::transpose_band>(top, step, rows, columns, out_rows);
}

void layer_max_row_f32(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  Chosen::run<&LayerSumKernels::max_row>(best, src, width);
}

void layer_min_row_f32(std::int32_t* best, const char* src, std::uint64_t width) noexcept {
  Chosen::run<&LayerSumKernels::min_row>(best, src, width);
}

void layer_gather_pairs_f32(const char* src, std::uint64_t count, float* out) noexcept {
  Chosen::run<&LayerSumKernels::gather_pairs>(src, count, out);
}

void layer_add_row_f32(float* lane, const char* src, std::uint64_t width) noexcept {
  Chosen::run<&LayerSumKernels::add_row>(lane, src, width);
}

float layer_sum_f32(const ViewWalk& x, std::uint64_t processors) {
  const std::uint64_t size = x.size();
  if (size == 0) return 0.0f;
  if (size <= kLayerBlock && x.contiguous())  // one block read in place: the tree is that block
    return layer_block_sum_f32(reinterpret_cast<const float*>(x.data()), static_cast<std::uint32_t>(size));
  auto leaf = [&](std::uint64_t b, BlockReader* readers) {
    const std::uint32_t length = block_length(size, b);
    return layer_block_sum_f32(readers[0].block(b, length), length);
  };
  return tree_over_pool(ceil_div(size, std::uint64_t{kLayerBlock}), processors, leaf, add, x, x);
}

float layer_dot_f32(const ViewWalk& a, const ViewWalk& b, std::uint64_t processors) {
  const std::uint64_t size = a.size();
  if (size == 0) return 0.0f;
  if (size <= kLayerBlock && a.contiguous() && b.contiguous()) {  // a row of a matrix x vector product
    return layer_block_dot_f32(reinterpret_cast<const float*>(a.data()), reinterpret_cast<const float*>(b.data()),
                               static_cast<std::uint32_t>(size));
  }
  auto leaf = [&](std::uint64_t k, BlockReader* readers) {
    const std::uint32_t length = block_length(size, k);
    return layer_block_dot_f32(readers[0].block(k, length), readers[1].block(k, length), length);
  };
  return tree_over_pool(ceil_div(size, std::uint64_t{kLayerBlock}), processors, leaf, add, a, b, kLayerParallelDotBlocks);
}

float layer_max_f32(const ViewWalk& x, std::uint64_t processors) { return extremum<true>(x, processors); }
float layer_min_f32(const ViewWalk& x, std::uint64_t processors) { return extremum<false>(x, processors); }

}  // namespace zoltra::ops
