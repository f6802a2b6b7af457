// The pop-up menu on the headless desktop: geometry, sub-menus, choices reported to the owner
// window, closing on focus loss and on a press outside, item attributes and painting.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DuiTestWindow.h"
#include "dui/RenderEngine.h"
#include "platform/testing.h"
#include "platform/testing_gdi.h"
#include "platform/testing_input.h"
#include "support/TempFolder.h"
#include "support/WindowFixture.h"
#include "ui/menu/DlgBuilderDirectorMenuEx.h"
#include "ui/menu/MenuListLabelUI.h"
#include "ui/menu/MenuUIEx.h"
#include "ui/menu/MenuWndEx.h"

using qvplatform::testing::Button;
using qvplatform::testing::InjectMouseButton;
using qvplatform::testing::InjectMouseMove;
using qvtest::PumpPending;

namespace {

// The menu's owner: a layout window that writes down every WM_MENU_COMMAND it gets.
class OwnerWindow : public qvtest::DuiTestWindow {
 public:
  explicit OwnerWindow(std::u16string layout) : DuiTestWindow(std::move(layout), &m_director) {}
  std::vector<std::pair<WPARAM, LPARAM>> commands;

  CMenuUIEx* Menu(const char16_t* name) { return static_cast<CMenuUIEx*>(Find(name)); }
  CMenuListLabelUI* Item(const char16_t* menu, int index) {
    CControlUI* item = Menu(menu)->GetItemAt(index);
    return static_cast<CMenuListLabelUI*>(item->GetInterface(u"MenuListLabelUI"));
  }

 protected:
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
    if (uMsg == WM_MENU_COMMAND) {
      commands.emplace_back(wParam, lParam);
      return 0;
    }
    return DuiTestWindow::HandleMessage(uMsg, wParam, lParam);
  }

 private:
  CDlgBuilderDirectorMenuEx m_director;
};

// A top menu with a sub-menu, a check item, a separator and a disabled item; the menus sit in
// the layout without size, as the program's layouts keep them.
const char16_t* const kLayout = uR"(<Window size="300,200"><VerticalLayout name="root">
  <MenuEx name="menu" float="true" pos="0,0,0,0" itemhotbkcolor="#FF3366CC">
    <MenuListLabel text="One" labelid="1001"/>
    <MenuListLabel text="More" labelid="1002" nextmenu="sub"/>
    <MenuListLabel text="Check" labelid="1003" labeltype="check"/>
    <MenuListLabel text="Off" labelid="1004" enabled="false"/>
    <MenuListLabel text="Plain" labelid="1005"/>
    <MenuListLabel text="Long" nextmenu="long"/>
  </MenuEx>
  <MenuEx name="long" float="true" pos="0,0,0,0">
    <MenuListLabel text="l1" labelid="3001"/><MenuListLabel text="l2" labelid="3002"/>
    <MenuListLabel text="l3" labelid="3003"/><MenuListLabel text="l4" labelid="3004"/>
    <MenuListLabel text="l5" labelid="3005"/><MenuListLabel text="l6" labelid="3006"/>
    <MenuListLabel text="l7" labelid="3007"/><MenuListLabel text="l8" labelid="3008"/>
  </MenuEx>
  <MenuEx name="sub" float="true" pos="0,0,0,0">
    <MenuListLabel text="A" labelid="2001" labeltype="radio"/>
    <MenuListLabel text="B" labelid="2002" labeltype="radio" labelmarkcheck="false"/>
    <MenuListLabel text="Leaf" labelid="2003"/>
  </MenuEx>
  <MenuEx name="three" float="true" pos="0,0,0,0">
    <MenuListLabel text="1" labelid="1"/><MenuListLabel text="2" labelid="2"/><MenuListLabel text="3" labelid="3"/>
  </MenuEx>
</VerticalLayout></Window>)";

constexpr WPARAM kReport = 0x5A5A1234;

RECT WindowRect(HWND hwnd) {
  RECT rc{-1, -1, -1, -1};
  ::GetWindowRect(hwnd, &rc);
  return rc;
}

HWND PopupOf(CMenuUIEx* menu) {
  return menu && menu->GetMenuWindow() ? menu->GetMenuWindow()->GetHWND() : nullptr;
}

// Screen point in the middle of a menu item while its pop-up is open.
POINT ItemPoint(CMenuUIEx* menu, int index) {
  RECT rc = menu->GetItemAt(index)->GetPos();
  POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
  ::ClientToScreen(PopupOf(menu), &pt);
  return pt;
}

void MoveTo(POINT pt) {
  InjectMouseMove(pt.x, pt.y);
  PumpPending();
}

void ClickAt(POINT pt) {
  InjectMouseButton(Button::Left, true, pt.x, pt.y);
  InjectMouseButton(Button::Left, false, pt.x, pt.y);
  PumpPending();
}

::testing::AssertionResult RectIs(RECT r, RECT want) {
  if (r.left == want.left && r.top == want.top && r.right == want.right && r.bottom == want.bottom)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << r.left << "," << r.top << "," << r.right << "," << r.bottom
                                       << ") want (" << want.left << "," << want.top << "," << want.right << ","
                                       << want.bottom << ")";
}

struct MenuFixture : ::testing::Test {
  OwnerWindow owner{kLayout};
  int h = 0;  // the default font's text height

  void SetUp() override {
    ASSERT_TRUE(owner.Open(400, 300, 300, 200));
    ASSERT_TRUE(owner.built);
    h = owner.Manager().GetDefaultFontInfo()->tm.tmHeight;
    owner.Menu(u"menu")->SetReportValue(kReport);
  }

  // Opens the top menu at (x, y) and waits until it has painted.
  HWND Open(int x, int y, const char16_t* name = u"menu") {
    CMenuUIEx* menu = owner.Menu(name);
    if (!menu->ShowMenu(x, y)) return nullptr;
    PumpPending();
    return PopupOf(menu);
  }

  bool AllClosed() {
    return !owner.Menu(u"menu")->GetMenuWindow() && !owner.Menu(u"sub")->GetMenuWindow() &&
           CMenuWndEx::OpenMenuWindows().empty();
  }
};

}  // namespace

TEST_F(MenuFixture, OpensAtThePointWithItemsOneFontLineAndThirteenPixelsHigh) {
  // The geometry follows the measured text height; here it is that of a 12-pixel face.
  CMenuUIEx* menu = owner.Menu(u"three");
  HWND popup = Open(100, 100, u"three");
  ASSERT_TRUE(popup);
  EXPECT_TRUE(RectIs(WindowRect(popup), {100, 100, 210, 100 + 3 * (h + 13) + 16 - 9}));
  EXPECT_TRUE(RectIs(menu->GetItemAt(1)->GetPos(), {2, 2 + h + 13, 108, 2 + 2 * (h + 13)}));
  ::SendMessageW(popup, WM_MENU_CLOSE, 0, 0);
  ASSERT_FALSE(::IsWindow(popup));
  // The face here measures its 12 pixels as 14: a face measuring 12 gives the classic sizes.
  owner.Manager().GetDefaultFontInfo()->tm.tmHeight = 12;
  EXPECT_EQ(owner.Item(u"three", 0)->EstimateSize(SIZE{200, 200}).cy, 25);
  popup = Open(100, 100, u"three");
  ASSERT_TRUE(popup);
  // 3 × 25 + 16 − 9 = 82 pixels high, the default 110 wide.
  EXPECT_TRUE(RectIs(WindowRect(popup), {100, 100, 210, 182}));
  EXPECT_TRUE(::GetWindowLongW(popup, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_TRUE(::GetWindowLongW(popup, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  // Items below the inset of 2, one under the other, across the whole menu.
  EXPECT_TRUE(RectIs(menu->GetItemAt(0)->GetPos(), {2, 2, 108, 27}));
  EXPECT_TRUE(RectIs(menu->GetItemAt(2)->GetPos(), {2, 52, 108, 77}));
  EXPECT_EQ(menu->GetTopMenuWindow(), popup);
  EXPECT_EQ(CMenuWndEx::OpenMenuWindows(), std::vector<HWND>{popup});
  // A second opening while it is open changes nothing.
  EXPECT_TRUE(menu->ShowMenu(500, 500));
  EXPECT_EQ(PopupOf(menu), popup);
  EXPECT_TRUE(RectIs(WindowRect(popup), {100, 100, 210, 182}));
}

TEST_F(MenuFixture, NearTheBottomRightCornerItOpensUpAndToTheLeft) {
  RECT area;
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  int x = area.right - area.left - 20, y = area.bottom - area.top - 10;
  HWND popup = Open(x, y, u"three");
  ASSERT_TRUE(popup);
  int height = 3 * (h + 13) + 16 - 9;
  // Right edge at x, bottom edge 4 pixels above y, same size as anywhere else.
  EXPECT_TRUE(RectIs(WindowRect(popup), {x - 110, y - 4 - height, x, y - 4}));
}

// On two monitors, near the right edge of the left one, the menu turns left within that monitor
// rather than spilling onto the primary beside it.
TEST_F(MenuFixture, NearAMonitorsEdgeItStaysOnThatMonitor) {
  const RECT left{0, 0, 1280, 1024}, primary{1280, 0, 3200, 1080};
  ASSERT_TRUE(qvplatform::testing::SetHeadlessMonitors(
      {qvplatform::testing::MonitorSpec{left, left, false}, qvplatform::testing::MonitorSpec{primary, primary, true}}));
  struct Restore {
    ~Restore() { qvplatform::testing::SetHeadlessDesktop(1920, 1080, 0, 0, 1920, 1080); }
  } restore;
  HWND popup = Open(1270, 300, u"three");
  ASSERT_TRUE(popup);
  RECT rc = WindowRect(popup);
  EXPECT_EQ(1270, rc.right) << "the menu reaches " << rc.right;
  EXPECT_EQ(1160, rc.left);
}

TEST_F(MenuFixture, SeparatorsWidthAndAnEmptyMenuSetTheSize) {
  auto* root = static_cast<CContainerUI*>(owner.Find(u"root"));
  CDialogBuilder builder;
  CDlgBuilderDirectorMenuEx director;
  // Two separators among four items: 4 × 25 + 16 + 2 − 49 − 2 = 67, less 9.
  CControlUI* built = builder.Create(uR"(<MenuEx name="sep" menuwidth="150" float="true" pos="0,0,0,0">
      <MenuListLabel text="a"/><Container height="1"/><MenuListLabel text="b"/><Container height="1"/>
    </MenuEx>)",
                                     nullptr, &director);
  ASSERT_TRUE(built);
  root->Add(built);
  auto* empty = new CMenuUIEx;
  empty->SetName(u"empty");
  empty->SetFloat(true);
  root->Add(empty);
  HWND popup = Open(100, 100, u"sep");
  ASSERT_TRUE(popup);
  EXPECT_TRUE(RectIs(WindowRect(popup), {100, 100, 250, 100 + 4 * (h + 13) + 16 + 2 - 49 - 2 - 9}));
  ::SendMessageW(popup, WM_MENU_CLOSE, 0, 0);
  HWND none = Open(300, 300, u"empty");
  ASSERT_TRUE(none);
  EXPECT_TRUE(RectIs(WindowRect(none), {300, 300, 410, 307}));
}

TEST_F(MenuFixture, ASubMenuOpensBesideItsItemAndClosesOverAPlainItem) {
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  CMenuUIEx* menu = owner.Menu(u"menu");
  CMenuUIEx* sub = owner.Menu(u"sub");
  MoveTo(ItemPoint(menu, 1));
  HWND subPopup = PopupOf(sub);
  ASSERT_TRUE(subPopup) << "hovering the item opens its sub-menu";
  RECT item = menu->GetItemAt(1)->GetPos();
  EXPECT_TRUE(RectIs(WindowRect(subPopup), {210, 100 + item.top, 320, 100 + item.top + 3 * (h + 13) + 7}));
  EXPECT_EQ(::GetWindowLongW(subPopup, GWL_EXSTYLE) & (WS_EX_TOPMOST | WS_EX_TOOLWINDOW), WS_EX_TOOLWINDOW);
  EXPECT_EQ(sub->GetReportValue(), kReport);
  EXPECT_EQ(sub->GetTopMenuWindow(), popup);
  EXPECT_EQ(CMenuWndEx::OpenMenuWindows(), (std::vector<HWND>{popup, subPopup}));
  EXPECT_TRUE(::IsWindow(popup)) << "the sub-menu taking the focus keeps the menu open";
  // Onto a plain item: the sub-menu closes, the menu stays.
  MoveTo(ItemPoint(menu, 0));
  EXPECT_FALSE(::IsWindow(subPopup));
  EXPECT_EQ(sub->GetMenuWindow(), nullptr);
  EXPECT_EQ(sub->GetItemAt(0)->GetManager(), &owner.Manager()) << "the sub-menu's items went home";
  EXPECT_TRUE(::IsWindow(popup));
  // Back onto the item: it opens again; over the disabled item it closes too.
  MoveTo(ItemPoint(menu, 1));
  ASSERT_TRUE(PopupOf(sub));
  MoveTo(ItemPoint(menu, 3));
  EXPECT_EQ(PopupOf(sub), nullptr);
  EXPECT_TRUE(owner.commands.empty());
}

TEST_F(MenuFixture, ASubMenuThatDoesNotFitOpensOnTheLeftAndMovesUp) {
  RECT area;
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  int width = area.right - area.left, height = area.bottom - area.top;
  // The six-item menu just fits to the right of and below (x, y); its eight-item sub-menu does not.
  int x = width - 150, y = height - 6 * (h + 13) - 20;
  HWND popup = Open(x, y);
  ASSERT_TRUE(popup);
  RECT top = WindowRect(popup);
  ASSERT_TRUE(RectIs(top, {x, y, x + 110, y + 6 * (h + 13) + 7}));
  CMenuUIEx* menu = owner.Menu(u"menu");
  MoveTo(ItemPoint(menu, 5));
  HWND subPopup = PopupOf(owner.Menu(u"long"));
  ASSERT_TRUE(subPopup);
  RECT rc = WindowRect(subPopup);
  EXPECT_EQ(rc.right, top.left) << "on the left of the parent pop-up";
  EXPECT_EQ(rc.left, top.left - 110);
  // Moved up so that its bottom (before the 9 pixels) is the item's top + 30.
  int itemTop = y + menu->GetItemAt(5)->GetPos().top;
  EXPECT_EQ(rc.bottom, itemTop + 30 - 9);
  EXPECT_EQ(rc.bottom - rc.top, 8 * (h + 13) + 7);
}

TEST_F(MenuFixture, AChoiceInASubMenuClosesEverythingAndReportsOnce) {
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  CMenuUIEx* menu = owner.Menu(u"menu");
  CMenuUIEx* sub = owner.Menu(u"sub");
  MoveTo(ItemPoint(menu, 1));
  HWND subPopup = PopupOf(sub);
  ASSERT_TRUE(subPopup);
  POINT leaf = ItemPoint(sub, 2);
  MoveTo(leaf);
  ClickAt(leaf);
  ASSERT_EQ(owner.commands.size(), 1u);
  EXPECT_EQ(owner.commands[0].first, kReport);
  EXPECT_EQ(owner.commands[0].second, 2003);
  EXPECT_FALSE(::IsWindow(popup));
  EXPECT_FALSE(::IsWindow(subPopup));
  EXPECT_TRUE(AllClosed());
  // The items are back with their menus, laid out in the owner window again.
  for (CMenuUIEx* m : {menu, sub}) {
    for (int i = 0; i < m->GetCount(); ++i) {
      EXPECT_EQ(m->GetItemAt(i)->GetManager(), &owner.Manager());
      EXPECT_EQ(m->GetItemAt(i)->GetParent(), m);
    }
  }
  PumpPending();
  EXPECT_EQ(owner.commands.size(), 1u);
}

TEST_F(MenuFixture, RadioAndCheckItemsKeepTheirStateAndReportOnlyChanges) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  CMenuUIEx* sub = owner.Menu(u"sub");
  CMenuListLabelUI* a = owner.Item(u"sub", 0);
  CMenuListLabelUI* b = owner.Item(u"sub", 1);
  ASSERT_TRUE(a->IsChecked()) << "items start checked";
  ASSERT_FALSE(b->IsChecked());
  // The checked radio item reports nothing, but the menu closes.
  ASSERT_TRUE(Open(100, 100));
  MoveTo(ItemPoint(menu, 1));
  ClickAt(ItemPoint(sub, 0));
  EXPECT_TRUE(owner.commands.empty());
  EXPECT_TRUE(AllClosed());
  // The other one reports, becomes checked and unchecks its neighbour.
  ASSERT_TRUE(Open(100, 100));
  MoveTo(ItemPoint(menu, 1));
  ClickAt(ItemPoint(sub, 1));
  ASSERT_EQ(owner.commands.size(), 1u);
  EXPECT_EQ(owner.commands[0].second, 2002);
  EXPECT_TRUE(b->IsChecked());
  EXPECT_FALSE(a->IsChecked());
  EXPECT_TRUE(AllClosed());
  // A check item starts checked; every click reports and flips it.
  CMenuListLabelUI* check = owner.Item(u"menu", 2);
  EXPECT_TRUE(check->IsChecked());
  for (bool expected : {false, true}) {
    ASSERT_TRUE(Open(100, 100));
    ClickAt(ItemPoint(menu, 2));
    EXPECT_EQ(check->IsChecked(), expected);
    EXPECT_TRUE(AllClosed());
  }
  ASSERT_EQ(owner.commands.size(), 3u);
  EXPECT_EQ(owner.commands[1], std::make_pair(kReport, LPARAM{1003}));
  EXPECT_EQ(owner.commands[2], std::make_pair(kReport, LPARAM{1003}));
  EXPECT_EQ(check->GetButtonState() & MENUITEM_STATE_HOT, 0u) << "a chosen item is no longer hot";
}

TEST_F(MenuFixture, ItemsWithASubMenuAndDisabledItemsIgnoreClicks) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  ClickAt(ItemPoint(menu, 1));  // labelid and nextmenu
  ClickAt(ItemPoint(menu, 3));  // disabled
  EXPECT_TRUE(owner.commands.empty());
  EXPECT_TRUE(::IsWindow(popup));
  EXPECT_EQ(PopupOf(menu), popup);
  // A press on an item released elsewhere reports nothing, yet closes the menu.
  POINT one = ItemPoint(menu, 0), plain = ItemPoint(menu, 4);
  InjectMouseButton(Button::Left, true, one.x, one.y);
  InjectMouseButton(Button::Left, false, plain.x, plain.y);
  PumpPending();
  EXPECT_TRUE(owner.commands.empty());
  EXPECT_TRUE(AllClosed());
}

TEST_F(MenuFixture, FocusLeavingTheMenusClosesThem) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  // A click on another window.
  qvtest::DuiTestWindow other(uR"(<Window size="100,100"><VerticalLayout/></Window>)");
  ASSERT_TRUE(other.Open(1200, 600, 100, 100));
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  EXPECT_EQ(::GetFocus(), popup);
  ClickAt(POINT{1250, 650});
  EXPECT_FALSE(::IsWindow(popup));
  EXPECT_TRUE(AllClosed());
  // A click on the owner window, with a sub-menu open.
  popup = Open(100, 100);
  ASSERT_TRUE(popup);
  MoveTo(ItemPoint(menu, 1));
  HWND subPopup = PopupOf(owner.Menu(u"sub"));
  ASSERT_TRUE(subPopup);
  ClickAt(POINT{450, 350});
  EXPECT_FALSE(::IsWindow(popup));
  EXPECT_FALSE(::IsWindow(subPopup));
  EXPECT_TRUE(AllClosed());
  EXPECT_TRUE(owner.commands.empty());
  // Focus moving between the menu's own pop-ups keeps them.
  popup = Open(100, 100);
  MoveTo(ItemPoint(menu, 1));
  subPopup = PopupOf(owner.Menu(u"sub"));
  ASSERT_TRUE(subPopup);
  ClickAt(ItemPoint(menu, 1));  // the parent pop-up takes the focus back
  EXPECT_TRUE(::IsWindow(popup));
  EXPECT_TRUE(::IsWindow(subPopup));
}

TEST_F(MenuFixture, APressOutsideClosesTheMenuWhereNoFocusMoves) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  // A window that never takes the focus, as another program's window is to the menu on X11 while
  // that program has the keyboard; its button writes down the clicks it gets.
  qvtest::DuiTestWindow other(
      uR"(<Window size="100,100"><VerticalLayout><Button name="btn"/></VerticalLayout></Window>)");
  ASSERT_TRUE(other.Open(1200, 600, 100, 100));
  ::SetWindowLongW(other.GetHWND(), GWL_EXSTYLE, WS_EX_NOACTIVATE);
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  EXPECT_EQ(::GetCapture(), popup) << "the open menu has the mouse";
  // Presses inside are the menu's as ever, and the menu keeps the mouse after them.
  ClickAt(ItemPoint(menu, 3));  // disabled
  ClickAt(ItemPoint(menu, 1));  // leads to a sub-menu
  ASSERT_TRUE(::IsWindow(popup));
  EXPECT_EQ(::GetCapture(), popup);
  POINT button = other.ScreenPoint(other.Find(u"btn"));
  ClickAt(button);
  EXPECT_TRUE(AllClosed());
  EXPECT_EQ(::GetCapture(), nullptr) << "the mouse goes free with the menu";
  EXPECT_EQ(std::count(other.notes.begin(), other.notes.end(), "click btn"), 0)
      << "the press that closed the menu reaches nothing else";
  // With a sub-menu open, a press on the bare desktop closes the whole chain.
  popup = Open(100, 100);
  ASSERT_TRUE(popup);
  MoveTo(ItemPoint(menu, 1));
  HWND subPopup = PopupOf(owner.Menu(u"sub"));
  ASSERT_TRUE(subPopup);
  ClickAt(POINT{1500, 200});
  EXPECT_FALSE(::IsWindow(popup));
  EXPECT_FALSE(::IsWindow(subPopup));
  EXPECT_TRUE(AllClosed());
  // The right button closes it too.
  ASSERT_TRUE(Open(100, 100));
  InjectMouseButton(Button::Right, true, 1500, 200);
  InjectMouseButton(Button::Right, false, 1500, 200);
  PumpPending();
  EXPECT_TRUE(AllClosed());
  EXPECT_EQ(::GetCapture(), nullptr);
  EXPECT_TRUE(owner.commands.empty());
  // The button itself still clicks once the menu is gone.
  ClickAt(button);
  EXPECT_EQ(std::count(other.notes.begin(), other.notes.end(), "click btn"), 1);
}

TEST_F(MenuFixture, WhileTheMouseIsCapturedSubMenuItemsHoverAndChoose) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  CMenuUIEx* sub = owner.Menu(u"sub");
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  MoveTo(ItemPoint(menu, 1));
  HWND subPopup = PopupOf(sub);
  ASSERT_TRUE(subPopup);
  ASSERT_EQ(::GetCapture(), popup);
  // The pointer over the sub-menu: its item is hot, the item it left is not.
  CMenuListLabelUI* leaf = owner.Item(u"sub", 2);
  MoveTo(ItemPoint(sub, 2));
  EXPECT_TRUE(leaf->GetButtonState() & MENUITEM_STATE_HOT);
  EXPECT_FALSE(owner.Item(u"menu", 1)->GetButtonState() & MENUITEM_STATE_HOT);
  EXPECT_TRUE(::IsWindow(subPopup));
  // Off every pop-up the item is no longer hot, and the menu stays.
  MoveTo(POINT{1500, 200});
  EXPECT_FALSE(leaf->GetButtonState() & MENUITEM_STATE_HOT);
  EXPECT_TRUE(::IsWindow(subPopup));
  MoveTo(ItemPoint(sub, 2));
  ClickAt(ItemPoint(sub, 2));
  ASSERT_EQ(owner.commands.size(), 1u);
  EXPECT_EQ(owner.commands[0].second, 2003);
  EXPECT_TRUE(AllClosed());
  EXPECT_EQ(::GetCapture(), nullptr);
}

TEST_F(MenuFixture, AnotherWindowTakingTheMouseClosesTheMenu) {
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  ::SetCapture(owner.GetHWND());  // as a move loop of another window does
  PumpPending();
  EXPECT_FALSE(::IsWindow(popup));
  EXPECT_TRUE(AllClosed());
  EXPECT_EQ(::GetCapture(), owner.GetHWND()) << "the other window keeps the mouse it took";
  ::ReleaseCapture();
}

TEST_F(MenuFixture, EnableItemByIdReachesSubMenusThroughNumberedItemsOnly) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  menu->EnableItemById(1001, false);
  EXPECT_FALSE(owner.Item(u"menu", 0)->IsEnabled());
  menu->EnableItemById(1004, true);
  EXPECT_TRUE(owner.Item(u"menu", 3)->IsEnabled());
  // "More" (1002) leads to "sub"; its own id is not touched as it has a sub-menu.
  menu->EnableItemById(2003, false);
  EXPECT_FALSE(owner.Item(u"sub", 2)->IsEnabled());
  menu->EnableItemById(1002, false);
  EXPECT_TRUE(owner.Item(u"menu", 1)->IsEnabled());
  // "Long" has no id: its sub-menu is not searched.
  menu->EnableItemById(3001, false);
  EXPECT_TRUE(owner.Item(u"long", 0)->IsEnabled());
  // A sub-menu leading back to its own menu does not recurse without end.
  auto* loop = new CMenuListLabelUI;
  loop->SetAttribute(u"labelid", u"9");
  loop->SetAttribute(u"nextmenu", u"menu");
  menu->Add(loop);
  menu->EnableItemById(1001, true);
  EXPECT_TRUE(owner.Item(u"menu", 0)->IsEnabled());
  // Enabled items work in the pop-up; disabled ones do not report.
  menu->EnableItemById(1005, false);
  ASSERT_TRUE(Open(100, 100));
  ClickAt(ItemPoint(menu, 4));
  EXPECT_TRUE(owner.commands.empty());
  ClickAt(ItemPoint(menu, 0));
  ASSERT_EQ(owner.commands.size(), 1u);
  EXPECT_EQ(owner.commands[0].second, 1001);
}

TEST_F(MenuFixture, OpeningAndClosingManyTimesLeavesNothingBehind) {
  CMenuUIEx* menu = owner.Menu(u"menu");
  for (int i = 0; i < 40; ++i) {
    HWND popup = Open(100 + i, 100);
    ASSERT_TRUE(popup);
    MoveTo(ItemPoint(menu, i % 2 ? 1 : 5));
    ASSERT_TRUE(CMenuWndEx::OpenMenuWindows().size() == 2u);
    if (i % 3 == 0)
      ::PostMessageW(popup, WM_MENU_CLOSE, 0, 0);
    else
      ::DestroyWindow(popup);
    PumpPending();
    ASSERT_TRUE(AllClosed()) << "round " << i;
    ASSERT_FALSE(owner.Menu(u"long")->GetMenuWindow());
  }
  EXPECT_TRUE(owner.commands.empty());
}

TEST_F(MenuFixture, AMenuControlRemovedWhileOpenTakesItsPopupAlong) {
  HWND popup = Open(100, 100);
  ASSERT_TRUE(popup);
  MoveTo(ItemPoint(owner.Menu(u"menu"), 1));
  HWND subPopup = PopupOf(owner.Menu(u"sub"));
  ASSERT_TRUE(subPopup);
  auto* root = static_cast<CContainerUI*>(owner.Find(u"root"));
  ASSERT_TRUE(root->Remove(owner.Menu(u"sub")));
  PumpPending();  // the removed control is freed from the loop
  EXPECT_FALSE(::IsWindow(subPopup));
  EXPECT_TRUE(::IsWindow(popup));
  MoveTo(ItemPoint(owner.Menu(u"menu"), 0));
  ASSERT_TRUE(root->Remove(owner.Menu(u"menu")));
  PumpPending();
  EXPECT_FALSE(::IsWindow(popup));
  EXPECT_TRUE(CMenuWndEx::OpenMenuWindows().empty());
}

TEST(MenuItems, AttributesDefaultsAndSizes) {
  CDlgBuilderDirectorMenuEx director;
  std::unique_ptr<CControlUI> other(director.CreateControl(u"Label"));
  EXPECT_EQ(other, nullptr);
  std::unique_ptr<CControlUI> control(director.CreateControl(u"MenuListLabel"));
  ASSERT_TRUE(control);
  auto* item = static_cast<CMenuListLabelUI*>(control->GetInterface(u"MenuListLabelUI"));
  ASSERT_EQ(item, control.get());
  EXPECT_EQ(CDuiString(item->GetClass()), u"MenuListLabelUI");
  EXPECT_EQ(item->GetControlFlags(), static_cast<UINT>(UIFLAG_WANTRETURN));
  EXPECT_EQ(control->GetInterface(u"ListItem"), static_cast<IMenuListItemUI*>(item));
  EXPECT_EQ(item->GetIndex(), -1);
  EXPECT_TRUE(item->IsChecked());
  EXPECT_FALSE(item->Expand(true));
  item->SetAttribute(u"name", u"exit");
  item->SetAttribute(u"labelid", u"12abc");
  item->SetAttribute(u"labelmarkcheck", u"TRUE");
  item->SetAttribute(u"text", u"退出");
  EXPECT_EQ(item->GetItemName(), u"exit");
  EXPECT_TRUE(item->GetName().IsEmpty()) << "not the library's name";
  EXPECT_EQ(item->GetLabelId(), 12);
  EXPECT_FALSE(item->IsChecked());
  item->SetAttribute(u"labelid", u"exit");
  EXPECT_EQ(item->GetLabelId(), 0);
  EXPECT_EQ(item->EstimateSize(SIZE{100, 100}).cy, 0) << "no size without an owner";

  std::unique_ptr<CControlUI> menuControl(director.CreateControl(u"MenuEx"));
  auto* menu = static_cast<CMenuUIEx*>(menuControl.get());
  EXPECT_EQ(CDuiString(menu->GetClass()), u"CMenuUIEx");
  EXPECT_EQ(menu->GetControlFlags(), static_cast<UINT>(UIFLAG_TABSTOP));
  EXPECT_EQ(menu->GetInterface(u"ListOwner"), static_cast<IMenuListOwnerUI*>(menu));
  EXPECT_EQ(menu->GetInterface(u"CMenuUIEx"), menu);
  EXPECT_FALSE(menu->IsOpen());
  const MenuItemStyle& st = *menu->GetItemStyle();
  EXPECT_EQ(st.uTextStyle, static_cast<UINT>(DT_VCENTER | DT_LEFT));
  EXPECT_EQ(st.dwDisabledTextColor, 0xFF808080u);
  menu->ApplyAttributeList(
      u"itemalign=\"right\" itemtextcolor=\"FF102030\" itemhotbkcolor=\"#80FFFFFF\" itemtextpadding=\"2,0,3,4\" "
      u"menucorner=\"5,6\" menuwidth=\"140\" itemshowhtml=\"yes\" itemfont=\"2\"");
  EXPECT_EQ(st.uTextStyle, static_cast<UINT>(DT_VCENTER | DT_RIGHT));
  menu->SetAttribute(u"itemalign", u"center");
  EXPECT_EQ(st.uTextStyle, static_cast<UINT>(DT_VCENTER | DT_CENTER));
  menu->SetAttribute(u"itemalign", u"left");
  EXPECT_EQ(st.uTextStyle, static_cast<UINT>(DT_VCENTER));
  EXPECT_EQ(st.dwTextColor, 0xFF102030u);
  EXPECT_EQ(st.dwHotBkColor, 0x80FFFFFFu);
  EXPECT_EQ(st.rcTextPadding.right, 3);
  EXPECT_EQ(st.rcTextPadding.bottom, 4);
  EXPECT_EQ(menu->GetMenuCorner().cy, 6);
  EXPECT_EQ(menu->GetMenuWidth(), 140);
  EXPECT_FALSE(st.bShowHtml);
  EXPECT_EQ(st.iFont, 2);
}

TEST_F(MenuFixture, ItemSizeFollowsTheFontAndPaddingAndTheMenuKeepsIndices) {
  CMenuUIEx* menu = owner.Menu(u"three");
  CMenuListLabelUI* item = owner.Item(u"three", 0);
  SIZE sz = item->EstimateSize(SIZE{300, 300});
  EXPECT_EQ(sz.cy, h + 13);
  EXPECT_EQ(sz.cx, CRenderEngine::GetTextSize(owner.Manager().GetPaintDC(), &owner.Manager(), u"1", -1, 0).cx);
  menu->SetAttribute(u"itemtextpadding", u"3,2,4,5");
  sz = item->EstimateSize(SIZE{300, 300});
  EXPECT_EQ(sz.cy, h + 7 + 13);
  EXPECT_EQ(sz.cx, CRenderEngine::GetTextSize(owner.Manager().GetPaintDC(), &owner.Manager(), u"1", -1, 0).cx + 7);
  item->SetFixedHeight(30);
  EXPECT_EQ(item->EstimateSize(SIZE{300, 300}).cy, 30);
  EXPECT_EQ(menu->EstimateSize(SIZE{300, 300}).cy, h + 12);
  // Indices follow insertions and removals.
  auto* first = new CMenuListLabelUI;
  ASSERT_TRUE(menu->AddAt(first, 0));
  EXPECT_EQ(first->GetIndex(), 0);
  EXPECT_EQ(item->GetIndex(), 1);
  EXPECT_EQ(first->GetOwner(), static_cast<IMenuListOwnerUI*>(menu));
  // Selection: clamped, reported, cleared by hiding the item.
  owner.notes.clear();
  EXPECT_TRUE(menu->SelectItem(99));
  EXPECT_EQ(menu->GetCurSel(), 3);
  EXPECT_EQ(qvtest::Utf8(menu->GetText()), "3");
  EXPECT_EQ(std::count(owner.notes.begin(), owner.notes.end(), "itemselect three"), 1);
  EXPECT_TRUE(owner.Item(u"three", 3)->IsSelected());
  owner.Item(u"three", 3)->SetVisible(false);
  EXPECT_EQ(menu->GetCurSel(), -1);
  EXPECT_FALSE(owner.Item(u"three", 3)->IsSelected());
  EXPECT_TRUE(menu->GetText().IsEmpty());
  EXPECT_FALSE(menu->SelectItem(3)) << "hidden items cannot be selected";
  EXPECT_TRUE(menu->SelectItem(1));
  ASSERT_TRUE(menu->RemoveAt(0));
  PumpPending();
  EXPECT_EQ(item->GetIndex(), 0);
  EXPECT_EQ(menu->GetCurSel(), 0) << "the selection moves with its item";
  menu->RemoveAll();
  EXPECT_EQ(menu->GetCurSel(), -1);
  EXPECT_FALSE(menu->SelectItem(0));
}

TEST(MenuPaint, ItemsDrawColoursMarksAndTextWithoutChangingTheirAttributes) {
  qvtest::TempFolder folder("qvmenu");
  qvplatform::testing::Image red;
  red.width = red.height = 16;
  red.pixels.assign(256, 0xFF0000);
  ASSERT_TRUE(qvplatform::testing::SavePng(red, (folder.Path() / "mark.png").string()));
  CPaintManagerUI::SetResourcePath(folder.Path().u16string().c_str());
  OwnerWindow owner(uR"(<Window size="300,200"><VerticalLayout>
    <MenuEx name="menu" float="true" pos="0,0,0,0" itembkcolor="#FFFFFFFF" itemhotbkcolor="#FF00FF00"
        itemlinecolor="#FF0000FF" menucorner="8,8">
      <MenuListLabel text="Marked" labelid="1" labelmark="file='mark.png'" nextmenumark="file='mark.png'" nextmenu="none"/>
      <MenuListLabel labelid="2" labelmark="file='mark.png'"/>
      <MenuListLabel text="Text" labelid="3" labelmarkcheck="false" bkcolor="#FFFFFF00"/>
      <MenuListLabel text="Broken" labelid="4" nextmenumark="file='missing.png'"/>
    </MenuEx></VerticalLayout></Window>)");
  ASSERT_TRUE(owner.Open(400, 300, 300, 200));
  CMenuUIEx* menu = owner.Menu(u"menu");
  ASSERT_TRUE(menu->ShowMenu(100, 100));
  PumpPending();
  HWND popup = PopupOf(menu);
  ASSERT_TRUE(popup);
  HRGN rgn = ::CreateRectRgn(0, 0, 0, 0);
  EXPECT_NE(::GetWindowRgn(popup, rgn), ERROR) << "rounded corners";
  EXPECT_FALSE(::PtInRegion(rgn, 0, 0));
  EXPECT_TRUE(::PtInRegion(rgn, 50, 20));
  ::DeleteObject(rgn);
  for (int i = 0; i < 3; ++i) {
    ::InvalidateRect(popup, nullptr, FALSE);
    ::UpdateWindow(popup);
  }
  qvplatform::testing::Image img;
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(popup, img));
  RECT marked = menu->GetItemAt(0)->GetPos();
  RECT empty = menu->GetItemAt(1)->GetPos();
  RECT text = menu->GetItemAt(2)->GetPos();
  // Check mark at (6..15, 7..15) of the item (moved down 2); arrow at r − 14 … r − 3.
  EXPECT_EQ(img.At(marked.left + 10, marked.top + 10), RGB(255, 0, 0));
  EXPECT_EQ(img.At(marked.right - 6, marked.top + 10), RGB(255, 0, 0));
  EXPECT_EQ(img.At(marked.left + 60, marked.top + 4), RGB(255, 255, 255)) << "item background colour";
  EXPECT_EQ(img.At(marked.left + 60, marked.bottom - 1), RGB(0, 0, 255)) << "line at the bottom";
  // An item without text still draws its background and its mark.
  EXPECT_EQ(img.At(empty.left + 10, empty.top + 10), RGB(255, 0, 0));
  EXPECT_EQ(img.At(empty.left + 60, empty.top + 10), RGB(255, 255, 255));
  // An unchecked item shows no mark; its own colour does not hide its text.
  EXPECT_EQ(img.At(text.right - 10, text.top + 10), RGB(255, 255, 0));
  int dark = 0;
  for (int x = text.left; x < text.left + 40; ++x)
    for (int y = text.top; y < text.bottom - 1; ++y)
      if (GetRValue(img.At(x, y)) < 100 && GetGValue(img.At(x, y)) < 100) ++dark;
  EXPECT_GT(dark, 5) << "the text shows over the item's own colour";
  auto* first = owner.Item(u"menu", 0);
  EXPECT_EQ(first->GetLabelMark(), u"file='mark.png'");
  EXPECT_EQ(first->GetNextMenuMark(), u"file='mark.png'");
  EXPECT_TRUE(owner.Item(u"menu", 3)->GetNextMenuMark().IsEmpty()) << "a mark that cannot draw is dropped";
  // Hot: the hot background colour; a sub-menu name naming nothing opens nothing.
  MoveTo(ItemPoint(menu, 0));
  EXPECT_TRUE(first->GetButtonState() & MENUITEM_STATE_HOT);
  ::UpdateWindow(popup);
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(popup, img));
  EXPECT_EQ(img.At(marked.left + 60, marked.top + 4), RGB(0, 255, 0));
  EXPECT_EQ(CMenuWndEx::OpenMenuWindows().size(), 1u);
  MoveTo(ItemPoint(menu, 2));
  EXPECT_FALSE(first->GetButtonState() & MENUITEM_STATE_HOT);
  ::DestroyWindow(popup);
}

namespace {

bool Light(COLORREF c) { return GetRValue(c) >= 190 && GetGValue(c) >= 190 && GetBValue(c) >= 190; }
bool Dark(COLORREF c) { return GetRValue(c) <= 110 && GetGValue(c) <= 110 && GetBValue(c) <= 110; }

struct ItemPixels {
  int light = 0, dark = 0, total = 0;
};

ItemPixels Count(const qvplatform::testing::Image& img, RECT rc) {
  ItemPixels n;
  for (int y = rc.top; y < rc.bottom; ++y)
    for (int x = rc.left; x < rc.right; ++x) {
      COLORREF c = img.At(x, y);
      n.light += Light(c);
      n.dark += Dark(c);
      ++n.total;
    }
  return n;
}

}  // namespace

TEST(MenuPaint, TheTrayMenuOfTheProgramsLayoutIsLightWithDarkTextAndShowsTheItemUnderTheMouse) {
  CPaintManagerUI::SetResourcePath(std::filesystem::path(QV_SOURCE_DIR "/Skins").u16string().c_str());
  OwnerWindow owner(u"MainWnd.xml");
  ASSERT_TRUE(owner.Open(400, 300, 200, 32));
  ASSERT_TRUE(owner.built);
  CMenuUIEx* menu = owner.Menu(u"MenuTray0");
  ASSERT_NE(menu, nullptr);
  menu->EnableItemById(1032, false);  // as the bar does while the messages show
  ASSERT_TRUE(menu->ShowMenu(100, 100));
  PumpPending();
  HWND popup = PopupOf(menu);
  ASSERT_TRUE(popup);
  qvplatform::testing::Image img;
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(popup, img));
  // Light from edge to edge but for the text and a thin frame.
  ItemPixels all = Count(img, RECT{1, 1, img.width - 1, img.height - 1});
  EXPECT_GT(all.light, all.total * 8 / 10) << all.light << " of " << all.total;
  EXPECT_FALSE(Light(img.At(0, img.height / 2))) << "a frame sets the pop-up off a light desktop";
  for (int i = 0; i < menu->GetCount(); ++i) {
    ItemPixels n = Count(img, menu->GetItemAt(i)->GetPos());
    EXPECT_GT(n.light, n.total * 7 / 10) << "item " << i;
    if (menu->GetItemAt(i)->IsEnabled())
      EXPECT_GT(n.dark, 20) << "item " << i << " has dark text";
    else
      EXPECT_EQ(n.dark, 0) << "the disabled item is greyed";
  }
  // The item under the mouse shows a background of its own, still light, its text still dark.
  RECT hot = menu->GetItemAt(1)->GetPos();
  COLORREF before = img.At(hot.right - 6, hot.top + 4);
  MoveTo(ItemPoint(menu, 1));
  ::UpdateWindow(popup);
  ASSERT_TRUE(qvplatform::testing::ReadWindowPixels(popup, img));
  COLORREF after = img.At(hot.right - 6, hot.top + 4);
  int change = std::abs(GetRValue(after) - GetRValue(before)) + std::abs(GetGValue(after) - GetGValue(before)) +
               std::abs(GetBValue(after) - GetBValue(before));
  EXPECT_GE(change, 60) << "the hot item stands out";
  EXPECT_TRUE(Light(after));
  ItemPixels n = Count(img, hot);
  EXPECT_GT(n.dark, 20);
  ::DestroyWindow(popup);
}
