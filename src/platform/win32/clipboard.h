// Clipboard subset: the clipboard (text formats) and the moveable global memory that carries its
// data.
#pragma once

#include "types.h"

typedef HANDLE HGLOBAL;

// GlobalAlloc flags. Only moveable memory is supported (what the clipboard takes); GMEM_FIXED
// blocks, whose handle is their address, fail with ERROR_INVALID_PARAMETER.
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GMEM_SHARE 0x2000
#define GMEM_DDESHARE 0x2000
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)

#ifndef ERROR_NOT_LOCKED
#define ERROR_NOT_LOCKED 158L
#endif
#ifndef ERROR_CLIPBOARD_NOT_OPEN
#define ERROR_CLIPBOARD_NOT_OPEN 1418L
#endif

// A stale or freed handle fails with ERROR_INVALID_HANDLE (GlobalFree returns it back, the others
// return null/0). GlobalFree of a block the clipboard owns fails with ERROR_ACCESS_DENIED.
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
LPVOID GlobalLock(HGLOBAL hMem);
BOOL GlobalUnlock(HGLOBAL hMem);
HGLOBAL GlobalFree(HGLOBAL hMem);
SIZE_T GlobalSize(HGLOBAL hMem);

// Standard formats. CF_TEXT is the ANSI code page's text; each of the two is made from the other
// on demand.
#define CF_TEXT 1
#define CF_UNICODETEXT 13

// Not a Win32 format: the X PRIMARY selection (the text last selected, pasted with the middle
// button), UTF-16 like CF_UNICODETEXT. Read with GetClipboardData and set with SetClipboardData
// while the clipboard is open, but it is a clipboard of its own: setting it needs no EmptyClipboard
// (the open window becomes its owner), and emptying or setting the clipboard leaves it alone. On
// the headless desktop it is a second process-wide slot.
#define CF_QV_PRIMARY 0xBF00

#define WM_DESTROYCLIPBOARD 0x0307

// One window (or thread, with a null window) has the clipboard open at a time: OpenClipboard fails
// with ERROR_ACCESS_DENIED while another has it open. SetClipboardData takes a GMEM_MOVEABLE block
// and needs the clipboard open by the window EmptyClipboard made its owner; from then on the
// system owns the block. A handle from GetClipboardData stays valid until the clipboard changes.
// Delayed rendering (a null hMem) is not supported: ERROR_INVALID_PARAMETER.
BOOL OpenClipboard(HWND hWndNewOwner);
BOOL CloseClipboard();
BOOL EmptyClipboard();
HANDLE GetClipboardData(UINT uFormat);
HANDLE SetClipboardData(UINT uFormat, HANDLE hMem);
BOOL IsClipboardFormatAvailable(UINT format);
HWND GetClipboardOwner();
HWND GetOpenClipboardWindow();
