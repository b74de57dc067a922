# isal::isal as a static library: ISA-L's raw-deflate inflater and CRC-32
# run several times faster than zlib's, and the installer program must not
# need libisal on the user's machine. Debian ships libisal as a shared
# library only, so one is built from Debian's own source package, once per
# build tree, with the autotools build Debian itself uses. nasm assembles
# the SIMD kernels; the C parts get a section per function, and so do the
# run-time CPU dispatchers, so that the linker keeps only what the program
# calls (each kernel it calls comes with every CPU variant its dispatcher
# picks from).
# Headers are included as <isa-l/igzip_lib.h>, the same with the system's
# libisal-dev.
set(static_isal_root ${PROJECT_BINARY_DIR}/static-isal)
set(static_isal_archive ${static_isal_root}/install/lib/libisal.a)

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

if(NOT EXISTS ${static_isal_archive})
  message(STATUS "Building a static ISA-L from Debian's source package")
  file(REMOVE_RECURSE ${static_isal_root})
  file(MAKE_DIRECTORY ${static_isal_root})
  morrowline_source_step(ISA-L ${static_isal_root} fetch ${static_isal_root}
    sh ${PROJECT_SOURCE_DIR}/cmake/fetch_debian_source.sh libisal ${static_isal_root}/source)
  file(GLOB static_isal_source LIST_DIRECTORIES true ${static_isal_root}/source/libisal-*)
  # Each assembly file puts all its dispatchers in one .text section, so a
  # program calling crc32_gzip_refl alone would keep every CRC kernel ISA-L
  # has, and one that inflates all the compression kernels: some 100 KB.
  # A section per dispatcher lets the linker drop the unused ones.
  set(mbin ${static_isal_source}/include/multibinary.asm)
  file(READ ${mbin} text)
  string(REPLACE "\tsection .text\n" "\tsection .text.%1 progbits alloc exec nowrite align=16\n"
         text "${text}")
  string(REPLACE "\tsection .data\n" "\tsection .data.%1 progbits alloc noexec write align=8\n"
         text "${text}")
  if(NOT text MATCHES "section \\.text\\.%1" OR text MATCHES "\tsection \\.(text|data)\n")
    message(FATAL_ERROR "static ISA-L: ${mbin} is not laid out as expected")
  endif()
  file(WRITE ${mbin} "${text}")
  morrowline_source_step(ISA-L ${static_isal_root} autoreconf ${static_isal_source}
    autoreconf --install --force)
  # Position-independent objects link into the PIE program and into
  # anything else; the assembly is written position-independent already.
  set(isal_cc ${CMAKE_C_COMPILER})
  set(isal_host "")
  if(CMAKE_CROSSCOMPILING)
    set(isal_cc "${CMAKE_C_COMPILER} --sysroot=${CMAKE_SYSROOT}")
    set(isal_host --host=${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
  endif()
  morrowline_source_step(ISA-L ${static_isal_root} configure ${static_isal_source}
    ./configure ${isal_host}
    --prefix=${static_isal_root}/install --libdir=${static_isal_root}/install/lib
    --enable-static --disable-shared --with-pic
    "CC=${isal_cc}" "CFLAGS=-O2 -ffunction-sections -fdata-sections")
  morrowline_source_jobs(jobs)
  morrowline_source_step(ISA-L ${static_isal_root} build ${static_isal_source}
    make -j ${jobs} install)
endif()

add_library(isal::isal STATIC IMPORTED GLOBAL)
set_target_properties(isal::isal PROPERTIES
  IMPORTED_LOCATION ${static_isal_archive}
  INTERFACE_INCLUDE_DIRECTORIES ${static_isal_root}/install/include)
