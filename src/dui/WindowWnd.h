// The base of every window: registers its class, creates the native window and routes its
// messages to HandleMessage; OnFinalMessage runs once the native window is gone.
#pragma once

#include "platform/win32.h"

class CWindowWnd {
 public:
  CWindowWnd() = default;
  // A native window that outlives its object is let go: its messages get default handling.
  virtual ~CWindowWnd();
  CWindowWnd(const CWindowWnd&) = delete;
  CWindowWnd& operator=(const CWindowWnd&) = delete;

  HWND GetHWND() const { return m_hWnd; }
  operator HWND() const { return m_hWnd; }

  bool RegisterWindowClass();
  HWND Create(HWND hwndParent, LPCWSTR pstrName, DWORD dwStyle, DWORD dwExStyle, const RECT rc,
              HMENU hMenu = nullptr);
  HWND Create(HWND hwndParent, LPCWSTR pstrName, DWORD dwStyle, DWORD dwExStyle, int x = CW_USEDEFAULT,
              int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT, HMENU hMenu = nullptr);

  void ShowWindow(bool bShow = true, bool bTakeFocus = true);
  // Centres over the owner window, or over the work area of the screen when there is none,
  // keeping the window inside the work area.
  void CenterWindow();
  void Close();
  void ResizeClient(int cx = -1, int cy = -1);
  LRESULT SendMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0);
  BOOL PostMessage(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0);

 protected:
  virtual LPCWSTR GetWindowClassName() const = 0;
  virtual LPCWSTR GetSuperClassName() const { return nullptr; }
  virtual UINT GetClassStyle() const { return 0; }
  virtual LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
  virtual void OnFinalMessage(HWND hWnd) { (void)hWnd; }

  static LRESULT CALLBACK WndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

  HWND m_hWnd = nullptr;
};
