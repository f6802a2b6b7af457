# The session thread against qvroomsim run as a child process.
if(TARGET qvroomsim)
  qv_add_test(qv_net_websock_session_test
              SOURCES ${CMAKE_CURRENT_LIST_DIR}/WebSockSession_test.cpp ${CMAKE_CURRENT_LIST_DIR}/TestHttpServer.cpp
                      ${PROJECT_SOURCE_DIR}/tests/messages/NotifyTestWindow.cpp
                      ${PROJECT_SOURCE_DIR}/tests/tools/RoomSimProcess.cpp
              LIBS qvcore LABELS net)
  target_include_directories(qv_net_websock_session_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/messages)
  target_compile_definitions(qv_net_websock_session_test PRIVATE QVROOMSIM_PATH="$<TARGET_FILE:qvroomsim>")
  add_dependencies(qv_net_websock_session_test qvroomsim)
endif()
