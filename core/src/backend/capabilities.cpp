#include "backend/capabilities.hpp"

#include <cstddef>

#include "backend/processor_count.hpp"

namespace zoltra::backend {

namespace {

constexpr std::uint32_t kLeaf1EcxFma = 1u << 12;
constexpr std::uint32_t kLeaf1EcxXsave = 1u << 26;
constexpr std::uint32_t kLeaf1EcxOsxsave = 1u << 27;
constexpr std::uint32_t kLeaf1EcxF16c = 1u << 29;
constexpr std::uint32_t kLeaf7EbxAvx2 = 1u << 5;
constexpr std::uint32_t kLeaf7EbxAvx512f = 1u << 16;
constexpr std::uint32_t kLeaf7EbxAvx512dq = 1u << 17;
constexpr std::uint32_t kLeaf7EbxAvx512bw = 1u << 30;
constexpr std::uint32_t kLeaf7EbxAvx512vl = 1u << 31;
constexpr std::uint64_t kXcr0SseAvx = (1u << 1) | (1u << 2);
constexpr std::uint64_t kXcr0Avx512 = (1u << 5) | (1u << 6) | (1u << 7);  // opmask, ZMM_Hi256, Hi16_ZMM

// The features each kind of file is compiled for, from the build (CMake's
// ZOLTRA_AVX2_FEATURES and ZOLTRA_AVX512_FEATURES), as fields of CpuFeatures.
constexpr bool CpuFeatures::*kAvx2FileFeatures[] = {ZOLTRA_AVX2_FILE_FEATURES};
constexpr bool CpuFeatures::*kAvx512FileFeatures[] = {ZOLTRA_AVX512_FILE_FEATURES};

template <std::size_t N>
bool has_all(const CpuFeatures& features, bool CpuFeatures::* const (&needed)[N]) noexcept {
  for (bool CpuFeatures::*feature : needed)
    if (!(features.*feature)) return false;
  return true;
}

bool all_set(std::uint64_t value, std::uint64_t bits) { return (value & bits) == bits; }

#if defined(__x86_64__)
constexpr CpuArch kBuildArch = CpuArch::X86_64;
#elif defined(__aarch64__)
constexpr CpuArch kBuildArch = CpuArch::Aarch64;
#else
constexpr CpuArch kBuildArch = CpuArch::Other;
#endif

}  // namespace

CpuFeatures decide_cpu_features(const CpuidSnapshot& regs) noexcept {
  CpuFeatures f;
  const bool ymm_enabled = all_set(regs.leaf1_ecx, kLeaf1EcxXsave | kLeaf1EcxOsxsave) &&
                           all_set(regs.xcr0, kXcr0SseAvx);
  if (!ymm_enabled) return f;
  const std::uint32_t leaf7_ebx = regs.max_basic_leaf >= 7 ? regs.leaf7_ebx : 0;
  f.fma = all_set(regs.leaf1_ecx, kLeaf1EcxFma);
  f.avx2 = all_set(leaf7_ebx, kLeaf7EbxAvx2);
  const bool zmm_enabled = all_set(regs.xcr0, kXcr0Avx512);
  f.avx512f = all_set(leaf7_ebx, kLeaf7EbxAvx512f) && zmm_enabled &&
              all_set(regs.leaf1_ecx, kLeaf1EcxFma | kLeaf1EcxF16c);
  f.avx512vl = all_set(leaf7_ebx, kLeaf7EbxAvx512vl) && zmm_enabled;
  f.avx512bw = all_set(leaf7_ebx, kLeaf7EbxAvx512bw) && zmm_enabled;
  f.avx512dq = all_set(leaf7_ebx, kLeaf7EbxAvx512dq) && zmm_enabled;
  return f;
}

bool runs_avx2_files(const CpuFeatures& features) noexcept { return has_all(features, kAvx2FileFeatures); }
bool runs_avx512_files(const CpuFeatures& features) noexcept { return has_all(features, kAvx512FileFeatures); }

const char* cpu_arch_name(CpuArch arch) noexcept {
  switch (arch) {
    case CpuArch::X86: return "X86";
    case CpuArch::X86_64: return "X86_64";
    case CpuArch::Aarch64: return "Aarch64";
    case CpuArch::Other: return "Other";
  }
  return "Other";
}

const SystemCapabilities& capabilities() {
  static const SystemCapabilities CAPABILITIES = [] {
    const CpuFeatures& f = cpu_features();
    SystemCapabilities caps;
    caps.cpu.cores = processor_count();
    caps.cpu.arch = kBuildArch;
    caps.cpu.has_avx2 = f.avx2;
    caps.cpu.has_avx512 = f.avx512f;
    caps.cpu.has_fma = f.fma;
    // No kernel has a NEON variant yet, so an aarch64 processor reports as an
    // x86-64 one without AVX does: no flag set, "Scalar".
    caps.cpu.has_neon = false;
    return caps;  // every GPU flag stays false
  }();
  return CAPABILITIES;
}

const char* best_simd(const CpuCapabilities& cpu) noexcept {
  if (cpu.has_avx512) return "AVX-512";
  if (cpu.has_avx2 && cpu.has_fma) return "AVX2+FMA";
  if (cpu.has_neon) return "NEON";
  return "Scalar";
}

const char* best_gpu(const GpuCapabilities& gpu) noexcept {
  if (gpu.metal_available) return "Metal";
  if (gpu.cuda_available) return "CUDA";
  if (gpu.rocm_available) return "ROCm";
  return nullptr;
}

std::string capabilities_summary(const SystemCapabilities& caps) {
  const char* gpu = best_gpu(caps.gpu);
  std::string text = "CPU: ";
  text += cpu_arch_name(caps.cpu.arch);
  text += " (";
  text += std::to_string(caps.cpu.cores);
  text += " cores, SIMD: ";
  text += best_simd(caps.cpu);
  text += "), GPU: ";
  text += gpu ? gpu : "None";
  return text;
}

}  // namespace zoltra::backend
