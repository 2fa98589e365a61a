#include "scheduler/arena.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <thread>

#include "common/panic.hpp"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define ZOLTRA_SANITIZED 1
// Sanitizer allocators abort on an impossible size by default; the arena
// relies on calloc failing softly.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace zs = zoltra::scheduler;

namespace {

constexpr std::uint64_t kMiB = 1'048'576;

// Size of the arena a fresh thread gets under the given ZOLTRA_ARENA_SIZE
// (nullptr: unset).
std::uint64_t fresh_thread_arena_size(const char* value) {
  if (value) setenv("ZOLTRA_ARENA_SIZE", value, 1);
  else unsetenv("ZOLTRA_ARENA_SIZE");
  std::uint64_t size = 0;
  std::thread([&] { zs::with_arena([&](zs::ThreadArena& a) { size = a.size(); }); }).join();
  unsetenv("ZOLTRA_ARENA_SIZE");
  return size;
}

}  // namespace

TEST(ArenaSize, MalformedOrOutOfRangeFallsBackToDefault) {
  for (const char* text : {"", " 4096", "4096 ", "4k", "0x1000", "-1", "+", "++1", "1_000",
                           "18446744073709551616"}) {
    EXPECT_FALSE(zs::parse_arena_size(text).has_value()) << '"' << text << '"';
  }
  EXPECT_EQ(fresh_thread_arena_size(nullptr), kMiB);
  EXPECT_EQ(fresh_thread_arena_size("4k"), kMiB);
}

TEST(ArenaSize, AcceptedForms) {
  EXPECT_EQ(zs::parse_arena_size("+4096"), 4096u);
  EXPECT_EQ(zs::parse_arena_size("0004096"), 4096u);
  EXPECT_EQ(zs::parse_arena_size("0"), 0u);
  EXPECT_EQ(zs::parse_arena_size("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(fresh_thread_arena_size("+4096"), 4096u);
  EXPECT_EQ(fresh_thread_arena_size("0"), 0u);
}

TEST(ArenaAlloc, FillsExactlyAndRefusesOneMore) {
  auto arena = zs::ThreadArena::with_size(kMiB);
  ASSERT_EQ(arena.size(), kMiB);
  EXPECT_EQ(arena.alloc_f32(kMiB / 4 + 1), nullptr);
  EXPECT_EQ(arena.offset(), 0u);
  float* room = arena.alloc_f32(kMiB / 4);
  ASSERT_EQ(reinterpret_cast<const std::byte*>(room), arena.data());
  EXPECT_EQ(arena.offset(), kMiB);
  EXPECT_EQ(arena.alloc_f32(1), nullptr);
  EXPECT_NE(arena.alloc_f32(0), nullptr);  // zero floats fit at the very end
  EXPECT_EQ(arena.offset(), kMiB);
}

TEST(ArenaAlloc, ConsecutiveRoomsZeroFillAndReset) {
  auto arena = zs::ThreadArena::with_size(64);
  for (std::uint64_t i = 0; i < 64; ++i) ASSERT_EQ(arena.data()[i], std::byte{0});
  float* a = arena.alloc_f32(3);
  float* b = arena.alloc_f32(2);
  EXPECT_EQ(reinterpret_cast<const std::byte*>(a), arena.data());
  EXPECT_EQ(b, a + 3);
  EXPECT_EQ(arena.offset(), 20u);
  b[0] = 7.0f;
  arena.reset();
  EXPECT_EQ(arena.offset(), 0u);
  EXPECT_EQ(arena.alloc_f32(4)[3], 7.0f);  // reset does not clear the bytes
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  for (std::uint64_t count : {kMax, kMax / 4, kMax / 4 + 1}) {  // no wrap-around
    EXPECT_EQ(arena.alloc_f32(count), nullptr) << count;
  }
  EXPECT_EQ(arena.offset(), 16u);
}

TEST(ArenaAlloc, ZeroSizeArena) {
  auto arena = zs::ThreadArena::with_size(0);
  EXPECT_EQ(arena.data(), nullptr);
  EXPECT_NE(arena.alloc_f32(0), nullptr);
  EXPECT_EQ(arena.alloc_f32(1), nullptr);
}

TEST(ArenaScope, ResetAfterEveryScopeAlsoOnThrow) {
  int got = zs::with_arena([](zs::ThreadArena& a) {
    EXPECT_EQ(a.offset(), 0u);
    a.alloc_f32(5);
    return 42;
  });
  EXPECT_EQ(got, 42);
  EXPECT_THROW(zs::with_arena([](zs::ThreadArena& a) {
                 a.alloc_f32(3);
                 throw std::runtime_error("kernel failed");
               }),
               std::runtime_error);
  zs::with_arena([](zs::ThreadArena& a) { EXPECT_EQ(a.offset(), 0u); });
}

TEST(ArenaScope, NestedUseOnSameThreadIsRefused) {
  zs::with_arena([](zs::ThreadArena& outer) {
    float* room = outer.alloc_f32(2);
    EXPECT_THROW(zs::with_arena([](zs::ThreadArena&) {}), zoltra::Panic);
    // The refused attempt leaves the outer scope's arena as it was.
    EXPECT_EQ(outer.offset(), 8u);
    EXPECT_EQ(outer.alloc_f32(1), room + 2);
  });
  // ...and the arena is free again afterwards.
  EXPECT_NO_THROW(zs::with_arena([](zs::ThreadArena&) {}));
}

TEST(ArenaScope, EachThreadHasItsOwnArena) {
  zs::with_arena([](zs::ThreadArena& mine) {
    const std::byte* other_data = nullptr;
    bool entered = false;
    std::thread([&] {
      zs::with_arena([&](zs::ThreadArena& theirs) {
        entered = true;
        other_data = theirs.data();
      });
    }).join();
    EXPECT_TRUE(entered);
    EXPECT_NE(other_data, mine.data());
  });
}

TEST(ArenaScope, SizeIsFixedWhenTheThreadFirstUsesIt) {
  std::thread([] {
    setenv("ZOLTRA_ARENA_SIZE", "256", 1);
    zs::with_arena([](zs::ThreadArena& a) { EXPECT_EQ(a.size(), 256u); });
    setenv("ZOLTRA_ARENA_SIZE", "512", 1);
    zs::with_arena([](zs::ThreadArena& a) { EXPECT_EQ(a.size(), 256u); });
    std::thread([] {
      zs::with_arena([](zs::ThreadArena& a) { EXPECT_EQ(a.size(), 512u); });
    }).join();
    unsetenv("ZOLTRA_ARENA_SIZE");
  }).join();
}

// A size the process cannot get leaves the operation able to run, without
// scratch space.
bool runs_without_scratch_under(const char* size, std::uint64_t address_space_limit) {
  if (address_space_limit != 0) {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = address_space_limit;
    setrlimit(RLIMIT_AS, &limit);
  }
  setenv("ZOLTRA_ARENA_SIZE", size, 1);
  return zs::with_arena([](zs::ThreadArena& a) { return a.size() == 0 && a.alloc_f32(1) == nullptr; });
}

TEST(ArenaScopeDeathTest, UnobtainableSizeGivesZeroSizeArena) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(runs_without_scratch_under("9223372036854775808", 0) ? 0 : 1),  // 2^63
              testing::ExitedWithCode(0), "");
#ifndef ZOLTRA_SANITIZED  // sanitizers need far more address space than this
  EXPECT_EXIT(std::exit(runs_without_scratch_under("4294967296", std::uint64_t{1} << 30) ? 0 : 1),
              testing::ExitedWithCode(0), "");
#endif
}
