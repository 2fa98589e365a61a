// The contiguous runs of argmax/argmin for any x86-64 processor.
#include "ops/argextremum_variants.hpp"

namespace zoltra::ops {
namespace {

template <bool kLargest>
std::uint64_t run(const float* x, std::uint64_t n) noexcept {
  std::uint64_t index = 0;
  for (std::uint64_t i = 1; i < n; ++i)
    if (replaces<kLargest>(x[i], x[index])) index = i;
  return index;
}

}  // namespace

ArgRunKernels argextremum_portable() noexcept { return {run<true>, run<false>}; }

}  // namespace zoltra::ops
