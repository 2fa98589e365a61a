// What an x86-64 processor says of itself through CPUID: its features and its
// caches. Compiled only for x86-64.
#include <cpuid.h>

#include "backend/cache_geometry.hpp"
#include "backend/capabilities.hpp"

namespace zoltra::backend {
namespace {

constexpr std::uint32_t kLeaf1EcxOsxsave = 1u << 27;

// The subleaves of `leaf` up to the first of type 0 (at most 16).
std::size_t read_leaves(std::uint32_t leaf, CacheLeaf* out) noexcept {
  std::size_t count = 0;
  for (unsigned sub = 0; sub < 16; ++sub) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(leaf, sub, eax, ebx, ecx, edx);
    if ((eax & 0x1Fu) == 0) break;
    out[count++] = {eax, ebx, ecx};
  }
  return count;
}

}  // namespace

CpuidSnapshot read_cpuid() noexcept {
  CpuidSnapshot regs;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return regs;
  regs.max_basic_leaf = eax;
  if (regs.max_basic_leaf >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx)) regs.leaf1_ecx = ecx;
  if (regs.max_basic_leaf >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    regs.leaf7_ebx = ebx;
  }
  // XGETBV faults unless the OS has turned XSAVE on for us.
  if (regs.leaf1_ecx & kLeaf1EcxOsxsave) {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    regs.xcr0 = (std::uint64_t{hi} << 32) | lo;
  }
  return regs;
}

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = decide_cpu_features(read_cpuid());
  return features;
}

const ArmFeatures& arm_features() noexcept {
  static constexpr ArmFeatures none;
  return none;
}

std::size_t read_cache_leaves(CacheLeaf* out) noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx)) return 0;
  const unsigned max_basic = eax;
  const bool amd = ebx == 0x68747541u;  // "Auth"enticAMD
  if (amd) {
    // Leaf 0x8000001D exists with the TopologyExtensions bit (0x80000001 ECX 22).
    if (__get_cpuid_max(0x80000000u, nullptr) < 0x8000001Du) return 0;
    __cpuid(0x80000001u, eax, ebx, ecx, edx);
    return (ecx >> 22) & 1u ? read_leaves(0x8000001Du, out) : 0;
  }
  return max_basic >= 4 ? read_leaves(4, out) : 0;
}

}  // namespace zoltra::backend
