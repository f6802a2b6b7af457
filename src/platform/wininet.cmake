# WinINet runs on libcurl, loaded at run time (dlopen) only while a handle needs it: the headers
# come from pkg-config, the library is not linked.
pkg_check_modules(LIBCURL REQUIRED libcurl)
target_include_directories(qvplatform SYSTEM PRIVATE ${LIBCURL_INCLUDE_DIRS})
target_compile_options(qvplatform PRIVATE ${LIBCURL_CFLAGS_OTHER})
target_link_libraries(qvplatform PRIVATE ${CMAKE_DL_LIBS})
