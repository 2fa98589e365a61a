#include "profiler/timestamp.hpp"

#include <cstdio>

#include "profiler/wall_clock.hpp"

namespace zoltra::profiler {
namespace {

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// Proleptic Gregorian date of a day count from 1970-01-01, in 400-year eras.
CivilDate civil_from_days(std::int64_t days) {
  days += 719468;  // shift the origin to 0000-03-01
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<std::uint64_t>(days - era * 146097);
  const std::uint64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::uint64_t month_index = (5 * day_of_year + 2) / 153;  // March = 0
  const auto day = static_cast<unsigned>(day_of_year - (153 * month_index + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(month_index < 10 ? month_index + 3 : month_index - 9);
  const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

}  // namespace

std::string format_rfc3339_utc(std::int64_t epoch_seconds, std::uint32_t nanoseconds) {
  std::int64_t days = epoch_seconds / 86400;
  std::int64_t second_of_day = epoch_seconds % 86400;
  if (second_of_day < 0) {
    second_of_day += 86400;
    days -= 1;
  }
  const CivilDate date = civil_from_days(days);

  char text[80];
  int length;
  if (date.year >= 0 && date.year <= 9999) {
    length = std::snprintf(text, sizeof text, "%04lld", static_cast<long long>(date.year));
  } else {
    unsigned long long magnitude =
        date.year < 0 ? 0ull - static_cast<unsigned long long>(date.year) : static_cast<unsigned long long>(date.year);
    length = std::snprintf(text, sizeof text, "%c%04llu", date.year < 0 ? '-' : '+', magnitude);
  }
  length += std::snprintf(text + length, sizeof text - length, "-%02u-%02uT%02d:%02d:%02d", date.month, date.day,
                          static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
                          static_cast<int>(second_of_day % 60));
  if (nanoseconds != 0) {
    if (nanoseconds % 1'000'000 == 0) {
      length += std::snprintf(text + length, sizeof text - length, ".%03u", nanoseconds / 1'000'000);
    } else if (nanoseconds % 1'000 == 0) {
      length += std::snprintf(text + length, sizeof text - length, ".%06u", nanoseconds / 1'000);
    } else {
      length += std::snprintf(text + length, sizeof text - length, ".%09u", nanoseconds);
    }
  }
  std::string result(text, static_cast<std::size_t>(length));
  result += "+00:00";
  return result;
}

std::string current_rfc3339_timestamp() {
  timespec now = read_wall_clock();
  return format_rfc3339_utc(now.tv_sec, static_cast<std::uint32_t>(now.tv_nsec));
}

}  // namespace zoltra::profiler
