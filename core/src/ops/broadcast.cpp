// The broadcasting walk: the dimensions compacted, then an odometer over the
// outer ones calling the processor's row loop for each run of the innermost,
// on the calling thread or in contiguous ranges of elements on the pool.
#include "ops/broadcast.hpp"


#include <cstddef>
#include <memory>

#include "backend/processor_count.hpp"
#include "common/cpu_hints.hpp"
#include "common/decimal.hpp"
#include "ops/broadcast_variants.hpp"
#include "ops/elementwise.hpp"
#include "scheduler/pool.hpp"

namespace zoltra::ops {

BroadcastRowKernels broadcast_rows_for(const backend::CpuFeatures& features, bool stream) noexcept {
  if constexpr (backend::kX86Files)
    if (features.avx2) return stream ? broadcast_rows_avx2_stream() : broadcast_rows_avx2();
  return broadcast_rows_portable();
}

namespace {

// Chunks are claimed as threads arrive, so several per processor let the
// threads that start first take over the share of one that starts late.
constexpr std::uint64_t kChunksPerProcessor = 4;

struct Dim {
  std::uint64_t extent;
  std::int64_t sa, sb, so;  // bytes
};

// Drops dimensions of extent 1 and merges neighbours that step through all
// three operands as one longer dimension; the elements and their order stay.
// Returns the kept count, or -1 when some extent is 0.
std::int64_t compact(std::uint64_t ndim, const std::int64_t* shape, const std::int64_t* sa, const std::int64_t* sb,
                     const std::int64_t* so, Dim* dims) noexcept {
  std::int64_t kept = 0;
  for (std::uint64_t d = 0; d < ndim; ++d) {
    if (shape[d] == 0) return -1;
    if (shape[d] == 1) continue;
    const Dim dim{static_cast<std::uint64_t>(shape[d]), sa[d], sb[d], so[d]};
    if (kept > 0) {
      Dim& outer = dims[kept - 1];
      const auto e = static_cast<std::int64_t>(dim.extent);
      if (outer.sa == dim.sa * e && outer.sb == dim.sb * e && outer.so == dim.so * e) {
        outer.extent *= dim.extent;
        outer.sa = dim.sa;
        outer.sb = dim.sb;
        outer.so = dim.so;
        continue;
      }
    }
    dims[kept++] = dim;
  }
  return kept;
}

struct Walk {
  BroadcastRowKernel row;
  const Dim* dims;
  std::size_t kept;  // >= 1
  const char* a;
  const char* b;
  char* out;

  // Elements [begin, end) in row-major order of the compacted shape.
  void run(std::uint64_t begin, std::uint64_t end) const noexcept {
    constexpr std::size_t kInline = 32;
    std::uint64_t inline_index[kInline];
    std::unique_ptr<std::uint64_t[]> heap;
    std::uint64_t* index = inline_index;
    if (kept > kInline) {
      heap.reset(new std::uint64_t[kept]);
      index = heap.get();
    }
    const Dim& inner = dims[kept - 1];
    std::int64_t oa = 0, ob = 0, oo = 0;
    std::uint64_t rest = begin;
    for (std::size_t d = kept; d-- > 0;) {
      index[d] = rest % dims[d].extent;
      rest /= dims[d].extent;
      const auto i = static_cast<std::int64_t>(index[d]);
      oa += i * dims[d].sa;
      ob += i * dims[d].sb;
      oo += i * dims[d].so;
    }
    for (std::uint64_t done = begin; done < end;) {
      const std::uint64_t i = index[kept - 1];
      std::uint64_t n = inner.extent - i;
      if (n > end - done) n = end - done;
      row(a + oa, inner.sa, b + ob, inner.sb, out + oo, inner.so, n);
      done += n;
      if (done == end) return;
      // To the start of the next row.
      oa -= static_cast<std::int64_t>(i) * inner.sa;
      ob -= static_cast<std::int64_t>(i) * inner.sb;
      oo -= static_cast<std::int64_t>(i) * inner.so;
      index[kept - 1] = 0;
      for (std::size_t d = kept - 1; d-- > 0;) {
        oa += dims[d].sa;
        ob += dims[d].sb;
        oo += dims[d].so;
        if (++index[d] < dims[d].extent) break;
        const auto e = static_cast<std::int64_t>(dims[d].extent);
        oa -= e * dims[d].sa;
        ob -= e * dims[d].sb;
        oo -= e * dims[d].so;
        index[d] = 0;
      }
    }
  }
};

BroadcastRowKernel row_of(const BroadcastRowKernels& kernels, BinaryOp op) noexcept {
  switch (op) {
    case BinaryOp::kAdd: return kernels.add;
    case BinaryOp::kSub: return kernels.sub;
    case BinaryOp::kMul: return kernels.mul;
    case BinaryOp::kDiv: return kernels.div;
  }
  return kernels.add;
}

void flat(BinaryOp op, const float* a, const float* b, float* out, std::uint64_t count) {
  switch (op) {
    case BinaryOp::kAdd: return add_f32_cpu(a, b, out, count);
    case BinaryOp::kSub: return sub_f32_cpu(a, b, out, count);
    case BinaryOp::kMul: return mul_f32_cpu(a, b, out, count);
    case BinaryOp::kDiv: return div_f32_cpu(a, b, out, count);
  }
}

}  // namespace

std::uint64_t broadcast_streaming_threshold(const backend::CacheGeometry& geometry) noexcept {
  return geometry.llc_bytes / sizeof(float);
}

void broadcast_f32_cpu(BinaryOp op, std::uint64_t ndim, const std::int64_t* shape, const float* a,
                       const std::int64_t* a_strides, const float* b, const std::int64_t* b_strides, float* out,
                       const std::int64_t* out_strides) {
  constexpr std::size_t kInline = 32;
  Dim inline_dims[kInline];
  std::unique_ptr<Dim[]> heap;
  Dim* dims = inline_dims;
  if (ndim > kInline) {
    heap.reset(new Dim[ndim]);
    dims = heap.get();
  }
  const std::int64_t kept = compact(ndim, shape, a_strides, b_strides, out_strides, dims);
  if (kept < 0) return;
  if (kept == 0) dims[0] = Dim{1, 0, 0, 0};  // one element
  const std::size_t count_dims = kept == 0 ? 1 : static_cast<std::size_t>(kept);
  std::uint64_t count = 1;
  for (std::size_t d = 0; d < count_dims; ++d) count *= dims[d].extent;

  // One contiguous run of all three: the flat kernels, with their own split
  // and streaming stores.
  const Dim& inner = dims[count_dims - 1];
  if (count_dims == 1 && inner.sa == 4 && inner.sb == 4 && inner.so == 4)
    return flat(op, a, b, out, count);

  // Streaming stores only for an out apart from the operands (in place, its
  // lines are in cache already) and too large for the last-level cache: a
  // repeated operand reads less than the flat kernels do, so below that the
  // output's lines are better left in cache (measured: 1024 x 1024 plus a
  // row took four times as long with them).
  const std::uint64_t processors = backend::processor_count();
  const bool parallel = count >= kParallelBroadcastThreshold && processors >= 2 && !scheduler::on_pool_thread();
  const std::uint64_t length = parallel ? ceil_div(ceil_div(count, kChunksPerProcessor * processors), 16) * 16 : count;
  static const std::uint64_t streaming_count = broadcast_streaming_threshold(backend::cache_geometry());
  const bool stream = count >= streaming_count && out != a && out != b;
  const Walk walk{row_of(broadcast_rows_for(backend::cpu_features(), stream), op),
                  dims,
                  count_dims,
                  reinterpret_cast<const char*>(a),
                  reinterpret_cast<const char*>(b),
                  reinterpret_cast<char*>(out)};
  if (!parallel) {
    walk.run(0, count);
    if (stream) streaming_store_fence();
    return;
  }
  // Ranges of whole 16-element groups, so that neighbouring ranges of a
  // contiguous out rarely share a cache line.
  const auto chunks = static_cast<std::size_t>(ceil_div(count, length));
  auto chunk = [&](std::size_t c) {
    const std::uint64_t begin = c * length;
    walk.run(begin, count - begin < length ? count : begin + length);
    // Streaming stores are weakly ordered: drained before the chunk ends.
    if (stream) streaming_store_fence();
  };
  scheduler::run_chunks(chunks, chunk);
}

}  // namespace zoltra::ops
