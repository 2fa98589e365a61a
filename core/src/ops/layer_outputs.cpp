// Outputs of the layer's axis reductions: the kept dimensions walked in
// row-major order, each output reduced on its own, or, for outputs that lie
// side by side, a tile of them at once: each position of the folded walk is
// then one run of loads (a memory row), and every step stays the whole
// reduction's step for each output.
#include "ops/layer_outputs.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "backend/cache_geometry.hpp"
#include "ops/layer_sum.hpp"
#include "ops/layer_sum_variants.hpp"
#include "ops/layer_tree.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

namespace {

// range(begin, end, processors) for ranges of [0, outputs) over the pool
// when there are several outputs and enough work; for the whole on the
// calling thread otherwise. Ranges hold `least` outputs or more where that
// still gives every processor one.
template <class Range>
void output_ranges(std::uint64_t outputs, std::uint64_t per_output, std::uint64_t processors, Range&& range,
                   std::uint64_t least = 1) {
  if (outputs < 2 || processors < 2 || outputs * per_output < kLayerParallelOutputsWork ||
      scheduler::on_pool_thread())
    return range(0, outputs, processors);
  const std::uint64_t wide = outputs / least;
  const std::uint64_t most = wide >= kRangesPerProcessor * processors ? kRangesPerProcessor * processors
                             : wide > processors                      ? wide
                                                                      : processors;
  const std::uint64_t chunks = outputs < most ? outputs : most;
  auto chunk = [&](std::size_t c) { range(c * outputs / chunks, (c + 1) * outputs / chunks, 1); };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
}

// Lane rows alive at once in sums_side_by_side: the fold's 6 levels and one.
constexpr std::uint32_t kSideLaneRows = 7;

constexpr std::uint32_t fold_order(std::uint32_t i) noexcept {
  std::uint32_t r = 0;
  for (int bit = 0; bit < 6; ++bit) r |= ((i >> bit) & 1u) << (5 - bit);
  return r;
}

// The layer sums of the `width` sub-views `sub` from base, base + 4, ...
// Each block's lanes are made one at a time, lane l adding positions l, l +
// 64, ... for every output (a memory row of `width` floats at each step), in
// the order of the fold's tree (lanes 0, 32, 16, 48, 8, ...: 6-bit reversal),
// so that a pair's lanes fold as soon as both are made: at most 7 rows of
// lanes (the tile) are alive at once.
void sums_side_by_side(const ViewWalk& sub, const char* base, std::uint64_t width, float* out) {
  const std::uint64_t size = sub.size();
  if (size == 0) return std::fill(out, out + width, 0.0f);
  const ViewWalk walk = sub.at(base);
  std::unique_ptr<const char*[]> at(new const char*[size < kLayerBlock ? size : kLayerBlock]);
  auto leaf = [&](std::uint64_t b) {
    const std::uint64_t first = b * kLayerBlock, n = size - first < kLayerBlock ? size - first : kLayerBlock;
    std::uint64_t k = 0;
    walk.runs(first, n, [&](const char* p, std::int64_t stride, std::uint64_t length) {
      for (std::uint64_t i = 0; i < length; ++i, p += stride) at[k++] = p;
    });
    std::vector<float> rows(kSideLaneRows * width);
    std::uint32_t level[kSideLaneRows];
    std::uint32_t depth = 0;
    for (std::uint32_t i = 0; i < kLayerLanes; ++i) {
      const std::uint32_t lane = fold_order(i);
      float* row = rows.data() + depth * width;
      std::fill(row, row + width, -0.0f);
      for (std::uint64_t t = lane; t < n; t += kLayerLanes) layer_add_row_f32(row, at[t], width);
      level[depth++] = 0;
      for (; depth >= 2 && level[depth - 1] == level[depth - 2]; --depth) {
        float* lower = rows.data() + (depth - 2) * width;
        layer_add_row_f32(lower, reinterpret_cast<const char*>(lower + width), width);
        ++level[depth - 2];
      }
    }
    rows.resize(width);
    return rows;
  };
  auto add = [&](std::vector<float> a, const std::vector<float>& b) {
    layer_add_row_f32(a.data(), reinterpret_cast<const char*>(b.data()), width);
    return a;
  };
  const std::vector<float> sums = layer_tree(0, (size + kLayerBlock - 1) / kLayerBlock, leaf, add);
  std::copy(sums.begin(), sums.end(), out);
}

// Every output: where 8 or more lie side by side, up to `most` of them at a
// time through group(address, width, out), the others one by one through
// one(address, processors).
template <class Group, class One>
void outputs_of(const ViewWalk& starts, std::uint64_t per_output, float* out, std::uint64_t processors,
                std::uint64_t most, Group&& group, One&& one) {
  auto range = [&](std::uint64_t begin, std::uint64_t end, std::uint64_t inner) {
    float* o = out + begin;
    starts.runs(begin, end - begin, [&](const char* p, std::int64_t stride, std::uint64_t length) {
      std::uint64_t i = 0;
      while (stride == 4 && length - i >= 8) {
        const std::uint64_t width = length - i < most ? length - i : most;
        group(p, width, o);
        i += width;
        p += 4 * width;
        o += width;
      }
      for (; i < length; ++i, p += stride) *o++ = one(p, inner);
    });
  };
  output_ranges(starts.size(), per_output, processors, range, most);
}

// The max (larger) or min of each of the `width` sub-views `sub` from base,
// base + 4, ...: any order of visits gives the same result, so the walk goes
// once, all outputs' keys side by side.
void extrema_side_by_side(const ViewWalk& sub, const char* base, std::uint64_t width, bool larger, float* out) {
  // A NaN's key is the one no number reaches first.
  const std::int32_t nan = larger ? std::numeric_limits<std::int32_t>::max() : std::numeric_limits<std::int32_t>::min();
  std::vector<std::int32_t> best(width, larger ? std::numeric_limits<std::int32_t>::min()
                                               : std::numeric_limits<std::int32_t>::max());
  sub.at(base).runs(0, sub.size(), [&](const char* p, std::int64_t stride, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i, p += stride) {
      if (larger) layer_max_row_f32(best.data(), p, width);
      else layer_min_row_f32(best.data(), p, width);
    }
  });
  for (std::uint64_t j = 0; j < width; ++j)
    out[j] = best[j] == nan ? std::numeric_limits<float>::quiet_NaN() : layer_value_of_key(best[j]);
}

}  // namespace

std::uint64_t layer_side_width(const backend::CacheGeometry& caches) noexcept {
  const std::uint64_t width = caches.l2_bytes / 2 / (kSideLaneRows * 4) / 64 * 64;
  return width < 64 ? 64 : width > 4096 ? 4096 : width;
}

void layer_axis_reduce_f32(AxisFold fold, const char* data, int ndim, const std::int64_t* shape,
                           const std::int64_t* strides, const bool* reduced, float* out, std::uint64_t processors) {
  std::int64_t kept_shape[ViewWalk::kMaxDims], kept_strides[ViewWalk::kMaxDims];
  std::int64_t folded_shape[ViewWalk::kMaxDims], folded_strides[ViewWalk::kMaxDims];
  int kept = 0, folded = 0;
  for (int d = 0; d < ndim; ++d) {
    if (reduced[d]) {
      folded_shape[folded] = shape[d];
      folded_strides[folded++] = strides[d];
    } else {
      kept_shape[kept] = shape[d];
      kept_strides[kept++] = strides[d];
    }
  }
  const ViewWalk starts(data, kept, kept_shape, kept_strides);
  const ViewWalk sub(data, folded, folded_shape, folded_strides);
  if (fold == AxisFold::kSum || fold == AxisFold::kMean) {
    const bool mean = fold == AxisFold::kMean;
    const auto divisor = static_cast<float>(sub.size());
    // A sub-view of one block in place goes straight to the kernel: a walk is 1 KiB to copy.
    const bool direct = sub.contiguous() && sub.size() <= kLayerBlock && sub.size() > 0;
    const auto count = static_cast<std::uint32_t>(sub.size());
    auto group = [&](const char* p, std::uint64_t width, float* o) {
      sums_side_by_side(sub, p, width, o);
      if (mean)
        for (std::uint64_t j = 0; j < width; ++j) o[j] /= divisor;
    };
    auto one = [&](const char* p, std::uint64_t inner) {
      const float s = direct ? layer_block_sum_f32(reinterpret_cast<const float*>(p), count)
                             : layer_sum_f32(sub.at(p), inner);
      return mean ? s / divisor : s;
    };
    return outputs_of(starts, sub.size(), out, processors, layer_side_width(backend::cache_geometry()), group, one);
  }
  const bool larger = fold == AxisFold::kMax;
  auto group = [&](const char* p, std::uint64_t width, float* o) { extrema_side_by_side(sub, p, width, larger, o); };
  auto one = [&](const char* p, std::uint64_t inner) {
    return larger ? layer_max_f32(sub.at(p), inner) : layer_min_f32(sub.at(p), inner);
  };
  outputs_of(starts, sub.size(), out, processors, layer_side_width(backend::cache_geometry()), group, one);
}

}  // namespace zoltra::ops
