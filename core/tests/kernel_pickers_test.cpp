// The run-time pickers of the layer's kernels, fed every combination of
// processor features: the AVX2 variant exactly when every feature its files
// are compiled for is present (AVX2 without FMA gets the portable one).
#include <gtest/gtest.h>

#include "backend/capabilities.hpp"
#include "ops/axis_reduce_variants.hpp"
#include "ops/broadcast_variants.hpp"
#include "ops/strided_extremum.hpp"

namespace {

namespace zo = zoltra::ops;
using zoltra::backend::CpuFeatures;

TEST(KernelPickers, Avx2VariantExactlyWhenItsFilesCanRun) {
  for (unsigned bits = 0; bits < 64; ++bits) {
    const CpuFeatures f{.avx2 = (bits & 1) != 0, .fma = (bits & 2) != 0, .avx512f = (bits & 4) != 0,
                        .avx512vl = (bits & 8) != 0, .avx512bw = (bits & 16) != 0, .avx512dq = (bits & 32) != 0};
    SCOPED_TRACE(testing::Message() << "features " << bits);
    const bool avx2 = zoltra::backend::runs_avx2_files(f);
    EXPECT_EQ(avx2, f.avx2 && f.fma);
    EXPECT_EQ(zo::broadcast_rows_for(f).add, (avx2 ? zo::broadcast_rows_avx2() : zo::broadcast_rows_portable()).add);
    EXPECT_EQ(zo::broadcast_rows_for(f, true).div,
              (avx2 ? zo::broadcast_rows_avx2_stream() : zo::broadcast_rows_portable()).div);
    EXPECT_EQ(zo::axis_reduce_kernels_for(f).any_u8, (avx2 ? zo::axis_reduce_avx2() : zo::axis_reduce_portable()).any_u8);
    EXPECT_EQ(zo::extremum_runs_for(f).min, (avx2 ? zo::extremum_runs_avx2() : zo::extremum_runs_portable()).min);
  }
}

}  // namespace
