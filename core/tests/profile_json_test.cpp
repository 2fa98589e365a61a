#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "profiler/json_writer.hpp"
#include "profiler/metrics.hpp"
#include "profiler/session_id.hpp"
#include "profiler/timestamp.hpp"
#include "profiler/wall_clock.hpp"

namespace zp = zoltra::profiler;

namespace {

std::string number(double value) {
  std::string out;
  zp::append_json_double(out, value);
  return out;
}

std::string json_string(std::string_view text) {
  std::string out;
  zp::append_json_string(out, text);
  return out;
}

}  // namespace

TEST(ProfileJson, NumberLayout) {
  const std::vector<std::pair<double, const char*>> table = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {2.0, "2.0"},
      {100.0, "100.0"},
      {12.5, "12.5"},
      {0.5, "0.5"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {1.0 / 3.0, "0.3333333333333333"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {-0.00001, "-0.00001"},
      {0.000001, "1e-6"},
      {0.0000099, "9.9e-6"},
      {0.000000125, "1.25e-7"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1234567.125, "1234567.125"},
      {1e16, "1e+16"},
      {-1e16, "-1e+16"},
      {1.5e20, "1.5e+20"},
      {1.2345678901234568e17, "1.2345678901234568e+17"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::nan(""), "null"},
      {std::numeric_limits<double>::infinity(), "null"},
      {-std::numeric_limits<double>::infinity(), "null"},
  };
  for (const auto& [value, text] : table) EXPECT_EQ(number(value), text) << value;
  std::string out;
  zp::append_json_uint(out, UINT64_MAX);
  EXPECT_EQ(out, "18446744073709551615");
}

TEST(ProfileJson, StringEscapes) {
  EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(json_string("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
  EXPECT_EQ(json_string(std::string_view("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(json_string("\x01\x0b\x0e\x1f"), "\"\\u0001\\u000b\\u000e\\u001f\"");
  for (int c = 0; c < 0x20; ++c) {
    std::string escaped = json_string(std::string(1, static_cast<char>(c)));
    EXPECT_EQ(escaped[1], '\\') << c;
    EXPECT_LE(escaped.size(), 8u);
  }
  EXPECT_EQ(json_string("/\x7f \u00e9\u2192\U0001F600 "), "\"/\x7f \u00e9\u2192\U0001F600 \"");
}

TEST(SessionMetadata, UuidVersionAndVariantBits) {
  EXPECT_EQ(zp::format_uuid_v4({}), "00000000-0000-4000-8000-000000000000");
  std::array<std::uint8_t, 16> ones;
  ones.fill(0xff);
  EXPECT_EQ(zp::format_uuid_v4(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");

  std::set<std::string> seen;
  std::set<char> variants;
  for (int i = 0; i < 500; ++i) {
    std::string id = zp::new_uuid_v4();
    ASSERT_EQ(id.size(), 36u);
    for (std::size_t p = 0; p < id.size(); ++p) {
      if (p == 8 || p == 13 || p == 18 || p == 23) {
        ASSERT_EQ(id[p], '-') << id;
      } else {
        ASSERT_TRUE(std::isxdigit(static_cast<unsigned char>(id[p])) && !std::isupper(id[p])) << id;
      }
    }
    ASSERT_EQ(id[14], '4') << id;
    ASSERT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
    variants.insert(id[19]);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(variants.size(), 4u);

  unsigned char bytes[64] = {};
  EXPECT_EQ(zp::fill_from_urandom(bytes, sizeof bytes), 0);
  EXPECT_NE(std::string(reinterpret_cast<char*>(bytes), 64), std::string(64, '\0'));
}

TEST(SessionMetadata, TimestampForms) {
  EXPECT_EQ(zp::format_rfc3339_utc(0, 0), "1970-01-01T00:00:00+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(1796550086, 123456789), "2026-12-06T09:41:26.123456789+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(1796550086, 250000000), "2026-12-06T09:41:26.250+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(1796550086, 5000), "2026-12-06T09:41:26.000005+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(1796550086, 1), "2026-12-06T09:41:26.000000001+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(951868799, 0), "2000-02-29T23:59:59+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(-1, 500000000), "1969-12-31T23:59:59.500+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(-62135596800 - 86400, 0), "0000-12-31T00:00:00+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(-62167219200 - 1, 0), "-0001-12-31T23:59:59+00:00");
  EXPECT_EQ(zp::format_rfc3339_utc(253402300799 + 1, 0), "+10000-01-01T00:00:00+00:00");

  zp::detail::set_wall_clock_for_testing([](timespec* now) { *now = {1796550086, 7000000}; });
  auto metadata = zp::SessionMetadata::create("ctx");
  zp::detail::set_wall_clock_for_testing(nullptr);
  EXPECT_EQ(metadata.start_timestamp, "2026-12-06T09:41:26.007+00:00");
  EXPECT_EQ(metadata.version, "0.2.4");
  EXPECT_EQ(metadata.context, std::optional<std::string>("ctx"));
}

TEST(ProfileJson, WholeDocuments) {
  zp::SessionMetadata metadata;
  metadata.session_id = "0f8e2d4c-6b1a-4e3f-9c7d-5a2b8e1f0c3d";
  metadata.start_timestamp = "2026-12-06T09:41:26.123456789+00:00";
  std::vector<zp::OperationEvent> events = {
      {"add", "CPU", std::nullopt, 4, 1000, 1500},
      {"sum", "CPU", "c", 9, 2000, 4000},
      {"add", "CPU", std::nullopt, 4, 5000, 6500},
  };
  EXPECT_EQ(zp::ProfileReport::from_events(events, std::nullopt, metadata).to_json(),
            R"({
  "metadata": {
    "session_id": "0f8e2d4c-6b1a-4e3f-9c7d-5a2b8e1f0c3d",
    "start_timestamp": "2026-12-06T09:41:26.123456789+00:00",
    "version": "0.2.4",
    "context": null
  },
  "operations": {
    "add": {
      "operation": "add",
      "count": 2,
      "total_time_ms": 2.0,
      "avg_time_ms": 1.0,
      "min_time_ms": 0.5,
      "max_time_ms": 1.5,
      "primary_backend": "CPU",
      "percent_total": 50.0
    },
    "sum": {
      "operation": "sum",
      "count": 1,
      "total_time_ms": 2.0,
      "avg_time_ms": 2.0,
      "min_time_ms": 2.0,
      "max_time_ms": 2.0,
      "primary_backend": "CPU",
      "percent_total": 50.0
    }
  },
  "total_time_ms": 4.0,
  "operation_count": 2
})");
}
