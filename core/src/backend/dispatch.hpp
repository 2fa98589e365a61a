#pragma once
// The backend policy (advisory) and the record of the last matrix-product
// dispatch, explained in one line of text.
#include <cstdint>
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

}  // namespace zoltra::backend
