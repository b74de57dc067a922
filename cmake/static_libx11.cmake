# libX11 as a static library built with a section per function, so that
# the linker can leave out what the installer program never reaches:
# above all the locale and input-method machinery (the UTF-8 converter's
# tables alone are 420 KiB), which ui/static_x11.cpp stands in for. Debian's
# libX11.a is built as one section per file, which keeps all of it. Built
# from Debian's own source package (with its patches), once per build
# tree.
set(static_libx11_root ${PROJECT_BINARY_DIR}/static-libx11)
set(static_libx11_archive ${static_libx11_root}/install/lib/libX11.a)

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

if(NOT EXISTS ${static_libx11_archive})
  message(STATUS "Building a static libX11 from Debian's source package")
  # Its data files (XErrorDB, Xcms.txt, the locale tables) are looked up
  # where the machine keeps them, as Debian's libX11 does; only the
  # library itself is installed into the build tree. glibc's malloc(0)
  # returns a pointer, which a cross build cannot try.
  morrowline_autotools_library(libX11 libx11 ${static_libx11_root} ""
    "-C;src;install-libLTLIBRARIES" --datadir=/usr/share --disable-specs --without-fop
    --without-xmlto --disable-malloc0returnsnull)
endif()

add_library(morrowline_libx11 STATIC IMPORTED GLOBAL)
set_target_properties(morrowline_libx11 PROPERTIES IMPORTED_LOCATION ${static_libx11_archive})
