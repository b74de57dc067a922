# Building a static library from Debian's own source package, for the
# portable installer program: one step of it, logged in the build tree.

# morrowline_source_step(LIBRARY ROOT WHAT DIR COMMAND...): runs COMMAND in
# DIR, its output in ROOT/WHAT.log; stops the configure with a message
# naming that log when it fails.
function(morrowline_source_step library root what dir)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${dir} RESULT_VARIABLE status
                  OUTPUT_FILE ${root}/${what}.log ERROR_FILE ${root}/${what}.log)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "static ${library}: ${what} failed; see ${root}/${what}.log "
                        "(-DMORROWLINE_PORTABLE=OFF builds against the system's shared ${library})")
  endif()
endfunction()

# morrowline_source_jobs(VAR): how many jobs such a build may run: the
# processors, or CMAKE_BUILD_PARALLEL_LEVEL, which caps cmake --build too,
# on a machine that others build on.
function(morrowline_source_jobs var)
  include(ProcessorCount)
  ProcessorCount(jobs)
  if(DEFINED ENV{CMAKE_BUILD_PARALLEL_LEVEL})
    set(jobs $ENV{CMAKE_BUILD_PARALLEL_LEVEL})
  endif()
  set(${var} ${jobs} PARENT_SCOPE)
endfunction()

# A cross build hands its toolchain and sysroot on to the CMake builds of
# the sources.
set(morrowline_source_cross_options "")
if(CMAKE_CROSSCOMPILING)
  set(morrowline_source_cross_options -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
      -DMORROWLINE_AARCH64_SYSROOT=${MORROWLINE_AARCH64_SYSROOT})
endif()

# morrowline_autotools_library(LIBRARY PACKAGE ROOT PREPARE INSTALL
# CONFIGURE_ARGS...): fetches Debian's source package PACKAGE into
# ROOT/source, runs the CMake script PREPARE (or nothing, when it is "")
# with SOURCE set to the unpacked tree, then configures it for a static
# library alone, built for size with a section per function and per datum,
# so that the linker keeps only what the program reaches, hardened as
# Debian builds it (stack protector, fortified calls; no build path kept in
# it), builds it and runs
# `make INSTALL` (a list: "install", or a narrower target) to put it below
# ROOT/install. A cross build configures for its target, against its
# sysroot and the sysroot's pkg-config files.
function(morrowline_autotools_library library package root prepare install)
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  morrowline_source_step(${library} ${root} fetch ${root}
    sh ${PROJECT_SOURCE_DIR}/cmake/fetch_debian_source.sh ${package} ${root}/source)
  file(GLOB source LIST_DIRECTORIES true ${root}/source/*)
  list(FILTER source EXCLUDE REGEX "/apt$|\\.(dsc|gz|xz|bz2|asc)$")
  if(prepare)
    set(SOURCE ${source})
    include(${prepare})
  endif()
  set(cc ${CMAKE_C_COMPILER})
  set(host "")
  set(environment "")
  if(CMAKE_CROSSCOMPILING)
    set(cc "${CMAKE_C_COMPILER} --sysroot=${CMAKE_SYSROOT}")
    set(host --host=${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
    set(environment ${CMAKE_COMMAND} -E env
      PKG_CONFIG_SYSROOT_DIR=${CMAKE_SYSROOT}
      "PKG_CONFIG_LIBDIR=${CMAKE_SYSROOT}/usr/lib/${CMAKE_SYSTEM_PROCESSOR}-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
  endif()
  file(MAKE_DIRECTORY ${root}/build)
  morrowline_source_step(${library} ${root} configure ${root}/build
    ${environment} ${source}/configure ${host} --prefix=${root}/install --libdir=${root}/install/lib
    --enable-static --disable-shared --with-pic "CC=${cc}"
    "CFLAGS=-Os -ffunction-sections -fdata-sections -fstack-protector-strong -ffile-prefix-map=${source}=."
    "CPPFLAGS=-D_FORTIFY_SOURCE=2" ${ARGN})
  morrowline_source_jobs(jobs)
  morrowline_source_step(${library} ${root} build ${root}/build make -j ${jobs})
  morrowline_source_step(${library} ${root} install ${root}/build make ${install})
endfunction()
