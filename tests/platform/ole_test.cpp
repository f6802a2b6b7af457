// COM initialisation counts and random GUIDs.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>

#include "platform/win32.h"

namespace {

std::tuple<uint32_t, uint16_t, uint16_t, uint64_t> Key(const GUID& g) {
  uint64_t tail = 0;
  for (uint8_t b : g.Data4) tail = tail << 8 | b;
  return {g.Data1, g.Data2, g.Data3, tail};
}

TEST(CoCreateGuid, GivesDistinctRandomVersionFourGuids) {
  std::set<std::tuple<uint32_t, uint16_t, uint16_t, uint64_t>> seen;
  uint32_t orData1 = 0, andData1 = 0xFFFFFFFFu;
  const int count = 100000;
  for (int i = 0; i < count; ++i) {
    GUID g{};
    ASSERT_EQ(S_OK, CoCreateGuid(&g));
    ASSERT_EQ(0x4000, g.Data3 & 0xF000);  // version 4
    ASSERT_EQ(0x80, g.Data4[0] & 0xC0);   // RFC 4122 variant
    seen.insert(Key(g));
    orData1 |= g.Data1;
    andData1 &= g.Data1;
  }
  EXPECT_EQ(static_cast<size_t>(count), seen.size());
  // Every bit of Data1 is random: each has been both set and clear.
  EXPECT_EQ(0xFFFFFFFFu, orData1);
  EXPECT_EQ(0u, andData1);
}

TEST(CoCreateGuid, NullPointerIsAnInvalidArgument) { EXPECT_EQ(E_INVALIDARG, CoCreateGuid(nullptr)); }

TEST(CoInitialize, CountsPerThread) {
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
  // Another thread starts from scratch.
  HRESULT other = E_FAIL, otherAgain = E_FAIL;
  std::thread([&] {
    other = CoInitialize(nullptr);
    otherAgain = CoInitialize(nullptr);
    CoUninitialize();
    CoUninitialize();
  }).join();
  EXPECT_EQ(S_OK, other);
  EXPECT_EQ(S_FALSE, otherAgain);
  // Two uninitialisations balance the two successes; then the next one is first again.
  CoUninitialize();
  EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  CoUninitialize();
  CoUninitialize();  // one too many is harmless
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  CoUninitialize();
}

TEST(CoInitialize, OtherModelOnTheSameThreadIsRefusedAndNotCounted) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitialize(nullptr));
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE));
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(S_OK, CoInitialize(nullptr));  // fully released, so any model is fine again
  CoUninitialize();
}

TEST(CoInitialize, ReservedPointerAndUnknownFlagsAreInvalid) {
  int reserved = 0;
  EXPECT_EQ(E_INVALIDARG, CoInitialize(&reserved));
  EXPECT_EQ(E_INVALIDARG, CoInitializeEx(nullptr, 0x100));
  EXPECT_EQ(S_OK, CoInitialize(nullptr));  // the failures left no count behind
  CoUninitialize();
}

}  // namespace
