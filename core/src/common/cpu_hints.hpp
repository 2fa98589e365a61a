#pragma once
// The two processor hints that code for any processor uses: a pause inside a
// spin loop, and the fence that orders streaming stores before later ones.
#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace zoltra {

inline void spin_pause() noexcept {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ volatile("yield");
#endif
}

// Streaming stores exist only in the x86 files; elsewhere nothing to order.
inline void streaming_store_fence() noexcept {
#if defined(__x86_64__)
  _mm_sfence();
#endif
}

}  // namespace zoltra
