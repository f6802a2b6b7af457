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
