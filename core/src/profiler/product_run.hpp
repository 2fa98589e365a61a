#pragma once
// How one matrix product was carried out, as its profiled event keeps it for
// the trace (reports never show it).
#include <cstdint>

namespace zoltra::profiler {

enum class ProductPath : std::uint8_t {
  kNone,      // the event is not a matrix product
  kEmpty,     // m or n is 0: nothing written
  kZeroFill,  // k is 0: C filled with zeros
  kKernel,    // our micro-kernel on the calling thread
  kChunks,    // row chunks on the worker pool, each our kernel or OpenBLAS
  kOpenBlas,  // OpenBLAS over the whole product, in fixed tiles on the worker pool
};

// "none", "empty", "zero-fill", "kernel", "chunks", "openblas".
constexpr const char* product_path_name(ProductPath path) noexcept {
  switch (path) {
    case ProductPath::kNone: return "none";
    case ProductPath::kEmpty: return "empty";
    case ProductPath::kZeroFill: return "zero-fill";
    case ProductPath::kKernel: return "kernel";
    case ProductPath::kChunks: return "chunks";
    case ProductPath::kOpenBlas: return "openblas";
  }
  return "none";
}

struct ProductRun {
  ProductPath path = ProductPath::kNone;
  std::uint8_t kernel_lanes = 0;    // 8 or 16 when our kernel ran (alone or in chunks), else 0
  std::uint32_t chunks = 0;         // row chunks (path kChunks) or OpenBLAS tiles (kOpenBlas)
  std::uint32_t kernel_chunks = 0;  // of those, the ones our kernel ran; the rest called OpenBLAS
  std::uint64_t rows_per_chunk = 0;
  std::uint64_t m = 0;
  std::uint64_t k = 0;
  std::uint64_t n = 0;
};

}  // namespace zoltra::profiler
