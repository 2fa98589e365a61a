#pragma once
// The backend policy (advisory) and the record of the last matrix-product
// dispatch, explained in one line of text.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zoltra::backend {

// BackendPolicy codes.
enum : std::uint8_t { kPolicyDefault = 0, kPolicyOpenblas = 1, kPolicyBlas = 2, kPolicyCuda = 3 };
// BackendKind codes.
enum : std::uint8_t { kBackendCpu = 0, kBackendOpenBlas = 1, kBackendBlas = 2, kBackendCuda = 3, kBackendMetal = 4 };

// CURRENT_POLICY decoded: 0..3, any other stored value reads as 0.
std::uint8_t current_policy() noexcept;
// set_backend_policy from Python: 1 -> Openblas, 2 -> Blas, anything else Default.
void set_policy_from_python(std::uint8_t value) noexcept;

// LAST_DISPATCH.
void set_last_dispatch(std::uint8_t backend) noexcept;
std::uint8_t last_dispatch() noexcept;

// Replaces LAST_DISPATCH_DETAILED (the clock is read before the lock).
void record_detailed_dispatch(std::uint8_t backend, std::string_view operation, std::uint64_t m,
                              std::uint64_t n, std::uint64_t k, std::uint8_t policy);

// The detailed text of the last record, or the fallback text of LAST_DISPATCH.
std::string get_last_dispatch();

// One dispatch decision, as LAST_DISPATCH_DETAILED keeps it.
struct DispatchInfo {
  std::string operation;
  std::chrono::steady_clock::time_point recorded_at;
  std::uint64_t m = 0;
  std::uint64_t n = 0;
  std::uint64_t k = 0;
  std::uint8_t policy = kPolicyDefault;
  std::uint8_t backend = kBackendCpu;
};

// Any stored policy code to 0..3: unknown codes read as Default.
std::uint8_t decode_policy(std::uint8_t code) noexcept;
// "Default", "Openblas", "Blas" or "Cuda" (the code is decoded first).
const char* policy_name(std::uint8_t code) noexcept;
// "Zoltra AVX2" / "Zoltra AVX-512", "OpenBLAS", "BLAS", "CUDA", "Metal", "Unknown".
const char* backend_short_name(std::uint8_t backend, bool avx512f) noexcept;
// "Default CPU backend", ..., "Unknown backend (<code>)".
std::string backend_fallback_text(std::uint8_t backend);
// The detailed explanation of `info` recorded `elapsed_us` microseconds ago.
std::string format_dispatch(const DispatchInfo& info, std::uint64_t elapsed_us, bool avx512f);

namespace detail {
// Runs `mutate` on the stored record under its lock. If `mutate` throws, the
// record stays marked broken: later records are discarded and the explanation
// falls back to LAST_DISPATCH. Returns false (without calling `mutate`) when
// the record is already broken.
bool update_dispatch_record(void (*mutate)(std::optional<DispatchInfo>& slot, void* ctx), void* ctx);
// Empties the record and clears the broken mark (tests only).
void reset_dispatch_record() noexcept;
}  // namespace detail

}  // namespace zoltra::backend
