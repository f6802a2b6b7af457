// Payload -> delivered records, one case per file pair in cases/: NAME.json holds the raw payload
// (not always valid JSON), NAME.expected what the windows, traces and standard output got.
// After a deliberate change, rewrite the expected files and review the diff:
//   QV_REGENERATE_CASES=1 ctest --test-dir <build> -R DecoderCases
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "DecodeHarness.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCasesDir = QV_DECODER_CASES_DIR;

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kCasesDir))
    if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class DecoderCases : public ::testing::TestWithParam<std::string> {};

TEST_P(DecoderCases, DeliversExpectedRecords) {
  const fs::path payloadPath = kCasesDir / (GetParam() + ".json");
  const fs::path expectedPath = kCasesDir / (GetParam() + ".expected");
  std::string payload = ReadAll(payloadPath);
  // Editors add a final newline; the payloads are sent without it.
  if (!payload.empty() && payload.back() == '\n') payload.pop_back();

  std::string actual;
  for (const std::string& line : qvtest::DecodeAndCollect(payload)) actual += line + "\n";

  const char* regenerate = std::getenv("QV_REGENERATE_CASES");
  if (regenerate && *regenerate && std::string(regenerate) != "0") {
    std::ofstream(expectedPath, std::ios::binary) << actual;
    GTEST_SKIP() << "rewrote " << expectedPath;
  }
  ASSERT_TRUE(fs::exists(expectedPath)) << "no " << expectedPath << "; regenerate with QV_REGENERATE_CASES=1";
  EXPECT_EQ(actual, ReadAll(expectedPath)) << "payload: " << payload;
}

std::string CaseTestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Files, DecoderCases, ::testing::ValuesIn(CaseNames()), CaseTestName);

}  // namespace
