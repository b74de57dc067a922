#!/bin/bash
# shellcheck disable=SC2016 # the autorun commands are meant literally
# Installers for 64-bit ARM desktops, made here by morrowline-pack --arch
# aarch64 and run under Debian's qemu user-mode emulation: the window, every method, modes and times, the autorun command, a reinstall,
# Escape and a damaged member that keep the old tree. Kept small:
# emulation is slow. What the program links and needs is read in
# portable_test.sh.
. "$(dirname "$0")/lib.sh"

if [ -z "${MORROWLINE_AARCH64:-}" ]; then
  echo "skip - this build makes no aarch64 installer program"
  exit 0
fi

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
cd "$SCRATCH" || exit 1
umask 022
start_xvfb
gui_hold_display
RUN_WITH=(qemu-aarch64-static)

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

PACK_WITH=(--arch aarch64)
check_runs_per_method deflate zstd xz bzip2
MORROWLINE_SFX=$MORROWLINE_AARCH64 make_run_installers
check_reinstall_and_cancel deflate

with_old_tree damaged
before=$(snapshot damaged)
sfx_run damaged "${RUN_WITH[@]}" "$SCRATCH/damaged.run"
sfx_expect "a damaged member: status 3, says why" 3 \
  "morrowline-sfx: file couldn't be read: pkg/z.txt: CRC-32 mismatch"
expect_eq "a damaged member: the old tree is as it was" "$before" "$(snapshot damaged)"
check "a damaged member: nothing hidden left, no autorun" \
  sh -c '[ -z "$(find "$1" -name ".morrowline-*" -o -name autorun-ran)" ]' - damaged

finish
