// What events keep for the trace: the recording thread, how a matrix product
// ran, and the sequence marks that cut a block's events out of the store.
#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>
#include <vector>

#include "backend/capabilities.hpp"
#include "ops/matmul.hpp"
#include "ops/matmul_plan.hpp"
#include "profiler/core.hpp"

namespace {

namespace zp = zoltra::profiler;
namespace zo = zoltra::ops;
using zoltra::backend::CpuFeatures;
using zp::ProductPath;

void record(const zp::Profiler& profiler, const char* operation) { zp::ProfileScope scope(profiler, operation, "CPU", 1); }

TEST(ProfileEvents, KeepTheRecordingThread) {
  zp::Profiler profiler = zp::Profiler::create();
  profiler.set_enabled(true);
  record(profiler, "add");
  std::int32_t other_os = 0;
  std::thread([&] {
    record(profiler, "sum");
    record(profiler, "mul");
    other_os = static_cast<std::int32_t>(::gettid());
  }).join();
  record(profiler, "sub");

  const auto events = profiler.snapshot();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].os_thread, static_cast<std::int32_t>(::gettid()));
  EXPECT_EQ(events[1].os_thread, other_os);
  EXPECT_NE(events[0].thread, 0u);
  EXPECT_NE(events[1].thread, events[0].thread);  // a number per thread, kept for its life
  EXPECT_EQ(events[2].thread, events[1].thread);
  EXPECT_EQ(events[3].thread, events[0].thread);
  EXPECT_EQ(events[0].product.path, ProductPath::kNone);
}

TEST(ProfileEvents, MarksSurviveClearing) {
  zp::Profiler profiler = zp::Profiler::create();
  profiler.set_enabled(true);
  EXPECT_EQ(profiler.mark(), 0u);
  record(profiler, "add");
  record(profiler, "sub");
  const std::uint64_t middle = profiler.mark();
  record(profiler, "mul");
  ASSERT_EQ(profiler.events_between(middle, profiler.mark()).size(), 1u);
  EXPECT_EQ(profiler.events_between(middle, profiler.mark())[0].operation, "mul");
  EXPECT_EQ(profiler.events_between(1, middle)[0].operation, "sub");

  profiler.clear();  // numbers go on from where they were
  EXPECT_EQ(profiler.mark(), 3u);
  EXPECT_TRUE(profiler.events_between(0, 3).empty());
  record(profiler, "div");
  const auto after = profiler.events_between(middle, profiler.mark());
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].operation, "div");
  EXPECT_TRUE(profiler.events_between(5, 9).empty());
}

zp::ProductRun planned(std::uint64_t m, std::uint64_t k, std::uint64_t n, const CpuFeatures& features,
                       std::uint64_t processors) {
  return zo::describe_matmul(zo::plan_matmul(m, k, n, features, processors), m, k, n, features);
}

TEST(ProfileEvents, ProductRunFollowsThePlan) {
  constexpr CpuFeatures kAvx2Fma{.avx2 = true, .fma = true, .avx512f = false};
  constexpr CpuFeatures kAvx512{
      .avx2 = true, .fma = true, .avx512f = true, .avx512vl = true, .avx512bw = true, .avx512dq = true};
  struct Case {
    std::uint64_t m, k, n, processors;
    CpuFeatures features;
    ProductPath path;
    std::uint32_t chunks, kernel_chunks;
    std::uint64_t rows_per_chunk;
    std::uint8_t lanes;
  } cases[] = {
      {100, 100, 100, 2, kAvx2Fma, ProductPath::kKernel, 0, 0, 0, 8},
      {100, 100, 100, 2, kAvx512, ProductPath::kKernel, 0, 0, 0, 16},
      {100, 100, 100, 2, CpuFeatures{}, ProductPath::kOpenBlas, 1, 0, 0, 0},  // one OpenBLAS tile
      {126, 126, 126, 2, kAvx2Fma, ProductPath::kChunks, 2, 2, 63, 8},
      {10, 500, 500, 4, kAvx2Fma, ProductPath::kChunks, 4, 4, 3, 8},
      {255, 256, 256, 2, kAvx2Fma, ProductPath::kChunks, 2, 0, 128, 0},  // chunks over the 8-lane bound
      {3, 1100, 1000, 2, kAvx2Fma, ProductPath::kChunks, 2, 1, 2, 8},    // only the short last chunk fits
      {256, 256, 256, 2, kAvx2Fma, ProductPath::kOpenBlas, 2, 0, 0, 0},  // two row tiles of 128
      {0, 5, 5, 2, kAvx2Fma, ProductPath::kEmpty, 0, 0, 0, 0},
      {5, 0, 5, 2, kAvx2Fma, ProductPath::kZeroFill, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << "x" << c.k << "x" << c.n << " P=" << c.processors);
    const zp::ProductRun run = planned(c.m, c.k, c.n, c.features, c.processors);
    EXPECT_EQ(run.path, c.path);
    EXPECT_EQ(run.chunks, c.chunks);
    EXPECT_EQ(run.kernel_chunks, c.kernel_chunks);
    EXPECT_EQ(run.rows_per_chunk, c.rows_per_chunk);
    EXPECT_EQ(run.kernel_lanes, c.lanes);
    EXPECT_EQ(run.m, c.m);
    EXPECT_EQ(run.k, c.k);
    EXPECT_EQ(run.n, c.n);
  }
}

TEST(ProfileEvents, DispatchReturnsItsRun) {
  const CpuFeatures features = zoltra::backend::cpu_features();
  for (std::uint64_t processors : {1, 2}) {
    const std::uint64_t m = 126, k = 126, n = 126;
    std::vector<float> a(m * k, 1.0f), b(k * n, 1.0f), c(m * n);
    const zp::ProductRun run = zo::matmul_f32_cpu_dispatch(a.data(), b.data(), c.data(), m, k, n, features, processors);
    const zp::ProductRun want = planned(m, k, n, features, processors);
    EXPECT_EQ(run.path, want.path);
    EXPECT_EQ(run.chunks, want.chunks);
    EXPECT_EQ(run.kernel_chunks, want.kernel_chunks);
  }
}

}  // namespace
