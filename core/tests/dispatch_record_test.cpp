#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend/capabilities.hpp"
#include "backend/dispatch.hpp"

namespace zb = zoltra::backend;

namespace {

class DispatchRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    zb::detail::reset_dispatch_record();
    zb::set_last_dispatch(zb::kBackendCpu);
  }
  void TearDown() override { SetUp(); }
};

std::uint64_t elapsed_of(const std::string& text) {
  auto end = text.rfind("\u00b5s ago)");
  auto start = text.rfind(", ", end) + 2;
  return std::stoull(text.substr(start, end - start));
}

}  // namespace

TEST(DispatchTexts, NamesForEveryCode) {
  EXPECT_STREQ(zb::backend_short_name(0, false), "Zoltra AVX2");
  EXPECT_STREQ(zb::backend_short_name(0, true), "Zoltra AVX-512");
  const char* known[] = {"OpenBLAS", "BLAS", "CUDA", "Metal"};
  const char* fallback[] = {"OpenBLAS backend", "BLAS backend", "CUDA backend"};
  for (int code = 1; code <= 4; ++code) EXPECT_STREQ(zb::backend_short_name(code, true), known[code - 1]);
  EXPECT_EQ(zb::backend_fallback_text(0), "Default CPU backend");
  for (int code = 1; code <= 3; ++code) EXPECT_EQ(zb::backend_fallback_text(code), fallback[code - 1]);
  // Metal has a short name but no fallback sentence.
  EXPECT_EQ(zb::backend_fallback_text(4), "Unknown backend (4)");
  EXPECT_STREQ(zb::backend_short_name(5, false), "Unknown");
  EXPECT_STREQ(zb::backend_short_name(255, true), "Unknown");
  EXPECT_EQ(zb::backend_fallback_text(255), "Unknown backend (255)");
}

TEST(DispatchTexts, DetailedLayout) {
  zb::DispatchInfo info{"matmul", {}, 256, 64, 128, zb::kPolicyDefault, zb::kBackendCpu};
  EXPECT_EQ(zb::format_dispatch(info, 35, false),
            "matmul \xe2\x86\x92 Zoltra AVX2 (size=256x64x128, policy=Default, 35\xc2\xb5s ago)");
  info = {"op", {}, UINT64_MAX, 0, 1, 200, 9};  // unknown policy reads as Default
  EXPECT_EQ(zb::format_dispatch(info, 0, true),
            "op \u2192 Unknown (size=18446744073709551615x0x1, policy=Default, 0\u00b5s ago)");
}

TEST(BackendPolicy, DecodeAndPythonMapping) {
  const char* names[] = {"Default", "Openblas", "Blas", "Cuda"};
  for (int code = 0; code < 256; ++code) {
    const auto decoded = zb::decode_policy(static_cast<std::uint8_t>(code));
    EXPECT_EQ(decoded, code <= 3 ? code : 0) << code;
    EXPECT_STREQ(zb::policy_name(static_cast<std::uint8_t>(code)), names[decoded]);

    zb::set_policy_from_python(static_cast<std::uint8_t>(code));
    EXPECT_EQ(zb::current_policy(), (code == 1 || code == 2) ? code : 0) << code;
  }
  zb::set_policy_from_python(0);
}

TEST_F(DispatchRecord, FallbackUntilARecordThenTheLatestRecord) {
  EXPECT_EQ(zb::get_last_dispatch(), "Default CPU backend");
  zb::set_last_dispatch(4);
  EXPECT_EQ(zb::get_last_dispatch(), "Unknown backend (4)");

  std::string caller_text = "matmul";
  zb::record_detailed_dispatch(zb::kBackendCpu, caller_text, 2, 3, 4, zb::kPolicyOpenblas);
  caller_text = "xxxxxx";  // the record keeps its own copy
  const std::string cpu = zb::cpu_features().avx512f ? "Zoltra AVX-512" : "Zoltra AVX2";
  std::string text = zb::get_last_dispatch();
  EXPECT_TRUE(text.starts_with("matmul \u2192 " + cpu + " (size=2x3x4, policy=Openblas, ")) << text;
  EXPECT_TRUE(text.ends_with("\u00b5s ago)")) << text;

  zb::record_detailed_dispatch(zb::kBackendBlas, "second", 0, 7, 0, zb::kPolicyBlas);
  const std::string before = zb::get_last_dispatch();
  EXPECT_TRUE(before.starts_with("second \u2192 BLAS (size=0x7x0, policy=Blas, ")) << before;
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const std::string after = zb::get_last_dispatch();
  EXPECT_GE(elapsed_of(after), elapsed_of(before) + 1000);
  EXPECT_EQ(before.substr(0, before.rfind(", ")), after.substr(0, after.rfind(", ")));
}

TEST_F(DispatchRecord, BrokenRecordDiscardsUpdatesAndFallsBack) {
  zb::record_detailed_dispatch(zb::kBackendCpu, "before", 1, 2, 3, zb::kPolicyDefault);
  auto fail_half_way = [](std::optional<zb::DispatchInfo>& slot, void*) {
    slot->m = 99;
    throw std::runtime_error("holder failed");
  };
  EXPECT_THROW(zb::detail::update_dispatch_record(fail_half_way, nullptr), std::runtime_error);

  zb::set_last_dispatch(2);
  EXPECT_EQ(zb::get_last_dispatch(), "BLAS backend");
  zb::record_detailed_dispatch(zb::kBackendCpu, "after", 4, 5, 6, zb::kPolicyDefault);
  EXPECT_EQ(zb::get_last_dispatch(), "BLAS backend");
  bool called = false;
  auto mark = [](std::optional<zb::DispatchInfo>&, void* flag) { *static_cast<bool*>(flag) = true; };
  EXPECT_FALSE(zb::detail::update_dispatch_record(mark, &called));
  EXPECT_FALSE(called);
}

TEST_F(DispatchRecord, ConcurrentRecordersAndReadersSeeWholeRecords) {
  constexpr int kWriters = 3;
  constexpr int kRecords = 2000;
  std::atomic<bool> writing{true};
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([w] {
      const std::string name = "op" + std::to_string(w);
      for (std::uint64_t i = 0; i < kRecords; ++i) {
        zb::set_last_dispatch(zb::kBackendCpu);
        zb::set_policy_from_python(static_cast<std::uint8_t>(w));
        zb::record_detailed_dispatch(zb::kBackendCpu, name, w, i, w, static_cast<std::uint8_t>(w));
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (writing.load()) {
        const std::string text = zb::get_last_dispatch();
        (void)zb::current_policy();
        if (text == "Default CPU backend") continue;
        // Operation, m, k and policy all come from the same writer.
        unsigned long long m = 0, n = 0, k = 0;
        std::sscanf(text.c_str() + text.find("(size="), "(size=%llux%llux%llu", &m, &n, &k);
        const bool whole = m == k && static_cast<int>(m) == text[2] - '0' &&
                           text.find(zb::policy_name(static_cast<std::uint8_t>(m))) != std::string::npos;
        if (!whole) torn.fetch_add(1);
      }
    });
  }
  for (int w = 0; w < kWriters; ++w) threads[w].join();
  writing = false;
  for (std::size_t t = kWriters; t < threads.size(); ++t) threads[t].join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_NE(zb::get_last_dispatch().find("x1999x"), std::string::npos);
  zb::set_policy_from_python(0);
}
