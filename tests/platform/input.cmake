# Input on the headless desktop: routing, capture, the move loop and the low-level keyboard hook.
qv_add_test(platform_input_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/input_test.cpp LIBS qvplatform)
