// The window model's internal state, shared by the window and message-queue halves of user.
// Lock order: UserLock() before a queue's mutex; neither is held while a window procedure, a
// hook or the backend runs.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "win32/user.h"

namespace qvp {

struct ThreadQueue;

struct WindowClass {
  std::u16string name;
  ATOM atom = 0;
  WNDCLASSEXW info{};
};

struct Window {
  HWND hwnd = nullptr;
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<WindowClass> cls;
  WNDPROC proc = nullptr;
  DWORD style = 0;
  DWORD exStyle = 0;
  HWND parent = nullptr;  // WS_CHILD windows
  HWND owner = nullptr;   // owned top-level windows
  HINSTANCE instance = nullptr;
  LONG_PTR id = 0;
  LONG_PTR userData = 0;
  std::u16string text;
  HICON icons[2] = {nullptr, nullptr};  // WM_SETICON: [ICON_SMALL], [ICON_BIG]
  RECT rect{};          // window rectangle: parent's client coordinates for children, else screen
  RECT clientInset{};   // client area inside `rect`: distances from each edge
  RECT normalRect{};    // restored rectangle while minimised or maximised
  bool iconic = false;
  bool destroying = false;
  // Update region (client coordinates), kept as its bounding box.
  bool hasUpdate = false;
  bool updateErase = false;
  RECT update{};
  // Layered attributes.
  DWORD layeredFlags = 0;
  BYTE alpha = 255;
  COLORREF colorKey = 0;
};

struct SentMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
  std::shared_ptr<ThreadQueue> sender;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT elapseMs;
  TIMERPROC proc;
  uint64_t dueUs;
};

struct ThreadQueue {
  DWORD threadId = 0;
  std::mutex mutex;
  std::condition_variable cv;
  bool alive = true;                 // false once the thread has ended
  uint64_t wakeups = 0;              // bumped by every event a waiting pump must look at
  std::deque<MSG> posted;
  std::deque<MSG> input;             // mouse and keyboard, after posted messages
  // Display input not yet turned into messages: converted one event at a time when `input` is used
  // up, so hit testing and capture see the state the earlier messages left behind.
  std::deque<std::function<void()>> rawInput;
  std::deque<SentMessage*> incoming; // sends from other threads, served first
  std::deque<std::function<void()>> tasks;  // layer work that must run on this thread
  bool quit = false;
  int quitCode = 0;
  std::vector<Timer> timers;         // touched by the owning thread only
  DWORD lastMessageTime = 0;
  int serving = 0;                   // depth of incoming sends being served (InSendMessage)
  BYTE keyState[256] = {};           // as of the last input message retrieved (GetKeyState)

  void Notify() {  // with `mutex` held
    ++wakeups;
    cv.notify_all();
  }
};

std::mutex& UserLock();

// The queue of the calling thread, created on first use.
std::shared_ptr<ThreadQueue> CurrentQueue();
// The queue of a thread that has one, or null.
std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId);

// Windows by handle. Lookups need UserLock() held.
Window* FindWindowLocked(HWND hwnd);
std::shared_ptr<Window> FindWindowShared(HWND hwnd);  // takes the lock itself

// Runs `task` on the thread that owns `queue` the next time it pumps messages; false (and the
// task dropped) when that thread has ended.
bool RunOnThread(const std::shared_ptr<ThreadQueue>& queue, std::function<void()> task);

// Calls the window procedure of `hwnd` on the calling thread (which must own it).
LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Windows of this thread that wait for WM_PAINT (visible, update pending), honouring a filter.
HWND NextWindowToPaint(DWORD threadId, HWND filter);

// Destroys the thread's remaining windows and forgets its queue (thread end).
void DestroyThreadWindows(DWORD threadId);

// Activation on the calling thread, which owns `hwnd` (null deactivates); `state` is WA_ACTIVE or
// WA_CLICKACTIVE.
void ActivateWindow(HWND hwnd, bool raise, WORD state);
// The focus and active windows of the desktop, whichever thread owns them.
HWND FocusWindowOfDesktop();
HWND ActiveWindowOfDesktop();
std::vector<HWND> ChildWindows(HWND parent);

// The default handling of input messages (user_input.cpp): WM_SETCURSOR, and the move loop that a
// press on HTCAPTION starts.
LRESULT DefInputProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// The character the keyboard layout gives for a virtual key, or 0 (TranslateMessage).
WCHAR LayoutCharForKey(UINT vk, bool shift, bool capsLock);

}  // namespace qvp
