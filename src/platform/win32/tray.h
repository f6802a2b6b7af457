// Notification-area icons (Shell_NotifyIconW) and the icons they show.
#pragma once

#include "types.h"

// Shell_NotifyIconW messages.
#define NIM_ADD 0x00000000
#define NIM_MODIFY 0x00000001
#define NIM_DELETE 0x00000002
#define NIM_SETFOCUS 0x00000003
#define NIM_SETVERSION 0x00000004

// NOTIFYICONDATAW.uFlags.
#define NIF_MESSAGE 0x00000001
#define NIF_ICON 0x00000002
#define NIF_TIP 0x00000004
#define NIF_STATE 0x00000008
#define NIF_INFO 0x00000010

// NOTIFYICONDATAW.dwState.
#define NIS_HIDDEN 0x00000001

// NOTIFYICONDATAW.dwInfoFlags.
#define NIIF_NONE 0x00000000
#define NIIF_INFO 0x00000001
#define NIIF_WARNING 0x00000002
#define NIIF_ERROR 0x00000003
#define NIIF_USER 0x00000004
#define NIIF_ICON_MASK 0x0000000F
#define NIIF_NOSOUND 0x00000010

// The record as it grew: the sizes older callers pass still work.
#define NOTIFYICONDATAW_V1_SIZE 152
#define NOTIFYICONDATAW_V2_SIZE 936
#define NOTIFYICONDATAW_V3_SIZE 952

// Adds, changes or removes the icon (hWnd, uID). Clicks on the icon are posted to hWnd as
// uCallbackMessage with wParam = uID and lParam = the mouse message (WM_LBUTTONDOWN, WM_RBUTTONUP,
// WM_LBUTTONDBLCLK, WM_MOUSEMOVE...). NIF_INFO shows szInfo (with szInfoTitle) as a balloon; an
// empty szInfo takes the balloon away. Returns FALSE when no notification area shows the icon: the
// icon is kept all the same and appears when a notification area starts.
BOOL Shell_NotifyIconW(DWORD dwMessage, PNOTIFYICONDATAW lpData);

// Icons: built from a colour bitmap (its alpha counts when it has any) and a mask whose set pixels
// are transparent. The icon keeps its own copy of the pixels.
struct ICONINFO {
  BOOL fIcon;
  DWORD xHotspot;
  DWORD yHotspot;
  HBITMAP hbmMask;
  HBITMAP hbmColor;
};
typedef ICONINFO* PICONINFO;

HICON CreateIconIndirect(PICONINFO piconinfo);
BOOL DestroyIcon(HICON hIcon);

// The program's icon resources: icon <id> of the module is the PNG file res/icon<id>.png beside the
// executable. Like Windows' shared icons, one handle per id is kept for the process; it must not
// be destroyed. Fails with ERROR_RESOURCE_NAME_NOT_FOUND for a missing file or a name that is not
// an integer resource of the program's module.
HICON LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName);
