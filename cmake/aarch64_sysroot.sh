#!/bin/sh
# aarch64_sysroot.sh DIR: unpacks into DIR/sysroot the arm64 headers and
# static archives of this machine's Debian release that the aarch64
# installer program is built from.
#
# apt downloads them for arm64 through a private source list, state and
# cache below DIR, and dpkg -x unpacks them: the system's dpkg
# architectures and apt configuration stay exactly as they were.
set -eu
dir=$1
. "$(dirname "$0")/debian_archives.sh"

# The headers and static archives the program is linked whole from: the C
# library, the toolkit and everything under it, the decoders; and what
# libX11 and FreeType, which the build makes from Debian's sources, are
# built against.
development="libc6-dev linux-libc-dev libfltk1.3-dev libx11-dev x11proto-dev xtrans-dev
libxcb1-dev libxau-dev libxdmcp-dev libxext-dev libxrender-dev libxfixes-dev libxcursor-dev
libxinerama-dev libxft-dev libfontconfig-dev libexpat1-dev libfreetype-dev libzstd-dev
liblzma-dev libbz2-dev zlib1g-dev"

rm -rf "$dir/apt" "$dir/debs" "$dir/sysroot"
apt_dir="$dir/apt"
mkdir -p "$apt_dir" "$dir/debs" "$dir/sysroot"
list="$apt_dir/sources.list"
debian_source_list deb arch=arm64 >"$list"
: >"$apt_dir/status"
# Paths without blanks: the build tree's.
DEBIAN_APT_OPTIONS="-o APT::Architecture=arm64 -o APT::Architectures=arm64
  -o Dir::State::status=$apt_dir/status -o Dir::State::extended_states=$apt_dir/extended"

debian_private_apt "$apt_dir" "$list" apt-get update >"$apt_dir/update.log" 2>&1 || {
  cat "$apt_dir/update.log" >&2
  exit 1
}
# shellcheck disable=SC2086
(cd "$dir/debs" && debian_private_apt "$apt_dir" "$list" apt-get download $development) \
  >"$apt_dir/download.log" 2>&1 || {
  cat "$apt_dir/download.log" >&2
  exit 1
}
for deb in "$dir"/debs/*.deb; do
  dpkg -x "$deb" "$dir/sysroot"
done

# Links that name absolute paths are made to lead inside the sysroot, and
# a release that keeps its libraries under /usr only gets /lib beside it.
sysroot=$dir/sysroot
find "$sysroot" -type l -lname '/*' | while read -r link; do
  ln -sfn "$sysroot$(readlink "$link")" "$link"
done
[ -e "$sysroot/lib" ] || ln -s usr/lib "$sysroot/lib"
