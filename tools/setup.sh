#!/bin/sh
# Installs everything the build and the tests need, with apt-get.
# Idempotent: when every package is present it only checks and returns.
set -eu

# dpkg-dev unpacks the libzip and libisal source packages that the static
# installer program is built from; zlib1g-dev and libbz2-dev give libzip's
# static archives; nasm, autoconf, automake and libtool build ISA-L, and
# libisal-dev serves the builds against the system's shared libraries.
# clang and its runtimes build the libFuzzer targets. time, p7zip-full and
# busybox serve bench/run.sh, which times installers against other unzippers.
# openssh-client gives ssh-keygen and ssh-agent, which sign and verify
# installers in the tests. libzstd-dev and liblzma-dev give the Zstandard
# and XZ codecs (the installer's decoders, linked statically, and the
# packer's encoders); the zstd and xz commands and e2fsprogs (mkfs.ext2,
# chattr) serve the tests. mmdebstrap (with uidmap, for users other than
# root) makes the Debian 11 root the old-userland test runs installers in;
# libseccomp-dev builds the launcher that gives them Linux 3.10's system
# calls. g++-aarch64-linux-gnu builds the aarch64 installer program (its
# arm64 libraries go into a sysroot in the build tree, never into the
# system), and qemu-user-static runs it in the tests. libssl-dev gives
# the packer OpenSSL's SHA-256. xfsprogs (mkfs.xfs, xfs_io) and
# btrfs-progs make the file systems the power-cut test crashes, and strace
# shows the order of the calls that make an install durable. exfatprogs and
# exfat-fuse make the USB stick a user installs onto, whose modes are one
# setting for the whole mount. The installer program is linked whole from
# Debian's static archives (libxcursor-dev, libxinerama-dev, libexpat1-dev,
# libxcb1-dev and the rest come with them), libX11 is built from its source
# (xtrans-dev, x11proto-dev), and its font is cut out of fonts-dejavu-core
# with fontTools. musl gives the tests a root with another C library;
# fonts-wqy-microhei a machine font for the names the program's own font
# lacks.
packages="g++ cmake make pkg-config python3 libfltk1.3-dev libboost-filesystem-dev
libzip-dev zlib1g-dev libbz2-dev dpkg-dev libgtest-dev zip unzip xvfb xauth xdotool
x11-utils imagemagick libarchive-tools bubblewrap file clang libclang-rt-14-dev llvm
time p7zip-full busybox-static openssh-client libisal-dev nasm autoconf automake libtool
libzstd-dev liblzma-dev zstd xz-utils e2fsprogs mmdebstrap uidmap libseccomp-dev
g++-aarch64-linux-gnu qemu-user-static libssl-dev xfsprogs btrfs-progs strace
exfatprogs exfat-fuse libxcursor-dev libxinerama-dev libexpat1-dev libxcb1-dev xtrans-dev
x11proto-dev fonttools fonts-dejavu-core musl musl-tools fonts-wqy-microhei"

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=""
else
  as_root="sudo"
fi

echo "setup: installing$missing" >&2
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
