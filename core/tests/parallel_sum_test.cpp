// Parallel flat sums and the sequential/parallel choosers. Pool threads read
// ZOLTRA_ARENA_SIZE when they first use their arena, so every case that
// depends on the arena size runs in a forked child with its own fresh pool.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "backend/processor_count.hpp"
#include "flat_test_support.hpp"
#include "ops/flat_reduce.hpp"
#include "ops/reduce.hpp"
#include "scheduler/arena.hpp"

#if defined(__SANITIZE_THREAD__)
// The children here start pool threads after forking a process that may already have some.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace {

using namespace zoltra::ops;

using flat_test::bits;
using flat_test::order_sensitive;

bool same_float(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

float tree(const float* sums, std::size_t q) {
  if (q == 1) return sums[0];
  return tree(sums, q / 2) + tree(sums + q / 2, q - q / 2);
}

// What the parallel sum must give with this machine's processor count and
// pool threads whose arenas hold `arena_bytes`: each chunk summed with full
// compensation when its floats fit, with the 8-lane sum in place otherwise.
float expected_parallel(const float* data, std::uint64_t count, std::uint64_t arena_bytes,
                        std::uint64_t p = zoltra::backend::processor_count()) {
  const std::uint64_t size = (count + p - 1) / p;
  std::vector<float> sums;
  for (std::uint64_t begin = 0; begin < count; begin += size) {
    const std::uint64_t len = std::min(size, count - begin);
    sums.push_back(4 * len <= arena_bytes ? compensated_sum_f32_cpu(data + begin, len)
                                          : sum_f32_cpu(data + begin, len));
  }
  return tree(sums.data(), sums.size());
}

// Runs check() in a forked child with ZOLTRA_ARENA_SIZE set (or unset when
// nullptr); the child's own failures print there and fail the exit status.
::testing::AssertionResult in_child(const char* arena_size, const std::function<bool()>& check) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(120);  // a hung pool fails the test instead of stalling it
    if (arena_size) setenv("ZOLTRA_ARENA_SIZE", arena_size, 1);
    else unsetenv("ZOLTRA_ARENA_SIZE");
    const bool ok = check();
    std::fflush(nullptr);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ::testing::AssertionSuccess();
  if (WIFSIGNALED(status)) return ::testing::AssertionFailure() << "child killed by signal " << WTERMSIG(status);
  return ::testing::AssertionFailure() << "child failed (arena size " << (arena_size ? arena_size : "unset") << ")";
}

bool report(bool ok, const char* what, float expected, float actual) {
  if (!ok) std::fprintf(stderr, "%s: expected %.9g (0x%08x) got %.9g (0x%08x)\n", what, expected, bits(expected),
                        actual, bits(actual));
  return ok;
}

constexpr std::uint64_t kCount = 1'000'003;

std::uint64_t chunk_size(std::uint64_t count) {
  const std::uint64_t p = zoltra::backend::processor_count();
  return (count + p - 1) / p;
}

TEST(ParallelSumF32, FollowsChunkingForEachArenaSize) {
  const auto v = order_sensitive(kCount, 2);
  ASSERT_FALSE(same_float(expected_parallel(v.data(), kCount, 0), expected_parallel(v.data(), kCount, ~0ull)));
  // An even split and one with a shorter last chunk.
  for (std::uint64_t count : {kParallelSumThreshold, kCount}) {
    const std::uint64_t fit = 4 * chunk_size(count);
    // Exactly fits every chunk; one byte short (then only a shorter last
    // chunk fits); zero; and the default size.
    for (std::uint64_t size : {fit, fit - 1, std::uint64_t{0}, zoltra::scheduler::kDefaultArenaSize}) {
      const std::string text = std::to_string(size);
      EXPECT_TRUE(in_child(size == zoltra::scheduler::kDefaultArenaSize ? nullptr : text.c_str(), [&] {
        const float expected = expected_parallel(v.data(), count, size);
        // Twice: the second run finds the pool threads' arenas already made
        // and reset, and runs while the caller holds its own, as the entry points do.
        const float first = parallel_sum_f32_cpu(v.data(), count);
        const float second = zoltra::scheduler::with_arena(
            [&](zoltra::scheduler::ThreadArena&) { return parallel_sum_f32_cpu(v.data(), count); });
        return report(same_float(expected, first), "first", expected, first) &&
               report(same_float(expected, second), "second", expected, second);
      })) << "count " << count << " arena size " << size;
    }
  }
}

// The chunking of processors this machine is not.
TEST(ParallelSumF32, ChunksFollowTheGivenProcessorCount) {
  const auto v = order_sensitive(kCount, 3);
  EXPECT_TRUE(in_child(nullptr, [&] {
    bool ok = true;
    for (std::uint64_t p : {1, 3, 7, 64}) {
      const float expected = expected_parallel(v.data(), kCount, zoltra::scheduler::kDefaultArenaSize, p);
      const float got = parallel_sum_f32_cpu(v.data(), kCount, p);
      ok = report(same_float(expected, got), ("P = " + std::to_string(p)).c_str(), expected, got) && ok;
    }
    return ok;
  }));
}

TEST(ParallelSumF32, OverflowGivesInfinityOnBothPaths) {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> big(kCount, 3e38f);
  std::vector<float> opposite(kCount, 1.0f);
  opposite[5] = inf;
  opposite[kCount - 5] = -inf;
  for (const char* size : {"0", "8000000"}) {  // in place; every chunk copied
    EXPECT_TRUE(in_child(size, [&] {
      const float s = parallel_sum_f32_cpu(big.data(), kCount);
      const float o = parallel_sum_f32_cpu(opposite.data(), kCount);
      return report(s == inf, "overflow", inf, s) && report(std::isnan(o), "opposite", NAN, o);
    })) << "arena size " << size;
  }
}

TEST(AutoChoice, SwitchesToParallelAtOneMillion) {
  const std::uint64_t threshold = kParallelSumThreshold;
  const auto v = order_sensitive(threshold, 4);
  // A large arena copies every chunk, so parallel and sequential differ even with one processor.
  const std::string arena = std::to_string(4 * threshold);
  ASSERT_FALSE(same_float(expected_parallel(v.data(), threshold, 4 * threshold), sum_f32_cpu(v.data(), threshold)));
  EXPECT_TRUE(in_child(arena.c_str(), [&] {
    const float below = sum_f32_auto(v.data(), threshold - 1);
    const float at = sum_f32_auto(v.data(), threshold);
    const float parallel = expected_parallel(v.data(), threshold, 4 * threshold);
    const float mean_below = mean_f32_auto(v.data(), threshold - 1);
    const float mean_at = mean_f32_auto(v.data(), threshold);
    return report(same_float(sum_f32_cpu(v.data(), threshold - 1), below), "sum below", 0, below) &&
           report(same_float(parallel, at), "sum at", parallel, at) &&
           report(same_float(mean_f32_cpu(v.data(), threshold - 1), mean_below), "mean below", 0, mean_below) &&
           report(same_float(parallel / 1e6f, mean_at), "mean at", parallel / 1e6f, mean_at);
  }));
}

TEST(ParallelSumI32, EqualsSequentialWrappingSum) {
  std::mt19937 gen(9);
  std::vector<std::int32_t> v(kCount);
  for (auto& x : v) x = static_cast<std::int32_t>(gen());
  EXPECT_TRUE(in_child(nullptr, [&] {
    bool ok = true;
    // Counts below the processor count give one-element chunks.
    for (std::uint64_t n : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{999'999}, kCount}) {
      const std::int32_t got = parallel_sum_i32_cpu(v.data(), n);
      if (got != sum_i32_cpu(v.data(), n)) {
        std::fprintf(stderr, "n=%llu: %d vs %d\n", static_cast<unsigned long long>(n), got, sum_i32_cpu(v.data(), n));
        ok = false;
      }
    }
    const std::int32_t edge[2] = {2147483647, 1};
    ok = ok && parallel_sum_i32_cpu(edge, 2) == std::numeric_limits<std::int32_t>::min();
    ok = ok && sum_i32_auto(v.data(), kCount) == sum_i32_cpu(v.data(), kCount);
    return ok;
  }));
}

TEST(ParallelSum, ForkedChildAfterParentUsedThePool) {
  const auto v = order_sensitive(kCount, 5);
  parallel_sum_f32_cpu(v.data(), kCount);  // the parent's pool now exists
  EXPECT_TRUE(in_child(nullptr, [&] {
    const float expected = expected_parallel(v.data(), kCount, zoltra::scheduler::kDefaultArenaSize);
    const float got = parallel_sum_f32_cpu(v.data(), kCount);
    return report(same_float(expected, got), "child", expected, got);
  }));
}

}  // namespace
