#include "backend/cache_geometry.hpp"

#include <unistd.h>

namespace zoltra::backend {
namespace {

std::size_t size_or(int name, std::size_t fallback) noexcept {
  const long value = sysconf(name);
  return value > 0 ? static_cast<std::size_t>(value) : fallback;
}

CacheGeometry read_cache_geometry() noexcept {
  // The defaults are the smallest of current x86-64 server cores.
  return {size_or(_SC_LEVEL1_DCACHE_SIZE, 32 * 1024), size_or(_SC_LEVEL2_CACHE_SIZE, 512 * 1024),
          size_or(_SC_LEVEL3_CACHE_SIZE, size_or(_SC_LEVEL2_CACHE_SIZE, 512 * 1024))};
}

}  // namespace

const CacheGeometry& cache_geometry() {
  static const CacheGeometry geometry = read_cache_geometry();
  return geometry;
}

}  // namespace zoltra::backend
