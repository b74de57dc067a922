#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" is meant literally
# The installer program starts on any X11 desktop: what it needs at run
# time, read from what the packer prepends, what is installed and what the
# .deb carries; and a whole run inside a sandbox whose root holds only what
# a stock desktop has. The dynamically linked development build fails that
# run at once (status 127, "libzip.so.4: cannot open shared object file").
. "$(dirname "$0")/lib.sh"

if [ "${MORROWLINE_PORTABLE:-}" != ON ]; then
  echo "skip - this build links morrowline-sfx for this machine only"
  exit 0
fi

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
cd "$SCRATCH"

# What every X11 desktop has: the C library (libpthread, libdl and librt
# too: before glibc 2.34 they hold the calls that are in libc now),
# libgcc_s, the X11 clients.
allowed="libc.so.6 libm.so.6 ld-linux-x86-64.so.2 libpthread.so.0 libdl.so.2 librt.so.1
libgcc_s.so.1 libX11.so.6 libXext.so.6 libXft.so.2 libfontconfig.so.1 libfreetype.so.6 libXrender.so.1
libXcursor.so.1 libXfixes.so.3 libXinerama.so.1"

# needs_only_allowed FILE: every NEEDED entry of FILE is on the list.
needs_only_allowed() {
  local needed extra
  needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [ -n "$needed" ] || { echo "#   no NEEDED entries in $1"; return 1; }
  extra=$(comm -23 <(sort <<<"$needed") <(tr ' ' '\n' <<<"$allowed" | sort))
  [ -z "$extra" ] || { echo "#   not on a stock desktop: $extra"; return 1; }
}

# newest_glibc FILE: the newest GLIBC_ symbol version FILE asks for.
newest_glibc() {
  objdump -T "$1" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n1
}

glibc_at_most_2_17() {
  [ "$(printf '%s\n2.17\n' "$(newest_glibc "$1")" | sort -V | tail -n1)" = 2.17 ]
}

# no_cxx_runtime_versions FILE: FILE asks for no GLIBCXX_ or CXXABI_
# version, so no libstdc++ of the user's.
no_cxx_runtime_versions() {
  ! objdump -T "$1" | grep -qE 'GLIBCXX_|CXXABI_'
}

stripped() {
  ! readelf -S "$1" | grep -q '\.symtab'
}

# ---- The program as packed, catted, installed and packaged ----

mkdir -p src/pkg/sub
printf 'alpha\n' >src/pkg/a.txt
printf 'deep\n' >src/pkg/sub/deep.txt
head -c 20000 /dev/urandom >src/pkg/sub/noise.bin
# The sandbox has /bin/sh and nothing else: the command uses builtins only.
# It waits on a pipe, so the window can be seen from outside first.
command='echo ran > autorun-ran; read go < go.fifo'
"$PACK" -o packed.run --run "$command" src/pkg >/dev/null
(cd src && zip -qr ../payload.zip pkg && printf '%s' "\$AUTORUN\$>$command" | zip -qz ../payload.zip)
make_installer catted.run payload.zip

prefix="$SCRATCH/prefix"
cmake --install "$MORROWLINE_BUILD" --prefix "$prefix" >/dev/null
programs="packed.run catted.run $prefix/bin/morrowline-sfx"
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  (cd "$MORROWLINE_BUILD" && cpack -G DEB -B "$SCRATCH/deb" >/dev/null)
  dpkg-deb -x "$(ls "$SCRATCH"/deb/*.deb | head -n1)" "$SCRATCH/debroot"
  programs="$programs $SCRATCH/debroot/usr/bin/morrowline-sfx"
fi

for program in $programs; do
  label=${program#"$SCRATCH/"}
  check "$label: needs nothing beyond libc, libgcc_s and the X11 clients" needs_only_allowed "$program"
  check "$label: needs glibc 2.17 at most (asks for $(newest_glibc "$program"))" \
    glibc_at_most_2_17 "$program"
  check "$label: needs nothing of a C++ runtime" no_cxx_runtime_versions "$program"
  check "$label: symbols stripped" stripped "$program"
done
program_size=$(stat -c %s "$MORROWLINE_SFX")
echo "# installer program: $program_size bytes"
check "the installer overhead is at most 1.3 MiB ($program_size bytes)" \
  test "$program_size" -le $((13 * 1024 * 1024 / 10))
check "a packed installer is the program, then the payload" \
  cmp -s -n "$program_size" "$MORROWLINE_SFX" packed.run

# ---- A whole run on a stock desktop ----

start_xvfb
display_number=${DISPLAY#:}

# The root holds the loader and the allowed libraries with their own
# dependencies, /bin/sh, the fonts with their configuration and the X11
# client data, an X socket and the working directory; nothing else.
sandbox_files=""
for library in $allowed; do
  path=$(ldconfig -p | awk -v l="$library" '$1 == l && /x86-64/ { print $NF; exit }')
  [ -n "$path" ] || continue
  sandbox_files="$sandbox_files $path $(ldd "$path" | awk '/=>/ { print $3 } /ld-linux/ { print $1 }')"
done
sandbox_files="$sandbox_files /bin/sh $(ldd /bin/sh | awk '/=>/ { print $3 }')"
sandbox=(bwrap --unshare-all --die-with-parent --clearenv
  --setenv DISPLAY ":$display_number" --setenv HOME /home/user --setenv PATH /bin
  --proc /proc --dev /dev --tmpfs /tmp --tmpfs /home/user
  --ro-bind /etc/fonts /etc/fonts --ro-bind /usr/share/fonts /usr/share/fonts
  --bind "/tmp/.X11-unix/X$display_number" "/tmp/.X11-unix/X$display_number")
[ -d /usr/share/X11 ] && sandbox+=(--ro-bind /usr/share/X11 /usr/share/X11)
for file in $(tr ' ' '\n' <<<"$sandbox_files" | grep . | sort -u); do
  real_file=$(readlink -f "$file")
  sandbox+=(--ro-bind "$real_file" "$file")
  [ "$real_file" = "$file" ] || sandbox+=(--ro-bind "$real_file" "$real_file")
done

# in_sandbox DIR PROGRAM: runs PROGRAM as /installer with DIR as /work.
in_sandbox() {
  "${sandbox[@]}" --ro-bind "$2" /installer --bind "$1" /work --chdir /work /installer
}

status=0
"${sandbox[@]}" --ro-bind "$PACK" /pack /pack --version >/dev/null 2>&1 || status=$?
expect_eq "the sandbox is bare: the dynamically linked morrowline-pack cannot start there" \
  127 "$status"

for installer in packed.run catted.run; do
  dir="$SCRATCH/desk-$installer"
  mkdir "$dir"
  mkfifo "$dir/go.fifo"
  (in_sandbox "$dir" "$SCRATCH/$installer" >"$dir.out" 2>"$dir.err" </dev/null) &
  pid=$!
  window=$(wait_for_window "Morrowline SFX Tool" 30 || true)
  check "$installer on a stock desktop: the window shows" test -n "$window"
  check "$installer on a stock desktop: the autorun command runs" gui_wait_for test -f "$dir/autorun-ran"
  echo go >"$dir/go.fifo" &
  wait_for_exit "$pid" 30
  expect_eq "$installer on a stock desktop: ends with 0 after the command" 0 "$EXIT_STATUS"
  [ "$EXIT_STATUS" = 0 ] || sed 's/^/#   stderr: /' "$dir.err"
  check "$installer on a stock desktop: every member unpacked" diff -r src/pkg "$dir/pkg"
done

finish
