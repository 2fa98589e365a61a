#pragma once
// The row loops of the broadcasting walk for each kind of processor. Every
// variant gives the same bits: one correctly rounded operation per element,
// or the one IEEE maximum or minimum.
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

// out[i * so] = a[i * sa] op b[i * sb] for i < n; strides in bytes.
using BroadcastRowKernel = void (*)(const char* a, std::int64_t sa, const char* b, std::int64_t sb, char* out,
                                    std::int64_t so, std::uint64_t n) noexcept;

struct BroadcastRowKernels {
  BroadcastRowKernel add, sub, mul, div, maximum, minimum;
};

BroadcastRowKernels broadcast_rows_portable() noexcept;
BroadcastRowKernels broadcast_rows_avx2() noexcept;  // needs AVX2
// The same writing a contiguous out with streaming stores; needs AVX2. The
// caller drains the stores (sfence) before its results are read.
BroadcastRowKernels broadcast_rows_avx2_stream() noexcept;

// With `stream`, the streaming rows where the processor has them.
BroadcastRowKernels broadcast_rows_for(const backend::CpuFeatures& features, bool stream = false) noexcept;

}  // namespace zoltra::ops
