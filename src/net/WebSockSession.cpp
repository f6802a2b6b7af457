#include "net/WebSockSession.h"

#include <cstdio>
#include <memory>
#include <string>

#include "messages/MsgDecoder.h"
#include "net/HttpLookups.h"
#include "net/SessionNotify.h"
#include "net/WebSockClient.h"

namespace {

constexpr DWORD kProgressStepMs = 100;
constexpr DWORD kOpenPollMs = 20;
constexpr DWORD kOpenLimitMs = 5000;
constexpr DWORD kHeartbeatMs = 10000;
constexpr DWORD kReconnectDelayMs = 3000;
constexpr DWORD kExitWaitMs = 2000;
constexpr size_t kJoinBufferSize = 1024;

void Trace(const char* text) { OutputDebugStringA(text); }

// A thread whose session was stopped or replaced leaves the shared fields to the newer one.
bool IsCurrent(const stWebSockMainParam& param) { return param.pSession->m_nSerial.load() == param.nSerial; }

template <class T>
void SetShared(const stWebSockMainParam& param, std::atomic<T>& field, T value) {
  std::lock_guard<std::mutex> lock(param.pSession->m_sharedLock);
  if (IsCurrent(param)) field.store(value);
}

// True when the stop event is signalled (or unusable, which must not keep a session alive).
bool WaitForStopSignal(const stWebSockMainParam& param, DWORD ms) {
  return WaitForSingleObject(param.hStopEvent, ms) != WAIT_TIMEOUT;
}

// The thread is done with its stop event. Clearing the session's copy first means Stop and Start
// never signal a closed handle.
void CloseStopEvent(stWebSockMainParam& param) {
  HANDLE hEvent = param.hStopEvent;
  if (!hEvent) return;
  param.hStopEvent = nullptr;
  HANDLE expected = hEvent;
  param.pSession->m_hStopEvent.compare_exchange_strong(expected, nullptr);
  CloseHandle(hEvent);
}

void WaitForStop(stWebSockMainParam& param) {
  WaitForSingleObject(param.hStopEvent, INFINITE);
  CloseStopEvent(param);
}

void PostProgress(const CWebSockSession& session, const stWebSockMainParam& param, int percent, int from,
                  int interval) {
  NotifySessionWindow<stWebsockMainProgress>(session.m_hWndProgress, session.m_uNotifyMsg, WEBSOCK_NOTIFY_PROGRESS,
                                             param.connectGuid, NotifyDelivery::Post,
                                             [&](stWebsockMainProgress& r) {
                                               r.percent = percent;
                                               r.fromPercent = from;
                                               r.interval = interval;
                                             });
}

void ReportError(const CWebSockSession& session, const stWebSockMainParam& param, LPCWSTR text) {
  NotifySessionWindow<stWebsockConnectErr>(session.m_hWndProgress, session.m_uNotifyMsg, WEBSOCK_NOTIFY_CONNECTERR,
                                           param.connectGuid, NotifyDelivery::Post,
                                           [&](stWebsockConnectErr& r) { r.errText = text; });
}

// Closes the connection, lets the network thread finish and releases the client.
void Teardown(std::unique_ptr<CWebSockClient>& client, bool traced) {
  if (traced) Trace("before a\r\n");
  client->CloseConnection();
  if (traced) Trace("before a11\r\n");
  client->StopPerpetual();
  if (traced) Trace("before a12\r\n");
  client->JoinNetworkThread();
  if (traced) Trace("before a13\r\n");
  client.reset();
}

}  // namespace

CWebSockSession::~CWebSockSession() { EndBeforeExit(); }

void CWebSockSession::EndBeforeExit() {
  // A thread still tearing its connection down must not run on while the process destroys its
  // static objects (the library's error categories among them), so it gets a short, bounded
  // wait; its sends to the destroyed windows return at once.
  {
    std::lock_guard<std::mutex> lock(m_sharedLock);
    ++m_nSerial;
    m_nProgress = 0;
  }
  SignalStop(kExitWaitMs);
}

CWebSockSession& CWebSockSession::Instance() {
  static CWebSockSession session;
  return session;
}

void CWebSockSession::OnWebsockMessage(stWebSockMainParam* pParam, const char* pPayload, size_t nLength) {
  if (!pParam) return;
  DecodeWebsockMessage(*this, pParam->connectGuid, pPayload, nLength);
}

void CWebSockSession::SignalStop(DWORD waitMs) {
  if (m_hThread) {
    if (HANDLE hEvent = m_hStopEvent.load()) SetEvent(hEvent);
    // A lookup blocked on a slow server fails at once, so the thread sees the signal within
    // moments, well inside the exit's wait.
    if (m_pLookupAbort) m_pLookupAbort->Abort();
    m_pLookupAbort.reset();
    Trace("ShutDown1\r\n");
    Trace("ShutDown2\r\n");
    m_endingThreads.push_back(m_hThread);
    m_hThread = nullptr;
  }
  // Start and Stop do not wait: a stopped thread ends on its own once it sees the signal. Its
  // handle is kept until it has, so that the exit waits (within one bounded wait) for every thread
  // still ending, not only the last one stopped.
  const DWORD until = GetTickCount() + waitMs;
  for (auto it = m_endingThreads.begin(); it != m_endingThreads.end();) {
    const LONG left = waitMs ? static_cast<LONG>(until - GetTickCount()) : 0;
    if (WaitForSingleObject(*it, left > 0 ? static_cast<DWORD>(left) : 0) != WAIT_OBJECT_0) {
      ++it;
      continue;
    }
    CloseHandle(*it);
    it = m_endingThreads.erase(it);
  }
}

bool CWebSockSession::Start(int roomId, const GUID& guid) {
  uint32_t serial;
  {
    std::lock_guard<std::mutex> lock(m_sharedLock);
    serial = ++m_nSerial;
    m_nProgress = 0;
    m_nRoomId = roomId;
  }
  SignalStop();
  m_uNotifyMsg = WM_WEBSOCK_NOTIFY;
  HANDLE hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  m_hStopEvent = hEvent;
  if (!hEvent) return false;
  m_pLookupAbort = std::make_shared<LookupAbort>();
  auto* pParam = new stWebSockMainParam{this, hEvent, guid, serial, m_pLookupAbort};
  m_hThread = CreateThread(nullptr, 0, &CWebSockSession::WebSockThreadProc, pParam, 0, nullptr);
  if (!m_hThread) {
    m_pLookupAbort.reset();
    m_hStopEvent = nullptr;
    CloseHandle(hEvent);
    delete pParam;
    return false;
  }
  return true;
}

void CWebSockSession::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_sharedLock);
    ++m_nSerial;
    m_nProgress = 0;
  }
  SignalStop();
}

DWORD WINAPI CWebSockSession::WebSockThreadProc(LPVOID lpParam) {
  auto* pParam = static_cast<stWebSockMainParam*>(lpParam);
  uint8_t bReconnect = 0;
  Trace("before WebSockMain\r\n");
  WebSockMain(*pParam->pSession, *pParam, bReconnect);
  Trace("after WebSockMain\r\n");
  // A stop seen between attempts ends the session like one seen inside an attempt.
  while (bReconnect == 1 && !WaitForStopSignal(*pParam, kReconnectDelayMs)) {
    Trace("reconnect\r\n");
    Trace("before WebSockMain\r\n");
    WebSockMain(*pParam->pSession, *pParam, bReconnect);
    Trace("after WebSockMain\r\n");
  }
  CloseStopEvent(*pParam);
  delete pParam;
  return 0;
}

bool CWebSockSession::ReportProgress(CWebSockSession& session, stWebSockMainParam& param, int from, int to,
                                     int interval) {
  if (from < 0) {
    for (int p = session.m_nProgress + 1; p <= to; ++p) {
      if (WaitForStopSignal(param, kProgressStepMs)) return false;
      PostProgress(session, param, p, -1, interval);
    }
  } else {
    PostProgress(session, param, to, from, interval);
  }
  SetShared<int32_t>(param, session.m_nProgress, to);
  return true;
}

void CWebSockSession::WebSockMain(CWebSockSession& session, stWebSockMainParam& param, uint8_t& bReconnect) {
  const bool bReconnection = bReconnect == 1;

  // W1: a first attempt steps the bar to 10; a reconnection is already past it.
  if (!ReportProgress(session, param, -1, 10, 0)) {
    bReconnect = 0;
    return;
  }

  // A lookup aborted by Stop or at exit ends the session quietly: nothing to report or retry.
  LookupAbort* abort = param.pLookupAbort.get();
  auto aborted = [&] {
    if (!abort || !abort->Aborted()) return false;
    Trace("lookup aborted\r\n");
    bReconnect = 0;
    return true;
  };

  // W2: the typed number may be a vanity number; everything after uses the user ID behind it.
  int userId = GetLuckyUserId(session, abort);
  if (aborted()) return;
  if (userId == -1) {
    if (bReconnection) return;
    ReportError(session, param, u"连接房间失败，请检查网络状况");
    WaitForStop(param);
    return;
  }
  SetShared<int32_t>(param, session.m_nRoomId, userId);

  // W3
  Trace("\r\nGetUserNickName\r\n");
  CDuiString nickname, errorText;
  GetUserNickName(session, nickname, errorText, abort);
  if (aborted()) return;
  if (!errorText.IsEmpty()) {
    Trace("\r\n  Nick 获取失败！ \r\n");
    OutputDebugStringW(errorText);
    Trace("\r\n");
    if (bReconnection) return;
    ReportError(session, param, u"请输入正确的ID号~");
    WaitForStop(param);
    return;
  }
  Trace("\r\nNick 获取成功！\r\n");
  NotifySessionWindow<stVirelUserInfo>(session.m_hWndProgress, session.m_uNotifyMsg, WEBSOCK_NOTIFY_USERINFO,
                                       param.connectGuid, NotifyDelivery::Post,
                                       [&](stVirelUserInfo& r) { r.nickname = nickname; });

  // W4-W5
  ReportProgress(session, param, 10, 90, 240);
  std::string address = GetRoomWsUrl(session.m_nRoomId, abort);
  if (aborted()) return;
  Trace("\r\nGet URL！\r\n");
  if (address.empty()) {
    Trace("\r\nGet URL Failed！\r\n");
    if (bReconnection) return;
    ReportError(session, param, u"连接房间失败，代码98");
    WaitForStop(param);
    return;
  }

  // W6-W9
  ReportProgress(session, param, 90, 93, 30);
  Trace("\r\nInit WebSock！\r\n");
  auto client = std::make_unique<CWebSockClient>();
  Trace("\r\nObj OK！\r\n");
  bool bReady = client->InitAsio();
  if (bReady) Trace("\r\nInit asio OK！\r\n");
  bReady = bReady && client->StartPerpetual();
  if (bReady) Trace("\r\nStart OK！\r\n");
  bReady = bReady && client->StartNetworkThread();
  if (bReady) {
    Trace("\r\nThread OK！\r\n");
    client->SetMessageHandler(&param);
    OutputDebugStringW(u"开始连接服务器");
    // An address the library cannot use fails the attempt like a connection that never opens.
    bReady = client->Connect(address);
    if (bReady) OutputDebugStringW(u"连接成功");
  }

  // W10-W11: about five seconds for the connection to open.
  bool bOpen = false, bStopped = false;
  if (bReady) {
    ReportProgress(session, param, 93, 98, 30);
    Trace("Begin Wait websock\r\n");
    for (DWORD elapsed = 0;; elapsed += kOpenPollMs) {
      if (client->GetState() == CWebSockClient::State::Open) {
        bOpen = true;
        break;
      }
      if (WaitForStopSignal(param, kOpenPollMs)) {
        bStopped = true;
        break;
      }
      if (elapsed >= kOpenLimitMs) break;
    }
  }
  if (!bOpen) {
    Teardown(client, false);
    if (bStopped) bReconnect = 0;
    if (bReconnection && !bStopped) return;
    ReportError(session, param, u"连接房间失败，请检查网络状况");
    CloseStopEvent(param);
    return;
  }

  // W12-W13
  Trace("websock ok\r\n");
  Trace("Begin Connect\r\n");
  char join[kJoinBufferSize] = {};
  std::snprintf(join, sizeof join, "{\"MsgTag\":10010201,\"roomId\":%d,\"keepalive\":1}",
                static_cast<int>(session.m_nRoomId));
  bool bJoined = client->SendText(std::string(join));
  ReportProgress(session, param, 98, 99, 30);

  // W14: a reconnection retries quietly, like its other failures.
  if (!bJoined) {
    Trace("connect failed\r\n");
    if (!bReconnection) {
      ReportError(session, param, u"连接房间失败，代码100");
      WaitForStop(param);
    }
    Teardown(client, true);
    return;
  }

  // W15: heartbeats until stopped or a send fails.
  Trace("Connect success\r\n");
  ReportProgress(session, param, 99, 100, 30);
  for (;;) {
    Trace("Wait exit\r\n");
    if (WaitForStopSignal(param, kHeartbeatMs)) {
      Trace("exit\r\n");
      bReconnect = 0;
      CloseStopEvent(param);
      break;
    }
    if (!client->SendText(std::string("{\"MsgTag\":10010299}"))) {
      Trace("send fail\r\n");
      bReconnect = 1;
      SetShared<HWND>(param, session.m_hWndProgress, nullptr);
      NotifySessionWindow<stWebsockMsgOnlineState>(session.m_hWndState, session.m_uNotifyMsg,
                                                   WEBSOCK_NOTIFY_ONLINESTATE, param.connectGuid,
                                                   NotifyDelivery::Post,
                                                   [](stWebsockMsgOnlineState& r) { r.online = 0; });
      break;
    }
  }
  Teardown(client, true);
}
