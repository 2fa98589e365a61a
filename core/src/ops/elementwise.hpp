#pragma once
// Element-wise float32 arithmetic: out[i] = a[i] op b[i].
// out may be the very buffer a or b; any other overlap is outside the contract.
// Runs on any x86-64 processor (AVX2 vectors where the processor has them).
#include <cstdint>

namespace zoltra::ops {

void add_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void sub_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void mul_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept;
void div_f32_cpu(const float* a, const float* b, float* out, std::uint64_t count) noexcept;

}  // namespace zoltra::ops
