#!/bin/sh
# installer_notices.sh OUTPUT BUILD [ARM64_DEBS]: the notices file of the
# installer programs, which are linked whole: every library and the font
# they carry, with the Debian source package and version each came from,
# and its copyright and licence text as Debian ships it.
#
# Versions are those of this machine's packages (the libraries' static
# archives come with them), or of the source package the build fetched
# for the libraries it builds itself (below BUILD). ARM64_DEBS, when
# given, holds the arm64 packages the aarch64 program was linked from;
# their versions are given where they differ.
set -eu
output=$1
build=$2
arm64_debs=${3:-}

# NAME|WHAT IT IS|THE DEBIAN PACKAGE WHOSE COPYRIGHT FILE AND VERSION COUNT
components="glibc|the GNU C library (LGPL-2.1 or later)|libc6
libstdc++ and libgcc|GCC's C++ and support libraries (GPL-3 with the GCC runtime library exception)|gcc-12-base
FLTK 1.3|the window toolkit (LGPL-2 with FLTK's exceptions for static linking)|libfltk1.3
libX11|the X11 client library|libx11-6
libxcb|the X protocol C binding|libxcb1
libXau|X authorisation|libxau6
libXdmcp|X display manager protocol|libxdmcp6
libXext|X extensions|libxext6
libXrender|the X Render extension|libxrender1
libXfixes|the X Fixes extension|libxfixes3
libXcursor|X cursors|libxcursor1
libXinerama|the Xinerama extension|libxinerama1
Xft|font drawing for X|libxft2
fontconfig|font configuration|libfontconfig1
FreeType|the font engine (the FreeType Licence, whose credit line is above)|libfreetype6
expat|the XML parser under fontconfig|libexpat1
libzip|the ZIP reader|libzip4
zlib|deflate|zlib1g
ISA-L|deflate and CRC-32|libisal2
bzip2|the bzip2 decoder|libbz2-1.0
Zstandard|the Zstandard decoder|libzstd1
XZ Utils|the XZ and LZMA decoder|liblzma5
DejaVu Sans|the window's font, a subset of it (still named DejaVu Sans: its licence reserves only the words Bitstream and Vera)|fonts-dejavu-core"

# source_version PACKAGE: "SOURCE VERSION" of this machine's PACKAGE, or of
# the source package the build fetched for it.
source_version() {
  set -- $(dpkg-query -W -f='${source:Package} ${source:Version}' "$1")
  for dsc in "$build"/static-*/source/"$1"_*.dsc; do
    [ -f "$dsc" ] && set -- "$1" "$(sed -n 's/^Version: //p' "$dsc")"
  done
  echo "$1 $2"
}

# arm64_version SOURCE: the version of the arm64 packages of SOURCE.
arm64_version() {
  for dsc in "$build"/aarch64/build/static-*/source/"$1"_*.dsc; do
    [ -f "$dsc" ] && { sed -n 's/^Version: //p' "$dsc"; return; }
  done
  for deb in "$arm64_debs"/*.deb; do
    [ -f "$deb" ] || continue
    source=$(dpkg-deb -f "$deb" Source)
    source=${source%% *}
    [ "${source:-$(dpkg-deb -f "$deb" Package)}" = "$1" ] || continue
    # A binary rebuild's version (+b1) is the source's with a suffix.
    dpkg-deb -f "$deb" Version | sed 's/+b[0-9]*$//'
    return
  done
}

{
  echo "Notices for the morrowline-sfx installer programs"
  echo "=================================================="
  echo
  echo "Every installer that morrowline-pack makes begins with the morrowline-sfx"
  echo "program, which is linked whole: it carries the libraries below, taken from"
  echo "Debian 12's packages (libzip, ISA-L, FreeType and libX11 built from Debian's"
  echo "source packages), and a subset of the DejaVu Sans font. Whoever ships an"
  echo "installer ships them and passes these notices on; see \"What an installer"
  echo "carries\" in morrowline-sfx's README for what glibc's LGPL-2.1 asks besides."
  echo
  echo "Portions of this software are copyright (C) 2022 The FreeType Project"
  echo "(www.freetype.org). All rights reserved."
  echo
  echo "Versions (Debian source package and version; aarch64 where it differs):"
  printf '%s\n' "$components" | while IFS='|' read -r name what package; do
    set -- $(source_version "$package")
    arm64=""
    if [ -n "$arm64_debs" ]; then
      arm64=$(arm64_version "$1")
      if [ -n "$arm64" ] && [ "$arm64" != "$2" ]; then arm64=" (aarch64: $arm64)"; else arm64=""; fi
    fi
    printf '  %-22s %s %s%s\n' "$name" "$1" "$2" "$arm64"
  done
  printf '%s\n' "$components" | while IFS='|' read -r name what package; do
    copyright=/usr/share/doc/$package/copyright
    if [ ! -f "$copyright" ]; then
      echo "installer_notices: no copyright file for $package ($copyright)" >&2
      exit 1
    fi
    echo
    echo "----------------------------------------------------------------------"
    echo "$name: $what"
    echo "From the Debian package $package, whose copyright file follows."
    echo "----------------------------------------------------------------------"
    echo
    cat "$copyright"
  done
} >"$output.new"
mv "$output.new" "$output"
