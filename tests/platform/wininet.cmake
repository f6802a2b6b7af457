qv_add_test(platform_wininet_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/wininet_test.cpp LIBS qvplatform)
