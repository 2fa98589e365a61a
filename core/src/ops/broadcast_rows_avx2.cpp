// The broadcasting walk's row loops widened to 256-bit vectors.
#include "ops/broadcast_rows.hpp"

namespace zoltra::ops {
BroadcastRowKernels broadcast_rows_avx2() noexcept { return kRowKernels; }
}  // namespace zoltra::ops
