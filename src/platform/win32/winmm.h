// Multimedia timers: callbacks on one timer thread of the layer.
#pragma once

#include "types.h"

typedef UINT MMRESULT;

#define MMSYSERR_NOERROR 0
#define MMSYSERR_INVALPARAM 11
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97

#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_CALLBACK_FUNCTION 0x0000
#define TIME_CALLBACK_EVENT_SET 0x0010
#define TIME_CALLBACK_EVENT_PULSE 0x0020
#define TIME_KILL_SYNCHRONOUS 0x0100

typedef void(CALLBACK* LPTIMECALLBACK)(UINT uTimerID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);

// Returns the new timer's id (never 0), or 0 when uDelay is outside 1..1000000 ms, the flags are
// unknown or there is nothing to call. With TIME_CALLBACK_EVENT_SET/PULSE, lpTimeProc is an event
// HANDLE. A one-shot timer's id is invalid once its callback has returned.
MMRESULT timeSetEvent(UINT uDelay, UINT uResolution, LPTIMECALLBACK lpTimeProc, DWORD_PTR dwUser, UINT fuEvent);
// After it returns no new callback of the timer starts. With TIME_KILL_SYNCHRONOUS it also waits
// for a callback running at that moment (unless called from that callback's thread).
MMRESULT timeKillEvent(UINT uTimerID);
// Milliseconds on the layer's clock.
DWORD timeGetTime();
