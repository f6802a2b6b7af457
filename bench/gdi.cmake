add_executable(bench_gdi ${CMAKE_CURRENT_SOURCE_DIR}/gdi_bench.cpp)
qv_own_target(bench_gdi)
target_link_libraries(bench_gdi PRIVATE qvplatform)
target_compile_definitions(bench_gdi PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
