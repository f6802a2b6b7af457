// OutputDebugStringA/W and the trace sink tests listen to.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "platform/win32.h"
#include "support/TraceCapture.h"

namespace {

class TraceTest : public ::testing::Test {
 protected:
  void TearDown() override { qvplatform::testing::SetACP(0); }
};

TEST_F(TraceTest, LinesFromSeveralThreadsArriveWholeAndInEachThreadsOrder) {
  qvtest::TraceCapture capture;
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ready] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();  // start together
      for (int i = 0; i < kLines; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "thread %d line %d\r\n", t, i);
        OutputDebugStringA(line);
      }
    });
  }
  for (auto& th : threads) th.join();

  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size()) << "lines were lost or duplicated";
  int next[kThreads] = {};
  for (const std::string& l : lines) {
    int t = -1, i = -1;
    char tail[4] = {};
    ASSERT_EQ(3, std::sscanf(l.c_str(), "thread %d line %d%3c", &t, &i, tail)) << l;
    ASSERT_STREQ("\r\n", tail) << "a line was cut or merged: " << l;
    ASSERT_TRUE(t >= 0 && t < kThreads) << l;
    EXPECT_EQ(next[t], i) << "thread " << t << "'s lines arrived out of order";
    next[t] = i + 1;
  }
}

TEST_F(TraceTest, AnsiTraceIsPassedOnByteForByte) {
  qvtest::TraceCapture capture;
  OutputDebugStringA("WebSocket connect ok\r\n");
  OutputDebugStringA("\xB0\xA1 raw bytes \xFF\r\n");  // not UTF-8: still delivered untouched
  OutputDebugStringA("");
  OutputDebugStringA("no terminator");
  std::vector<std::string> lines = capture.Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ("WebSocket connect ok\r\n", lines[0]);
  EXPECT_EQ("\xB0\xA1 raw bytes \xFF\r\n", lines[1]);
  EXPECT_EQ("no terminator", lines.back());
}

TEST_F(TraceTest, WideTraceArrivesAsUtf8UnderCodePage65001) {
  qvplatform::testing::SetACP(65001);
  qvtest::TraceCapture capture;
  OutputDebugStringW(u"连接房间失败，代码98\r\n");
  OutputDebugStringW(u"emoji \U0001F600!\r\n");
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ(
      "\xE8\xBF\x9E\xE6\x8E\xA5\xE6\x88\xBF\xE9\x97\xB4\xE5\xA4\xB1\xE8\xB4\xA5\xEF\xBC\x8C\xE4\xBB\xA3\xE7\xA0\x81"
      "98\r\n",
      lines[0]);
  EXPECT_EQ("emoji \xF0\x9F\x98\x80!\r\n", lines[1]) << "a surrogate pair is one character";
}

TEST_F(TraceTest, WideTraceFollowsTheAnsiCodePage) {
  qvplatform::testing::SetACP(936);
  qvtest::TraceCapture capture;
  OutputDebugStringW(u"直播\r\n");
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("\xD6\xB1\xB2\xA5\r\n", lines[0]);
}

TEST_F(TraceTest, NullPointersAreIgnored) {
  qvtest::TraceCapture capture;
  OutputDebugStringA(nullptr);
  OutputDebugStringW(nullptr);
  OutputDebugStringA("after\r\n");
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("after\r\n", lines[0]);
}

TEST_F(TraceTest, TracesWithNobodyListeningGoNowhereAndBreakNothing) {
  OutputDebugStringA("unheard\r\n");
  OutputDebugStringW(u"unheard too\r\n");
  OutputDebugStringA(nullptr);
  {
    qvtest::TraceCapture first;
    {
      qvtest::TraceCapture second;
      OutputDebugStringA("both\r\n");
    }
    OutputDebugStringA("first only\r\n");
    std::vector<std::string> lines = first.Lines();
    ASSERT_EQ(2u, lines.size()) << "a line written before anyone listened was kept";
    EXPECT_EQ("both\r\n", lines[0]);
    EXPECT_EQ("first only\r\n", lines[1]);
  }
  OutputDebugStringA("unheard again\r\n");  // the removed listeners are not called
  qvtest::TraceCapture late;
  EXPECT_TRUE(late.Lines().empty());
}

TEST_F(TraceTest, EveryListenerSeesTheSameOrder) {
  qvtest::TraceCapture a;
  qvtest::TraceCapture b;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) OutputDebugStringA(("t" + std::to_string(t) + " " + std::to_string(i)).c_str());
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(600u, a.Lines().size());
  EXPECT_EQ(a.Lines(), b.Lines());
}

}  // namespace
