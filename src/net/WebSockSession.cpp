#include "net/WebSockSession.h"

#include "messages/MsgDecoder.h"

CWebSockSession::~CWebSockSession() {
  // Closed without waiting: the thread may still run. The stop event belongs to the thread.
  if (m_hThread) CloseHandle(m_hThread);
}

CWebSockSession& CWebSockSession::Instance() {
  static CWebSockSession session;
  return session;
}

void CWebSockSession::OnWebsockMessage(stWebSockMainParam* pParam, const char* pPayload, size_t nLength) {
  if (!pParam) return;
  DecodeWebsockMessage(*this, pParam->connectGuid, pPayload, nLength);
}
