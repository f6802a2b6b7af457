qv_add_test(platform_user_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/user_messages_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/user_windows_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/user_monitor_test.cpp
  LIBS qvplatform)
