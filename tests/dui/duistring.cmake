qv_add_test(qv_dui_string_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/DuiString_test.cpp LIBS qvdui LABELS dui)
