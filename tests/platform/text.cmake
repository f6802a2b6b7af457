qv_add_test(platform_text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/text_test.cpp LIBS qvplatform)
qv_add_test(platform_ole_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ole_test.cpp LIBS qvplatform)
qv_add_test(platform_winmm_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/winmm_test.cpp LIBS qvplatform)
