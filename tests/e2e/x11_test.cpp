// Windows on a real X display: placement, stacking, click-through, dragging, colour keys, the
// low-level keyboard hook and the clipboard, driven by real XTEST input from xdotool (and xclip as
// the other program) and checked on screen.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "e2e/support/XSession.h"
#include "platform/win32.h"
#include "platform/testing_x11.h"
#include "platform/win32/input.h"
#include "support/Watchdog.h"
#include "support/WindowFixture.h"

using qvplatform::testing::X11Sync;
using qvplatform::testing::X11Window;
using qvplatform::testing::X11WindowInfo;
using qvplatform::testing::X11WindowUnderPointer;
using qve2e::SessionOptions;
using qve2e::WindowPixels;
using qve2e::XSession;

namespace {

void Pump() { qvtest::PumpPending(); }

struct Painted {
  COLORREF fill;
  std::u16string text;
  RECT inner{0, 0, 0, 0};  // a second colour, when not empty
  COLORREF innerColor = 0;
  int stripes = 0;  // when not 0: 1-pixel columns of innerColor this far apart over the window
  COLORREF textColor = RGB(0, 0, 0);
  int paints = 0;
};
std::map<HWND, Painted>& Paints() {
  static std::map<HWND, Painted> paints;
  return paints;
}

LRESULT CALLBACK PaintProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    RECT r;
    GetClientRect(h, &r);
    Painted& p = Paints()[h];
    ++p.paints;
    HBRUSH b = CreateSolidBrush(p.fill);
    FillRect(dc, &r, b);
    DeleteObject(b);
    if (!IsRectEmpty(&p.inner)) {
      HBRUSH ib = CreateSolidBrush(p.innerColor);
      FillRect(dc, &p.inner, ib);
      DeleteObject(ib);
    }
    if (p.stripes > 0) {
      HBRUSH sb = CreateSolidBrush(p.innerColor);
      for (int x = 0; x < r.right; x += p.stripes) {
        RECT column{x, 0, x + 1, r.bottom};
        FillRect(dc, &column, sb);
      }
      DeleteObject(sb);
    }
    if (!p.text.empty()) {
      LOGFONTW lf{};
      lf.lfHeight = 24;
      HFONT f = CreateFontIndirectW(&lf);
      HGDIOBJ old = SelectObject(dc, f);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, p.textColor);
      TextOutW(dc, 4, 4, p.text.c_str(), static_cast<int>(p.text.size()));
      SelectObject(dc, old);
      DeleteObject(f);
    }
    EndPaint(h, &ps);
    return 0;
  }
  return DefWindowProcW(h, m, w, l);
}

HWND Painter(RECT r, COLORREF fill, DWORD exStyle = 0, const std::u16string& text = u"") {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PaintProc;
    wc.lpszClassName = u"QvE2ePainter";
    RegisterClassExW(&wc);
    registered = true;
  }
  HWND h = CreateWindowExW(exStyle, u"QvE2ePainter", u"painter", WS_POPUP, r.left, r.top, r.right - r.left,
                           r.bottom - r.top, nullptr, nullptr, nullptr, nullptr);
  Paints()[h] = Painted{fill, text};
  return h;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

long Rgb(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }

class X11 : public ::testing::Test {
 protected:
  void Start(const SessionOptions& options = SessionOptions()) {
    qvtest::SetWatchdogLimit(std::chrono::seconds(90));
    session_ = std::make_unique<XSession>(options);
    ASSERT_TRUE(session_->ok()) << session_->error();
    ASSERT_TRUE(QvStartDisplay());
  }
  bool Xdotool(std::vector<std::string> args) {
    args.insert(args.begin(), "xdotool");
    return session_->Run(args, Pump);
  }
  long Pixel(int x, int y) { return session_->Pixel(x, y, Pump); }
  // Waits until the screen shows `rgb` at (x, y).
  bool Shows(int x, int y, long rgb) {
    return XSession::WaitFor([&] { return Pixel(x, y) == rgb; }, Pump, 5000);
  }
  // Everything in flight has landed: the server processed our requests, the window manager
  // handled them, our event thread handled what came back and this thread ran what it queued. A
  // second round carries through what those reactions asked for (activation raises a window).
  void Settle() {
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(X11Sync());
      ASSERT_TRUE(session_->SyncWindowManager());
      ASSERT_TRUE(X11Sync());
      Pump();
    }
  }
  // Waits until the X server shows the window, framed or not, at its rectangle in the model.
  bool OnScreen(HWND hwnd, X11WindowInfo* info = nullptr) {
    X11WindowInfo x;
    bool ok = XSession::WaitFor([&] {
      RECT r;
      return GetWindowRect(hwnd, &r) && X11Window(hwnd, x) && x.viewable && EqualRect(&r, &x.rect);
    }, Pump, 10000);
    if (info) *info = x;
    return ok;
  }
  // Moves the pointer and waits until the server has it over `hwnd`.
  bool PointerTo(int x, int y, HWND hwnd) {
    return Xdotool({"mousemove", std::to_string(x), std::to_string(y)}) &&
           XSession::WaitFor([&] { return X11WindowUnderPointer() == hwnd; }, Pump);
  }
  // A room message wakes the bar while a game has the keyboard: shown, raised, not focused. Our
  // window had the keyboard before the game took it, and is shown, activated and restacked again
  // and again (a room message each time), with a window it owns that is never activated. An
  // ordinary window comes in front of an ordinary game, not of a full-screen one.
  void ShownInTheBackgroundWithoutTakingTheKeyboard(bool fullScreenGame) {
    HWND bar = Painter({40, 520, 240, 560}, RGB(10, 200, 30));
    ShowWindow(bar, SW_SHOWNORMAL);
    SetForegroundWindow(bar);
    std::string focused;
    ASSERT_TRUE(XSession::WaitFor([&] {
      return session_->Run({"xdotool", "getwindowfocus", "getwindowname"}, Pump, &focused) &&
             focused.find("painter") != std::string::npos;
    }, Pump, 10000)) << focused;
    std::string gameOut = session_->folder() + "/game.out";
    std::vector<std::string> command{QV_FULLSCREEN, "3060C0"};
    if (!fullScreenGame) command.push_back("300x200+20+480");
    pid_t game = session_->Spawn(command, gameOut);
    ASSERT_TRUE(XSession::WaitFor([&] { return FileText(gameOut).find("focus\n") != std::string::npos; }, Pump, 10000));
    // A window the bar owns that is never activated (as the messages were).
    HWND owned = CreateWindowExW(WS_EX_NOACTIVATE, u"QvE2ePainter", u"owned", WS_POPUP, 40, 560, 200, 40, bar, nullptr,
                                 nullptr, nullptr);
    Paints()[owned] = Painted{RGB(200, 200, 20), u""};
    for (int message = 0; message < 5; ++message) {
      ShowWindow(bar, SW_HIDE);
      ShowWindow(owned, SW_HIDE);
      ShowWindow(bar, SW_SHOWNORMAL);
      ShowWindow(owned, SW_SHOWNOACTIVATE);
      SetForegroundWindow(bar);
      SetWindowPos(bar, message % 2 ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
      Settle();
    }
    ASSERT_TRUE(OnScreen(bar));
    ASSERT_TRUE(session_->Run({"xdotool", "getwindowfocus", "getwindowname"}, Pump, &focused));
    EXPECT_NE(focused.find(fullScreenGame ? "QvGame" : "QvOther"), std::string::npos) << focused;
    EXPECT_EQ(FileText(gameOut).find("unfocus"), std::string::npos) << FileText(gameOut);
    if (!fullScreenGame) {
      EXPECT_TRUE(Shows(140, 540, 0x0AC81E)) << "raised above the window in front";
    }
    session_->Stop(game);
    DestroyWindow(bar);
  }
  std::unique_ptr<XSession> session_;
};

TEST_F(X11, PopupWithCjkTextAppearsAtItsExactRectangleAndTopmostStaysAbove) {
  Start();
  COLORREF red = RGB(220, 30, 30);
  HWND popup = Painter({100, 120, 400, 200}, red, 0, u"直播助手");
  ShowWindow(popup, SW_SHOW);
  ASSERT_TRUE(Shows(100, 120, Rgb(red)));
  EXPECT_EQ(Pixel(399, 199), Rgb(red));
  EXPECT_NE(Pixel(99, 120), Rgb(red));
  EXPECT_NE(Pixel(100, 119), Rgb(red));
  EXPECT_NE(Pixel(400, 199), Rgb(red));
  EXPECT_NE(Pixel(399, 200), Rgb(red));
  // The text drew dark pixels inside its first glyph's cell.
  bool dark = false;
  for (int y = 126; y < 150 && !dark; ++y)
    for (int x = 106; x < 128 && !dark; x += 2) dark = Pixel(x, y) < 0x404040 && Pixel(x, y) >= 0;
  EXPECT_TRUE(dark);

  COLORREF green = RGB(20, 200, 20), blue = RGB(20, 20, 200);
  HWND top = Painter({500, 100, 700, 300}, green, WS_EX_TOPMOST);
  ShowWindow(top, SW_SHOW);
  ASSERT_TRUE(Shows(510, 110, Rgb(green)));
  HWND normal = Painter({550, 150, 800, 350}, blue);
  ShowWindow(normal, SW_SHOW);
  SetForegroundWindow(normal);
  BringWindowToTop(normal);
  ASSERT_TRUE(Shows(750, 300, Rgb(blue)));
  Settle();
  EXPECT_EQ(Pixel(600, 200), Rgb(green));
}

TEST_F(X11, ClickOnLayeredTransparentWindowReachesTheWindowBelow) {
  Start();
  qvtest::RecordingWindows windows;
  HWND below = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 300, 300, 400});
  HWND mask = windows.Create(WS_POPUP | WS_VISIBLE, WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_NOACTIVATE | WS_EX_TOPMOST,
                             nullptr, {100, 300, 300, 400});
  SetLayeredWindowAttributes(mask, 0, 100, LWA_ALPHA);
  ASSERT_TRUE(OnScreen(below));
  X11WindowInfo shown;
  ASSERT_TRUE(OnScreen(mask, &shown));
  EXPECT_TRUE(shown.clickThrough);  // from the moment it shows, frame included
  Settle();
  X11WindowInfo settled;
  ASSERT_TRUE(X11Window(mask, settled));
  EXPECT_TRUE(settled.drawn);
  EXPECT_TRUE(settled.clickThrough);
  windows.Clear();
  ASSERT_TRUE(PointerTo(150, 350, below));
  ASSERT_TRUE(Xdotool({"click", "1"}));
  ASSERT_TRUE(XSession::WaitFor([&] { return windows.Count(below, WM_LBUTTONUP) == 1; }, Pump));
  EXPECT_EQ(windows.Count(below, WM_LBUTTONDOWN), 1);
  EXPECT_EQ(windows.Count(mask, WM_LBUTTONDOWN), 0);
  EXPECT_EQ(windows.Count(mask, WM_NCHITTEST), 0);
}

// Each time it is shown again, and after a resize (openbox sets a frame's input shape afresh when it
// resizes the frame), a click-through window takes no click at any moment and is drawn once settled.
TEST_F(X11, TransparentWindowShownAgainOrResizedLetsEveryClickThrough) {
  Start();
  qvtest::RecordingWindows windows;
  HWND below = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {100, 300, 400, 500});
  HWND mask = windows.Create(WS_POPUP, WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_NOACTIVATE | WS_EX_TOPMOST, nullptr,
                             {100, 300, 300, 400});
  SetLayeredWindowAttributes(mask, 0, 100, LWA_ALPHA);
  ASSERT_TRUE(OnScreen(below));
  for (int round = 0; round < 3; ++round) {
    ShowWindow(mask, SW_SHOWNA);
    X11WindowInfo info;
    ASSERT_TRUE(OnScreen(mask, &info));
    EXPECT_TRUE(info.clickThrough) << "round " << round;
    Settle();
    ASSERT_TRUE(X11Window(mask, info));
    EXPECT_TRUE(info.drawn) << "round " << round;
    EXPECT_TRUE(info.clickThrough) << "round " << round;
    ShowWindow(mask, SW_HIDE);
    ASSERT_TRUE(XSession::WaitFor([&] { return X11Window(mask, info) && !info.viewable; }, Pump));
  }
  ShowWindow(mask, SW_SHOWNA);
  ASSERT_TRUE(OnScreen(mask));
  Settle();
  SetWindowPos(mask, nullptr, 100, 300, 300, 200, SWP_NOZORDER | SWP_NOACTIVATE);
  X11WindowInfo resized;
  ASSERT_TRUE(OnScreen(mask, &resized));
  EXPECT_TRUE(resized.clickThrough);
  Settle();
  ASSERT_TRUE(X11Window(mask, resized));
  EXPECT_TRUE(resized.drawn);
  EXPECT_TRUE(resized.clickThrough);
  windows.Clear();
  ASSERT_TRUE(PointerTo(350, 450, below));
  ASSERT_TRUE(Xdotool({"click", "1"}));
  ASSERT_TRUE(XSession::WaitFor([&] { return windows.Count(below, WM_LBUTTONUP) == 1; }, Pump));
  EXPECT_EQ(windows.Count(below, WM_LBUTTONDOWN), 1);
  EXPECT_EQ(windows.Count(mask, WM_LBUTTONDOWN), 0);
  EXPECT_EQ(windows.Count(mask, WM_NCHITTEST), 0);
}

TEST_F(X11, CaptionDragMovesTheWindowAndMovingClampKeepsItOnTheDesktop) {
  Start();
  qvtest::RecordingWindows windows;
  int movings = 0;
  windows.OnMessage([&](HWND, UINT m, WPARAM, LPARAM lp, bool& handled) -> LRESULT {
    if (m == WM_NCHITTEST) {
      handled = true;
      return HTCAPTION;
    }
    if (m == WM_MOVING) {
      ++movings;
      RECT* r = reinterpret_cast<RECT*>(lp);
      RECT d;
      GetWindowRect(GetDesktopWindow(), &d);
      if (r->left < 0) OffsetRect(r, -r->left, 0);
      else if (r->right > d.right) OffsetRect(r, d.right - r->right, 0);
      if (r->top < 0) OffsetRect(r, 0, -r->top);
      else if (r->bottom > d.bottom) OffsetRect(r, 0, d.bottom - r->bottom);
      handled = true;
      return TRUE;
    }
    return 0;
  });
  HWND w = windows.Create(WS_POPUP | WS_VISIBLE, 0, nullptr, {200, 200, 400, 250});
  ASSERT_TRUE(OnScreen(w));
  Settle();
  ASSERT_TRUE(PointerTo(210, 210, w));
  ASSERT_TRUE(Xdotool({"mousedown", "1", "mousemove", "400", "300", "sleep", "0.2",
                       "mousemove", "1279", "310", "sleep", "0.2", "mouseup", "1"}));
  ASSERT_TRUE(XSession::WaitFor([&] { return windows.Count(w, WM_EXITSIZEMOVE) == 1; }, Pump));
  RECT r;
  GetWindowRect(w, &r);
  EXPECT_EQ(r.right, 1280);
  EXPECT_EQ(r.top, 300);
  EXPECT_GE(movings, 2);
  EXPECT_GT(windows.Count(w, WM_MOVE), 0);
  // The X window went there too: the pixel right of where it started is desktop now, and a
  // click on its new place reaches it.
  ASSERT_TRUE(OnScreen(w));
  windows.Clear();
  ASSERT_TRUE(PointerTo(1200, 320, w));
  ASSERT_TRUE(Xdotool({"click", "3"}));
  EXPECT_TRUE(XSession::WaitFor([&] { return windows.Count(w, WM_NCRBUTTONUP) == 1; }, Pump));
}

// A blue window at `r` and above it a window of black (its colour key) with a red square `inner`.
HWND KeyedOverBlue(RECT r, RECT inner) {
  ShowWindow(Painter(r, RGB(30, 60, 220)), SW_SHOWNA);
  HWND keyed = Painter(r, RGB(0, 0, 0), WS_EX_LAYERED | WS_EX_TOPMOST);
  Paints()[keyed].inner = inner;
  Paints()[keyed].innerColor = RGB(230, 20, 20);
  SetLayeredWindowAttributes(keyed, RGB(0, 0, 0), 255, LWA_COLORKEY | LWA_ALPHA);
  ShowWindow(keyed, SW_SHOWNA);
  return keyed;
}

TEST_F(X11, ColourKeyedWindowShowsWhatLiesBelowThroughKeyPixels) {
  Start();
  COLORREF blue = RGB(30, 60, 220), red = RGB(230, 20, 20);
  KeyedOverBlue({700, 400, 900, 600}, RECT{50, 50, 150, 150});
  ASSERT_TRUE(Shows(800, 500, Rgb(red)));
  EXPECT_TRUE(Shows(710, 410, Rgb(blue)));
  EXPECT_EQ(Pixel(890, 590), Rgb(blue));
}

// A window's pixels stay on the server: what its grown shape takes in shows the new image, and
// what another window uncovers comes back without the window being painted again.
TEST_F(X11, AReshapedOrUncoveredWindowShowsItsImageWithoutAnotherPaint) {
  Start();
  COLORREF blue = RGB(30, 60, 220), red = RGB(230, 20, 20), green = RGB(20, 200, 20);
  HWND keyed = KeyedOverBlue({600, 300, 900, 600}, RECT{10, 10, 60, 60});
  ASSERT_TRUE(Shows(620, 320, Rgb(red)));
  EXPECT_EQ(Pixel(750, 450), Rgb(blue));

  Paints()[keyed].inner = RECT{10, 10, 200, 200};
  InvalidateRect(keyed, nullptr, TRUE);
  ASSERT_TRUE(Shows(750, 450, Rgb(red)));
  EXPECT_EQ(Pixel(850, 550), Rgb(blue));

  Settle();
  const int painted = Paints()[keyed].paints;
  HWND cover = Painter({650, 350, 1000, 700}, green, WS_EX_TOPMOST);
  ShowWindow(cover, SW_SHOWNA);
  ASSERT_TRUE(Shows(750, 450, Rgb(green)));
  DestroyWindow(cover);
  ASSERT_TRUE(Shows(750, 450, Rgb(red)));
  EXPECT_EQ(Pixel(790, 490), Rgb(red));
  EXPECT_EQ(Pixel(620, 320), Rgb(red));
  EXPECT_EQ(Pixel(850, 550), Rgb(blue));
  Settle();
  EXPECT_EQ(Paints()[keyed].paints, painted);
}

// Only rows that changed go to the server again: a band that moves, a window that shrinks and
// grows back and a window that gets wider all show their whole new image.
TEST_F(X11, RepaintedRowsResizesAndNewWidthsShowTheWholeNewImage) {
  Start();
  COLORREF green = RGB(20, 200, 20), red = RGB(230, 20, 20);
  HWND window = Painter({600, 300, 800, 600}, green, WS_EX_TOPMOST);
  Painted& painted = Paints()[window];
  painted.inner = RECT{0, 100, 200, 110};
  painted.innerColor = red;
  ShowWindow(window, SW_SHOWNA);
  ASSERT_TRUE(Shows(700, 405, Rgb(red)));

  painted.inner = RECT{0, 200, 200, 210};
  InvalidateRect(window, nullptr, TRUE);
  ASSERT_TRUE(Shows(700, 505, Rgb(red)));
  EXPECT_TRUE(Shows(700, 405, Rgb(green))) << "the band's old rows stayed";

  MoveWindow(window, 600, 300, 200, 150, TRUE);
  Settle();
  MoveWindow(window, 600, 300, 200, 300, TRUE);
  ASSERT_TRUE(OnScreen(window));
  EXPECT_TRUE(Shows(700, 505, Rgb(red)));
  EXPECT_TRUE(Shows(700, 595, Rgb(green)));

  painted.inner = RECT{0, 0, 300, 10};
  MoveWindow(window, 600, 300, 300, 300, TRUE);
  ASSERT_TRUE(Shows(890, 305, Rgb(red)));
  EXPECT_TRUE(Shows(890, 505, Rgb(green)));
  EXPECT_TRUE(Shows(700, 505, Rgb(green)));
}

// Sizes beyond what X allows, then hundreds of thousands of key runs, far more than one rectangle
// list of the protocol can carry: the connection lives and the window keeps its exact shape.
TEST_F(X11, ColourKeyedWindowOfAnyComplexityOrSizeKeepsItsShapeAndTheConnection) {
  Start();
  COLORREF blue = RGB(30, 60, 220), red = RGB(230, 20, 20);
  HWND below = Painter({0, 0, 1280, 800}, blue);
  ShowWindow(below, SW_SHOWNA);
  HWND keyed = Painter({0, 0, 1280, 800}, RGB(0, 0, 0), WS_EX_LAYERED | WS_EX_TOPMOST);
  Paints()[keyed].stripes = 2;
  Paints()[keyed].innerColor = red;
  SetLayeredWindowAttributes(keyed, RGB(0, 0, 0), 255, LWA_COLORKEY | LWA_ALPHA);

  MoveWindow(keyed, -100000, 0, 200, 100000, TRUE);
  RECT clamped;
  ASSERT_TRUE(GetWindowRect(keyed, &clamped));
  EXPECT_EQ(clamped.left, -32768) << "coordinates and sizes stay within 16 bits";
  EXPECT_EQ(clamped.bottom - clamped.top, 32767);
  ShowWindow(keyed, SW_SHOWNA);
  Settle();
  ASSERT_TRUE(X11Sync()) << "the display connection was lost";
  ShowWindow(keyed, SW_HIDE);
  MoveWindow(keyed, 0, 0, 1280, 800, TRUE);
  ShowWindow(keyed, SW_SHOWNA);
  ASSERT_TRUE(OnScreen(keyed));
  ASSERT_TRUE(Shows(600, 700, Rgb(red)));
  EXPECT_TRUE(Shows(601, 700, Rgb(blue)));
  EXPECT_EQ(Pixel(1000, 10), Rgb(red));
  EXPECT_EQ(Pixel(1001, 10), Rgb(blue));
  ASSERT_TRUE(X11Sync()) << "the display connection was lost";
}

// A window that takes the mouse as it is shown (a menu) holds the pointer grab once the window
// manager has mapped it, so a click anywhere reaches it, whoever has the keyboard.
TEST_F(X11, CaptureTakenAsTheWindowIsShownHoldsThePointerOnceItIsMapped) {
  Start();
  for (int attempt = 0; attempt < 5; ++attempt) {
    HWND popup = Painter({300, 300, 420, 380}, RGB(240, 240, 240), WS_EX_TOOLWINDOW | WS_EX_TOPMOST);
    ShowWindow(popup, SW_SHOWNORMAL);
    SetCapture(popup);
    ASSERT_TRUE(OnScreen(popup));
    Settle();
    EXPECT_TRUE(XSession::WaitFor([&] { return session_->PointerGrabbed(); }, Pump, 3000))
        << "opening " << attempt << ": the capture has no pointer grab";
    ReleaseCapture();
    DestroyWindow(popup);
    Settle();
    EXPECT_FALSE(session_->PointerGrabbed());
  }
}

struct HookRecord {
  int shiftTabs = 0;
  int keyEvents = 0;
  HWND notify = nullptr;
};
HookRecord g_hook;
HHOOK g_hhook = nullptr;

LRESULT CALLBACK ShiftTabHook(int code, WPARAM wp, LPARAM lp) {
  if (code == HC_ACTION && lp) {
    ++g_hook.keyEvents;
    auto* k = reinterpret_cast<KBDLLHOOKSTRUCT*>(lp);
    if ((wp == WM_KEYDOWN || wp == WM_SYSKEYDOWN) && k->vkCode == VK_TAB && (GetAsyncKeyState(VK_SHIFT) & 0x8000))
      ++g_hook.shiftTabs;
  }
  return CallNextHookEx(g_hhook, code, wp, lp);
}

TEST_F(X11, AWindowShownInTheBackgroundComesToTheFrontWithoutTakingTheKeyboard) {
  Start();
  ShownInTheBackgroundWithoutTakingTheKeyboard(false);
}

// xfwm4 focuses a window that a plain raise puts above a focused full-screen window.
TEST_F(X11, AWindowShownInTheBackgroundUnderXfwm4LeavesTheKeyboardToAFullScreenGame) {
  SessionOptions options;
  options.xfwm4 = true;
  Start(options);
  ShownInTheBackgroundWithoutTakingTheKeyboard(true);
}

TEST_F(X11, ShiftTabReachesTheHookWhileAnotherProgramHasTheFocusAndKeepsItsTab) {
  Start();
  std::string log = session_->folder() + "/keys.log";
  pid_t other = session_->Spawn({QV_KEYWINDOW}, log);
  auto logText = [&] {
    std::ifstream in(log);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  };
  ASSERT_TRUE(XSession::WaitFor([&] { return logText().find("focus") != std::string::npos; }, Pump, 10000));
  std::string active;
  ASSERT_TRUE(XSession::WaitFor([&] {
    return session_->Run({"xdotool", "getwindowfocus", "getwindowname"}, Pump, &active) &&
           active.find("QvKeyTarget") != std::string::npos;
  }, Pump, 10000));
  g_hhook = SetWindowsHookExA(WH_KEYBOARD_LL, ShiftTabHook, nullptr, 0);
  ASSERT_NE(g_hhook, nullptr);
  // Tab alone, then Shift+Tab pressed and released once.
  ASSERT_TRUE(Xdotool({"key", "Tab"}));
  ASSERT_TRUE(Xdotool({"keydown", "shift", "key", "Tab", "keyup", "shift"}));
  ASSERT_TRUE(XSession::WaitFor([&] { return g_hook.keyEvents >= 6; }, Pump));
  Settle();
  EXPECT_EQ(g_hook.shiftTabs, 1);
  std::string text = logText();
  size_t tabs = 0;
  for (size_t p = text.find("down 9\n"); p != std::string::npos; p = text.find("down 9\n", p + 1)) ++tabs;
  EXPECT_EQ(tabs, 2u) << text;  // the focused program got both Tabs
  // Holding Shift+Tab repeats (at the server's rate: 660 ms, then 25 a second).
  ASSERT_TRUE(Xdotool({"keydown", "shift", "keydown", "Tab", "sleep", "1.2", "keyup", "Tab", "keyup", "shift"}));
  Settle();
  EXPECT_GE(g_hook.shiftTabs, 1 + 4);
  UnhookWindowsHookEx(g_hhook);
  session_->Stop(other);
}

// ---- over a game: floating windows, and text over a colour key ----

// A topmost layered pop-up (the bar, and the windows it lays over a game) floats above a focused
// full-screen window of another program, comes back above whatever is raised or mapped later, and
// never takes the keyboard, not even when activated.
TEST_F(X11, TopmostLayeredPopupFloatsAboveAFocusedFullScreenGameWithoutTakingItsKeyboard) {
  Start();
  std::string gameOut = session_->folder() + "/game.out";
  pid_t game = session_->Spawn({QV_FULLSCREEN, "3060C0"}, gameOut);
  ASSERT_TRUE(XSession::WaitFor([&] { return FileText(gameOut).find("focus\n") != std::string::npos; }, Pump, 10000));
  ASSERT_TRUE(Shows(700, 350, 0x3060C0));
  COLORREF green = RGB(20, 200, 20);
  HWND hud = Painter({600, 300, 800, 400}, green, WS_EX_LAYERED);
  SetLayeredWindowAttributes(hud, 0, 255, LWA_ALPHA);
  SetWindowPos(hud, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  SetForegroundWindow(hud);
  ASSERT_TRUE(Shows(700, 350, Rgb(green))) << "the pop-up is not above the game";
  X11WindowInfo info;
  ASSERT_TRUE(X11Window(hud, info));
  EXPECT_TRUE(info.unmanaged);
  EXPECT_EQ(info.frame, 0u);
  Settle();
  ASSERT_TRUE(Xdotool({"key", "a"}));
  EXPECT_TRUE(XSession::WaitFor([&] { return FileText(gameOut).find("key a\n") != std::string::npos; }, Pump))
      << "the game lost the keyboard:\n" << FileText(gameOut);

  // The game raised by its window manager, then another client's pop-up mapped on top of it all.
  std::string id;
  ASSERT_TRUE(session_->Run({"xdotool", "search", "--name", "^QvGame$"}, Pump, &id));
  ASSERT_TRUE(Xdotool({"windowactivate", "--sync", id.substr(0, id.find('\n'))}));
  Settle();
  EXPECT_TRUE(Shows(700, 350, Rgb(green))) << "the raised game covers the pop-up";
  session_->Cover(650, 320, 100, 60, 0xC04020);
  EXPECT_TRUE(Shows(700, 350, Rgb(green))) << "another client's pop-up covers ours";
  EXPECT_EQ(FileText(gameOut).find("unfocus"), std::string::npos) << FileText(gameOut);
  session_->Stop(game);
}

// A window of ours the model puts above the floating ones (a menu opened later) stays above them,
// and stays an ordinary managed window; raising a floating window again puts it back on top.
TEST_F(X11, AnOrdinaryWindowOfOursOpenedLaterStaysAboveTheFloatingOnes) {
  Start();
  COLORREF green = RGB(20, 200, 20), red = RGB(220, 30, 30);
  HWND hud = Painter({600, 300, 800, 400}, green, WS_EX_LAYERED | WS_EX_NOACTIVATE);
  SetLayeredWindowAttributes(hud, 0, 255, LWA_ALPHA);
  SetWindowPos(hud, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW | SWP_NOACTIVATE);
  ASSERT_TRUE(Shows(700, 350, Rgb(green)));
  HWND menu = Painter({650, 330, 750, 450}, red, WS_EX_TOOLWINDOW | WS_EX_TOPMOST);
  ShowWindow(menu, SW_SHOW);
  ASSERT_TRUE(OnScreen(menu));
  Settle();
  EXPECT_TRUE(Shows(700, 350, Rgb(red))) << "the floating window covers the menu";
  X11WindowInfo info;
  ASSERT_TRUE(X11Window(menu, info));
  EXPECT_FALSE(info.unmanaged);
  SetWindowPos(hud, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  Settle();
  EXPECT_TRUE(Shows(700, 350, Rgb(green))) << "the floating window raised again stays under the menu";
}

namespace {

// Channels of a premultiplied pixel over its alpha.
unsigned Unpremultiplied(unsigned argb, int shift) {
  unsigned a = argb >> 24;
  return a ? std::min(255u, ((argb >> shift) & 0xFF) * 255 / a) : 0;
}

}  // namespace

// White text on a black colour key. Without a compositor every pixel of the window is the key or
// the ink; with one the window has its own alpha: the key is transparent and the text keeps its
// anti-aliasing as alpha, with white as its colour. It follows a compositor that starts and stops
// while it is shown; an ordinary window's text stays anti-aliased throughout.
TEST_F(X11, TextOverAColourKeyIsCrispWithoutACompositorAndKeepsItsCoverageAsAlphaWithOne) {
  Start();
  const std::u16string text = u"直播助手 Live 666";
  HWND keyed = Painter({100, 100, 400, 140}, RGB(0, 0, 0), WS_EX_LAYERED | WS_EX_NOACTIVATE, text);
  Paints()[keyed].textColor = RGB(255, 255, 255);
  SetLayeredWindowAttributes(keyed, RGB(0, 0, 0), 255, LWA_COLORKEY | LWA_ALPHA);
  SetWindowPos(keyed, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW | SWP_NOACTIVATE);
  HWND plain = Painter({100, 200, 400, 240}, RGB(0, 0, 0), 0, text);
  Paints()[plain].textColor = RGB(255, 255, 255);
  ShowWindow(plain, SW_SHOWNA);
  ASSERT_TRUE(OnScreen(keyed));
  ASSERT_TRUE(OnScreen(plain));
  Settle();
  auto read = [&](HWND hwnd, WindowPixels& image) {
    X11WindowInfo info;
    return X11Window(hwnd, info) && session_->ReadWindow(info.window, image);
  };
  // Counts the window's pixels: transparent (or the key), full ink, and anything between.
  struct Kinds {
    int clear = 0, ink = 0, between = 0, notWhite = 0, overHalf = 0;
  };
  auto kinds = [](const WindowPixels& image) {
    Kinds k;
    for (unsigned px : image.argb) {
      unsigned a = px >> 24, rgb = px & 0xFFFFFF;
      if (a == 0 || rgb == 0) ++k.clear;
      else if (a == 255 && rgb == 0xFFFFFF) ++k.ink;
      else ++k.between;
      if (a >= 64 && (Unpremultiplied(px, 16) < 0xE0 || Unpremultiplied(px, 8) < 0xE0 || Unpremultiplied(px, 0) < 0xE0))
        ++k.notWhite;
      if (a > 129) ++k.overHalf;
    }
    return k;
  };
  WindowPixels image;
  ASSERT_TRUE(read(keyed, image));
  Kinds k = kinds(image);
  EXPECT_EQ(image.depth, 24);
  EXPECT_GT(k.ink, 100);
  EXPECT_EQ(k.between, 0) << "text blended into the key";
  ASSERT_TRUE(read(plain, image));
  EXPECT_GT(kinds(image).between, 50) << "an ordinary window's text lost its anti-aliasing";

  // A compositor starts: the window shown takes a 32-bit visual at once.
  ASSERT_TRUE(session_->StartCompositor()) << session_->error();
  ASSERT_TRUE(XSession::WaitFor([&] {
    X11WindowInfo info;
    return X11Window(keyed, info) && info.depth == 32 && info.viewable && read(keyed, image) && kinds(image).ink +
           kinds(image).between > 100;
  }, Pump, 10000)) << "the window did not take alpha of its own";
  k = kinds(image);
  EXPECT_GT(k.clear, image.width * image.height / 2);
  EXPECT_GT(k.between, 50) << "the text lost its anti-aliasing";
  EXPECT_EQ(k.notWhite, 0) << "the text's edges are not white";
  ASSERT_TRUE(read(plain, image));
  EXPECT_EQ(image.depth, 24) << "an ordinary window changed its visual";
  // Constant alpha is the pixels' alpha.
  SetLayeredWindowAttributes(keyed, RGB(0, 0, 0), 128, LWA_COLORKEY | LWA_ALPHA);
  EXPECT_TRUE(XSession::WaitFor([&] {
    return read(keyed, image) && kinds(image).overHalf == 0 && kinds(image).between > 100;
  }, Pump, 5000)) << "the constant alpha is not in the pixels";

  // The compositor stops: the window is back to the key's shape and crisp text.
  session_->StopCompositor();
  ASSERT_TRUE(XSession::WaitFor([&] {
    X11WindowInfo info;
    return X11Window(keyed, info) && info.depth == 24 && info.viewable && read(keyed, image) && kinds(image).ink > 100;
  }, Pump, 10000)) << "the window kept its alpha without a compositor";
  EXPECT_EQ(kinds(image).between, 0);
}

// ---- the clipboard, with xclip as the other program ----

std::u16string U16(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
  return out;
}

// Text of several megabytes, multi-byte characters included, so that INCR chunks split them.
std::string BigText() {
  std::string text;
  for (int i = 0; text.size() < 3 * 1024 * 1024; ++i) text += "line " + std::to_string(i) + " 直播助手 ☺\n";
  return text;
}

void SetText(HWND owner, UINT format, const std::u16string& text) {
  ASSERT_TRUE(OpenClipboard(owner));
  if (format != CF_QV_PRIMARY) {
    ASSERT_TRUE(EmptyClipboard());
  }
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(WCHAR));
  std::memcpy(GlobalLock(h), text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  GlobalUnlock(h);
  ASSERT_NE(SetClipboardData(format, h), nullptr);
  ASSERT_TRUE(CloseClipboard());
}

// The text of a format, or "<none>".
std::u16string GetText(HWND window, UINT format) {
  if (!OpenClipboard(window)) return u"<not open>";
  std::u16string text = u"<none>";
  if (HANDLE h = GetClipboardData(format)) {
    text = static_cast<const WCHAR*>(GlobalLock(h));
    GlobalUnlock(h);
  }
  CloseClipboard();
  return text;
}

class X11Clipboard : public X11 {
 protected:
  std::string WriteFile(const std::string& name, const std::string& text) {
    std::string path = session_->folder() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // xclip serving `text` on a selection until stopped.
  pid_t Offer(const std::string& selection, const std::string& text) {
    return session_->Spawn({"xclip", "-quiet", "-selection", selection, "-i", WriteFile(selection + ".in", text)},
                           session_->folder() + "/xclip-" + selection + ".log");
  }
  // What xclip pastes from a selection, as `target`.
  bool PasteElsewhere(const std::string& selection, std::string& text, const std::string& target = "UTF8_STRING") {
    return session_->Run({"xclip", "-o", "-selection", selection, "-t", target}, Pump, &text);
  }
};

TEST_F(X11Clipboard, TextCopiedHereIsPastedByAnotherProgramInEveryTextTarget) {
  Start();
  qvtest::RecordingWindows windows;
  HWND w = windows.Create();
  SetText(w, CF_UNICODETEXT, u"héllo 你好");
  std::string pasted;
  ASSERT_TRUE(PasteElsewhere("clipboard", pasted));
  EXPECT_EQ(pasted, "h\xC3\xA9llo 你好");
  ASSERT_TRUE(PasteElsewhere("clipboard", pasted, "STRING"));
  EXPECT_EQ(pasted, "h\xE9llo ??");  // Latin-1
  ASSERT_TRUE(PasteElsewhere("clipboard", pasted, "TARGETS"));
  for (const char* target : {"TARGETS", "UTF8_STRING", "STRING", "TEXT"})
    EXPECT_NE(pasted.find(target), std::string::npos) << pasted;
  EXPECT_FALSE(PasteElsewhere("clipboard", pasted, "image/png"));  // refused

  // Larger than one request: sent in INCR chunks.
  std::string big = BigText();
  SetText(w, CF_UNICODETEXT, U16(big));
  ASSERT_TRUE(PasteElsewhere("clipboard", pasted));
  EXPECT_EQ(pasted.size(), big.size());
  EXPECT_TRUE(pasted == big);
  ASSERT_TRUE(X11Sync());
}

TEST_F(X11Clipboard, TextCopiedByAnotherProgramIsPastedHereAndTakesTheClipboard) {
  Start();
  qvtest::RecordingWindows windows;
  HWND w = windows.Create();
  SetText(w, CF_UNICODETEXT, u"ours");
  pid_t xclip = Offer("clipboard", "theirs 直播");
  ASSERT_TRUE(XSession::WaitFor([&] { return windows.Count(w, WM_DESTROYCLIPBOARD) == 1; }, Pump));
  EXPECT_EQ(GetClipboardOwner(), nullptr);
  EXPECT_TRUE(IsClipboardFormatAvailable(CF_UNICODETEXT));
  EXPECT_EQ(GetText(w, CF_UNICODETEXT), u"theirs 直播");
  session_->Stop(xclip);

  std::string big = BigText();
  xclip = Offer("clipboard", big);
  std::u16string expected = U16(big), got;
  ASSERT_TRUE(XSession::WaitFor([&] { return (got = GetText(w, CF_UNICODETEXT)) == expected; }, Pump, 20000))
      << got.size() << " of " << expected.size() << " units";
  session_->Stop(xclip);
}

TEST_F(X11Clipboard, PrimarySelectionGoesBothWaysBesideTheClipboard) {
  Start();
  qvtest::RecordingWindows windows;
  HWND w = windows.Create();
  SetText(w, CF_UNICODETEXT, u"copied");
  SetText(w, CF_QV_PRIMARY, u"selected ☺");
  std::string pasted;
  ASSERT_TRUE(PasteElsewhere("primary", pasted));
  EXPECT_EQ(pasted, "selected ☺");
  ASSERT_TRUE(PasteElsewhere("clipboard", pasted));
  EXPECT_EQ(pasted, "copied");

  pid_t xclip = Offer("primary", "their selection");
  ASSERT_TRUE(XSession::WaitFor([&] { return GetText(w, CF_QV_PRIMARY) == u"their selection"; }, Pump));
  EXPECT_EQ(GetText(w, CF_UNICODETEXT), u"copied");
  EXPECT_EQ(windows.Count(w, WM_DESTROYCLIPBOARD), 0);
  session_->Stop(xclip);
}

// An owner that never answers costs one time-out, and the display's event thread goes on meanwhile.
TEST_F(X11Clipboard, AnOwnerThatNeverAnswersNeitherHangsTheCallerNorTheDisplay) {
  Start();
  qvtest::RecordingWindows windows;
  HWND w = windows.Create();
  SetText(w, CF_UNICODETEXT, u"ours");
  pid_t xclip = Offer("clipboard", "frozen");
  ASSERT_TRUE(XSession::WaitFor([&] { return windows.Count(w, WM_DESTROYCLIPBOARD) == 1; }, Pump));
  ASSERT_EQ(kill(xclip, SIGSTOP), 0);
  std::atomic<bool> done{false};
  std::u16string got;
  std::thread reader([&] {
    got = GetText(nullptr, CF_UNICODETEXT);
    done = true;
  });
  // Round trips through the event thread go on while the reader waits (one at most would finish
  // if the event thread waited for the owner too).
  int syncs = 0;
  while (!done)
    if (X11Sync() && !done) ++syncs;
  reader.join();
  EXPECT_GE(syncs, 3);
  EXPECT_EQ(got, u"<none>");
  kill(xclip, SIGCONT);
  EXPECT_EQ(GetText(w, CF_UNICODETEXT), u"frozen");
  session_->Stop(xclip);
}

}  // namespace
