// Multimedia timers. One thread, started on first use and kept for the life of the process (it is
// never torn down at exit, so no callback races static destruction), runs every timer's callback
// at deadlines on the layer's clock.
#include "win32/winmm.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "clock.h"
#include "win32/kernel.h"

namespace {

constexpr UINT kMinDelayMs = 1;
constexpr UINT kMaxDelayMs = 1000000;
constexpr UINT kCallbackTypes = TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE;
constexpr UINT kKnownFlags = TIME_PERIODIC | kCallbackTypes | TIME_KILL_SYNCHRONOUS;

struct Timer {
  uint64_t periodUs;
  bool periodic;
  UINT callbackType;
  bool killSynchronous;
  LPTIMECALLBACK proc;
  DWORD_PTR user;
  uint64_t dueUs;
  bool fired = false;  // a one-shot whose callback has been started
};

struct TimerThread {
  std::mutex mutex;
  std::condition_variable wake;  // the timer thread: the set of timers changed
  std::condition_variable idle;  // killers: a callback has returned
  std::map<UINT, Timer> timers;
  UINT lastId = 0;
  UINT running = 0;  // the timer whose callback runs now
  bool changed = false;
  // What the timer thread sleeps until; 0 while it is awake (it looks at every timer before it
  // sleeps again). Only a timer due before it needs to wake it.
  uint64_t sleepsUntil = 0;
  bool started = false;
  std::thread::id threadId;
};

TimerThread& State() {
  static TimerThread* state = new TimerThread;  // never destroyed: the thread outlives main
  return *state;
}

// The next deadline of a periodic timer. Periods missed while the clock jumped ahead are dropped
// rather than fired in a burst.
uint64_t NextDue(uint64_t due, uint64_t period, uint64_t now) {
  if (due + period > now) return due + period;
  return due + ((now - due) / period + 1) * period;
}

void Invoke(UINT id, const Timer& t) {
  switch (t.callbackType) {
    case TIME_CALLBACK_EVENT_SET:
      SetEvent(reinterpret_cast<HANDLE>(t.proc));
      break;
    case TIME_CALLBACK_EVENT_PULSE:
      PulseEvent(reinterpret_cast<HANDLE>(t.proc));
      break;
    default:
      t.proc(id, 0, t.user, 0, 0);
      break;
  }
}

void Run() {
  TimerThread& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    UINT id = 0;
    uint64_t due = qvp::kForever;
    for (const auto& [timerId, t] : s.timers) {
      if (!t.fired && t.dueUs < due) {
        due = t.dueUs;
        id = timerId;
      }
    }
    if (id == 0 || qvp::NowUs() < due) {
      s.changed = false;
      s.sleepsUntil = due;
      qvp::WaitUntil(lock, s.wake, due, [&] { return s.changed; });
      s.sleepsUntil = 0;
      continue;
    }
    Timer& t = s.timers.at(id);
    Timer call = t;
    if (t.periodic)
      t.dueUs = NextDue(t.dueUs, t.periodUs, qvp::NowUs());
    else
      t.fired = true;
    s.running = id;
    lock.unlock();
    Invoke(id, call);
    lock.lock();
    s.running = 0;
    auto it = s.timers.find(id);
    if (it != s.timers.end() && it->second.fired) s.timers.erase(it);
    s.idle.notify_all();
  }
}

// Starts the timer thread on first use. Called with the state's lock held.
bool EnsureThread(TimerThread& s) {
  if (s.started) return true;
  // A test that moves the clock wakes the thread, which then looks at its timers again.
  qvp::OnClockChange([] {
    TimerThread& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.wake.notify_all();
  });
  try {
    std::thread thread(Run);
    s.threadId = thread.get_id();
    thread.detach();
  } catch (const std::system_error&) {
    return false;
  }
  s.started = true;
  return true;
}

}  // namespace

MMRESULT timeSetEvent(UINT uDelay, UINT, LPTIMECALLBACK lpTimeProc, DWORD_PTR dwUser, UINT fuEvent) {
  if (uDelay < kMinDelayMs || uDelay > kMaxDelayMs || !lpTimeProc) return 0;
  if ((fuEvent & ~kKnownFlags) || (fuEvent & kCallbackTypes) == kCallbackTypes) return 0;

  TimerThread& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!EnsureThread(s)) return 0;
  // Ids count up, skipping 0 and any still in use after wrapping, so a stale id rarely names a
  // newer timer.
  UINT id = s.lastId;
  do {
    ++id;
  } while (id == 0 || s.timers.count(id));
  s.lastId = id;

  Timer t;
  t.periodUs = static_cast<uint64_t>(uDelay) * 1000;
  t.periodic = (fuEvent & TIME_PERIODIC) != 0;
  t.callbackType = fuEvent & kCallbackTypes;
  t.killSynchronous = (fuEvent & TIME_KILL_SYNCHRONOUS) != 0;
  t.proc = lpTimeProc;
  t.user = dwUser;
  t.dueUs = qvp::DeadlineAfterMs(uDelay);
  s.timers.emplace(id, t);
  if (t.dueUs < s.sleepsUntil) {
    s.changed = true;
    s.wake.notify_one();
  }
  return id;
}

MMRESULT timeKillEvent(UINT uTimerID) {
  TimerThread& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  auto it = s.timers.find(uTimerID);
  if (it == s.timers.end()) return MMSYSERR_INVALPARAM;
  bool wait = it->second.killSynchronous;
  s.timers.erase(it);  // the timer thread need not hear of it: it finds nothing due and sleeps on
  // A callback that kills a timer runs on the timer thread: waiting there would never end.
  if (wait && std::this_thread::get_id() != s.threadId)
    s.idle.wait(lock, [&] { return s.running != uTimerID; });
  return TIMERR_NOERROR;
}

DWORD timeGetTime() { return static_cast<DWORD>(qvp::NowMs()); }
