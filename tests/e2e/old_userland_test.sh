#!/bin/bash
# shellcheck disable=SC2016 # the autorun commands are meant literally
# Installers on an older desktop: a Debian 11 root (glibc 2.31 with a
# separate libpthread, fontconfig 2.13.1, Xft 2.3.2), made once per build
# tree by mmdebstrap from Debian's own packages and entered through
# bubblewrap. Every run binds its symbols at start (LD_BIND_NOW), so a
# symbol that glibc lacks fails at once rather than halfway.
. "$(dirname "$0")/lib.sh"

if [ "${MORROWLINE_PORTABLE:-}" != ON ]; then
  echo "skip - this build links morrowline-sfx for this machine only"
  exit 0
fi

# ---- The Debian 11 root ----

root=$MORROWLINE_BUILD/old-userland/debian-11
if [ ! -e "$root/.complete" ]; then
  rm -rf "$root" "$root.tar"
  mkdir -p "$root"
  . "$MORROWLINE_SOURCE/cmake/debian_archives.sh"
  # The machine's own archive for its release, which carries the older
  # releases too.
  sources=$(debian_archives | while read -r uri suite key components; do
    [ "$suite" = "$DEBIAN_RELEASE" ] || continue
    options=""
    [ "$key" = - ] || options="[signed-by=$key] "
    echo "deb ${options}$uri bullseye main"
  done)
  log=$MORROWLINE_BUILD/old-userland/mmdebstrap.log
  if [ -z "$sources" ] ||
    ! mmdebstrap --variant=minbase \
      --include=libx11-6,libxft2,libxinerama1,libxcursor1,libxfixes3,libxext6,libxrender1,libfontconfig1,fontconfig,fonts-dejavu-core \
      bullseye "$root.tar" "$sources" >"$log" 2>&1; then
    echo "skip - Debian 11 cannot be fetched here (no Debian archive in /etc/apt, or see $log)"
    exit 0
  fi
  tar -C "$root" -xf "$root.tar" --exclude='./dev/*'
  rm -f "$root.tar"
  touch "$root/.complete"
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
  --setenv DISPLAY ":$display_number" --setenv HOME /root --setenv PATH /usr/bin:/bin
  --setenv LD_BIND_NOW 1)

expect_eq "the root is Debian 11's, with glibc 2.31" "2.31" \
  "$("${RUN_WITH[@]}" /usr/bin/ldd --version | sed -n '1s/.* //p')"
check "the root has libpthread apart from libc" \
  test -s "$root/lib/x86_64-linux-gnu/libpthread-2.31.so"

# ---- One installer per method: the window, the members, the autorun command ----

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
mkdir -p src/pkg/bin
printf 'hello from 2014\n' >src/pkg/readme.txt
seq 1 20000 >src/pkg/numbers.txt
head -c 300000 /dev/urandom >src/pkg/bin/noise.bin
cp "$MORROWLINE_SFX" src/pkg/bin/program
# It waits on a pipe, so the window can be seen from outside first.
command='echo ran > autorun-ran; read go < go.fifo'
for method in deflate zstd xz; do
  "$PACK" -o "$method.run" --method "$method" --run "$command" src/pkg >/dev/null
  dir=$SCRATCH/$method
  mkdir "$dir"
  mkfifo "$dir/go.fifo"
  start_run "$dir" "$method.run"
  window=$(window_of_run)
  check "$method: the window shows" test -n "$window"
  if [ $method = deflate ] && [ -n "$window" ]; then
    expect_eq "the window's title" "WM_NAME = \"Morrowline SFX Tool\"" \
      "$(timeout 10 xprop -id "$window" -notype WM_NAME)"
    expect_eq "the window has its icon" "128, 128" "$(timeout 10 xprop -id "$window" -notype \
      -f _NET_WM_ICON 32c _NET_WM_ICON | sed 's/^[^=]*= //' | cut -d, -f1-2)"
    check "its text is drawn with the old fontconfig and Xft (\"Fechar\" active)" \
      gui_wait_for gui_fechar_active "$window"
  fi
  check "$method: the autorun command runs" gui_wait_for test -f "$dir/autorun-ran"
  timeout 30 sh -c 'echo go >"$1"' - "$dir/go.fifo" &
  wait_for_exit "$RUN_PID" 30
  expect_eq "$method: status 0, nothing on stderr" "status 0, stderr []" \
    "status $EXIT_STATUS, stderr [$(cat "$dir.err")]"
  check "$method: every member lands whole" diff -r src/pkg "$dir/pkg"
  expect_eq "$method: modes kept" "$(stat -c %a src/pkg/bin/program)" "$(stat -c %a "$dir/pkg/bin/program")"
done

# ---- A reinstall, and a cancel that keeps the old tree ----

printf 'my own notes\n' >deflate/pkg/notes.txt
"$PACK" -o again.run --run 'echo again > autorun-again' src/pkg >/dev/null
sfx_run deflate "${RUN_WITH[@]}" "$SCRATCH/again.run"
sfx_expect "a reinstall: status 0" 0 ""
check "a reinstall: the new tree replaces the old one" diff -r src/pkg deflate/pkg
check "a reinstall: its autorun command runs" test -f deflate/autorun-again

make_run_installers
with_old_tree cancel
before=$(snapshot cancel)
start_run cancel big.run
window=$(window_of_run)
in_big_member cancel || true
gui_key "$window" Escape
wait_for_exit "$RUN_PID" 30
stopped_cleanly "Escape during a reinstall" cancel 3 "morrowline-sfx: cancelled" "$before"

finish
