#!/bin/sh
# aarch64_sysroot.sh DIR: unpacks into DIR/sysroot the arm64 libraries and
# headers of this machine's Debian release that the aarch64 installer
# program is built against and run with under emulation.
#
# apt downloads them for arm64 through a private source list, state and
# cache below DIR, and dpkg -x unpacks them: the system's dpkg
# architectures and apt configuration stay exactly as they were.
set -eu
dir=$1
. "$(dirname "$0")/debian_archives.sh"

# The shared libraries the program needs at run time (and links against),
# with what they need in turn; then, without what they need, the headers
# and static archives it is built from.
runtime="libc6 libgcc-s1 libx11-6 libxext6 libxft2 libfontconfig1 libfreetype6 libxrender1
libxcursor1 libxfixes3 libxinerama1"
development="libc6-dev linux-libc-dev libfltk1.3-dev libx11-dev x11proto-dev libxext-dev
libxrender-dev libxfixes-dev libxft-dev libfontconfig-dev libfreetype-dev libzstd-dev
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
# The dependencies' closure, less what is no library (configuration,
# fonts, debconf and the perl it brings): the program reads the fonts of
# the machine or sandbox it runs in.
# shellcheck disable=SC2086
closure=$(debian_private_apt "$apt_dir" "$list" apt-cache depends --recurse --no-recommends \
  --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances $runtime | grep -E '^(lib|zlib)' |
  sort -u)
# shellcheck disable=SC2086
(cd "$dir/debs" && debian_private_apt "$apt_dir" "$list" apt-get download $closure $development) \
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
