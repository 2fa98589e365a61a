// Threads that call the parallel kernels at the same moment: each call gets
// the bits it gets alone, the dispatch record always describes one call, and
// a profiler counts every call once.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backend/dispatch.hpp"
#include "ops/elementwise.hpp"
#include "ops/matmul.hpp"
#include "ops/reduce.hpp"
#include "profiler/core.hpp"

namespace {

using namespace zoltra;

std::vector<float> random_floats(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

// One submitter's inputs, sized for the parallel paths, and its results.
// Products of m x k x n from 2,000,000 to 16,777,216 multiply-adds take the
// pool's row chunks; the two submitters' sizes differ in every dimension so
// that a record mixing two calls shows.
struct Work {
  std::uint64_t m, k, n;
  std::vector<float> data, a, b;
  float sum = 0;
  std::vector<float> added, product;

  Work(std::uint64_t m_, std::uint64_t k_, std::uint64_t n_, std::uint32_t seed)
      : m(m_), k(k_), n(n_), data(random_floats(ops::kParallelSumThreshold + 4099, seed)),
        a(random_floats(m * k, seed + 1)), b(random_floats(k * n, seed + 2)) {}

  void run(profiler::Profiler& profiler) {
    {
      profiler::ProfileScope scope(profiler, "sum", "CPU", data.size());
      sum = ops::sum_f32_auto(data.data(), data.size());
    }
    {
      profiler::ProfileScope scope(profiler, "add", "CPU", data.size());
      added.resize(data.size());
      ops::add_f32_cpu(data.data(), data.data() + 1, added.data(), data.size() - 1);
    }
    {
      profiler::ProfileScope scope(profiler, "matmul_2d", "CPU", m * k * n);
      product.assign(m * n, 0.0f);
      ops::matmul_f32_cpu_dispatch(a.data(), b.data(), product.data(), m, k, n);
    }
  }

  bool same_bits(const Work& other) const {
    return std::memcmp(&sum, &other.sum, sizeof sum) == 0 && added == other.added && product == other.product;
  }

  std::string record_size() const {
    return "(size=" + std::to_string(m) + "x" + std::to_string(n) + "x" + std::to_string(k) + ",";
  }
};

}  // namespace

TEST(ConcurrentSubmitters, EachCallKeepsItsBitsItsRecordAndItsEvent) {
  constexpr int kRounds = 6;
  std::vector<Work> work{Work(128, 128, 128, 1), Work(132, 124, 136, 7)};
  profiler::Profiler alone = profiler::Profiler::create();
  std::vector<Work> expected = work;
  for (Work& w : expected) w.run(alone);

  profiler::Profiler profiler = profiler::Profiler::create();
  profiler.set_enabled(true);
  std::atomic<int> running{static_cast<int>(work.size())};
  std::atomic<int> mismatches{0}, mixed_records{0};
  std::barrier round_start(static_cast<std::ptrdiff_t>(work.size()));
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < work.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        round_start.arrive_and_wait();  // so that the calls meet in the pool
        work[t].run(profiler);
        if (!work[t].same_bits(expected[t])) mismatches.fetch_add(1);
      }
      running.fetch_sub(1);
    });
  }
  threads.emplace_back([&] {
    while (running.load() > 0) {
      const std::string text = backend::get_last_dispatch();
      if (text.find(work[0].record_size()) == std::string::npos &&
          text.find(work[1].record_size()) == std::string::npos && text.starts_with("matmul "))
        mixed_records.fetch_add(1);
    }
  });
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(mixed_records.load(), 0);
  std::map<std::string, int> counts;
  for (const auto& event : profiler.snapshot()) ++counts[event.operation];
  const int calls = kRounds * static_cast<int>(work.size());
  EXPECT_EQ(counts, (std::map<std::string, int>{{"add", calls}, {"matmul_2d", calls}, {"sum", calls}}));
}
