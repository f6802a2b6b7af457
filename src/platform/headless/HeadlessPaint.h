// The headless desktop as a picture: every visible top-level window's image composed in z-order.
#pragma once

#include <cairo.h>

namespace qvp {

// A new RGB24 image of the desktop: the desktop colour, then the visible top-level windows from
// the bottom up, each through its window region, colour key and constant alpha. The caller
// destroys it.
cairo_surface_t* ComposeDesktop();

}  // namespace qvp
