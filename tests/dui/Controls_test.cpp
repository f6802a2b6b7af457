// The edit box, the list items and the combo box on headless windows, driven by injected input:
// typing and its filters, editing keys, the caret under the mouse, colours asked of the window;
// selection and its notifications, the drop-down's place, choosing, closing and the items' life.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "DuiTestWindow.h"
#include "dui/ComboUI.h"
#include "dui/EditUI.h"
#include "dui/ListUI.h"
#include "dui/ScrollBarUI.h"
#include "platform/testing_gdi.h"
#include "platform/testing_input.h"
#include "support/WindowFixture.h"

using qvplatform::testing::Button;
using qvplatform::testing::InjectKey;
using qvplatform::testing::InjectMouseButton;
using qvplatform::testing::InjectMouseMove;
using qvtest::DuiTestWindow;
using qvtest::PumpPending;
using qvtest::PumpUntil;
using qvtest::Utf8;

namespace {

// The layouts name these classes; the builder learns them from this callback.
class ControlFactory : public IDialogBuilderCallback {
 public:
  CControlUI* CreateControl(LPCWSTR pstrClass) override {
    CDuiString cls(pstrClass);
    if (cls == u"Edit") return new CEditUI;
    if (cls == u"Combo") return new CComboUI;
    if (cls == u"ListElement") return new CListElementUI;
    if (cls == u"ListLabelElement") return new CListLabelElementUI;
    if (cls == u"ListContainerElement") return new CListContainerElementUI;
    return nullptr;
  }
};
ControlFactory g_factory;

struct Note {
  std::string type, name;
  WPARAM wParam;
  LPARAM lParam;
};

// Notifications with their parameters; `then` runs after each, as an owner window's code would.
class Recorder : public INotifyUI {
 public:
  void Notify(TNotifyUI& msg) override {
    notes.push_back(Note{Utf8(msg.sType), msg.pSender ? Utf8(msg.pSender->GetName()) : "", msg.wParam, msg.lParam});
    if (then) then(msg);
  }
  int Count(const std::string& type, const std::string& name = "") const {
    return static_cast<int>(std::count_if(notes.begin(), notes.end(), [&](const Note& n) {
      return n.type == type && (name.empty() || n.name == name);
    }));
  }
  const Note* Last(const std::string& type) const {
    for (auto it = notes.rbegin(); it != notes.rend(); ++it)
      if (it->type == type) return &*it;
    return nullptr;
  }
  std::vector<Note> notes;
  std::function<void(TNotifyUI&)> then;
};

// A test window that can answer WM_CTLCOLOREDIT.
class TestWindow : public DuiTestWindow {
 public:
  explicit TestWindow(std::u16string layout) : DuiTestWindow(std::move(layout), &g_factory) {}
  HWND OpenWith(Recorder& recorder, int x = 100, int y = 100) {
    HWND hwnd = Open(x, y);
    Manager().AddNotifier(&recorder);
    return hwnd;
  }
  template <class T>
  T* Get(const char16_t* name, const char16_t* iface) {
    CControlUI* c = Find(name);
    return c ? static_cast<T*>(c->GetInterface(iface)) : nullptr;
  }

  int ctlColorEdits = 0;
  HDC ctlColorDc = nullptr;
  LPARAM ctlColorLParam = -1;
  std::function<void(HDC)> onCtlColorEdit;

 protected:
  LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override {
    if (uMsg == WM_CTLCOLOREDIT) {
      ++ctlColorEdits;
      ctlColorDc = reinterpret_cast<HDC>(wParam);
      ctlColorLParam = lParam;
      if (onCtlColorEdit) onCtlColorEdit(ctlColorDc);
      return 0;
    }
    return DuiTestWindow::HandleMessage(uMsg, wParam, lParam);
  }
};

void ClickAt(POINT pt) {
  InjectMouseButton(Button::Left, true, pt.x, pt.y);
  InjectMouseButton(Button::Left, false, pt.x, pt.y);
  PumpPending();
}

void Key(unsigned vk) {
  InjectKey(vk, true);
  InjectKey(vk, false);
  PumpPending();
}

void Chord(unsigned modifier, unsigned vk) {
  InjectKey(modifier, true);
  Key(vk);
  InjectKey(modifier, false);
  PumpPending();
}

// Letters (typed lower case), digits and spaces, as keys on a US layout.
void Type(const char* text) {
  for (const char* p = text; *p; ++p) {
    unsigned vk = *p >= 'a' && *p <= 'z' ? static_cast<unsigned>(*p - 'a' + 'A') : *p == ' ' ? VK_SPACE : *p;
    InjectKey(vk, true);
    InjectKey(vk, false);
  }
  PumpPending();
}

std::string Text(CControlUI* c) { return Utf8(c->GetText()); }

std::pair<int, int> Sel(CEditUI* edit) {
  int a = -1, b = -1;
  edit->GetSel(a, b);
  return {a, b};
}

// Dispatches at most `limit` messages; true when the queue ran dry first (no endless repainting).
bool PumpSettles(int limit = 200) {
  MSG msg;
  for (int i = 0; i < limit; ++i) {
    if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return true;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return false;
}

int TextWidth(CPaintManagerUI& pm, const char16_t* text, int n) {
  HDC dc = pm.GetPaintDC();
  HGDIOBJ old = ::SelectObject(dc, pm.GetFont(-1));
  SIZE size{0, 0};
  ::GetTextExtentPoint32W(dc, text, n, &size);
  ::SelectObject(dc, old);
  return size.cx;
}

RECT ScreenRect(HWND hwnd) {
  RECT rc{0, 0, 0, 0};
  ::GetWindowRect(hwnd, &rc);
  return rc;
}

::testing::AssertionResult SameRect(RECT got, RECT want) {
  if (::EqualRect(&got, &want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got (" << got.left << "," << got.top << "," << got.right << ","
                                       << got.bottom << ") want (" << want.left << "," << want.top << ","
                                       << want.right << "," << want.bottom << ")";
}

constexpr char16_t kEditLayout[] = uR"(<Window size="240,80"><VerticalLayout bkcolor="#FFFFFFFF">
    <Edit name="edit" height="24" textpadding="3,0,3,0"/>
    <HorizontalLayout height="24"><Edit name="narrow" width="60"/><Control/></HorizontalLayout>
    <Control name="rest"/>
  </VerticalLayout></Window>)";

}  // namespace

// ---- edit box ----

TEST(EditTyping, NumberOnlyRefusesTypedNonDigitsButSetTextTakesAnything) {
  Recorder rec;
  TestWindow w(kEditLayout);
  ASSERT_TRUE(w.OpenWith(rec));
  auto* edit = w.Get<CEditUI>(u"edit", u"Edit");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(edit->GetMaxChar(), 255u);
  edit->SetNumberOnly(true);
  ClickAt(w.ScreenPoint(edit));
  ASSERT_TRUE(edit->IsFocused());
  Type("1a2 3");
  ::PostMessageW(w.GetHWND(), WM_CHAR, u'-', 0);
  ::PostMessageW(w.GetHWND(), WM_CHAR, u'4', 0);
  PumpPending();
  EXPECT_EQ(Text(edit), "1234");
  EXPECT_EQ(rec.Count("textchanged", "edit"), 4);
  // Text put there by the program is not filtered, and is not a change by typing.
  edit->SetText(u"ab-12");
  EXPECT_EQ(Text(edit), "ab-12");
  EXPECT_EQ(Sel(edit), std::make_pair(5, 5));
  EXPECT_EQ(rec.Count("textchanged", "edit"), 4);
  edit->SetNumberOnly(false);
  Type("x");
  ::PostMessageW(w.GetHWND(), WM_CHAR, 0xD83D, 0);  // one character as a surrogate pair
  ::PostMessageW(w.GetHWND(), WM_CHAR, 0xDE00, 0);
  PumpPending();
  EXPECT_EQ(edit->GetText(), CDuiString(u"ab-12x😀"));
  Key(VK_BACK);  // the pair goes as one character
  EXPECT_EQ(Text(edit), "ab-12x");
}

TEST(EditTyping, EditingKeysSelectionReplacementAndMaximumLength) {
  Recorder rec;
  TestWindow w(kEditLayout);
  ASSERT_TRUE(w.OpenWith(rec));
  auto* edit = w.Get<CEditUI>(u"edit", u"Edit");
  edit->SetFocus();
  edit->SetText(u"hello");
  Key(VK_BACK);
  EXPECT_EQ(Text(edit), "hell");
  Key(VK_LEFT);
  Key(VK_LEFT);
  Key(VK_DELETE);
  EXPECT_EQ(Text(edit), "hel");
  EXPECT_EQ(Sel(edit), std::make_pair(2, 2));
  Chord(VK_SHIFT, VK_LEFT);
  EXPECT_EQ(Sel(edit), std::make_pair(1, 2));
  Type("x");  // replaces the selection
  EXPECT_EQ(Text(edit), "hxl");
  Key(VK_HOME);
  Chord(VK_SHIFT, VK_RIGHT);
  Key(VK_RIGHT);  // collapses to the selection's end
  EXPECT_EQ(Sel(edit), std::make_pair(1, 1));
  Key(VK_END);
  Key(VK_RIGHT);
  EXPECT_EQ(Sel(edit), std::make_pair(3, 3));
  Chord(VK_CONTROL, 'A');
  EXPECT_EQ(Sel(edit), std::make_pair(0, 3));
  EXPECT_EQ(Text(edit), "hxl") << "Ctrl+A types nothing";
  Key(VK_DELETE);
  EXPECT_EQ(Text(edit), "");
  Key(VK_BACK);  // nothing left: no change, no notification
  EXPECT_EQ(rec.Count("textchanged"), 4);

  edit->SetMaxChar(3);
  Type("abcd");
  EXPECT_EQ(Text(edit), "abc");
  edit->SetSel(1, 2);
  Type("z");  // replacing keeps the length
  EXPECT_EQ(Text(edit), "azc");
  edit->SetText(u"abcdef");  // the program may exceed the maximum
  Type("g");
  EXPECT_EQ(Text(edit), "abcdef");
  Key(VK_BACK);
  EXPECT_EQ(Text(edit), "abcde");

  edit->SetReadOnly(true);
  Type("q");
  Key(VK_BACK);
  EXPECT_EQ(Text(edit), "abcde");
  Key(VK_HOME);
  EXPECT_EQ(Sel(edit), std::make_pair(0, 0)) << "the caret still moves in a read-only edit";
}

TEST(EditTyping, EnterSendsReturnAndInsertsNothing) {
  Recorder rec;
  TestWindow w(kEditLayout);
  ASSERT_TRUE(w.OpenWith(rec));
  auto* edit = w.Get<CEditUI>(u"edit", u"Edit");
  ClickAt(w.ScreenPoint(edit));
  Type("12");
  Key(VK_RETURN);
  EXPECT_EQ(rec.Count("return", "edit"), 1);
  EXPECT_EQ(Text(edit), "12");
  EXPECT_EQ(rec.Count("textchanged", "edit"), 2);
  // Keys go to the focused edit only.
  auto* narrow = w.Get<CEditUI>(u"narrow", u"Edit");
  ClickAt(w.ScreenPoint(narrow));
  Type("7");
  EXPECT_EQ(Text(narrow), "7");
  EXPECT_EQ(Text(edit), "12");
}

TEST(EditMouse, ClickPutsTheCaretAtTheNearestCharacterAndDraggingSelects) {
  TestWindow w(kEditLayout);
  Recorder rec;
  ASSERT_TRUE(w.OpenWith(rec));
  auto* edit = w.Get<CEditUI>(u"edit", u"Edit");
  const char16_t* text = u"WWWWWWWWW";
  edit->SetText(text);
  PumpPending();
  int left = edit->GetX() + 3;  // the text padding
  auto at = [&](int n, int dx) { return w.ScreenPoint(edit, left - edit->GetX() + TextWidth(w.Manager(), text, n) + dx, 12); };
  ClickAt(at(3, 2));
  EXPECT_EQ(Sel(edit), std::make_pair(3, 3));
  ClickAt(at(1, -2));
  EXPECT_EQ(Sel(edit), std::make_pair(1, 1));
  // Past the text: the end; before it: the start.
  ClickAt(w.ScreenPoint(edit, edit->GetWidth() - 2, 12));
  EXPECT_EQ(Sel(edit), std::make_pair(9, 9));
  ClickAt(w.ScreenPoint(edit, 1, 12));
  EXPECT_EQ(Sel(edit), std::make_pair(0, 0));
  POINT from = at(1, 0), to = at(7, 0);
  InjectMouseButton(Button::Left, true, from.x, from.y);
  InjectMouseMove(to.x, to.y);
  InjectMouseButton(Button::Left, false, to.x, to.y);
  PumpPending();
  EXPECT_EQ(Sel(edit), std::make_pair(1, 7));
  EXPECT_EQ(edit->GetCaretIndex(), 7);

  // A narrow edit scrolls to show its caret: at the end of a long text, a click at its right
  // edge lands near the end, not in the first few characters.
  auto* narrow = w.Get<CEditUI>(u"narrow", u"Edit");
  const char16_t* digits = u"0123456789012345678901234567890123456789";
  narrow->SetText(digits);
  PumpPending();
  ASSERT_GT(TextWidth(w.Manager(), digits, 40), 3 * narrow->GetWidth());
  ClickAt(w.ScreenPoint(narrow, narrow->GetWidth() - 1, 12));
  EXPECT_GE(narrow->GetCaretIndex(), 38);
  Key(VK_HOME);
  ClickAt(w.ScreenPoint(w.Find(u"rest")));  // so that the next click is no double click
  ClickAt(w.ScreenPoint(narrow, narrow->GetWidth() - 1, 12));
  EXPECT_LE(narrow->GetCaretIndex(), 12);
}

TEST(EditPaint, FocusedEditAsksItsWindowForColoursAndUsesTheAnswer) {
  Recorder rec;
  TestWindow w(kEditLayout);
  w.onCtlColorEdit = [](HDC dc) { ::SetTextColor(dc, RGB(255, 0, 0)); };
  ASSERT_TRUE(w.OpenWith(rec));
  auto* edit = w.Get<CEditUI>(u"edit", u"Edit");
  edit->SetText(u"WWWW");
  PumpPending();
  auto redPixels = [&] {
    qvplatform::testing::Image img;
    if (!qvplatform::testing::ReadWindowPixels(w.GetHWND(), img)) return -1;
    int n = 0;
    RECT rc = edit->GetPos();
    for (int y = rc.top; y < rc.bottom; ++y)
      for (int x = rc.left; x < rc.right; ++x) {
        COLORREF c = img.At(x, y);
        if (GetRValue(c) > 200 && GetGValue(c) < 90 && GetBValue(c) < 90) ++n;
      }
    return n;
  };
  EXPECT_EQ(w.ctlColorEdits, 0) << "not asked while not focused";
  EXPECT_EQ(redPixels(), 0);
  edit->SetFocus();
  PumpPending();
  EXPECT_GT(w.ctlColorEdits, 0);
  EXPECT_NE(w.ctlColorDc, nullptr);
  EXPECT_EQ(w.ctlColorLParam, 0);
  EXPECT_GT(redPixels(), 10) << "the window's colour is the text's";

  // A window that sets the control's colour on every paint does not make it paint forever.
  w.onCtlColorEdit = [&](HDC) { edit->SetTextColor(0xFF00FF00); };
  edit->SetText(u"WW");
  EXPECT_TRUE(PumpSettles());
  EXPECT_EQ(edit->GetTextColor(), 0xFF00FF00u);
  w.onCtlColorEdit = nullptr;

  w.Find(u"narrow")->SetFocus();
  PumpPending();
  int asked = w.ctlColorEdits;
  edit->SetText(u"again");
  PumpPending();
  EXPECT_EQ(w.ctlColorEdits, asked) << "not asked once the focus left";
}

// ---- combo box: selection ----

namespace {
constexpr char16_t kComboLayout[] = uR"(<Window size="200,120"><VerticalLayout bkcolor="#FFFFFFFF">
    <Combo name="combo" height="24" itemtextpadding="4,0,0,0">
      <ListLabelElement name="a" text="alpha" height="20"/>
      <ListLabelElement name="b" text="beta" height="20"/>
      <ListLabelElement name="c" text="gamma" height="20"/>
    </Combo>
    <Control name="space"/>
  </VerticalLayout></Window>)";

IListItemUI* Item(CControlUI* c) { return static_cast<IListItemUI*>(c->GetInterface(u"ListItem")); }
}  // namespace

TEST(ComboSelection, SelectingNotifiesNewAndOldIndexAndClearingIsSilent) {
  Recorder rec;
  TestWindow w(kComboLayout);
  ASSERT_TRUE(w.OpenWith(rec));
  auto* combo = w.Get<CComboUI>(u"combo", u"Combo");
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->GetCurSel(), -1);
  EXPECT_EQ(Text(combo), "");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Item(combo->GetItemAt(i))->GetIndex(), i);
    EXPECT_EQ(Item(combo->GetItemAt(i))->GetOwner(), static_cast<IListOwnerUI*>(combo));
  }
  EXPECT_TRUE(combo->SelectItem(1));
  const Note* note = rec.Last("itemselect");
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->name, "combo");
  EXPECT_EQ(note->wParam, 1u);
  EXPECT_EQ(note->lParam, -1);
  EXPECT_EQ(Text(combo), "beta");
  EXPECT_TRUE(Item(w.Find(u"b"))->IsSelected());
  EXPECT_TRUE(combo->SelectItem(2));
  note = rec.Last("itemselect");
  EXPECT_EQ(note->wParam, 2u);
  EXPECT_EQ(note->lParam, 1);
  EXPECT_FALSE(Item(w.Find(u"b"))->IsSelected());
  EXPECT_TRUE(combo->SelectItem(2));  // unchanged: nothing to tell
  EXPECT_FALSE(combo->SelectItem(3));
  EXPECT_FALSE(combo->SelectItem(99));
  EXPECT_EQ(combo->GetCurSel(), 2);
  EXPECT_EQ(rec.Count("itemselect"), 2);
  // The shown text is the item's, as it is now.
  w.Find(u"c")->SetText(u"delta");
  EXPECT_EQ(Text(combo), "delta");
  EXPECT_TRUE(combo->SelectItem(-1));
  EXPECT_EQ(combo->GetCurSel(), -1);
  EXPECT_EQ(Text(combo), "");
  EXPECT_FALSE(Item(w.Find(u"c"))->IsSelected());
  EXPECT_TRUE(combo->SelectItem(-1, false));
  EXPECT_EQ(rec.Count("itemselect"), 2);

  // Inserting and removing keep the indexes and the selection right.
  combo->SelectItem(1);
  auto* first = new CListLabelElementUI;
  first->SetText(u"zero");
  ASSERT_TRUE(combo->AddAt(first, 0));
  EXPECT_EQ(combo->GetCurSel(), 2);
  EXPECT_EQ(Text(combo), "beta");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Item(combo->GetItemAt(i))->GetIndex(), i);
  ASSERT_TRUE(combo->RemoveAt(0));
  EXPECT_EQ(combo->GetCurSel(), 1);
  EXPECT_EQ(Item(w.Find(u"c"))->GetIndex(), 2);
  ASSERT_TRUE(combo->Remove(w.Find(u"b")));
  EXPECT_EQ(combo->GetCurSel(), -1);
  EXPECT_EQ(Text(combo), "");
  EXPECT_EQ(Item(combo->GetItemAt(1))->GetIndex(), 1);
  // Hiding the selected item deselects it.
  combo->SelectItem(1);
  combo->GetItemAt(1)->SetVisible(false);
  EXPECT_EQ(combo->GetCurSel(), -1);
  PumpPending();  // removed items go after the event
}

TEST(ComboSelection, UpAndDownMoveTheSelectionOverVisibleItems) {
  Recorder rec;
  TestWindow w(kComboLayout);
  ASSERT_TRUE(w.OpenWith(rec));
  auto* combo = w.Get<CComboUI>(u"combo", u"Combo");
  w.Find(u"b")->SetVisible(false);
  combo->SetFocus();
  Key(VK_DOWN);
  EXPECT_EQ(combo->GetCurSel(), 0);
  Key(VK_DOWN);
  EXPECT_EQ(combo->GetCurSel(), 2);
  Key(VK_DOWN);
  EXPECT_EQ(combo->GetCurSel(), 2);
  Key(VK_UP);
  EXPECT_EQ(combo->GetCurSel(), 0);
  EXPECT_EQ(rec.Count("itemselect"), 3);
  EXPECT_EQ(combo->GetDropDownWindow(), nullptr);
}

// ---- combo box: drop-down ----

namespace {
POINT DropPoint(CComboUI* combo, CControlUI* control, int dx = -1, int dy = -1) {
  RECT rc = control->GetPos();
  POINT pt{dx < 0 ? (rc.left + rc.right) / 2 : rc.left + dx, dy < 0 ? (rc.top + rc.bottom) / 2 : rc.top + dy};
  ::ClientToScreen(combo->GetDropDownWindow(), &pt);
  return pt;
}

bool ClosedAndBack(CComboUI* combo, HWND drop) {
  if (!PumpUntil([&] { return !::IsWindow(drop) && !combo->IsDropDownOpen(); }, 2000)) return false;
  for (int i = 0; i < combo->GetCount(); ++i) {
    CControlUI* item = combo->GetItemAt(i);
    if (item->GetManager() != combo->GetManager() || item->GetParent() != combo) return false;
  }
  return true;
}
}  // namespace

TEST(ComboDropDown, OpensBelowAtTheComboWidthAndAClickChoosesAndCloses) {
  Recorder rec;
  TestWindow w(kComboLayout);
  ASSERT_TRUE(w.OpenWith(rec, 100, 100));
  auto* combo = w.Get<CComboUI>(u"combo", u"Combo");
  ClickAt(w.ScreenPoint(combo));
  HWND drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  EXPECT_EQ(rec.Count("dropdown", "combo"), 1);
  // Three items of 20 and the one-pixel frame.
  EXPECT_TRUE(SameRect(ScreenRect(drop), RECT{100, 124, 300, 186}));
  EXPECT_EQ(::GetWindow(drop, GW_OWNER), w.GetHWND());
  LONG ex = ::GetWindowLongW(drop, GWL_EXSTYLE);
  EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
  EXPECT_TRUE(ex & WS_EX_TOPMOST);
  EXPECT_EQ(::GetFocus(), drop);
  CControlUI* gamma = w.Find(u"c");
  EXPECT_NE(gamma->GetManager(), &w.Manager()) << "lent to the drop-down's manager";
  EXPECT_EQ(w.Find(u"c"), gamma) << "still found by name in the owner window";
  ClickAt(DropPoint(combo, gamma));
  const Note* note = rec.Last("itemselect");
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->name, "combo");
  EXPECT_EQ(note->wParam, 2u);
  EXPECT_EQ(note->lParam, -1);
  EXPECT_EQ(Text(combo), "gamma");
  EXPECT_TRUE(ClosedAndBack(combo, drop));

  // Too little room below: it opens above, and a box size caps the rows' height (the frame comes
  // on top).
  TestWindow low(kComboLayout);
  Recorder lowRec;
  ASSERT_TRUE(low.OpenWith(lowRec, 300, 1080 - 40));
  auto* lowCombo = low.Get<CComboUI>(u"combo", u"Combo");
  lowCombo->SetDropBoxSize(SIZE{0, 41});
  ClickAt(low.ScreenPoint(lowCombo));
  ASSERT_NE(lowCombo->GetDropDownWindow(), nullptr);
  EXPECT_TRUE(SameRect(ScreenRect(lowCombo->GetDropDownWindow()), RECT{300, 1040 - 41 - 2, 500, 1040}));
  Key(VK_ESCAPE);
  EXPECT_TRUE(ClosedAndBack(lowCombo, lowCombo->GetDropDownWindow()));
}

TEST(ComboDropDown, FocusLossEscapeAndASecondClickCloseWithoutAChoice) {
  Recorder rec;
  TestWindow w(kComboLayout);
  ASSERT_TRUE(w.OpenWith(rec));
  auto* combo = w.Get<CComboUI>(u"combo", u"Combo");
  combo->SelectItem(0);
  // Focus loss: a click in the owner window.
  ClickAt(w.ScreenPoint(combo));
  HWND drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  ClickAt(w.ScreenPoint(w.Find(u"space"), 100, 90));  // below the drop-down
  EXPECT_TRUE(ClosedAndBack(combo, drop));
  // Escape.
  ClickAt(w.ScreenPoint(combo));
  drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  Key(VK_ESCAPE);
  EXPECT_TRUE(ClosedAndBack(combo, drop));
  // A click on the combo while it is open closes it and does not open it again.
  ClickAt(w.ScreenPoint(combo));
  drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  ClickAt(w.ScreenPoint(combo));
  EXPECT_TRUE(ClosedAndBack(combo, drop));
  PumpPending();
  EXPECT_FALSE(combo->IsDropDownOpen());
  EXPECT_EQ(rec.Count("itemselect"), 1);
  EXPECT_EQ(Text(combo), "alpha");
  // The keyboard opens it too; Up and Down inside move the selection.
  combo->SetFocus();
  Key(0x73);  // F4
  drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  Key(VK_DOWN);
  EXPECT_EQ(combo->GetCurSel(), 1);
  Key(VK_RETURN);
  EXPECT_TRUE(ClosedAndBack(combo, drop));
  EXPECT_EQ(Text(combo), "beta");
}

namespace {
// The owner window's room list: items with a label and a delete button.
std::u16string RoomLayout() {
  std::u16string items;
  for (int i = 0; i < 5; ++i) {
    std::u16string n(1, static_cast<char16_t>(u'0' + i));
    items += u"<ListContainerElement name=\"listelement" + n + u"\" height=\"24\">"
             u"<Label name=\"LableId" + n + u"\" float=\"true\" pos=\"0,0,150,24\"/>"
             u"<Button name=\"DelBtn" + n + u"\" float=\"true\" pos=\"170,4,186,20\" bkcolor=\"#FFFF0000\"/>"
             u"</ListContainerElement>";
  }
  return u"<Window size=\"200,160\"><VerticalLayout bkcolor=\"#FFFFFFFF\">"
         u"<Combo name=\"RoomIdCombo\" height=\"24\" dropboxsize=\"0,200\">" + items +
         u"</Combo><Control name=\"space\"/></VerticalLayout></Window>";
}
}  // namespace

TEST(ComboDropDown, ContainerItemsChooseByTheirAreaWhileTheirButtonsOnlyClick) {
  Recorder rec;
  TestWindow w(RoomLayout());
  ASSERT_TRUE(w.OpenWith(rec));
  auto* combo = w.Get<CComboUI>(u"RoomIdCombo", u"Combo");
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->GetCount(), 5);
  std::vector<std::string> chosen;
  // As the owner window does: read the text, then deselect so the same room can be chosen again.
  rec.then = [&](TNotifyUI& msg) {
    if (msg.sType == u"itemselect") {
      chosen.push_back(Utf8(combo->GetText()));
      combo->SelectItem(-1, false);
    }
    if (msg.sType == u"click" && msg.pSender->GetName() == u"DelBtn1") w.Find(u"listelement1")->SetVisible(false);
  };
  for (int i = 0; i < 5; ++i) {
    CDuiString room;
    room.Format(u"1000%d", i);
    CControlUI* item = combo->GetItemAt(i);
    item->SetText(room);
    static_cast<CContainerUI*>(item->GetInterface(u"Container"))->GetItemAt(0)->SetText(room + u" (room)");
  }
  w.Find(u"listelement3")->SetVisible(false);
  w.Find(u"listelement4")->SetVisible(false);

  ClickAt(w.ScreenPoint(combo));
  HWND drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  EXPECT_EQ(ScreenRect(drop).bottom - ScreenRect(drop).top, 3 * 24 + 2) << "hidden rooms take no room";
  // The delete button clicks, reaching the owner window, and chooses nothing.
  ClickAt(DropPoint(combo, w.Find(u"DelBtn1")));
  EXPECT_EQ(rec.Count("click", "DelBtn1"), 1);
  EXPECT_EQ(rec.Count("itemselect"), 0);
  PumpPending();
  ASSERT_TRUE(combo->IsDropDownOpen());
  EXPECT_EQ(ScreenRect(drop).bottom - ScreenRect(drop).top, 2 * 24 + 2) << "fits the rooms left";
  // A click on the label chooses its item: the combo shows the item's own text.
  ClickAt(DropPoint(combo, w.Find(u"LableId2")));
  ASSERT_EQ(chosen.size(), 1u);
  EXPECT_EQ(chosen[0], "10002");
  EXPECT_TRUE(ClosedAndBack(combo, drop));
  EXPECT_EQ(combo->GetCurSel(), -1);
  // The same room again.
  ClickAt(w.ScreenPoint(combo));
  drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  ClickAt(DropPoint(combo, w.Find(u"listelement2"), 160, 12));
  ASSERT_EQ(chosen.size(), 2u);
  EXPECT_EQ(chosen[1], "10002");
  EXPECT_TRUE(ClosedAndBack(combo, drop));
  // The buttons are found by name and click in the owner window as well.
  EXPECT_EQ(w.Find(u"DelBtn0")->GetManager(), &w.Manager());
}

TEST(ComboDropDown, TheLoginWindowsFiveRoomsShowWholeWithoutAScrollBar) {
  CPaintManagerUI::SetResourcePath(std::filesystem::path(QV_SOURCE_DIR "/Skins").u16string().c_str());
  TestWindow w(u"LoginWnd.xml");
  ASSERT_TRUE(w.Open(100, 100, 272, 200));
  ASSERT_TRUE(w.built);
  auto* combo = w.Get<CComboUI>(u"RoomIdCombo", u"Combo");
  ASSERT_NE(combo, nullptr);
  ASSERT_EQ(combo->GetCount(), 5);
  const int row = combo->GetItemAt(0)->GetFixedHeight();
  ASSERT_GT(row, 0);
  // The edit box covers the combo but for its arrow, at the right.
  ClickAt(w.ScreenPoint(combo, combo->GetWidth() - 8, combo->GetHeight() / 2));
  HWND drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  RECT rc = ScreenRect(drop);
  EXPECT_EQ(rc.bottom - rc.top, 5 * row + 2) << "five rows and the frame";
  RECT last = combo->GetItemAt(4)->GetPos();
  EXPECT_EQ(last.bottom, 1 + 5 * row) << "the last row whole, inside the frame";
  EXPECT_EQ(last.right - last.left, rc.right - rc.left - 2) << "no scroll bar takes the rows' width";
  auto* list = static_cast<CContainerUI*>(combo->GetItemAt(4)->GetParent()->GetInterface(u"Container"));
  ASSERT_NE(list, nullptr);
  CScrollBarUI* bar = list->GetVerticalScrollBar();
  EXPECT_TRUE(!bar || !bar->IsVisible());
  Key(VK_ESCAPE);
  ASSERT_TRUE(ClosedAndBack(combo, drop));
  // A box made for four rows still scrolls the fifth.
  combo->SetDropBoxSize(SIZE{combo->GetDropBoxSize().cx, 4 * row});
  ClickAt(w.ScreenPoint(combo, combo->GetWidth() - 8, combo->GetHeight() / 2));
  drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  rc = ScreenRect(drop);
  EXPECT_EQ(rc.bottom - rc.top, 4 * row + 2);
  list = static_cast<CContainerUI*>(combo->GetItemAt(4)->GetParent()->GetInterface(u"Container"));
  ASSERT_NE(list, nullptr);
  bar = list->GetVerticalScrollBar();
  EXPECT_TRUE(bar && bar->IsVisible());
  Key(VK_ESCAPE);
  EXPECT_TRUE(ClosedAndBack(combo, drop));
}

TEST(ComboDropDown, ItemsSurviveManyOpeningsAndGoOnceWithTheCombo) {
  Recorder rec;
  auto* w = new TestWindow(RoomLayout());
  ASSERT_TRUE(w->OpenWith(rec));
  auto* combo = w->Get<CComboUI>(u"RoomIdCombo", u"Combo");
  CControlUI* label = w->Find(u"LableId4");
  for (int i = 0; i < 30; ++i) {
    ClickAt(w->ScreenPoint(combo));
    HWND drop = combo->GetDropDownWindow();
    ASSERT_NE(drop, nullptr) << "opening " << i;
    if (i % 2) {
      Key(VK_ESCAPE);
    } else {
      ClickAt(DropPoint(combo, w->Find(u"listelement4")));
    }
    ASSERT_TRUE(ClosedAndBack(combo, drop)) << "closing " << i;
  }
  EXPECT_EQ(rec.Count("itemselect"), 1) << "the same item chosen again is no new selection";
  EXPECT_EQ(w->Find(u"LableId4"), label);
  EXPECT_EQ(label->GetManager(), &w->Manager());
  // Closing the owner window with the drop-down open: the pop-up goes first, then the tree.
  ClickAt(w->ScreenPoint(combo));
  HWND drop = combo->GetDropDownWindow();
  ASSERT_NE(drop, nullptr);
  ::DestroyWindow(w->GetHWND());
  EXPECT_FALSE(::IsWindow(drop));
  delete w;  // the sanitizers see a double delete or a leak of the items
  PumpPending();

  // Deleting the combo itself while open.
  Recorder rec2;
  TestWindow w2(kComboLayout);
  ASSERT_TRUE(w2.OpenWith(rec2));
  auto* combo2 = w2.Get<CComboUI>(u"combo", u"Combo");
  ClickAt(w2.ScreenPoint(combo2));
  HWND drop2 = combo2->GetDropDownWindow();
  ASSERT_NE(drop2, nullptr);
  static_cast<CContainerUI*>(w2.Find(u"combo")->GetParent())->Remove(combo2);
  PumpPending();
  EXPECT_FALSE(::IsWindow(drop2));
  EXPECT_EQ(w2.Find(u"a"), nullptr);
}
