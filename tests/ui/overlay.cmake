qv_add_test(qv_ui_overlay_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Overlay_test.cpp
  LIBS qvui LABELS ui)
target_compile_definitions(qv_ui_overlay_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
