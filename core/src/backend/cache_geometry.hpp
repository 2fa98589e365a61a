#pragma once
// The sizes of the data caches a thread runs on, read from the processor once.
// Every choice that depends on a cache size takes a CacheGeometry, so that a
// test can feed any processor's.
#include <cstddef>
#include <cstdint>

namespace zoltra::backend {

// L1d and L2 as one core sees them; the last-level cache whole, as all the
// cores that share it see it.
struct CacheGeometry {
  std::size_t l1d_bytes;
  std::size_t l2_bytes;
  std::size_t llc_bytes;
};

// Used when neither the processor nor the kernel describes its caches: small
// enough that no choice made from it counts on cache the processor lacks.
inline constexpr CacheGeometry kFallbackCacheGeometry{32 * 1024, 256 * 1024, 4 * 1024 * 1024};

// One cache as a deterministic cache-parameters leaf (4 on Intel, 0x8000001D
// on AMD) describes it: EAX, EBX, ECX of one subleaf.
struct CacheLeaf {
  std::uint32_t eax, ebx, ecx;
};

// The geometry the subleaves describe (stopping at the first of type 0); a
// size nobody describes keeps the fallback's.
CacheGeometry geometry_from_cache_leaves(const CacheLeaf* leaves, std::size_t count) noexcept;

// The processor's own cache-parameters subleaves, up to the first of type 0
// (at most 16); 0 where it has none to give (every processor but x86-64).
std::size_t read_cache_leaves(CacheLeaf* out) noexcept;

// Read once per process (CPUID, else /sys/devices/system/cpu/cpu0/cache, else
// the fallback), cached, thread-safe.
const CacheGeometry& cache_geometry();

}  // namespace zoltra::backend
