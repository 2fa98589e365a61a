#include "scheduler/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "backend/processor_count.hpp"
#include "common/cpu_hints.hpp"
#include "common/decimal.hpp"
#include "common/panic.hpp"

namespace zoltra::scheduler {

namespace {

constinit thread_local bool tls_on_pool_thread = false;
// Set while a submitting thread is inside run_chunks (and so may be running a chunk).
constinit thread_local bool tls_submitting = false;

// The thread-count variables share the arena size's grammar.
bool parse_thread_count(const char* text, std::size_t& out) noexcept {
  if (text == nullptr) return false;
  const std::optional<std::uint64_t> value = parse_unsigned_decimal(text);
  if (!value) return false;
  out = *value > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(*value);
  return true;
}

// Runs the chunks on the calling thread alone, in index order, with the same
// exception rule as the pool: every chunk runs, then the first error is rethrown.
void run_here(std::size_t first, std::size_t count, ChunkFn body, std::exception_ptr& error) {
  for (std::size_t i = first; i < first + count; ++i) {
    try {
      body(i);
    } catch (...) {
      if (!error) error = std::current_exception();
    }
  }
}

// Polls `ready` for up to `budget`. Between polls it pauses, and every few
// microseconds it also yields: a poller that shares a processor with the
// thread it waits for (the Python thread, or a worker still on its chunk)
// must hand it back at once, while a poller on a processor of its own keeps
// it, since yielding there returns at once.
template <class Ready>
bool spin_until(Ready ready, std::chrono::nanoseconds budget) {
  const auto deadline = std::chrono::steady_clock::now() + budget;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
    spin_pause();
    if (i % 64 == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return ready();
      sched_yield();
    }
  }
}

// The submitting thread is a worker too: it publishes the job, claims chunks
// like any pool thread, and waits only for chunks already running elsewhere.
// So a job needs no pool thread at all (none could be started, or P is 1),
// and the fixed cost of a submission is mostly hidden behind the submitter's
// own first chunk.
//
// A job is claimed through one 64-bit ticket: generation (32 bits), chunk
// count (16) and next unclaimed chunk (16). A worker that wakes late holds a
// stale generation, so its compare-and-swap fails and it never touches the
// next job; the job's other fields are read only after a successful claim,
// and the submitter rewrites them only after every claimed chunk has ended.
class Pool {
 public:
  explicit Pool(std::size_t threads) : target_(threads) {}

  std::size_t size() const noexcept { return started_.load(std::memory_order_relaxed); }

  void run(std::size_t chunks, ChunkFn body) {
    Turn turn(*this);  // one job at a time
    start_missing_threads();
    std::exception_ptr error;
    for (std::size_t first = 0; first < chunks; first += kMaxBatch) {
      run_batch(first, std::min(kMaxBatch, chunks - first), body, error);
    }
    if (error) std::rethrow_exception(error);
  }

 private:
  static constexpr std::size_t kMaxBatch = 0xffff;

  // Submitters take turns in the order they arrive, each job using the whole
  // pool: jobs are cut for P processors, so two at once would only share
  // them. A mutex would not do: a thread that submits back to back takes it
  // again before a sleeping waiter wakes, and can keep it for as long as it
  // goes on. A turn costs what a mutex does, one atomic operation to take and
  // one to give back.
  class Turn {
   public:
    explicit Turn(Pool& pool) : pool_(pool) {
      const std::uint32_t mine = pool_.next_turn_.fetch_add(1);
      if (pool_.serving_.load() == mine) return;
      if (spin_until([&] { return pool_.serving_.load(std::memory_order_acquire) == mine; }, kSpin)) return;
      for (std::uint32_t now; (now = pool_.serving_.load()) != mine;) pool_.serving_.wait(now);
    }
    ~Turn() {
      // Both orders are sequentially consistent: either the next submitter's
      // number is seen here, or that submitter sees the new turn before it waits.
      const std::uint32_t next = pool_.serving_.fetch_add(1) + 1;
      if (pool_.next_turn_.load() != next) pool_.serving_.notify_all();
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    Pool& pool_;
  };

  static std::uint64_t ticket(std::uint32_t generation, std::uint64_t count, std::uint64_t next) noexcept {
    return std::uint64_t{generation} << 32 | count << 16 | next;
  }

  // Threads that could not start before (a process or memory limit since
  // lifted) are tried again on every submission; a failure costs one refused
  // system call, and the submitter does the work meanwhile.
  void start_missing_threads() noexcept {
    for (std::size_t i = size(); i < target_; ++i) {
      try {
        std::thread([this] { worker_loop(); }).detach();
      } catch (...) {
        return;
      }
      started_.fetch_add(1, std::memory_order_relaxed);
    }
  }

  void run_batch(std::size_t first, std::size_t count, ChunkFn body, std::exception_ptr& error) {
    if (size() == 0) return run_here(first, count, body, error);
    body_ = body;
    first_ = first;
    first_error_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    unfinished_.store(count, std::memory_order_relaxed);
    done_.store(0, std::memory_order_relaxed);
    const std::uint32_t generation = ++generation_;
    ticket_.store(ticket(generation, count, 0), std::memory_order_release);
    wake_.store(generation);
    if (sleepers_.load() != 0) wake_.notify_all();
    claim_and_run(generation);
    if (!done_.load(std::memory_order_acquire) &&
        !spin_until([&] { return done_.load(std::memory_order_acquire) != 0; }, kSpin)) {
      caller_asleep_.store(true);
      while (done_.load() == 0) done_.wait(0);
      caller_asleep_.store(false, std::memory_order_relaxed);
    }
    if (failed_.load(std::memory_order_acquire) && !error) error = first_error_;
  }

  void claim_and_run(std::uint32_t generation) {
    std::uint64_t t = ticket_.load(std::memory_order_acquire);
    for (;;) {
      if (static_cast<std::uint32_t>(t >> 32) != generation || (t & 0xffff) >= ((t >> 16) & 0xffff)) return;
      if (!ticket_.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel, std::memory_order_acquire)) continue;
      try {
        body_(first_ + (t & 0xffff));
      } catch (...) {
        if (!failed_.exchange(true, std::memory_order_acq_rel)) first_error_ = std::current_exception();
      }
      if (unfinished_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        done_.store(1);
        if (caller_asleep_.load()) done_.notify_one();
        return;
      }
      t = ticket_.load(std::memory_order_acquire);
    }
  }

  void worker_loop() {
    tls_on_pool_thread = true;
    std::uint32_t seen = 0;
    for (;;) {
      // Stay awake a little: parallel calls tend to come in runs, and waking
      // a sleeping thread costs from several to a hundred microseconds.
      if (!spin_until([&] { return wake_.load(std::memory_order_acquire) != seen; }, kSpin)) {
        sleepers_.fetch_add(1);
        while (wake_.load() == seen) wake_.wait(seen);
        sleepers_.fetch_sub(1);
      }
      seen = wake_.load(std::memory_order_acquire);
      claim_and_run(seen);
    }
  }

  // How long an idle worker, a submitter whose last chunks run elsewhere, or
  // one waiting for its turn, polls before it sleeps.
  static constexpr std::chrono::nanoseconds kSpin = std::chrono::microseconds(50);

  const std::size_t target_;
  std::atomic<std::size_t> started_{0};
  std::atomic<std::uint32_t> next_turn_{0};  // the number the next submitter to arrive takes
  std::atomic<std::uint32_t> serving_{0};    // the number of the submitter whose job runs
  std::uint32_t generation_ = 0;             // written only in a turn

  // The job: written by the submitter before the ticket is published.
  ChunkFn body_;
  std::size_t first_ = 0;
  std::exception_ptr first_error_;  // written only by the thread that set failed_
  std::atomic<bool> failed_{false};
  std::atomic<std::size_t> unfinished_{0};
  std::atomic<std::uint64_t> ticket_{0};

  std::atomic<std::uint32_t> wake_{0};      // the latest generation; idle workers sleep on it
  std::atomic<std::uint32_t> sleepers_{0};  // workers asleep (or about to be) on wake_
  std::atomic<std::uint32_t> done_{0};      // set when the last chunk of a batch ends
  std::atomic<bool> caller_asleep_{false};
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

// nullptr when not even the pool's bookkeeping can be had; the caller then
// runs the job alone and the next job tries again.
Pool* pool() noexcept {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  std::lock_guard lock(create_mutex);
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  if (!fork_handlers_installed) {
    if (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) != 0) return nullptr;
    fork_handlers_installed = true;
  }
  auto* created = new (std::nothrow) Pool(pool_thread_count());
  g_pool.store(created, std::memory_order_release);
  return created;
}

}  // namespace

std::size_t pool_thread_bound(std::uint64_t processors) noexcept {
  return static_cast<std::size_t>(std::max<std::uint64_t>(processors, kPoolThreadFloor));
}

std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::uint64_t processors) noexcept {
  if (processors == 0) processors = 1;
  std::size_t n = 0;
  // RAYON_NUM_THREADS=0 means the default without asking the second variable.
  const bool chosen = parse_thread_count(rayon_num_threads, n) ? n > 0 : parse_thread_count(rayon_rs_num_cpus, n) && n > 0;
  // By default the submitting thread is the last of P workers.
  if (!chosen) return static_cast<std::size_t>(processors - 1);
  return std::min(n, pool_thread_bound(processors));
}

std::size_t pool_thread_count() {
  return thread_count_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               backend::processor_count());
}

bool on_pool_thread() noexcept { return tls_on_pool_thread; }

void run_chunks(std::size_t chunks, ChunkFn body) {
  // A chunk waiting for the pool that runs it could wait forever.
  if (tls_on_pool_thread || tls_submitting) throw Panic("parallel work submitted from inside a chunk");
  if (chunks == 0) return;
  struct Submitting {
    Submitting() noexcept { tls_submitting = true; }
    ~Submitting() { tls_submitting = false; }
  } submitting;
  Pool* p = chunks > 1 ? pool() : nullptr;
  if (p != nullptr) return p->run(chunks, body);
  std::exception_ptr error;
  run_here(0, chunks, body, error);
  if (error) std::rethrow_exception(error);
}

namespace detail {

void run_chunks_without_pool_threads(std::size_t chunks, ChunkFn body) {
  Pool alone(0);
  alone.run(chunks, body);
}

}  // namespace detail
}  // namespace zoltra::scheduler
