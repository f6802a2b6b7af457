// The login window on the headless desktop: history rows, validation toasts, deleting rooms,
// progress, and a real connection to the room simulator that hands over to the main bar.
#include "ui/LoginWnd.h"

#include <gtest/gtest.h>

#include "../dui/DuiTestWindow.h"
#include "UiTestEnvironment.h"
#include "dui/CheckBoxUI.h"
#include "dui/ComboUI.h"
#include "dui/EditUI.h"
#include "dui/ProgressUI.h"
#include "dui/TabLayoutUI.h"
#include "messages/VirelWebsockMsg.h"
#include "net/HttpLookups.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"
#include "platform/testing.h"
#include "platform/testing_clipboard.h"
#include "platform/testing_gdi.h"
#include "platform/testing_input.h"
#include "support/WindowFixture.h"
#include "tools/RoomSimProcess.h"
#include "ui/MainWnd.h"

using qvtest::PumpPending;
using qvtest::PumpUntil;
using qvtest::Utf8;

namespace {

class LoginWindow : public ::testing::Test {
 protected:
  void Open() {
    login_ = new CQvGameLoginWnd;
    ASSERT_TRUE(login_->Create(nullptr, u"Qv直播助手", WS_OVERLAPPEDWINDOW | WS_VISIBLE, WS_EX_WINDOWEDGE));
    login_->CenterWindow();
    ::ShowWindow(login_->GetHWND(), SW_SHOW);
    ::UpdateWindow(login_->GetHWND());
    PumpPending();
  }
  void TearDown() override {
    CWebSockSession::Instance().Stop();
    if (login_) {
      if (::IsWindow(login_->GetHWND())) ::DestroyWindow(login_->GetHWND());
      delete login_;
    }
    if (::IsWindow(CQvGameMainWnd::Instance().GetHWND())) ::DestroyWindow(CQvGameMainWnd::Instance().GetHWND());
    PumpPending();
  }
  CControlUI* Find(const char16_t* name) { return login_->m_pm.FindControl(name); }
  std::string Text(const char16_t* name) { return Find(name) ? Utf8(Find(name)->GetText()) : "<missing>"; }
  int Page() { return static_cast<CTabLayoutUI*>(Find(u"TabSwitch")->GetInterface(u"TabLayout"))->GetCurSel(); }
  void Click(const char16_t* name) {
    CControlUI* control = Find(name);
    ASSERT_NE(control, nullptr) << Utf8(name);
    RECT rc = control->GetPos();
    POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ::ClientToScreen(login_->GetHWND(), &pt);
    qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, true, pt.x, pt.y);
    qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, false, pt.x, pt.y);
    PumpPending();
  }
  void PostRecord(WPARAM kind, stVirelWebsockMsg* record, const GUID& guid) {
    record->connectGuid = guid;
    ::PostMessageW(login_->GetHWND(), WM_WEBSOCK_NOTIFY, kind, reinterpret_cast<LPARAM>(record));
    PumpPending();
  }

  qvtest::UiTestEnvironment env_;
  CQvGameLoginWnd* login_ = nullptr;
};

}  // namespace

TEST_F(LoginWindow, AutoConnectWithAnEmptyHistoryAsksForANumberAndWidensTheEditBox) {
  env_.PutSetting("QvGameAssit.xml", "<AutoConnect>1</AutoConnect>\r\n");
  Open();
  EXPECT_EQ(Utf8(login_->m_sToast), "ID号输入不能为空哦~");
  EXPECT_EQ(Page(), 0);
  EXPECT_FALSE(Find(u"RoomIdCombo")->IsVisible());
  RECT rc = Find(u"EditID")->GetPos();
  EXPECT_EQ(rc.left, 46);
  EXPECT_EQ(rc.top, 81);
  EXPECT_EQ(rc.right, 225);
  EXPECT_EQ(rc.bottom, 110);
  EXPECT_EQ(login_->m_pm.GetFocus(), Find(u"EditID"));
  // The toast band is painted over the controls in the toast colour.
  qvplatform::testing::Image img;
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(login_->GetHWND(), img));
  RECT window;
  ::GetWindowRect(login_->GetHWND(), &window);
  POINT origin{0, 0};
  ::ClientToScreen(login_->GetHWND(), &origin);
  EXPECT_EQ(img.At(origin.x - window.left + 3, origin.y - window.top + 180), RGB(254, 232, 191));
}

TEST_F(LoginWindow, SevenStoredRoomsShowTheLastFiveNewestFirst) {
  std::string file = "<AutoConnect>0</AutoConnect>\r\n";
  for (int i = 0; i < 7; ++i)
    file += "<RoomID" + std::to_string(i) + ">" + std::to_string(100 + i) + "</RoomID" + std::to_string(i) + ">\r\n";
  env_.PutSetting("QvGameAssit.xml", file);
  Open();
  ASSERT_EQ(login_->m_history.size(), 5u);
  EXPECT_EQ(Text(u"EditID"), "106");
  EXPECT_EQ(Text(u"LableId0"), "106");
  EXPECT_EQ(Text(u"LableId4"), "102");
  EXPECT_EQ(Text(u"listelement0"), "106");
  EXPECT_TRUE(Find(u"RoomIdCombo")->IsVisible());
  EXPECT_EQ(login_->m_sToast.GetLength(), 0);
}

TEST_F(LoginWindow, BadNumbersAreRefusedWithAToastAndNothingStarts) {
  Open();
  auto* edit = static_cast<CEditUI*>(Find(u"EditID")->GetInterface(u"Edit"));
  ASSERT_NE(edit, nullptr);
  EXPECT_TRUE(edit->IsNumberOnly());
  edit->SetText(u"12a");  // pasted text is not filtered by the box
  Click(u"ConnectBtn");
  EXPECT_EQ(Utf8(login_->m_sToast), "无效房间号，请输入有效房间号(数字)");
  EXPECT_EQ(Page(), 0);
  EXPECT_EQ(CWebSockSession::Instance().m_hThread, nullptr);
  edit->SetText(u"");
  Click(u"ConnectBtn");
  EXPECT_EQ(Utf8(login_->m_sToast), "ID号输入不能为空哦~");
}

TEST_F(LoginWindow, TypedDigitsReachTheEditBoxAndEnterConnectsOnce) {
  LookupEndpoints() = {"127.0.0.1", 9, "127.0.0.1:9"};  // nothing listens: the attempt fails later
  Open();
  ASSERT_EQ(login_->m_pm.GetFocus(), Find(u"EditID"));
  using qvplatform::testing::InjectKey;
  for (unsigned vk : {'8', '8', 'A', '8'}) {
    InjectKey(vk, true);
    InjectKey(vk, false);
  }
  PumpPending();
  EXPECT_EQ(Text(u"EditID"), "888") << "digits only from the keyboard";
  InjectKey(VK_RETURN, true);
  InjectKey(VK_RETURN, false);
  PumpPending();
  // The key's "return" starts the connection; the Enter character after it is swallowed.
  EXPECT_EQ(Page(), 1);
  EXPECT_FALSE(login_->m_bSwallowEnter);
  EXPECT_NE(CWebSockSession::Instance().m_hThread, nullptr);
  // The edit box is hidden with its page, so a second Enter reaches the window only as a character:
  // it starts the attempt again, under a new identity.
  GUID first = g_SessionGuid;
  InjectKey(VK_RETURN, true);
  InjectKey(VK_RETURN, false);
  PumpPending();
  EXPECT_EQ(Page(), 1);
  EXPECT_FALSE(IsSameGuid(first, g_SessionGuid));
}

// A focused button or check box takes Enter itself: Cancel does not reconnect, the check box does
// not connect. A cancelled room's count and state are not kept for the next one.
TEST_F(LoginWindow, EnterOnAFocusedButtonOrCheckBoxActsOnItAloneAndCancelForgetsTheRoom) {
  LookupEndpoints() = {"127.0.0.1", 9, "127.0.0.1:9"};  // nothing listens: the attempt fails later
  env_.PutSetting("QvGameAssit.xml", "<AutoConnect>0</AutoConnect>\r\n<RoomID0>888</RoomID0>\r\n");
  Open();
  using qvplatform::testing::InjectKey;
  auto* check = static_cast<CCheckBoxUI*>(Find(u"AutoConnectCheck")->GetInterface(u"CheckBox"));
  ASSERT_NE(check, nullptr);
  const bool checked = check->GetCheck();
  check->SetFocus();
  InjectKey(VK_RETURN, true);
  InjectKey(VK_RETURN, false);
  PumpPending();
  EXPECT_NE(check->GetCheck(), checked);
  EXPECT_EQ(Page(), 0) << "Enter on the check box connected";

  Find(u"EditID")->SetFocus();
  InjectKey(VK_RETURN, true);  // connects; its character clears the swallow flag
  InjectKey(VK_RETURN, false);
  PumpPending();
  ASSERT_EQ(Page(), 1);
  g_nLastUserCount = 1234;
  g_bOnline = true;
  Find(u"CancelConnectBtn")->SetFocus();
  InjectKey(VK_RETURN, true);
  InjectKey(VK_RETURN, false);
  PumpPending();
  EXPECT_EQ(Page(), 0) << "Enter on Cancel connected again";
  EXPECT_TRUE(IsSameGuid(g_SessionGuid, GUID{}));
  EXPECT_EQ(g_nLastUserCount, -1);
  EXPECT_FALSE(g_bOnline);
}

// A room number copied elsewhere pastes with Ctrl+V, Shift+Insert and the middle button (the
// PRIMARY selection), keeping only what could be typed; copy and cut give it back.
TEST_F(LoginWindow, RoomBoxPastesCopiesAndCutsThroughTheClipboard) {
  Open();
  using qvplatform::testing::InjectKey;
  auto* edit = static_cast<CEditUI*>(Find(u"EditID")->GetInterface(u"Edit"));
  ASSERT_NE(edit, nullptr);
  auto chord = [](unsigned modifier, unsigned vk) {
    InjectKey(modifier, true);
    InjectKey(vk, true);
    InjectKey(vk, false);
    InjectKey(modifier, false);
    PumpPending();
  };
  ASSERT_TRUE(qvplatform::testing::CopyFromAnotherProgram(u" 房间 8 8 8\n"));
  chord(VK_CONTROL, 'V');
  EXPECT_EQ(Text(u"EditID"), "888");
  ASSERT_TRUE(qvplatform::testing::CopyFromAnotherProgram(u"66"));
  chord(VK_SHIFT, VK_INSERT);
  EXPECT_EQ(Text(u"EditID"), "88866");

  chord(VK_CONTROL, 'A');
  chord(VK_CONTROL, 'C');
  std::u16string copied;
  ASSERT_TRUE(qvplatform::testing::PasteInAnotherProgram(copied));
  EXPECT_EQ(copied, u"88866");
  chord(VK_SHIFT, VK_DELETE);  // cut
  EXPECT_EQ(Text(u"EditID"), "");
  ASSERT_TRUE(qvplatform::testing::PasteInAnotherProgram(copied));
  EXPECT_EQ(copied, u"88866");

  ASSERT_TRUE(qvplatform::testing::CopyFromAnotherProgram(u"12345", true));
  RECT rc = Find(u"EditID")->GetPos();
  POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
  ::ClientToScreen(login_->GetHWND(), &pt);
  qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Middle, true, pt.x, pt.y);
  qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Middle, false, pt.x, pt.y);
  PumpPending();
  EXPECT_EQ(Text(u"EditID"), "12345");
}

// On a first run the room box shows its frame, and its caret blinks.
TEST_F(LoginWindow, FirstRunRoomBoxHasItsFrameAndItsCaretBlinks) {
  qvplatform::testing::FreezeClock();
  Open();
  auto* edit = static_cast<CEditUI*>(Find(u"EditID")->GetInterface(u"Edit"));
  ASSERT_NE(edit, nullptr);
  ASSERT_TRUE(edit->IsFocused());
  qvplatform::testing::Image image;
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(login_->GetHWND(), image));
  RECT rc = edit->GetPos();
  EXPECT_EQ(image.At(rc.left, (rc.top + rc.bottom) / 2), RGB(0xD5, 0xD5, 0xD5));
  const bool on = edit->IsCaretOn();
  qvplatform::testing::AdvanceClock(510);
  PumpPending();
  EXPECT_NE(edit->IsCaretOn(), on);
  qvplatform::testing::AdvanceClock(510);
  PumpPending();
  EXPECT_EQ(edit->IsCaretOn(), on);
  qvplatform::testing::SetClockSpeed(1);
}

TEST_F(LoginWindow, DeletingRowsRewritesTheHistoryAndClearsTheEditBoxWhenItHeldTheRoom) {
  env_.PutSetting("QvGameAssit.xml",
                  "<AutoConnect>0</AutoConnect>\r\n<RoomID0>11</RoomID0>\r\n<RoomID1>22</RoomID1>\r\n<RoomID2>33</RoomID2>\r\n");
  Open();
  EXPECT_EQ(Text(u"EditID"), "33");
  // Row 2 shows entry 2 ("33"), the edit box's room. (The buttons live in the combo's drop-down;
  // their clicks reach the window as notifications.)
  TNotifyUI click;
  click.sType = u"click";
  click.pSender = Find(u"DelBtn2");
  login_->m_pm.SendNotify(click);
  EXPECT_EQ(env_.GetSetting("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n<RoomID0>11</RoomID0>\r\n<RoomID1>22</RoomID1>\r\n");
  EXPECT_EQ(Text(u"EditID"), "");
  EXPECT_FALSE(Find(u"listelement2")->IsVisible());
  // Another row: the most recent remaining room goes into the edit box.
  click.pSender = Find(u"DelBtn4");  // "11"
  login_->m_pm.SendNotify(click);
  EXPECT_EQ(env_.GetSetting("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n<RoomID0>22</RoomID0>\r\n");
  EXPECT_EQ(Text(u"EditID"), "22");
  // The last one: the combo goes and the edit box takes its place.
  click.pSender = Find(u"DelBtn4");
  login_->m_pm.SendNotify(click);
  EXPECT_FALSE(Find(u"RoomIdCombo")->IsVisible());
  EXPECT_EQ(Find(u"EditID")->GetPos().right, 225);
  // Rows that show nothing delete nothing.
  click.pSender = Find(u"DelBtn0");
  login_->m_pm.SendNotify(click);
  EXPECT_EQ(env_.GetSetting("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n");
}

TEST_F(LoginWindow, InTheDropDownARoomIsPickedByItsRowAndDeletedByItsButton) {
  env_.PutSetting("QvGameAssit.xml", "<AutoConnect>0</AutoConnect>\r\n<RoomID0>11</RoomID0>\r\n<RoomID1>22</RoomID1>\r\n");
  Open();
  auto* combo = static_cast<CComboUI*>(Find(u"RoomIdCombo")->GetInterface(u"Combo"));
  ASSERT_NE(combo, nullptr);
  auto clickAt = [](POINT pt) {
    qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, true, pt.x, pt.y);
    qvplatform::testing::InjectMouseButton(qvplatform::testing::Button::Left, false, pt.x, pt.y);
    PumpPending();
  };
  // A point of a control in the drop-down, in screen coordinates.
  auto inDropDown = [&](const char16_t* name, bool left) {
    RECT rc = Find(name)->GetPos();
    POINT pt{left ? rc.left + 10 : (rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    ::ClientToScreen(combo->GetDropDownWindow(), &pt);
    return pt;
  };
  // The edit box covers the combo but for its arrow, at the right.
  auto open = [&] {
    RECT rc = combo->GetPos();
    POINT pt{rc.right - 8, (rc.top + rc.bottom) / 2};
    ::ClientToScreen(login_->GetHWND(), &pt);
    clickAt(pt);
    return combo->IsDropDownOpen();
  };
  // The edit box shows the newest room, 22; a click on the text of 11's row picks 11.
  ASSERT_TRUE(open());
  clickAt(inDropDown(u"LableId4", true));  // row 4 shows entry 0, "11"
  EXPECT_EQ(Text(u"EditID"), "11");
  EXPECT_EQ(combo->GetCurSel(), -1) << "ready to pick the same room again";
  EXPECT_EQ(env_.GetSetting("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n<RoomID0>11</RoomID0>\r\n<RoomID1>22</RoomID1>\r\n");
  // Its button deletes it and nothing else.
  if (!combo->IsDropDownOpen()) {
    ASSERT_TRUE(open());
  }
  clickAt(inDropDown(u"DelBtn3", false));
  EXPECT_EQ(env_.GetSetting("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n<RoomID0>11</RoomID0>\r\n");
  EXPECT_EQ(Text(u"EditID"), "11");
}

TEST_F(LoginWindow, ProgressAnimatesTowardsItsTargetAndStaleRecordsChangeNothing) {
  Open();
  GUID current{};
  ::CoCreateGuid(&current);
  g_SessionGuid = current;
  login_->m_sToast = u"";
  static_cast<CTabLayoutUI*>(Find(u"TabSwitch")->GetInterface(u"TabLayout"))->SelectItem(1);
  auto* bar = static_cast<CProgressUI*>(Find(u"ConnectProgress")->GetInterface(u"Progress"));
  auto* progress = new stWebsockMainProgress;
  progress->percent = 80;
  progress->fromPercent = 10;
  progress->interval = 20;
  PostRecord(WEBSOCK_NOTIFY_PROGRESS, progress, current);
  ASSERT_TRUE(PumpUntil([&] { return bar->GetValue() == 80; }, 5000));
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(bar->GetValue(), 80) << "the bar stops at its target";
  EXPECT_EQ(Text(u"ProgressLable"), "80%");
  EXPECT_EQ(CQvGameMainWnd::Instance().GetHWND(), nullptr) << "only a target of 100 connects";
  // A record of another attempt is dropped.
  GUID stale = current;
  stale.Data4[7] ^= 1;
  auto* late = new stWebsockMainProgress;
  late->percent = 5;
  PostRecord(WEBSOCK_NOTIFY_PROGRESS, late, stale);
  EXPECT_EQ(bar->GetValue(), 80);
  auto* error = new stWebsockConnectErr;
  error->errText = u"连接房间失败，代码98";
  PostRecord(WEBSOCK_NOTIFY_CONNECTERR, error, stale);
  EXPECT_EQ(Page(), 1);
  // The current attempt's error returns to the first page with its text.
  error = new stWebsockConnectErr;
  error->errText = u"连接房间失败，代码98";
  PostRecord(WEBSOCK_NOTIFY_CONNECTERR, error, current);
  EXPECT_EQ(Page(), 0);
  EXPECT_EQ(Utf8(login_->m_sToast), "连接房间失败，代码98");
}

TEST_F(LoginWindow, ARealConnectionFillsTheBarRecordsTheRoomAndHandsOverToTheMainBar) {
  simtest::RoomSimProcess sim;
  ASSERT_TRUE(sim.Start({"--rate", "5"})) << sim.startError();
  LookupEndpoints() = {"127.0.0.1", sim.apiPort(), "127.0.0.1:" + std::to_string(sim.roomPort())};
  qvplatform::testing::SetClockSpeed(10);
  Open();
  auto* edit = static_cast<CEditUI*>(Find(u"EditID")->GetInterface(u"Edit"));
  edit->SetText(u"0888");  // leading zeros connect to 888 and are stored as typed
  Click(u"ConnectBtn");
  EXPECT_EQ(Page(), 1);
  EXPECT_TRUE(login_->m_bSwallowEnter);
  EXPECT_EQ(Text(u"NoticeLable").rfind("连接中...", 0), 0u);
  ASSERT_TRUE(PumpUntil([&] { return CQvGameMainWnd::Instance().GetHWND() != nullptr; }, 60000))
      << "toast: " << Utf8(login_->m_sToast);
  EXPECT_FALSE(::IsWindowVisible(login_->GetHWND()));
  EXPECT_TRUE(::IsWindowVisible(CQvGameMainWnd::Instance().GetHWND()));
  EXPECT_EQ(env_.GetSetting("QvGameAssit.xml"), "<AutoConnect>0</AutoConnect>\r\n<RoomID0>0888</RoomID0>\r\n");
  EXPECT_NE(Text(u"NoticeLable").find("主播小七"), std::string::npos) << Text(u"NoticeLable");
  // The bar shows the count heard while connecting, with separators.
  CQvGameMainWnd& bar = CQvGameMainWnd::Instance();
  ASSERT_TRUE(PumpUntil([&] {
    CControlUI* count = bar.m_pm.FindControl(u"ProgressLable2");
    return count && Utf8(count->GetText()) != "0";
  }, 20000));
  EXPECT_NE(Utf8(bar.m_pm.FindControl(u"ProgressLable2")->GetText()).find(','), std::string::npos);
  qvplatform::testing::SetClockSpeed(1);
}
