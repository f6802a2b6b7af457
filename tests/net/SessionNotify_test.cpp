// The notification hand-over between producers and windows, and the session object's fields.
#include "net/SessionNotify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "NotifyTestWindow.h"
#include "net/WebSockSession.h"

namespace {

using qvtest::MakeGuid;
using qvtest::NotifyTestWindow;
using qvtest::RunOnWorkerWhilePumping;

// The values other programs' windows and our own compare against.
static_assert(WM_WEBSOCK_NOTIFY == 1124, "");
static_assert(WM_ASSIST_SHOWHIDE == 2029 && WM_WEBMSG_TIMEOUT == 2030 && WM_TRAY_NOTIFY == 2032, "");
static_assert(WM_MENU_COMMAND == 43553, "");
static_assert(WEBSOCK_NOTIFY_CONNECTED == 0 && WEBSOCK_NOTIFY_USERINFO == 6 && WEBSOCK_NOTIFY_ENTER == 8, "");

// A record that counts its live instances, to see who freed what.
struct CountedRecord : stWebsockMsgUsercount {
  CountedRecord() { ++alive; }
  ~CountedRecord() override { --alive; }
  static int alive;
};
int CountedRecord::alive = 0;

class SessionNotify : public ::testing::Test {
 protected:
  void SetUp() override { g_SessionGuid = MakeGuid(0x40); }
  void TearDown() override {
    qvtest::PumpPending();
    g_SessionGuid = GUID{};
    EXPECT_EQ(CountedRecord::alive, 0) << "a record was lost or kept";
  }
};

TEST_F(SessionNotify, AcceptTakesOnlyTheCurrentSessionsRecords) {
  EXPECT_EQ(AcceptSessionRecord(0), nullptr);

  auto* current = new CountedRecord;
  current->connectGuid = g_SessionGuid;
  auto accepted = AcceptSessionRecord(reinterpret_cast<LPARAM>(current));
  EXPECT_EQ(accepted.get(), current);
  accepted.reset();

  // Any single byte of difference makes the record stale; it is freed on the spot.
  for (size_t i = 0; i < sizeof(GUID); ++i) {
    auto* stale = new CountedRecord;
    stale->connectGuid = g_SessionGuid;
    reinterpret_cast<uint8_t*>(&stale->connectGuid)[i] ^= 0x01;
    EXPECT_EQ(AcceptSessionRecord(reinterpret_cast<LPARAM>(stale)), nullptr) << "byte " << i;
    EXPECT_EQ(CountedRecord::alive, 0) << "byte " << i;
  }
}

TEST_F(SessionNotify, NoRecordIsMadeForAMissingWindow) {
  bool filled = false;
  EXPECT_FALSE(NotifySessionWindow<CountedRecord>(nullptr, WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT,
                                                  g_SessionGuid, NotifyDelivery::Post,
                                                  [&](CountedRecord&) { filled = true; }));
  EXPECT_FALSE(filled);
}

TEST_F(SessionNotify, PostedRecordsReachTheWindowStampedAndFiltered) {
  const GUID current = g_SessionGuid;
  const GUID old = MakeGuid(0x07);
  NotifyTestWindow wnd("state", current, NotifyTestWindow::kCurrentSessionOnly);
  RunOnWorkerWhilePumping([&] {
    for (const GUID* guid : {&old, &current, &old}) {
      EXPECT_TRUE(NotifySessionWindow<stWebsockMsgUsercount>(wnd.Handle(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT,
                                                             *guid, NotifyDelivery::Post,
                                                             [](stWebsockMsgUsercount& r) { r.userCount = 5; }));
    }
    // lParam 0 is ignored.
    PostMessageW(wnd.Handle(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT, 0);
  });
  EXPECT_EQ(wnd.Lines(), std::vector<std::string>{"state USERCOUNT userCount=5"});
  EXPECT_EQ(wnd.Dropped(), 3);
}

TEST_F(SessionNotify, AfterCancelAnEndingSessionsErrorIsDropped) {
  const GUID session = g_SessionGuid;
  NotifyTestWindow login("login", session, NotifyTestWindow::kCurrentSessionOnly);
  g_SessionGuid = GUID{};  // Cancel
  RunOnWorkerWhilePumping([&] {
    NotifySessionWindow<stWebsockConnectErr>(login.Handle(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_CONNECTERR, session,
                                             NotifyDelivery::Post,
                                             [](stWebsockConnectErr& r) { r.errText = u"连接房间失败，代码98"; });
  });
  EXPECT_TRUE(login.Lines().empty());
  EXPECT_EQ(login.Dropped(), 1);
}

TEST_F(SessionNotify, SendFromWorkerReturnsAfterTheUiThreadHandledIt) {
  NotifyTestWindow wnd("state", g_SessionGuid, NotifyTestWindow::kCurrentSessionOnly);
  size_t linesWhenSendReturned = 0;
  RunOnWorkerWhilePumping([&] {
    NotifySessionWindow<stWebsockMsgOnlineState>(wnd.Handle(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_ONLINESTATE,
                                                 g_SessionGuid, NotifyDelivery::Send,
                                                 [](stWebsockMsgOnlineState& r) { r.online = 1; });
    linesWhenSendReturned = wnd.Lines().size();
  });
  EXPECT_EQ(linesWhenSendReturned, 1u);
  EXPECT_EQ(wnd.LastHandlerThread(), GetCurrentThreadId());
  EXPECT_EQ(wnd.Lines(), std::vector<std::string>{"state ONLINESTATE online=1"});
}

TEST_F(SessionNotify, DeliveryToADestroyedWindowFreesTheRecord) {
  NotifyTestWindow wnd("state", g_SessionGuid);
  HWND gone = wnd.Handle();
  wnd.Destroy();
  for (NotifyDelivery how : {NotifyDelivery::Post, NotifyDelivery::Send}) {
    bool delivered = true;
    std::thread([&] {
      delivered = NotifySessionWindow<CountedRecord>(gone, WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT, g_SessionGuid,
                                                     how, [](CountedRecord&) {});
    }).join();
    EXPECT_FALSE(delivered);
    EXPECT_EQ(CountedRecord::alive, 0);
  }
}

// Records still queued for a window when it goes are freed by its WM_DESTROY, other messages stay.
TEST_F(SessionNotify, DiscardFreesTheRecordsQueuedForTheWindowOnly) {
  NotifyTestWindow wnd("state", g_SessionGuid);
  for (int i = 0; i < 2; ++i)
    ASSERT_TRUE(NotifySessionWindow<CountedRecord>(wnd.Handle(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT,
                                                   g_SessionGuid, NotifyDelivery::Post, [](CountedRecord&) {}));
  PostMessageW(wnd.Handle(), WM_ASSIST_SHOWHIDE, 1, 0);
  EXPECT_EQ(CountedRecord::alive, 2);
  DiscardSessionRecords(wnd.Handle());
  EXPECT_EQ(CountedRecord::alive, 0);
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, wnd.Handle(), WM_ASSIST_SHOWHIDE, WM_ASSIST_SHOWHIDE, PM_REMOVE));
  EXPECT_FALSE(PeekMessageW(&msg, wnd.Handle(), WM_WEBSOCK_NOTIFY, WM_WEBSOCK_NOTIFY, PM_REMOVE));
}

TEST(WebSockSession, StartsEmptyAndIsOnePerProcess) {
  CWebSockSession session;
  EXPECT_EQ(session.m_hThread, nullptr);
  EXPECT_EQ(session.m_hStopEvent, nullptr);
  EXPECT_EQ(session.m_hWndProgress.load(), nullptr);
  EXPECT_EQ(session.m_hWndMsg.load(), nullptr);
  EXPECT_EQ(session.m_hWndState.load(), nullptr);
  EXPECT_EQ(session.m_nRoomId, -1);
  EXPECT_EQ(session.m_uNotifyMsg, 0u);
  EXPECT_EQ(session.m_nProgress, 0);
  EXPECT_EQ(&CWebSockSession::Instance(), &CWebSockSession::Instance());
  stWebSockMainParam param;
  const GUID zero = {};
  EXPECT_EQ(param.pSession, nullptr);
  EXPECT_EQ(param.hStopEvent, nullptr);
  EXPECT_EQ(std::memcmp(&param.connectGuid, &zero, sizeof(GUID)), 0);
}

}  // namespace

