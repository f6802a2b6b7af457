# WinINet runs on libcurl.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
target_link_libraries(qvplatform PRIVATE PkgConfig::LIBCURL)
