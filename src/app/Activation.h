// Single instance: the named mutex held by the running program, and the named event a second
// start sets to bring the running program's current window to the front.
#pragma once

#include "platform/win32.h"

constexpr const WCHAR* kInstanceMutexName = u"MutexQvGameAssist2014917";
constexpr const WCHAR* kActivationEventName = u"VirelGameAssist2014918";

// Makes hWnd the window a second start brings up. The first call creates the event (if needed)
// and starts the thread that waits on it.
void StartActivationWatch(HWND hWnd);
// The current target, for tests and traces.
HWND ActivationTarget();
