#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "profiler/metrics.hpp"

namespace zp = zoltra::profiler;

namespace {

// An event of `micros` microseconds starting at a fixed time.
zp::OperationEvent event(const char* operation, std::uint64_t micros, const char* backend = "CPU",
                         std::optional<std::string> context = std::nullopt) {
  return zp::OperationEvent{operation, backend, std::move(context), 1, 5'000'000, 5'000'000 + micros};
}

zp::ProfileReport report(const std::vector<zp::OperationEvent>& events,
                         const std::optional<std::string>& context = std::nullopt) {
  return zp::ProfileReport::from_events(events, context, zp::SessionMetadata{});
}

}  // namespace

TEST(ProfileMetrics, NothingSelectedGivesAnEmptyReport) {
  for (const auto& context : {std::optional<std::string>(), std::optional<std::string>("x")}) {
    auto empty = report({}, context);
    EXPECT_TRUE(empty.operations.empty());
    EXPECT_EQ(empty.operation_count, 0u);
    EXPECT_EQ(empty.total_time_ms, 0.0);
    EXPECT_FALSE(std::signbit(empty.total_time_ms));
    EXPECT_EQ(empty.metadata.context, context);
  }
  EXPECT_EQ(report({event("add", 5)}, "ctx").operation_count, 0u);

  auto none = zp::OperationMetrics::from_events("add", std::span<const zp::OperationEvent>(), 10.0);
  EXPECT_EQ(none.operation, "add");
  EXPECT_EQ(none.count, 0u);
  EXPECT_EQ(none.primary_backend, "unknown");
  EXPECT_EQ(none.min_time_ms, 0.0);
  EXPECT_EQ(none.max_time_ms, 0.0);
}

TEST(ProfileMetrics, StatisticsOfOneOperation) {
  auto one = report({event("add", 1000), event("add", 3000), event("add", 2000)});
  ASSERT_EQ(one.operation_count, 1u);
  const auto& add = one.operations[0];
  EXPECT_EQ(add.operation, "add");
  EXPECT_EQ(add.count, 3u);
  EXPECT_EQ(add.total_time_ms, 6.0);
  EXPECT_EQ(add.avg_time_ms, 2.0);
  EXPECT_EQ(add.min_time_ms, 1.0);
  EXPECT_EQ(add.max_time_ms, 3.0);
  EXPECT_EQ(add.percent_total, 100.0);
  EXPECT_EQ(one.total_time_ms, 6.0);

  auto single = report({event("sum", 1)}).operations[0];
  EXPECT_EQ(single.total_time_ms, 0.001);
  EXPECT_EQ(single.avg_time_ms, 0.001);
  EXPECT_EQ(single.min_time_ms, 0.001);
  EXPECT_EQ(single.max_time_ms, 0.001);
  EXPECT_EQ(single.percent_total, 100.0);
}

TEST(ProfileMetrics, SharesAndZeroTotals) {
  auto two = report({event("a", 1000), event("b", 1500), event("b", 1500)});
  EXPECT_EQ(two.find("a")->percent_total, 25.0);
  EXPECT_EQ(two.find("b")->percent_total, 75.0);
  EXPECT_EQ(two.total_time_ms, 4.0);

  // Under a microsecond, and a clock that stepped back: durations 0, still counted.
  zp::OperationEvent backwards = event("b", 0);
  backwards.end_us = backwards.start_us - 7;
  auto zero = report({event("a", 0), backwards, event("b", 0)});
  EXPECT_EQ(zero.total_time_ms, 0.0);
  EXPECT_FALSE(std::signbit(zero.total_time_ms));
  EXPECT_EQ(zero.find("b")->count, 2u);
  for (const auto& metrics : zero.operations) {
    EXPECT_EQ(metrics.percent_total, 0.0);
    EXPECT_EQ(metrics.min_time_ms, 0.0);
    EXPECT_EQ(metrics.avg_time_ms, 0.0);
  }
}

TEST(ProfileMetrics, InterleavedOperationsAndBackendsGroupCorrectly) {
  std::vector<zp::OperationEvent> events = {
      event("add", 10, "CPU"), event("mul", 20, "GPU"), event("add", 30, "GPU"),
      event("mul", 40, "GPU"), event("add", 50, "CPU"), event("sum", 60, "X"),
  };
  auto mixed = report(events);
  ASSERT_EQ(mixed.operation_count, 3u);
  EXPECT_EQ(mixed.find("add")->count, 3u);
  EXPECT_EQ(mixed.find("add")->total_time_ms, 0.01 + 0.03 + 0.05);
  EXPECT_EQ(mixed.find("add")->primary_backend, "CPU");
  EXPECT_EQ(mixed.find("mul")->count, 2u);
  EXPECT_EQ(mixed.find("mul")->primary_backend, "GPU");
  EXPECT_EQ(mixed.find("sum")->primary_backend, "X");
  // Summed one at a time in store order, from -0.0.
  double total = -0.0;
  for (const auto& e : events) total += zp::duration_ms(e);
  EXPECT_EQ(mixed.total_time_ms, total);

  auto tie = report({event("dot", 1, "A"), event("dot", 1, "B")}).operations[0].primary_backend;
  EXPECT_TRUE(tie == "A" || tie == "B");
}

TEST(ProfileMetrics, ContextFilterMatchesBytesExactly) {
  std::vector<zp::OperationEvent> events = {
      event("a", 1, "CPU", "train"), event("b", 2, "CPU", std::nullopt), event("c", 4, "CPU", ""),
      event("d", 8, "CPU", "Train"), event("e", 16, "CPU", "train "), event("f", 32, "CPU", "train"),
  };
  auto train = report(events, "train");
  ASSERT_EQ(train.operation_count, 2u);
  EXPECT_NE(train.find("a"), nullptr);
  EXPECT_NE(train.find("f"), nullptr);
  EXPECT_EQ(train.total_time_ms, 0.001 + 0.032);

  auto empty_context = report(events, "");
  ASSERT_EQ(empty_context.operation_count, 1u);
  EXPECT_EQ(empty_context.operations[0].operation, "c");
  EXPECT_EQ(report(events, std::string("train\0", 6)).operation_count, 0u);
  EXPECT_EQ(report(events).operation_count, 6u);
}
