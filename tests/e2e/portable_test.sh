#!/bin/bash
# The installer programs are linked whole, for any Linux of their
# architecture: no loader and no shared library named, static-pie (the
# address space still randomised), full RELRO, symbols stripped, at most
# 4 MiB; read from what the packer prepends, what is installed and what
# the .deb carries. Their link maps show that nothing in them calls
# dlopen. Where they run is tested in reach_test.sh.
. "$(dirname "$0")/lib.sh"

if [ "${MORROWLINE_PORTABLE:-}" != ON ]; then
  echo "skip - this build links morrowline-sfx for this machine only"
  exit 0
fi

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
architectures=x86_64
[ -n "${MORROWLINE_AARCH64:-}" ] && architectures="x86_64 aarch64"
cd "$SCRATCH"

declare -A machine_name=([x86_64]="Advanced Micro Devices X86-64" [aarch64]=AArch64)
declare -A program=([x86_64]=$MORROWLINE_SFX [aarch64]=${MORROWLINE_AARCH64:-})
declare -A place=([x86_64]=bin/morrowline-sfx [aarch64]=lib/morrowline-sfx/aarch64/morrowline-sfx)
declare -A link_map=([x86_64]=$MORROWLINE_SFX.map
  [aarch64]=$MORROWLINE_BUILD/aarch64/build/bin/morrowline-sfx.map)
largest=$((4 * 1024 * 1024))

machine() {
  readelf -h "$1" | sed -n 's/^ *Machine: *//p'
}

names_no_loader() {
  ! readelf -lW "$1" | grep -q 'INTERP'
}

needs_no_library() {
  ! readelf -dW "$1" | grep -q '(NEEDED)'
}

# A position-independent program that relocates itself: ELF type DYN with
# the PIE flag, and no loader.
static_pie() {
  readelf -hW "$1" | grep -q 'Type: *DYN' && readelf -dW "$1" | grep -q 'FLAGS_1.*PIE'
}

# Full RELRO: a read-only-after-relocation segment, every relocation done
# at start.
full_relro() {
  readelf -lW "$1" | grep -q 'GNU_RELRO' && readelf -dW "$1" | grep -q 'BIND_NOW'
}

stripped() {
  ! readelf -S "$1" | grep -q '\.symtab'
}

# referrers MAP SYMBOL: the files the link map's cross-reference table
# names as referring to SYMBOL (the first line names where it is defined).
referrers() {
  awk -v symbol="$2" '
    /^Cross Reference Table/ { table = 1; next }
    table && /^[^ ]/ { current = $1; next }
    table && current == symbol && NF { print $1 }' "$1"
}

# ---- The programs as packed, catted, installed and packaged ----

mkdir -p src/pkg/sub
printf 'alpha\n' >src/pkg/a.txt
head -c 20000 /dev/urandom >src/pkg/sub/noise.bin
(cd src && zip -qr ../payload.zip pkg)
prefix="$SCRATCH/prefix"
cmake --install "$MORROWLINE_BUILD" --prefix "$prefix" >/dev/null
have_deb=no
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  (cd "$MORROWLINE_BUILD" && cpack -G DEB -B "$SCRATCH/deb" >/dev/null)
  dpkg-deb -x "$(ls "$SCRATCH"/deb/*.deb | head -n1)" "$SCRATCH/debroot"
  have_deb=yes
fi

for arch in $architectures; do
  "$PACK" -o "packed-$arch.run" --arch "$arch" src/pkg >/dev/null
  cat "${program[$arch]}" payload.zip >"catted-$arch.run"
  programs="packed-$arch.run catted-$arch.run $prefix/${place[$arch]}"
  [ $have_deb = yes ] && programs="$programs $SCRATCH/debroot/usr/${place[$arch]}"
  for file in $programs; do
    label=${file#"$SCRATCH/"}
    expect_eq "$label: an $arch program" "${machine_name[$arch]}" "$(machine "$file")"
    check "$label: names no loader" names_no_loader "$file"
    check "$label: needs no shared library" needs_no_library "$file"
    check "$label: static-pie" static_pie "$file"
    check "$label: full RELRO" full_relro "$file"
    check "$label: symbols stripped" stripped "$file"
  done
  program_size=$(stat -c %s "${program[$arch]}")
  echo "# $arch installer program: $program_size bytes"
  check "$arch: the program is at most 4 MiB ($program_size bytes)" \
    test "$program_size" -le "$largest"
  check "$arch: a packed installer is the program, then the payload" \
    cmp -s -n "$program_size" "${program[$arch]}" "packed-$arch.run"
  roots="$prefix"
  [ $have_deb = yes ] && roots="$roots $SCRATCH/debroot/usr"
  for root in $roots; do
    "$root/bin/morrowline-pack" -o "installed-$arch.run" --arch "$arch" src/pkg >/dev/null
    check "${root#"$SCRATCH/"}: the installed packer finds the installed $arch program" \
      cmp -s -n "$program_size" "$root/${place[$arch]}" "installed-$arch.run"
  done

  # Each library's calls to dlopen and dlsym went to the program's own
  # stand-ins: the C library's are linked in for its own use alone.
  map=${link_map[$arch]}
  if [ -s "$map" ]; then
    for symbol in dlopen dlmopen dlsym dlvsym; do
      expect_eq "$arch: nothing in the program calls the C library's $symbol" "" \
        "$(referrers "$map" "$symbol" | paste -sd' ')"
    done
    check "$arch: the libraries' dlopen calls go to the stand-in" \
      test -n "$(referrers "$map" __wrap_dlopen)"
  else
    check "$arch: the program's link map is there" false
  fi
done

finish
