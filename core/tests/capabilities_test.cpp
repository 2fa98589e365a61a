#include "backend/capabilities.hpp"

#include <gtest/gtest.h>

#include <string>

namespace zb = zoltra::backend;

namespace {

constexpr std::uint32_t kFma = 1u << 12, kXsave = 1u << 26, kOsxsave = 1u << 27, kF16c = 1u << 29;
constexpr std::uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kAvx512dq = 1u << 17, kAvx512bw = 1u << 30,
                        kAvx512vl = 1u << 31;
constexpr std::uint64_t kYmmState = 0b110, kZmmState = 0b1110'0000;

// A processor with everything, under an OS that saves every register.
zb::CpuidSnapshot everything() {
  return {.max_basic_leaf = 0xd,
          .leaf1_ecx = kFma | kXsave | kOsxsave | kF16c,
          .leaf7_ebx = kAvx2 | kAvx512f | kAvx512dq | kAvx512bw | kAvx512vl,
          .xcr0 = 0b1 | kYmmState | kZmmState};
}

std::string features(const zb::CpuidSnapshot& regs) {
  auto f = zb::decide_cpu_features(regs);
  return std::string(f.avx2 ? "avx2 " : "") + (f.fma ? "fma " : "") + (f.avx512f ? "avx512f" : "");
}

}  // namespace

TEST(CpuFeatures, DecisionFromRegisters) {
  auto r = everything();
  EXPECT_EQ(features(r), "avx2 fma avx512f");

  r = everything();
  r.max_basic_leaf = 6;  // leaf 7 not readable: its stale bits must be ignored
  EXPECT_EQ(features(r), "fma ");

  for (std::uint32_t os_bit : {kXsave, kOsxsave}) {
    r = everything();
    r.leaf1_ecx &= ~os_bit;
    EXPECT_EQ(features(r), "") << os_bit;
  }
  for (std::uint64_t xcr0_bit : {0b010u, 0b100u}) {
    r = everything();
    r.xcr0 &= ~xcr0_bit;
    EXPECT_EQ(features(r), "") << xcr0_bit;
  }
  for (std::uint64_t xcr0_bit : {1u << 5, 1u << 6, 1u << 7}) {
    r = everything();
    r.xcr0 &= ~xcr0_bit;
    EXPECT_EQ(features(r), "avx2 fma ") << xcr0_bit;
  }

  r = everything();
  r.leaf1_ecx &= ~kFma;  // AVX-512F counts only with FMA...
  EXPECT_EQ(features(r), "avx2 ");
  r = everything();
  r.leaf1_ecx &= ~kF16c;  // ...and F16C
  EXPECT_EQ(features(r), "avx2 fma ");

  r = everything();
  r.leaf7_ebx = kAvx512f;
  EXPECT_EQ(features(r), "fma avx512f");
  r.leaf7_ebx = 0;
  EXPECT_EQ(features(r), "fma ");

  EXPECT_EQ(features(zb::CpuidSnapshot{}), "");
}

// The 16-lane kernel's files need F, VL, BW and DQ with the OS saving the
// opmask and all 32 ZMM registers; AVX-512F alone keeps the report's
// "AVX-512" but not the files.
TEST(CpuFeatures, Avx512FilesNeedEveryFeatureTheyAreCompiledFor) {
  auto r = everything();
  EXPECT_TRUE(zb::runs_avx512_files(zb::decide_cpu_features(r)));
  EXPECT_TRUE(zb::runs_avx2_files(zb::decide_cpu_features(r)));
  r.leaf7_ebx = kAvx2 | kAvx512f;
  const zb::CpuFeatures f_alone = zb::decide_cpu_features(r);
  EXPECT_TRUE(f_alone.avx512f);
  EXPECT_FALSE(zb::runs_avx512_files(f_alone));
  EXPECT_TRUE(zb::runs_avx2_files(f_alone));
  for (std::uint32_t bit : {kAvx512dq, kAvx512bw, kAvx512vl}) {
    r = everything();
    r.leaf7_ebx &= ~bit;
    EXPECT_FALSE(zb::runs_avx512_files(zb::decide_cpu_features(r))) << bit;
  }
  for (std::uint64_t xcr0_bit : {1u << 5, 1u << 6, 1u << 7}) {
    r = everything();
    r.xcr0 &= ~xcr0_bit;
    const zb::CpuFeatures f = zb::decide_cpu_features(r);
    EXPECT_FALSE(f.avx512vl || f.avx512bw || f.avx512dq || zb::runs_avx512_files(f)) << xcr0_bit;
  }
  r = everything();
  r.leaf1_ecx &= ~kFma;  // the AVX2 files are compiled for FMA too
  EXPECT_FALSE(zb::runs_avx2_files(zb::decide_cpu_features(r)));
}

TEST(Capabilities, BestSimdRules) {
  zb::CpuCapabilities cpu;
  EXPECT_STREQ(zb::best_simd(cpu), "Scalar");
  cpu.has_avx2 = true;
  EXPECT_STREQ(zb::best_simd(cpu), "Scalar");  // AVX2 without FMA does not count
  cpu.has_fma = true;
  EXPECT_STREQ(zb::best_simd(cpu), "AVX2+FMA");
  cpu.has_avx512 = true;
  EXPECT_STREQ(zb::best_simd(cpu), "AVX-512");
  cpu.has_avx2 = false;
  EXPECT_STREQ(zb::best_simd(cpu), "AVX-512");
  zb::CpuCapabilities arm;
  arm.has_neon = true;
  EXPECT_STREQ(zb::best_simd(arm), "NEON");
}

TEST(Capabilities, BestGpuAndSummaryText) {
  zb::SystemCapabilities caps;
  caps.cpu.cores = 8;
  caps.cpu.has_avx2 = caps.cpu.has_fma = true;
  EXPECT_EQ(zb::best_gpu(caps.gpu), nullptr);
  EXPECT_EQ(zb::capabilities_summary(caps), "CPU: X86_64 (8 cores, SIMD: AVX2+FMA), GPU: None");
  caps.cpu.cores = 2;
  caps.cpu.has_avx512 = true;
  caps.gpu.rocm_available = true;
  EXPECT_EQ(zb::capabilities_summary(caps), "CPU: X86_64 (2 cores, SIMD: AVX-512), GPU: ROCm");
  caps.gpu.cuda_available = true;
  EXPECT_STREQ(zb::best_gpu(caps.gpu), "CUDA");
  caps.gpu.metal_available = true;
  EXPECT_STREQ(zb::best_gpu(caps.gpu), "Metal");
  caps.cpu.arch = zb::CpuArch::Aarch64;
  EXPECT_EQ(zb::capabilities_summary(caps), "CPU: Aarch64 (2 cores, SIMD: AVX-512), GPU: Metal");
}
