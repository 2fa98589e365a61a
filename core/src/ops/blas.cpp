// Loading OpenBLAS on first use.
//
// The library is looked for where the installed package keeps it, relative to
// the shared object that holds this code (found with dladdr), so it works
// whichever module or library the code is linked into: in a folder
// _zoltra_rust.libs beside that object, or beside it when the object itself
// lies in that folder. A build tree has no such folder; there the path the
// build found (ZOLTRA_OPENBLAS_BUILD_PATH) is used.
#include "ops/blas.hpp"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "common/unavailable.hpp"

#ifndef ZOLTRA_OPENBLAS_NAME
#error "the build names the OpenBLAS library (ZOLTRA_OPENBLAS_NAME)"
#endif

namespace zoltra::ops {
namespace {

std::atomic<const OpenBlas*> g_openblas{nullptr};
std::mutex g_load_mutex;

std::vector<std::string> candidate_paths() {
  std::vector<std::string> paths;
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&candidate_paths), &info) != 0 && info.dli_fname != nullptr) {
    std::string dir = info.dli_fname;
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
    paths.push_back(dir + "/_zoltra_rust.libs/" ZOLTRA_OPENBLAS_NAME);
    paths.push_back(dir + "/" ZOLTRA_OPENBLAS_NAME);
  }
#ifdef ZOLTRA_OPENBLAS_BUILD_PATH
  paths.push_back(ZOLTRA_OPENBLAS_BUILD_PATH);
#endif
  return paths;
}

// Sets an environment variable for its lifetime, then restores it.
class EnvironmentOverride {
 public:
  EnvironmentOverride(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~EnvironmentOverride() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }
  EnvironmentOverride(const EnvironmentOverride&) = delete;
  EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

void* open_library(const std::string& path) {
  // OpenBLAS starts its thread pool as it loads, sized by this variable. Our
  // copy runs every call on one thread, so it needs none: a process limited
  // in threads can still load it, and the process keeps one pool, ours.
  // Setting the variable races only with getenv in other threads during this
  // one load per process.
  EnvironmentOverride one_thread("OPENBLAS_NUM_THREADS", "1");
  // RTLD_LOCAL: our copy's symbols never satisfy another library's needs.
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

const OpenBlas* load(std::string& failure) {
  for (const std::string& path : candidate_paths()) {
    void* handle = open_library(path);
    if (handle == nullptr) {
      const char* why = dlerror();
      failure += failure.empty() ? "" : "; ";
      failure += why != nullptr ? why : path;
      continue;
    }
    void* found[std::size(kOpenBlasSymbols)];
    bool complete = true;
    for (std::size_t i = 0; i < std::size(kOpenBlasSymbols); ++i) {
      found[i] = dlsym(handle, kOpenBlasSymbols[i]);
      if (found[i] == nullptr) {
        failure += failure.empty() ? "" : "; ";
        failure += path + " has no " + kOpenBlasSymbols[i];
        complete = false;
      }
    }
    if (!complete) {
      dlclose(handle);
      continue;
    }
    // Never unloaded: the pointers live as long as the process.
    auto* lib = new OpenBlas{reinterpret_cast<decltype(OpenBlas::sgemm)>(found[0]),
                             reinterpret_cast<decltype(OpenBlas::get_num_threads)>(found[1]),
                             reinterpret_cast<decltype(OpenBlas::set_num_threads)>(found[2])};
    lib->set_num_threads(1);
    return lib;
  }
  return nullptr;
}

}  // namespace

const OpenBlas& openblas() {
  if (const OpenBlas* lib = g_openblas.load(std::memory_order_acquire)) [[likely]]
    return *lib;
  std::lock_guard lock(g_load_mutex);
  if (const OpenBlas* lib = g_openblas.load(std::memory_order_acquire)) return *lib;
  std::string failure;
  const OpenBlas* lib = load(failure);
  if (lib == nullptr) throw Unavailable("OpenBLAS could not be loaded: " + failure);
  g_openblas.store(lib, std::memory_order_release);
  return *lib;
}

bool openblas_loaded() noexcept { return g_openblas.load(std::memory_order_acquire) != nullptr; }

void cblas_sgemm_row_major(const float* a, const float* b, float* c, std::uint64_t m, std::uint64_t n,
                           std::uint64_t k, std::uint64_t lda, std::uint64_t ldb, std::uint64_t ldc) {
  const OpenBlas& lib = openblas();
  // threadpoolctl (or anyone) may have raised our copy's thread count since.
  if (lib.get_num_threads() != 1) lib.set_num_threads(1);
  lib.sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, static_cast<blasint>(m), static_cast<blasint>(n),
            static_cast<blasint>(k), 1.0f, a, static_cast<blasint>(lda), b, static_cast<blasint>(ldb), 0.0f, c,
            static_cast<blasint>(ldc));
}

}  // namespace zoltra::ops
