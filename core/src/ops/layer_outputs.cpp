// Outputs of the layer's axis reductions: the kept
// dimensions walked in row-major order, each output reduced on its own, or,
// for sums of outputs that lie side by side, up to 256 at once: lane l of
// output j is lanes[l][j], so each position of the folded walk is one run of
// loads and every step stays the whole sum's step for each output.
#include "ops/layer_outputs.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

#include "ops/layer_sum.hpp"
#include "ops/layer_sum_variants.hpp"
#include "ops/layer_tree.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

namespace {

// Ranges are claimed as threads arrive: several per processor.
constexpr std::uint64_t kRangesPerProcessor = 4;

// range(begin, end, processors) for ranges of [0, outputs) over the pool
// when there are several outputs and enough work; for the whole on the
// calling thread otherwise.
template <class Range>
void output_ranges(std::uint64_t outputs, std::uint64_t per_output, std::uint64_t processors, Range&& range) {
  if (outputs < 2 || processors < 2 || outputs * per_output < kLayerParallelOutputsWork ||
      scheduler::on_pool_thread())
    return range(0, outputs, processors);
  const std::uint64_t most = kRangesPerProcessor * processors;
  const std::uint64_t chunks = outputs < most ? outputs : most;
  auto chunk = [&](std::size_t c) { range(c * outputs / chunks, (c + 1) * outputs / chunks, 1); };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
}

// Outputs summed side by side: a row of them is 1 KiB, a few cache lines
// read in order, and their 64 lanes (64 KiB) stay in L2.
constexpr std::uint64_t kSide = 256;
struct Side {
  float v[kSide];
  float skew[24];  // rows of lanes 4 KiB apart would alias the rows of x
};

// The layer sums of the `width` sub-views `sub` from base, base + 4, ...
void sums_side_by_side(const ViewWalk& sub, const char* base, std::uint64_t width, float* out) {
  const std::uint64_t size = sub.size();
  const ViewWalk walk = sub.at(base);
  std::unique_ptr<Side[]> lanes(new Side[kLayerLanes]);
  auto leaf = [&](std::uint64_t b) {
    for (std::uint32_t l = 0; l < kLayerLanes; ++l)
      for (std::uint64_t j = 0; j < width; ++j) lanes[l].v[j] = -0.0f;
    std::uint32_t l = 0;
    const std::uint64_t first = b * kLayerBlock, left = size - first;
    walk.runs(first, left < kLayerBlock ? left : kLayerBlock, [&](const char* p, std::int64_t stride, std::uint64_t n) {
      for (std::uint64_t i = 0; i < n; ++i, p += stride) {
        layer_add_row_f32(lanes[l].v, p, width);
        l = (l + 1) % kLayerLanes;
      }
    });
    for (std::uint32_t w = kLayerLanes / 2; w >= 1; w /= 2)
      for (std::uint32_t k = 0; k < w; ++k)
        for (std::uint64_t j = 0; j < width; ++j) lanes[k].v[j] += lanes[k + w].v[j];
    return lanes[0];
  };
  auto add = [&](Side a, const Side& b) {
    for (std::uint64_t j = 0; j < width; ++j) a.v[j] += b.v[j];
    return a;
  };
  if (size == 0) return std::fill(out, out + width, 0.0f);
  const Side sums = layer_tree(0, (size + kLayerBlock - 1) / kLayerBlock, leaf, add);
  std::copy(sums.v, sums.v + width, out);
}

// Every output: where 8 or more lie side by side, up to kSide of them at a
// time through group(address, width, out), the others one by one through
// one(address, processors).
template <class Group, class One>
void outputs_of(const ViewWalk& starts, std::uint64_t per_output, float* out, std::uint64_t processors, Group&& group,
                One&& one) {
  output_ranges(starts.size(), per_output, processors, [&](std::uint64_t begin, std::uint64_t end, std::uint64_t inner) {
    float* o = out + begin;
    starts.runs(begin, end - begin, [&](const char* p, std::int64_t stride, std::uint64_t length) {
      std::uint64_t i = 0;
      while (stride == 4 && length - i >= 8) {
        const std::uint64_t width = length - i < kSide ? length - i : kSide;
        group(p, width, o);
        i += width;
        p += 4 * width;
        o += width;
      }
      for (; i < length; ++i, p += stride) *o++ = one(p, inner);
    });
  });
}

// The max (larger) or min of each of the `width` sub-views `sub` from base,
// base + 4, ...: any order of visits gives the same result, so the walk goes
// once, all outputs' keys side by side.
void extrema_side_by_side(const ViewWalk& sub, const char* base, std::uint64_t width, bool larger, float* out) {
  std::int32_t best[kSide];
  std::uint8_t nan[kSide];
  for (std::uint64_t j = 0; j < width; ++j) {
    best[j] = larger ? std::numeric_limits<std::int32_t>::min() : std::numeric_limits<std::int32_t>::max();
    nan[j] = 0;
  }
  sub.at(base).runs(0, sub.size(), [&](const char* p, std::int64_t stride, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i, p += stride) {
      for (std::uint64_t j = 0; j < width; ++j) {
        float v;
        std::memcpy(&v, p + 4 * j, 4);
        nan[j] |= v != v ? 1 : 0;
        const std::int32_t k = layer_order_key(v);
        best[j] = larger ? (k > best[j] ? k : best[j]) : (k < best[j] ? k : best[j]);
      }
    }
  });
  for (std::uint64_t j = 0; j < width; ++j)
    out[j] = nan[j] != 0 ? std::numeric_limits<float>::quiet_NaN() : layer_value_of_key(best[j]);
}

}  // namespace

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
    return outputs_of(starts, sub.size(), out, processors, group, one);
  }
  const bool larger = fold == AxisFold::kMax;
  auto group = [&](const char* p, std::uint64_t width, float* o) { extrema_side_by_side(sub, p, width, larger, o); };
  auto one = [&](const char* p, std::uint64_t inner) {
    return larger ? layer_max_f32(sub.at(p), inner) : layer_min_f32(sub.at(p), inner);
  };
  outputs_of(starts, sub.size(), out, processors, group, one);
}

}  // namespace zoltra::ops
