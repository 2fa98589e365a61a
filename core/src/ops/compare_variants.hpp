#pragma once
// The row loops of the comparisons and of where for each kind of processor;
// every variant gives the same bytes.
#include <array>
#include <cstdint>

#include "backend/capabilities.hpp"
#include "ops/broadcast_variants.hpp"

namespace zoltra::ops {

// out[i * so] = a[i * sa] op b[i * sb] as a byte, for i < n; strides in
// bytes. Indexed by CompareOp.
using CompareRowKernels = std::array<BroadcastRowKernel, 6>;

// out[i * so] = c[i * sc] != 0 ? a[i * sa] : b[i * sb] for i < n.
using WhereRowKernel = void (*)(const char* c, std::int64_t sc, const char* a, std::int64_t sa, const char* b,
                                std::int64_t sb, char* out, std::int64_t so, std::uint64_t n) noexcept;

CompareRowKernels compare_rows_portable() noexcept;
CompareRowKernels compare_rows_avx2() noexcept;  // needs AVX2
WhereRowKernel where_row_portable() noexcept;
WhereRowKernel where_row_avx2() noexcept;  // needs AVX2

CompareRowKernels compare_rows_for(const backend::CpuFeatures& features) noexcept;
WhereRowKernel where_row_for(const backend::CpuFeatures& features) noexcept;

}  // namespace zoltra::ops
