#pragma once
// The layer's matrix x vector kernel for each kind of processor, and the
// choice among them: the block dot products (layer_sum_variants.hpp) of
// kLayerRowGroup rows with one vector, each row with its own 64 lanes and
// fold, so every output has the bits of layer_block_dot_f32 on its row. The
// rows share the loads of the vector.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

inline constexpr int kLayerRowGroup = 4;

// out[r] = the block dot of rows[r] and v over count <= kLayerBlock values.
using LayerRowsDot = void (*)(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept;

void layer_rows_dot_portable(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept;
// Needs AVX2 and FMA; processors with AVX-512 run it too.
void layer_rows_dot_avx2(const float* const* rows, const float* v, std::uint32_t count, float* out) noexcept;

struct LayerMatvecKernels {
  LayerRowsDot rows_dot;
};

LayerMatvecKernels layer_matvec_kernels_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
