#include "backend/dispatch.hpp"

#include <atomic>
#include <mutex>
#include <utility>

#include "backend/capabilities.hpp"
#include "common/decimal.hpp"

namespace zoltra::backend {
namespace {

// Single bytes, constant-initialised: no lock, no start-up order to worry about.
std::atomic<std::uint8_t> CURRENT_POLICY{kPolicyDefault};
std::atomic<std::uint8_t> LAST_DISPATCH{kBackendCpu};

struct DetailedRecord {
  std::mutex lock;
  std::optional<DispatchInfo> record;
  // Set while a holder replaces the record and cleared when it is done; found
  // set, the record is only partly written. std::mutex has no poisoning of its own.
  bool broken = false;
};

// LAST_DISPATCH_DETAILED: created on first use and never destroyed, so a
// thread still running at exit can always reach it.
DetailedRecord& last_dispatch_detailed() {
  static DetailedRecord* const record = new DetailedRecord;
  return *record;
}

void store_new_record(std::optional<DispatchInfo>& slot, void* ctx) {
  slot = std::move(*static_cast<DispatchInfo*>(ctx));
}

}  // namespace

std::uint8_t decode_policy(std::uint8_t code) noexcept {
  return code <= kPolicyCuda ? code : std::uint8_t{kPolicyDefault};
}

const char* policy_name(std::uint8_t code) noexcept {
  switch (decode_policy(code)) {
    case kPolicyOpenblas: return "Openblas";
    case kPolicyBlas: return "Blas";
    case kPolicyCuda: return "Cuda";
    default: return "Default";
  }
}

const char* backend_short_name(std::uint8_t backend, bool avx512f) noexcept {
  switch (backend) {
    case kBackendCpu: return avx512f ? "Zoltra AVX-512" : "Zoltra AVX2";
    case kBackendOpenBlas: return "OpenBLAS";
    case kBackendBlas: return "BLAS";
    case kBackendCuda: return "CUDA";
    case kBackendMetal: return "Metal";
    default: return "Unknown";
  }
}

std::string backend_fallback_text(std::uint8_t backend) {
  switch (backend) {
    case kBackendCpu: return "Default CPU backend";
    case kBackendOpenBlas: return "OpenBLAS backend";
    case kBackendBlas: return "BLAS backend";
    case kBackendCuda: return "CUDA backend";
    default: {
      // Metal (4) included: the fallback sentences name only codes 0 to 3.
      std::string text = "Unknown backend (";
      append_decimal(text, backend);
      text += ')';
      return text;
    }
  }
}

std::string format_dispatch(const DispatchInfo& info, std::uint64_t elapsed_us, bool avx512f) {
  std::string text;
  text.reserve(info.operation.size() + 96);
  text += info.operation;
  text += " \u2192 ";
  text += backend_short_name(info.backend, avx512f);
  text += " (size=";
  append_decimal(text, info.m);
  text += 'x';
  append_decimal(text, info.n);
  text += 'x';
  append_decimal(text, info.k);
  text += ", policy=";
  text += policy_name(info.policy);
  text += ", ";
  append_decimal(text, elapsed_us);
  text += "\u00b5s ago)";
  return text;
}

std::uint8_t current_policy() noexcept {
  return decode_policy(CURRENT_POLICY.load(std::memory_order_relaxed));
}

void set_policy_from_python(std::uint8_t value) noexcept {
  std::uint8_t policy = (value == kPolicyOpenblas || value == kPolicyBlas) ? value : std::uint8_t{kPolicyDefault};
  CURRENT_POLICY.store(policy, std::memory_order_relaxed);
}

void set_last_dispatch(std::uint8_t backend) noexcept { LAST_DISPATCH.store(backend, std::memory_order_relaxed); }

std::uint8_t last_dispatch() noexcept { return LAST_DISPATCH.load(std::memory_order_relaxed); }

void record_detailed_dispatch(std::uint8_t backend, std::string_view operation, std::uint64_t m,
                              std::uint64_t n, std::uint64_t k, std::uint8_t policy) {
  DispatchInfo info;
  info.operation.assign(operation);
  info.recorded_at = std::chrono::steady_clock::now();  // before the lock: waiting is not part of the age
  info.m = m;
  info.n = n;
  info.k = k;
  info.policy = policy;
  info.backend = backend;
  detail::update_dispatch_record(&store_new_record, &info);
}

std::string get_last_dispatch() {
  DetailedRecord& detailed = last_dispatch_detailed();
  {
    std::lock_guard<std::mutex> guard(detailed.lock);
    if (detailed.record && !detailed.broken) {
      const DispatchInfo& info = *detailed.record;
      auto now = std::chrono::steady_clock::now();
      std::uint64_t elapsed_us = 0;
      if (now > info.recorded_at) {
        elapsed_us = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - info.recorded_at).count());
      }
      // Formatted under the lock so the text describes one whole record.
      return format_dispatch(info, elapsed_us, cpu_features().avx512f);
    }
  }
  return backend_fallback_text(last_dispatch());
}

namespace detail {

bool update_dispatch_record(void (*mutate)(std::optional<DispatchInfo>& slot, void* ctx), void* ctx) {
  DetailedRecord& detailed = last_dispatch_detailed();
  std::lock_guard<std::mutex> guard(detailed.lock);
  if (detailed.broken) return false;
  detailed.broken = true;
  mutate(detailed.record, ctx);  // if this throws, the mark stays
  detailed.broken = false;
  return true;
}

void reset_dispatch_record() noexcept {
  DetailedRecord& detailed = last_dispatch_detailed();
  std::lock_guard<std::mutex> guard(detailed.lock);
  detailed.record.reset();
  detailed.broken = false;
}

}  // namespace detail
}  // namespace zoltra::backend
