#include "backend/cache_geometry.hpp"

#include <fstream>
#include <string>

namespace zoltra::backend {
namespace {

constexpr std::uint32_t kDataCache = 1, kUnifiedCache = 3;

std::size_t leaf_bytes(const CacheLeaf& leaf) noexcept {
  const std::size_t ways = ((leaf.ebx >> 22) & 0x3FFu) + 1;
  const std::size_t partitions = ((leaf.ebx >> 12) & 0x3FFu) + 1;
  const std::size_t line = (leaf.ebx & 0xFFFu) + 1;
  const std::size_t sets = std::size_t{leaf.ecx} + 1;
  return ways * partitions * line * sets;
}

// Sizes such as "32K", "512K", "32768K" or "2M"; 0 when unreadable.
std::size_t parse_size(const std::string& text) noexcept {
  std::size_t value = 0, i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
  if (i == 0) return 0;
  if (i < text.size() && text[i] == 'K') return value * 1024;
  if (i < text.size() && text[i] == 'M') return value * 1024 * 1024;
  return value;
}

std::string read_word(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  in >> word;
  return word;
}

// The kernel's description of cpu0's caches; sizes it does not give stay 0.
CacheGeometry sysfs_geometry() {
  CacheGeometry g{0, 0, 0};
  for (int index = 0; index < 16; ++index) {
    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
    const std::string level = read_word(dir + "level");
    if (level.empty()) break;
    const std::string type = read_word(dir + "type");
    const std::size_t bytes = parse_size(read_word(dir + "size"));
    if (type == "Instruction" || bytes == 0) continue;
    if (level == "1" && type == "Data") g.l1d_bytes = bytes;
    if (level == "2") g.l2_bytes = bytes;
    if (level >= "2" && bytes > g.llc_bytes) g.llc_bytes = bytes;
  }
  return g;
}

CacheGeometry detect() {
  CacheLeaf leaves[16];
  const std::size_t count = read_cache_leaves(leaves);
  if (count > 0) return geometry_from_cache_leaves(leaves, count);
  const CacheGeometry sys = sysfs_geometry();
  CacheGeometry g = kFallbackCacheGeometry;
  if (sys.l1d_bytes != 0) g.l1d_bytes = sys.l1d_bytes;
  if (sys.l2_bytes != 0) g.l2_bytes = sys.l2_bytes;
  if (sys.llc_bytes != 0) g.llc_bytes = sys.llc_bytes;
  return g;
}

}  // namespace

CacheGeometry geometry_from_cache_leaves(const CacheLeaf* leaves, std::size_t count) noexcept {
  CacheGeometry g{0, 0, 0};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t type = leaves[i].eax & 0x1Fu;
    if (type == 0) break;
    const std::uint32_t level = (leaves[i].eax >> 5) & 0x7u;
    const std::size_t bytes = leaf_bytes(leaves[i]);
    if (type != kDataCache && type != kUnifiedCache) continue;
    if (level == 1) g.l1d_bytes = bytes;
    if (level == 2) g.l2_bytes = bytes;
    if (level >= 2 && bytes > g.llc_bytes) g.llc_bytes = bytes;
  }
  if (g.l1d_bytes == 0) g.l1d_bytes = kFallbackCacheGeometry.l1d_bytes;
  if (g.l2_bytes == 0) g.l2_bytes = kFallbackCacheGeometry.l2_bytes;
  if (g.llc_bytes == 0) g.llc_bytes = kFallbackCacheGeometry.llc_bytes;
  return g;
}

const CacheGeometry& cache_geometry() {
  static const CacheGeometry geometry = [] {
    try {
      return detect();
    } catch (...) {  // the kernel's files could not be read
      return kFallbackCacheGeometry;
    }
  }();
  return geometry;
}

}  // namespace zoltra::backend
