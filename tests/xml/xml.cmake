# The XML document: parsing, the tree checker, file encodings, a real corpus and the fuzz target.
add_library(qvxmltestsupport STATIC ${CMAKE_CURRENT_LIST_DIR}/TreeChecker.cpp)
qv_own_target(qvxmltestsupport)
target_link_libraries(qvxmltestsupport PUBLIC qvcore qvtestsupport)

qv_add_test(xml_document_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/XmlDocument_test.cpp
  LIBS qvxmltestsupport qvcore
  LABELS xml)

qv_add_test(xml_textfile_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/XmlTextFile_test.cpp
  LIBS qvxmltestsupport qvcore
  LABELS xml)

qv_add_test(xml_corpus_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/XmlCorpus_test.cpp
  LIBS qvxmltestsupport qvcore
  LABELS xml)

# The parser under mutation for a bounded time, seeded with a few small documents.
add_executable(xml_fuzz ${CMAKE_CURRENT_LIST_DIR}/XmlFuzz.cpp)
qv_own_target(xml_fuzz)
target_link_libraries(xml_fuzz PRIVATE qvxmltestsupport qvcore qvfuzzmain)
add_test(NAME xml_fuzz_parser
  COMMAND xml_fuzz -max_total_time=10 -runs=100000 -dict=${CMAKE_CURRENT_LIST_DIR}/fuzz_seeds/dict.txt
          ${CMAKE_CURRENT_LIST_DIR}/fuzz_seeds
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(xml_fuzz_parser PROPERTIES LABELS "xml;fuzz" TIMEOUT 120)
