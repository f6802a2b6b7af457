qv_add_test(qv_ui_menu_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Menu_test.cpp ${PROJECT_SOURCE_DIR}/tests/dui/DuiTestWindow.cpp
  LIBS qvui LABELS ui)
target_include_directories(qv_ui_menu_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/dui)
target_compile_definitions(qv_ui_menu_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
