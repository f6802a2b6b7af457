if(TARGET qvroomsim)
  add_executable(bench_net ${CMAKE_CURRENT_SOURCE_DIR}/net_bench.cpp
                           ${PROJECT_SOURCE_DIR}/tests/tools/RoomSimProcess.cpp)
  qv_own_target(bench_net)
  target_include_directories(bench_net PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(bench_net PRIVATE qvcore)
  target_compile_definitions(bench_net PRIVATE QVROOMSIM_PATH="$<TARGET_FILE:qvroomsim>")
  add_dependencies(bench_net qvroomsim)
endif()
