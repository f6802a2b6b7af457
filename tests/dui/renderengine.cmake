# The render engine draws on memory DCs; the test writes its PNG files with Cairo.
qv_add_test(qv_dui_renderengine_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/RenderEngine_test.cpp
            LIBS qvdui PkgConfig::QV_GDI LABELS dui)
target_compile_definitions(qv_dui_renderengine_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
