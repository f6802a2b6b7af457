#include "DecodeHarness.h"

#include <gtest/gtest.h>

#include "NotifyTestWindow.h"
#include "net/SessionNotify.h"
#include "net/WebSockSession.h"
#include "support/TraceCapture.h"

namespace qvtest {

std::vector<std::string> DecodeAndCollect(const std::string& payload, bool withMsgWindow, bool withStateWindow) {
  const GUID guid = MakeGuid(0x31);
  NotifyTestWindow msgWnd("msg", guid);
  NotifyTestWindow stateWnd("state", guid);
  CWebSockSession session;
  session.m_hWndMsg = withMsgWindow ? msgWnd.Handle() : nullptr;
  session.m_hWndState = withStateWindow ? stateWnd.Handle() : nullptr;
  session.m_uNotifyMsg = WM_WEBSOCK_NOTIFY;
  stWebSockMainParam param;
  param.pSession = &session;
  param.connectGuid = guid;

  std::vector<std::string> lines;
  std::string out;
  {
    TraceCapture traces;
    ::testing::internal::CaptureStdout();
    RunOnWorkerWhilePumping([&] { session.OnWebsockMessage(&param, payload.data(), payload.size()); });
    out = ::testing::internal::GetCapturedStdout();
    const std::string asText = payload.c_str();  // the payload as the NUL-terminated text it is traced as
    for (const std::string& trace : traces.Lines())
      lines.push_back(trace == asText ? "trace PAYLOAD" : "trace " + QuoteBytes(trace));
  }
  if (!out.empty()) lines.push_back("stdout " + QuoteBytes(out));
  for (const std::string& l : msgWnd.Lines()) lines.push_back(l);
  for (const std::string& l : stateWnd.Lines()) lines.push_back(l);
  return lines;
}

}  // namespace qvtest
