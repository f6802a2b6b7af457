# Helpers shared by every folder's CMakeLists.txt.

# Our own code builds warning-free; third-party headers come in as SYSTEM includes.
function(qv_own_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# qv_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>])
# One GoogleTest executable; every test case becomes its own CTest test (own process).
function(qv_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  qv_own_target(${name})
  target_link_libraries(${name} PRIVATE qvtestsupport ${ARG_LIBS} GTest::gtest GTest::gmock)
  set(props "")
  if(ARG_LABELS)
    set(props PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 ${props})
endfunction()
