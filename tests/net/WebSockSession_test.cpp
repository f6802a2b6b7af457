// The session thread end to end: qvroomsim runs as a child process on free loopback ports, the
// session posts to headless windows on the test thread, and the layer clock runs fast.
#include "net/WebSockSession.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

#include "NotifyTestWindow.h"
#include "TestHttpServer.h"
#include "net/HttpLookups.h"
#include "net/SessionNotify.h"
#include "net/WebSockClient.h"
#include "platform/testing.h"
#include "support/TraceCapture.h"
#include "tools/RoomSimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr double kSpeed = 20;  // layer clock: 10 s of heartbeat pass in half a second

size_t CountDir(const char* path) {
  size_t n = 0;
  if (DIR* dir = ::opendir(path)) {
    while (dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
    ::closedir(dir);
  }
  return n;
}
size_t ThreadCount() { return CountDir("/proc/self/task"); }
size_t FdCount() { return CountDir("/proc/self/fd"); }

// A loopback port whose connections the kernel completes and nobody ever answers.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The frame the simulator logged as "raw", unescaped.
std::string RawOf(const std::string& line) {
  size_t at = line.find("\"raw\":\"");
  if (at == std::string::npos) return "";
  std::string out;
  for (size_t i = at + 7; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    out += line[i];
  }
  return out;
}

// A window that writes down every notification it is handed as one line and frees the record.
// Records of another session than g_SessionGuid are counted, not written.
class SessionWindow {
 public:
  SessionWindow() {
    static bool registered = [] {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof wc;
      wc.lpfnWndProc = &SessionWindow::Proc;
      wc.lpszClassName = u"QvSessionTestWindow";
      return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
    m_hWnd = CreateWindowExW(0, u"QvSessionTestWindow", u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                             nullptr);
    SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~SessionWindow() { DestroyWindow(m_hWnd); }
  HWND Handle() const { return m_hWnd; }
  const std::vector<std::string>& Lines() const { return m_lines; }
  bool Has(const std::string& line) const { return std::count(m_lines.begin(), m_lines.end(), line) > 0; }
  int Stale() const { return m_stale; }

 private:
  static LRESULT CALLBACK Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<SessionWindow*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (!self || uMsg != WM_WEBSOCK_NOTIFY) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    if (!lParam) return 0;
    if (!IsSameGuid(reinterpret_cast<stVirelWebsockMsg*>(lParam)->connectGuid, g_SessionGuid)) ++self->m_stale;
    std::unique_ptr<stVirelWebsockMsg> record = AcceptSessionRecord(lParam);
    if (record) self->m_lines.push_back(Render(wParam, *record));
    return 0;
  }
  static std::string Render(WPARAM kind, const stVirelWebsockMsg& record) {
    if (auto* p = dynamic_cast<const stWebsockMainProgress*>(&record); p && kind == WEBSOCK_NOTIFY_PROGRESS)
      return "progress " + std::to_string(p->percent) + " " + std::to_string(p->fromPercent) + " " +
             std::to_string(p->interval);
    if (auto* e = dynamic_cast<const stWebsockConnectErr*>(&record); e && kind == WEBSOCK_NOTIFY_CONNECTERR)
      return "error " + qvtest::ToUtf8(e->errText);
    if (auto* u = dynamic_cast<const stVirelUserInfo*>(&record); u && kind == WEBSOCK_NOTIFY_USERINFO)
      return "nickname " + qvtest::ToUtf8(u->nickname);
    return qvtest::RenderRecord("room", kind, record, g_SessionGuid);
  }

  HWND m_hWnd = nullptr;
  std::vector<std::string> m_lines;
  int m_stale = 0;
};

const std::vector<std::string> kFirstAttemptProgress = {
    "progress 1 -1 0",  "progress 2 -1 0",  "progress 3 -1 0",  "progress 4 -1 0",  "progress 5 -1 0",
    "progress 6 -1 0",  "progress 7 -1 0",  "progress 8 -1 0",  "progress 9 -1 0",  "progress 10 -1 0",
    "nickname 主播小七", "progress 90 10 240", "progress 93 90 30", "progress 98 93 30", "progress 99 98 30",
    "progress 100 99 30"};

class WebSockSession : public ::testing::Test {
 protected:
  void SetUp() override {
    qvplatform::testing::SetClockSpeed(kSpeed);
    qvtest::PumpPending();
    g_SessionGuid = qvtest::MakeGuid(0x21);
  }
  void TearDown() override {
    qvplatform::testing::SetClockSpeed(kSpeed);  // a test may have frozen it
    session_.Stop();
    qvnet::testing::SetSendFault(nullptr);
    EXPECT_TRUE(WaitForThreads()) << "a session thread is still running";
    qvtest::PumpPending();
  }

  // Starts the simulator and points the lookups at it; the counts of threads and descriptors are
  // taken from here.
  void StartSim(const std::vector<std::string>& args = {"--rate", "0"}) {
    ASSERT_TRUE(sim_.Start(args)) << sim_.startError();
    LookupEndpoints() = {"127.0.0.1", sim_.apiPort(), "127.0.0.1:" + std::to_string(sim_.roomPort())};
    threads_ = ThreadCount();
    fds_ = FdCount();
  }
  void StartSession(int room = 888) {
    session_.m_hWndProgress = login_.Handle();
    session_.m_hWndState = state_.Handle();
    session_.m_hWndMsg = overlay_.Handle();
    ASSERT_TRUE(session_.Start(room, g_SessionGuid));
  }
  // Pumps this thread's messages until done() or `realMs` of real time passed.
  bool PumpUntil(const std::function<bool()>& done, int realMs = 10000) {
    auto deadline = Clock::now() + milliseconds(realMs);
    for (;;) {
      qvtest::PumpPending();
      if (done()) return true;
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  void PumpFor(int realMs) {
    PumpUntil([] { return false; }, realMs);
  }
  bool WaitForThreads(int realMs = 10000) {
    return PumpUntil([&] { return ThreadCount() <= threads_; }, realMs);
  }
  bool LastLineIs(const SessionWindow& w, const std::string& line) {
    return !w.Lines().empty() && w.Lines().back() == line;
  }
  std::vector<std::string> LogEvents(const std::string& event) {
    std::vector<std::string> lines;
    for (const std::string& l : sim_.LogLines())
      if (l.find("\"event\":\"" + event + "\"") != std::string::npos) lines.push_back(l);
    return lines;
  }

  simtest::RoomSimProcess sim_;
  qvtest::TraceCapture traces_;
  SessionWindow login_, state_, overlay_;
  CWebSockSession session_;
  size_t threads_ = 0, fds_ = 0;
};

TEST_F(WebSockSession, FirstAttemptReportsEveryStepAndJoinsWithTheResolvedId) {
  // A strict server refuses wrong quoting, wrong paths and a join with the typed vanity number;
  // its page escapes the slashes of the chat address.
  StartSim({"--rate", "0", "--strict", "--escaped-slashes"});
  StartSession(888);  // a vanity number of room 100001
  ASSERT_TRUE(PumpUntil([&] { return LastLineIs(login_, "progress 100 99 30"); })) << ::testing::PrintToString(login_.Lines());
  EXPECT_EQ(login_.Lines(), kFirstAttemptProgress);
  EXPECT_EQ(session_.m_nRoomId, 100001);
  EXPECT_EQ(session_.m_nProgress, 100);

  ASSERT_TRUE(sim_.WaitForLog({"\"event\":\"join\""}, milliseconds(5000)));
  std::vector<std::string> joins = LogEvents("join");
  ASSERT_EQ(joins.size(), 1u);
  EXPECT_EQ(RawOf(joins[0]), "{\"MsgTag\":10010201,\"roomId\":100001,\"keepalive\":1}");
  std::vector<std::string> http = LogEvents("http");
  ASSERT_EQ(http.size(), 3u);
  EXPECT_NE(http[0].find("\\\"luckyId\\\":888}"), std::string::npos) << http[0];
  EXPECT_NE(http[1].find("%22userId%22:100001}"), std::string::npos) << http[1];
  EXPECT_NE(http[2].find("roomId=100001"), std::string::npos) << http[2];

  // The greeting after the join reaches the state window through the decoder.
  EXPECT_TRUE(PumpUntil([&] { return state_.Has("room ONLINESTATE online=1") && state_.Has("room USERCOUNT userCount=1234"); }))
      << ::testing::PrintToString(state_.Lines());
}

TEST_F(WebSockSession, HeartbeatEveryTenSecondsOfLayerTime) {
  StartSim();
  // The clock stands still from the moment the join succeeded; the test moves it.
  std::atomic<bool> joined{false};
  int id = qvplatform::testing::AddTraceListener([&](const std::string& line) {
    if (line == "Connect success\r\n") {
      qvplatform::testing::FreezeClock();
      joined = true;
    }
  });
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return joined.load(); }));
  qvplatform::testing::RemoveTraceListener(id);
  ASSERT_TRUE(PumpUntil([&] { return traces_.Contains("Wait exit\r\n"); }));
  qvplatform::testing::AdvanceClock(9990);
  PumpFor(300);
  EXPECT_TRUE(LogEvents("heartbeat").empty());
  qvplatform::testing::AdvanceClock(10);
  ASSERT_TRUE(sim_.WaitForLog({"\"event\":\"heartbeat\""}, milliseconds(3000)));
  qvplatform::testing::AdvanceClock(10000);
  ASSERT_TRUE(PumpUntil([&] { return LogEvents("heartbeat").size() == 2; }, 3000));
  for (const std::string& line : LogEvents("heartbeat")) EXPECT_EQ(RawOf(line), "{\"MsgTag\":10010299}");
  qvplatform::testing::SetClockSpeed(kSpeed);
}

TEST_F(WebSockSession, SocketGivesUpOnAVanishedPeerWithinTwentySeconds) {
  StartSim();
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return LastLineIs(login_, "progress 100 99 30"); }));
  int found = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET ||
        ntohs(peer.sin_port) != sim_.roomPort())
      continue;
    int userTimeout = 0, keepAlive = 0;
    socklen_t size = sizeof(int);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, &size), 0);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, &size), 0);
    EXPECT_EQ(userTimeout, 20000);
    EXPECT_EQ(keepAlive, 1);
    ++found;
  }
  EXPECT_EQ(found, 1);
}

TEST_F(WebSockSession, ServerCloseIsNoticedAtTheNextHeartbeatAndReconnectsSilently) {
  StartSim({"--rate", "20", "--close-after", "1"});
  std::atomic<DWORD> endedAt{0}, reconnectAt{0};
  int id = qvplatform::testing::AddTraceListener([&](const std::string& line) {
    if (line == "send fail\r\n") endedAt = 1;
    if (line == "after WebSockMain\r\n" && endedAt == 1) endedAt = GetTickCount();
    if (line == "reconnect\r\n" && !reconnectAt) reconnectAt = GetTickCount();
  });
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return LogEvents("join").size() >= 2; }));
  qvplatform::testing::RemoveTraceListener(id);
  DWORD delay = reconnectAt - endedAt;
  // Timed waits can overshoot by a few real milliseconds on a loaded machine, which the fast clock
  // multiplies; anything well short of the 10 000 ms heartbeat is the reconnection delay.
  EXPECT_GE(delay, 3000u);
  EXPECT_LT(delay, 5000u);
  // The heartbeat failure: online 0 to the state window; the login window hears nothing more.
  ASSERT_TRUE(PumpUntil([&] { return state_.Has("room ONLINESTATE online=0"); }));
  EXPECT_EQ(session_.m_hWndProgress.load(), nullptr);
  EXPECT_EQ(login_.Lines(), kFirstAttemptProgress);
  EXPECT_EQ(RawOf(LogEvents("join")[1]), "{\"MsgTag\":10010201,\"roomId\":100001,\"keepalive\":1}");
  // After the reconnection the room is live again and its messages reach the overlay.
  size_t offline = std::find(state_.Lines().begin(), state_.Lines().end(), "room ONLINESTATE online=0") -
                   state_.Lines().begin();
  size_t overlayBefore = overlay_.Lines().size();
  EXPECT_TRUE(PumpUntil([&] {
    return std::find(state_.Lines().begin() + offline, state_.Lines().end(), "room ONLINESTATE online=1") !=
               state_.Lines().end() && overlay_.Lines().size() > overlayBefore;
  })) << ::testing::PrintToString(state_.Lines());
}

struct FailureCase {
  const char* name;
  std::vector<std::string> simArgs;
  const char* text;
  bool waitsForStop;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FirstAttemptFailure : public WebSockSession, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FirstAttemptFailure, PostsItsTextOnceThenEndsAsItShould) {
  const FailureCase& c = GetParam();
  StartSim(c.simArgs);
  std::unique_ptr<nettest::TestHttpServer> api;
  if (std::string(c.name) == "NoUserId") {
    api.reset(new nettest::TestHttpServer([](const std::string&) { return nettest::HttpAnswer{200, "{\"code\":1}"}; }));
    LookupEndpoints().apiPort = api->port();
    threads_ = ThreadCount();  // the server's own thread stays until the end of the test
  } else if (std::string(c.name) == "HttpRefused") {
    LookupEndpoints().apiPort = nettest::UnusedPort();
  } else if (std::string(c.name) == "JoinSendFails") {
    qvnet::testing::SetSendFault([](const std::string& text) { return text.find("10010201") != std::string::npos; });
  }
  StartSession();
  const std::string error = std::string("error ") + c.text;
  ASSERT_TRUE(PumpUntil([&] { return login_.Has(error); })) << ::testing::PrintToString(login_.Lines());
  PumpFor(300);  // 6 s of layer time: longer than any step of an attempt
  EXPECT_EQ(std::count(login_.Lines().begin(), login_.Lines().end(), error), 1);
  EXPECT_EQ(login_.Lines().back(), error);
  EXPECT_FALSE(login_.Has("progress 100 99 30"));
  if (c.waitsForStop) {
    EXPECT_FALSE(traces_.Contains("after WebSockMain\r\n")) << "the thread did not wait for Stop";
    EXPECT_GT(ThreadCount(), threads_);
    session_.Stop();
  }
  EXPECT_TRUE(WaitForThreads());
  EXPECT_TRUE(traces_.Contains("after WebSockMain\r\n"));
  // The ended thread closed its stop event; nothing is left to signal.
  EXPECT_EQ(session_.m_hStopEvent.load(), nullptr);
  session_.Stop();
  EXPECT_TRUE(LogEvents("heartbeat").empty());
}

INSTANTIATE_TEST_SUITE_P(
    WebSockSession, FirstAttemptFailure,
    ::testing::Values(
        FailureCase{"HttpRefused", {"--rate", "0"}, "连接房间失败，请检查网络状况", true},
        FailureCase{"NoUserId", {"--rate", "0"}, "连接房间失败，请检查网络状况", true},
        FailureCase{"NicknameBraces", {"--nickname-braces"}, "请输入正确的ID号~", true},
        FailureCase{"NicknameEmpty", {"--http-empty", "api"}, "连接房间失败，请检查网络状况", true},
        FailureCase{"NoWsAddress", {"--no-ws"}, "连接房间失败，代码98", true},
        FailureCase{"UpgradeRefused", {"--refuse-upgrade"}, "连接房间失败，请检查网络状况", false},
        FailureCase{"AddressNotAUri", {"--ws-url", "not a uri"}, "连接房间失败，请检查网络状况", false},
        FailureCase{"NothingListens", {"--ws-url", "ws://127.0.0.1:1/chat"}, "连接房间失败，请检查网络状况", false},
        FailureCase{"JoinSendFails", {"--rate", "0"}, "连接房间失败，代码100", true}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(WebSockSession, UnknownRoomShowsTheNicknameText) {
  StartSim();
  StartSession(424242);  // neither a room nor a vanity number: its nickname lookup answers {}
  ASSERT_TRUE(PumpUntil([&] { return login_.Has("error 请输入正确的ID号~"); }));
  EXPECT_TRUE(traces_.Contains("\r\n  Nick 获取失败！ \r\n"));
  EXPECT_TRUE(traces_.Contains("该房间号不存在"));
}

TEST_F(WebSockSession, StopDuringTheFirstStepsEndsTheThreadAtOnce) {
  qvplatform::testing::SetClockSpeed(1);  // real 100 ms steps
  StartSim();
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return login_.Has("progress 3 -1 0"); }));
  auto stopped = Clock::now();
  session_.Stop();
  ASSERT_TRUE(WaitForThreads(1000));
  EXPECT_LT(Clock::now() - stopped, milliseconds(100));
  size_t seen = login_.Lines().size();
  PumpFor(300);
  EXPECT_EQ(login_.Lines().size(), seen);
  EXPECT_LE(seen, 4u);
  EXPECT_TRUE(LogEvents("http").empty());
}

TEST_F(WebSockSession, StartWhileRunningAbortsTheOldSessionsLookup) {
  StartSim({"--rate", "0", "--http-delay", "200"});
  StartSession();
  // The old thread is inside its slow lucky-ID lookup when the new session starts.
  ASSERT_TRUE(PumpUntil([&] { return LastLineIs(login_, "progress 10 -1 0"); }));
  PumpFor(50);

  g_SessionGuid = qvtest::MakeGuid(0x77);
  size_t before = login_.Lines().size();
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return LastLineIs(login_, "progress 100 99 30"); }));
  std::vector<std::string> second(login_.Lines().begin() + before, login_.Lines().end());
  EXPECT_EQ(second, kFirstAttemptProgress);
  // The old thread's lookup failed at once and it ended quietly, posting nothing more.
  EXPECT_TRUE(traces_.Contains("lookup aborted\r\n"));
  EXPECT_EQ(login_.Stale(), 0);
  ASSERT_TRUE(sim_.WaitForLog({"\"event\":\"join\""}, milliseconds(5000)));
  PumpFor(300);
  EXPECT_EQ(LogEvents("join").size(), 1u);
}

TEST_F(WebSockSession, DecoderThrowingLosesTheConnectionAndReconnectsSilently) {
  StartSim();  // --rate 0: the greeting after the join is all the room sends
  std::atomic<bool> thrown{false};
  qvnet::testing::SetMessageFault([&](const std::string&) {
    if (!thrown.exchange(true)) throw std::bad_alloc();
  });
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return LogEvents("join").size() >= 2; }));
  EXPECT_TRUE(traces_.Contains("websocket message handler: std::bad_alloc\r\n"));
  // The first heartbeat after the loss failed rather than being queued on the dead connection.
  std::vector<std::string> lines = traces_.Lines();
  auto joined = std::find(lines.begin(), lines.end(), "Connect success\r\n");
  auto failed = std::find(joined, lines.end(), "send fail\r\n");
  ASSERT_NE(failed, lines.end());
  EXPECT_EQ(std::count(joined, failed, "Wait exit\r\n"), 1);
  EXPECT_TRUE(LogEvents("heartbeat").empty());
  // Silently: online 0 to the state window, nothing more to the login window.
  EXPECT_TRUE(PumpUntil([&] { return state_.Has("room ONLINESTATE online=0"); }));
  EXPECT_EQ(login_.Lines(), kFirstAttemptProgress);
}

TEST_F(WebSockSession, JoinFailingOnAReconnectionRetriesSilently) {
  StartSim({"--rate", "0", "--close-after", "1"});
  std::atomic<int> joins{0};
  qvnet::testing::SetSendFault([&](const std::string& text) {
    return text.find("10010201") != std::string::npos && ++joins == 2;
  });
  StartSession();
  ASSERT_TRUE(PumpUntil([&] { return LogEvents("join").size() >= 2; }));
  EXPECT_EQ(joins.load(), 3);
  EXPECT_TRUE(traces_.Contains("connect failed\r\n"));
  EXPECT_EQ(login_.Lines(), kFirstAttemptProgress);  // nothing but the first attempt's progress
}


// An abrupt TCP drop, and faults that begin only at the second join (the first connection ends
// with a failed heartbeat, every join from then on is refused): the session keeps reconnecting
// silently; the login window hears only the first attempt.
TEST_F(WebSockSession, AbruptDropsAndFaultsFromTheSecondJoinReconnectSilently) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--rate", "20", "--drop-after", "1", "--drop-rst"},
        std::vector<std::string>{"--rate", "0", "--refuse-joins", "--faults-from-join", "2"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::atomic<int> heartbeats{0};
    qvnet::testing::SetSendFault([&](const std::string& text) {
      return text.find("10010299") != std::string::npos && ++heartbeats == 1;
    });
    StartSim(args);
    const size_t linesBefore = login_.Lines().size();
    StartSession();
    ASSERT_TRUE(PumpUntil([&] { return LogEvents("join").size() >= 3; })) << LogEvents("join").size();
    EXPECT_EQ(std::vector<std::string>(login_.Lines().begin() + linesBefore, login_.Lines().end()), kFirstAttemptProgress);
    for (const std::string& join : LogEvents("join"))
      EXPECT_EQ(RawOf(join), "{\"MsgTag\":10010201,\"roomId\":100001,\"keepalive\":1}");
    session_.Stop();
    ASSERT_TRUE(WaitForThreads());
    qvnet::testing::SetSendFault(nullptr);
    sim_.Stop();
  }
}

TEST_F(WebSockSession, StartStopCyclesLeaveNothingBehind) {
  StartSim({"--rate", "50"});
  const int pauses[] = {0, 30, 80, 150};  // real ms: inside the steps, lookups, opening, joined
  for (int i = 0; i < 200; ++i) {
    StartSession(i % 2 ? 888 : 100001);
    PumpFor(pauses[i % 4]);
    session_.Stop();
  }
  EXPECT_TRUE(WaitForThreads(20000)) << ThreadCount() << " threads, " << threads_ << " before";
  EXPECT_TRUE(PumpUntil([&] { return FdCount() <= fds_; }, 5000)) << FdCount() << " descriptors, " << fds_ << " before";
  EXPECT_EQ(session_.m_hStopEvent.load(), nullptr);
}

TEST_F(WebSockSession, CyclesWithTheServerKillingConnectionsLeaveNothingBehind) {
  StartSim({"--rate", "50", "--close-after", "0.1"});
  const int pauses[] = {40, 120, 250, 400};  // real ms: the later ones span a reconnection
  for (int i = 0; i < 50; ++i) {
    StartSession();
    PumpFor(pauses[i % 4]);
    session_.Stop();
  }
  EXPECT_TRUE(WaitForThreads(20000)) << ThreadCount() << " threads, " << threads_ << " before";
  EXPECT_TRUE(PumpUntil([&] { return FdCount() <= fds_; }, 5000)) << FdCount() << " descriptors, " << fds_ << " before";
  EXPECT_GT(LogEvents("join").size(), 10u);
}

}  // namespace

namespace {

// At process exit the session object goes (after the windows) while its thread may still be tearing
// the connection down; the destructor lets that thread finish before the process destroys its statics.
TEST_F(WebSockSession, DestroyingTheSessionLetsARunningThreadFinishFirst) {
  StartSim({"--rate", "200"});
  auto doomed = std::make_unique<CWebSockSession>();
  {
    SessionWindow login, state, overlay;
    doomed->m_hWndProgress = login.Handle();
    doomed->m_hWndState = state.Handle();
    doomed->m_hWndMsg = overlay.Handle();
    ASSERT_TRUE(doomed->Start(888, g_SessionGuid));
    ASSERT_TRUE(PumpUntil([&] { return overlay.Lines().size() >= 5; })) << "room messages never arrived";
    // No more records for these windows (those still queued when a window goes would be lost).
    doomed->m_hWndMsg = nullptr;
    doomed->m_hWndState = nullptr;
    doomed->m_hWndProgress = nullptr;
    PumpFor(50);
  }  // the windows go first, as at exit
  qvplatform::testing::SetClockSpeed(1.0);  // the destructor's bounded wait is in real time here
  doomed.reset();
  EXPECT_TRUE(traces_.Contains("after WebSockMain\r\n")) << "the destructor returned while its thread still ran";
}

// A session stopped just before the exit (Stop returns at once) is still waited for by it.
TEST_F(WebSockSession, TheExitWaitsForAThreadStoppedJustBefore) {
  StartSim({"--rate", "200"});
  auto doomed = std::make_unique<CWebSockSession>();
  {
    SessionWindow overlay;
    doomed->m_hWndMsg = overlay.Handle();
    ASSERT_TRUE(doomed->Start(888, g_SessionGuid));
    ASSERT_TRUE(PumpUntil([&] { return overlay.Lines().size() >= 5; })) << "room messages never arrived";
    doomed->m_hWndMsg = nullptr;
    PumpFor(50);
  }
  qvplatform::testing::SetClockSpeed(1.0);
  doomed->Stop();
  doomed->EndBeforeExit();
  EXPECT_TRUE(traces_.Contains("after WebSockMain\r\n")) << "the exit returned while the stopped thread still ran";
}

}  // namespace

namespace {

TEST_F(WebSockSession, DestroyingTheSessionAbortsALookupInFlight) {
  std::atomic<bool> answer{false};
  nettest::TestHttpServer api([&](const std::string&) {
    while (!answer) std::this_thread::sleep_for(milliseconds(1));  // answers only once the test ends
    return nettest::HttpAnswer{200, "{}"};
  });
  struct Release {
    std::atomic<bool>& answer;
    ~Release() { answer = true; }  // before the server goes, even when an assertion ends the test
  } release{answer};
  LookupEndpoints() = {"127.0.0.1", api.port(), "127.0.0.1:" + std::to_string(api.port())};
  threads_ = ThreadCount();
  auto doomed = std::make_unique<CWebSockSession>();
  ASSERT_TRUE(doomed->Start(888, g_SessionGuid));
  ASSERT_TRUE(PumpUntil([&] { return !api.Targets().empty(); }));
  qvplatform::testing::SetClockSpeed(1.0);  // the destructor's bounded wait is in real time here
  auto start = Clock::now();
  doomed.reset();
  EXPECT_LT(Clock::now() - start, milliseconds(1500)) << "the exit wait ran out";
  EXPECT_TRUE(traces_.Contains("after WebSockMain\r\n")) << "the destructor returned while its thread still ran";
  EXPECT_TRUE(traces_.Contains("lookup aborted\r\n"));
}

// The client on its own against a port that never answers its handshake: it stays connecting.
class WebSockClientConnecting : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client_.InitAsio() && client_.StartPerpetual() && client_.StartNetworkThread());
    ASSERT_TRUE(client_.Connect("ws://127.0.0.1:" + std::to_string(silent_.port()) + "/chat"));
    ASSERT_EQ(client_.GetState(), CWebSockClient::State::Connecting);
  }
  // CloseConnection, then the rest of the session's teardown; the real time it took.
  milliseconds Teardown() {
    auto start = Clock::now();
    client_.CloseConnection();
    client_.StopPerpetual();
    client_.JoinNetworkThread();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  }

  SilentListener silent_;
  qvtest::TraceCapture traces_;
  CWebSockClient client_;
};

TEST_F(WebSockClientConnecting, DeadNetworkThreadLosesTheConnectionAndCloseReturnsAtOnce) {
  qvplatform::testing::SetClockSpeed(1.0);  // the bounded wait alone would take a real second
  qvnet::testing::ThrowOnNetworkThread(client_);
  auto deadline = Clock::now() + milliseconds(3000);
  while (client_.GetState() != CWebSockClient::State::Closed && Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(client_.GetState(), CWebSockClient::State::Closed);
  EXPECT_FALSE(client_.SendText("{\"MsgTag\":10010299}"));
  EXPECT_LT(Teardown(), milliseconds(500));
  EXPECT_TRUE(traces_.Contains("websocket thread: std::bad_alloc\r\n"));
}

TEST_F(WebSockClientConnecting, CloseGivesUpOnAConnectionThatNeverOpens) {
  qvplatform::testing::SetClockSpeed(kSpeed);  // the library's own handshake time-out is 5 real seconds
  EXPECT_LT(Teardown(), milliseconds(2000));
}

}  // namespace
