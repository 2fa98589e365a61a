#include "profiler/wall_clock.hpp"

#include <atomic>
#include <cstdio>

namespace zoltra::profiler {
namespace {

void read_realtime(timespec* now) { clock_gettime(CLOCK_REALTIME, now); }

std::atomic<WallClockReader> wall_clock_reader{&read_realtime};

}  // namespace

timespec read_wall_clock() noexcept {
  timespec now{};
  wall_clock_reader.load(std::memory_order_relaxed)(&now);
  return now;
}

bool epoch_microseconds(const timespec& now, std::uint64_t& us) noexcept {
  if (now.tv_sec < 0) return false;
  us = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(now.tv_nsec) / 1'000u;
  return true;
}

std::string time_went_backwards_message(const timespec& now) {
  // tv_nsec counts forward from tv_sec, so -2 s + 0.5e9 ns is 1.5 s before the epoch.
  unsigned long long seconds_before = static_cast<unsigned long long>(-(now.tv_sec + 1));
  long nanos_before = 1'000'000'000L - now.tv_nsec;
  if (nanos_before == 1'000'000'000L) {
    seconds_before += 1;
    nanos_before = 0;
  }
  char text[96];
  std::snprintf(text, sizeof text, "Time went backwards: the clock reads %llu.%09lds before the Unix epoch",
                seconds_before, nanos_before);
  return text;
}

namespace detail {

void set_wall_clock_for_testing(WallClockReader reader) noexcept {
  wall_clock_reader.store(reader ? reader : &read_realtime, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace zoltra::profiler
