# The edit box, list items and the combo box with its drop-down, on headless windows.
qv_add_test(qv_dui_controls_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Controls_test.cpp ${CMAKE_CURRENT_LIST_DIR}/DuiTestWindow.cpp
  LIBS qvdui LABELS dui)
target_compile_definitions(qv_dui_controls_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
