qv_add_test(app_endpoint_override_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/EndpointOverride_test.cpp
  LIBS qvcore
  LABELS app)
