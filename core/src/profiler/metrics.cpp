#include "profiler/metrics.hpp"

#include <limits>
#include <unordered_map>
#include <utility>

#include "profiler/json_writer.hpp"
#include "profiler/session_id.hpp"
#include "profiler/timestamp.hpp"

namespace zoltra::profiler {
namespace {

template <class EventAt>
OperationMetrics metrics_over(std::string_view operation, std::size_t count, EventAt event_at,
                              double report_total_ms) {
  OperationMetrics metrics;
  metrics.operation.assign(operation);
  metrics.count = count;
  if (count == 0) return metrics;

  double total = -0.0;
  double smallest = std::numeric_limits<double>::infinity();
  double largest = -std::numeric_limits<double>::infinity();
  // Backends come in long runs of one name: hash once per run, not per event.
  std::unordered_map<std::string_view, std::uint64_t> backend_counts;
  std::string_view run_backend;
  std::uint64_t run_length = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const OperationEvent& event = event_at(i);
    const double duration = duration_ms(event);
    total += duration;
    smallest = duration < smallest ? duration : smallest;
    largest = duration > largest ? duration : largest;
    if (run_length != 0 && event.backend == run_backend) {
      ++run_length;
    } else {
      if (run_length != 0) backend_counts[run_backend] += run_length;
      run_backend = event.backend;
      run_length = 1;
    }
  }
  backend_counts[run_backend] += run_length;

  std::uint64_t best = 0;
  for (const auto& [backend, backend_count] : backend_counts) {
    if (backend_count > best) {
      best = backend_count;
      metrics.primary_backend.assign(backend);
    }
  }
  metrics.total_time_ms = total;
  metrics.avg_time_ms = total / static_cast<double>(count);
  metrics.min_time_ms = smallest;
  metrics.max_time_ms = largest;
  // A zero report total (every duration under a microsecond) gives 0, not NaN.
  metrics.percent_total = report_total_ms > 0.0 ? (total / report_total_ms) * 100.0 : 0.0;
  return metrics;
}

void newline_indent(std::string& out, int depth) {
  out += '\n';
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void append_key(std::string& out, int depth, std::string_view key) {
  newline_indent(out, depth);
  append_json_string(out, key);
  out += ": ";
}

void append_operation(std::string& out, const OperationMetrics& metrics) {
  constexpr int depth = 3;
  out += '{';
  append_key(out, depth, "operation");
  append_json_string(out, metrics.operation);
  out += ',';
  append_key(out, depth, "count");
  append_json_uint(out, metrics.count);
  out += ',';
  append_key(out, depth, "total_time_ms");
  append_json_double(out, metrics.total_time_ms);
  out += ',';
  append_key(out, depth, "avg_time_ms");
  append_json_double(out, metrics.avg_time_ms);
  out += ',';
  append_key(out, depth, "min_time_ms");
  append_json_double(out, metrics.min_time_ms);
  out += ',';
  append_key(out, depth, "max_time_ms");
  append_json_double(out, metrics.max_time_ms);
  out += ',';
  append_key(out, depth, "primary_backend");
  append_json_string(out, metrics.primary_backend);
  out += ',';
  append_key(out, depth, "percent_total");
  append_json_double(out, metrics.percent_total);
  newline_indent(out, depth - 1);
  out += '}';
}

}  // namespace

double duration_ms(const OperationEvent& event) noexcept {
  if (event.end_us < event.start_us) return 0.0;
  return static_cast<double>(event.end_us - event.start_us) / 1000.0;
}

OperationMetrics OperationMetrics::from_events(std::string_view operation, std::span<const OperationEvent> events,
                                               double report_total_ms) {
  return metrics_over(
      operation, events.size(), [&](std::size_t i) -> const OperationEvent& { return events[i]; }, report_total_ms);
}

OperationMetrics OperationMetrics::from_events(std::string_view operation,
                                               std::span<const OperationEvent* const> events,
                                               double report_total_ms) {
  return metrics_over(
      operation, events.size(), [&](std::size_t i) -> const OperationEvent& { return *events[i]; },
      report_total_ms);
}

SessionMetadata SessionMetadata::create(std::optional<std::string> context) {
  SessionMetadata metadata;
  metadata.session_id = new_uuid_v4();
  metadata.start_timestamp = current_rfc3339_timestamp();
  metadata.context = std::move(context);
  return metadata;
}

ProfileReport ProfileReport::from_events(std::span<const OperationEvent> events,
                                         const std::optional<std::string>& context) {
  return from_events(events, context, SessionMetadata::create(context));
}

ProfileReport ProfileReport::from_events(std::span<const OperationEvent> events,
                                         const std::optional<std::string>& context, SessionMetadata metadata) {
  ProfileReport report;
  metadata.context = context;
  report.metadata = std::move(metadata);

  struct Group {
    std::string_view operation;
    std::vector<const OperationEvent*> events;
  };
  std::vector<Group> groups;
  std::unordered_map<std::string_view, std::size_t> group_of;
  std::string_view last_operation;
  std::size_t last_group = 0;
  bool any_selected = false;
  double total = -0.0;
  for (const OperationEvent& event : events) {
    if (context && (!event.context || *event.context != *context)) continue;
    total += duration_ms(event);
    // Stores hold long runs of one operation: skip the hash lookup for those.
    if (!any_selected || event.operation != last_operation) {
      auto [slot, inserted] = group_of.try_emplace(event.operation, groups.size());
      if (inserted) groups.push_back(Group{event.operation, {}});
      last_operation = event.operation;
      last_group = slot->second;
    }
    any_selected = true;
    groups[last_group].events.push_back(&event);
  }
  if (!any_selected) return report;  // total 0.0, not the -0.0 the sum starts from

  report.total_time_ms = total;
  report.operations.reserve(groups.size());
  for (const Group& group : groups) {
    report.operations.push_back(OperationMetrics::from_events(group.operation, group.events, total));
  }
  report.operation_count = report.operations.size();
  return report;
}

const OperationMetrics* ProfileReport::find(std::string_view operation) const noexcept {
  for (const OperationMetrics& metrics : operations) {
    if (metrics.operation == operation) return &metrics;
  }
  return nullptr;
}

std::string ProfileReport::to_json() const {
  std::string out;
  out.reserve(320 + operations.size() * 320);
  out += '{';
  append_key(out, 1, "metadata");
  out += '{';
  append_key(out, 2, "session_id");
  append_json_string(out, metadata.session_id);
  out += ',';
  append_key(out, 2, "start_timestamp");
  append_json_string(out, metadata.start_timestamp);
  out += ',';
  append_key(out, 2, "version");
  append_json_string(out, metadata.version);
  out += ',';
  append_key(out, 2, "context");
  if (metadata.context) {
    append_json_string(out, *metadata.context);
  } else {
    out += "null";
  }
  newline_indent(out, 1);
  out += "},";
  append_key(out, 1, "operations");
  if (operations.empty()) {
    out += "{}";
  } else {
    out += '{';
    for (std::size_t i = 0; i < operations.size(); ++i) {
      if (i != 0) out += ',';
      append_key(out, 2, operations[i].operation);
      append_operation(out, operations[i]);
    }
    newline_indent(out, 1);
    out += '}';
  }
  out += ',';
  append_key(out, 1, "total_time_ms");
  append_json_double(out, total_time_ms);
  out += ',';
  append_key(out, 1, "operation_count");
  append_json_uint(out, operation_count);
  out += "\n}";
  return out;
}

}  // namespace zoltra::profiler
