// The decoder delivering to real windows: threads, missing or vanished windows, big and hostile
// payloads. Single-message cases live in cases/ (DecoderCases_test.cpp).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "DecodeHarness.h"
#include "NotifyTestWindow.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"

namespace {

using qvtest::DecodeAndCollect;
using qvtest::MakeGuid;
using qvtest::NotifyTestWindow;
using qvtest::RunOnWorkerWhilePumping;

const char kChat[] = R"({"MsgTag":10010209,"sNickname":"A","content":"hi[x_01good]"})";
const char kEnter[] = R"({"MsgTag":10010206,"userCount":9,"userInfo":{"nickname":"E","richLevel":2}})";

bool HasLineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& l : lines)
    if (l.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

struct Session {
  explicit Session(const GUID& guid) {
    session.m_uNotifyMsg = WM_WEBSOCK_NOTIFY;
    param.pSession = &session;
    param.connectGuid = guid;
  }
  void Decode(const std::string& payload) { session.OnWebsockMessage(&param, payload.data(), payload.size()); }
  CWebSockSession session;
  stWebSockMainParam param;
};

TEST(Decoder, SendsFromWorkerCompleteWhileUiThreadPumps) {
  const GUID guid = MakeGuid(1);
  NotifyTestWindow state("state", guid);
  Session s(guid);
  s.session.m_hWndState = state.Handle();
  size_t seenByWorkerAfterCount = 0, seenByWorkerAfterOnline = 0;
  RunOnWorkerWhilePumping([&] {
    s.Decode(R"({"MsgTag":20020113,"userCount":77})");
    // A send returns only once the window has handled the record.
    seenByWorkerAfterCount = state.Lines().size();
    s.Decode(R"({"MsgTag":10010210,"mediaAddress":"rtmp://a"})");
    seenByWorkerAfterOnline = state.Lines().size();
  });
  EXPECT_EQ(seenByWorkerAfterCount, 1u);
  EXPECT_EQ(seenByWorkerAfterOnline, 2u);
  EXPECT_EQ(state.LastHandlerThread(), GetCurrentThreadId());
  EXPECT_EQ(state.Lines(), (std::vector<std::string>{"state USERCOUNT userCount=77", "state ONLINESTATE online=1"}));
}

TEST(Decoder, PostsKeepTheServersOrder) {
  const GUID guid = MakeGuid(2);
  NotifyTestWindow msg("msg", guid);
  Session s(guid);
  s.session.m_hWndMsg = msg.Handle();
  RunOnWorkerWhilePumping([&] {
    for (int i = 0; i < 50; ++i)
      s.Decode(R"({"MsgTag":10010209,"sNickname":"N)" + std::to_string(i) + R"(","content":"c"})");
  });
  ASSERT_EQ(msg.Lines().size(), 50u);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(msg.Lines()[static_cast<size_t>(i)].find("nickname=\"N" + std::to_string(i) + "\""), 9u) << i;
}

TEST(Decoder, MakesNoRecordWithoutItsWindow) {
  // No overlay: chat, gift and entry lines are dropped; the status window still gets its count.
  auto noMsg = DecodeAndCollect(kEnter, /*withMsgWindow=*/false, /*withStateWindow=*/true);
  EXPECT_FALSE(HasLineStarting(noMsg, "msg "));
  EXPECT_TRUE(HasLineStarting(noMsg, "state USERCOUNT userCount=9"));
  EXPECT_FALSE(HasLineStarting(DecodeAndCollect(kChat, false, true), "msg "));
  // No status window: no count, no trace for it, and the entry is still posted.
  auto noState = DecodeAndCollect(kEnter, true, false);
  EXPECT_TRUE(HasLineStarting(noState, "msg ENTER"));
  EXPECT_FALSE(HasLineStarting(noState, "state "));
  EXPECT_FALSE(HasLineStarting(noState, "trace \"在线人数1"));
  EXPECT_FALSE(HasLineStarting(DecodeAndCollect(R"({"MsgTag":10010211})", true, false), "state "));
}

TEST(Decoder, WindowsThatAreGoneLoseNothingButTheRecord) {
  const GUID guid = MakeGuid(3);
  NotifyTestWindow msg("msg", guid);
  NotifyTestWindow state("state", guid);
  Session s(guid);
  s.session.m_hWndMsg = msg.Handle();
  s.session.m_hWndState = state.Handle();
  msg.Destroy();
  state.Destroy();
  // Posting and sending to destroyed windows fails; LeakSanitizer checks the records were freed.
  RunOnWorkerWhilePumping([&] {
    s.Decode(kChat);
    s.Decode(kEnter);
    s.Decode(R"({"MsgTag":10010211})");
  });
  EXPECT_TRUE(msg.Lines().empty());
  EXPECT_TRUE(state.Lines().empty());
}

TEST(Decoder, ReadsNothingPastThePayloadLength) {
  // The buffer continues with a member that would make a chat line; only the first 19 bytes count.
  const std::string buffer = R"({"MsgTag":10010211},"sNickname":"A","content":"b"})";
  auto lines = [&] {
    const GUID guid = MakeGuid(4);
    NotifyTestWindow msg("msg", guid), state("state", guid);
    Session s(guid);
    s.session.m_hWndMsg = msg.Handle();
    s.session.m_hWndState = state.Handle();
    // A heap copy of exactly 19 bytes, so AddressSanitizer sees any read beyond it.
    std::vector<char> exact(buffer.begin(), buffer.begin() + 19);
    RunOnWorkerWhilePumping([&] { s.session.OnWebsockMessage(&s.param, exact.data(), exact.size()); });
    auto all = msg.Lines();
    all.insert(all.end(), state.Lines().begin(), state.Lines().end());
    return all;
  }();
  EXPECT_EQ(lines, (std::vector<std::string>{"state ONLINESTATE online=0"}));
}

TEST(DecoderHostile, TenMegabytePayloadsDecodeOrFailCleanly) {
  std::string big(10 * 1024 * 1024, 'a');
  auto chat = DecodeAndCollect(R"({"MsgTag":10010209,"sNickname":"A","content":")" + big + R"("})");
  ASSERT_TRUE(HasLineStarting(chat, "msg CHAT nickname=\"A\" content=\"aaaa"));
  // The same payload cut short yields nothing at all.
  auto cut = DecodeAndCollect(R"({"MsgTag":10010209,"sNickname":"A","content":")" + big);
  EXPECT_FALSE(HasLineStarting(cut, "msg "));
  // A large array of numbers that is not what the message needs.
  std::string numbers = R"({"MsgTag":20020113,"userCount":[)";
  for (int i = 0; i < 1000000; ++i) numbers += "12345678,";
  numbers += "1]}";
  EXPECT_EQ(DecodeAndCollect(numbers).back(), "state USERCOUNT userCount=0");
}

TEST(DecoderHostile, AFrameOfTinyValuesCannotMakeTheParserTakeGigabytes) {
  // 32 MB of "0," would cost the parser close to a gigabyte of values (1.5 GB under the
  // sanitizers, some 450 MB with the bound, the copies of the frame and the sanitizers' own share).
  std::string zeros = R"({"MsgTag":20020113,"userCount":[)";
  zeros.reserve(32u << 20);
  while (zeros.size() < (32u << 20)) zeros += "0,";
  zeros += "0]}";
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  auto lines = DecodeAndCollect(zeros);
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_FALSE(HasLineStarting(lines, "state ")) << "a frame over the parser's memory bound is dropped";
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 800L * 1024) << "peak memory grew by " << (after.ru_maxrss - before.ru_maxrss) << " KiB";
}

TEST(DecoderHostile, DeepNestingNeitherOverflowsNorDelivers) {
  const int depth = 200000;
  std::string arrays = R"({"MsgTag":20020113,"userCount":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
  EXPECT_EQ(DecodeAndCollect(arrays).back(), "state USERCOUNT userCount=0");
  std::string objects;
  for (int i = 0; i < depth; ++i) objects += R"({"a":)";
  objects += "1" + std::string(depth, '}');
  EXPECT_FALSE(HasLineStarting(DecodeAndCollect(objects), "state "));
  // Unbalanced: never closed.
  EXPECT_FALSE(HasLineStarting(DecodeAndCollect(std::string(depth, '[')), "state "));
}

TEST(DecoderHostile, NullPayloadIsAnEmptyOne) {
  const GUID guid = MakeGuid(5);
  NotifyTestWindow msg("msg", guid);
  Session s(guid);
  s.session.m_hWndMsg = msg.Handle();
  s.session.OnWebsockMessage(&s.param, nullptr, 100);
  s.session.OnWebsockMessage(nullptr, kChat, sizeof(kChat) - 1);
  qvtest::PumpPending();
  EXPECT_TRUE(msg.Lines().empty());
}

}  // namespace
