if(TARGET qvroomsim)
  qv_add_test(ui_login_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/LoginWnd_test.cpp ${PROJECT_SOURCE_DIR}/tests/dui/DuiTestWindow.cpp
            ${PROJECT_SOURCE_DIR}/tests/tools/RoomSimProcess.cpp
    LIBS qvui LABELS ui)
  target_compile_definitions(ui_login_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    QV_SOURCE_DIR_U16=u"${PROJECT_SOURCE_DIR}" QVROOMSIM_PATH="$<TARGET_FILE:qvroomsim>")
  add_dependencies(ui_login_test qvroomsim)
endif()
