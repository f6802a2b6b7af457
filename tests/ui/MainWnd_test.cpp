// The main bar on the headless desktop: its place, skins, folding, auto-hide, the show request,
// Shift+Tab, dragging limits, the user count and the tray icon.
#include "ui/MainWnd.h"

#include <gtest/gtest.h>

#include "../dui/DuiTestWindow.h"
#include "UiTestEnvironment.h"
#include "messages/VirelWebsockMsg.h"
#include "net/SessionNotify.h"
#include "platform/testing.h"
#include "platform/testing_input.h"
#include "platform/testing_tray.h"
#include "support/TraceCapture.h"
#include "support/WindowFixture.h"
#include "ui/AlphaWnd.h"
#include "ui/WebMsgWnd.h"

using qvtest::PumpPending;
using qvtest::PumpUntil;
using qvtest::Utf8;

namespace {

class MainBar : public ::testing::Test {
 protected:
  void Open(bool settingsExisted = true) {
    ::CoCreateGuid(&g_SessionGuid);
    bar_.m_bSettingsFileExisted = settingsExisted;
    ASSERT_TRUE(bar_.Create(nullptr, u"Qv直播助手", WS_POPUP | WS_VISIBLE,
                            WS_EX_LAYERED | WS_EX_CLIENTEDGE | WS_EX_WINDOWEDGE));
    bar_.ShowWindow(true);
    PumpPending();
  }
  void TearDown() override {
    if (::IsWindow(bar_.GetHWND())) ::DestroyWindow(bar_.GetHWND());
    PumpPending();
  }
  bool Shown(HWND hwnd) { return ::IsWindowVisible(hwnd) != FALSE; }
  HWND Overlay() { return bar_.m_pWebMsgWnd->GetHWND(); }
  HWND Mask() { return bar_.m_pAlphaWnd->GetHWND(); }
  void ClickControl(const CDuiString& name) {
    CControlUI* control = bar_.m_pm.FindControl(name);
    ASSERT_NE(control, nullptr) << Utf8(name);
    RECT rc = control->GetPos();
    POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ::ClientToScreen(bar_.GetHWND(), &pt);
    qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, true, pt.x, pt.y);
    qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, false, pt.x, pt.y);
    PumpPending();
  }
  CDuiString Named(const char16_t* format, int d) {
    CDuiString name;
    name.Format(format, d);
    return name;
  }

  qvtest::UiTestEnvironment env_;
  CQvGameMainWnd& bar_ = CQvGameMainWnd::Instance();
};

}  // namespace

TEST(UserCount, GroupsOfThreeDigits) {
  EXPECT_EQ(Utf8(FormatUserCount(0)), "0");
  EXPECT_EQ(Utf8(FormatUserCount(5)), "5");
  EXPECT_EQ(Utf8(FormatUserCount(999)), "999");
  EXPECT_EQ(Utf8(FormatUserCount(1000)), "1,000");
  EXPECT_EQ(Utf8(FormatUserCount(1000000)), "1,000,000");
  EXPECT_EQ(Utf8(FormatUserCount(1234567)), "1,234,567");
  EXPECT_EQ(Utf8(FormatUserCount(2147483647)), "2,147,483,647");
  EXPECT_EQ(Utf8(FormatUserCount(-1234)), "-1,234");
  EXPECT_EQ(Utf8(FormatUserCount(-2147483647 - 1)), "-2,147,483,648");
}

TEST_F(MainBar, StartsAtTheRightEdgeWithItsWindowsBelowAndHidesAfterTenSeconds) {
  qvplatform::testing::FreezeClock();
  Open();
  RECT desk, bar, overlay, mask;
  ::GetWindowRect(::GetDesktopWindow(), &desk);
  ::GetWindowRect(bar_.GetHWND(), &bar);
  ::GetWindowRect(Overlay(), &overlay);
  ::GetWindowRect(Mask(), &mask);
  EXPECT_EQ(bar.right, desk.right);
  EXPECT_EQ(bar.top, static_cast<int>((desk.bottom - desk.top) * 0.3));
  EXPECT_EQ(overlay.left, bar.left);
  EXPECT_EQ(overlay.top, bar.bottom);
  EXPECT_EQ(overlay.right, bar.right);
  EXPECT_EQ(overlay.bottom - overlay.top, 35);
  EXPECT_TRUE(EqualRect(&overlay, &mask));
  EXPECT_TRUE(Shown(bar_.GetHWND()) && Shown(Overlay()) && Shown(Mask()));
  BYTE alpha = 0;
  DWORD flags = 0;
  ASSERT_TRUE(::GetLayeredWindowAttributes(bar_.GetHWND(), nullptr, &alpha, &flags));
  EXPECT_EQ(alpha, 210);
  qvplatform::testing::AdvanceClock(9900);
  PumpPending();
  EXPECT_TRUE(Shown(bar_.GetHWND()));
  qvplatform::testing::AdvanceClock(200);
  ASSERT_TRUE(PumpUntil([&] { return !Shown(bar_.GetHWND()); }, 1000));
  EXPECT_FALSE(Shown(Overlay()));
  EXPECT_FALSE(Shown(Mask()));
  EXPECT_FALSE(bar_.m_bVisible);
  EXPECT_FALSE(bar_.m_bExpanded);
  // A second start brings everything back, and does not restart the auto-hide delay.
  ::PostMessageW(bar_.GetHWND(), WM_ASSIST_SHOWHIDE, 1, 0);
  PumpPending();
  EXPECT_TRUE(Shown(bar_.GetHWND()) && Shown(Overlay()) && Shown(Mask()));
  qvplatform::testing::AdvanceClock(60000);
  PumpPending();
  EXPECT_TRUE(Shown(bar_.GetHWND()));
  // While shown, a second start only brings it to the front; Shift+Tab folds and unfolds.
  ::PostMessageW(bar_.GetHWND(), WM_ASSIST_SHOWHIDE, 1, 0);
  PumpPending();
  EXPECT_TRUE(Shown(Overlay()));
  ::PostMessageW(bar_.GetHWND(), WM_ASSIST_SHOWHIDE, 0, 0);
  PumpPending();
  EXPECT_FALSE(Shown(Overlay()));
  EXPECT_TRUE(Shown(bar_.GetHWND()));
  ::PostMessageW(bar_.GetHWND(), WM_ASSIST_SHOWHIDE, 0, 0);
  PumpPending();
  EXPECT_TRUE(Shown(Overlay()));
  qvplatform::testing::SetClockSpeed(1);
}

TEST_F(MainBar, SkinButtonsCycleThroughFourSkinsAndRewriteTheSkinFile) {
  env_.PutSetting("QvGameAssistSkin.xml", "<SkinOpt>3</SkinOpt>\r\n");
  bar_.m_nSkin = 3;
  Open();
  EXPECT_EQ(bar_.m_pAlphaWnd->m_crFill, SkinColorsOf(3).mask);
  ClickControl(Named(u"ChangeSkinBtn%d", 3));
  EXPECT_EQ(bar_.m_nSkin, 0);
  EXPECT_NE(env_.GetSetting("QvGameAssistSkin.xml").find(">0<"), std::string::npos)
      << env_.GetSetting("QvGameAssistSkin.xml");
  EXPECT_EQ(bar_.m_pWebMsgWnd->m_crNickname, RGB(255, 213, 101));
  EXPECT_EQ(bar_.m_pWebMsgWnd->m_crText, RGB(255, 130, 126));
  for (int i = 0; i < 3; ++i) ClickControl(Named(u"ChangeSkinBtn%d", bar_.m_nSkin));
  EXPECT_EQ(bar_.m_nSkin, 3);
  ClickControl(Named(u"ChangeSkinBtn%d", 3));
  EXPECT_EQ(bar_.m_nSkin, 0);
  // Folding shows the other button of the pair and hides the message windows.
  ClickControl(Named(u"FoldBtn%d", 0));
  EXPECT_FALSE(bar_.m_bExpanded);
  EXPECT_FALSE(Shown(Overlay()));
  EXPECT_FALSE(bar_.m_pm.FindControl(u"FoldBtn0")->IsVisible());
  EXPECT_TRUE(bar_.m_pm.FindControl(u"UnFoldBtn0")->IsVisible());
  ::UpdateWindow(bar_.GetHWND());
  ClickControl(Named(u"UnFoldBtn%d", 0));
  EXPECT_TRUE(bar_.m_bExpanded);
  EXPECT_TRUE(Shown(Overlay()));
}

TEST_F(MainBar, CountsAndLiveStateOfTheCurrentSessionOnlyReachTheLabels) {
  Open();
  NotifySessionWindow<stWebsockMsgUsercount>(bar_.GetHWND(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT,
                                             g_SessionGuid, NotifyDelivery::Post,
                                             [](stWebsockMsgUsercount& r) { r.userCount = 1000000; });
  PumpPending();
  EXPECT_EQ(Utf8(bar_.m_pm.FindControl(u"ProgressLable2")->GetText()), "1,000,000");
  GUID stale = g_SessionGuid;
  stale.Data1 ^= 1;
  NotifySessionWindow<stWebsockMsgUsercount>(bar_.GetHWND(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_USERCOUNT, stale,
                                             NotifyDelivery::Post, [](stWebsockMsgUsercount& r) { r.userCount = 5; });
  PumpPending();
  EXPECT_EQ(Utf8(bar_.m_pm.FindControl(u"ProgressLable2")->GetText()), "1,000,000");
  NotifySessionWindow<stWebsockMsgOnlineState>(bar_.GetHWND(), WM_WEBSOCK_NOTIFY, WEBSOCK_NOTIFY_ONLINESTATE,
                                               g_SessionGuid, NotifyDelivery::Post,
                                               [](stWebsockMsgOnlineState& r) { r.online = 1; });
  PumpPending();
  for (int d = 0; d < 4; ++d)
    EXPECT_EQ(Utf8(bar_.m_pm.FindControl(Named(u"OnlineLable%d", d))->GetBkImage()), "file='OnLine.png' pos='0,0'");
}

TEST_F(MainBar, DraggingStopsAtTheScreenEdgesAndADisplayChangeSendsItHome) {
  Open();
  RECT desk;
  ::GetWindowRect(::GetDesktopWindow(), &desk);
  RECT proposed{-30, -5, 170, 27};
  ::SendMessageW(bar_.GetHWND(), WM_MOVING, 0, reinterpret_cast<LPARAM>(&proposed));
  EXPECT_EQ(proposed.left, 0);
  EXPECT_EQ(proposed.top, 0);
  RECT beyond{desk.right - 100, desk.bottom - 10, desk.right + 100, desk.bottom + 22};
  ::SendMessageW(bar_.GetHWND(), WM_MOVING, 0, reinterpret_cast<LPARAM>(&beyond));
  EXPECT_EQ(beyond.right, desk.right);
  EXPECT_EQ(beyond.bottom, desk.bottom);
  ::MoveWindow(bar_.GetHWND(), 100, 100, 200, 32, TRUE);
  PumpPending();
  RECT overlay;
  ::GetWindowRect(Overlay(), &overlay);
  EXPECT_EQ(overlay.left, 100);
  EXPECT_EQ(overlay.top, 132) << "the message windows follow the bar";
  ::SendMessageW(bar_.GetHWND(), WM_DISPLAYCHANGE, 24, 0);
  PumpPending();
  RECT bar;
  ::GetWindowRect(bar_.GetHWND(), &bar);
  EXPECT_EQ(bar.right, desk.right);
  EXPECT_EQ(bar.top, static_cast<int>((desk.bottom - desk.top) * 0.3));
}

TEST_F(MainBar, ShiftTabAnywhereTogglesTheMessagesAndPlainTabDoesNothing) {
  Open();
  using qvplatform::testing::InjectKey;
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, false);
  PumpPending();
  EXPECT_TRUE(bar_.m_bExpanded);
  InjectKey(VK_SHIFT, true);
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, false);
  PumpPending();
  EXPECT_FALSE(bar_.m_bExpanded);
  InjectKey(VK_TAB, true);  // held: each repeat is another request
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, false);
  InjectKey(VK_SHIFT, false);
  PumpPending();
  EXPECT_TRUE(bar_.m_bExpanded) << "three more toggles";
  InjectKey(VK_TAB, true);
  InjectKey(VK_TAB, false);
  PumpPending();
  EXPECT_TRUE(bar_.m_bExpanded) << "Tab after Shift went up does nothing";
}

TEST_F(MainBar, TheTrayIconIntroducesItselfOnTheFirstRunAndItsExitItemEndsTheProgram) {
  qvplatform::testing::ClearTrayBalloons();
  Open(false);
  auto icons = qvplatform::testing::TrayIcons();
  ASSERT_FALSE(icons.empty());
  EXPECT_EQ(icons.back().owner, bar_.GetHWND());
  EXPECT_EQ(icons.back().id, kTrayIconId);
  EXPECT_EQ(icons.back().tip, u"Qv直播助手");
  auto balloons = qvplatform::testing::TrayBalloons();
  ASSERT_EQ(balloons.size(), 1u);
  EXPECT_EQ(balloons[0].text, u"在这里右击可以关闭小助手哦！");
  // A double click on the icon brings a hidden bar back with its messages.
  ::SendMessageW(bar_.GetHWND(), WM_TIMER, kAutoHideTimerId, 0);
  EXPECT_FALSE(Shown(bar_.GetHWND()));
  using qvplatform::testing::Button;
  using qvplatform::testing::InjectTrayButton;
  for (int i = 0; i < 2; ++i) {
    InjectTrayButton(bar_.GetHWND(), kTrayIconId, Button::Left, true);
    InjectTrayButton(bar_.GetHWND(), kTrayIconId, Button::Left, false);
  }
  PumpPending();
  EXPECT_TRUE(Shown(bar_.GetHWND()) && Shown(Overlay()));
  // The exit command removes the icon and ends the loop.
  ::PostMessageW(bar_.GetHWND(), WM_MENU_COMMAND, 0, 1034);
  MSG msg;
  bool quit = false;
  while (!quit && ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) quit = true;
    ::DispatchMessageW(&msg);
  }
  EXPECT_TRUE(quit);
  icons = qvplatform::testing::TrayIcons();
  bool still = false;
  for (const auto& icon : icons) still |= icon.owner == bar_.GetHWND() && icon.id == kTrayIconId;
  EXPECT_FALSE(still);
}
