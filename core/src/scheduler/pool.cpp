#include "scheduler/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "backend/processor_count.hpp"
#include "common/decimal.hpp"
#include "common/panic.hpp"

namespace zoltra::scheduler {

namespace {

constinit thread_local bool tls_on_pool_thread = false;

// The thread-count variables share the arena size's grammar.
bool parse_thread_count(const char* text, std::size_t& out) noexcept {
  if (text == nullptr) return false;
  const std::optional<std::uint64_t> value = parse_unsigned_decimal(text);
  if (!value) return false;
  out = static_cast<std::size_t>(*value);
  return true;
}

// One submission, on the submitting thread's stack. Chunks are claimed one
// index at a time, which is the recursive halving carried all the way down to
// single chunks; the callers store results by chunk index, so the claiming
// order never shows.
struct Job {
  Job(ChunkFn fn, std::size_t count) noexcept : body(fn), chunks(count), unfinished(count) {}
  ChunkFn body;
  std::size_t chunks;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> unfinished;
  std::atomic<std::uint32_t> all_done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;  // written only by the thread that set `failed`
};

// Hand-off is through atomics with wait/notify (futexes), so a submission
// costs a wake-up and no lock. The job lives on the submitter's stack: a
// worker announces itself in `inside_` before it looks at `current_`, and the
// submitter, after clearing `current_`, waits until `inside_` is 0, so no
// worker can still hold the job when it goes away.
class Pool {
 public:
  explicit Pool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) {
      try {
        std::thread([this] { worker_loop(); }).detach();
      } catch (const std::system_error&) {
        break;  // keep the threads the system let us have
      }
      ++threads_;
    }
  }

  std::size_t size() const noexcept { return threads_; }

  void run(std::size_t chunks, ChunkFn body) {
    std::lock_guard submit(submit_mutex_);  // one job at a time
    Job job(body, chunks);
    current_.store(&job);
    generation_.fetch_add(1);
    if (sleepers_.load() != 0) generation_.notify_all();
    job.all_done.wait(0);
    current_.store(nullptr);
    for (std::uint32_t n; (n = inside_.load()) != 0;) inside_.wait(n);
    if (job.failed.load()) std::rethrow_exception(job.first_error);
  }

 private:
  void worker_loop() {
    tls_on_pool_thread = true;
    std::uint32_t seen = 0;
    for (;;) {
      if (generation_.load() == seen) {
        // Stay awake a little: parallel calls tend to come in runs, and a
        // futex wake-up costs several microseconds.
        spin_until([&] { return generation_.load() != seen; }, kWorkerSpin);
      }
      const std::uint32_t generation = generation_.load();
      if (generation == seen) {
        sleepers_.fetch_add(1);
        if (generation_.load() == seen) generation_.wait(seen);
        sleepers_.fetch_sub(1);
        continue;
      }
      seen = generation;
      inside_.fetch_add(1);
      if (Job* job = current_.load()) work_on(*job);
      if (inside_.fetch_sub(1) == 1) inside_.notify_all();
    }
  }

  static void work_on(Job& job) {
    for (;;) {
      const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
      if (i >= job.chunks) return;
      try {
        job.body(i);
      } catch (...) {
        if (!job.failed.exchange(true)) job.first_error = std::current_exception();
      }
      if (job.unfinished.fetch_sub(1) == 1) {
        job.all_done.store(1);
        job.all_done.notify_one();
      }
    }
  }

  // Polls `ready` for up to `budget`, yielding the processor between polls:
  // with as many workers as processors, a worker that busy-waited would take
  // the processor from the Python thread that is about to submit the next job.
  template <class Ready>
  static void spin_until(Ready ready, std::chrono::nanoseconds budget) {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    for (unsigned i = 1;; ++i) {
      if (ready()) return;
      sched_yield();
      if (i % 8 == 0 && std::chrono::steady_clock::now() >= deadline) return;
    }
  }

  // How long an idle worker keeps polling before it sleeps. Measured on two
  // processors: a 126^3 product went from 29 to 23 us, back to back.
  static constexpr std::chrono::nanoseconds kWorkerSpin = std::chrono::microseconds(50);

  std::size_t threads_ = 0;
  std::atomic<std::uint32_t> sleepers_{0};
  std::mutex submit_mutex_;
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<Job*> current_{nullptr};
  std::atomic<std::uint32_t> inside_{0};
};

// The pool is created under create_mutex, which the fork handlers hold across
// fork(), so a child never inherits a half-built pool. A child has none of
// the parent's threads: it drops the inherited pool (leaked and never touched,
// since its state may be mid-job) and builds its own on first use.
std::atomic<Pool*> g_pool{nullptr};
std::mutex create_mutex;
bool fork_handlers_installed = false;  // guarded by create_mutex

void before_fork() noexcept { create_mutex.lock(); }
void after_fork_in_parent() noexcept { create_mutex.unlock(); }
void after_fork_in_child() noexcept {
  g_pool.store(nullptr, std::memory_order_relaxed);
  create_mutex.unlock();
}

Pool& pool() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  std::lock_guard lock(create_mutex);
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
  if (!fork_handlers_installed) {
    if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) {
      throw Panic("cannot install the worker pool's fork handlers");
    }
    fork_handlers_installed = true;
  }
  auto* created = new Pool(pool_thread_count());
  if (created->size() == 0) {
    delete created;  // no thread ever saw it
    throw Panic("cannot start any worker thread");
  }
  g_pool.store(created, std::memory_order_release);
  return *created;
}

}  // namespace

std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t fallback) noexcept {
  if (fallback == 0) fallback = 1;
  std::size_t n = 0;
  if (parse_thread_count(rayon_num_threads, n)) return n > 0 ? n : fallback;
  if (parse_thread_count(rayon_rs_num_cpus, n) && n > 0) return n;
  return fallback;
}

std::size_t pool_thread_count() {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p->size();
  return thread_count_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               static_cast<std::size_t>(backend::processor_count()));
}

bool on_pool_thread() noexcept { return tls_on_pool_thread; }

void run_chunks(std::size_t chunks, ChunkFn body) {
  // A pool thread waiting for its own pool could wait forever.
  if (tls_on_pool_thread) throw Panic("parallel work submitted from a worker pool thread");
  if (chunks == 0) return;
  pool().run(chunks, body);
}

}  // namespace zoltra::scheduler
