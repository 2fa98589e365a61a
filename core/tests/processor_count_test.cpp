#include "backend/processor_count.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace zb = zoltra::backend;
namespace fs = std::filesystem;

namespace {

constexpr const char* kV2Mount =
    "35 24 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 "
    "rw,nsdelegate,memory_recursiveprot\n";
constexpr const char* kV1Mounts =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "39 30 0:34 / /sys/fs/cgroup/cpuset rw,nosuid shared:16 - cgroup cgroup rw,cpuset\n"
    "40 30 0:35 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:17 - cgroup cgroup rw,cpu,cpuacct\n";

// A fake root directory holding the given files (paths relative to it).
class FakeRoot {
 public:
  explicit FakeRoot(const std::map<std::string, std::string>& files) {
    std::string pattern = (fs::temp_directory_path() / "zoltra-cgroup-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    for (const auto& [path, content] : files) {
      fs::path full = root_ / path;
      fs::create_directories(full.parent_path());
      std::ofstream(full) << content;
    }
  }
  ~FakeRoot() { fs::remove_all(root_); }
  std::string path() const { return root_.string(); }
  std::optional<std::uint64_t> limit() const { return zb::cgroup_cpu_limit(path()); }

 private:
  fs::path root_;
};

FakeRoot v2_tree(const std::string& cpu_max) {
  return FakeRoot({{"proc/self/cgroup", "0::/user.slice/app.scope\n"},
                   {"proc/self/mountinfo", kV2Mount},
                   {"sys/fs/cgroup/user.slice/app.scope/cpu.max", cpu_max}});
}

FakeRoot v1_tree(const std::map<std::string, std::string>& cpu_files) {
  std::map<std::string, std::string> files{
      {"proc/self/cgroup", "12:cpuset:/grp\n4:cpu,cpuacct:/grp\n1:name=systemd:/grp\n"},
      {"proc/self/mountinfo", kV1Mounts},
      {"sys/fs/cgroup/cpuset/grp/cpu.cfs_quota_us", "100000\n"},  // decoy
      {"sys/fs/cgroup/cpuset/grp/cpu.cfs_period_us", "100000\n"}};
  for (const auto& [name, content] : cpu_files) files["sys/fs/cgroup/cpu,cpuacct/grp/" + name] = content;
  return FakeRoot(files);
}

std::uint64_t affinity_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

}  // namespace

TEST(CgroupLimit, Version2) {
  EXPECT_EQ(v2_tree("150000 100000\n").limit(), 2u);
  EXPECT_EQ(v2_tree("50000 100000\n").limit(), 1u);
  EXPECT_EQ(v2_tree("800000 100000").limit(), 8u);
  EXPECT_EQ(v2_tree("max 100000\n").limit(), std::nullopt);
  EXPECT_EQ(v2_tree("150000 0\n").limit(), std::nullopt);
  EXPECT_EQ(v2_tree("0 100000\n").limit(), std::nullopt);
  EXPECT_EQ(v2_tree("lots 100000\n").limit(), std::nullopt);
  EXPECT_EQ(v2_tree("150000\n").limit(), std::nullopt);
}

TEST(CgroupLimit, Version1) {
  auto limit = [](const char* quota, const char* period) {
    std::map<std::string, std::string> files{{"cpu.cfs_quota_us", quota}};
    if (period) files["cpu.cfs_period_us"] = period;
    return v1_tree(files).limit();
  };
  EXPECT_EQ(limit("150000\n", "100000\n"), 2u);
  EXPECT_EQ(limit("300000\n", "100000\n"), 3u);
  EXPECT_EQ(limit("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(limit("150000\n", "0\n"), std::nullopt);
  EXPECT_EQ(limit("150000\n", nullptr), std::nullopt);
  EXPECT_EQ(limit("1.5e5\n", "100000\n"), std::nullopt);
}

TEST(CgroupLimit, ContainerSeesItsCgroupAtTheMountPoint) {
  FakeRoot v2({{"proc/self/cgroup", "0::/system.slice/docker-1234.scope\n"},
               {"proc/self/mountinfo", kV2Mount},
               {"sys/fs/cgroup/cpu.max", "250000 100000\n"}});
  EXPECT_EQ(v2.limit(), 3u);
  FakeRoot v1({{"proc/self/cgroup", "4:cpu,cpuacct:/docker/1234\n"},
               {"proc/self/mountinfo", kV1Mounts},
               {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "100000\n"},
               {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}});
  EXPECT_EQ(v1.limit(), 1u);
}

TEST(CgroupLimit, MountPointWithEscapedSpace) {
  FakeRoot root({{"proc/self/cgroup", "0::/\n"},
                 {"proc/self/mountinfo",
                  "35 24 0:30 / /cg\\040root rw shared:9 - cgroup2 cgroup2 rw\n"},
                 {"cg root/cpu.max", "100000 100000\n"}});
  EXPECT_EQ(root.limit(), 1u);
}

TEST(CgroupLimit, NothingUsable) {
  EXPECT_EQ(FakeRoot({}).limit(), std::nullopt);
  // A cgroup line without a matching mount.
  EXPECT_EQ(FakeRoot({{"proc/self/cgroup", "0::/a\n"},
                      {"proc/self/mountinfo", kV1Mounts},
                      {"sys/fs/cgroup/a/cpu.max", "100000 100000\n"}})
                .limit(),
            std::nullopt);
  // Only a cpuset hierarchy: "cpuset" is not "cpu".
  EXPECT_EQ(FakeRoot({{"proc/self/cgroup", "12:cpuset:/grp\n"},
                      {"proc/self/mountinfo", kV1Mounts},
                      {"sys/fs/cgroup/cpuset/grp/cpu.cfs_quota_us", "100000\n"},
                      {"sys/fs/cgroup/cpuset/grp/cpu.cfs_period_us", "100000\n"}})
                .limit(),
            std::nullopt);
  EXPECT_EQ(zb::cgroup_cpu_limit("/nonexistent/zoltra"), std::nullopt);
}

TEST(ProcessorCount, AffinityLoweredToQuota) {
  const std::uint64_t affinity = affinity_count();
  ASSERT_GE(affinity, 1u);
  EXPECT_EQ(zb::compute_processor_count(FakeRoot({}).path()), affinity);
  EXPECT_EQ(zb::compute_processor_count(v2_tree("50000 100000").path()), 1u);
  EXPECT_EQ(zb::compute_processor_count(v2_tree("150000 100000").path()), std::min<std::uint64_t>(affinity, 2));
  EXPECT_EQ(zb::compute_processor_count(v2_tree("100000000 100000").path()), affinity);
  EXPECT_EQ(zb::compute_processor_count(v2_tree("max 100000").path()), affinity);
  const std::uint64_t cached = zb::processor_count();
  EXPECT_GE(cached, 1u);
  EXPECT_LE(cached, affinity);
  EXPECT_EQ(zb::processor_count(), cached);
}
