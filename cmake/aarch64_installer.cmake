# The installer program for aarch64 desktops, built beside the x86-64 one:
# Debian's cross compiler (g++-aarch64-linux-gnu) builds morrowline-sfx
# alone in a build of its own (aarch64/build), against Debian's arm64
# libraries, which cmake/aarch64_sysroot.sh unpacks once per build tree into
# aarch64/sysroot without touching the system's dpkg or apt. The program
# lands in lib/morrowline-sfx/aarch64/, where morrowline-pack --arch aarch64
# looks for it, in the build tree as in an installation.
find_program(MORROWLINE_AARCH64_CXX aarch64-linux-gnu-g++)
if(NOT MORROWLINE_AARCH64_CXX)
  message(FATAL_ERROR "the aarch64 installer program needs g++-aarch64-linux-gnu "
                      "(tools/setup.sh installs it; -DMORROWLINE_AARCH64=OFF builds without)")
endif()

set(aarch64_root ${PROJECT_BINARY_DIR}/aarch64)
set(MORROWLINE_AARCH64_SYSROOT ${aarch64_root}/sysroot)
# Made again when the script that makes it changes.
file(SHA256 ${PROJECT_SOURCE_DIR}/cmake/aarch64_sysroot.sh sysroot_script)
set(sysroot_made "")
if(EXISTS ${aarch64_root}/sysroot.complete)
  file(READ ${aarch64_root}/sysroot.complete sysroot_made)
endif()
if(NOT sysroot_made STREQUAL sysroot_script)
  message(STATUS "Unpacking Debian's arm64 libraries into ${MORROWLINE_AARCH64_SYSROOT}")
  file(MAKE_DIRECTORY ${aarch64_root})
  execute_process(COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/aarch64_sysroot.sh ${aarch64_root}
                  RESULT_VARIABLE status OUTPUT_FILE ${aarch64_root}/sysroot.log
                  ERROR_FILE ${aarch64_root}/sysroot.log)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the arm64 sysroot could not be made; see ${aarch64_root}/sysroot.log "
                        "(-DMORROWLINE_AARCH64=OFF builds without the aarch64 installer program)")
  endif()
  file(WRITE ${aarch64_root}/sysroot.complete ${sysroot_script})
endif()

include(ExternalProject)
set(MORROWLINE_AARCH64_PROGRAM ${PROJECT_BINARY_DIR}/lib/morrowline-sfx/aarch64/morrowline-sfx)
ExternalProject_Add(aarch64_installer
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${aarch64_root}/build
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/aarch64.toolchain.cmake
             -DMORROWLINE_AARCH64_SYSROOT=${MORROWLINE_AARCH64_SYSROOT}
             -DMORROWLINE_INSTALLER_ONLY=ON
             -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
  INSTALL_COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/bin/morrowline-sfx
                  ${MORROWLINE_AARCH64_PROGRAM}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${MORROWLINE_AARCH64_PROGRAM})
install(PROGRAMS ${MORROWLINE_AARCH64_PROGRAM} DESTINATION lib/morrowline-sfx/aarch64)
