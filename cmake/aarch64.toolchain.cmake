# Debian's cross compiler for arm64 (g++-aarch64-linux-gnu), against the
# sysroot that cmake/aarch64_sysroot.sh unpacks: MORROWLINE_AARCH64_SYSROOT.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT ${MORROWLINE_AARCH64_SYSROOT})
# The compiler checks build with the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORROWLINE_AARCH64_SYSROOT)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The shared libraries' own dependencies (libxcb for libX11, ...) are
# found in the sysroot at link time.
set(lib_dirs ${MORROWLINE_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu
             ${MORROWLINE_AARCH64_SYSROOT}/lib/aarch64-linux-gnu)
string(REPLACE ";" ":" lib_dirs "${lib_dirs}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link=${lib_dirs}")
