// The Win32 subset the program is written against. Everything above src/platform/ gets its
// operating-system services through this header only.
#pragma once

#include "win32/types.h"
#include "win32/kernel.h"
#include "win32/user.h"
#include "win32/clipboard.h"

#if __has_include("win32/text.h")
#include "win32/text.h"
#endif
#if __has_include("win32/ole.h")
#include "win32/ole.h"
#endif
#if __has_include("win32/winmm.h")
#include "win32/winmm.h"
#endif
#if __has_include("win32/gdi.h")
#include "win32/gdi.h"
#endif
#if __has_include("win32/shell.h")
#include "win32/shell.h"
#endif
#if __has_include("win32/wininet.h")
#include "win32/wininet.h"
#endif
#if __has_include("win32/input.h")
#include "win32/input.h"
#endif
#if __has_include("win32/tray.h")
#include "win32/tray.h"
#endif
