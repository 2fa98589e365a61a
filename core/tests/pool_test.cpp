#include "scheduler/pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/panic.hpp"

#if defined(__SANITIZE_THREAD__)
// The fork tests start threads in a child of a multi-threaded process, which
// is exactly what they are about.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace zs = zoltra::scheduler;

namespace {

// Runs `child` in a forked process, which exits with its result (0 = pass);
// a hang is ended by SIGALRM and counts as a failure.
template <class F>
int in_child(F child, unsigned timeout_seconds = 20) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(timeout_seconds);
    _exit(child());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Chunk body that waits until `expected` chunks are running at once.
struct Rendezvous {
  std::size_t expected;
  std::atomic<std::size_t> arrived{0};
  std::atomic<bool> all_met{true};
  void operator()(std::size_t) {
    arrived.fetch_add(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived.load() < expected) {
      if (std::chrono::steady_clock::now() > deadline) {
        all_met = false;
        return;
      }
      std::this_thread::yield();
    }
  }
};

}  // namespace

TEST(Pool, EveryChunkRunsExactlyOnceOnAPoolThreadOrTheCaller) {
  EXPECT_FALSE(zs::on_pool_thread());
  const std::thread::id caller = std::this_thread::get_id();
  for (std::size_t chunks : {1u, 2u, 3u, 7u, 64u, 1000u, 70000u}) {
    auto runs = std::make_unique<std::atomic<int>[]>(chunks);
    std::atomic<int> elsewhere{0};
    auto body = [&](std::size_t i) {
      if (!zs::on_pool_thread() && std::this_thread::get_id() != caller) elsewhere.fetch_add(1);
      // A slow last chunk: the caller must still be waiting when it ends.
      if (i == chunks - 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      runs[i].fetch_add(1);
    };
    zs::run_chunks(chunks, body);
    EXPECT_EQ(elsewhere.load(), 0);
    for (std::size_t i = 0; i < chunks; ++i) ASSERT_EQ(runs[i].load(), 1) << i << " of " << chunks;
  }
  int calls = 0;
  auto never = [&](std::size_t) { ++calls; };
  zs::run_chunks(0, never);
  EXPECT_EQ(calls, 0);
}

TEST(Pool, WithoutThreadsTheCallerRunsEveryChunkOnceInOrder) {
  // More chunks than one batch holds, so the later batches must keep their offset.
  constexpr std::size_t kChunks = 70000;
  std::vector<std::size_t> order;
  auto body = [&](std::size_t i) {
    EXPECT_FALSE(zs::on_pool_thread());
    order.push_back(i);
  };
  zs::detail::run_chunks_without_pool_threads(kChunks, body);
  ASSERT_EQ(order.size(), kChunks);
  for (std::size_t i = 0; i < kChunks; ++i) ASSERT_EQ(order[i], i);
}

TEST(Pool, ChunksRunInParallelOnAllThreadsAndTheCaller) {
  const std::size_t threads = zs::pool_thread_count() + 1;
  Rendezvous meet{threads};
  zs::run_chunks(threads, meet);
  EXPECT_TRUE(meet.all_met) << "fewer than " << threads << " chunks ran at once";
}

TEST(Pool, FirstExceptionReachesTheCallerAfterAllChunks) {
  std::atomic<int> done{0};
  auto body = [&](std::size_t i) {
    if (i == 3 || i == 5) throw zoltra::Panic("chunk " + std::to_string(i) + " failed");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    done.fetch_add(1);
  };
  try {
    zs::run_chunks(40, body);
    ADD_FAILURE() << "no exception";
  } catch (const zoltra::Panic& e) {
    const std::string what = e.what();
    EXPECT_TRUE(what == "chunk 3 failed" || what == "chunk 5 failed") << what;
  }
  EXPECT_EQ(done.load(), 38);
  // The pool is still usable afterwards.
  std::atomic<int> after{0};
  auto count = [&](std::size_t) { after.fetch_add(1); };
  zs::run_chunks(10, count);
  EXPECT_EQ(after.load(), 10);
}

TEST(Pool, SubmittingFromInsideAChunkIsRefused) {
  auto nested = [](std::size_t) {
    auto inner = [](std::size_t) {};
    zs::run_chunks(2, inner);
  };
  EXPECT_THROW(zs::run_chunks(3, nested), zoltra::Panic);
}

TEST(Pool, ConcurrentSubmittersEachGetTheirOwnResults) {
  constexpr int kSubmitters = 4;
  constexpr std::size_t kChunks = 50;
  constexpr int kRounds = 50;
  std::vector<std::thread> submitters;
  std::vector<std::vector<std::size_t>> results(kSubmitters, std::vector<std::size_t>(kChunks));
  // Every round starts on all submitters at once, so their jobs meet in the pool.
  std::barrier round_start(kSubmitters);
  for (int s = 0; s < kSubmitters; ++s) {
    submitters.emplace_back([&, s] {
      for (int round = 0; round < kRounds; ++round) {
        auto body = [&](std::size_t i) {
          // Long enough for the other submitters to reach the pool meanwhile.
          const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(2);
          while (std::chrono::steady_clock::now() < until) {
          }
          results[s][i] += i * (s + 1);
        };
        round_start.arrive_and_wait();
        zs::run_chunks(kChunks, body);
      }
    });
  }
  for (auto& t : submitters) t.join();
  for (int s = 0; s < kSubmitters; ++s) {
    for (std::size_t i = 0; i < kChunks; ++i) ASSERT_EQ(results[s][i], kRounds * i * (s + 1));
  }
}

// Jobs of milliseconds outlast the spin of a submitter waiting for its turn,
// so each waiter sleeps and must be woken when its turn comes; a job then
// runs alone (no chunk of another job meets it) and every chunk once. A
// waiter never woken hangs, which the child's alarm turns into a failure.
TEST(Pool, SubmittersAsleepForTheirTurnRunOneJobAtATime) {
  EXPECT_EQ(in_child([] {
              constexpr int kSubmitters = 3, kRounds = 4;
              constexpr std::size_t kChunks = 3;
              std::atomic<int> running[kSubmitters] = {}, ran[kSubmitters] = {};
              std::atomic<bool> alone{true};
              auto others_idle = [&](int s) {
                for (int o = 0; o < kSubmitters; ++o)
                  if (o != s && running[o].load() != 0) return false;
                return true;
              };
              std::vector<std::thread> submitters;
              for (int s = 0; s < kSubmitters; ++s) {
                submitters.emplace_back([&, s] {
                  auto body = [&](std::size_t) {
                    running[s].fetch_add(1);
                    if (!others_idle(s)) alone = false;
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    if (!others_idle(s)) alone = false;
                    ran[s].fetch_add(1);
                    running[s].fetch_sub(1);
                  };
                  for (int round = 0; round < kRounds; ++round) zs::run_chunks(kChunks, body);
                });
              }
              for (auto& t : submitters) t.join();
              for (const auto& r : ran)
                if (r.load() != static_cast<int>(kRounds * kChunks)) return 2;
              return alone.load() ? 0 : 3;
            }),
            0);
}

TEST(Pool, ThreadCountFromEnvironment) {
  // By default the caller is the last of P workers.
  EXPECT_EQ(zs::thread_count_from_env(nullptr, nullptr, 6), 5u);
  EXPECT_EQ(zs::thread_count_from_env(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(zs::thread_count_from_env("3", "5", 6), 3u);
  EXPECT_EQ(zs::thread_count_from_env("+003", nullptr, 6), 3u);
  // 0 means the default and does not ask the second variable.
  EXPECT_EQ(zs::thread_count_from_env("0", "5", 6), 5u);
  // Unparsable: the second variable decides.
  for (const char* bad : {"", "+", "-1", " 3", "3x", "99999999999999999999999"}) {
    EXPECT_EQ(zs::thread_count_from_env(bad, "5", 6), 5u) << '"' << bad << '"';
    EXPECT_EQ(zs::thread_count_from_env(nullptr, bad, 6), 5u) << '"' << bad << '"';
  }
  EXPECT_EQ(zs::thread_count_from_env(nullptr, "0", 6), 5u);
  // Clamped to the bound: max(P, 16).
  EXPECT_EQ(zs::thread_count_from_env("16", nullptr, 2), 16u);
  EXPECT_EQ(zs::thread_count_from_env("100000", nullptr, 2), 16u);
  EXPECT_EQ(zs::thread_count_from_env("18446744073709551615", nullptr, 2), 16u);
  EXPECT_EQ(zs::thread_count_from_env(nullptr, "100000", 64), 64u);
}

TEST(Pool, CopiedChunkFnRefersToTheSameCallable) {
  int first = 0, second = 0;
  auto f1 = [&](std::size_t) { ++first; };
  auto f2 = [&](std::size_t) { ++second; };
  zs::ChunkFn a = f1;
  zs::ChunkFn b = a;
  a = zs::ChunkFn(f2);
  b(0);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
}

TEST(PoolFork, ChildOfAProcessThatUsedThePoolGetsAWorkingPool) {
  std::atomic<int> warm{0};
  auto warm_up = [&](std::size_t) { warm.fetch_add(1); };
  zs::run_chunks(4, warm_up);  // the parent's pool exists and has threads
  ASSERT_EQ(warm.load(), 4);
  int rc = in_child([] {
    std::atomic<int> ran{0};
    auto body = [&](std::size_t) { ran.fetch_add(1); };
    zs::run_chunks(16, body);
    zs::run_chunks(16, body);
    return ran.load() == 32 ? 0 : 1;
  });
  EXPECT_EQ(rc, 0) << "1014 means the child's parallel call hung";
  // The parent's pool is unaffected.
  zs::run_chunks(4, warm_up);
  EXPECT_EQ(warm.load(), 8);
}
