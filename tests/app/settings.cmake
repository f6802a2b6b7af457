qv_add_test(app_settings_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/Settings_test.cpp
  LIBS qvcore
  LABELS app)
