# The clipboard and global memory on the headless desktop.
qv_add_test(platform_clipboard_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/clipboard_test.cpp LIBS qvplatform)
