#pragma once
// The real-time clock the profiler stamps events and reports with.
#include <cstdint>
#include <ctime>
#include <string>

namespace zoltra::profiler {

using WallClockReader = void (*)(timespec* now);

// CLOCK_REALTIME, or the reader installed for tests.
timespec read_wall_clock() noexcept;

// Microseconds since 1970-01-01T00:00:00Z (sub-microseconds truncated); false
// when `now` lies before the epoch.
bool epoch_microseconds(const timespec& now, std::uint64_t& us) noexcept;

// "Time went backwards: ..." for a reading before the epoch.
std::string time_went_backwards_message(const timespec& now);

namespace detail {
// Replaces the clock (nullptr restores CLOCK_REALTIME). Tests only.
void set_wall_clock_for_testing(WallClockReader reader) noexcept;
}  // namespace detail

}  // namespace zoltra::profiler
