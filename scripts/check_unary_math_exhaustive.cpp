// Every float32 input of exp, log, sqrt and tanh, through every variant this
// processor runs, against an independent reference: glibc's double function
// rounded to float32, and where that double lies too near a float32 rounding
// boundary to decide, the long double function, then the binary128 one of
// libquadmath. Prints each wrongly rounded input with its correct result, and
// any input where the variants' bits differ. Built and run by
// check_unary_math_exhaustive.sh.
#include <quadmath.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backend/capabilities.hpp"
#include "ops/unary_math_variants.hpp"

using zoltra::ops::UnaryMath;

namespace {

template <class Real>
bool decided(Real v, Real e) {
  const float a = static_cast<float>(v * (1 - e)), b = static_cast<float>(v * (1 + e));
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

std::atomic<std::uint64_t> undecided{0};

float reference(UnaryMath f, float x) {
  const double d = x;
  double r;
  long double l;
  switch (f) {
    case UnaryMath::kExp: r = std::exp(d); break;
    case UnaryMath::kLog: r = std::log(d); break;
    case UnaryMath::kTanh: r = std::tanh(d); break;
    case UnaryMath::kSqrt: return static_cast<float>(std::sqrt(d));  // 53 >= 2 * 24 + 2: no double rounding
  }
  // glibc's double functions are within a few ulps (2^-52 relative each).
  if (std::isnan(r) || decided(r, 0x1p-49)) return static_cast<float>(r);
  switch (f) {
    case UnaryMath::kExp: l = expl(x); break;
    case UnaryMath::kLog: l = logl(x); break;
    default: l = tanhl(x); break;
  }
  if (decided(l, 0x1p-58L)) return static_cast<float>(l);
  __float128 q;
  switch (f) {
    case UnaryMath::kExp: q = expq(x); break;
    case UnaryMath::kLog: q = logq(x); break;
    default: q = tanhq(x); break;
  }
  if (!decided(q, static_cast<__float128>(0x1p-100))) undecided.fetch_add(1);
  return static_cast<float>(q);
}

bool same(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (std::isnan(a) && std::isnan(b));
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  struct Named {
    const char* name;
    UnaryMath f;
  };
  const Named all[] = {{"exp", UnaryMath::kExp}, {"log", UnaryMath::kLog}, {"sqrt", UnaryMath::kSqrt}, {"tanh", UnaryMath::kTanh}};
  struct Variant {
    const char* name;
    zoltra::ops::UnaryMathKernel run;
  };
  std::vector<Variant> variants{{"portable", zoltra::ops::unary_math_f32_portable}};
  const auto& features = zoltra::backend::cpu_features();
  if (zoltra::backend::runs_avx2_files(features)) variants.push_back({"avx2", zoltra::ops::unary_math_f32_avx2});
  if (zoltra::backend::runs_avx512_files(features)) variants.push_back({"avx512", zoltra::ops::unary_math_f32_avx512});
  const unsigned threads = argc > 2 ? std::stoul(argv[2]) : 2;
  int failures = 0;
  for (const Named& fn : all) {
    if (argc > 1 && std::string(argv[1]) != "all" && std::string(argv[1]) != fn.name) continue;
    const auto start = std::chrono::steady_clock::now();
    constexpr std::uint64_t kChunk = 1 << 20;
    std::atomic<std::uint64_t> next{0}, wrong{0}, differ{0};
    std::mutex print;
    auto work = [&] {
      std::vector<float> x(kChunk), ref(kChunk), got(kChunk), first(kChunk);
      for (std::uint64_t c; (c = next.fetch_add(1)) < (1ull << 32) / kChunk;) {
        for (std::uint64_t i = 0; i < kChunk; ++i) {
          x[i] = std::bit_cast<float>(static_cast<std::uint32_t>(c * kChunk + i));
          ref[i] = reference(fn.f, x[i]);
        }
        for (std::size_t v = 0; v < variants.size(); ++v) {
          variants[v].run(fn.f, x.data(), got.data(), kChunk);
          for (std::uint64_t i = 0; i < kChunk; ++i) {
            if (v == 0) first[i] = got[i];
            if (std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(first[i])) {
              differ.fetch_add(1);
            }
            if (same(got[i], ref[i])) continue;
            wrong.fetch_add(1);
            std::lock_guard lock(print);
            std::printf("%s %s {0x%08x, 0x%08x},  // %a: got %a\n", fn.name, variants[v].name,
                        std::bit_cast<std::uint32_t>(x[i]), std::bit_cast<std::uint32_t>(ref[i]), x[i], got[i]);
          }
        }
      }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
    for (auto& t : pool) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %llu wrongly rounded, %llu differing between variants, %llu undecided by the reference; "
                "%zu variants, %.0f s\n",
                fn.name, static_cast<unsigned long long>(wrong.load()), static_cast<unsigned long long>(differ.load()),
                static_cast<unsigned long long>(undecided.exchange(0)), variants.size(), seconds);
    std::fflush(stdout);
    if (wrong.load() != 0 || differ.load() != 0) failures = 1;
  }
  return failures;
}
