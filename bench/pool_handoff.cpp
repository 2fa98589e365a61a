// Fixed cost of handing work to the worker pool, measured around the pool
// itself: from submission to the first chunk starting (on any thread, and on
// a pool thread), and from the last chunk ending to the submitter resuming.
// The chunk bodies are those of a 126^3 product and a 1,000,000-element sum.
// Not a test. Build with -DZOLTRA_BUILD_BENCH=ON; run build/<dir>/pool_handoff [reps].
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "backend/capabilities.hpp"
#include "backend/processor_count.hpp"
#include "ops/flat_reduce.hpp"
#include "ops/matmul_kernels.hpp"
#include "ops/matmul_plan.hpp"
#include "scheduler/pool.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double us(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::micro>(to - from).count();
}

struct Stamps {
  std::vector<Clock::time_point> start, end;
  std::vector<char> pooled;
  explicit Stamps(std::size_t n) : start(n), end(n), pooled(n) {}
};

struct Figures {
  std::vector<double> to_first, to_first_pooled, to_resume, total;
};

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

template <class Work>
void measure(const char* name, std::size_t chunks, Work work, int reps, std::chrono::microseconds pause) {
  Figures f;
  for (int r = 0; r < reps; ++r) {
    Stamps s(chunks);
    auto body = [&](std::size_t i) {
      s.pooled[i] = zoltra::scheduler::on_pool_thread();
      s.start[i] = Clock::now();
      work(i);
      s.end[i] = Clock::now();
    };
    const auto submitted = Clock::now();
    zoltra::scheduler::run_chunks(chunks, body);
    const auto resumed = Clock::now();
    const auto first = *std::min_element(s.start.begin(), s.start.end());
    const auto last = *std::max_element(s.end.begin(), s.end.end());
    f.to_first.push_back(us(submitted, first));
    for (std::size_t i = 0; i < chunks; ++i) {
      if (s.pooled[i]) {
        f.to_first_pooled.push_back(us(submitted, s.start[i]));
        break;
      }
    }
    f.to_resume.push_back(us(last, resumed));
    f.total.push_back(us(submitted, resumed));
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  auto row = [](const char* what, const std::vector<double>& v) {
    std::printf("  %-34s min %7.2f  median %7.2f  p90 %7.2f us\n", what, quantile(v, 0), quantile(v, 0.5),
                quantile(v, 0.9));
  };
  std::printf("%s, %zu chunks, pause %lld us between calls (%d reps)\n", name, chunks,
              static_cast<long long>(pause.count()), reps);
  row("submission -> first chunk starts", f.to_first);
  row("submission -> first pool chunk", f.to_first_pooled);
  row("last chunk ends -> caller resumes", f.to_resume);
  row("whole call", f.total);
}

}  // namespace

int main(int argc, char** argv) {
  const int reps = argc > 1 ? std::atoi(argv[1]) : 2000;
  const std::uint64_t p = zoltra::backend::processor_count();
  std::printf("processors %llu, pool threads %zu\n", static_cast<unsigned long long>(p),
              zoltra::scheduler::pool_thread_count());

  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  const std::uint64_t n = 126;
  std::vector<float> a(n * n), b(n * n), c(n * n);
  for (auto* v : {&a, &b}) for (float& x : *v) x = dist(rng);
  const auto plan = zoltra::ops::plan_matmul(n, n, n, zoltra::backend::cpu_features(), p);
  const zoltra::ops::MatmulKernel kernel =
      zoltra::ops::matmul_kernel_variant(zoltra::backend::cpu_features()) == zoltra::ops::MatmulKernelVariant::kAvx512
          ? zoltra::ops::kernel_matmul_f32_avx512
          : zoltra::ops::kernel_matmul_f32_avx2;
  auto product_chunk = [&](std::size_t i) {
    const auto rows = zoltra::ops::matmul_chunk_rows(plan, n, i);
    kernel(a.data() + rows.first * n, b.data(), c.data() + rows.first * n, rows.count, n, n);
  };

  const std::uint64_t count = 1'000'000;
  std::vector<float> data(count);
  for (float& x : data) x = dist(rng);
  const std::uint64_t size = (count + p - 1) / p;
  std::vector<float> sums(p);
  auto sum_chunk = [&](std::size_t i) {
    const std::uint64_t begin = i * size, length = std::min(size, count - begin);
    sums[i] = zoltra::ops::sum_f32_cpu(data.data() + begin, length);
  };
  const std::size_t sum_chunks = static_cast<std::size_t>((count + size - 1) / size);

  measure("warm-up", sum_chunks, sum_chunk, 50, std::chrono::microseconds(0));
  for (auto pause : {std::chrono::microseconds(0), std::chrono::microseconds(1000)}) {
    measure("126^3 product", static_cast<std::size_t>(plan.chunk_count), product_chunk, reps, pause);
    measure("1,000,000-element sum", sum_chunks, sum_chunk, reps, pause);
  }
  return 0;
}
