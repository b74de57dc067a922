# libzip::zip as a static library, for an installer program that must not
# need libzip on the user's machine. Debian ships no libzip.a, so one is
# built from Debian's own source package, once per build tree: no crypto
# backend, bzip2 and zlib linked in statically, and no arc4random, which
# would raise the program's glibc baseline to 2.36 (libzip then reads
# /dev/urandom, and only when writing).
set(static_libzip_root ${PROJECT_BINARY_DIR}/static-libzip)
set(static_libzip_archive ${static_libzip_root}/install/lib/libzip.a)

find_library(MORROWLINE_STATIC_ZLIB NAMES libz.a REQUIRED)
find_library(MORROWLINE_STATIC_BZIP2 NAMES libbz2.a REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

if(NOT EXISTS ${static_libzip_archive})
  message(STATUS "Building a static libzip from Debian's source package")
  file(REMOVE_RECURSE ${static_libzip_root})
  file(MAKE_DIRECTORY ${static_libzip_root})
  morrowline_source_step(libzip ${static_libzip_root} fetch ${static_libzip_root}
    sh ${PROJECT_SOURCE_DIR}/cmake/fetch_debian_source.sh libzip ${static_libzip_root}/source)
  file(GLOB static_libzip_source LIST_DIRECTORIES true ${static_libzip_root}/source/libzip-*)
  morrowline_source_step(libzip ${static_libzip_root} configure ${static_libzip_root}
    ${CMAKE_COMMAND} -S ${static_libzip_source}
    -B ${static_libzip_root}/build
    ${morrowline_source_cross_options}
    -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
    -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections"
    -DCMAKE_INSTALL_PREFIX=${static_libzip_root}/install
    -DCMAKE_INSTALL_LIBDIR=lib
    -DBUILD_SHARED_LIBS=OFF
    -DENABLE_COMMONCRYPTO=OFF -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF
    -DENABLE_OPENSSL=OFF -DENABLE_WINDOWS_CRYPTO=OFF
    -DENABLE_BZIP2=ON -DENABLE_LZMA=OFF
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
    -DHAVE_ARC4RANDOM=OFF)
  morrowline_source_jobs(jobs)
  morrowline_source_step(libzip ${static_libzip_root} build ${static_libzip_root}
    ${CMAKE_COMMAND} --build ${static_libzip_root}/build --target install -j ${jobs})
endif()

add_library(libzip::zip STATIC IMPORTED GLOBAL)
set_target_properties(libzip::zip PROPERTIES
  IMPORTED_LOCATION ${static_libzip_archive}
  INTERFACE_INCLUDE_DIRECTORIES ${static_libzip_root}/install/include
  INTERFACE_LINK_LIBRARIES "${MORROWLINE_STATIC_BZIP2};${MORROWLINE_STATIC_ZLIB}")
