#pragma once
// Max and min of a strided view, folded in memory order rather than in the
// walk's. The walk's result is the first visited element if that is NaN;
// otherwise the largest (smallest) non-NaN value M, which has one bit pattern
// unless M is zero: then it is the first zero visited. So the fold needs M,
// and when M is zero a second pass tells which zeros occur; only a view
// holding both, with M zero, needs the order of visits (the sequential walk
// answers then).
#include <cstdint>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

// The bit patterns seen, as the smallest unsigned and signed integers: 0
// exactly when +0.0 occurs, INT32_MIN exactly when -0.0 occurs.
struct SeenBits {
  std::uint32_t unsigned_min = 0xFFFFFFFFu;
  std::int32_t signed_min = 0x7FFFFFFF;
};

// Folds `count` floats from p onward, `stride` bytes apart (a positive
// multiple of 4), into r, NaN values skipped.
using ExtremumRun = float (*)(const float* p, std::uint64_t count, std::uint64_t stride, float r) noexcept;
// The bit patterns of the same floats into `seen`.
using ZerosRun = void (*)(const float* p, std::uint64_t count, std::uint64_t stride, SeenBits& seen) noexcept;

struct ExtremumRuns {
  ExtremumRun max, min;
  ZerosRun zeros;
};

ExtremumRuns extremum_runs_portable() noexcept;
ExtremumRuns extremum_runs_avx2() noexcept;  // needs AVX2
ExtremumRuns extremum_runs_for(const backend::CpuFeatures& features) noexcept;

// The walk with the order of visits, one element at a time: the reference, and
// the answer when the order matters.
float max_f32_strided_sequential(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                                 const std::int64_t* strides, std::uint64_t nstrides) noexcept;
float min_f32_strided_sequential(const float* data, const std::int64_t* shape, std::uint64_t ndim,
                                 const std::int64_t* strides, std::uint64_t nstrides) noexcept;

}  // namespace zoltra::ops
