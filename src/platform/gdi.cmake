# GDI: Cairo image surfaces, Pango text with our own fontconfig configuration, PNG through Cairo.
pkg_check_modules(QV_GDI REQUIRED IMPORTED_TARGET GLOBAL cairo pangocairo pangoft2 fontconfig)
target_link_libraries(qvplatform PRIVATE PkgConfig::QV_GDI)
