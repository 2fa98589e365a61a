#pragma once
// The data cache sizes of the processor this process runs on, for the kernels
// whose blocking depends on them. Each such choice is a pure function of a
// CacheGeometry, so tests can feed any processor's.
#include <cstddef>

namespace zoltra::backend {

struct CacheGeometry {
  std::size_t l1d_bytes;  // per core
  std::size_t l2_bytes;   // per core
  std::size_t llc_bytes;  // last level, shared
};

// Read once per process, cached, thread-safe; sizes the system does not
// report take conservative defaults.
const CacheGeometry& cache_geometry();

}  // namespace zoltra::backend
