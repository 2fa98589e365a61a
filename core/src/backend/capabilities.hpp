#pragma once
// What the processor and the operating system let the kernels use, and the
// capability record reported to Python.
#include <cstdint>
#include <string>

namespace zoltra::backend {

// Whether this build has the files for x86 instruction sets (*_avx2.cpp,
// *_avx512.cpp): only x86-64 builds do. Every choice of one of their variants
// sits under `if constexpr (kX86Files)`, so that other builds neither compile
// the choice nor need its symbols, and run the portable variant.
#if defined(__x86_64__)
inline constexpr bool kX86Files = true;
#else
inline constexpr bool kX86Files = false;
#endif

// Raw register values the feature decision reads; tests feed any processor.
struct CpuidSnapshot {
  std::uint32_t max_basic_leaf = 0;  // leaf 0 EAX
  std::uint32_t leaf1_ecx = 0;
  std::uint32_t leaf7_ebx = 0;       // leaf 7 subleaf 0; ignored when max_basic_leaf < 7
  std::uint64_t xcr0 = 0;            // XGETBV(0); meaningful only with OSXSAVE
};

// Each field is named like the compiler flag (-m<name>) that lets code use it.
struct CpuFeatures {
  bool avx2 = false;
  bool fma = false;
  bool avx512f = false;  // only together with FMA and F16C
  bool avx512vl = false;  // these three only with the AVX-512 register state
  bool avx512bw = false;
  bool avx512dq = false;
};

CpuFeatures decide_cpu_features(const CpuidSnapshot& regs) noexcept;

// Whether every feature that files named *_avx2.cpp (*_avx512.cpp) are
// compiled for is present: the build's own lists, so no instruction the
// compiler was allowed to use can be missing.
bool runs_avx2_files(const CpuFeatures& features) noexcept;
bool runs_avx512_files(const CpuFeatures& features) noexcept;
CpuidSnapshot read_cpuid() noexcept;  // x86-64 only (cpu_features_x86.cpp)

// Detected once per process, cached, thread-safe; all false except on x86-64.
const CpuFeatures& cpu_features() noexcept;

// What an aarch64 processor reports through the kernel (AT_HWCAP). Recorded
// only: no kernel has a NEON or SVE variant yet.
struct ArmFeatures {
  bool fp = false;
  bool asimd = false;
  bool sve = false;
};
// Detected once per process (cpu_features_arm.cpp); all false except on aarch64.
const ArmFeatures& arm_features() noexcept;

enum class CpuArch : std::uint8_t { X86 = 0, X86_64 = 1, Aarch64 = 2, Other = 3 };
const char* cpu_arch_name(CpuArch arch) noexcept;

struct CpuCapabilities {
  std::uint64_t cores = 1;
  CpuArch arch = CpuArch::X86_64;
  bool has_avx2 = false;
  bool has_avx512 = false;
  bool has_fma = false;
  bool has_neon = false;
};

struct GpuCapabilities {
  bool metal_available = false;
  bool cuda_available = false;
  bool rocm_available = false;
};

struct SystemCapabilities {
  CpuCapabilities cpu;
  GpuCapabilities gpu;
};

// CAPABILITIES: built once on first use, read-only afterwards.
const SystemCapabilities& capabilities();

const char* best_simd(const CpuCapabilities& cpu) noexcept;      // "AVX-512", "AVX2+FMA", "NEON", "Scalar"
const char* best_gpu(const GpuCapabilities& gpu) noexcept;       // "Metal", "CUDA", "ROCm" or nullptr
std::string capabilities_summary(const SystemCapabilities& caps);  // "CPU: X86_64 (2 cores, SIMD: ...), GPU: None"

}  // namespace zoltra::backend
