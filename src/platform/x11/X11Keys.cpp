// X keysyms to Windows virtual-key codes.
#include <X11/keysym.h>

#include "X11Backend.h"
#include "platform/win32/input.h"

namespace qvp::x11 {

UINT VirtualKeyFromKeysym(unsigned long sym, bool& extended) {
  extended = false;
  if (sym >= XK_a && sym <= XK_z) return static_cast<UINT>('A' + (sym - XK_a));
  if (sym >= XK_A && sym <= XK_Z) return static_cast<UINT>('A' + (sym - XK_A));
  if (sym >= XK_0 && sym <= XK_9) return static_cast<UINT>('0' + (sym - XK_0));
  if (sym >= XK_F1 && sym <= XK_F12) return static_cast<UINT>(VK_F1 + (sym - XK_F1));
  if (sym >= XK_KP_0 && sym <= XK_KP_9) return static_cast<UINT>(0x60 + (sym - XK_KP_0));
  switch (sym) {
    case XK_BackSpace: return VK_BACK;
    case XK_Tab:
    case XK_ISO_Left_Tab: return VK_TAB;
    case XK_Return: return VK_RETURN;
    case XK_KP_Enter: extended = true; return VK_RETURN;
    case XK_Escape: return VK_ESCAPE;
    case XK_space: return VK_SPACE;
    case XK_Shift_L: return VK_LSHIFT;
    case XK_Shift_R: return VK_RSHIFT;
    case XK_Control_L: return VK_LCONTROL;
    case XK_Control_R: extended = true; return VK_RCONTROL;
    case XK_Alt_L:
    case XK_Meta_L: return VK_LMENU;
    case XK_Alt_R:
    case XK_Meta_R:
    case XK_ISO_Level3_Shift: extended = true; return VK_RMENU;
    case XK_Caps_Lock: return VK_CAPITAL;
    case XK_Page_Up: extended = true; return VK_PRIOR;
    case XK_Page_Down: extended = true; return VK_NEXT;
    case XK_End: extended = true; return VK_END;
    case XK_Home: extended = true; return VK_HOME;
    case XK_Left: extended = true; return VK_LEFT;
    case XK_Up: extended = true; return VK_UP;
    case XK_Right: extended = true; return VK_RIGHT;
    case XK_Down: extended = true; return VK_DOWN;
    case XK_Insert: extended = true; return VK_INSERT;
    case XK_Delete: extended = true; return VK_DELETE;
    case XK_comma: return 0xBC;      // VK_OEM_COMMA
    case XK_minus: return 0xBD;      // VK_OEM_MINUS
    case XK_period: return 0xBE;     // VK_OEM_PERIOD
    case XK_equal: return 0xBB;      // VK_OEM_PLUS
    case XK_semicolon: return 0xBA;  // VK_OEM_1
    case XK_slash: return 0xBF;      // VK_OEM_2
    case XK_grave: return 0xC0;      // VK_OEM_3
    case XK_bracketleft: return 0xDB;
    case XK_backslash: return 0xDC;
    case XK_bracketright: return 0xDD;
    case XK_apostrophe: return 0xDE;
    default: return 0;
  }
}

}  // namespace qvp::x11
