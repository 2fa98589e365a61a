#pragma once
// Parallel flat sums on the worker pool, and strided reductions over views.
#include <cstdint>

#include "backend/cache_geometry.hpp"

namespace zoltra::ops {

// Sums at or above this many elements run in parallel.
inline constexpr std::uint64_t kParallelSumThreshold = 1'000'000;

float parallel_sum_f32_cpu(const float* data, std::uint64_t count);
std::int32_t parallel_sum_i32_cpu(const std::int32_t* data, std::uint64_t count);

// The same for a given processor count P, which sizes the chunks (ceil(count
// / P) elements each), so that tests can run the chunking of any processor.
float parallel_sum_f32_cpu(const float* data, std::uint64_t count, std::uint64_t processors);
std::int32_t parallel_sum_i32_cpu(const std::int32_t* data, std::uint64_t count, std::uint64_t processors);

// The entry points' choice between the sequential and parallel kernels.
float sum_f32_auto(const float* data, std::uint64_t count);
std::int32_t sum_i32_auto(const std::int32_t* data, std::uint64_t count);
float mean_f32_auto(const float* data, std::uint64_t count);

// Strided walks whose consecutive elements lie far apart gather bands of
// nearby rows into a buffer; a band holds at most this many floats.
std::uint64_t strided_band_floats(const backend::CacheGeometry& geometry) noexcept;

float sum_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept;
float max_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept;
float min_f32_strided_dispatch(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                               const std::int64_t* strides, std::uint64_t nstrides) noexcept;

}  // namespace zoltra::ops
