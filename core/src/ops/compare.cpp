// The comparisons and where on the broadcasting walk, with the processor's
// row loops.
#include "ops/compare.hpp"

#include "ops/broadcast_walk.hpp"
#include "ops/compare_variants.hpp"

namespace zoltra::ops {

CompareRowKernels compare_rows_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return compare_rows_avx2();
  return compare_rows_portable();
}

WhereRowKernel where_row_for(const backend::CpuFeatures& features) noexcept {
  if constexpr (backend::kX86Files)
    if (backend::runs_avx2_files(features)) return where_row_avx2();
  return where_row_portable();
}

namespace {

void nothing() noexcept {}

}  // namespace

void compare_f32_cpu(CompareOp op, std::uint64_t ndim, const std::int64_t* shape, const float* a,
                     const std::int64_t* a_strides, const float* b, const std::int64_t* b_strides, std::uint8_t* out,
                     const std::int64_t* out_strides) {
  const BroadcastWalk<3> walk(ndim, shape, {a_strides, b_strides, out_strides});
  if (walk.count() == 0) return;
  const BroadcastRowKernel kernel = compare_rows_for(backend::cpu_features())[static_cast<std::size_t>(op)];
  const auto row = [kernel](const std::array<char*, 3>& p, const std::array<std::int64_t, 3>& s, std::uint64_t n) {
    kernel(p[0], s[0], p[1], s[1], p[2], s[2], n);
  };
  // Ranges of whole 64-byte lines of a contiguous out.
  walk.run_all({walk_address(a), walk_address(b), reinterpret_cast<char*>(out)}, row, nothing, 64);
}

void where_f32_cpu(std::uint64_t ndim, const std::int64_t* shape, const std::uint8_t* condition,
                   const std::int64_t* condition_strides, const float* a, const std::int64_t* a_strides,
                   const float* b, const std::int64_t* b_strides, float* out, const std::int64_t* out_strides) {
  const BroadcastWalk<4> walk(ndim, shape, {condition_strides, a_strides, b_strides, out_strides});
  if (walk.count() == 0) return;
  const WhereRowKernel kernel = where_row_for(backend::cpu_features());
  const auto row = [kernel](const std::array<char*, 4>& p, const std::array<std::int64_t, 4>& s, std::uint64_t n) {
    kernel(p[0], s[0], p[1], s[1], p[2], s[2], p[3], s[3], n);
  };
  walk.run_all({walk_address(condition), walk_address(a), walk_address(b), reinterpret_cast<char*>(out)}, row, nothing, 16);
}

}  // namespace zoltra::ops
