# Notification-area icons on the headless desktop, and balloons on a stand-in session bus.
qv_add_test(platform_tray_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_test.cpp
  LIBS qvplatform
  LABELS platform)
