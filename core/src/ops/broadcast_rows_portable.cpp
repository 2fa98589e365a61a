// The broadcasting walk's row loops for any x86-64 processor (SSE2 at most).
#include "ops/broadcast_rows.hpp"

namespace zoltra::ops {
BroadcastRowKernels broadcast_rows_portable() noexcept { return kRowKernels; }
}  // namespace zoltra::ops
