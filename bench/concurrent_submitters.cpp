// Two threads calling parallel kernels at the same moment, against the same
// calls made one after the other by one thread: the wall time of the pair,
// and how long a call waits while another thread submits back to back.
// Not a test. Build with -DZOLTRA_BUILD_BENCH=ON; run build/<dir>/concurrent_submitters [rounds].
#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backend/processor_count.hpp"
#include "ops/matmul.hpp"
#include "ops/reduce.hpp"
#include "scheduler/pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

std::string processor_name() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown processor";
}

struct Job {
  const char* name;
  std::function<void()> call;
};

// Wall time of `calls` calls of a, then `calls` calls of b, on one thread.
// Each timing starts after one untimed call of each, so that a pool thread
// asleep since the last pause is not counted.
double one_after_the_other(const Job& a, const Job& b, int calls) {
  a.call();
  b.call();
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) a.call();
  for (int i = 0; i < calls; ++i) b.call();
  return ms_since(start);
}

// Wall time of the same calls when one thread makes a's and another b's.
double at_once(const Job& a, const Job& b, int calls) {
  std::barrier start(2);
  Clock::time_point begin;
  std::thread other([&] {
    b.call();
    start.arrive_and_wait();
    for (int i = 0; i < calls; ++i) b.call();
  });
  a.call();
  start.arrive_and_wait();
  begin = Clock::now();
  for (int i = 0; i < calls; ++i) a.call();
  other.join();
  return ms_since(begin);
}

struct Waits {
  double slowest, median;
  long other_calls;  // the hog's calls meanwhile
};

// While one thread submits `hog` back to back, another makes `calls` calls of
// `probe`, also back to back.
Waits waits_beside(const Job& hog, const Job& probe, int calls) {
  std::atomic<bool> stop{false};
  std::atomic<long> hog_calls{0};
  std::thread hogger([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      hog.call();
      hog_calls.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::vector<double> times;
  const long hog_before = hog_calls.load();
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    probe.call();
    times.push_back(ms_since(start));
  }
  const long hog_during = hog_calls.load() - hog_before;
  stop = true;
  hogger.join();
  std::sort(times.begin(), times.end());
  return {times.back(), times[times.size() / 2], hog_during};
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  double load[3] = {};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(f);
  }
  std::printf("%s, P = %llu, pool threads %zu, load average %.2f %.2f %.2f\n", processor_name().c_str(),
              static_cast<unsigned long long>(zoltra::backend::processor_count()),
              zoltra::scheduler::pool_thread_count(), load[0], load[1], load[2]);

  std::mt19937 rng(11);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> data(8'000'000);
  for (float& x : data) x = dist(rng);
  std::vector<float> a(512 * 512), b(512 * 512), c1(512 * 512), c2(512 * 512);
  for (auto* v : {&a, &b}) for (float& x : *v) x = dist(rng);
  volatile float sink = 0;

  // 512 x 8 x 512 and 512 x 32 x 512 take the pool's row chunks (the first
  // with the micro-kernel, the second with OpenBLAS in each chunk); 512 x 512 x
  // 512 is one OpenBLAS call.
  auto product = [&](std::vector<float>& c, std::uint64_t k) {
    return [&c, &a, &b, k] { zoltra::ops::matmul_f32_cpu_dispatch(a.data(), b.data(), c.data(), 512, k, 512); };
  };
  const Job sum{"sum of 8,000,000", [&] { sink = zoltra::ops::sum_f32_auto(data.data(), data.size()); }};
  const Job kern{"512x8x512 product (kernel chunks)", product(c1, 8)};
  const Job kern2{"512x8x512 product (kernel chunks)", product(c2, 8)};
  const Job rows{"512x32x512 product (OpenBLAS chunks)", product(c1, 32)};
  const Job blas{"512x512x512 product (one OpenBLAS call)", product(c2, 512)};
  const Job small{"sum of 1,000,000", [&] { sink = zoltra::ops::sum_f32_auto(data.data(), 1'000'000); }};

  struct Pair {
    const Job* a;
    const Job* b;
    int calls;
  };
  for (Pair p : {Pair{&sum, &kern, 20}, Pair{&sum, &sum, 20}, Pair{&kern, &kern2, 400}, Pair{&sum, &rows, 20},
                 Pair{&sum, &blas, 20}}) {
    const int calls = p.calls;
    double sequential = 1e300, concurrent = 1e300;
    for (int r = 0; r < rounds; ++r) {
      sequential = std::min(sequential, one_after_the_other(*p.a, *p.b, calls));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      concurrent = std::min(concurrent, at_once(*p.a, *p.b, calls));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("%d x %s + %d x %s: one after the other %.2f ms, at once %.2f ms (ratio %.2f), best of %d\n",
                calls, p.a->name, calls, p.b->name, sequential, concurrent, concurrent / sequential, rounds);
  }
  for (const Job* probe : {&small, &kern}) {
    double worst = 0, median = 1e300, alone = 1e300;
    long fewest = -1, most = 0;
    for (int r = 0; r < rounds; ++r) {
      std::vector<double> times;
      for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        probe->call();
        times.push_back(ms_since(start));
      }
      std::sort(times.begin(), times.end());
      alone = std::min(alone, times[times.size() / 2]);
      const Waits w = waits_beside(small, *probe, 200);
      worst = std::max(worst, w.slowest);
      median = std::min(median, w.median);
      fewest = fewest < 0 ? w.other_calls : std::min(fewest, w.other_calls);
      most = std::max(most, w.other_calls);
    }
    std::printf("200 x %s: alone median %.3f ms; while another thread sums 1,000,000 back to back median %.3f ms, "
                "slowest %.3f ms, the other thread's calls meanwhile %ld to %ld\n",
                probe->name, alone, median, worst, fewest, most);
  }
  return 0;
}
