#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" and the sh -c scripts are meant literally
# Damaged, hostile, interrupted and repeated installers cost the user
# nothing: a failed reinstall leaves the old tree as it was, the working
# directory is never re-moded, members that share bytes are refused, names
# reach the terminal escaped, two runs in one directory do not interleave,
# and the program reads its own file however it was started.
. "$(dirname "$0")/lib.sh"

umask 022
cd "$SCRATCH" || exit 1
start_xvfb

python3 - <<'EOF'
import struct, zipfile

def write(path, members, comment=b"$AUTORUN$>touch autorun-ran"):
    """members: (name, data, unix mode[, method])"""
    with zipfile.ZipFile(path, "w") as z:
        for name, data, mode, *method in members:
            info = zipfile.ZipInfo(name, (2020, 2, 3, 4, 5, 6))
            info.compress_type = method[0] if method else zipfile.ZIP_DEFLATED
            info.external_attr = mode << 16 | (0x10 if name.endswith("/") else 0)
            z.writestr(info, data)
        z.comment = comment

def patch(path, old, new):
    data = open(path, "rb").read()
    assert data.count(old) >= 1, old
    open(path, "wb").write(data.replace(old, new))

tree = [("pkg/", b"", 0o40755), ("pkg/a.txt", b"new a\n", 0o100644),
        ("pkg/sub/", b"", 0o40755), ("pkg/sub/b.txt", b"new b\n" * 1000, 0o100644)]
write("good.zip", tree)
# One damaged byte in the last member: its CRC-32 no longer matches.
write("damaged.zip", tree + [("pkg/z.txt", b"DAMAGE-ME " * 50, 0o100644, zipfile.ZIP_STORED)])
patch("damaged.zip", b"DAMAGE-ME", b"DAMAGE-Me")
# The last member encrypted (flag bit 0 in both headers), or packed with
# PPMd (98), which the installer does not read.
write("encrypted.zip", tree + [("pkg/z.txt", b"secret", 0o100644, zipfile.ZIP_STORED)])
data = bytearray(open("encrypted.zip", "rb").read())
for signature, flags in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
    at = data.rfind(signature)
    data[at + flags] |= 1
open("encrypted.zip", "wb").write(data)
def unsupported(path):
    """Gives the last member method 98 in both its headers."""
    data = bytearray(open(path, "rb").read())
    for signature, method in ((b"PK\x03\x04", 8), (b"PK\x01\x02", 10)):
        data[data.rfind(signature) + method] = 98
    open(path, "wb").write(data)
write("ppmd.zip", tree + [("pkg/z.txt", b"ppmd " * 100, 0o100644, zipfile.ZIP_STORED)])
unsupported("ppmd.zip")
# Big enough to stop the run in the middle of its last member.
with zipfile.ZipFile("big.zip", "w", zipfile.ZIP_DEFLATED) as z:
    for name, data, mode in tree:
        info = zipfile.ZipInfo(name)
        info.external_attr = mode << 16
        z.writestr(info, data)
    with z.open("pkg/big.bin", "w") as member:
        block = bytes(1 << 20)
        for _ in range(512):
            member.write(block)
    z.comment = b"$AUTORUN$>touch autorun-ran"

# A first member that names the working directory, with modes that would
# lock it or open it to everyone.
write("dot-000.zip", [("./", b"", 0o40000), ("new.txt", b"new\n", 0o100644)])
write("dot-777.zip", [(".//", b"", 0o40777), ("new.txt", b"new\n", 0o100644)])
# Two members of one name: the last one's bytes and mode win.
write("twice.zip", [("dup.txt", b"first\n", 0o100600), ("dup.txt", b"second\n", 0o100755)])

# 50 central entries for one local entry of 2 MB: 100 MB out of 2 MB in.
write("overlap.zip", [("m00", bytes(2 << 20), 0o100644)])
data = open("overlap.zip", "rb").read()
end = data.rfind(b"PK\x05\x06")
central_at = struct.unpack("<I", data[end + 16:end + 20])[0]
central = data[central_at:end]
entries = b"".join(central.replace(b"m00", b"m%02d" % i) for i in range(50))
record = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 50, 50, len(entries), central_at, 0)
open("overlap.zip", "wb").write(data[:central_at] + entries + record)

# A failing name that would colour the terminal and forge a second line.
write("escape.zip", [("ok.txt", b"ok\n", 0o100644),
                     ("bad\x1b[31m\nmorrowline-sfx: all fine.txt", b"x" * 100, 0o100644,
                      zipfile.ZIP_STORED)])
unsupported("escape.zip")
EOF

# with_locked_old_tree DIR: DIR holds an older pkg/ with the user's own
# file and a read-only directory.
with_locked_old_tree() {
  chmod -R u+rwx "$1" 2>/dev/null || true
  rm -rf "$1"
  mkdir -p "$1/pkg/sub" "$1/pkg/locked"
  printf 'old a\n' >"$1/pkg/a.txt"
  printf 'my own notes\n' >"$1/pkg/notes.txt"
  printf 'old b\n' >"$1/pkg/sub/b.txt"
  chmod 0555 "$1/pkg/locked"
}

# ---- A reinstall is all or nothing ----

for zip in good damaged encrypted ppmd big; do make_installer "$zip.run" "$zip.zip"; done
with_locked_old_tree old
before=$(snapshot old)

for case in damaged:"CRC-32 mismatch" encrypted:encrypted ppmd:"unsupported compression method 98"; do
  zip=${case%%:*}
  reason=${case#*:}
  with_locked_old_tree "run-$zip"
  sfx_run "run-$zip" "$SCRATCH/$zip.run"
  sfx_expect "$zip member over an old tree: status 3, says why" 3 \
    "morrowline-sfx: file couldn't be read: pkg/z.txt: $reason"
  expect_eq "$zip member: the old tree is as it was" "$before" "$(snapshot "run-$zip")"
  check "$zip member: no staging directory or partial file left" no_debris "run-$zip"
  check "$zip member: no autorun" test ! -e "run-$zip/autorun-ran"
done

with_locked_old_tree run-limit
sfx_run run-limit bash -c 'ulimit -f 64 && exec "$0"' "$SCRATCH/big.run"
sfx_expect_like "a file-size limit in the middle: status 3, cannot write file" 3 \
  "morrowline-sfx: cannot write file: $(cd run-limit && pwd -P)/pkg/big.bin: File too large"
expect_eq "a file-size limit: the old tree is as it was" "$before" "$(snapshot run-limit)"
check "a file-size limit: nothing left behind" no_debris run-limit

with_locked_old_tree run-full
if mount -t tmpfs -o size=4m tmpfs run-full 2>/dev/null; then
  with_locked_old_tree run-full/dest
  full_before=$(snapshot run-full/dest)
  sfx_run run-full/dest "$SCRATCH/big.run"
  sfx_expect_like "a full disk: status 3, no space left" 3 \
    "morrowline-sfx: cannot write file: *: No space left on device"
  expect_eq "a full disk: the old tree is as it was" "$full_before" "$(snapshot run-full/dest)"
  check "a full disk: nothing left behind" no_debris run-full/dest
  umount run-full || true
else
  echo "skip - a full disk: cannot mount a tmpfs here"
fi

# SIGTERM, or Ctrl-\ (SIGQUIT), in the middle of the big member: the
# partial file and the staging directory go, one line says so, and the run
# ends as the signal would (SIGQUIT with a core dump, where one is wanted).
for signal in TERM:143:Terminated QUIT:131:Quit; do
  name=${signal%%:*}
  with_locked_old_tree "run-$name"
  (ulimit -c 0 && cd "run-$name" && exec "$SCRATCH/big.run") >"$name.out" 2>"$name.err" </dev/null &
  pid=$!
  GUI_WAIT=30 gui_wait_for sh -c 'test -s "$1"/.morrowline-*.new/big.bin' - "run-$name" || true
  kill -"$name" "$pid"
  status=0
  wait "$pid" || status=$?
  expect_eq "SIG$name: the run ends by the signal" "$(echo "$signal" | cut -d: -f2)" "$status"
  expect_eq "SIG$name: one line says so" "morrowline-sfx: interrupted: ${signal##*:}" \
    "$(cat "$name.err")"
  expect_eq "SIG$name: the old tree is as it was" "$before" "$(snapshot "run-$name")"
  check "SIG$name: nothing left behind" no_debris "run-$name"
  check "SIG$name: no autorun" test ! -e "run-$name/autorun-ran"
done

with_locked_old_tree run-good
sfx_run run-good "$SCRATCH/good.run"
sfx_expect "a sound installer over the old tree: status 0" 0 ""
expect_eq "a sound installer: the new tree replaces the old one, the user's file with it" \
  "d 755 - pkg|d 755 - pkg/sub|f 644 6 pkg/a.txt|f 644 6000 pkg/sub/b.txt" \
  "$(sfx_tree run-good | grep -v autorun-ran | paste -sd'|')"
check "a sound installer: nothing left behind" no_debris run-good

# ---- The working directory keeps its mode ----

for mode in 000 777; do
  make_installer "dot-$mode.run" "dot-$mode.zip"
  mkdir "dot-$mode"
  chmod 0750 "dot-$mode"
  sfx_run "dot-$mode" "$SCRATCH/dot-$mode.run"
  sfx_expect "./ stored as 040$mode: status 0" 0 ""
  expect_eq "./ stored as 040$mode: the working directory stays 750" 750 "$(stat -c %a "dot-$mode")"
done

# ---- Two members of one name ----

make_installer twice.run twice.zip
mkdir twice
sfx_run twice "$SCRATCH/twice.run"
expect_eq "two members of one name: the last one's bytes and mode" "second|755" \
  "$(cat twice/dup.txt)|$(stat -c %a twice/dup.txt)"

# ---- Members that share bytes ----

make_installer overlap.run overlap.zip
mkdir overlap
sfx_run overlap "$SCRATCH/overlap.run"
sfx_expect_like "50 entries over one 2 MB member: status 3, refused" 3 \
  "morrowline-sfx: bad zip: overlapping members: m??, m??"
expect_eq "50 entries over one member: nothing written, nothing run" "" "$(ls -A overlap)"

# ---- Names reach the terminal escaped, one failure one line ----

make_installer escape.run escape.zip
mkdir escape
sfx_run escape "$SCRATCH/escape.run"
expect_eq "a name with ESC and a newline: status 3" 3 "$RUN_STATUS"
expect_eq "a name with ESC and a newline: one line on stderr" 1 "$(printf '%s\n' "$RUN_STDERR" | wc -l)"
check "a name with ESC and a newline: no control byte on stderr" \
  sh -c '! printf "%s" "$1" | LC_ALL=C grep -q "[[:cntrl:]]"' - "$RUN_STDERR"
expect_eq "a name with ESC and a newline: shown escaped" \
  'morrowline-sfx: file couldn'"'"'t be read: bad\x1B[31m\x0Amorrowline-sfx: all fine.txt: unsupported compression method 98' \
  "$RUN_STDERR"

# ---- Two runs in one directory ----

mkdir together
(cd together && exec "$SCRATCH/big.run") >first.out 2>first.err </dev/null &
first=$!
first_window=$(wait_for_window "Morrowline SFX Tool" 20 || true)
GUI_WAIT=30 gui_wait_for sh -c 'test -e together/.morrowline-*.new/big.bin' || true
(cd together && exec "$SCRATCH/big.run") >second.out 2>second.err </dev/null &
second=$!
# Only the second run's failure window is closed: closing the first one
# would cancel its extraction.
for _ in $(seq 100); do
  kill -0 "$second" 2>/dev/null || break
  if [ -s second.err ]; then
    for window in $(xdotool search --onlyvisible --name '^Morrowline SFX Tool$' 2>/dev/null); do
      [ "$window" = "$first_window" ] || gui_key "$window" Escape
    done
  fi
  sleep 0.2
done
wait_for_exit "$second" 5
expect_eq "a second run while the first extracts: status 3, refused" \
  "status 3, stderr [morrowline-sfx: another installer is extracting here: $(cd together && pwd -P)]" \
  "status $EXIT_STATUS, stderr [$(cat second.err)]"
wait_for_exit "$first" 60
expect_eq "the first run: status 0" 0 "$EXIT_STATUS"
expect_eq "the first run: its tree whole" $((512 << 20)) "$(stat -c %s together/pkg/big.bin)"
rm -f together/pkg/big.bin

# ---- The program reads its own file ----

mkdir -p path/bin path/here
make_installer path/bin/setup-tool good.zip
make_installer path/here/setup-tool dot-000.zip  # another archive, same name
sfx_run path/here env PATH="$SCRATCH/path/bin:$PATH" setup-tool
sfx_expect "started by bare name through PATH: status 0" 0 ""
check "by bare name: its own archive is unpacked, not the file in the directory" \
  test -f path/here/pkg/sub/b.txt -a ! -e path/here/new.txt

if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
  setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  chmod 0711 "$SCRATCH"
  mkdir unreadable
  chmod 0777 unreadable
  make_installer unreadable/setup good.zip
  chmod 0111 unreadable/setup
  sfx_run unreadable setpriv --reuid=65534 --regid=65534 --clear-groups ./setup
  sfx_expect "an installer that cannot be read: status 3, says so" 3 \
    "morrowline-sfx: cannot open installer: ./setup: Permission denied"
else
  echo "skip - an unreadable installer: needs root and a working setpriv"
fi

finish
