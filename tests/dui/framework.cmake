qv_add_test(qv_dui_framework_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Framework_test.cpp ${CMAKE_CURRENT_LIST_DIR}/DuiTestWindow.cpp
  LIBS qvdui LABELS dui)
target_compile_definitions(qv_dui_framework_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
