# The Debian package of the installed programs and man page, made in the
# build tree by `cpack -G DEB`. Included at the end of the top-level list,
# where CPack must be set up.
set(CPACK_PACKAGE_NAME morrowline-sfx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "morrowline-sfx")
set(CPACK_PACKAGE_CONTACT "morrowline-sfx maintainers <maintainers@morrowline.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "graphical self-extracting ZIP installers for X11")
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "morrowline-sfx is the installer program: with a ZIP archive appended, it\n\
shows a progress window, unpacks the archive below its working directory with\n\
the stored Unix modes and may run a setup command afterwards. morrowline-pack\n\
makes such installers from a folder, and lists and checks them.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)

# dpkg-shlibdeps (from dpkg-dev) derives the dependencies from the binaries,
# and CPack needs `file` to find them; without both, the dependencies are
# the ones Debian 12 needs, named by hand: the packer's C and C++ runtimes,
# compressors and libcrypto (the installer program of the portable build
# is linked whole), else the installer program's shared libraries too.
find_program(MORROWLINE_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(MORROWLINE_FILE_COMMAND file)
if(MORROWLINE_DPKG_SHLIBDEPS AND MORROWLINE_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1, libstdc++6, \
zlib1g, libbz2-1.0, libzstd1, liblzma5 (>= 5.4), libssl3")
  if(NOT MORROWLINE_PORTABLE)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libfltk1.3, libzip4, libboost-filesystem1.74.0, \
libx11-6, libxext6, libxft2, libfontconfig1, libfreetype6, libxrender1, libxcursor1, \
libxfixes3, libxinerama1")
  endif()
endif()

include(CPack)
