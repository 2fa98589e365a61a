// The row loops of the comparisons and of where for any x86-64 processor.
#include "ops/compare_rows.hpp"

namespace zoltra::ops {
CompareRowKernels compare_rows_portable() noexcept { return kCompareRows; }
WhereRowKernel where_row_portable() noexcept { return where_row; }
}  // namespace zoltra::ops
