#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" and the sh -c scripts are meant literally
# Finding the archive behind the program: how it was appended, what lies
# around it (nothing, a few bytes, an empty archive, comments up to the
# largest size), damaged archives, how the installer was started and where
# its members land.
. "$(dirname "$0")/lib.sh"

umask 022
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
cd "$SCRATCH" || exit 1

# The payload used throughout: nested directories, an executable, an empty file.
mkdir -p src/pkg/sub/deep src/pkg/empty
echo alpha >src/pkg/a.txt
printf '#!/bin/sh\necho run\n' >src/pkg/run.sh
chmod 755 src/pkg/run.sh
: >src/pkg/sub/empty
head -c 70000 /dev/urandom >src/pkg/sub/deep/blob.bin
(cd src && zip -qr ../plain.zip pkg)

# with_comment ZIP OUT TEXTFILE: OUT is ZIP with the comment read from
# TEXTFILE through zip -z.
with_comment() {
  cp "$1" "$2"
  zip -qz "$2" <"$3"
}

comment_length() {
  "$PY" -c 'import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).comment))' "$1"
}

printf '$AUTORUN$>true' >autorun.txt
with_comment plain.zip payload.zip autorun.txt

mkdir reference
unzip -q payload.zip -d reference

# A fresh, empty working directory.
fresh_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# ---- No archive: status 2, nothing printed, the display never opened ----
# A bogus DISPLAY would make any attempt to open it fail loudly (status 1).

cp "$MORROWLINE_SFX" bare
printf 'abcd' | cat "$MORROWLINE_SFX" - >four
printf 'PK\005\006' | cat "$MORROWLINE_SFX" - >signature-only
printf 'PK\005\006%018d' 0 | tr 0 '\000' | cat "$MORROWLINE_SFX" - >empty-archive
chmod +x bare four signature-only empty-archive
expect_eq "the empty archive appended is the 22-byte end record" 22 \
  $(($(stat -c %s empty-archive) - $(stat -c %s "$MORROWLINE_SFX")))

for installer in bare four signature-only empty-archive; do
  fresh_dir "run-$installer"
  DISPLAY='' sfx_run "run-$installer" env -u DISPLAY "../$installer"
  sfx_expect "$installer, DISPLAY unset: status 2, silent" 2 ""
  expect_eq "$installer, DISPLAY unset: nothing on stdout" "" "$RUN_STDOUT"
  DISPLAY='' sfx_run "run-$installer" env DISPLAY=:31999 "../$installer"
  sfx_expect "$installer, unreachable DISPLAY: status 2, silent (display not opened)" 2 ""
  expect_eq "$installer: working directory left empty" "" "$(ls -A "run-$installer")"
done

# ---- Damaged archives fail before the window: status 3 "bad zip" ----

"$PY" - plain.zip <<'EOF'
import random, struct, sys
data = open(sys.argv[1], "rb").read()
end = data.rfind(b"PK\x05\x06")
central = data.find(b"PK\x01\x02")
rng = random.Random(20240607)
def noise(n):
    return bytes(rng.randrange(256) for _ in range(n))
def out(name, blob):
    open(name, "wb").write(blob)
# The central directory lost its last 20 bytes; the end record is intact.
out("bad-cut-directory.zip", data[:end - 20] + data[end:])
# A lone end record signature followed by random fields (no comment).
out("bad-random-end.zip", b"PK\x05\x06" + noise(16) + b"\0\0")
# A central directory whose entries are random bytes after the signature.
out("bad-random-central.zip", data[:central + 4] + noise(end - central - 4) + data[end:])
# The end record points the central directory far past the end of the file.
out("bad-offset-outside.zip", data[:end + 16] + struct.pack("<I", 0x7FFF0000) + data[end + 20:])
# The end record claims a central directory larger than the file.
out("bad-size-outside.zip", data[:end + 12] + struct.pack("<I", 0x00100000) + data[end + 16:])
EOF

for zip in bad-*.zip; do
  name=${zip%.zip}
  make_installer "$name" "$zip"
  fresh_dir "run-$name"
  DISPLAY='' sfx_run "run-$name" env -u DISPLAY "../$name"
  sfx_expect "$name: status 3, bad zip, the file named" 3 "morrowline-sfx: bad zip: ../$name"
  expect_eq "$name: nothing on stdout, nothing extracted" ":" "$RUN_STDOUT:$(ls -A "run-$name")"
done

# ---- A good archive without a display: status 1, nothing extracted ----

make_installer installer payload.zip
fresh_dir run-nodisplay
DISPLAY='' sfx_run run-nodisplay env -u DISPLAY ../installer
sfx_expect_like "no display: status 1, says it can't open the display" 1 "morrowline-sfx: Can't open display*"
expect_eq "no display: nothing extracted" "" "$(ls -A run-nodisplay)"

# ---- A download that stopped early says so, in the window too ----

size=$(stat -c %s payload.zip)
for cut in half:$((size / 2)) end-record:$((size - 30)) last-byte:$((size - 1)); do
  name=cut-${cut%%:*}
  head -c "${cut#*:}" payload.zip >"$name.zip"
  make_installer "$name" "$name.zip"
done
incomplete() {
  echo "morrowline-sfx: the installer is incomplete (cut short at $(stat -c %s "$1") of its bytes?): ../$1"
}
for installer in cut-half cut-end-record cut-last-byte; do
  fresh_dir "run-$installer"
  DISPLAY='' sfx_run "run-$installer" env -u DISPLAY "../$installer"
  sfx_expect "$installer, no display: status 3, says it is incomplete" 3 "$(incomplete "$installer")"
  expect_eq "$installer: nothing written" "" "$(ls -A "run-$installer")"
done

start_xvfb
gui_start "$SCRATCH/cut.err" "$SCRATCH/run-cut-half" ../cut-half
window=$(wait_for_window 'Morrowline SFX Tool' 20 || true)
check "cut short: the window shows" test -n "$window"
check "cut short: the window shows a failure (\"Fechar\" active at once)" \
  gui_wait_for gui_fechar_active "$window"
gui_key "$window" Escape
wait_for_exit "$GUI_PID" 20
expect_eq "cut short, with the window: status 3, one line" "status 3, stderr [$(incomplete cut-half)]" \
  "status $EXIT_STATUS, stderr [$(cat "$SCRATCH/cut.err")]"
expect_eq "cut short, with the window: nothing written" "" "$(ls -A run-cut-half)"

# same_as_reference DIR: DIR holds exactly what unzip made of the payload.
same_as_reference() {
  [ "$(sfx_tree "$1")" = "$(sfx_tree reference)" ] && diff -r reference "$1" >/dev/null
}

# ---- Plain cat installer and zip -A installer extract the same ----

make_installer installer-adjusted payload.zip
zip -qA installer-adjusted
check "zip -A changed the installer's offsets" sh -c '! cmp -s installer installer-adjusted'
fresh_dir run-plain
sfx_run run-plain ../installer
sfx_expect "cat installer: status 0" 0 ""
fresh_dir run-adjusted
sfx_run run-adjusted ../installer-adjusted
sfx_expect "zip -A installer: status 0" 0 ""
check "cat installer extracts what unzip extracts" same_as_reference run-plain
check "zip -A installer extracts what unzip extracts" same_as_reference run-adjusted
expect_eq "both installers give the same tree" "$(sfx_tree run-plain)" "$(sfx_tree run-adjusted)"
check "both installers give the same bytes" diff -r run-plain run-adjusted

# ---- Archive comments: none, 200 bytes, 65535 bytes ----

# No comment: no autorun, so the window stays after extraction until closed.
make_installer installer-nocomment plain.zip
expect_eq "payload without comment has a 0-byte comment" 0 "$(comment_length plain.zip)"
fresh_dir run-nocomment
(cd run-nocomment && exec timeout 60 ../installer-nocomment) >nocomment.out 2>nocomment.err </dev/null &
pid=$!
window=$(wait_for_window 'Morrowline SFX Tool' 20 || true)
check "no comment: the window shows" test -n "$window"
for _ in $(seq 200); do
  if [ -f run-nocomment/pkg/sub/deep/blob.bin ] && [ -f run-nocomment/pkg/run.sh ]; then break; fi
  sleep 0.1
done
check "no comment: members extracted while the window is up" test -f run-nocomment/pkg/sub/deep/blob.bin
check "no comment: the program keeps running after extracting" kill -0 "$pid"
if [ -n "$window" ]; then xdotool key --window "$window" Escape >/dev/null 2>&1 || true; fi
wait_for_exit "$pid" 20
expect_eq "no comment: closing the window ends the run with status 0" 0 "$EXIT_STATUS"
expect_eq "no comment: nothing on stderr" "" "$(cat nocomment.err)"
check "no comment: extracted tree is complete" same_as_reference run-nocomment

# comment_text N FILE: writes a text that zip -z stores as exactly N bytes
# (zip ends each stored line with CR LF and drops the final newline): the
# autorun marker with a command leaving "autorun-ran", then filler lines.
comment_text() {
  "$PY" - "$1" "$2" <<'EOF'
import sys
size, path = int(sys.argv[1]), sys.argv[2]
head = "$AUTORUN$>touch autorun-ran #"
lines, stored = [head], len(head)
while size - stored > 80:
    lines.append("#" + "x" * 70)
    stored += 2 + 71
lines.append("#" * (size - stored - 2))
open(path, "w").write("\n".join(lines) + "\n")
EOF
}

# set_comment_bytes ZIP N: the same comment written straight into the end
# record (used only if this zip stores comments differently).
set_comment_bytes() {
  "$PY" - "$1" "$2" <<'EOF'
import sys, zipfile
path, size = sys.argv[1], int(sys.argv[2])
text = open("comment-%d.txt" % size).read().rstrip("\n").replace("\n", "\r\n").encode()
with zipfile.ZipFile(path, "a") as z:
    z.comment = text
EOF
}

for size in 200 65535; do
  comment_text "$size" "comment-$size.txt"
  with_comment plain.zip "comment-$size.zip" "comment-$size.txt"
  if [ "$(comment_length "comment-$size.zip")" != "$size" ]; then
    echo "note: zip -z stored $(comment_length "comment-$size.zip") bytes; writing the comment directly"
    set_comment_bytes "comment-$size.zip" "$size"
  fi
  expect_eq "archive comment is $size bytes" "$size" "$(comment_length "comment-$size.zip")"
  check "$size-byte comment starts with the autorun marker" "$PY" -c \
    'import sys, zipfile; sys.exit(not zipfile.ZipFile(sys.argv[1]).comment.startswith(b"$AUTORUN$>touch"))' \
    "comment-$size.zip"
  make_installer "installer-$size" "comment-$size.zip"
  fresh_dir "run-$size"
  sfx_run "run-$size" "../installer-$size"
  sfx_expect "$size-byte comment: status 0" 0 ""
  check "$size-byte comment: autorun ran in the working directory" test -f "run-$size/autorun-ran"
  rm -f "run-$size/autorun-ran"
  check "$size-byte comment: members extracted" same_as_reference "run-$size"
done

# ---- How it was started, and where the members land ----

mkdir -p far/bin work/here
make_installer far/bin/setup payload.zip
ln -s ../far/bin/setup work/setup-link

fresh_dir work/here
sfx_run work/here ../../far/bin/setup
sfx_expect "started via a relative path from another directory: status 0" 0 ""
check "relative path: members land in the working directory" same_as_reference work/here
expect_eq "relative path: nothing lands beside the installer" "setup" "$(ls -A far/bin)"

fresh_dir work/here
sfx_run work/here ../setup-link
sfx_expect "started via a symlink to the installer: status 0" 0 ""
check "symlink: members land in the working directory" same_as_reference work/here

fresh_dir work/here
sfx_run work/here "$SCRATCH/far/bin/setup"
sfx_expect "started via an absolute path: status 0" 0 ""
check "absolute path: members land in the working directory" same_as_reference work/here
expect_eq "absolute path: nothing lands beside the installer" "setup" "$(ls -A far/bin)"

# A working directory removed before the start cannot be extracted into.
mkdir gone
sfx_run gone sh -c 'rmdir "$PWD" && exec "$0"' "$SCRATCH/installer"
sfx_expect_like "removed working directory: status 3, cannot find working directory" 3 \
  "morrowline-sfx: cannot find working directory*"

finish
