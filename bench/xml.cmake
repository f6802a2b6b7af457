# XmlDocument's parse throughput next to pugixml's on the same document.
find_package(pugixml CONFIG QUIET)
if(pugixml_FOUND)
  add_executable(bench_xml ${CMAKE_CURRENT_LIST_DIR}/xml_bench.cpp)
  qv_own_target(bench_xml)
  target_link_libraries(bench_xml PRIVATE qvcore pugixml::pugixml)
endif()
