# Shell folders and file functions; code pages through the conversion functions.
qv_add_test(platform_shell_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/shell_test.cpp
  LIBS qvplatform
  LABELS platform)

qv_add_test(platform_codepages_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codepages_test.cpp
  LIBS qvplatform
  LABELS platform)
