// What an aarch64 processor says of itself: its features through the kernel's
// hardware capabilities; its caches only through sysfs (cache_geometry.cpp),
// since user code cannot read them from the processor. Compiled only for
// aarch64.
#include <sys/auxv.h>

#include "backend/cache_geometry.hpp"
#include "backend/capabilities.hpp"

namespace zoltra::backend {
namespace {

// AT_HWCAP bits (the kernel's arch/arm64 hwcap.h).
constexpr unsigned long kHwcapFp = 1ul << 0;
constexpr unsigned long kHwcapAsimd = 1ul << 1;
constexpr unsigned long kHwcapSve = 1ul << 22;

}  // namespace

// No x86 instruction set: every choice takes the portable variant.
const CpuFeatures& cpu_features() noexcept {
  static constexpr CpuFeatures none;
  return none;
}

const ArmFeatures& arm_features() noexcept {
  static const ArmFeatures features = [] {
    const unsigned long hwcap = getauxval(AT_HWCAP);
    return ArmFeatures{(hwcap & kHwcapFp) != 0, (hwcap & kHwcapAsimd) != 0, (hwcap & kHwcapSve) != 0};
  }();
  return features;
}

std::size_t read_cache_leaves(CacheLeaf*) noexcept { return 0; }

}  // namespace zoltra::backend
