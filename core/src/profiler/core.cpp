#include "profiler/core.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "common/panic.hpp"
#include "profiler/session_id.hpp"
#include "profiler/wall_clock.hpp"

namespace zoltra::profiler {

// The flag and the store sit on separate cache lines: ending scopes only read
// the flag, while appends write next to the store's lock.
struct ProfilerState {
  alignas(64) mutable std::shared_mutex flag_lock;
  bool enabled = false;
  // A copy of `enabled`, written under flag_lock, that scopes read without
  // taking it: the flag costs a scope one load instead of a lock round trip.
  std::atomic<bool> enabled_now{false};
  alignas(64) mutable std::shared_mutex store_lock;
  std::vector<OperationEvent> events;
  std::uint64_t first_sequence = 0;  // of events[0]
};

namespace {

thread_local std::optional<std::string> PROFILER_CONTEXT;

}  // namespace

Profiler Profiler::create() {
  Profiler profiler;
  profiler.state_ = std::make_shared<ProfilerState>();
  return profiler;
}

bool Profiler::enabled() const {
  std::shared_lock<std::shared_mutex> guard(state_->flag_lock);
  return state_->enabled;
}

void Profiler::set_enabled(bool on) {
  std::unique_lock<std::shared_mutex> guard(state_->flag_lock);
  state_->enabled = on;
  state_->enabled_now.store(on, std::memory_order_release);
}

void Profiler::clear() {
  std::unique_lock<std::shared_mutex> guard(state_->store_lock);
  state_->first_sequence += state_->events.size();
  state_->events.clear();
}

std::uint64_t Profiler::mark() const {
  std::shared_lock<std::shared_mutex> guard(state_->store_lock);
  return state_->first_sequence + state_->events.size();
}

std::vector<OperationEvent> Profiler::events_between(std::uint64_t first, std::uint64_t last) const {
  std::shared_lock<std::shared_mutex> guard(state_->store_lock);
  const std::uint64_t base = state_->first_sequence;
  const std::uint64_t end = base + state_->events.size();
  first = std::clamp(first, base, end);
  last = std::clamp(last, first, end);
  return {state_->events.begin() + static_cast<std::ptrdiff_t>(first - base),
          state_->events.begin() + static_cast<std::ptrdiff_t>(last - base)};
}

std::vector<OperationEvent> Profiler::snapshot() const {
  std::shared_lock<std::shared_mutex> guard(state_->store_lock);
  return state_->events;
}

Profiler::Export Profiler::export_json(const std::optional<std::string>& context) const {
  // Identifier and timestamp first: neither needs the store, so appends do not wait for them.
  SessionMetadata metadata;
  try {
    metadata = SessionMetadata::create(context);
  } catch (const RandomSourceError& error) {
    return {false, error.what()};
  }
  ProfileReport report;
  {
    std::shared_lock<std::shared_mutex> guard(state_->store_lock);
    report = ProfileReport::from_events(state_->events, context, std::move(metadata));
  }
  try {
    return {true, report.to_json()};
  } catch (const std::exception& error) {
    return {false, std::string("JSON serialization failed: ") + error.what()};
  }
}

Profiler& global_profiler() {
  // Never destroyed: pool threads and late callers may outlive static destruction.
  static Profiler* const GLOBAL_PROFILER = new Profiler(Profiler::create());
  return *GLOBAL_PROFILER;
}

namespace {

std::atomic<std::uint32_t> threads_numbered{0};

struct ThreadIds {
  std::uint32_t number = threads_numbered.fetch_add(1, std::memory_order_relaxed) + 1;
  std::int32_t os = static_cast<std::int32_t>(::gettid());
};

// A thread is numbered (1, 2, ... never reused) on its first recorded event,
// not at its start: threads that never record take no number.
const ThreadIds& thread_ids() noexcept {
  thread_local const ThreadIds ids;
  return ids;
}

}  // namespace

void set_profile_context(std::optional<std::string> context) { PROFILER_CONTEXT = std::move(context); }

const std::optional<std::string>& profile_context() noexcept { return PROFILER_CONTEXT; }

// Profiling off is the common case and must cost next to nothing, so a scope
// that opens while the flag is off reads no clock and copies no context. The
// flag is still decided at the scope's end, so no call is lost: a call during
// which another thread turns profiling on (a C++ caller, or a Python thread
// while a call runs without the interpreter lock) is recorded, with a duration
// of 0 and the context of its own thread, which cannot change meanwhile.
ProfileScope::ProfileScope(const Profiler& profiler, const char* operation, const char* backend, std::uint64_t size)
    : state_(&profiler.state()), operation_(operation), backend_(backend), size_(size), start_us_(kNotTimed) {
  if (!state_->enabled_now.load(std::memory_order_acquire)) return;
  const std::optional<std::string>& context = PROFILER_CONTEXT;
  if (context) context_.emplace(*context);
  const timespec now = read_wall_clock();
  if (!epoch_microseconds(now, start_us_)) throw Panic(time_went_backwards_message(now));
}

ProfileScope::~ProfileScope() noexcept(false) {
  if (!state_->enabled_now.load(std::memory_order_acquire)) return;
  const timespec now = read_wall_clock();
  std::uint64_t end_us = 0;
  if (!epoch_microseconds(now, end_us)) {
    // Throwing while another exception unwinds would end the process.
    if (std::uncaught_exceptions() == 0) throw Panic(time_went_backwards_message(now));
    return;
  }
  if (start_us_ == kNotTimed) {  // opened while profiling was off
    start_us_ = end_us;
    if (const std::optional<std::string>& context = PROFILER_CONTEXT) context_.emplace(*context);
  }

  const bool unwinding = std::uncaught_exceptions() != 0;
  try {
    const ThreadIds& ids = thread_ids();
    OperationEvent event{operation_, backend_, std::move(context_), size_, start_us_, end_us,
                         ids.number, ids.os, product_};
    std::unique_lock<std::shared_mutex> guard(state_->store_lock);
    state_->events.push_back(std::move(event));
  } catch (...) {
    // Out of memory for the event: drop it rather than end the process mid-unwind.
    if (!unwinding) throw;
  }
}

}  // namespace zoltra::profiler
