#include "dui/WindowWnd.h"

#include <algorithm>

#include "dui/PaintManagerUI.h"

CWindowWnd::~CWindowWnd() {
  if (m_hWnd && ::IsWindow(m_hWnd) &&
      ::GetWindowLongPtrW(m_hWnd, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this))
    ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
}

bool CWindowWnd::RegisterWindowClass() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = GetClassStyle();
  wc.lpfnWndProc = &CWindowWnd::WndProc;
  wc.hInstance = CPaintManagerUI::GetInstance();
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = GetWindowClassName();
  if (::RegisterClassExW(&wc) != 0) return true;
  return ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CWindowWnd::Create(HWND hwndParent, LPCWSTR pstrName, DWORD dwStyle, DWORD dwExStyle, const RECT rc,
                        HMENU hMenu) {
  return Create(hwndParent, pstrName, dwStyle, dwExStyle, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
                hMenu);
}

HWND CWindowWnd::Create(HWND hwndParent, LPCWSTR pstrName, DWORD dwStyle, DWORD dwExStyle, int x, int y, int cx,
                        int cy, HMENU hMenu) {
  // Sub-classing a system class has no meaning here: every window draws itself.
  if (GetSuperClassName() != nullptr) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (!RegisterWindowClass()) return nullptr;
  m_hWnd = ::CreateWindowExW(dwExStyle, GetWindowClassName(), pstrName, dwStyle, x, y, cx, cy, hwndParent, hMenu,
                             CPaintManagerUI::GetInstance(), this);
  return m_hWnd;
}

void CWindowWnd::ShowWindow(bool bShow, bool bTakeFocus) {
  if (!::IsWindow(m_hWnd)) return;
  ::ShowWindow(m_hWnd, bShow ? (bTakeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE) : SW_HIDE);
}

void CWindowWnd::CenterWindow() {
  if (!::IsWindow(m_hWnd)) return;
  RECT dlg;
  ::GetWindowRect(m_hWnd, &dlg);
  RECT area;
  ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  RECT center = area;
  if (owner && !::IsIconic(owner)) ::GetWindowRect(owner, &center);
  int width = dlg.right - dlg.left, height = dlg.bottom - dlg.top;
  int x = (center.left + center.right) / 2 - width / 2;
  int y = (center.top + center.bottom) / 2 - height / 2;
  // Keep it inside the work area; a window larger than the area keeps its top-left corner in it.
  x = std::max(static_cast<int>(area.left), std::min(x, static_cast<int>(area.right) - width));
  y = std::max(static_cast<int>(area.top), std::min(y, static_cast<int>(area.bottom) - height));
  ::SetWindowPos(m_hWnd, nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::Close() {
  if (::IsWindow(m_hWnd)) ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

void CWindowWnd::ResizeClient(int cx, int cy) {
  RECT client, window;
  if (!::GetClientRect(m_hWnd, &client) || !::GetWindowRect(m_hWnd, &window)) return;
  int frameX = (window.right - window.left) - (client.right - client.left);
  int frameY = (window.bottom - window.top) - (client.bottom - client.top);
  if (cx != -1) client.right = cx;
  if (cy != -1) client.bottom = cy;
  ::SetWindowPos(m_hWnd, nullptr, 0, 0, client.right + frameX, client.bottom + frameY,
                 SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
}

LRESULT CWindowWnd::SendMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return ::SendMessageW(m_hWnd, uMsg, wParam, lParam);
}

BOOL CWindowWnd::PostMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageW(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CWindowWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK CWindowWnd::WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  CWindowWnd* pThis = nullptr;
  if (uMsg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<LPCREATESTRUCTW>(lParam);
    pThis = static_cast<CWindowWnd*>(cs->lpCreateParams);
    if (pThis) {
      pThis->m_hWnd = hWnd;
      ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pThis));
    }
  } else {
    pThis = reinterpret_cast<CWindowWnd*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (uMsg == WM_NCDESTROY && pThis) {
      // The last message: the object learns that its native window is gone, and may delete itself.
      LRESULT lRes = ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
      ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
      pThis->m_hWnd = nullptr;
      pThis->OnFinalMessage(hWnd);
      return lRes;
    }
  }
  if (pThis) return pThis->HandleMessage(uMsg, wParam, lParam);
  return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}
