// Outputs of the layer's axis reductions and matrix x vector: the kept
// dimensions walked in row-major order, each output reduced on its own.
#include "ops/layer_outputs.hpp"

#include <cstddef>

#include "ops/layer_sum.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

namespace {

// Ranges are claimed as threads arrive: several per processor.
constexpr std::uint64_t kRangesPerProcessor = 4;

// out[o] = reduce(first element of output o, processors) for every output,
// in ranges over the pool when there are several outputs and enough work.
template <class Reduce>
void each_output(const ViewWalk& starts, std::uint64_t per_output, float* out, std::uint64_t processors,
                 Reduce&& reduce) {
  const std::uint64_t outputs = starts.size();
  const auto range = [&](std::uint64_t begin, std::uint64_t end, std::uint64_t inner) {
    float* o = out + begin;
    starts.runs(begin, end - begin, [&](const char* p, std::int64_t stride, std::uint64_t length) {
      for (std::uint64_t i = 0; i < length; ++i, p += stride) *o++ = reduce(p, inner);
    });
  };
  if (outputs < 2 || processors < 2 || outputs * per_output < kLayerParallelOutputsWork ||
      scheduler::on_pool_thread())
    return range(0, outputs, processors);
  const std::uint64_t most = kRangesPerProcessor * processors;
  const std::uint64_t chunks = outputs < most ? outputs : most;
  auto chunk = [&](std::size_t c) { range(c * outputs / chunks, (c + 1) * outputs / chunks, 1); };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
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
  const auto count = static_cast<float>(sub.size());
  each_output(starts, sub.size(), out, processors, [&](const char* p, std::uint64_t inner) {
    switch (fold) {
      case AxisFold::kSum: return layer_sum_f32(sub.at(p), inner);
      case AxisFold::kMean: return layer_sum_f32(sub.at(p), inner) / count;
      case AxisFold::kMax: return layer_max_f32(sub.at(p), inner);
      case AxisFold::kMin: return layer_min_f32(sub.at(p), inner);
    }
    return 0.0f;
  });
}

void layer_matvec_f32(const ViewWalk& rows, const ViewWalk& row, const ViewWalk& v, float* out,
                      std::uint64_t processors) {
  each_output(rows, row.size(), out, processors,
              [&](const char* p, std::uint64_t inner) { return layer_dot_f32(row.at(p), v, inner); });
}

}  // namespace zoltra::ops
