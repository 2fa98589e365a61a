#pragma once
// The process-wide worker pool. Work is an indexed sequence of chunks; the
// submitting thread (never a pool thread) blocks until every chunk has run.
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace zoltra::scheduler {

// A non-owning reference to a callable void(std::size_t chunk_index).
class ChunkFn {
 public:
  // Copying a ChunkFn must copy the reference, not wrap the ChunkFn itself.
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, ChunkFn>)
  ChunkFn(F& f) noexcept  // NOLINT: implicit on purpose
      : object_(&f), call_([](void* o, std::size_t i) { (*static_cast<F*>(o))(i); }) {}
  void operator()(std::size_t i) const { call_(object_, i); }

 private:
  void* object_;
  void (*call_)(void*, std::size_t);
};

// Runs body(i) once for every i in [0, chunks) on pool threads and returns
// when all have finished. Creates the pool on first use (and anew in a forked
// child). An exception thrown by a chunk is rethrown here after all chunks end.
void run_chunks(std::size_t chunks, ChunkFn body);

// Threads the pool has or will have: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS,
// then the processor count.
std::size_t pool_thread_count();

// Thread count from the two variables' values (nullptr when unset) and the
// fallback; exposed so tests can feed it any environment.
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::size_t fallback) noexcept;

// True on a pool thread.
bool on_pool_thread() noexcept;

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
