// The framework's core on headless windows: layouts from layout text, names, pages, input turned
// into control events and notifications, painting, timers, clean-up and the builder's failures.
#include <gtest/gtest.h>

#include <algorithm>

#include "DuiTestWindow.h"
#include "dui/ButtonUI.h"
#include "dui/CheckBoxUI.h"
#include "dui/ContainerUI.h"
#include "dui/LabelUI.h"
#include "dui/ProgressUI.h"
#include "dui/TabLayoutUI.h"
#include "dui/VerticalLayoutUI.h"
#include "platform/testing_gdi.h"
#include "platform/testing_input.h"
#include "support/TraceCapture.h"
#include "support/WindowFixture.h"

using qvplatform::testing::Button;
using qvplatform::testing::InjectMouseButton;
using qvplatform::testing::InjectMouseMove;
using qvtest::DuiTestWindow;
using qvtest::PumpPending;

namespace {

RECT Pos(CControlUI* c) { return c ? c->GetPos() : RECT{-1, -1, -1, -1}; }

::testing::AssertionResult RectIs(CControlUI* c, RECT want) {
  RECT r = Pos(c);
  if (r.left == want.left && r.top == want.top && r.right == want.right && r.bottom == want.bottom)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << r.left << "," << r.top << "," << r.right << "," << r.bottom
                                       << ") want (" << want.left << "," << want.top << "," << want.right << ","
                                       << want.bottom << ")";
}

void ClickAt(POINT pt) {
  InjectMouseButton(Button::Left, true, pt.x, pt.y);
  InjectMouseButton(Button::Left, false, pt.x, pt.y);
  PumpPending();
}

int Count(const std::vector<std::string>& notes, const std::string& note) {
  return static_cast<int>(std::count(notes.begin(), notes.end(), note));
}

}  // namespace

TEST(DuiLayout, VerticalAndHorizontalLayoutsShareWhatFixedSizesLeave) {
  DuiTestWindow w(uR"(<Window size="200,120">
    <VerticalLayout name="root" inset="10,5,10,5" childpadding="2">
      <Control name="top" height="20"/>
      <HorizontalLayout name="row" childpadding="4">
        <Control name="a" width="30" padding="1,2,3,4"/>
        <Control name="b"/>
        <Control name="c"/>
      </HorizontalLayout>
      <Control name="bottom" height="31"/>
      <Control name="free" float="true" pos="150,3,170,13"/>
    </VerticalLayout></Window>)");
  ASSERT_TRUE(w.Open(100, 100, 10, 10));
  // The layout's size became the window's.
  RECT client;
  ::GetClientRect(w.GetHWND(), &client);
  EXPECT_EQ(client.right, 200);
  EXPECT_EQ(client.bottom, 120);
  EXPECT_TRUE(RectIs(w.Find(u"root"), {0, 0, 200, 120}));
  EXPECT_TRUE(RectIs(w.Find(u"top"), {10, 5, 190, 25}));
  // 110 high inside the inset: 20 + 31 fixed, two gaps of 2, so the row gets 55.
  EXPECT_TRUE(RectIs(w.Find(u"row"), {10, 27, 190, 82}));
  EXPECT_TRUE(RectIs(w.Find(u"bottom"), {10, 84, 190, 115}));
  // Row: 180 wide; a takes 30 + 4 padding, two gaps of 4: b and c share 138.
  EXPECT_TRUE(RectIs(w.Find(u"a"), {11, 29, 41, 78}));
  EXPECT_TRUE(RectIs(w.Find(u"b"), {48, 27, 117, 82}));
  EXPECT_TRUE(RectIs(w.Find(u"c"), {121, 27, 190, 82}));
  // A float control sits at its position inside its parent, whatever the layout does.
  EXPECT_TRUE(RectIs(w.Find(u"free"), {150, 3, 170, 13}));
  // Hiding an item gives its share to the others at the next layout.
  w.Find(u"c")->SetVisible(false);
  ::UpdateWindow(w.GetHWND());
  EXPECT_TRUE(RectIs(w.Find(u"b"), {48, 27, 190, 82}));
  ::DestroyWindow(w.GetHWND());
  EXPECT_EQ(w.finalMessages, 1);
  EXPECT_EQ(w.GetHWND(), nullptr);
}

TEST(DuiLayout, MinAndMaxSizesBoundTheSharedSpace) {
  DuiTestWindow w(uR"(<Window size="100,100"><VerticalLayout>
      <Control name="small" maxheight="10"/>
      <Control name="rest"/>
    </VerticalLayout></Window>)");
  ASSERT_TRUE(w.Open());
  EXPECT_EQ(Pos(w.Find(u"small")).bottom - Pos(w.Find(u"small")).top, 10);
  EXPECT_TRUE(RectIs(w.Find(u"rest"), {0, 10, 100, 60}));
}

TEST(DuiTabs, OnlyTheSelectedPageIsVisibleAndChangesAreNotified) {
  DuiTestWindow w(uR"(<Window size="100,100"><TabLayout name="tabs">
      <VerticalLayout name="page0"><Button name="b0" height="20"/></VerticalLayout>
      <VerticalLayout name="page1"><Button name="b1" height="20"/></VerticalLayout>
    </TabLayout></Window>)");
  ASSERT_TRUE(w.Open());
  auto* tabs = static_cast<CTabLayoutUI*>(w.Find(u"tabs")->GetInterface(u"TabLayout"));
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(tabs->GetCurSel(), 0);
  EXPECT_TRUE(w.Find(u"b0")->IsVisible());
  EXPECT_FALSE(w.Find(u"b1")->IsVisible());
  EXPECT_TRUE(tabs->SelectItem(1));
  EXPECT_EQ(tabs->GetCurSel(), 1);
  EXPECT_FALSE(w.Find(u"b0")->IsVisible());
  EXPECT_TRUE(w.Find(u"b1")->IsVisible());
  EXPECT_EQ(Count(w.notes, "tabselect tabs"), 1);
  EXPECT_FALSE(tabs->SelectItem(2));
  EXPECT_FALSE(tabs->SelectItem(-1));
  EXPECT_EQ(tabs->GetCurSel(), 1);
  // A click on the hidden page's place reaches the visible page's button only.
  ::UpdateWindow(w.GetHWND());
  ClickAt(w.ScreenPoint(w.Find(u"b1")));
  EXPECT_EQ(Count(w.notes, "click b1"), 1);
  EXPECT_EQ(Count(w.notes, "click b0"), 0);
}

TEST(DuiEvents, AButtonClicksOnlyWhenPressedAndReleasedOverItWhileEnabled) {
  DuiTestWindow w(uR"(<Window size="200,100"><HorizontalLayout>
      <Button name="ok" width="80"/><Label name="caption"/>
    </HorizontalLayout></Window>)");
  ASSERT_TRUE(w.Open(50, 60));
  CControlUI* ok = w.Find(u"ok");
  // The first layout tells the window its controls are ready, once.
  ASSERT_FALSE(w.notes.empty());
  EXPECT_EQ(w.notes.front(), "windowinit ");
  EXPECT_EQ(Count(w.notes, "windowinit "), 1);
  ClickAt(w.ScreenPoint(ok));
  EXPECT_EQ(Count(w.notes, "click ok"), 1);
  // Pressed over it, released elsewhere: no click, and the button is not left pushed.
  POINT inside = w.ScreenPoint(ok), outside = w.ScreenPoint(w.Find(u"caption"));
  InjectMouseButton(Button::Left, true, inside.x, inside.y);
  PumpPending();
  auto* button = static_cast<CButtonUI*>(ok->GetInterface(u"Button"));
  EXPECT_TRUE(button->GetButtonState() & UISTATE_PUSHED);
  InjectMouseMove(outside.x, outside.y);
  PumpPending();
  EXPECT_FALSE(button->GetButtonState() & UISTATE_PUSHED) << "not pushed while the mouse is away";
  InjectMouseButton(Button::Left, false, outside.x, outside.y);
  PumpPending();
  EXPECT_EQ(Count(w.notes, "click ok"), 1);
  EXPECT_EQ(button->GetButtonState() & (UISTATE_PUSHED | UISTATE_CAPTURED), 0u);
  // Hot while the mouse is over it, not after it left.
  InjectMouseMove(inside.x, inside.y);
  PumpPending();
  EXPECT_TRUE(button->GetButtonState() & UISTATE_HOT);
  InjectMouseMove(outside.x, outside.y);
  PumpPending();
  EXPECT_FALSE(button->GetButtonState() & UISTATE_HOT);
  ok->SetEnabled(false);
  ClickAt(w.ScreenPoint(ok));
  EXPECT_EQ(Count(w.notes, "click ok"), 1);
  // A control the mouse passes through hands the click to what is below it.
  RECT caption = Pos(w.Find(u"caption"));
  POINT middle{(caption.left + caption.right) / 2, (caption.top + caption.bottom) / 2};
  EXPECT_EQ(w.Manager().FindControl(middle), w.Find(u"caption"));
  w.Find(u"caption")->SetMouseEnabled(false);
  EXPECT_NE(w.Manager().FindControl(middle), w.Find(u"caption"));
}

TEST(DuiEvents, CheckBoxesToggleAndOptionsOfAGroupExcludeEachOther) {
  DuiTestWindow w(uR"(<Window size="300,40"><HorizontalLayout>
      <CheckBox name="check" width="60"/>
      <Option name="o1" group="g" selected="true" width="60"/>
      <Option name="o2" group="g" width="60"/>
      <Option name="o3" group="g" width="60"/>
    </HorizontalLayout></Window>)");
  ASSERT_TRUE(w.Open());
  auto* check = static_cast<CCheckBoxUI*>(w.Find(u"check")->GetInterface(u"CheckBox"));
  ASSERT_NE(check, nullptr);
  EXPECT_FALSE(check->GetCheck());
  ClickAt(w.ScreenPoint(check));
  EXPECT_TRUE(check->GetCheck());
  ClickAt(w.ScreenPoint(check));
  EXPECT_FALSE(check->GetCheck());
  EXPECT_EQ(Count(w.notes, "selectchanged check"), 2);
  auto option = [&](const char16_t* name) { return static_cast<COptionUI*>(w.Find(name)->GetInterface(u"Option")); };
  EXPECT_TRUE(option(u"o1")->IsSelected());
  ClickAt(w.ScreenPoint(option(u"o3")));
  EXPECT_FALSE(option(u"o1")->IsSelected());
  EXPECT_FALSE(option(u"o2")->IsSelected());
  EXPECT_TRUE(option(u"o3")->IsSelected());
  // Clicking the selected option of a group keeps it selected.
  ClickAt(w.ScreenPoint(option(u"o3")));
  EXPECT_TRUE(option(u"o3")->IsSelected());
  check->SetCheck(true);
  EXPECT_TRUE(check->GetCheck());
}

TEST(DuiPaint, ColoursProgressAndHiddenControlsShowOnTheWindow) {
  DuiTestWindow w(uR"(<Window size="100,60"><VerticalLayout bkcolor="#FF0000FF">
      <Control name="red" height="20" bkcolor="FFFF0000"/>
      <Progress name="bar" height="20" forecolor="#FF00FF00" bkcolor="#FFFFFFFF" value="25"/>
      <Control name="hidden" height="20" bkcolor="#FFFF00FF" visible="false"/>
    </VerticalLayout></Window>)");
  ASSERT_TRUE(w.Open());
  qvplatform::testing::Image img;
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(w.GetHWND(), img));
  EXPECT_EQ(img.At(50, 10), RGB(255, 0, 0));
  // A quarter of the bar is filled.
  EXPECT_EQ(img.At(20, 30), RGB(0, 255, 0));
  EXPECT_EQ(img.At(30, 30), RGB(255, 255, 255));
  // The hidden control leaves the container's blue.
  EXPECT_EQ(img.At(50, 50), RGB(0, 0, 255));
  auto* bar = static_cast<CProgressUI*>(w.Find(u"bar")->GetInterface(u"Progress"));
  bar->SetValue(150);  // kept within the range
  EXPECT_EQ(bar->GetValue(), 100);
  ::UpdateWindow(w.GetHWND());
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(w.GetHWND(), img));
  EXPECT_EQ(img.At(95, 30), RGB(0, 255, 0));
  // Half-transparent colours blend with what is below.
  w.Find(u"red")->SetBkColor(0x80FFFFFF);
  ::UpdateWindow(w.GetHWND());
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(w.GetHWND(), img));
  COLORREF mixed = img.At(50, 10);
  EXPECT_NEAR(GetRValue(mixed), 128, 3);
  EXPECT_NEAR(GetBValue(mixed), 255, 3);
}

TEST(DuiTree, NamesFollowControlsInAndOutAndRemovedItemsGoAfterTheEvent) {
  DuiTestWindow w(uR"(<Window size="100,100"><VerticalLayout name="list">
      <Button name="dup" height="10" text="first"/><Button name="dup" height="10" text="second"/>
      <Button name="gone" height="10"/>
    </VerticalLayout></Window>)");
  ASSERT_TRUE(w.Open());
  EXPECT_EQ(qvtest::Utf8(w.Find(u"dup")->GetText()), "first");  // the first of a name keeps it
  auto* list = static_cast<CContainerUI*>(w.Find(u"list")->GetInterface(u"Container"));
  CControlUI* gone = w.Find(u"gone");
  gone->SetFocus();
  ASSERT_TRUE(list->Remove(gone));
  EXPECT_EQ(w.Find(u"gone"), gone) << "freed only after the current message";
  PumpPending();
  EXPECT_EQ(w.Find(u"gone"), nullptr);
  EXPECT_EQ(w.Manager().GetFocus(), nullptr);
  EXPECT_EQ(list->GetCount(), 2);
  // A control added later is named and laid out.
  auto* late = new CLabelUI;
  late->SetName(u"late");
  late->SetFixedHeight(10);
  ASSERT_TRUE(list->AddAt(late, 0));
  EXPECT_EQ(w.Find(u"late"), late);
  ::UpdateWindow(w.GetHWND());
  EXPECT_TRUE(RectIs(late, {0, 0, 100, 10}));
  auto* stray = new CLabelUI;
  EXPECT_FALSE(list->AddAt(stray, 7));
  delete stray;
  EXPECT_TRUE(list->SetItemIndex(late, 2));
  EXPECT_EQ(list->GetItemIndex(late), 2);
  EXPECT_FALSE(list->RemoveAt(-1));
  EXPECT_EQ(list->GetItemAt(99), nullptr);
}

TEST(DuiTimers, ControlTimersTickWithTheirOwnIdsUntilKilledOrTheControlGoes) {
  struct Ticker : CControlUI {
    std::vector<WPARAM> ticks;
    void DoEvent(TEventUI& e) override {
      if (e.Type == UIEVENT_TIMER) ticks.push_back(e.wParam);
      else CControlUI::DoEvent(e);
    }
  };
  DuiTestWindow w(uR"(<Window size="50,50"><VerticalLayout name="root"/></Window>)");
  ASSERT_TRUE(w.Open());
  auto* root = static_cast<CContainerUI*>(w.Find(u"root")->GetInterface(u"Container"));
  auto* a = new Ticker;
  auto* b = new Ticker;
  root->Add(a);
  root->Add(b);
  CPaintManagerUI& pm = w.Manager();
  ASSERT_TRUE(pm.SetTimer(a, 7, 10));
  ASSERT_TRUE(pm.SetTimer(b, 7, 10));
  ASSERT_TRUE(qvtest::PumpUntil([&] { return a->ticks.size() >= 2 && b->ticks.size() >= 2; }));
  EXPECT_EQ(a->ticks[0], 7u);
  EXPECT_TRUE(pm.KillTimer(a, 7));
  EXPECT_FALSE(pm.KillTimer(a, 7));
  size_t seen = a->ticks.size();
  root->Remove(b);  // its timer goes with it
  qvtest::PumpUntil([] { return false; }, 100);  // 100 ms of ticks that must not come
  EXPECT_EQ(a->ticks.size(), seen);
}

TEST(DuiNotify, AsyncNotificationsArriveFromTheLoopUnlessTheirSenderWentAway) {
  DuiTestWindow w(uR"(<Window size="50,50"><VerticalLayout name="root"><Button name="b"/><Button name="c"/></VerticalLayout></Window>)");
  ASSERT_TRUE(w.Open());
  w.notes.clear();
  w.Manager().SendNotify(w.Find(u"b"), u"later", 0, 0, true);
  w.Manager().SendNotify(w.Find(u"c"), u"later", 0, 0, true);
  EXPECT_TRUE(w.notes.empty());
  auto* root = static_cast<CContainerUI*>(w.Find(u"root")->GetInterface(u"Container"));
  root->Remove(w.Find(u"c"));
  PumpPending();
  EXPECT_EQ(w.notes, std::vector<std::string>{"later b"});
}

TEST(DuiBuilder, AttributesDefaultsFontsAndCallbacksApply) {
  struct Callback : IDialogBuilderCallback {
    CControlUI* CreateControl(LPCWSTR cls) override {
      if (CDuiString(cls) != u"Special") return nullptr;
      auto* c = new CControlUI;
      c->SetName(u"special");
      return c;
    }
  } callback;
  qvtest::TraceCapture traces;
  DuiTestWindow w(uR"(<Window size="80,80" caption="0,0,0,30" roundcorner="4,4">
      <Font name="宋体" size="12"/><Font name="宋体" size="16" bold="true" default="true"/>
      <Default name="Label" value="textcolor=&quot;#FF112233&quot; height=&quot;17&quot;"/>
      <VerticalLayout><Label name="l" text="标签"/><Special/><Mystery name="m"/></VerticalLayout></Window>)",
                  &callback);
  ASSERT_TRUE(w.Open());
  auto* label = static_cast<CLabelUI*>(w.Find(u"l")->GetInterface(u"Label"));
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(label->GetTextColor(), 0xFF112233u);
  EXPECT_EQ(label->GetFixedHeight(), 17);
  EXPECT_EQ(qvtest::Utf8(label->GetText()), "标签");
  EXPECT_NE(w.Find(u"special"), nullptr);
  EXPECT_EQ(w.Find(u"m"), nullptr);
  EXPECT_TRUE(traces.Contains("Layout: unknown control class Mystery\r\n"));
  CPaintManagerUI& pm = w.Manager();
  EXPECT_EQ(pm.GetFontCount(), 2);
  EXPECT_EQ(pm.GetFontInfo(1)->iSize, 16);
  EXPECT_TRUE(pm.GetDefaultFontInfo()->bBold);
  EXPECT_EQ(pm.GetFont(-1), pm.GetDefaultFontInfo()->hFont);
  EXPECT_EQ(pm.GetCaptionRect().bottom, 30);
  EXPECT_EQ(pm.GetRoundCorner().cx, 4);
  EXPECT_EQ(qvtest::Utf8(pm.GetDefaultAttributeList(u"LabelUI")), "textcolor=\"#FF112233\" height=\"17\"");
}

TEST(DuiBuilder, BrokenOrMissingLayoutsGiveNoTreeAndSayWhy) {
  qvtest::TraceCapture traces;
  CDialogBuilder builder;
  EXPECT_EQ(builder.Create(u"<Window><VerticalLayout></Window>"), nullptr);
  EXPECT_EQ(builder.Create(u"NoSuchLayout.xml"), nullptr);
  EXPECT_EQ(builder.Create(u""), nullptr);
  EXPECT_EQ(builder.Create(nullptr), nullptr);
  bool sawMalformed = false, sawMissing = false;
  for (const std::string& line : traces.Lines()) {
    sawMalformed |= line.find("is not well-formed XML") != std::string::npos;
    sawMissing |= line.find("cannot read") != std::string::npos && line.find("NoSuchLayout.xml") != std::string::npos;
  }
  EXPECT_TRUE(sawMalformed);
  EXPECT_TRUE(sawMissing);
  // Items under a control that holds none are dropped, not leaked.
  CControlUI* root = builder.Create(u"<VerticalLayout><Label name=\"x\"><Button/></Label></VerticalLayout>");
  ASSERT_NE(root, nullptr);
  auto* container = static_cast<CContainerUI*>(root->GetInterface(u"Container"));
  ASSERT_EQ(container->GetCount(), 1);
  delete root;
}

TEST(DuiAttributes, ValuesParseLikeTheLayoutsWriteThemAndBadListsStopSafely) {
  EXPECT_EQ(dui::ParseColor(u"#FF102030"), 0xFF102030u);
  EXPECT_EQ(dui::ParseColor(u"ff102030"), 0xFF102030u);
  EXPECT_EQ(dui::ParseColor(u"#zz"), 0u);
  RECT rc = dui::ParseRect(u"1,-2,3,4");
  EXPECT_EQ(rc.left, 1);
  EXPECT_EQ(rc.top, -2);
  EXPECT_EQ(rc.bottom, 4);
  EXPECT_EQ(dui::ParseRect(u"5").right, 0);
  EXPECT_GT(dui::ParseInt(u"99999999999999"), 0) << "a huge number stays a positive int";
  CLabelUI label;
  label.ApplyAttributeList(u"text=\"a \\\"b\\\"\" width='12' name=\"n\"");
  EXPECT_EQ(qvtest::Utf8(label.GetText()), "a \"b\"");
  EXPECT_EQ(label.GetFixedWidth(), 12);
  EXPECT_EQ(qvtest::Utf8(label.GetName()), "n");
  label.ApplyAttributeList(u"text=\"unterminated");
  label.ApplyAttributeList(u"=\"x\" width");
  label.ApplyAttributeList(u"width=12");
  EXPECT_EQ(qvtest::Utf8(label.GetText()), "a \"b\"");
  EXPECT_EQ(label.GetFixedWidth(), 12);
}

TEST(DuiWindow, CentringKeepsTheWindowInTheWorkArea) {
  DuiTestWindow w(uR"(<Window size="200,100"><VerticalLayout/></Window>)");
  ASSERT_TRUE(w.Open(0, 0, 10, 10));
  RECT area;
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  w.CenterWindow();
  RECT rc;
  ::GetWindowRect(w.GetHWND(), &rc);
  EXPECT_EQ(rc.right - rc.left, 200);
  EXPECT_EQ(rc.left, (area.left + area.right) / 2 - 100);
  EXPECT_EQ(rc.top, (area.top + area.bottom) / 2 - 50);
  // Sub-classing system classes is refused plainly.
  struct Super : CWindowWnd {
    LPCWSTR GetWindowClassName() const override { return u"QvSuper"; }
    LPCWSTR GetSuperClassName() const override { return u"EDIT"; }
  } super;
  EXPECT_EQ(super.Create(nullptr, u"", WS_POPUP, 0), nullptr);
}
