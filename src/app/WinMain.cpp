// The program's entry point: one instance, the UI library and COM, the login window, the loop.
#include <cstdio>

#include "app/Activation.h"
#include "app/EndpointOverride.h"
#include "dui/PaintManagerUI.h"
#include "net/WebSockSession.h"
#include "platform/win32.h"
#include "ui/LoginWnd.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
  // Held until the process ends: a second start finds it and only wakes this one.
  HANDLE hMutex = ::CreateMutexW(nullptr, TRUE, kInstanceMutexName);
  (void)hMutex;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    if (HANDLE hEvent = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, kActivationEventName)) {
      ::SetEvent(hEvent);
      ::CloseHandle(hEvent);
    }
    return 0;
  }
  CDuiString folder = CPaintManagerUI::GetInstancePath();
  ::SetCurrentDirectoryW(folder);
  CPaintManagerUI::SetInstance(hInstance);
  CPaintManagerUI::SetResourcePath(folder + u"Skins");
  if (FAILED(::CoInitialize(nullptr))) return 0;

  auto* pLogin = new CQvGameLoginWnd;
  pLogin->Create(nullptr, u"Qv直播助手", WS_OVERLAPPEDWINDOW | WS_VISIBLE, WS_EX_WINDOWEDGE);
  pLogin->CenterWindow();
  ::ShowWindow(pLogin->GetHWND(), SW_SHOW);
  CPaintManagerUI::MessageLoop();

  if (::IsWindow(pLogin->GetHWND())) ::DestroyWindow(pLogin->GetHWND());
  delete pLogin;
  CWebSockSession::Instance().EndBeforeExit();
  ::CoUninitialize();
  return 0;
}

int main() {
  if (!QvStartDisplay()) return 1;
#ifdef QV_TEST_ENDPOINTS
  std::string problems = ApplyEndpointOverrides(LookupEndpoints());
  if (!problems.empty()) std::fputs(problems.c_str(), stderr);
#endif
  return wWinMain(::GetModuleHandleW(nullptr), nullptr, const_cast<LPWSTR>(u""), SW_SHOWDEFAULT);
}
