# The observer of bench/latency_bench.sh: a separate X client that reads the overlay's pixels at
# each of its damages. Built only where the X libraries it needs are there.
pkg_check_modules(QV_LATENCY_X11 QUIET IMPORTED_TARGET x11 xdamage xfixes)
if(QV_LATENCY_X11_FOUND)
  add_executable(bench_latency ${CMAKE_CURRENT_LIST_DIR}/latency_observer.cpp)
  qv_own_target(bench_latency)
  target_link_libraries(bench_latency PRIVATE PkgConfig::QV_LATENCY_X11)
else()
  message(STATUS "bench_latency: not built (needs x11, xdamage and xfixes through pkg-config)")
endif()
