// Message queues: posting, sending across threads, retrieving, timers and thread ends.
#include <unistd.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <map>

#include "clock.h"
#include "kernel_internal.h"
#include "user_model.h"
#include "win32/kernel.h"

namespace qvp {
namespace {

std::mutex g_queuesMutex;
std::map<DWORD, std::weak_ptr<ThreadQueue>>& Queues() {
  static auto* queues = new std::map<DWORD, std::weak_ptr<ThreadQueue>>;
  return *queues;
}

void EndThreadQueue();

// Holds the thread's queue; threads the layer did not start clean up when they end.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) EndThreadQueue();
  }
};
thread_local QueueHolder t_holder;

bool InRange(UINT message, UINT min, UINT max) {
  if (min == 0 && max == 0) return true;
  return message >= min && message <= max;
}

bool MatchesWindow(HWND msgHwnd, HWND filter) {
  if (!filter) return true;
  if (filter == reinterpret_cast<HWND>(-1)) return msgHwnd == nullptr;  // thread messages only
  return msgHwnd == filter;
}

// Serves every send waiting for this thread. Called with the queue unlocked.
void ServeIncoming(ThreadQueue& q) {
  for (;;) {
    SentMessage* sent;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      if (q.incoming.empty()) return;
      sent = q.incoming.front();
      q.incoming.pop_front();
    }
    LRESULT result = 0;
    if (IsWindow(sent->hwnd)) {
      ++q.serving;
      result = CallWindowProcedure(sent->hwnd, sent->message, sent->wParam, sent->lParam);
      --q.serving;
    }
    std::shared_ptr<ThreadQueue> sender = sent->sender;
    std::lock_guard<std::mutex> lock(sender->mutex);
    sent->result = result;
    sent->done = true;  // the sender may return at once; `sent` is not touched after this
    sender->Notify();
  }
}

void RunTasks(ThreadQueue& q) {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      if (q.tasks.empty()) return;
      task = std::move(q.tasks.front());
      q.tasks.pop_front();
    }
    task();
  }
}

// Called with the queue locked, so it must not look at windows (that needs UserLock, taken
// before queue locks): a destroyed window's messages are purged when it goes, and the few queued
// in between are dropped by LookOnce.
bool TakeFrom(std::deque<MSG>& list, MSG& out, HWND filter, UINT min, UINT max, bool remove) {
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (MatchesWindow(it->hwnd, filter) && InRange(it->message, min, max)) {
      out = *it;
      if (remove) list.erase(it);
      return true;
    }
  }
  return false;
}

// Drops the first queued message equal to `m` (one found without removing it).
void DropQueued(ThreadQueue& q, const MSG& m) {
  std::lock_guard<std::mutex> lock(q.mutex);
  for (auto* list : {&q.posted, &q.input}) {
    for (auto it = list->begin(); it != list->end(); ++it) {
      if (it->hwnd == m.hwnd && it->message == m.message && it->wParam == m.wParam && it->lParam == m.lParam) {
        list->erase(it);
        return;
      }
    }
  }
}

// GetKeyState answers from the input the thread has retrieved so far.
void TrackKeyState(ThreadQueue& q, const MSG& m) {
  auto set = [&](int vk, bool down) {
    BYTE& s = q.keyState[vk & 0xFF];
    if (down && !(s & 0x80)) s ^= 0x01;  // toggle on each press
    s = static_cast<BYTE>(down ? (s | 0x80) : (s & ~0x80));
  };
  switch (m.message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
      bool down = m.message == WM_KEYDOWN || m.message == WM_SYSKEYDOWN;
      int vk = static_cast<int>(m.wParam & 0xFF);
      set(vk, down);
      if (vk == VK_LSHIFT || vk == VK_RSHIFT) set(VK_SHIFT, down);
      if (vk == VK_LCONTROL || vk == VK_RCONTROL) set(VK_CONTROL, down);
      if (vk == VK_LMENU || vk == VK_RMENU) set(VK_MENU, down);
      break;
    }
    case WM_LBUTTONDOWN: set(VK_LBUTTON, true); break;
    case WM_LBUTTONUP: set(VK_LBUTTON, false); break;
    case WM_RBUTTONDOWN: set(VK_RBUTTON, true); break;
    case WM_RBUTTONUP: set(VK_RBUTTON, false); break;
    default: break;
  }
}


// The earliest due time of the thread's timers that the filter lets through, or kForever.
uint64_t NextTimerDue(const ThreadQueue& q, HWND filter = nullptr, UINT min = 0, UINT max = 0) {
  if (!InRange(WM_TIMER, min, max)) return kForever;
  uint64_t next = kForever;
  for (const Timer& t : q.timers)
    if (MatchesWindow(t.hwnd, filter)) next = std::min(next, t.dueUs);
  return next;
}

void FillMessage(MSG& m, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  m.hwnd = hwnd;
  m.message = message;
  m.wParam = wParam;
  m.lParam = lParam;
  m.time = GetTickCount();
  m.pt = POINT{0, 0};
}

// One look at the queue in Windows' order: sent, posted, input, quit, paint, timers.
bool LookOnce(ThreadQueue& q, MSG& msg, HWND filter, UINT min, UINT max, bool remove) {
  ServeIncoming(q);
  RunTasks(q);
  for (;;) {
    std::function<void()> raw;
    bool found = false, isInput = false;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      if (TakeFrom(q.posted, msg, filter, min, max, remove)) {
        found = true;
      } else if (TakeFrom(q.input, msg, filter, min, max, remove)) {
        found = isInput = true;
      } else {
        if (q.rawInput.empty() || !q.input.empty()) break;
        raw = std::move(q.rawInput.front());
        q.rawInput.pop_front();
      }
    }
    if (found) {
      if (msg.hwnd && !IsWindow(msg.hwnd)) {  // its window went while it waited: drop it
        if (!remove) DropQueued(q, msg);
        continue;
      }
      if (isInput && remove) TrackKeyState(q, msg);
      return true;
    }
    raw();  // may queue input messages
  }
  {
    std::lock_guard<std::mutex> lock(q.mutex);
    if (q.quit) {
      FillMessage(msg, nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0);
      if (remove) q.quit = false;
      return true;
    }
  }
  if (InRange(WM_PAINT, min, max)) {
    if (HWND hwnd = NextWindowToPaint(q.threadId, filter)) {
      FillMessage(msg, hwnd, WM_PAINT, 0, 0);
      return true;
    }
  }
  if (InRange(WM_TIMER, min, max)) {
    uint64_t now = NowUs();
    for (Timer& t : q.timers) {
      if (t.dueUs > now || !MatchesWindow(t.hwnd, filter)) continue;
      FillMessage(msg, t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc));
      if (remove) t.dueUs = now + static_cast<uint64_t>(t.elapseMs) * 1000;
      return true;
    }
  }
  return false;
}

// Waits until something may have arrived or a timer falls due.
void WaitForWork(ThreadQueue& q, uint64_t seen, HWND filter = nullptr, UINT min = 0, UINT max = 0) {
  uint64_t deadline = NextTimerDue(q, filter, min, max);
  std::unique_lock<std::mutex> lock(q.mutex);
  WaitUntil(lock, q.cv, deadline, [&] { return q.wakeups != seen; });
}

std::atomic<UINT_PTR> g_nextThreadTimerId{0x7FFF};

void EndThreadQueue() {
  std::shared_ptr<ThreadQueue> q = t_holder.queue;
  if (!q) return;
  // The main thread ends with the process; its windows go with it.
  if (static_cast<pid_t>(syscall(SYS_gettid)) != getpid()) DestroyThreadWindows(q->threadId);
  std::deque<SentMessage*> pending;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    q->alive = false;
    pending.swap(q->incoming);
    q->tasks.clear();
    q->posted.clear();
    q->rawInput.clear();
  }
  for (SentMessage* sent : pending) {  // senders get 0 rather than waiting forever
    std::lock_guard<std::mutex> lock(sent->sender->mutex);
    sent->result = 0;
    sent->done = true;
    sent->sender->Notify();
  }
  {
    std::lock_guard<std::mutex> lock(g_queuesMutex);
    Queues().erase(q->threadId);
  }
  t_holder.queue.reset();
}

struct ExitHookInstaller {
  ExitHookInstaller() { SetThreadExitHook(&EndThreadQueue); }
} g_exitHookInstaller;

// A test that moves the clock wakes every waiting pump, which then looks at its timers again.
struct ClockHookInstaller {
  ClockHookInstaller() {
    OnClockChange([] {
      std::vector<std::shared_ptr<ThreadQueue>> queues;
      {
        std::lock_guard<std::mutex> lock(g_queuesMutex);
        for (auto& entry : Queues())
          if (auto q = entry.second.lock()) queues.push_back(std::move(q));
      }
      for (auto& q : queues) {
        std::lock_guard<std::mutex> lock(q->mutex);
        q->Notify();
      }
    });
  }
} g_clockHookInstaller;

}  // namespace

// The character a US layout gives for a key, or 0.
WCHAR LayoutCharForKey(UINT vk, bool shift, bool capsLock) {
  if (vk >= 'A' && vk <= 'Z') return static_cast<WCHAR>((shift != capsLock) ? vk : vk + 32);
  if (vk >= '0' && vk <= '9') return shift ? u")!@#$%^&*("[vk - '0'] : static_cast<WCHAR>(vk);
  switch (vk) {
    case VK_BACK: return 8;
    case VK_TAB: return 9;
    case VK_RETURN: return 13;
    case VK_ESCAPE: return 27;
    case VK_SPACE: return u' ';
    default: return 0;
  }
}

std::shared_ptr<ThreadQueue> CurrentQueue() {
  if (!t_holder.queue) {
    auto q = std::make_shared<ThreadQueue>();
    q->threadId = GetCurrentThreadId();
    {
      std::lock_guard<std::mutex> lock(g_queuesMutex);
      Queues()[q->threadId] = q;
    }
    t_holder.queue = q;
  }
  return t_holder.queue;
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId) {
  std::lock_guard<std::mutex> lock(g_queuesMutex);
  auto it = Queues().find(threadId);
  return it == Queues().end() ? nullptr : it->second.lock();
}

bool RunOnThread(const std::shared_ptr<ThreadQueue>& queue, std::function<void()> task) {
  std::lock_guard<std::mutex> lock(queue->mutex);
  if (!queue->alive) return false;
  queue->tasks.push_back(std::move(task));
  queue->Notify();
  return true;
}

}  // namespace qvp

using namespace qvp;

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (!hWnd) return PostThreadMessageW(GetCurrentThreadId(), Msg, wParam, lParam);
  MSG m;
  FillMessage(m, hWnd, Msg, wParam, lParam);
  // The window lock is held until the message is queued, so a window that goes afterwards finds
  // it in the queue and purges it.
  std::lock_guard<std::mutex> userLock(UserLock());
  Window* w = FindWindowLocked(hWnd);
  if (!w || w->destroying) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  ThreadQueue& q = *w->queue;
  std::lock_guard<std::mutex> lock(q.mutex);
  if (!q.alive) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  q.posted.push_back(m);
  q.Notify();
  return TRUE;
}

BOOL PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> q = idThread == GetCurrentThreadId() ? CurrentQueue() : QueueOfThread(idThread);
  if (!q) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  MSG m;
  FillMessage(m, nullptr, Msg, wParam, lParam);
  std::lock_guard<std::mutex> lock(q->mutex);
  if (!q->alive) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  q->posted.push_back(m);
  q->Notify();
  return TRUE;
}

void PostQuitMessage(int nExitCode) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  std::lock_guard<std::mutex> lock(q->mutex);
  q->quit = true;
  q->quitCode = nExitCode;
  q->Notify();
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<ThreadQueue> target;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    target = w->queue;
  }
  std::shared_ptr<ThreadQueue> self = CurrentQueue();
  if (target == self) return CallWindowProcedure(hWnd, Msg, wParam, lParam);

  SentMessage sent{hWnd, Msg, wParam, lParam, 0, false, self};
  {
    std::lock_guard<std::mutex> lock(target->mutex);
    if (!target->alive) return 0;
    target->incoming.push_back(&sent);
    target->Notify();
  }
  // Serve sends that reach us while we wait, so two threads sending to each other never block.
  for (;;) {
    ServeIncoming(*self);
    std::unique_lock<std::mutex> lock(self->mutex);
    if (sent.done) return sent.result;
    if (!self->incoming.empty()) continue;
    uint64_t seen = self->wakeups;
    WaitUntil(lock, self->cv, kForever, [&] { return self->wakeups != seen; });
    if (sent.done) return sent.result;
  }
}

BOOL InSendMessage() { return CurrentQueue()->serving > 0; }

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  if (!LookOnce(*q, *lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0)) return FALSE;
  q->lastMessageTime = lpMsg->time;
  return TRUE;
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (hWnd && hWnd != reinterpret_cast<HWND>(-1) && !IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(q->mutex);
      seen = q->wakeups;
    }
    // WM_QUIT passes every filter.
    bool found = LookOnce(*q, *lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true);
    if (found) {
      q->lastMessageTime = lpMsg->time;
      return lpMsg->message == WM_QUIT ? FALSE : TRUE;
    }
    WaitForWork(*q, seen, hWnd, wMsgFilterMin, wMsgFilterMax);
  }
}

BOOL WaitMessage() {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  uint64_t seen;
  {
    std::lock_guard<std::mutex> lock(q->mutex);
    seen = q->wakeups;
    if (!q->posted.empty() || !q->input.empty() || !q->rawInput.empty() || !q->incoming.empty() || !q->tasks.empty() || q->quit) return TRUE;
  }
  if (NextWindowToPaint(q->threadId, nullptr)) return TRUE;
  if (NextTimerDue(*q) <= NowUs()) return TRUE;
  WaitForWork(*q, seen);
  ServeIncoming(*q);
  return TRUE;
}

BOOL TranslateMessage(const MSG* lpMsg) {
  if (!lpMsg || (lpMsg->message != WM_KEYDOWN && lpMsg->message != WM_SYSKEYDOWN)) return FALSE;
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  bool shift = (q->keyState[VK_SHIFT] & 0x80) != 0;
  bool caps = (q->keyState[VK_CAPITAL] & 0x01) != 0;
  bool ctrl = (q->keyState[VK_CONTROL] & 0x80) != 0;
  WCHAR ch = LayoutCharForKey(static_cast<UINT>(lpMsg->wParam), shift, caps);
  if (ctrl && ch >= u'a' && ch <= u'z') ch = static_cast<WCHAR>(ch - u'a' + 1);  // control characters
  else if (ctrl && ch >= u'A' && ch <= u'Z') ch = static_cast<WCHAR>(ch - u'A' + 1);
  if (!ch) return TRUE;
  UINT charMessage = lpMsg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR;
  MSG m;
  FillMessage(m, lpMsg->hwnd, charMessage, ch, lpMsg->lParam);
  std::lock_guard<std::mutex> lock(q->mutex);
  q->posted.push_front(m);  // the character comes next, before anything else queued
  q->Notify();
  return TRUE;
}

SHORT GetKeyState(int nVirtKey) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  BYTE s = q->keyState[nVirtKey & 0xFF];
  return static_cast<SHORT>(((s & 0x80) ? 0x8000 : 0) | (s & 0x01));
}

DWORD GetMessageTime() { return CurrentQueue()->lastMessageTime; }

LRESULT DispatchMessageW(const MSG* lpMsg) {
  if (!lpMsg) return 0;
  if (lpMsg->message == WM_TIMER && lpMsg->lParam) {
    // Only a timer procedure this thread registered is called.
    std::shared_ptr<ThreadQueue> q = CurrentQueue();
    TIMERPROC proc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
    bool known = std::any_of(q->timers.begin(), q->timers.end(), [&](const Timer& t) {
      return t.proc == proc && t.hwnd == lpMsg->hwnd && t.id == lpMsg->wParam;
    });
    if (known) proc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
    return 0;
  }
  if (!lpMsg->hwnd) return 0;
  {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(lpMsg->hwnd);
    if (!w || w->queue != CurrentQueue()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  return CallWindowProcedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  if (hWnd) {
    std::lock_guard<std::mutex> lock(UserLock());
    Window* w = FindWindowLocked(hWnd);
    if (!w || w->queue != q) {
      SetLastError(w ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
  }
  UINT elapse = std::clamp<UINT>(uElapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
  uint64_t due = NowUs() + static_cast<uint64_t>(elapse) * 1000;
  UINT_PTR id = nIDEvent;
  if (!hWnd) {  // thread timers get a fresh id unless an existing one is named
    bool exists = nIDEvent && std::any_of(q->timers.begin(), q->timers.end(),
                                          [&](const Timer& t) { return !t.hwnd && t.id == nIDEvent; });
    if (!exists) id = g_nextThreadTimerId.fetch_add(1);
  }
  for (Timer& t : q->timers) {
    if (t.hwnd == hWnd && t.id == id) {
      t.elapseMs = elapse;
      t.proc = lpTimerFunc;
      t.dueUs = due;
      return hWnd ? (id ? id : 1) : id;
    }
  }
  q->timers.push_back(Timer{hWnd, id, elapse, lpTimerFunc, due});
  std::lock_guard<std::mutex> lock(q->mutex);
  q->Notify();  // a waiting pump recomputes its deadline
  return hWnd ? (id ? id : 1) : id;
}

BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  auto it = std::find_if(q->timers.begin(), q->timers.end(),
                         [&](const Timer& t) { return t.hwnd == hWnd && t.id == uIDEvent; });
  if (it == q->timers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  q->timers.erase(it);
  return TRUE;
}

namespace qvp {

// A destroyed window's queued messages go with it.
void PurgeWindowMessages(ThreadQueue& q, HWND hwnd) {
  std::lock_guard<std::mutex> lock(q.mutex);
  for (auto* list : {&q.posted, &q.input})
    list->erase(std::remove_if(list->begin(), list->end(), [&](const MSG& m) { return m.hwnd == hwnd; }),
                list->end());
}

// Timers die with their window (called on the window's thread).
void KillWindowTimers(HWND hwnd) {
  std::shared_ptr<ThreadQueue> q = CurrentQueue();
  q->timers.erase(std::remove_if(q->timers.begin(), q->timers.end(), [&](const Timer& t) { return t.hwnd == hwnd; }),
                  q->timers.end());
}

}  // namespace qvp
