#!/bin/bash
# shellcheck disable=SC2016 # the autorun commands are meant literally
# Installers on an older desktop: a Debian 11 root (glibc 2.31 with a
# separate libpthread, fontconfig 2.13.1 with its own caches, Xft 2.3.2),
# made once per build tree by mmdebstrap from Debian's own packages and
# entered through bubblewrap; and an aarch64 installer in Debian 11's
# arm64 root under qemu. The programs are linked whole: nothing of the
# root's is loaded, and a font cache of an older fontconfig is neither
# read nor rewritten.
. "$(dirname "$0")/lib.sh"

if [ "${MORROWLINE_PORTABLE:-}" != ON ]; then
  echo "skip - this build links morrowline-sfx for this machine only"
  exit 0
fi

# ---- The Debian 11 roots ----

# debian_11_root NAME MMDEBSTRAP_OPTION...: DEBIAN_11_ROOT is the root
# made below the build tree by mmdebstrap with those options and Debian
# 11's libraries of a stock X11 desktop; made once. Ends the test with a
# skip line when Debian 11 cannot be fetched.
debian_11_root() {
  local root=$MORROWLINE_BUILD/old-userland/$1 sources
  shift
  if [ ! -e "$root/.complete" ]; then
    rm -rf "$root" "$root.tar"
    mkdir -p "$root"
    . "$MORROWLINE_SOURCE/cmake/debian_archives.sh"
    sources=$(debian_source_list deb "" bullseye 2>/dev/null || true)
    if [ -z "$sources" ] ||
      ! mmdebstrap "$@" \
        --include=libx11-6,libxft2,libxinerama1,libxcursor1,libxfixes3,libxext6,libxrender1,libfontconfig1,fonts-dejavu-core \
        bullseye "$root.tar" "$sources" >"$root.log" 2>&1; then
      echo "skip - Debian 11 cannot be fetched here (no Debian archive in /etc/apt, or see $root.log)"
      exit 0
    fi
    tar -C "$root" -xf "$root.tar" --exclude='./dev/*'
    rm -f "$root.tar"
    touch "$root/.complete"
  fi
  DEBIAN_11_ROOT=$root
}

# For x86-64 a whole system, whose fontconfig has made its caches; for
# aarch64 the packages' files alone (nothing of theirs can run here), for
# qemu to take libraries from.
debian_11_root debian-11 --variant=minbase --include=fontconfig
root=$DEBIAN_11_ROOT
arm64_root=""
if [ -n "${MORROWLINE_AARCH64:-}" ]; then
  debian_11_root debian-11-arm64 --variant=extract --architectures=arm64
  arm64_root=$DEBIAN_11_ROOT
fi

cd "$SCRATCH" || exit 1
umask 022
start_xvfb
gui_hold_display
display_number=${DISPLAY#:}

# Runs go through RUN_WITH (start_run, sfx_run): the root read-only, a
# private /tmp and home, the X socket, and this script's scratch
# directory at its own path, so that working directories and installers
# are where the host sees them.
RUN_WITH=(bwrap --unshare-all --die-with-parent --clearenv
  --ro-bind "$root" / --proc /proc --dev /dev --tmpfs /tmp --tmpfs /root
  --bind "/tmp/.X11-unix/X$display_number" "/tmp/.X11-unix/X$display_number"
  --bind "$SCRATCH" "$SCRATCH"
  --setenv DISPLAY ":$display_number" --setenv HOME /root --setenv PATH /usr/bin:/bin)

expect_eq "the root is Debian 11's, with glibc 2.31" "2.31" \
  "$("${RUN_WITH[@]}" /usr/bin/ldd --version | sed -n '1s/.* //p')"
check "the root has libpthread apart from libc" \
  test -s "$root/lib/x86_64-linux-gnu/libpthread-2.31.so"

# ---- One installer per method, a reinstall and a cancel ----

mkdir -p src/pkg/bin
printf 'hello from 2014\n' >src/pkg/readme.txt
seq 1 20000 >src/pkg/numbers.txt
head -c 300000 /dev/urandom >src/pkg/bin/noise.bin
cp "$MORROWLINE_SFX" src/pkg/bin/program
chmod 0600 src/pkg/readme.txt
check_runs_per_method deflate zstd xz
make_run_installers
check_reinstall_and_cancel deflate

# ---- An aarch64 installer on Debian 11's arm64 libraries, under qemu ----

if [ -n "$arm64_root" ]; then
  # The arm64 root is the sandbox's /. Besides the root, only qemu, and
  # for the autorun command this machine's /bin/sh with its C library:
  # an x86-64 program, which the kernel runs itself.
  sandbox=(bwrap --unshare-all --die-with-parent --clearenv
    --proc /proc --dev /dev --tmpfs /tmp --tmpfs /root
    --bind "/tmp/.X11-unix/X$display_number" "/tmp/.X11-unix/X$display_number"
    --bind "$SCRATCH" "$SCRATCH"
    --setenv DISPLAY ":$display_number" --setenv HOME /root --setenv PATH /usr/bin:/bin)
  for entry in "$arm64_root"/* "$arm64_root"/lib/* "$arm64_root"/bin/*; do
    place=${entry#"$arm64_root"}
    case $place in /lib | /bin | /dev | /proc | /tmp | /root) continue ;; esac
    sandbox+=(--ro-bind "$entry" "$place")
  done
  shell=$(readlink -f /bin/sh)
  sandbox+=(--ro-bind "$shell" /bin/sh
    --ro-bind "$(readlink -f /lib64/ld-linux-x86-64.so.2)" /lib64/ld-linux-x86-64.so.2)
  for library in $(ldd "$shell" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p'); do
    sandbox+=(--ro-bind "$(readlink -f "$library")" "/lib/x86_64-linux-gnu/${library##*/}")
  done
  sandbox+=(--ro-bind "$(command -v qemu-aarch64-static)" /qemu-aarch64)
  RUN_WITH=("${sandbox[@]}" /qemu-aarch64)

  PACK_WITH=(--arch aarch64)
  RUN_LABEL="aarch64, "
  check_runs_per_method bzip2
fi

finish
