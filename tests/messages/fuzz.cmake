# The decoder's fuzz target, run for a bounded time from the case payloads as seeds.
add_executable(qv_messages_decoder_fuzz ${CMAKE_CURRENT_LIST_DIR}/DecoderFuzz.cpp)
qv_own_target(qv_messages_decoder_fuzz)
target_link_libraries(qv_messages_decoder_fuzz PRIVATE qvcore qvfuzzmain)
file(GLOB QV_DECODER_FUZZ_SEEDS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/cases/*.json)
add_test(NAME messages_decoder_fuzz
         COMMAND qv_messages_decoder_fuzz -runs=50000 -max_total_time=20 -seed=1
                 -dict=${CMAKE_CURRENT_LIST_DIR}/fuzz/decoder.dict ${QV_DECODER_FUZZ_SEEDS}
         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(messages_decoder_fuzz PROPERTIES LABELS "messages;fuzz" TIMEOUT 120)
