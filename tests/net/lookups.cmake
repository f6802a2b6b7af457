qv_add_test(qv_net_http_lookups_test
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/HttpLookups_test.cpp ${CMAKE_CURRENT_LIST_DIR}/TestHttpServer.cpp
            LIBS qvcore LABELS net)
