# GDI: shapes, regions, images and text on memory DCs; window DCs and the composed desktop.
file(GLOB QV_GDI_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/gdi_*_test.cpp)
qv_add_test(platform_gdi_test SOURCES ${QV_GDI_TEST_SOURCES} LIBS qvplatform)
target_compile_definitions(platform_gdi_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
