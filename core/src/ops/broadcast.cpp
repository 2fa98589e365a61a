// The two-operand walk: one contiguous run of all three goes to the flat
// kernels, anything else to the broadcasting walk with the processor's row
// loop.
#include "ops/broadcast.hpp"

#include "backend/processor_count.hpp"
#include "common/cpu_hints.hpp"
#include "ops/broadcast_variants.hpp"
#include "ops/elementwise.hpp"

namespace zoltra::ops {

BroadcastRowKernels broadcast_rows_for(const backend::CpuFeatures& features, bool stream) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return stream ? broadcast_rows_avx2_stream() : broadcast_rows_avx2();
  return broadcast_rows_portable();
}

namespace {

BroadcastRowKernel row_of(const BroadcastRowKernels& kernels, BinaryOp op) noexcept {
  switch (op) {
    case BinaryOp::kAdd: return kernels.add;
    case BinaryOp::kSub: return kernels.sub;
    case BinaryOp::kMul: return kernels.mul;
    case BinaryOp::kDiv: return kernels.div;
    case BinaryOp::kMaximum: return kernels.maximum;
    case BinaryOp::kMinimum: return kernels.minimum;
  }
  return kernels.add;
}

// The flat kernels of the arithmetic operations; false for the others.
bool flat(BinaryOp op, const float* a, const float* b, float* out, std::uint64_t count) {
  switch (op) {
    case BinaryOp::kAdd: return add_f32_cpu(a, b, out, count), true;
    case BinaryOp::kSub: return sub_f32_cpu(a, b, out, count), true;
    case BinaryOp::kMul: return mul_f32_cpu(a, b, out, count), true;
    case BinaryOp::kDiv: return div_f32_cpu(a, b, out, count), true;
    default: return false;
  }
}

}  // namespace

std::uint64_t broadcast_streaming_threshold(const backend::CacheGeometry& geometry) noexcept {
  return geometry.llc_bytes / sizeof(float);
}

void broadcast_f32_cpu(BinaryOp op, std::uint64_t ndim, const std::int64_t* shape, const float* a,
                       const std::int64_t* a_strides, const float* b, const std::int64_t* b_strides, float* out,
                       const std::int64_t* out_strides) {
  const BroadcastWalk<3> walk(ndim, shape, {a_strides, b_strides, out_strides});
  const std::uint64_t count = walk.count();
  if (count == 0) return;

  // One contiguous run of all three: the flat kernels, with their own split
  // and streaming stores.
  const auto& inner = walk.inner();
  if (walk.dims() == 1 && inner.stride[0] == 4 && inner.stride[1] == 4 && inner.stride[2] == 4 &&
      flat(op, a, b, out, count))
    return;

  // Streaming stores only for an out apart from the operands (in place, its
  // lines are in cache already) and too large for the last-level cache: a
  // repeated operand reads less than the flat kernels do, so below that the
  // output's lines are better left in cache (measured: 1024 x 1024 plus a
  // row took four times as long with them).
  static const std::uint64_t streaming_count = broadcast_streaming_threshold(backend::cache_geometry());
  const bool stream = count >= streaming_count && out != a && out != b;
  const BroadcastRowKernel kernel = row_of(broadcast_rows_for(backend::cpu_features(), stream), op);
  const auto row = [kernel](const std::array<char*, 3>& p, const std::array<std::int64_t, 3>& s, std::uint64_t n) {
    kernel(p[0], s[0], p[1], s[1], p[2], s[2], n);
  };
  // Streaming stores are weakly ordered: drained before each range ends.
  const auto finish = [stream] {
    if (stream) streaming_store_fence();
  };
  walk.run_all({walk_address(a), walk_address(b), reinterpret_cast<char*>(out)}, row, finish, 16);
}

}  // namespace zoltra::ops
