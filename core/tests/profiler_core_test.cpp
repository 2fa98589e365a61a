#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/panic.hpp"
#include "profiler/core.hpp"
#include "profiler/session_id.hpp"
#include "profiler/wall_clock.hpp"

namespace zp = zoltra::profiler;

namespace {

std::atomic<long> fake_seconds{0};
std::atomic<long> fake_nanos{0};

void fake_clock(timespec* now) {
  now->tv_sec = fake_seconds.load();
  now->tv_nsec = fake_nanos.load();
}

struct FakeClock {
  FakeClock(long seconds, long nanos) {
    set(seconds, nanos);
    zp::detail::set_wall_clock_for_testing(&fake_clock);
  }
  ~FakeClock() { zp::detail::set_wall_clock_for_testing(nullptr); }
  void set(long seconds, long nanos = 0) {
    fake_seconds = seconds;
    fake_nanos = nanos;
  }
};

}  // namespace

TEST(Profiler, GlobalStartsDisabledAndIsOneInstance) {
  EXPECT_EQ(&zp::global_profiler(), &zp::global_profiler());
  EXPECT_FALSE(zp::global_profiler().enabled());
}

TEST(Profiler, FlagIsReadWhenTheScopeEnds) {
  zp::Profiler profiler = zp::Profiler::create();
  {
    zp::ProfileScope scope(profiler, "add", "CPU", 7);
    profiler.set_enabled(true);
  }
  {
    zp::ProfileScope scope(profiler, "sub", "CPU", 8);
    zp::Profiler copy = profiler;  // copies share the flag
    copy.set_enabled(false);
  }
  auto events = profiler.snapshot();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].operation, "add");
  EXPECT_EQ(events[0].backend, "CPU");
  EXPECT_EQ(events[0].size, 7u);
  // Opened while off, so it was not timed: recorded with a duration of 0.
  EXPECT_EQ(events[0].start_us, events[0].end_us);

  profiler.set_enabled(true);
  profiler.clear();
  EXPECT_TRUE(profiler.enabled());
  {
    zp::ProfileScope outer(profiler, "outer", "CPU", 1);
    zp::ProfileScope inner(profiler, "inner", "CPU", 2);
  }
  events = profiler.snapshot();  // in order of the scopes' ends
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].operation, "inner");
  EXPECT_EQ(events[1].operation, "outer");
}

TEST(Profiler, ContextIsCapturedAtOpenAndPerThread) {
  zp::Profiler profiler = zp::Profiler::create();
  profiler.set_enabled(true);
  zp::set_profile_context("training");
  {
    zp::ProfileScope scope(profiler, "a", "CPU", 0);
    zp::set_profile_context("eval");
  }
  std::thread([&] {
    EXPECT_FALSE(zp::profile_context().has_value());
    { zp::ProfileScope scope(profiler, "b", "CPU", 0); }
    zp::set_profile_context("worker");
    { zp::ProfileScope scope(profiler, "c", "CPU", 0); }
  }).join();
  EXPECT_EQ(zp::profile_context(), std::optional<std::string>("eval"));
  zp::set_profile_context(std::string());
  { zp::ProfileScope scope(profiler, "d", "CPU", 0); }
  zp::set_profile_context(std::nullopt);
  { zp::ProfileScope scope(profiler, "e", "CPU", 0); }

  auto events = profiler.snapshot();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].context, std::optional<std::string>("training"));
  EXPECT_EQ(events[1].context, std::nullopt);
  EXPECT_EQ(events[2].context, std::optional<std::string>("worker"));
  EXPECT_EQ(events[3].context, std::optional<std::string>(""));
  EXPECT_EQ(events[4].context, std::nullopt);
}

TEST(Profiler, ConcurrentScopeEndsStoreEveryEventOnce) {
  constexpr std::uint64_t kThreads = 6;
  constexpr std::uint64_t kScopes = 3000;
  zp::Profiler profiler = zp::Profiler::create();
  profiler.set_enabled(true);
  std::atomic<bool> running{true};
  std::thread reader([&] {
    while (running.load()) {
      EXPECT_TRUE(profiler.export_json(std::nullopt).ok);
      EXPECT_TRUE(profiler.enabled());
    }
  });
  std::vector<std::thread> threads;
  for (std::uint64_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      if (t % 2) zp::set_profile_context("ctx");
      for (std::uint64_t i = 0; i < kScopes; ++i) zp::ProfileScope scope(profiler, "add", "CPU", t * kScopes + i);
    });
  }
  for (auto& thread : threads) thread.join();
  running = false;
  reader.join();

  auto events = profiler.snapshot();
  ASSERT_EQ(events.size(), kThreads * kScopes);
  std::vector<std::uint64_t> sizes;
  for (const auto& event : events) {
    sizes.push_back(event.size);
    EXPECT_EQ(event.context.has_value(), (event.size / kScopes) % 2 == 1);
  }
  std::sort(sizes.begin(), sizes.end());
  for (std::uint64_t i = 0; i < sizes.size(); ++i) ASSERT_EQ(sizes[i], i);
}

TEST(Profiler, ScopeRecordsWhenTheBodyThrows) {
  zp::Profiler profiler = zp::Profiler::create();
  profiler.set_enabled(true);
  EXPECT_THROW(
      {
        zp::ProfileScope scope(profiler, "matmul_2d", "CPU", 24);
        throw zoltra::Panic("kernel failed");
      },
      zoltra::Panic);
  ASSERT_EQ(profiler.snapshot().size(), 1u);
}

TEST(Profiler, WallClockSteppingBack) {
  zp::Profiler profiler = zp::Profiler::create();
  profiler.set_enabled(true);
  FakeClock clock(1'700'000'000, 999'999'999);
  {
    zp::ProfileScope scope(profiler, "sum", "CPU", 1);
    clock.set(1'699'999'999, 1'500);
  }
  auto events = profiler.snapshot();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].start_us, 1'700'000'000'999'999u);
  EXPECT_EQ(events[0].end_us, 1'699'999'999'000'001u);

  // Before the epoch: an abort at open, and at the end unless another exception is unwinding.
  clock.set(-2, 500'000'000);
  try {
    zp::ProfileScope scope(profiler, "sum", "CPU", 1);
    FAIL() << "opened a scope before the epoch";
  } catch (const zoltra::Panic& panic) {
    EXPECT_STREQ(panic.what(), "Time went backwards: the clock reads 1.500000000s before the Unix epoch");
  }
  clock.set(10);
  EXPECT_THROW(
      {
        zp::ProfileScope scope(profiler, "sum", "CPU", 1);
        clock.set(-1);
      },
      zoltra::Panic);
  clock.set(10);
  EXPECT_THROW(
      {
        zp::ProfileScope scope(profiler, "sum", "CPU", 1);
        clock.set(-1);
        throw std::runtime_error("body failed");
      },
      std::runtime_error);
  EXPECT_EQ(profiler.snapshot().size(), 1u);
  EXPECT_EQ(zp::time_went_backwards_message({-1, 0}),
            "Time went backwards: the clock reads 1.000000000s before the Unix epoch");
}

TEST(Profiler, ExportReportsAFailingRandomSource) {
  zp::Profiler profiler = zp::Profiler::create();
  zp::detail::set_random_source_for_testing([](void*, std::size_t) { return EIO; });
  auto report = profiler.export_json(std::nullopt);
  zp::detail::set_random_source_for_testing(nullptr);
  EXPECT_FALSE(report.ok);
  EXPECT_EQ(report.text, "could not retrieve random bytes for uuid: Input/output error");
  EXPECT_TRUE(profiler.export_json(std::nullopt).ok);
}
