// Text conversion between code pages and UTF-16.
#pragma once

#include "types.h"

#define CP_ACP 0
#define CP_OEMCP 1
#define CP_UTF8 65001

#define MB_PRECOMPOSED 0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
// The ANSI code page: 65001 in a UTF-8 locale, else the locale's code page (936 for GBK...).
UINT GetACP();
UINT GetOEMCP();

// The C runtime's wide-string numbers, base 10: optional white space and sign, then digits; 0
// when no number starts the string. _wtol saturates at LONG_MIN/LONG_MAX (errno ERANGE), _wtoi at
// INT_MIN/INT_MAX. (The runtime's wcstol cannot be declared for this WCHAR without clashing with
// the standard library's wchar_t one; _wtol is its base-10 form.)
long _wtol(const WCHAR* str);
int _wtoi(const WCHAR* str);
