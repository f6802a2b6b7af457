set(QV_MESSAGES_TEST_HELPERS ${CMAKE_CURRENT_LIST_DIR}/NotifyTestWindow.cpp ${CMAKE_CURRENT_LIST_DIR}/DecodeHarness.cpp)

qv_add_test(qv_messages_helpers_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/MessageHelpers_test.cpp
            LIBS qvcore LABELS messages)

qv_add_test(qv_messages_decoder_test
            SOURCES ${CMAKE_CURRENT_LIST_DIR}/Decoder_test.cpp ${CMAKE_CURRENT_LIST_DIR}/DecoderCases_test.cpp
                    ${QV_MESSAGES_TEST_HELPERS}
            LIBS qvcore LABELS messages)
target_include_directories(qv_messages_decoder_test PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(qv_messages_decoder_test PRIVATE QV_DECODER_CASES_DIR="${CMAKE_CURRENT_LIST_DIR}/cases")
