#pragma once
// The process-wide profiler: an enabled flag and an event store, each behind
// its own reader-writer lock (never both held), and timing scopes that record
// one event at their end when profiling is enabled at that moment.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "profiler/metrics.hpp"

namespace zoltra::profiler {

struct ProfilerState;  // defined in core.cpp

// Copying a Profiler copies its handles: every copy sees the same flag and store.
class Profiler {
 public:
  static Profiler create();  // disabled, empty store

  bool enabled() const;
  void set_enabled(bool on);
  void clear();  // empties the store, keeps its capacity

  struct Export {
    bool ok;
    std::string text;  // the JSON report, or the error message
  };
  // Aggregates under the store's shared lock, writes the JSON after releasing it.
  Export export_json(const std::optional<std::string>& context) const;

  // A copy of the store, in order of appending.
  std::vector<OperationEvent> snapshot() const;

  // Every event appended gets the next sequence number, from 0; clearing
  // drops events but never reuses their numbers. mark() is the number the
  // next event will get, so the events recorded between two marks are
  // events_between(first, last).
  std::uint64_t mark() const;
  std::vector<OperationEvent> events_between(std::uint64_t first, std::uint64_t last) const;

  ProfilerState& state() const noexcept { return *state_; }

 private:
  std::shared_ptr<ProfilerState> state_;
};

// GLOBAL_PROFILER, created on first use.
Profiler& global_profiler();

// PROFILER_CONTEXT of the calling thread.
void set_profile_context(std::optional<std::string> context);
const std::optional<std::string>& profile_context() noexcept;

// One open measurement. `operation` and `backend` must be string literals (or
// otherwise outlive the scope), and `profiler` must outlive it too (the entry
// points use GLOBAL_PROFILER, which is never destroyed). Throws
// Panic("Time went backwards: ...") when the wall clock reads before the
// epoch; at the end only when no exception is already in flight, otherwise
// the event is dropped. A scope ended by an exception still records.
class ProfileScope {
 public:
  ProfileScope(const Profiler& profiler, const char* operation, const char* backend, std::uint64_t size);
  ~ProfileScope() noexcept(false);
  ProfileScope(const ProfileScope&) = delete;
  ProfileScope& operator=(const ProfileScope&) = delete;

  // How the matrix product timed by this scope ran; the event keeps it.
  void set_product(const ProductRun& run) noexcept { product_ = run; }

 private:
  ProfilerState* state_;
  const char* operation_;
  const char* backend_;
  std::optional<std::string> context_;
  std::uint64_t size_;
  std::uint64_t start_us_;
  ProductRun product_;
  static constexpr std::uint64_t kNotTimed = ~std::uint64_t{0};
};

}  // namespace zoltra::profiler
