#pragma once
// Recorded events, per-operation statistics and the profile report.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "profiler/product_run.hpp"

namespace zoltra::profiler {

inline constexpr const char* kProfilerVersion = "0.2.4";

// One recorded execution; stamps in wall-clock microseconds since the epoch.
struct OperationEvent {
  OperationEvent() = default;
  // The trace fields default, so that events can be written as the report sees them.
  OperationEvent(std::string operation, std::string backend, std::optional<std::string> context, std::uint64_t size,
                 std::uint64_t start_us, std::uint64_t end_us, std::uint32_t thread = 0, std::int32_t os_thread = 0,
                 ProductRun product = {})
      : operation(std::move(operation)), backend(std::move(backend)), context(std::move(context)), size(size),
        start_us(start_us), end_us(end_us), thread(thread), os_thread(os_thread), product(product) {}

  std::string operation;
  std::string backend;
  std::optional<std::string> context;
  std::uint64_t size = 0;
  std::uint64_t start_us = 0;
  std::uint64_t end_us = 0;
  // For the trace only (reports ignore them): the recording thread, as a
  // small number that stays the thread's for its life and as the OS thread
  // id, and how a matrix product ran.
  std::uint32_t thread = 0;
  std::int32_t os_thread = 0;
  ProductRun product;
};

// (end_us - start_us) / 1000, or 0 when the clock stepped back.
double duration_ms(const OperationEvent& event) noexcept;

// Statistics of one operation; times in milliseconds.
struct OperationMetrics {
  std::string operation;
  std::uint64_t count = 0;
  double total_time_ms = 0.0;
  double avg_time_ms = 0.0;
  double min_time_ms = 0.0;
  double max_time_ms = 0.0;
  std::string primary_backend = "unknown";
  double percent_total = 0.0;

  static OperationMetrics from_events(std::string_view operation, std::span<const OperationEvent> events,
                                      double report_total_ms);
  // The same over events that stay where they are (the report's grouping).
  static OperationMetrics from_events(std::string_view operation, std::span<const OperationEvent* const> events,
                                      double report_total_ms);
};

struct SessionMetadata {
  std::string session_id;
  std::string start_timestamp;
  std::string version = kProfilerVersion;
  std::optional<std::string> context;

  // A fresh UUID v4 and the current time. Throws RandomSourceError when the
  // system's random source fails.
  static SessionMetadata create(std::optional<std::string> context);
};

struct ProfileReport {
  SessionMetadata metadata;
  std::vector<OperationMetrics> operations;  // one per distinct name, in order of first appearance
  double total_time_ms = 0.0;
  std::uint64_t operation_count = 0;

  // Events whose context equals `context` byte for byte (all events without
  // one), grouped by operation. Makes fresh metadata (may throw RandomSourceError).
  static ProfileReport from_events(std::span<const OperationEvent> events, const std::optional<std::string>& context);
  // The same with metadata made beforehand; its context is replaced by `context`.
  static ProfileReport from_events(std::span<const OperationEvent> events, const std::optional<std::string>& context,
                                   SessionMetadata metadata);

  const OperationMetrics* find(std::string_view operation) const noexcept;

  // The indented JSON document (two spaces per level, no trailing newline).
  std::string to_json() const;
};

}  // namespace zoltra::profiler
