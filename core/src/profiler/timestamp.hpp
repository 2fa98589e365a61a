#pragma once
// RFC 3339 timestamps in UTC for profile reports.
#include <cstdint>
#include <string>

namespace zoltra::profiler {

// "YYYY-MM-DDTHH:MM:SS[.fff|.ffffff|.fffffffff]+00:00": no fraction for whole
// seconds, else the fewest of 3, 6 or 9 digits that hold the nanoseconds
// exactly. Years outside 0..9999 get a sign and at least four digits.
std::string format_rfc3339_utc(std::int64_t epoch_seconds, std::uint32_t nanoseconds);

// The wall clock, now.
std::string current_rfc3339_timestamp();

}  // namespace zoltra::profiler
