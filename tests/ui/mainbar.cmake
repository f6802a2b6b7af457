qv_add_test(ui_mainbar_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/MainWnd_test.cpp ${PROJECT_SOURCE_DIR}/tests/dui/DuiTestWindow.cpp
  LIBS qvui LABELS ui)
target_compile_definitions(ui_mainbar_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  QV_SOURCE_DIR_U16=u"${PROJECT_SOURCE_DIR}")
