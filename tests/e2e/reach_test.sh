#!/bin/bash
# shellcheck disable=SC2016 # the autorun commands are meant literally
# The installer program, linked whole, on machines unlike this one, each
# held up against the same run on this desktop:
# - a root shaped as NixOS looks to a program that expects Debian's layout:
#   a static busybox as /bin/sh and nothing else (no /lib*, /usr, /etc/fonts
#   or /usr/share);
# - a root of musl's loader and C library, which runs musl programs and no
#   glibc one;
# - the aarch64 program in that first root, under qemu;
# - the user missing from /etc/passwd, with HOME unset;
# - a display reached over TCP, as ssh -X gives it;
# - a sandbox that refuses clone3 and faccessat2 with EPERM, where a
#   program of this machine's glibc cannot start a thread;
# - no display in a root without any X11 library;
# - no /proc.
# Windows are compared pixel for pixel: the one drawn on this desktop with
# the one drawn with this machine's own fonts (as the program did before
# it carried its own), and every other with the one drawn here. Each run
# installs the exact tree, runs its command, and a damaged reinstall keeps
# the old tree.
. "$(dirname "$0")/lib.sh"

if [ "${MORROWLINE_PORTABLE:-}" != ON ]; then
  echo "skip - this build links morrowline-sfx for this machine only"
  exit 0
fi
busybox=$(command -v busybox || true)
if [ -z "$busybox" ] || ! file -L "$busybox" | grep -q 'statically linked'; then
  echo "skip - the roots need a static busybox (Debian's busybox-static) for /bin/sh"
  exit 0
fi

cd "$SCRATCH" || exit 1
umask 022
start_xvfb
gui_hold_display
display_number=${DISPLAY#:}
# Every run's working directory: its path is in the window's label.
work=$SCRATCH/w
mkdir "$work"
TITLE="Morrowline SFX Tool"

# ---- The installers ----

python3 - <<'EOF'
import zipfile

def write(path, comment=b""):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data, mode in [
                ("pkg/", b"", 0o40755), ("pkg/bin/", b"", 0o40755),
                ("pkg/bin/tool", b"#!/bin/sh\necho tool\n", 0o100755),
                ("pkg/readme.txt", b"read me\n" * 100, 0o100644),
                ("pkg/private.txt", b"mine\n", 0o100600)]:
            info = zipfile.ZipInfo(name, (2021, 3, 4, 5, 6, 8))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = mode << 16
            z.writestr(info, data)
        z.comment = comment

write("show.zip")  # the window stays until it is closed
write("run.zip", b"$AUTORUN$>echo ran > autorun-ran")
write("damaged.zip", b"$AUTORUN$>echo ran > autorun-ran")
data = bytearray(open("damaged.zip", "rb").read())
data[data.rfind(b"PK\x01\x02") + 16] ^= 1  # the last member's CRC-32
open("damaged.zip", "wb").write(data)
EOF
mkdir inst
for zip in show run damaged; do
  cat "$MORROWLINE_SFX" "$zip.zip" >"inst/$zip.run"
  [ -n "${MORROWLINE_AARCH64:-}" ] && cat "$MORROWLINE_AARCH64" "$zip.zip" >"inst/$zip-aarch64.run"
done
chmod +x inst/*.run
mapfile -t targets < <(python3 -c \
  'import zipfile; print("\n".join(zipfile.ZipFile("show.zip").namelist()))' |
  sed "s|/\$||; s|^|$work/|")
unzip -q run.zip -d expected
TREE=$(sfx_tree expected)

# ---- The roots ----

# make_root DIR: a root holding a static busybox as /bin/sh, /etc/passwd,
# /etc/group and /etc/hosts, and the places the sandbox mounts on: nothing
# else of a system.
make_root() {
  mkdir -p "$1/bin" "$1/etc" "$1/proc" "$1/dev" "$1/tmp" "$1/inst" "$1/home/user" "$1$work"
  cp "$busybox" "$1/bin/busybox"
  ln -s busybox "$1/bin/sh"
  printf 'root:x:0:0:root:/root:/bin/sh\nuser:x:1000:1000::/home/user:/bin/sh\n' >"$1/etc/passwd"
  printf 'root:x:0:\nuser:x:1000:\n' >"$1/etc/group"
  printf '127.0.0.1 localhost\n' >"$1/etc/hosts"
  touch "$1/qemu-aarch64"
}
make_root nixos
make_root musl
mkdir -p musl/lib
cp -L /lib/ld-musl-x86_64.so.1 musl/lib/ld-musl-x86_64.so.1

# in-root ROOT [BWRAP_OPTION...] -- COMMAND...: COMMAND in a sandbox whose
# / is ROOT, read-only, with /dev, a private /tmp, the X socket, the
# installers at /inst and the working directory, and the options given.
in_root=$SCRATCH/in-root
{
  echo '#!/bin/bash'
  echo 'root=$1; shift; options=()'
  echo 'while [ "$1" != -- ]; do options+=("$1"); shift; done; shift'
  printf 'exec bwrap --unshare-all --die-with-parent --clearenv --ro-bind "%s/$root" / ' "$SCRATCH"
  printf -- '--dev /dev --tmpfs /tmp --bind %s %s ' "/tmp/.X11-unix/X$display_number" \
    "/tmp/.X11-unix/X$display_number"
  printf -- '--ro-bind %s /inst --bind %s %s --chdir %s ' "$SCRATCH/inst" "$work" "$work" "$work"
  printf -- '--setenv DISPLAY :%s --setenv PATH /bin --setenv HOME /home/user ' "$display_number"
  echo '--setenv LANG C.UTF-8 "${options[@]}" "$@"'
} >"$in_root"
chmod +x "$in_root"
qemu=(--ro-bind "$(command -v qemu-aarch64-static)" /qemu-aarch64 -- /qemu-aarch64)

# ---- Runs ----

# picture LABEL COMMAND...: runs COMMAND (an installer of show.zip, or a
# wrapper that runs one) in an empty working directory and saves the
# finished window as LABEL.png; closes it, and checks that the run ends
# with status 0 and nothing said. The window is looked for on
# PICTURE_DISPLAY, if set.
picture() {
  local label=$1 window pid
  shift
  local DISPLAY=${PICTURE_DISPLAY:-$DISPLAY}
  rm -rf "${work:?}" && mkdir "$work"
  (cd "$work" && exec timeout 120 "$@") >"$label.out" 2>"$label.err" </dev/null &
  pid=$!
  window=$(wait_for_window "$TITLE" 60 || true)
  check "$label: the window shows" test -n "$window"
  if [ -n "$window" ]; then
    GUI_WAIT=60 gui_wait_for gui_fechar_active "$window" || true
    gui_screenshot "$window" "$label.png" || true
    gui_key "$window" Escape
  fi
  wait_for_exit "$pid" 60
  expect_eq "$label: status 0, nothing said" "status 0, stderr []" \
    "status $EXIT_STATUS, stderr [$(cat "$label.err")]"
}

# same_picture DESCRIPTION A B: A.png and B.png differ in no pixel.
same_picture() {
  expect_eq "$1" 0 "$(compare -metric AE "$2.png" "$3.png" null: 2>&1 || true)"
}

# reference LABEL [--machine-fonts]: the finished window as window-picture
# draws it, for the run's target paths, saved as LABEL.png.
reference() {
  local label=$1 window pid
  shift
  "$MORROWLINE_WINDOW_PICTURE" "$@" "${targets[@]}" >/dev/null 2>&1 &
  pid=$!
  window=$(wait_for_window "$TITLE" 30 || true)
  if [ -n "$window" ]; then gui_screenshot "$window" "$label.png" || true; fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# installs LABEL COMMAND...: runs COMMAND (an installer of run.zip, or a
# wrapper that runs one) in an empty working directory: status 0, its
# command ran, the tree exact; then the damaged installer in its place
# (inst/damaged for inst/run in the command) keeps that tree.
installs() {
  local label=$1 before
  shift
  rm -rf "${work:?}" && mkdir "$work"
  sfx_run "$work" "$@"
  sfx_expect "$label: installs, status 0" 0 ""
  check "$label: the autorun command ran" test -f "$work/autorun-ran"
  rm -f "$work/autorun-ran"
  expect_eq "$label: the exact tree, modes and all" "$TREE" "$(sfx_tree "$work")"
  before=$(snapshot "$work")
  sfx_run "$work" "${@/inst\/run/inst\/damaged}"
  expect_eq "$label: a damaged reinstall fails, status 3" 3 "$RUN_STATUS"
  expect_eq "$label: ... and keeps the old tree" "$before" "$(snapshot "$work")"
}

# ---- This desktop: the pixels of this machine's own fonts ----

picture desktop "$SCRATCH/inst/show.run"
reference machine-fonts --machine-fonts
reference own-font
same_picture "this desktop: the same pixels as with the machine's fonts" desktop machine-fonts
same_picture "this desktop: the window as window-picture draws it" desktop own-font
installs "this desktop" "$SCRATCH/inst/run.run"

# ---- A NixOS-like root and a musl-only root ----

# Neither runs a program of this machine's: there is no glibc loader.
cp /usr/bin/true nixos/bin/glibc-true
cp /usr/bin/true musl/bin/glibc-true
if command -v musl-gcc >/dev/null; then
  printf 'int main(void) { return 42; }\n' >hello.c
  musl-gcc -o musl/bin/musl-hello hello.c
  status=0
  "$in_root" musl -- /bin/musl-hello || status=$?
  expect_eq "the musl root runs a musl program" 42 "$status"
fi
for root in nixos musl; do
  status=0
  "$in_root" "$root" -- /bin/sh -c /bin/glibc-true 2>/dev/null || status=$?
  expect_eq "the $root root runs no program of this machine's glibc" 127 "$status"
  picture "$root" "$in_root" "$root" --proc /proc -- /inst/show.run
  same_picture "$root root: the same window as here" "$root" desktop
  installs "$root root" "$in_root" "$root" --proc /proc -- /inst/run.run
done

# ---- aarch64, in the NixOS-like root under qemu ----

if [ -n "${MORROWLINE_AARCH64:-}" ]; then
  picture aarch64 "$in_root" nixos --proc /proc "${qemu[@]}" /inst/show-aarch64.run
  same_picture "aarch64 in the NixOS-like root: the same window as x86-64 here" aarch64 desktop
  installs "aarch64 in the NixOS-like root" "$in_root" nixos --proc /proc "${qemu[@]}" \
    /inst/run-aarch64.run
fi

# ---- A user missing from /etc/passwd, with HOME unset ----

picture no-user "$in_root" nixos --proc /proc --uid 4242 --gid 4242 --unsetenv HOME -- \
  /inst/show.run
same_picture "uid 4242 missing from /etc/passwd, HOME unset: the same window" no-user desktop

# ---- A display over TCP, as ssh -X gives it ----

fd_file=$SCRATCH/.tcp-display
Xvfb -displayfd 3 -screen 0 1024x768x24 -listen tcp -noreset 3>"$fd_file" >/dev/null 2>&1 &
tcp_xvfb=$!
gui_wait_for test -s "$fd_file" || true
tcp_display=$(head -n1 "$fd_file")
PICTURE_DISPLAY=:$tcp_display picture tcp "$in_root" nixos --proc /proc --share-net \
  --setenv DISPLAY "localhost:$tcp_display.0" -- /inst/show.run
same_picture "DISPLAY=localhost:$tcp_display.0 from the NixOS-like root: the same window" \
  tcp desktop
kill "$tcp_xvfb" 2>/dev/null || true

# ---- A sandbox that answers clone3 and faccessat2 with EPERM ----

status=0
"$MORROWLINE_OLD_KERNEL" EPERM-ALL python3 -c \
  'import threading; t = threading.Thread(target=print); t.start(); t.join()' \
  >/dev/null 2>&1 || status=$?
check "clone3 refused with EPERM: a program of this machine's glibc starts no thread there" \
  test "$status" != 0
installs "clone3 and faccessat2 refused with EPERM" "$MORROWLINE_OLD_KERNEL" EPERM-ALL \
  "$SCRATCH/inst/run.run"

# ---- No display, in a root without any X11 library ----

rm -rf "${work:?}" && mkdir "$work"
sfx_run "$work" "$in_root" nixos --proc /proc --unsetenv DISPLAY -- /inst/run.run
sfx_expect_like "no display in the NixOS-like root: status 1, says so" 1 \
  "morrowline-sfx: Can't open display*"
expect_eq "no display: nothing written" "" "$(ls -A "$work")"

# ---- No /proc ----

installs "no /proc" "$in_root" nixos -- /inst/run.run
# Found on PATH, by its bare name: its own file is the path it was started
# by, since /proc/self/exe is not there to tell.
rm -rf "${work:?}" && mkdir "$work"
sfx_run "$work" "$in_root" nixos --setenv PATH /inst:/bin -- /bin/sh -c run.run
sfx_expect "no /proc, started by its bare name from PATH: installs, status 0" 0 ""
expect_eq "no /proc, by its bare name: the exact tree" "$TREE" \
  "$(sfx_tree "$work" | grep -v autorun-ran)"
# Where the kernel gives no mount IDs (before Linux 5.8), only /proc tells
# what is mounted in an old tree: a reinstall is refused.
sfx_run "$work" "$MORROWLINE_OLD_KERNEL" ENOSYS "$in_root" nixos -- /inst/run.run
sfx_expect "no /proc, no mount IDs: a reinstall is refused" 3 \
  "morrowline-sfx: cannot replace directory: $work/pkg: cannot tell what is mounted in it without /proc"

finish
