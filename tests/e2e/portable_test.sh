#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" is meant literally
# The installer programs start on any X11 desktop of their architecture:
# what they need at run time, read from what the packer prepends, what is
# installed and what the .deb carries; and a whole run inside a sandbox
# whose root holds only what a stock desktop has (for aarch64, the
# sysroot's arm64 libraries, run by qemu). The dynamically linked
# development build fails that run at once (status 127, "libzip.so.4:
# cannot open shared object file").
. "$(dirname "$0")/lib.sh"

if [ "${MORROWLINE_PORTABLE:-}" != ON ]; then
  echo "skip - this build links morrowline-sfx for this machine only"
  exit 0
fi

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
sysroot=$MORROWLINE_BUILD/aarch64/sysroot
architectures=x86_64
[ -n "${MORROWLINE_AARCH64:-}" ] && architectures="x86_64 aarch64"
cd "$SCRATCH"

# What every X11 desktop has: the C library (libpthread, libdl and librt
# too: before glibc 2.34 they hold the calls that are in libc now), its
# loader, libgcc_s, the X11 clients.
libraries="libc.so.6 libm.so.6 libpthread.so.0 libdl.so.2 librt.so.1 libgcc_s.so.1 libX11.so.6
libXext.so.6 libXft.so.2 libfontconfig.so.1 libfreetype.so.6 libXrender.so.1 libXcursor.so.1
libXfixes.so.3 libXinerama.so.1"
declare -A loader=([x86_64]=ld-linux-x86-64.so.2 [aarch64]=ld-linux-aarch64.so.1)
declare -A machine_name=([x86_64]="Advanced Micro Devices X86-64" [aarch64]=AArch64)
# The largest program each may put in front of a payload.
declare -A largest=([x86_64]=$((13 * 1024 * 1024 / 10)) [aarch64]=$((3 * 1024 * 1024 / 2)))

# needs_only_allowed ARCH FILE: every NEEDED entry of FILE is on the list.
needs_only_allowed() {
  local needed extra
  needed=$(readelf -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [ -n "$needed" ] || { echo "#   no NEEDED entries in $2"; return 1; }
  extra=$(comm -23 <(sort <<<"$needed") <(tr ' ' '\n' <<<"$libraries ${loader[$1]}" | sort))
  [ -z "$extra" ] || { echo "#   not on a stock desktop: $extra"; return 1; }
}

# newest_glibc FILE: the newest GLIBC_ symbol version FILE asks for.
newest_glibc() {
  readelf --dyn-syms -W "$1" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n1
}

glibc_at_most_2_17() {
  [ "$(printf '%s\n2.17\n' "$(newest_glibc "$1")" | sort -V | tail -n1)" = 2.17 ]
}

# no_cxx_runtime_versions FILE: FILE asks for no GLIBCXX_ or CXXABI_
# version, so no libstdc++ of the user's.
no_cxx_runtime_versions() {
  ! readelf --dyn-syms -W "$1" | grep -qE 'GLIBCXX_|CXXABI_'
}

stripped() {
  ! readelf -S "$1" | grep -q '\.symtab'
}

machine() {
  readelf -h "$1" | sed -n 's/^ *Machine: *//p'
}

# ---- The programs as packed, catted, installed and packaged ----

mkdir -p src/pkg/sub
printf 'alpha\n' >src/pkg/a.txt
printf 'deep\n' >src/pkg/sub/deep.txt
head -c 20000 /dev/urandom >src/pkg/sub/noise.bin
# The sandbox has /bin/sh and nothing else: the command uses builtins only.
# It waits on a pipe, so the window can be seen from outside first.
command='echo ran > autorun-ran; read go < go.fifo'
(cd src && zip -qr ../payload.zip pkg && printf '%s' "\$AUTORUN\$>$command" | zip -qz ../payload.zip)
prefix="$SCRATCH/prefix"
cmake --install "$MORROWLINE_BUILD" --prefix "$prefix" >/dev/null
have_deb=no
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  (cd "$MORROWLINE_BUILD" && cpack -G DEB -B "$SCRATCH/deb" >/dev/null)
  dpkg-deb -x "$(ls "$SCRATCH"/deb/*.deb | head -n1)" "$SCRATCH/debroot"
  have_deb=yes
fi

declare -A program=([x86_64]=$MORROWLINE_SFX [aarch64]=${MORROWLINE_AARCH64:-})
declare -A place=([x86_64]=bin/morrowline-sfx [aarch64]=lib/morrowline-sfx/aarch64/morrowline-sfx)
for arch in $architectures; do
  "$PACK" -o "packed-$arch.run" --arch "$arch" --run "$command" src/pkg >/dev/null
  cat "${program[$arch]}" payload.zip >"catted-$arch.run"
  chmod +x "catted-$arch.run"
  programs="packed-$arch.run catted-$arch.run $prefix/${place[$arch]}"
  [ $have_deb = yes ] && programs="$programs $SCRATCH/debroot/usr/${place[$arch]}"
  for file in $programs; do
    label=${file#"$SCRATCH/"}
    expect_eq "$label: an $arch program" "${machine_name[$arch]}" "$(machine "$file")"
    check "$label: needs nothing beyond libc, libgcc_s and the X11 clients" \
      needs_only_allowed "$arch" "$file"
    check "$label: needs glibc 2.17 at most (asks for $(newest_glibc "$file"))" \
      glibc_at_most_2_17 "$file"
    check "$label: needs nothing of a C++ runtime" no_cxx_runtime_versions "$file"
    check "$label: symbols stripped" stripped "$file"
  done
  program_size=$(stat -c %s "${program[$arch]}")
  echo "# $arch installer program: $program_size bytes"
  check "$arch: the installer overhead is at most ${largest[$arch]} bytes ($program_size)" \
    test "$program_size" -le "${largest[$arch]}"
  check "$arch: a packed installer is the program, then the payload" \
    cmp -s -n "$program_size" "${program[$arch]}" "packed-$arch.run"
  roots="$prefix"
  [ $have_deb = yes ] && roots="$roots $SCRATCH/debroot/usr"
  for root in $roots; do
    "$root/bin/morrowline-pack" -o "installed-$arch.run" --arch "$arch" src/pkg >/dev/null
    check "${root#"$SCRATCH/"}: the installed packer finds the installed $arch program" \
      cmp -s -n "$program_size" "$root/${place[$arch]}" "installed-$arch.run"
  done
done

# ---- A whole run on a stock desktop ----

start_xvfb
display_number=${DISPLAY#:}

# needed_closure ROOT TRIPLET FILE...: FILE and every library it needs,
# found in ROOT's library directories for TRIPLET, as paths below ROOT (""
# for this machine).
needed_closure() {
  local root=$1 triplet=$2 file needed found
  shift 2
  local queue=("$@") seen=" "
  while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    case $seen in *" $file "*) continue ;; esac
    seen="$seen$file "
    echo "$file"
    for needed in $(readelf -d "$root$file" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      for found in /lib/"$triplet/$needed" /usr/lib/"$triplet/$needed" /lib/"$needed"; do
        if [ -e "$root$found" ]; then queue+=("$found"); break; fi
      done
    done
  done
}

# The root holds the loader and the allowed libraries with their own
# dependencies, /bin/sh, the fonts with their configuration and the X11
# client data, an X socket and the working directory; nothing else. For
# aarch64, the libraries are the sysroot's, and qemu runs the program.
sandbox_for() {
  local arch=$1 root="" files library path file
  [ "$arch" = aarch64 ] && root=$sysroot
  files=$(for library in $libraries ${loader[$arch]}; do
    for path in /lib/"$arch-linux-gnu/$library" /usr/lib/"$arch-linux-gnu/$library" \
      /lib64/"$library" /lib/"$library"; do
      if [ -e "$root$path" ]; then
        needed_closure "$root" "$arch-linux-gnu" "$path"
        break
      fi
    done
  done | sort -u)
  sandbox=(bwrap --unshare-all --die-with-parent --clearenv
    --setenv DISPLAY ":$display_number" --setenv HOME /home/user --setenv PATH /bin
    --proc /proc --dev /dev --tmpfs /tmp --tmpfs /home/user
    --ro-bind /etc/fonts /etc/fonts --ro-bind /usr/share/fonts /usr/share/fonts
    --bind "/tmp/.X11-unix/X$display_number" "/tmp/.X11-unix/X$display_number")
  [ -d /usr/share/X11 ] && sandbox+=(--ro-bind /usr/share/X11 /usr/share/X11)
  # The loader also where the program names it.
  files="$files $(readelf -l "${program[$arch]}" | sed -n 's/.*program interpreter: \(.*\)]/\1/p')"
  for file in $files; do
    sandbox+=(--ro-bind "$(readlink -f "$root$file")" "$file")
  done
  for file in $(needed_closure "" x86_64-linux-gnu /bin/sh) /lib64/ld-linux-x86-64.so.2; do
    sandbox+=(--ro-bind "$(readlink -f "$file")" "$file")
  done
  starter=()
  if [ "$arch" = aarch64 ]; then
    sandbox+=(--ro-bind "$(command -v qemu-aarch64-static)" /qemu-aarch64)
    starter=(/qemu-aarch64)
  fi
}

sandbox_for x86_64
status=0
"${sandbox[@]}" --ro-bind "$PACK" /pack /pack --version >/dev/null 2>&1 || status=$?
expect_eq "the sandbox is bare: the dynamically linked morrowline-pack cannot start there" \
  127 "$status"

for arch in $architectures; do
  sandbox_for "$arch"
  for installer in packed-$arch.run catted-$arch.run; do
    dir="$SCRATCH/desk-$installer"
    mkdir "$dir"
    mkfifo "$dir/go.fifo"
    ("${sandbox[@]}" --ro-bind "$SCRATCH/$installer" /installer --bind "$dir" /work --chdir /work \
      "${starter[@]}" /installer >"$dir.out" 2>"$dir.err" </dev/null) &
    pid=$!
    window=$(wait_for_window "Morrowline SFX Tool" 60 || true)
    check "$installer on a stock desktop: the window shows" test -n "$window"
    check "$installer on a stock desktop: the autorun command runs" \
      gui_wait_for test -f "$dir/autorun-ran"
    timeout 60 sh -c 'echo go >"$1"' - "$dir/go.fifo" &
    wait_for_exit "$pid" 60
    expect_eq "$installer on a stock desktop: ends with 0 after the command" 0 "$EXIT_STATUS"
    [ "$EXIT_STATUS" = 0 ] || sed 's/^/#   stderr: /' "$dir.err"
    check "$installer on a stock desktop: every member unpacked" diff -r src/pkg "$dir/pkg"
  done
done

finish
