qv_add_test(qv_net_session_notify_test
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/SessionNotify_test.cpp
                    ${PROJECT_SOURCE_DIR}/tests/messages/NotifyTestWindow.cpp
            LIBS qvcore LABELS net)
target_include_directories(qv_net_session_notify_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/messages)
