pkg_check_modules(JSONPARSER REQUIRED IMPORTED_TARGET json-parser)
target_link_libraries(qvcore PUBLIC PkgConfig::JSONPARSER)
