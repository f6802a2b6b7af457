# Kernel objects, named objects across processes, the clock and the trace sink.

# The child the cross-process tests start: it creates, opens and sets named objects on request.
add_executable(qv_platform_child ${CMAKE_CURRENT_LIST_DIR}/../support/platform_child.cpp)
qv_own_target(qv_platform_child)
target_include_directories(qv_platform_child PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(qv_platform_child PRIVATE QV_PLATFORM_CHILD_MAIN)
target_link_libraries(qv_platform_child PRIVATE qvplatform)

qv_add_test(platform_kernel_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_test.cpp LIBS qvplatform)
qv_add_test(platform_named_objects_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/named_objects_test.cpp LIBS qvplatform)
target_compile_definitions(platform_named_objects_test PRIVATE
  QV_PLATFORM_CHILD="$<TARGET_FILE:qv_platform_child>")
add_dependencies(platform_named_objects_test qv_platform_child)
qv_add_test(platform_clock_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/clock_test.cpp LIBS qvplatform)
qv_add_test(platform_trace_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/trace_test.cpp LIBS qvplatform)
