// The axis reductions: the dimensions split into kept and folded ones and
// compacted, then one of three walks, all giving each output the bits of the
// whole reduction of its sub-view:
//  - rows: the sub-view is one contiguous run, reduced by the flat kernel of
//    a whole contiguous view (float32 max/min by a vector kernel with the
//    strided fold's bits);
//  - lanes: the innermost kept dimension is contiguous, so side-by-side
//    outputs fold together, one step per folded position in row-major order,
//    each lane its own chain (axis 0 of a C-ordered matrix);
//  - each: every output reduced on its own, float32 by the strided kernels
//    of a whole view.
// Outputs (or blocks of lanes) are split over the worker pool for large calls.
#include "ops/axis_reduce.hpp"

#include <cstddef>
#include <limits>
#include <vector>

#include "backend/processor_count.hpp"
#include "common/decimal.hpp"
#include "common/unaligned.hpp"
#include "ops/axis_reduce_variants.hpp"
#include "ops/fold_steps.hpp"
#include "ops/flat_reduce.hpp"
#include "ops/operand_walk.hpp"
#include "ops/reduce.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

AxisReduceKernels axis_reduce_kernels_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return axis_reduce_avx2();
  return axis_reduce_portable();
}

namespace {

using Walk = OperandWalk<1>;

// Kept and folded dimensions, each walk in its order, without extents of 1
// and with neighbours that step through memory as one dimension merged.
struct Axes {
  Walk kept, folded;
  std::uint64_t outputs = 1, count = 1;  // positions of each walk
};

Axes split_axes(std::uint64_t ndim, const std::int64_t* shape, const std::int64_t* strides, const bool* reduced) {
  Axes axes;
  for (std::uint64_t d = 0; d < ndim; ++d)
    (reduced[d] ? axes.folded : axes.kept).add(static_cast<std::uint64_t>(shape[d]), {strides[d]});
  axes.outputs = axes.kept.count();
  axes.count = axes.folded.count();
  return axes;
}

// A C-contiguous sub-view of `size`-byte elements: one run.
bool one_run(const Axes& axes, std::int64_t size) noexcept {
  return axes.folded.dims() == 0 || (axes.folded.dims() == 1 && axes.folded.inner().stride[0] == size);
}

// The lanes walk needs the innermost kept dimension to step one element.
bool side_by_side(const Axes& axes, std::int64_t size) noexcept {
  return axes.kept.dims() != 0 && axes.kept.inner().stride[0] == size;
}

// Calls visit(offset) for every position of `walk` in row-major order.
template <class Visit>
void for_each_position(const Walk& walk, Visit&& visit) {
  walk.positions([&visit](const Walk::Offsets& at) { visit(at[0]); });
}

// Runs body(begin, end) over [0, items), in up to 4P ranges on the pool when
// the call reads at least kParallelAxisThreshold elements.
template <class Body>
void over_pool(std::uint64_t items, std::uint64_t work, bool allowed, Body&& body) {
  const std::uint64_t processors = backend::processor_count();
  if (!allowed || items < 2 || work < kParallelAxisThreshold || processors < 2 || scheduler::on_pool_thread())
    return body(std::uint64_t{0}, items);
  const std::uint64_t most = kRangesPerProcessor * processors;
  const std::uint64_t chunks = items < most ? items : most;
  auto chunk = [&](std::size_t c) { body(c * items / chunks, (c + 1) * items / chunks); };
  scheduler::run_chunks(static_cast<std::size_t>(chunks), chunk);
}

// Calls per_output(o, offset) for the outputs [begin, end).
template <class PerOutput>
void outputs_in(const Axes& axes, std::uint64_t begin, std::uint64_t end, PerOutput&& per_output) {
  axes.kept.runs(begin, end - begin, [&](const Walk::Offsets& at, const Walk::Offsets& stride, std::uint64_t n) {
    const std::uint64_t first = begin;  // a local: stores of bytes cannot move it
    begin += n;
    for (std::uint64_t i = 0; i < n; ++i) per_output(first + i, at[0] + static_cast<std::int64_t>(i) * stride[0]);
  });
}

// The lanes walk: units are a block of at most kLaneBlock side-by-side
// outputs at one position of the outer kept dimensions; init(acc, first, w)
// starts a block from the folded sub-views' first elements, fold(acc, rows,
// n, w) folds the next n positions, finish(acc, w) ends it.
constexpr std::uint64_t kLaneBlock = 1024;

template <class T, class Init, class Fold, class Finish>
void lanes(const Axes& axes, const char* data, T* out, Init&& init, Fold fold, Finish&& finish) {
  const Walk::Dim inner = axes.kept.inner();
  const std::uint64_t positions = axes.outputs / inner.extent;
  const std::uint64_t processors = backend::processor_count();
  // Enough blocks for every processor when the outer positions are few.
  std::uint64_t width = inner.extent;
  // Blocks of whole row segments for each processor: narrower ones would
  // read each page of a row in several passes (measured: axis 0 of 1024 x
  // 1024 took 1.5 times as long in blocks of 128).
  if (positions < processors) width = ceil_div(ceil_div(inner.extent, processors / positions), 16) * 16;
  if (width > kLaneBlock) width = kLaneBlock;
  const std::uint64_t blocks = ceil_div(inner.extent, width);
  over_pool(positions * blocks, axes.outputs * axes.count, true, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t u = begin; u < end; ++u) {
      const std::uint64_t position = u / blocks, first = u % blocks * width;
      const std::uint64_t w = inner.extent - first < width ? inner.extent - first : width;
      const char* base =
          data + axes.kept.offsets(position * inner.extent)[0] + static_cast<std::int64_t>(first * sizeof(T));
      T* acc = out + position * inner.extent + first;
      init(acc, reinterpret_cast<const T*>(base), w);
      const T* rows[kLaneRows];
      std::uint64_t pending = 0;
      axes.folded.runs(0, axes.count, [&](const Walk::Offsets& at, const Walk::Offsets& stride, std::uint64_t n) {
        const char* row = base + at[0];
        const std::int64_t step = stride[0];  // a local: the kernel call cannot change it
        for (std::uint64_t i = 0; i < n; ++i, row += step) {
          rows[pending++] = reinterpret_cast<const T*>(row);
          if (pending == kLaneRows) {
            fold(acc, rows, pending, w);
            pending = 0;
          }
        }
      });
      if (pending != 0) fold(acc, rows, pending, w);
      finish(acc, w);
    }
  });
}

// A one-step kernel as a fold of n rows, for sums and logic, whose grouping
// cannot change a result.
template <class T>
auto each_row(void (*step)(T*, const T*, std::uint64_t) noexcept) {
  return [step](T* acc, const T* const* rows, std::uint64_t n, std::uint64_t w) {
    for (std::uint64_t k = 0; k < n; ++k) step(acc, rows[k], w);
  };
}

template <class T>
void fill(T* out, std::uint64_t count, T value) {
  for (std::uint64_t i = 0; i < count; ++i) out[i] = value;
}

// Every element on a multiple of `size` bytes.
bool aligned_for(const void* data, const Axes& axes, std::uint64_t size) noexcept {
  if (reinterpret_cast<std::uintptr_t>(data) % size != 0) return false;
  for (const Walk* walk : {&axes.kept, &axes.folded})
    for (std::size_t d = 0; d < walk->dims(); ++d)
      if (walk->dim(d).stride[0] % static_cast<std::int64_t>(size) != 0) return false;
  return true;
}

}  // namespace

void axis_reduce_f32_cpu(AxisFold fold, const float* data, std::uint64_t ndim, const std::int64_t* shape,
                         const std::int64_t* strides, const bool* reduced, float* out) {
  const Axes axes = split_axes(ndim, shape, strides, reduced);
  if (axes.outputs == 0) return;
  if (axes.count == 0)
    return fill(out, axes.outputs, fold == AxisFold::kSum ? 0.0f : std::numeric_limits<float>::quiet_NaN());
  const AxisReduceKernels kernels = axis_reduce_kernels_for(backend::cpu_features());
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::uint64_t count = axes.count, work = axes.outputs * count;
  const auto scale = static_cast<float>(count);
  const bool sum = fold == AxisFold::kSum || fold == AxisFold::kMean;

  if (one_run(axes, 4)) {
    // Max and min of a run are the whole strided reduction of that 1-D view.
    const auto run_shape = static_cast<std::int64_t>(count);
    static constexpr std::int64_t kFloatStride = 4;
    // A whole sum this long runs on the pool itself, output after output.
    const bool parallel_each = !(sum && count >= kParallelSumThreshold);
    over_pool(axes.outputs, work, parallel_each, [&](std::uint64_t begin, std::uint64_t end) {
      outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
        const auto* run = reinterpret_cast<const float*>(bytes + offset);
        switch (fold) {
          case AxisFold::kSum: out[o] = sum_f32_auto(run, count); break;
          case AxisFold::kMean: out[o] = sum_f32_auto(run, count) / scale; break;
          case AxisFold::kMax: out[o] = max_f32_strided_dispatch(run, &run_shape, 1, &kFloatStride, 1); break;
          case AxisFold::kMin: out[o] = min_f32_strided_dispatch(run, &run_shape, 1, &kFloatStride, 1); break;
        }
      });
    });
    return;
  }

  if (side_by_side(axes, 4) && aligned_for(data, axes, 4)) {
    auto rows = fold == AxisFold::kMax ? kernels.max_f32 : fold == AxisFold::kMin ? kernels.min_f32 : kernels.sum_f32;
    auto init = [&](float* acc, const float* first, std::uint64_t w) {
      for (std::uint64_t j = 0; j < w; ++j) acc[j] = sum ? 0.0f : first[j];
    };
    auto finish = [&](float* acc, std::uint64_t w) {
      if (fold == AxisFold::kMean)
        for (std::uint64_t j = 0; j < w; ++j) acc[j] = acc[j] / scale;
    };
    return lanes(axes, bytes, out, init, rows, finish);
  }

  // The strided kernels read element offset / 4: folded strides that are not
  // multiples of 4 (a float32 field of packed records) are folded here, in
  // the same order, where the elements lie.
  bool exact = true;
  for (std::size_t d = 0; d < axes.folded.dims(); ++d) exact &= axes.folded.dim(d).stride[0] % 4 == 0;
  if (!exact) {
    over_pool(axes.outputs, work, true, [&](std::uint64_t begin, std::uint64_t end) {
      outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
        float r = sum ? 0.0f : load_unaligned<float>(bytes + offset);
        for_each_position(axes.folded, [&](std::int64_t at) {
          const float v = load_unaligned<float>(bytes + offset + at);
          r = sum ? SumStep::apply(r, v) : fold == AxisFold::kMax ? MaxStep::apply(r, v) : MinStep::apply(r, v);
        });
        out[o] = fold == AxisFold::kMean ? r / scale : r;
      });
    });
    return;
  }
  std::vector<std::int64_t> sub_shape, sub_strides;
  for (std::size_t d = 0; d < axes.folded.dims(); ++d) {
    sub_shape.push_back(static_cast<std::int64_t>(axes.folded.dim(d).extent));
    sub_strides.push_back(axes.folded.dim(d).stride[0]);
  }
  auto* whole = fold == AxisFold::kMax ? max_f32_strided_dispatch
                : fold == AxisFold::kMin ? min_f32_strided_dispatch
                                         : sum_f32_strided_dispatch;
  over_pool(axes.outputs, work, true, [&](std::uint64_t begin, std::uint64_t end) {
    outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
      const float r = whole(reinterpret_cast<const float*>(bytes + offset), sub_shape.data(), sub_shape.size(),
                            sub_strides.data(), sub_strides.size());
      out[o] = fold == AxisFold::kMean ? r / scale : r;
    });
  });
}

void axis_sum_i32_cpu(const std::int32_t* data, std::uint64_t ndim, const std::int64_t* shape,
                      const std::int64_t* strides, const bool* reduced, std::int32_t* out) {
  const Axes axes = split_axes(ndim, shape, strides, reduced);
  if (axes.outputs == 0) return;
  if (axes.count == 0) return fill(out, axes.outputs, std::int32_t{0});
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::uint64_t count = axes.count, work = axes.outputs * count;
  if (one_run(axes, 4)) {
    over_pool(axes.outputs, work, count < kParallelSumThreshold, [&](std::uint64_t begin, std::uint64_t end) {
      outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
        out[o] = sum_i32_auto(reinterpret_cast<const std::int32_t*>(bytes + offset), count);
      });
    });
    return;
  }
  // Wrapping sums: the grouping cannot change a result.
  auto* wide = reinterpret_cast<std::uint32_t*>(out);
  if (side_by_side(axes, 4) && aligned_for(data, axes, 4)) {
    auto init = [](std::uint32_t* acc, const std::uint32_t*, std::uint64_t w) { fill(acc, w, std::uint32_t{0}); };
    return lanes(axes, bytes, wide, init, each_row(axis_reduce_kernels_for(backend::cpu_features()).sum_u32),
                 [](std::uint32_t*, std::uint64_t) {});
  }
  over_pool(axes.outputs, work, true, [&](std::uint64_t begin, std::uint64_t end) {
    outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
      std::uint32_t s = 0;
      for_each_position(axes.folded, [&](std::int64_t at) { s += load_unaligned<std::uint32_t>(bytes + offset + at); });
      wide[o] = s;
    });
  });
}

namespace {

template <bool kAll>
void axis_bool(const std::uint8_t* data, std::uint64_t ndim, const std::int64_t* shape, const std::int64_t* strides,
               const bool* reduced, std::uint8_t* out) {
  const Axes axes = split_axes(ndim, shape, strides, reduced);
  if (axes.outputs == 0) return;
  if (axes.count == 0) return fill(out, axes.outputs, std::uint8_t{kAll});
  const auto* bytes = reinterpret_cast<const char*>(data);
  const std::uint64_t count = axes.count, work = axes.outputs * count;
  if (one_run(axes, 1)) {
    over_pool(axes.outputs, work, true, [&](std::uint64_t begin, std::uint64_t end) {
      outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
        const auto* run = reinterpret_cast<const std::uint8_t*>(bytes + offset);
        out[o] = kAll ? all_bool_cpu(run, count) : any_bool_cpu(run, count);
      });
    });
    return;
  }
  if (side_by_side(axes, 1)) {
    const AxisReduceKernels kernels = axis_reduce_kernels_for(backend::cpu_features());
    auto init = [](std::uint8_t* acc, const std::uint8_t*, std::uint64_t w) { fill(acc, w, std::uint8_t{kAll}); };
    return lanes(axes, bytes, out, init, each_row(kAll ? kernels.all_u8 : kernels.any_u8),
                 [](std::uint8_t*, std::uint64_t) {});
  }
  over_pool(axes.outputs, work, true, [&](std::uint64_t begin, std::uint64_t end) {
    outputs_in(axes, begin, end, [&](std::uint64_t o, std::int64_t offset) {
      bool r = kAll;
      for_each_position(axes.folded, [&](std::int64_t at) {
        const bool v = bytes[offset + at] != 0;
        r = kAll ? (r && v) : (r || v);
      });
      out[o] = r;
    });
  });
}

}  // namespace

void axis_all_bool_cpu(const std::uint8_t* data, std::uint64_t ndim, const std::int64_t* shape,
                       const std::int64_t* strides, const bool* reduced, std::uint8_t* out) {
  axis_bool<true>(data, ndim, shape, strides, reduced, out);
}

void axis_any_bool_cpu(const std::uint8_t* data, std::uint64_t ndim, const std::int64_t* shape,
                       const std::int64_t* strides, const bool* reduced, std::uint8_t* out) {
  axis_bool<false>(data, ndim, shape, strides, reduced, out);
}

}  // namespace zoltra::ops
