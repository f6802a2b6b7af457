// The room session's state: one object per process, shared by the UI thread, the session thread
// and the decoder on the network thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/win32.h"

class CWebSockSession;
class LookupAbort;

// One session's identity, handed to its threads. Allocated by Start, freed when its thread ends.
struct stWebSockMainParam {
  CWebSockSession* pSession = nullptr;
  HANDLE hStopEvent = nullptr;  // copy of m_hStopEvent; nulled once the thread has closed it
  GUID connectGuid{};           // stamped on every record this session produces
  uint32_t nSerial = 0;         // which Start made it; a replaced session leaves shared fields alone
  std::shared_ptr<LookupAbort> pLookupAbort;  // the thread's HTTP lookups; aborted when it is stopped
};

class CWebSockSession {
 public:
  CWebSockSession() = default;
  ~CWebSockSession();
  // Ends the running session and waits (briefly) for its thread: called when the message loop has
  // returned, before the process destroys its static objects; the destructor does it as well.
  void EndBeforeExit();
  CWebSockSession(const CWebSockSession&) = delete;
  CWebSockSession& operator=(const CWebSockSession&) = delete;

  // The process's session, made on first use (always on the UI thread).
  static CWebSockSession& Instance();

  // Decodes one payload received on the session's connection and delivers its records to the
  // windows named below. Runs on the network thread.
  void OnWebsockMessage(stWebSockMainParam* pParam, const char* pPayload, size_t nLength);

  // Starts a session for roomId whose records carry guid; a running session is told to stop and
  // left to end on its own. False when the stop event or the thread cannot be made.
  bool Start(int roomId, const GUID& guid);
  // Asks the running session to end; returns at once.
  void Stop();

  // The session thread: connection attempts until one ends without asking for another.
  static DWORD WINAPI WebSockThreadProc(LPVOID lpParam);
  // One connection attempt. bReconnect is 1 while attempts are reconnections.
  static void WebSockMain(CWebSockSession& session, stWebSockMainParam& param, uint8_t& bReconnect);
  // One progress step: from < 0 steps the bar one percent per 100 ms up to `to` (false when
  // stopped meanwhile); otherwise asks the window to animate from `from` to `to`.
  static bool ReportProgress(CWebSockSession& session, stWebSockMainParam& param, int from, int to,
                             int interval);

  // Written only on the UI thread (by Start and Stop).
  HANDLE m_hThread = nullptr;
  std::shared_ptr<LookupAbort> m_pLookupAbort;  // the running thread's; aborted with its stop signal
  // Cleared by the session thread when it closes the event, so it is never signalled after that.
  std::atomic<HANDLE> m_hStopEvent{nullptr};
  // Single words written by one thread and read by others; atomic so a reader sees either the
  // old or the new value, never a torn one.
  std::atomic<HWND> m_hWndProgress{nullptr};  // login window: progress, errors, nickname
  std::atomic<HWND> m_hWndMsg{nullptr};       // message overlay: chat, gifts, entries
  std::atomic<HWND> m_hWndState{nullptr};     // login window, then main bar: count, online state
  std::atomic<int32_t> m_nRoomId{-1};
  std::atomic<UINT> m_uNotifyMsg{0};
  std::atomic<int32_t> m_nProgress{0};
  std::atomic<uint32_t> m_nSerial{0};  // counts Starts
  // Makes "is this thread's session still the current one?" and the write that follows one step
  // against Start and Stop, which change the serial. Held for a few instructions only.
  std::mutex m_sharedLock;

 private:
  // Signals the running thread (aborting its HTTP lookup in flight) and lets go of it, after
  // waiting for it at most waitMs.
  void SignalStop(DWORD waitMs = 0);
  // Stopped threads that may still be tearing their connections down (UI thread only): the exit
  // waits for them too, not only for the running one.
  std::vector<HANDLE> m_endingThreads;
};
