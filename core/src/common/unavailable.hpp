#pragma once
// A library a call needs cannot be had (OpenBLAS that does not load). The
// Python boundary raises it as RuntimeError with this text, before the call
// has written anything.
#include <stdexcept>

namespace zoltra {

struct Unavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace zoltra
