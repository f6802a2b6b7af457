// The clipboard on the headless desktop: global memory handles, one opener at a time, ownership
// and WM_DESTROYCLIPBOARD, the data the system owns, text formats made from each other, another
// program copying and pasting, and the PRIMARY selection's own slot.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/testing.h"
#include "platform/testing_clipboard.h"
#include "platform/win32.h"
#include "support/WindowFixture.h"

using qvplatform::testing::CopyFromAnotherProgram;
using qvplatform::testing::PasteInAnotherProgram;
using qvtest::PumpPending;
using qvtest::RecordingWindows;

namespace {

HGLOBAL WideBlock(const std::u16string& text) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(WCHAR));
  auto* p = static_cast<WCHAR*>(GlobalLock(h));
  std::memcpy(p, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  GlobalUnlock(h);
  return h;
}

std::u16string WideOf(HANDLE h) {
  auto* p = static_cast<const WCHAR*>(GlobalLock(h));
  if (!p) return u"<no memory>";
  std::u16string text(p);
  GlobalUnlock(h);
  return text;
}

std::string NarrowOf(HANDLE h) {
  auto* p = static_cast<const char*>(GlobalLock(h));
  if (!p) return "<no memory>";
  std::string text(p);
  GlobalUnlock(h);
  return text;
}

// Copies text the way a program does: open, empty, set, close.
void Copy(HWND owner, const std::u16string& text) {
  ASSERT_TRUE(OpenClipboard(owner));
  ASSERT_TRUE(EmptyClipboard());
  ASSERT_NE(SetClipboardData(CF_UNICODETEXT, WideBlock(text)), nullptr);
  ASSERT_TRUE(CloseClipboard());
}

std::u16string Paste(HWND window) {
  if (!OpenClipboard(window)) return u"<not open>";
  HANDLE h = GetClipboardData(CF_UNICODETEXT);
  std::u16string text = h ? WideOf(h) : u"<none>";
  CloseClipboard();
  return text;
}

TEST(GlobalMemory, LockGivesZeroedMemoryAndCountsLocks) {
  HGLOBAL h = GlobalAlloc(GHND, 16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GlobalSize(h), 16u);
  auto* p = static_cast<unsigned char*>(GlobalLock(h));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(p[i], 0);
  EXPECT_EQ(GlobalLock(h), p);
  EXPECT_TRUE(GlobalUnlock(h));  // still locked once
  SetLastError(1234);
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR));
  EXPECT_FALSE(GlobalUnlock(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  EXPECT_EQ(GlobalFree(h), nullptr);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);
}

TEST(GlobalMemory, StaleAndForeignHandlesFailCleanly) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 8);
  ASSERT_EQ(GlobalFree(h), nullptr);
  HGLOBAL reused = GlobalAlloc(GMEM_MOVEABLE, 4);  // takes the freed slot
  EXPECT_NE(reused, h);
  EXPECT_EQ(GlobalLock(h), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GlobalSize(h), 0u);
  EXPECT_EQ(GlobalFree(h), h);
  EXPECT_EQ(GlobalSize(reused), 4u);  // the new block is untouched

  // Kernel handles and memory handles never stand for each other.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(GlobalFree(event), event);
  EXPECT_EQ(GlobalLock(event), nullptr);
  EXPECT_FALSE(CloseHandle(reused));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(GlobalSize(reused), 4u);
  CloseHandle(event);
  GlobalFree(reused);
}

TEST(GlobalMemory, OnlyMoveableMemoryIsGiven) {
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HGLOBAL empty = GlobalAlloc(GMEM_MOVEABLE, 0);  // a block with no memory yet
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(GlobalSize(empty), 0u);
  EXPECT_EQ(GlobalLock(empty), nullptr);
  GlobalFree(empty);
}

TEST(Clipboard, OneWindowHasItOpenAtATime) {
  RecordingWindows windows;
  HWND a = windows.Create();
  HWND b = windows.Create();
  ASSERT_TRUE(OpenClipboard(a));
  EXPECT_EQ(GetOpenClipboardWindow(), a);
  EXPECT_TRUE(OpenClipboard(a));  // again by the same window
  EXPECT_FALSE(OpenClipboard(b));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  BOOL otherThread = TRUE;
  std::thread([&] { otherThread = OpenClipboard(nullptr); }).join();
  EXPECT_FALSE(otherThread);
  ASSERT_TRUE(CloseClipboard());
  EXPECT_EQ(GetOpenClipboardWindow(), nullptr);
  EXPECT_FALSE(CloseClipboard());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLIPBOARD_NOT_OPEN));
  EXPECT_TRUE(OpenClipboard(b));
  EXPECT_TRUE(CloseClipboard());
}

TEST(Clipboard, AThreadThatEndsWithTheClipboardOpenLetsGoOfIt) {
  RecordingWindows windows;
  HWND a = windows.Create();
  std::thread([] {
    ASSERT_TRUE(OpenClipboard(nullptr));
    ASSERT_TRUE(EmptyClipboard());
  }).join();
  EXPECT_TRUE(OpenClipboard(a));
  EXPECT_TRUE(CloseClipboard());
}

TEST(Clipboard, SettingDataNeedsTheClipboardOpenAndEmptiedByTheCaller) {
  RecordingWindows windows;
  HWND a = windows.Create();
  HGLOBAL text = WideBlock(u"x");
  EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, text), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLIPBOARD_NOT_OPEN));
  ASSERT_TRUE(OpenClipboard(a));
  EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, text), nullptr);  // not the owner yet
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLIPBOARD_NOT_OPEN));
  CloseClipboard();
  // Opened without a window, emptying leaves no owner: nobody may set data.
  ASSERT_TRUE(OpenClipboard(nullptr));
  ASSERT_TRUE(EmptyClipboard());
  EXPECT_EQ(GetClipboardOwner(), nullptr);
  EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, text), nullptr);
  CloseClipboard();
  EXPECT_EQ(GlobalFree(text), nullptr);  // refused data stays the caller's
  EXPECT_FALSE(EmptyClipboard());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLIPBOARD_NOT_OPEN));
}

TEST(Clipboard, BadArgumentsAreRefusedWithoutChangingTheClipboard) {
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"kept");
  HGLOBAL stale = GlobalAlloc(GMEM_MOVEABLE, 4);
  GlobalFree(stale);
  EXPECT_FALSE(OpenClipboard(reinterpret_cast<HWND>(0x7FF0)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLIPBOARD_NOT_OPEN));
  ASSERT_TRUE(OpenClipboard(a));
  EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, nullptr), nullptr);  // delayed rendering
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetClipboardData(0, WideBlock(u"y")), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetClipboardData(CF_UNICODETEXT, stale), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // A block the clipboard already owns cannot be given again under another format.
  HANDLE owned = GetClipboardData(CF_UNICODETEXT);
  EXPECT_EQ(SetClipboardData(CF_TEXT, owned), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WideOf(GetClipboardData(CF_UNICODETEXT)), u"kept");
  CloseClipboard();
}

TEST(Clipboard, TheSystemOwnsSetDataUntilTheClipboardIsEmptied) {
  RecordingWindows windows;
  HWND a = windows.Create();
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_TRUE(EmptyClipboard());
  EXPECT_EQ(GetClipboardOwner(), a);
  HGLOBAL text = WideBlock(u"你好 clipboard");
  ASSERT_EQ(SetClipboardData(CF_UNICODETEXT, text), text);
  EXPECT_EQ(GlobalFree(text), text);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(CloseClipboard());

  EXPECT_TRUE(IsClipboardFormatAvailable(CF_UNICODETEXT));
  EXPECT_TRUE(IsClipboardFormatAvailable(CF_TEXT));  // made from the Unicode text on demand
  EXPECT_FALSE(IsClipboardFormatAvailable(2));
  ASSERT_TRUE(OpenClipboard(a));
  EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), text);
  EXPECT_EQ(WideOf(text), u"你好 clipboard");
  EXPECT_EQ(GetClipboardData(2), nullptr);
  ASSERT_TRUE(EmptyClipboard());
  EXPECT_EQ(GlobalSize(text), 0u);  // freed by the system
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), nullptr);
  CloseClipboard();
  EXPECT_FALSE(IsClipboardFormatAvailable(CF_UNICODETEXT));
}

TEST(Clipboard, TextFormatsAreMadeFromEachOtherInTheAnsiCodePage) {
  qvplatform::testing::SetACP(936);
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"中文");
  ASSERT_TRUE(OpenClipboard(a));
  HANDLE narrow = GetClipboardData(CF_TEXT);
  EXPECT_EQ(NarrowOf(narrow), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(GetClipboardData(CF_TEXT), narrow);  // made once, valid until the clipboard changes

  // Only CF_TEXT given: Unicode text is made from it, and that is what other programs get.
  ASSERT_TRUE(EmptyClipboard());
  HGLOBAL gbk = GlobalAlloc(GMEM_MOVEABLE, 5);
  std::memcpy(GlobalLock(gbk), "\xCE\xC4\xD7\xD6", 5);
  GlobalUnlock(gbk);
  ASSERT_NE(SetClipboardData(CF_TEXT, gbk), nullptr);
  EXPECT_EQ(WideOf(GetClipboardData(CF_UNICODETEXT)), u"文字");
  CloseClipboard();
  std::u16string seen;
  ASSERT_TRUE(PasteInAnotherProgram(seen));
  EXPECT_EQ(seen, u"文字");
  qvplatform::testing::SetACP(0);
}

TEST(Clipboard, TextWithoutATerminatorEndsWithItsBlock) {
  RecordingWindows windows;
  HWND a = windows.Create();
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, 3 * sizeof(WCHAR));
  std::memcpy(GlobalLock(h), u"abc", 3 * sizeof(WCHAR));
  GlobalUnlock(h);
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_TRUE(EmptyClipboard());
  ASSERT_NE(SetClipboardData(CF_UNICODETEXT, h), nullptr);
  CloseClipboard();
  std::u16string seen;
  ASSERT_TRUE(PasteInAnotherProgram(seen));
  EXPECT_EQ(seen, u"abc");
}

TEST(Clipboard, OtherProgramsSeeTheDataOnlyOnceTheClipboardIsClosed) {
  RecordingWindows windows;
  HWND a = windows.Create();
  std::u16string seen;
  EXPECT_FALSE(PasteInAnotherProgram(seen));
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_TRUE(EmptyClipboard());
  ASSERT_NE(SetClipboardData(CF_UNICODETEXT, WideBlock(u"first")), nullptr);
  EXPECT_FALSE(PasteInAnotherProgram(seen));
  ASSERT_NE(SetClipboardData(CF_UNICODETEXT, WideBlock(u"second")), nullptr);  // replaces the first
  ASSERT_TRUE(CloseClipboard());
  ASSERT_TRUE(PasteInAnotherProgram(seen));
  EXPECT_EQ(seen, u"second");
  // Emptied and closed: the others find nothing to paste.
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_TRUE(EmptyClipboard());
  ASSERT_TRUE(CloseClipboard());
  EXPECT_FALSE(PasteInAnotherProgram(seen));
}

TEST(Clipboard, EmptyingTellsTheOldOwnerOnItsOwnThread) {
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"a's");
  DWORD heardOn = 0;
  windows.OnMessage([&](HWND hwnd, UINT m, WPARAM, LPARAM, bool&) -> LRESULT {
    if (hwnd == a && m == WM_DESTROYCLIPBOARD) heardOn = GetCurrentThreadId();
    return 0;
  });
  HWND b = nullptr;
  std::thread other([&] {
    b = windows.Create();  // a window of this thread
    ASSERT_TRUE(OpenClipboard(b));
    EXPECT_TRUE(EmptyClipboard());  // sends to a, whose thread serves it while it pumps below
    ASSERT_NE(SetClipboardData(CF_UNICODETEXT, WideBlock(u"b's")), nullptr);
    EXPECT_EQ(GetClipboardOwner(), b);
    CloseClipboard();
  });
  ASSERT_TRUE(qvtest::PumpUntil([&] { return heardOn != 0; }));
  other.join();
  EXPECT_EQ(heardOn, GetCurrentThreadId());
  EXPECT_EQ(windows.Count(a, WM_DESTROYCLIPBOARD), 1);
  EXPECT_EQ(Paste(a), u"b's");
}

TEST(Clipboard, AnotherProgramCopyingTakesTheClipboard) {
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"ours");
  ASSERT_TRUE(CopyFromAnotherProgram(u"theirs ☺"));
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_DESTROYCLIPBOARD), 1);
  EXPECT_EQ(GetClipboardOwner(), nullptr);
  EXPECT_TRUE(IsClipboardFormatAvailable(CF_UNICODETEXT));
  EXPECT_TRUE(IsClipboardFormatAvailable(CF_TEXT));
  ASSERT_TRUE(OpenClipboard(a));
  HANDLE wide = GetClipboardData(CF_UNICODETEXT);
  EXPECT_EQ(WideOf(wide), u"theirs ☺");
  EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), wide);  // the same handle for the whole session
  EXPECT_NE(GetClipboardData(CF_TEXT), nullptr);
  CloseClipboard();
  EXPECT_EQ(GlobalSize(wide), 0u);  // another program's text is not kept past the session
  EXPECT_EQ(Paste(a), u"theirs ☺");
}

TEST(Clipboard, HandlesStayValidWhileOpenWhenAnotherProgramCopies) {
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"ours");
  ASSERT_TRUE(OpenClipboard(a));
  HANDLE ours = GetClipboardData(CF_UNICODETEXT);
  ASSERT_TRUE(CopyFromAnotherProgram(u"theirs"));
  PumpPending();
  EXPECT_EQ(WideOf(ours), u"ours");
  EXPECT_EQ(windows.Count(a, WM_DESTROYCLIPBOARD), 0);
  CloseClipboard();
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_DESTROYCLIPBOARD), 1);
  EXPECT_EQ(GlobalSize(ours), 0u);
  EXPECT_EQ(Paste(a), u"theirs");
}

TEST(Clipboard, ChangingTheClipboardWhileOpenOutlivesAnotherProgramsCopy) {
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"old");
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_TRUE(CopyFromAnotherProgram(u"theirs"));
  ASSERT_TRUE(EmptyClipboard());
  ASSERT_NE(SetClipboardData(CF_UNICODETEXT, WideBlock(u"newest")), nullptr);
  CloseClipboard();
  std::u16string seen;
  ASSERT_TRUE(PasteInAnotherProgram(seen));
  EXPECT_EQ(seen, u"newest");
  EXPECT_EQ(GetClipboardOwner(), a);
}

TEST(Clipboard, TheOwnersDataOutlivesItsWindow) {
  RecordingWindows windows;
  HWND a = windows.Create();
  HWND b = windows.Create();
  Copy(a, u"left behind");
  DestroyWindow(a);
  EXPECT_EQ(GetClipboardOwner(), nullptr);
  EXPECT_EQ(Paste(b), u"left behind");
}

TEST(Clipboard, PrimarySelectionIsAClipboardOfItsOwn) {
  RecordingWindows windows;
  HWND a = windows.Create();
  Copy(a, u"copied");
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_NE(SetClipboardData(CF_QV_PRIMARY, WideBlock(u"selected")), nullptr);  // no EmptyClipboard needed
  ASSERT_TRUE(CloseClipboard());
  std::u16string seen;
  ASSERT_TRUE(PasteInAnotherProgram(seen, true));
  EXPECT_EQ(seen, u"selected");
  EXPECT_EQ(Paste(a), u"copied");
  ASSERT_TRUE(OpenClipboard(a));
  ASSERT_TRUE(EmptyClipboard());
  EXPECT_EQ(WideOf(GetClipboardData(CF_QV_PRIMARY)), u"selected");
  CloseClipboard();
  PumpPending();

  ASSERT_TRUE(CopyFromAnotherProgram(u"their selection", true));
  PumpPending();
  EXPECT_EQ(windows.Count(a, WM_DESTROYCLIPBOARD), 1);  // the emptying above, not the selection
  EXPECT_TRUE(IsClipboardFormatAvailable(CF_QV_PRIMARY));
  ASSERT_TRUE(OpenClipboard(a));
  EXPECT_EQ(WideOf(GetClipboardData(CF_QV_PRIMARY)), u"their selection");
  EXPECT_EQ(GetClipboardData(CF_UNICODETEXT), nullptr);  // emptied above
  CloseClipboard();
}

}  // namespace
