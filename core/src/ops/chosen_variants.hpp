#pragma once
// A set of kernel variants chosen once, on first use, by a pure function of
// the processor features, then called through function pointers: a call costs
// one load and one indirect jump more than the variant itself. Include only
// from files compiled for the baseline processor.
#include <atomic>

#include "backend/capabilities.hpp"

namespace zoltra::ops {

template <class Kernels, Kernels (*choose_for)(const backend::CpuFeatures&) noexcept>
class ChosenVariants {
 public:
  // Both branches end in a tail call, so the usual one saves no registers.
  template <auto variant, class... Args>
  static auto run(Args... args) noexcept {
    const Kernels* kernels = chosen_.load(std::memory_order_acquire);
    if (kernels == nullptr) return choose_then_run<variant>(args...);
    return (kernels->*variant)(args...);
  }

 private:
  [[gnu::noinline]] static const Kernels& choose() noexcept {
    static const Kernels kernels = choose_for(backend::cpu_features());
    chosen_.store(&kernels, std::memory_order_release);
    return kernels;
  }

  template <auto variant, class... Args>
  [[gnu::noinline, gnu::cold]] static auto choose_then_run(Args... args) noexcept {
    return (choose().*variant)(args...);
  }

  static inline std::atomic<const Kernels*> chosen_{nullptr};  // null until the first call
};

}  // namespace zoltra::ops
