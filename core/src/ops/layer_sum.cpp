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
              layer_gather_pairs_avx2, layer_column_lanes_avx2};
    }
    if (backend::runs_avx2_files(features)) {
      return {layer_block_sum_avx2, layer_block_dot_avx2, layer_add_row_avx2, layer_block_max_avx2,
              layer_block_min_avx2, layer_transpose_band_avx2, layer_max_row_avx2, layer_min_row_avx2,
              layer_gather_pairs_avx2, layer_column_lanes_avx2};
    }
  }
  return {layer_block_sum_portable, layer_block_dot_portable, layer_add_row_portable, layer_block_max_portable,
          layer_block_min_portable, layer_transpose_band_portable, layer_max_row_portable,
          layer_min_row_portable, layer_gather_pairs_portable, layer_column_lanes_portable};
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

// The tree over `leaves` leaves, node(i, j) giving T(i..j); from `fewest`
// leaves on, cut at its first nodes of at most leaves / (per_processor x
// processors) leaves, which go to the pool.
template <class Node, class Combine>
float over_pool(std::uint64_t leaves, std::uint64_t processors, Node node, Combine combine, std::uint64_t fewest,
                std::uint64_t per_processor = kNodesPerProcessor) {
  if (leaves < fewest || processors < 2 || scheduler::on_pool_thread()) return node(0, leaves);
  const std::uint64_t grain = ceil_div(leaves, per_processor * processors);
  std::vector<std::uint64_t> starts;
  collect(0, leaves, grain, starts);
  starts.push_back(leaves);
  std::vector<float> values(starts.size() - 1);
  auto chunk = [&](std::size_t c) { values[c] = node(starts[c], starts[c + 1]); };
  scheduler::run_chunks(values.size(), chunk);
  const float* next = values.data();
  return join(0, leaves, grain, next, combine);
}

template <class Leaf, class Combine>
float tree_over_pool(std::uint64_t leaves, std::uint64_t processors, Leaf leaf, Combine combine, const ViewWalk& a,
                     const ViewWalk& b, std::uint64_t fewest = kLayerParallelBlocks) {
  auto node = [&](std::uint64_t i, std::uint64_t j) { return tree(i, j, leaf, combine, a, b); };
  return over_pool(leaves, processors, node, combine, fewest);
}

std::uint32_t block_length(std::uint64_t size, std::uint64_t b) noexcept {
  const std::uint64_t left = size - b * kLayerBlock;
  return static_cast<std::uint32_t>(left < kLayerBlock ? left : kLayerBlock);
}

float add(float a, float b) noexcept { return a + b; }

// Rows per block when x is a transposed matrix whose blocks are whole rows, 8
// of which the column kernel reads side by side (0 otherwise): rows 4 bytes
// apart, 512 to 4096 columns that divide the block.
std::uint32_t column_block_rows(const ViewWalk& x) noexcept {
  if (x.dims() != 2 || x.stride(0) != 4) return 0;
  const std::uint64_t columns = x.extent(1);
  return columns >= kLayerBlock / 8 && columns <= kLayerBlock && kLayerBlock % columns == 0
             ? static_cast<std::uint32_t>(kLayerBlock / columns)
             : 0;
}

// Whole blocks the column kernel reads at a time: 32 KiB of lanes.
constexpr std::uint64_t kColumnSlice = 128;

// The sum of such a matrix: each node's whole blocks through the column
// kernel; a last block of fewer rows through the block reader.
float column_sum(const ViewWalk& x, std::uint32_t rows, std::uint64_t processors) {
  const std::uint64_t size = x.size(), whole = x.extent(0) / rows;
  auto node = [&](std::uint64_t i, std::uint64_t j) {
    const std::uint64_t fast_end = j < whole ? j : whole;
    std::vector<float> lanes(kColumnSlice * kLayerLanes);
    std::uint64_t first = i, held_end = i;  // the blocks whose lanes are held
    BlockReader reader(x);
    // The tree asks for its leaves in order.
    auto leaf = [&](std::uint64_t b) {
      if (b >= fast_end) {
        const std::uint32_t length = block_length(size, b);
        return layer_block_sum_f32(reader.block(b, length), length);
      }
      if (b >= held_end) {
        first = b;
        held_end = fast_end - b < kColumnSlice ? fast_end : b + kColumnSlice;
        layer_column_lanes_f32(x.data() + 4 * rows * first, x.stride(1), rows, held_end - first, lanes.data());
      }
      // Each lane adds its one value to -0.0, which leaves it; then the fold.
      return layer_block_sum_f32(lanes.data() + kLayerLanes * (b - first), kLayerLanes);
    };
    return layer_tree(i, j, leaf, add);
  };
  // A node per processor: its blocks are read lane by lane across a slice.
  return over_pool(ceil_div(size, std::uint64_t{kLayerBlock}), processors, node, add, kLayerParallelBlocks, 1);
}

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

void layer_column_lanes_f32(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t blocks,
                            float* lanes) noexcept {
  Chosen::run<&LayerSumKernels::column_lanes>(top, step, rows, blocks, lanes);
}

void layer_add_row_f32(float* lane, const char* src, std::uint64_t width) noexcept {
  Chosen::run<&LayerSumKernels::add_row>(lane, src, width);
}

float layer_sum_f32(const ViewWalk& x, std::uint64_t processors) {
  const std::uint64_t size = x.size();
  if (size == 0) return 0.0f;
  if (size <= kLayerBlock && x.contiguous())  // one block read in place: the tree is that block
    return layer_block_sum_f32(reinterpret_cast<const float*>(x.data()), static_cast<std::uint32_t>(size));
  if (const std::uint32_t rows = column_block_rows(x)) return column_sum(x, rows, processors);
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
