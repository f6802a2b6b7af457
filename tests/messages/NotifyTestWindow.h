// A real window on the headless desktop standing in for the program's windows in notification
// tests: it takes every WM_WEBSOCK_NOTIFY record it is handed, writes it down as one line of
// text and frees it, so LeakSanitizer sees any record that was lost on the way.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "messages/VirelWebsockMsg.h"
#include "platform/win32.h"

namespace qvtest {

std::string ToUtf8(const CDuiString& text);
// Bytes in double quotes; quotes, backslashes and control bytes escaped ("\x0D").
std::string QuoteBytes(const std::string& bytes);

// One line per record: "<role> <KIND> field=value ..."; texts quoted. The record's GUID is
// compared with `expected` and a difference is shown as " guid=OTHER".
std::string RenderRecord(const char* role, WPARAM kind, const stVirelWebsockMsg& record, const GUID& expected);

class NotifyTestWindow {
 public:
  // How the window treats records: write every one down, or only those of the current session
  // (the program's own rule, through AcceptSessionRecord).
  enum Mode { kRecordAll, kCurrentSessionOnly };

  NotifyTestWindow(const char* role, const GUID& expectedGuid, Mode mode = kRecordAll);
  ~NotifyTestWindow();
  NotifyTestWindow(const NotifyTestWindow&) = delete;
  NotifyTestWindow& operator=(const NotifyTestWindow&) = delete;

  HWND Handle() const { return m_hWnd; }
  void Destroy();
  const std::vector<std::string>& Lines() const { return m_lines; }
  // Records handed over with lParam 0 or a stale GUID: seen but not written down.
  int Dropped() const { return m_dropped; }
  // Thread that ran the window procedure for the last record.
  DWORD LastHandlerThread() const { return m_lastThread; }

 private:
  static LRESULT CALLBACK Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

  std::string m_role;
  GUID m_expected;
  Mode m_mode;
  HWND m_hWnd = nullptr;
  std::vector<std::string> m_lines;
  int m_dropped = 0;
  DWORD m_lastThread = 0;
};

// Runs fn on a worker thread while this thread pumps its messages (so sends from the worker are
// served), and returns once fn has finished and everything it posted here has been dispatched.
void RunOnWorkerWhilePumping(const std::function<void()>& fn);

// Dispatches whatever is queued for this thread.
void PumpPending();

GUID MakeGuid(uint8_t seed);

}  // namespace qvtest
