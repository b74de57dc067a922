# FreeType as a small static library for the installer program: the
# TrueType and CFF drivers, the auto-hinter that slight hinting uses, and
# the grey and monochrome rasterisers; no PNG, brotli, bzip2 or HarfBuzz.
# Debian's libfreetype.a carries every driver and those libraries besides
# (about 1 MB in the program), so one is built from Debian's own source
# package, once per build tree. CFF and PostScript names serve the fonts
# of the machine that a member name needs beyond the program's own font
# (Noto CJK among them); gzip serves WOFF, which the sfnt driver reads.
set(static_freetype_root ${PROJECT_BINARY_DIR}/static-freetype)
set(static_freetype_archive ${static_freetype_root}/install/lib/libfreetype.a)

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

if(NOT EXISTS ${static_freetype_archive})
  message(STATUS "Building a small static FreeType from Debian's source package")
  morrowline_autotools_library(FreeType freetype ${static_freetype_root}
    ${CMAKE_CURRENT_LIST_DIR}/freetype_modules.cmake install
    --with-zlib=yes --without-bzip2 --without-png --without-harfbuzz --without-brotli
    --without-librsvg)
endif()

add_library(morrowline_freetype STATIC IMPORTED GLOBAL)
set_target_properties(morrowline_freetype PROPERTIES
  IMPORTED_LOCATION ${static_freetype_archive}
  INTERFACE_INCLUDE_DIRECTORIES ${static_freetype_root}/install/include/freetype2
  INTERFACE_LINK_LIBRARIES "${MORROWLINE_STATIC_ZLIB}")
