#pragma once
// The layer's block kernels for each kind of processor, and the choice among
// them. A block is at most kLayerBlock consecutive values: value t goes to
// lane t mod 64, each lane starts at -0.0 and adds its values in order (dot:
// one fused multiply-add per value), then the lanes fold pairwise, w = 32, 16,
// ..., 1: lane[l] += lane[l + w]. Every step is one float32 operation on one
// lane, so any vector width gives the same bits.
#include <cstdint>
#include <cstring>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

inline constexpr std::uint32_t kLayerBlock = 4096;
inline constexpr std::uint32_t kLayerLanes = 64;

// The order of max and min, on the bits: increasing with the value, -0.0
// below +0.0, so that any order of visits gives one result.
inline std::int32_t layer_order_key(float x) noexcept {
  std::uint32_t bits;
  std::memcpy(&bits, &x, 4);
  return static_cast<std::int32_t>(bits ^ (static_cast<std::uint32_t>(static_cast<std::int32_t>(bits) >> 31) >> 1));
}

inline float layer_value_of_key(std::int32_t key) noexcept {
  const auto bits = static_cast<std::uint32_t>(key) ^ (static_cast<std::uint32_t>(key >> 31) >> 1);
  float x;
  std::memcpy(&x, &bits, 4);
  return x;
}

// Plain C++ (std::fma: one rounding, as the instruction).
float layer_block_sum_portable(const float* x, std::uint32_t count) noexcept;
float layer_block_dot_portable(const float* a, const float* b, std::uint32_t count) noexcept;
// lane[j] += the float at src + 4j, for j < width: one step of many outputs'
// lanes side by side.
void layer_add_row_portable(float* lane, const char* src, std::uint64_t width) noexcept;
// The largest (smallest) key of count >= 1 values; NaN when any is NaN.
float layer_block_max_portable(const float* x, std::uint32_t count) noexcept;
float layer_block_min_portable(const float* x, std::uint32_t count) noexcept;
// For j < width, with v the float at src + 4j: best[j] = the larger
// (smaller) of best[j] and v's key, INT32_MAX (INT32_MIN) for every NaN, a
// key no number has. One step of many outputs' extrema side by side.
void layer_max_row_portable(std::int32_t* best, const char* src, std::uint64_t width) noexcept;
void layer_min_row_portable(std::int32_t* best, const char* src, std::uint64_t width) noexcept;
// out[i] = the float at src + 8i, for i < count. Moves bits.
void layer_gather_pairs_portable(const char* src, std::uint64_t count, float* out) noexcept;
// out_rows[r][c] = the float at top + c * step + 4r, for r < rows <= 32 and
// c < columns: a band of a transposed matrix put in row-major order. Moves bits.
void layer_transpose_band_portable(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t columns,
                                   float* const* out_rows) noexcept;
// The 64 lanes of `blocks` whole blocks of a transposed matrix, before the
// fold: lanes[64b + l] is lane l of block b, whose rows r < rows (1, 2, 4 or
// 8) hold 4096 / rows floats each, element (rows b + r, j) at top + 4(rows b +
// r) + j step.
void layer_column_lanes_portable(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t blocks,
                                 float* lanes) noexcept;
// 8 vectors of 8 lanes; needs AVX2 and FMA.
float layer_block_sum_avx2(const float* x, std::uint32_t count) noexcept;
float layer_block_dot_avx2(const float* a, const float* b, std::uint32_t count) noexcept;
void layer_add_row_avx2(float* lane, const char* src, std::uint64_t width) noexcept;
float layer_block_max_avx2(const float* x, std::uint32_t count) noexcept;
float layer_block_min_avx2(const float* x, std::uint32_t count) noexcept;
void layer_max_row_avx2(std::int32_t* best, const char* src, std::uint64_t width) noexcept;
void layer_min_row_avx2(std::int32_t* best, const char* src, std::uint64_t width) noexcept;
void layer_gather_pairs_avx2(const char* src, std::uint64_t count, float* out) noexcept;
void layer_transpose_band_avx2(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t columns,
                               float* const* out_rows) noexcept;
void layer_column_lanes_avx2(const char* top, std::int64_t step, std::uint32_t rows, std::uint64_t blocks,
                             float* lanes) noexcept;
// 4 vectors of 16 lanes; needs AVX-512.
float layer_block_sum_avx512(const float* x, std::uint32_t count) noexcept;
float layer_block_dot_avx512(const float* a, const float* b, std::uint32_t count) noexcept;

struct LayerSumKernels {
  float (*block_sum)(const float*, std::uint32_t) noexcept;
  float (*block_dot)(const float*, const float*, std::uint32_t) noexcept;
  void (*add_row)(float*, const char*, std::uint64_t) noexcept;
  float (*block_max)(const float*, std::uint32_t) noexcept;
  float (*block_min)(const float*, std::uint32_t) noexcept;
  void (*transpose_band)(const char*, std::int64_t, std::uint32_t, std::uint64_t, float* const*) noexcept;
  void (*max_row)(std::int32_t*, const char*, std::uint64_t) noexcept;
  void (*min_row)(std::int32_t*, const char*, std::uint64_t) noexcept;
  void (*gather_pairs)(const char*, std::uint64_t, float*) noexcept;
  void (*column_lanes)(const char*, std::int64_t, std::uint32_t, std::uint64_t, float*) noexcept;
};

LayerSumKernels layer_sum_kernels_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
