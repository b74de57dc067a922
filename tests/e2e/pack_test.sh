#!/bin/bash
# morrowline-pack on real folders: the installer it makes unpacks the same
# tree under Xvfb and runs the --run command as given; zip tools read it;
# packing is reproducible; refusals leave no file; --list and --check
# report; the installed programs find each other and package as a .deb.
. "$(dirname "$0")/lib.sh"

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
cd "$SCRATCH"
start_xvfb

# tree_of DIR: path, type, mode and (for files) size of everything below
# DIR, links followed as the packer follows them.
tree_of() {
  (cd "$1" && find -L . -mindepth 1 \( -type d -printf '%P %y %m\n' \) -o -printf '%P %y %m %s\n' |
    LC_ALL=C sort)
}

# install_in DIR INSTALLER: runs out/INSTALLER in a fresh DIR; sets
# EXIT_STATUS. The installers here end by themselves through --run.
install_in() {
  mkdir "$1"
  EXIT_STATUS=0
  (cd "$1" && timeout 30 "$SCRATCH/out/$2" >/dev/null 2>"$SCRATCH/$1.err") || EXIT_STATUS=$?
}

# pack ARGS...: runs morrowline-pack; PACK_STATUS is its exit status.
pack() {
  PACK_STATUS=0
  "$PACK" "$@" || PACK_STATUS=$?
}

# --- A folder with every kind of content the packer keeps ---
odd_name=$'caf\xc3\xa9 and \xe9 with spaces.txt'
mkdir -p src/pkg/sub/deep src/pkg/emptydir src/pkg/lib
printf '#!/bin/sh\necho set up > done.txt\n' > src/pkg/setup.sh
chmod 755 src/pkg/setup.sh
: > src/pkg/empty
seq 1 3000 > src/pkg/sub/deep/numbers.txt
head -c 3000 /dev/urandom > src/pkg/sub/noise.bin
printf 'odd\n' > "src/pkg/$odd_name"
printf 'secret\n' > src/pkg/lib/private.txt
chmod 600 src/pkg/lib/private.txt
chmod 750 src/pkg/emptydir
chmod 711 src/pkg/sub/deep
ln -s ../setup.sh src/pkg/lib/setup-link  # packed as a copy of setup.sh

members=$(find -L src/pkg | wc -l)
bytes=$(find -L src/pkg -type f -printf '%s\n' | awk '{ n += $1 } END { print n }')
mkdir out
cd out
pack -o inst.run --run true "$SCRATCH/src/pkg/"
expect_eq "pack: exit 0" 0 "$PACK_STATUS"
expect_eq "pack: the installer is mode 755" 755 "$(stat -c %a inst.run)"
expect_eq "pack: the folder is the first member, under its own name" "pkg/" \
  "$(unzip -Z1 inst.run 2>/dev/null | head -n1)"
expect_eq "pack: no temporary file beside the installer" "inst.run" "$(ls -A)"
cd "$SCRATCH"

install_in run inst.run
expect_eq "install: ends by itself through --run with 0" 0 "$EXIT_STATUS"
expect_eq "install: tree, types, modes and sizes are the source's" "$(tree_of src/pkg)" \
  "$(tree_of run/pkg)"
check "install: every byte is the source's" diff -r src/pkg run/pkg
check "install: a link to a file arrives as a copy of it" test -f run/pkg/lib/setup-link -a ! -L run/pkg/lib/setup-link

unzip_list=$(unzip -l out/inst.run 2>/dev/null || true)
check "unzip -l lists the installer" grep -q 'pkg/sub/deep/numbers.txt' <<<"$unzip_list"
# Offsets count from the file's start, so no warning about the program.
check "unzip -t finds no errors, nor extra bytes" unzip -tqq out/inst.run
mkdir unzipped
(cd unzipped && unzip -q ../out/inst.run)
check "unzip extracts the default installer whole" diff -r src/pkg unzipped/pkg
expect_eq "bsdtar -tf lists what unzip does" "$(unzip -Z1 out/inst.run 2>/dev/null | grep -v caf)" \
  "$(bsdtar -tf out/inst.run | grep -v caf)"
expect_eq "bsdtar -tf sees every member" "$members" "$(bsdtar -tf out/inst.run | wc -l)"

# --- --list and --check ---
listing=$("$PACK" --list out/inst.run)
expect_eq "list: the program's architecture first" "architecture: x86_64" "$(head -n1 <<<"$listing")"
expect_eq "list: then the folder" "drwxr-xr-x          0 store   pkg/" "$(sed -n 2p <<<"$listing")"
check "list: an executable file" grep -qx -- "-rwxr-xr-x $(printf %10d "$(stat -c %s src/pkg/setup.sh)") store   pkg/setup.sh" <<<"$listing"
check "list: a private file" grep -qx -- '-rw-------          7 store   pkg/lib/private.txt' <<<"$listing"
check "list: an empty directory" grep -qx -- 'drwxr-x---          0 store   pkg/emptydir/' <<<"$listing"
check "list: a deflated file" grep -qx -- '-rw-r--r--      13893 deflate pkg/sub/deep/numbers.txt' <<<"$listing"
expect_eq "list: the autorun command last" "autorun: true" "$(tail -n1 <<<"$listing")"
expect_eq "list: one line per member, the architecture and the command" $((members + 2)) \
  "$(wc -l <<<"$listing")"
status=0
summary=$("$PACK" --check out/inst.run) || status=$?
expect_eq "check: a sound installer passes with a summary" \
  "0 ok: $members members, $bytes bytes, every CRC-32 matches" "$status $summary"

# A byte inside a stored member's data, flipped.
mkdir -p patch/pkg
printf 'first member stays sound\n' > patch/pkg/a.txt
printf 'MARK this stored member is damaged\n' > patch/pkg/b.txt
pack -0 -o out/patched.run patch/pkg
offset=$(grep -obUa 'MARK this stored' out/patched.run | tail -n1 | cut -d: -f1)
printf 'X' | dd of=out/patched.run bs=1 seek="$offset" conv=notrunc status=none
status=0
"$PACK" --check out/patched.run >/dev/null 2>check.err || status=$?
expect_eq "check: a damaged member fails" 1 "$status"
check "check: names the damaged member and why" \
  grep -qx 'morrowline-pack: file couldn.t be read: pkg/b.txt: CRC-32 mismatch' check.err
check "check: and no sound one" test "$(grep -c 'pkg/a.txt' check.err)" -eq 0
printf 'no archive here\n' > plain.txt
status=0
"$PACK" --list plain.txt >/dev/null 2>list.err || status=$?
expect_eq "list: a file without an archive fails" "1 morrowline-pack: no archive: plain.txt" \
  "$status $(cat list.err)"

# --- The --run command reaches the installer's shell byte for byte ---
command=$'printf \'%s|\' "a b" \'c"d\' "it\'s" > got.txt\nprintf \'caf\xe9\\n\' >> got.txt'
mkdir -p cmd/pkg
: > cmd/pkg/placeholder
pack -o out/cmd.run --run "$command" cmd/pkg
install_in cmdrun cmd.run
expect_eq "run: the installer ends with 0" 0 "$EXIT_STATUS"
expect_eq "run: the command's output" "$(printf 'a b|c"d|it'"'"'s|caf\xe9\n' | od -c)" \
  "$(od -c <cmdrun/got.txt 2>/dev/null || true)"
expect_eq "list: shows the command on one line" \
  "autorun: printf '%s|' \"a b\" 'c\"d' \"it's\" > got.txt\\x0Aprintf 'caf"$'\xe9'"\\n' >> got.txt" \
  "$("$PACK" --list out/cmd.run | tail -n1)"

# --- Reproducible with SOURCE_DATE_EPOCH, whatever the files' times ---
SOURCE_DATE_EPOCH=1700000000 "$PACK" -o out/same1.run src/pkg
find src/pkg -exec touch -h -d '2001-02-03 04:05:06' {} +
SOURCE_DATE_EPOCH=1700000000 TZ=Pacific/Auckland "$PACK" -o out/same2.run ./src/pkg//
check "reproducible: two packs give identical files" cmp out/same1.run out/same2.run
check "reproducible: member times are the epoch (UTC)" \
  grep -q '2023-11-14 22:13' <<<"$(unzip -l out/same1.run 2>/dev/null || true)"

# --- The same bytes on one core as on all of them ---
mkdir -p cores/pkg/sub
seq -f 'line %.0f of a file deflated in pieces' 1 90000 >cores/pkg/text  # 3.4 MB
head -c 1500000 /dev/urandom >cores/pkg/noise
: >cores/pkg/empty
for i in 1 2 3; do seq "$i" 2000 >"cores/pkg/sub/small$i"; done
for method in deflate bzip2; do
  SOURCE_DATE_EPOCH=1700000000 taskset -c 0 "$PACK" --method $method -o out/one-core.run cores/pkg
  SOURCE_DATE_EPOCH=1700000000 "$PACK" --method $method -o out/all-cores.run cores/pkg
  check "$method: one core and $(nproc) give identical installers" \
    cmp out/one-core.run out/all-cores.run
  check "$method: unzip -t reads it" unzip -tqq out/all-cores.run
done
rm -rf cores out/one-core.run out/all-cores.run

# --- Every method packs, and tools read what they support ---
# member_data INSTALLER NAME: the member's stored bytes, where its local
# header puts them.
member_data() {
  python3 - "$1" "$2" <<'EOF'
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z, open(sys.argv[1], 'rb') as f:
    info = z.getinfo(sys.argv[2])
    f.seek(info.header_offset + 26)
    name, extra = struct.unpack('<HH', f.read(4))
    f.seek(info.header_offset + 30 + name + extra)
    sys.stdout.buffer.write(f.read(info.compress_size))
EOF
}
# A stand-in for the installer program: 7-Zip takes a big unstripped one
# (the sanitizer build's) for a file of another kind.
head -c 100000 /dev/zero > stub
mkdir -p methods/pkg/bin
seq 1 200000 > methods/pkg/numbers.txt   # over 1 MiB
cp /usr/bin/true methods/pkg/bin/true    # a program: XZ puts the x86 filter first
head -c 5000 /dev/urandom > methods/pkg/noise.bin
: > methods/pkg/empty
# A whole number of 128 KiB, which bsdtar 3.6.2 reads only with the empty
# zstd frame behind it.
yes 'some text to pack' | head -c $((3 << 17)) > methods/pkg/blocks.txt
for method in store deflate bzip2 zstd xz; do
  pack --method "$method" --stub stub -o "out/$method.run" methods/pkg
  expect_eq "$method: packs" 0 "$PACK_STATUS"
  listing=$("$PACK" --list "out/$method.run")
  check "$method: --list names the method" grep -q -- " $method *pkg/numbers.txt\$" <<<"$listing"
  check "$method: what does not shrink is stored" grep -q -- " store   pkg/noise.bin\$" <<<"$listing"
  expect_eq "$method: bsdtar -tf lists every member" "$(find methods/pkg | wc -l)" \
    "$(bsdtar -tf "out/$method.run" | wc -l)"
  check "$method: 7z t finds no errors" 7z t "out/$method.run" -bso0 -bsp0
  7z x "out/$method.run" -o"7z-$method" -bso0 -bsp0
  check "$method: 7z x extracts the same tree" diff -r methods/pkg "7z-$method/pkg"
  mkdir "bsdtar-$method"
  bsdtar -xf "out/$method.run" -C "bsdtar-$method" 2>/dev/null || true
  check "$method: bsdtar -xf extracts the same tree" diff -r methods/pkg "bsdtar-$method/pkg"
done
for method in store deflate bzip2; do
  check "$method: unzip -t finds no errors" unzip -tqq "out/$method.run"
done
for tool in zstd xz; do
  for name in numbers.txt bin/true blocks.txt; do
    check "$tool: pkg/$name is what $tool -d makes of its data" \
      cmp <(member_data "out/$tool.run" "pkg/$name" | "$tool" -dc) "methods/pkg/$name"
  done
  pack --method "$tool" --stub stub -o "out/$tool-again.run" methods/pkg
  check "$tool: the same bytes on every run" cmp "out/$tool.run" "out/$tool-again.run"
done

# --- ZIP64 records where classic fields overflow ---
mkdir -p many/pkg
(cd many/pkg && seq -f 'f%05g' 1 70000 | xargs touch)
pack --stub stub -o out/many.run many/pkg
expect_eq "70,000 members: --check reads them all" \
  "ok: 70001 members, 0 bytes, every CRC-32 matches" "$("$PACK" --check out/many.run)"
check "70,000 members: unzip -t finds no errors" unzip -tqq out/many.run
expect_eq "70,000 members: bsdtar -tf lists them all" 70001 "$(bsdtar -tf out/many.run | wc -l)"
check "70,000 members: 7z t finds no errors" 7z t out/many.run -bso0 -bsp0
rm -rf many out/many.run
# A sparse file over 4 GiB: ZIP64 sizes, read in pieces.
mkdir -p big/pkg
truncate -s 4295000000 big/pkg/big
echo tail > big/pkg/z.txt
# AddressSanitizer keeps up to 256 MiB of freed memory back, and the
# packer frees a piece's buffers for each of the 4,096 pieces: the
# sanitizer build keeps only a little, so that the peak is the packer's.
peak_kb=$( { ASAN_OPTIONS="${ASAN_OPTIONS:-}:quarantine_size_mb=16" \
  command time -f %M "$PACK" -1 --stub stub -o out/big.run big/pkg; } 2>&1)
check "over 4 GiB: packed in bounded memory ($peak_kb KB)" test "$peak_kb" -lt 300000
expect_eq "over 4 GiB: --check reads it" "ok: 3 members, 4295000005 bytes, every CRC-32 matches" \
  "$("$PACK" --check out/big.run)"
check "over 4 GiB: 7z t finds no errors" 7z t out/big.run -bso0 -bsp0
rm -rf big out/big.run

# --- Refusals: a message, status 1 (2 for the command line), no file ---
mkdir -p refused bad/unsafe bad/fifo bad/dangling
touch 'bad/unsafe/..\x'
mkfifo bad/fifo/pipe
ln -s nowhere bad/dangling/link
# refuse DESCRIPTION STATUS MESSAGE ARGS...: packs into refused/ and expects
# the status and the message on stderr.
refuse() {
  local description=$1 expected=$2 message=$3 status=0
  shift 3
  "$PACK" "$@" >/dev/null 2>refuse.err || status=$?
  expect_eq "refused: $description" "$expected $message" "$status $(head -n1 refuse.err)"
}
refuse "missing folder" 1 "morrowline-pack: cannot read folder: missing: No such file or directory" \
  -o refused/x.run missing
refuse "a file for a folder" 1 "morrowline-pack: not a folder: plain.txt" -o refused/x.run plain.txt
refuse "a name with a backslash-separated .." 1 'morrowline-pack: unsafe member name: unsafe/..\x' \
  -o refused/x.run bad/unsafe
refuse "a fifo" 1 "morrowline-pack: cannot pack special file: bad/fifo/pipe (fifo)" \
  -o refused/x.run bad/fifo
refuse "a dangling link" 1 "morrowline-pack: dangling symbolic link: bad/dangling/link" \
  -o refused/x.run bad/dangling
refuse "a too long --run" 1 "morrowline-pack: autorun command too long: 65526 bytes, at most 65525" \
  -o refused/x.run --run "$(head -c 65526 /dev/zero | tr '\0' x)" src/pkg
refuse "a missing stub" 1 "morrowline-pack: installer program not found: nostub: No such file or directory" \
  -o refused/x.run --stub nostub src/pkg
refuse "no -o" 2 "morrowline-pack: no output file: give -o FILE" src/pkg
refuse "an unknown method" 2 \
  "morrowline-pack: unknown method: lz4 (store, deflate, bzip2, zstd or xz)" \
  --method lz4 -o refused/x.run src/pkg
mkdir refused/taken
refuse "an output that is a directory" 1 \
  "morrowline-pack: cannot write installer: refused/taken: Is a directory" -o refused/taken src/pkg
expect_eq "refused: nothing left, no temporary file" "taken" "$(ls -A refused)"
pack -o out/long.run --run "$(head -c 65525 /dev/zero | tr '\0' x)" src/pkg
expect_eq "the longest --run is taken" 0 "$PACK_STATUS"

# --- Its own output among its inputs ---
mkdir -p own/pkg
printf 'hello\n' >own/pkg/a.txt
printf '#!/bin/sh\n' >own/pkg/setup.sh
setup_before=$(md5sum <own/pkg/setup.sh)
pack -o own/pkg/x.run own/pkg/
pack -o own/pkg/x.run own/pkg/ 2>own.err
expect_eq "output inside the folder, packed again: status 0, one line says it is left out" \
  "0 morrowline-pack: own/pkg/x.run: the installer being made; not packed" \
  "$PACK_STATUS $(cat own.err)"
expect_eq "the installer does not hold its predecessor" "pkg/ pkg/a.txt pkg/setup.sh" \
  "$(unzip -Z1 own/pkg/x.run 2>/dev/null | paste -sd' ')"
refuse "an output that is one of the inputs" 1 \
  "morrowline-pack: output is one of the inputs: own/pkg/setup.sh" -o own/pkg/setup.sh own/pkg/
expect_eq "that input is untouched" "$setup_before" "$(md5sum <own/pkg/setup.sh)"

# --- Ctrl-C in the middle of a long pack leaves nothing ---
mkdir -p slow/pkg
head -c $((48 << 20)) /dev/urandom >slow/pkg/noise.bin
for signal in INT TERM HUP; do
  # A job started with & has SIGINT ignored, as a shell without job
  # control starts it; at a terminal, Ctrl-C reaches the packer.
  python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])' "$PACK" -o slow/inst.run --method xz -9 slow/pkg &
  pid=$!
  GUI_WAIT=30 gui_wait_for sh -c 'ls -A slow | grep -q "^\.inst\.run\."' || true
  sleep 0.3
  kill -"$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  expect_eq "SIG$signal while packing: ends by the signal, leaves no file" \
    "$((128 + $(kill -l "$signal"))) pkg" "$status $(ls -A slow | paste -sd' ')"
done

# --- A progress line on a terminal, nothing elsewhere ---
# on_terminal OUTPUT ARGS...: runs the packer with a 40-column pseudo-
# terminal as its standard error and keeps what it wrote there.
on_terminal() {
  python3 - "$@" <<'PYTHON'
import fcntl, os, struct, subprocess, sys, termios
master, slave = os.openpty()
fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
packer = subprocess.Popen(sys.argv[2:], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=slave)
os.close(slave)
seen = b""
while True:
    try:
        piece = os.read(master, 65536)
    except OSError:
        break
    if not piece:
        break
    seen += piece
open(sys.argv[1], "wb").write(seen)
sys.exit(packer.wait())
PYTHON
}
on_terminal tty.out "$PACK" -9 -o out/slow.run slow/pkg
lines=$(tr '\r' '\n' <tty.out | sed 's/\x1b\[K//g' | grep . || true)
check "terminal: the line is drawn in place" grep -q '^morrowline-pack: 0 of 1 files, ' <<<"$lines"
expect_eq "terminal: the line is cleared at the end" "0d1b5b4b" "$(tail -c 4 tty.out | od -An -tx1 | tr -d ' \n')"
expect_eq "terminal: never wider than 40 columns less one" "" \
  "$(awk 'length($0) > 39' <<<"$lines")"
on_terminal tty.out "$PACK" --progress --quiet -o out/slow.run slow/pkg
expect_eq "--quiet, the last one given: nothing on the terminal" "" "$(cat tty.out)"
"$PACK" -o out/slow.run slow/pkg 2>pipe.err
expect_eq "a pipe: nothing" "" "$(cat pipe.err)"
"$PACK" --quiet --progress -o out/slow.run slow/pkg 2>pipe.err
check "--progress into a pipe: lines, the last one whole" \
  grep -q '^morrowline-pack: 1 of 1 files, 100% of 50.3 MB' <<<"$(tail -n1 pipe.err)"
rm -rf slow tty.out pipe.err out/slow.run

# --- Installed, the tool finds the installed program; the man page goes along ---
prefix="$SCRATCH/prefix"
cmake --install "$MORROWLINE_BUILD" --prefix "$prefix" >/dev/null
check "install: morrowline-sfx" test -x "$prefix/bin/morrowline-sfx"
check "install: morrowline-pack" test -x "$prefix/bin/morrowline-pack"
check "install: the man page" test -f "$prefix/share/man/man1/morrowline-pack.1"
printf 'installed copy' >> "$prefix/bin/morrowline-sfx"  # tells it from the build tree's
"$prefix/bin/morrowline-pack" -o out/installed.run src/pkg
check "install: the installed pack starts installers with the installed program" \
  cmp -n "$(stat -c %s "$prefix/bin/morrowline-sfx")" "$prefix/bin/morrowline-sfx" out/installed.run

if [ "${MORROWLINE_PORTABLE:-}" = ON ]; then
  notices=$("$prefix/bin/morrowline-pack" --notices)
  check "--notices: the installed packer prints the installer programs' notices" \
    grep -q '^  glibc  *glibc 2\.' <<<"$notices"
  check "--notices: FreeType's credit line" grep -q "The FreeType Project" <<<"$notices"
  check "--notices: the font's licence" grep -q "Bitstream Vera" <<<"$notices"
fi

if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  (cd "$MORROWLINE_BUILD" && cpack -G DEB -B "$SCRATCH/deb" >/dev/null)
  deb=$(ls "$SCRATCH"/deb/*.deb 2>/dev/null | head -n1)
  check "deb: cpack makes a package" test -n "$deb"
  contents=$(dpkg-deb -c "$deb" 2>/dev/null || true)
  for path in usr/bin/morrowline-sfx usr/bin/morrowline-pack usr/share/man/man1/morrowline-pack.1; do
    check "deb: holds $path" grep -q " \./$path\$" <<<"$contents"
  done
  if [ "${MORROWLINE_PORTABLE:-}" = ON ]; then
    check "deb: holds the installer programs' notices" \
      grep -q " \./usr/share/doc/morrowline-sfx/installer-notices.txt\$" <<<"$contents"
    # The installer program is linked whole; the packer draws nothing.
    check "deb: depends on no X11 library" \
      test -z "$(dpkg-deb -f "$deb" Depends 2>/dev/null | grep -io 'libx[a-z0-9]*\|libfontconfig\|libfreetype')"
  fi
fi

finish
