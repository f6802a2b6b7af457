// Fuzz target: any payload either yields well-formed records for the right windows or nothing.
// Records are delivered to real windows and freed there, so the sanitizers see every one.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "net/SessionNotify.h"
#include "net/WebSockSession.h"

namespace {

const GUID kGuid = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};

void Check(bool ok) {
  if (!ok) std::abort();
}

// The overlay takes chat, gift and entry lines; the status window counts and online states.
LRESULT CALLBACK OverlayProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg != WM_WEBSOCK_NOTIFY) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  std::unique_ptr<stVirelWebsockMsg> record(reinterpret_cast<stVirelWebsockMsg*>(lParam));
  Check(record && std::memcmp(&record->connectGuid, &kGuid, sizeof(GUID)) == 0);
  auto* msg = dynamic_cast<stVirelMsg*>(record.get());
  Check(msg != nullptr);
  Check((wParam == WEBSOCK_NOTIFY_CHAT) == (dynamic_cast<stVirelMsgChat*>(msg) != nullptr));
  Check((wParam == WEBSOCK_NOTIFY_GIFT) == (dynamic_cast<stVirelMsgGift*>(msg) != nullptr));
  Check((wParam == WEBSOCK_NOTIFY_ENTER) == (dynamic_cast<stVirelMsgEnter*>(msg) != nullptr));
  CDuiString line = msg->GetNickName() + msg->GetMsgText();
  Check(line.GetLength() >= msg->nickname.GetLength());
  return 0;
}

LRESULT CALLBACK StateProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (uMsg != WM_WEBSOCK_NOTIFY) return DefWindowProcW(hWnd, uMsg, wParam, lParam);
  std::unique_ptr<stVirelWebsockMsg> record(reinterpret_cast<stVirelWebsockMsg*>(lParam));
  Check(record && std::memcmp(&record->connectGuid, &kGuid, sizeof(GUID)) == 0);
  if (wParam == WEBSOCK_NOTIFY_USERCOUNT) {
    Check(dynamic_cast<stWebsockMsgUsercount*>(record.get()) != nullptr);
  } else {
    Check(wParam == WEBSOCK_NOTIFY_ONLINESTATE);
    auto* state = dynamic_cast<stWebsockMsgOnlineState*>(record.get());
    Check(state && state->online <= 1);
  }
  return 0;
}

HWND MakeWindow(const WCHAR* className, WNDPROC proc) {
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.lpszClassName = className;
  RegisterClassExW(&wc);
  return CreateWindowExW(0, className, u"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

struct Target {
  Target() {
    session.m_hWndMsg = MakeWindow(u"QvFuzzOverlay", OverlayProc);
    session.m_hWndState = MakeWindow(u"QvFuzzState", StateProc);
    session.m_uNotifyMsg = WM_WEBSOCK_NOTIFY;
    param.pSession = &session;
    param.connectGuid = kGuid;
    Check(session.m_hWndMsg && session.m_hWndState);
  }
  CWebSockSession session;
  stWebSockMainParam param;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Target* target = new Target;
  target->session.OnWebsockMessage(&target->param, reinterpret_cast<const char*>(data), size);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  return 0;
}
