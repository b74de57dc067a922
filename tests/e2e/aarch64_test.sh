#!/bin/bash
# shellcheck disable=SC2016 # the autorun commands are meant literally
# Installers for 64-bit ARM desktops, made here by morrowline-pack --arch
# aarch64 and run under Debian's qemu user-mode emulation against the
# build's arm64 sysroot, every symbol bound at start (LD_BIND_NOW): the
# window, every method, modes and times, the autorun command, a reinstall,
# Escape and a damaged member that keep the old tree. Kept small:
# emulation is slow. What the program links and needs is read in
# portable_test.sh.
. "$(dirname "$0")/lib.sh"

if [ -z "${MORROWLINE_AARCH64:-}" ]; then
  echo "skip - this build makes no aarch64 installer program"
  exit 0
fi

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
sysroot=$MORROWLINE_BUILD/aarch64/sysroot
cd "$SCRATCH" || exit 1
umask 022
start_xvfb
gui_hold_display
RUN_WITH=(env LD_BIND_NOW=1 qemu-aarch64-static -L "$sysroot")

# ---- The packer puts the right program in front, and only the program differs ----

mkdir -p src/pkg/bin src/pkg/doc
printf 'hello, arm\n' >src/pkg/doc/readme.txt
seq 1 30000 >src/pkg/doc/numbers.txt
head -c 200000 /dev/urandom >src/pkg/bin/noise.bin
printf '#!/bin/sh\necho set up\n' >src/pkg/bin/setup.sh
chmod 0755 src/pkg/bin/setup.sh
chmod 0600 src/pkg/doc/readme.txt
touch -d '2021-03-04 05:06:07' src/pkg/doc/numbers.txt
export SOURCE_DATE_EPOCH=1700000000
"$PACK" -o x86.run --run true src/pkg >/dev/null
"$PACK" -o arm.run --arch aarch64 --run true src/pkg >/dev/null
unset SOURCE_DATE_EPOCH

machine() { readelf -h "$1" 2>/dev/null | sed -n 's/^ *Machine: *//p'; }
expect_eq "--arch aarch64 puts the aarch64 program in front" AArch64 "$(machine arm.run)"
expect_eq "the default puts the x86-64 one" "Advanced Micro Devices X86-64" "$(machine x86.run)"
check "the aarch64 installer carries the aarch64 program whole" \
  cmp -s -n "$(stat -c %s "$MORROWLINE_AARCH64")" "$MORROWLINE_AARCH64" arm.run
check "the x86-64 installer carries the x86-64 program whole" \
  cmp -s -n "$(stat -c %s "$MORROWLINE_SFX")" "$MORROWLINE_SFX" x86.run
# Each program is padded to the larger one's size, so that the archive
# after it, its offsets counted from the file's first byte, is the same.
room=$(stat -c %s "$MORROWLINE_SFX" "$MORROWLINE_AARCH64" | sort -n | tail -n1)
check "the archive after the programs is byte for byte the same" \
  cmp -s <(tail -c +$((room + 1)) x86.run) <(tail -c +$((room + 1)) arm.run)
check "unzip reads the aarch64 installer without a warning" unzip -tq arm.run
expect_eq "--list names the architecture" "architecture: aarch64" "$("$PACK" --list arm.run | head -n1)"
check "--check reads an aarch64 installer here" "$PACK" --check arm.run
status=0
"$PACK" -o no.run --arch arm64 src/pkg >/dev/null 2>arch.err || status=$?
expect_eq "an unknown architecture: status 2, the known ones named" \
  "2 morrowline-pack: unknown architecture: arm64 (x86_64 or aarch64)" "$status $(head -n1 arch.err)"

# ---- Runs under emulation ----

# times_and_modes DIR: every entry's mode and modification time (in whole
# seconds, as an archive keeps it) below DIR.
times_and_modes() {
  (cd "$1" && find . -mindepth 1 -printf '%m %TY-%Tm-%Td %TT %P\n' | sed 's/\.[0-9]* / /' |
    LC_ALL=C sort)
}

# It waits on a pipe, so the window can be seen from outside first.
for method in deflate zstd xz bzip2; do
  "$PACK" -o "$method.run" --arch aarch64 --method "$method" \
    --run 'echo ran > autorun-ran; read go < go.fifo' src/pkg >/dev/null
  dir=$SCRATCH/$method
  mkdir "$dir"
  mkfifo "$dir/go.fifo"
  start_run "$dir" "$method.run"
  window=$(window_of_run)
  check "$method: the window shows" test -n "$window"
  if [ $method = deflate ] && [ -n "$window" ]; then
    expect_eq "the window's title" "WM_NAME = \"Morrowline SFX Tool\"" \
      "$(timeout 10 xprop -id "$window" -notype WM_NAME)"
    expect_eq "the window's icon" "128, 128" "$(timeout 10 xprop -id "$window" -notype \
      -f _NET_WM_ICON 32c _NET_WM_ICON | sed 's/^[^=]*= //' | cut -d, -f1-2)"
    check "its text is drawn (\"Fechar\" active)" gui_wait_for gui_fechar_active "$window"
  fi
  check "$method: the autorun command runs" gui_wait_for test -f "$dir/autorun-ran"
  timeout 60 sh -c 'echo go >"$1"' - "$dir/go.fifo" &
  wait_for_exit "$RUN_PID" 60
  expect_eq "$method: status 0, nothing on stderr" "status 0, stderr []" \
    "status $EXIT_STATUS, stderr [$(cat "$dir.err")]"
  check "$method: every member lands whole" diff -r src/pkg "$dir/pkg"
  expect_eq "$method: modes and times kept" "$(times_and_modes src/pkg)" \
    "$(times_and_modes "$dir/pkg")"
done

printf 'my own notes\n' >deflate/pkg/notes.txt
"$PACK" -o again.run --arch aarch64 --run 'echo again > autorun-again' src/pkg >/dev/null
sfx_run deflate "${RUN_WITH[@]}" "$SCRATCH/again.run"
sfx_expect "a reinstall: status 0" 0 ""
check "a reinstall: the new tree replaces the old one" diff -r src/pkg deflate/pkg
check "a reinstall: its autorun command runs" test -f deflate/autorun-again

MORROWLINE_SFX=$MORROWLINE_AARCH64 make_run_installers
with_old_tree cancel
before=$(snapshot cancel)
start_run cancel big.run
window=$(window_of_run)
GUI_WAIT=60 in_big_member cancel || true
gui_key "$window" Escape
wait_for_exit "$RUN_PID" 60
stopped_cleanly "Escape during a reinstall" cancel 3 "morrowline-sfx: cancelled" "$before"

with_old_tree damaged
before=$(snapshot damaged)
sfx_run damaged "${RUN_WITH[@]}" "$SCRATCH/damaged.run"
sfx_expect "a damaged member: status 3, says why" 3 \
  "morrowline-sfx: file couldn't be read: pkg/z.txt: CRC-32 mismatch"
expect_eq "a damaged member: the old tree is as it was" "$before" "$(snapshot damaged)"
check "a damaged member: nothing hidden left, no autorun" \
  sh -c '[ -z "$(find "$1" -name ".morrowline-*" -o -name autorun-ran)" ]' - damaged

finish
