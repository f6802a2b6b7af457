// Hooks for tests: the clock, the trace sink, the backend and the per-user object namespace.
// The program itself never calls these.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "win32/types.h"

namespace qvplatform::testing {

// Clock. After any of these, every wait and timer of the layer follows the virtual clock.
void SetClockSpeed(double factor);  // 1 = real time, 100 = a hundred times faster
void FreezeClock();                 // time stands still until AdvanceClock
void AdvanceClock(uint32_t ms);

// Trace sink: the listener receives every OutputDebugStringA/W line, in order, as the bytes
// the program wrote (wide text converted to the ANSI code page, as Windows does).
using TraceListener = std::function<void(const std::string&)>;
int AddTraceListener(TraceListener listener);
void RemoveTraceListener(int id);

// Named kernel objects live in this folder (default: the user's runtime folder). A test and the
// child processes it starts point it at the same private folder.
void SetObjectNamespace(const std::string& folder);

}  // namespace qvplatform::testing

namespace qvplatform::testing {
// The ANSI code page that GetACP reports and CP_ACP converts with (0 = follow the locale again).
void SetACP(unsigned codePage);
}  // namespace qvplatform::testing

namespace qvplatform::testing {
// Resizes the headless desktop and sets its work area; false when another backend is in use.
// Top-level windows receive WM_DISPLAYCHANGE when the size changes.
bool SetHeadlessDesktop(int width, int height, int workLeft, int workTop, int workRight, int workBottom);

// A monitor of the headless desktop, in screen coordinates (the primary need not be at 0,0).
struct MonitorSpec {
  RECT rect;
  RECT work;
  bool primary;
};
// Replaces the headless desktop's monitors; they are listed with the primary first and the others
// in the given order, and SM_CXSCREEN and the work area become the primary's. False, changing
// nothing, when another backend is in use, when not exactly one monitor is the primary, or when a
// monitor or its work area is empty or the work area reaches outside it. Top-level windows receive
// WM_DISPLAYCHANGE when a monitor came, went, moved or changed size.
bool SetHeadlessMonitors(const std::vector<MonitorSpec>& monitors);
// The headless display's scale (device pixels per logical pixel, 1 at first): window images made
// after the call are drawn at it, as on a high-DPI X desktop; the composed desktop stays in logical
// pixels. False when another backend is in use or the scale is not within 1..8.
bool SetHeadlessScale(double scale);
}  // namespace qvplatform::testing
