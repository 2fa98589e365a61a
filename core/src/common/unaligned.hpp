#pragma once
// Scalar access to caller buffers. Callers promise no alignment, so a plain
// dereference of a float* or int32_t* into their memory would be undefined
// behaviour; memcpy of one element compiles to the same single move.
#include <cstring>

namespace zoltra {

template <class T>
inline T load_unaligned(const void* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class T>
inline void store_unaligned(void* p, T value) noexcept {
  std::memcpy(p, &value, sizeof value);
}

}  // namespace zoltra
