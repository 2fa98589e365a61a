#include "backend/processor_count.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

namespace zoltra::backend {

namespace {

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    parts.emplace_back(text.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool contains_token(std::string_view list, std::string_view token) {
  for (const auto& item : split(list, ',')) {
    if (item == token) return true;
  }
  return false;
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      auto octal = [](char c) { return c >= '0' && c <= '7'; };
      if (octal(text[i + 1]) && octal(text[i + 2]) && octal(text[i + 3])) {
        out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                        (text[i + 3] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

bool is_directory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

// A whole decimal integer, optionally negative, and nothing else but spaces.
std::optional<long long> parse_integer(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.remove_suffix(1);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::string owned(text);
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(owned.c_str(), &end, 10);
  if (errno != 0 || end != owned.c_str() + owned.size()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> quota_in_processors(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  auto q = static_cast<std::uint64_t>(quota);
  auto p = static_cast<std::uint64_t>(period);
  return q / p + (q % p != 0 ? 1 : 0);
}

struct CgroupLocation {
  std::string v2_path;  // from the "0::" line
  bool has_v2 = false;
  std::string v1_cpu_path;  // from the line whose controllers include "cpu"
  bool has_v1 = false;
};

CgroupLocation read_proc_cgroup(const std::string& root) {
  CgroupLocation where;
  std::ifstream in(root + "/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    // hierarchy-id:controllers:path (the path may itself hold colons)
    const auto first = line.find(':');
    if (first == std::string::npos) continue;
    const auto second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string_view id(line.data(), first);
    std::string_view controllers(line.data() + first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      where.v2_path = path;
      where.has_v2 = true;
    } else if (contains_token(controllers, "cpu")) {
      where.v1_cpu_path = path;
      where.has_v1 = true;
    }
  }
  return where;
}

struct CgroupMounts {
  std::optional<std::string> v2;
  std::optional<std::string> v1_cpu;
};

CgroupMounts read_mountinfo(const std::string& root) {
  CgroupMounts mounts;
  std::ifstream in(root + "/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::vector<std::string> fields;
    std::istringstream words(line);
    for (std::string w; words >> w;) fields.push_back(std::move(w));
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 1 >= fields.size()) continue;
    const std::string& fstype = fields[dash + 1];
    const std::string super_options = dash + 3 < fields.size() ? fields[dash + 3] : "";
    if (fstype == "cgroup2") {
      if (!mounts.v2) mounts.v2 = unescape_octal(fields[4]);
    } else if (fstype == "cgroup" && contains_token(super_options, "cpu")) {
      if (!mounts.v1_cpu) mounts.v1_cpu = unescape_octal(fields[4]);
    }
  }
  return mounts;
}

// The cgroup's own directory, or the mount point itself when that directory
// is not visible (a container sees only its own cgroup at the mount point).
std::string cgroup_directory(const std::string& root, const std::string& mount,
                             const std::string& path) {
  std::string dir = root + mount + path;
  if (is_directory(dir)) return dir;
  return root + mount;
}

std::optional<std::uint64_t> v2_limit(const std::string& dir) {
  auto line = read_first_line(dir + "/cpu.max");
  if (!line) return std::nullopt;
  std::istringstream words(*line);
  std::string quota, period;
  if (!(words >> quota >> period) || quota == "max") return std::nullopt;
  auto q = parse_integer(quota);
  auto p = parse_integer(period);
  if (!q || !p) return std::nullopt;
  return quota_in_processors(*q, *p);
}

std::optional<std::uint64_t> v1_limit(const std::string& dir) {
  auto quota = read_first_line(dir + "/cpu.cfs_quota_us");
  auto period = read_first_line(dir + "/cpu.cfs_period_us");
  if (!quota || !period) return std::nullopt;
  auto q = parse_integer(*quota);
  auto p = parse_integer(*period);
  if (!q || !p) return std::nullopt;
  return quota_in_processors(*q, *p);
}

std::uint64_t affinity_count() noexcept {
  // Grow the set until it holds every processor the kernel knows of.
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      if (count > 0) return static_cast<std::uint64_t>(count);
      break;
    }
    const int error = errno;
    CPU_FREE(set);
    if (error != EINVAL) break;
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::uint64_t>(online) : 1;
}

}  // namespace

std::optional<std::uint64_t> cgroup_cpu_limit(const std::string& root_dir) {
  std::string root = root_dir;
  while (!root.empty() && root.back() == '/') root.pop_back();
  const CgroupLocation where = read_proc_cgroup(root);
  const CgroupMounts mounts = read_mountinfo(root);
  if (where.has_v2 && mounts.v2) {
    if (auto limit = v2_limit(cgroup_directory(root, *mounts.v2, where.v2_path))) return limit;
  }
  if (where.has_v1 && mounts.v1_cpu) {
    if (auto limit = v1_limit(cgroup_directory(root, *mounts.v1_cpu, where.v1_cpu_path))) {
      return limit;
    }
  }
  return std::nullopt;
}

std::uint64_t compute_processor_count(const std::string& root) noexcept {
  std::uint64_t count = affinity_count();
  try {
    if (auto limit = cgroup_cpu_limit(root); limit && *limit < count) count = *limit;
  } catch (...) {
    // An unreadable cgroup tree means no limit.
  }
  return count > 0 ? count : 1;
}

std::uint64_t processor_count() noexcept {
  static const std::uint64_t count = compute_processor_count("/");
  return count;
}

}  // namespace zoltra::backend
