#pragma once
// The process-wide worker pool. Work is an indexed sequence of chunks; the
// submitting thread (never a pool thread) runs chunks itself alongside the
// pool threads and returns when every chunk has run.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace zoltra::scheduler {

// A non-owning reference to a callable void(std::size_t chunk_index).
class ChunkFn {
 public:
  ChunkFn() noexcept = default;  // refers to nothing; must be assigned before it is called
  // Copying a ChunkFn must copy the reference, not wrap the ChunkFn itself.
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, ChunkFn>)
  ChunkFn(F& f) noexcept  // NOLINT: implicit on purpose
      : object_(&f), call_([](void* o, std::size_t i) { (*static_cast<F*>(o))(i); }) {}
  void operator()(std::size_t i) const { call_(object_, i); }

 private:
  void* object_ = nullptr;
  void (*call_)(void*, std::size_t) = nullptr;
};

// Runs body(i) once for every i in [0, chunks) on pool threads and the
// calling thread, and returns when all have finished. Creates the pool on
// first use (and anew in a forked child). If no pool thread can be started the
// calling thread runs every chunk, and later calls try to start them again.
// An exception thrown by a chunk is rethrown here after all chunks end.
// Chunks use with_chunk_arena for scratch memory, never the caller's ARENA.
void run_chunks(std::size_t chunks, ChunkFn body);

// Pool threads beyond this are never started, whatever the environment asks.
// Jobs have at most P chunks and the submitting thread runs one of them, so
// threads past P never get work; the floor keeps small explicit
// over-subscription (for instance 4 threads on 2 processors) as asked, while
// values like 100000 would only fill the process table and the address space
// with idle stacks.
inline constexpr std::uint64_t kPoolThreadFloor = 16;
std::size_t pool_thread_bound(std::uint64_t processors) noexcept;

// Pool threads for the environment's values (nullptr when unset) and the
// processor count P: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, each up to
// pool_thread_bound(P); by default P - 1, the calling thread being the last
// worker. Exposed so tests can feed it any environment.
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::uint64_t processors) noexcept;

// The pool's thread count for this process's environment.
std::size_t pool_thread_count();

// True on a pool thread.
bool on_pool_thread() noexcept;

namespace detail {
// run_chunks on a pool of its own that has no thread, the calling thread being
// its last and only worker: the pool of a process with one processor, or one
// whose threads could not start (tests only).
void run_chunks_without_pool_threads(std::size_t chunks, ChunkFn body);
}  // namespace detail

// Combines per-chunk values over a fixed tree of chunk indices: a run of q
// chunks splits into the first floor(q/2) and the rest, combined left + right.
// The result depends only on the values, never on timing or pool size.
template <class T, class Combine>
T combine_fixed_tree(const T* values, std::size_t count, Combine combine) {
  if (count == 1) return values[0];
  std::size_t left = count / 2;
  return combine(combine_fixed_tree(values, left, combine),
                 combine_fixed_tree(values + left, count - left, combine));
}

}  // namespace zoltra::scheduler
