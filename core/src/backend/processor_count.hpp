#pragma once
// P: the logical processors this process may use, as the chunking of the
// parallel kernels and the capability report both see it.
#include <cstdint>
#include <optional>
#include <string>

namespace zoltra::backend {

// Affinity set (online count when unreadable), lowered to the cgroup quota,
// at least 1. Detected once per process and cached.
std::uint64_t processor_count() noexcept;

// The cgroup CPU quota in processors, rounded up, read from a tree rooted at
// `root` ("/" in production): root/proc/self/cgroup, root/proc/self/mountinfo
// and the cgroup files they lead to. nullopt when there is no usable quota.
std::optional<std::uint64_t> cgroup_cpu_limit(const std::string& root);

// The uncached computation, for tests.
std::uint64_t compute_processor_count(const std::string& root) noexcept;

}  // namespace zoltra::backend
