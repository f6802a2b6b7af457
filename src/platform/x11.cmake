# The X11 backend: Xlib with XInput2 (raw keys for the low-level hook), XFixes (input shapes),
# XShape (window shapes), XRandR (display changes); the tray icon speaks XEmbed and D-Bus itself.
pkg_check_modules(QV_X11 REQUIRED IMPORTED_TARGET GLOBAL x11 xi xfixes xext xrandr xinerama)
file(GLOB QV_X11_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/x11/*.cpp)
target_sources(qvplatform PRIVATE ${QV_X11_SOURCES})
target_link_libraries(qvplatform PRIVATE PkgConfig::QV_X11)
