add_executable(bench_messages ${CMAKE_CURRENT_SOURCE_DIR}/messages_bench.cpp)
qv_own_target(bench_messages)
target_link_libraries(bench_messages PRIVATE qvcore)
