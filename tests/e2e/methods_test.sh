#!/bin/bash
# Every compression method the installer reads, in archives it did not
# make: stored, deflate, bzip2 and LZMA members from Python's zipfile
# beside Zstandard and XZ members made by the zstd and xz commands, in one
# archive. Damaged ones fail with the reason and keep the old tree; an
# 8 GiB member reads in bounded memory.
. "$(dirname "$0")/lib.sh"

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
umask 022
cd "$SCRATCH" || exit 1
start_xvfb

head -c 300000 /dev/urandom | base64 >text.txt  # compressible, not trivially
zstd -q -19 -c text.txt >text.zst
zstd -q -1 -c text.txt >part1.zst && printf 'tail\n' | zstd -q -c >part2.zst
xz -q -9 -c text.txt >text.xz
xz -q --format=xz --x86 --lzma2 -c text.txt >filtered.xz

# zip_from LIST OUT: a ZIP made by hand, one member per line of LIST:
# NAME METHOD FILE [CONTENT], FILE holding the member's stored bytes and
# CONTENT (default FILE) its content, after the folder pkg/. Python's zipfile writes the methods
# it knows, so that the archive mixes writers.
zip_from() {
  python3 - "$@" <<'EOF'
import struct, sys, zipfile, zlib
members, out = sys.argv[1:3]
known = {0: zipfile.ZIP_STORED, 8: zipfile.ZIP_DEFLATED, 12: zipfile.ZIP_BZIP2, 14: zipfile.ZIP_LZMA}
raw = []
with zipfile.ZipFile(out, "w") as z:
    folder = zipfile.ZipInfo("pkg/", (2022, 1, 2, 3, 4, 6))
    folder.external_attr = 0o40755 << 16 | 0x10
    z.writestr(folder, b"")
    for line in open(members):
        name, method, path, *content = line.split()
        method = int(method)
        data = open(path, "rb").read()
        info = zipfile.ZipInfo(name, (2022, 1, 2, 3, 4, 6))
        info.external_attr = 0o100644 << 16
        if method in known:
            info.compress_type = known[method]
            z.writestr(info, data)
        else:
            # Stored first, then given the method, sizes and CRC of its content.
            plain = open(content[0] if content else path, "rb").read()
            info.compress_type = zipfile.ZIP_STORED
            z.writestr(info, data)
            raw.append((name.encode(), method, zlib.crc32(plain), len(plain)))
    z.comment = b"$AUTORUN$>touch autorun-ran"
data = bytearray(open(out, "rb").read())
for name, method, crc, size in raw:
    for signature, m, c, u, n in ((b"PK\x03\x04", 8, 14, 22, 30), (b"PK\x01\x02", 10, 16, 24, 46)):
        at = data.find(signature)
        while data[at + n:at + n + len(name)] != name:
            at = data.find(signature, at + 1)
        struct.pack_into("<H", data, at + m, method)
        struct.pack_into("<I", data, at + c, crc)
        struct.pack_into("<I", data, at + u, size)
open(out, "wb").write(data)
EOF
}

cat >mixed.members <<'EOF'
pkg/stored.txt 0 text.txt
pkg/deflate.txt 8 text.txt
pkg/bzip2.txt 12 text.txt
pkg/lzma.txt 14 text.txt
pkg/zstd.txt 93 text.zst text.txt
pkg/xz.txt 95 text.xz text.txt
pkg/xz-x86.txt 95 filtered.xz text.txt
EOF
cat part1.zst part2.zst >two-frames.zst
cat text.txt >two-frames.txt && printf 'tail\n' >>two-frames.txt
echo "pkg/two-frames.txt 93 two-frames.zst two-frames.txt" >>mixed.members
zip_from mixed.members mixed.zip
make_installer mixed.run mixed.zip

mkdir fresh
sfx_run fresh "$SCRATCH/mixed.run"
sfx_expect "every method in one archive: status 0" 0 ""
for member in stored deflate bzip2 lzma zstd xz xz-x86; do
  check "$member member: its content" cmp -s text.txt "fresh/pkg/$member.txt"
done
check "two concatenated Zstandard frames: one content" cmp -s two-frames.txt fresh/pkg/two-frames.txt
expect_eq "--list names each method" "store deflate bzip2 lzma zstd xz xz zstd" \
  "$("$PACK" --list mixed.run | grep pkg/. | awk '{print $3}' | paste -sd' ')"
expect_eq "--check reads every method" "ok: 9 members" "$("$PACK" --check mixed.run | cut -d, -f1)"

# ---- Damaged members over an old tree ----

with_old_tree() {
  mkdir -p "$1/pkg"
  printf 'old\n' >"$1/pkg/old.txt"
}
# damaged_copy ZIP MEMBER_FILE HOW: ZIP with the stored bytes of the
# member made from MEMBER_FILE changed: "flip" turns one byte in their
# middle, "short" ends them early.
damaged_copy() {
  python3 - "$@" <<'EOF'
import sys
zip_path, member_path, how = sys.argv[1:4]
data = bytearray(open(zip_path, "rb").read())
body = open(member_path, "rb").read()
at = data.find(body)
assert at > 0
if how == "flip":
    data[at + len(body) // 2] ^= 0x55
else:
    data[at + len(body) - 64:at + len(body)] = bytes(64)
open(sys.argv[4], "wb").write(data)
EOF
}
for case in zstd:text.zst:flip:"damaged data" xz:text.xz:flip:"damaged data" \
  zstd:text.zst:short:"damaged data" stored:text.txt:flip:"CRC-32 mismatch"; do
  IFS=: read -r label file how reason <<<"$case"
  damaged_copy mixed.zip "$file" "$how" "damaged-$label-$how.zip"
  make_installer "damaged-$label-$how.run" "damaged-$label-$how.zip"
  dir="old-$label-$how"
  with_old_tree "$dir"
  before=$(snapshot "$dir")
  sfx_run "$dir" "$SCRATCH/damaged-$label-$how.run"
  sfx_expect_like "$label member, bytes ${how}ed: status 3, says why" 3 \
    "morrowline-sfx: file couldn't be read: pkg/*: $reason"
  expect_eq "$label member, bytes ${how}ed: the old tree is as it was" "$before" "$(snapshot "$dir")"
  check "$label member, bytes ${how}ed: nothing hidden left, no autorun" \
    sh -c '[ -z "$(find "$1" -name ".morrowline-*" -o -name autorun-ran)" ]' - "$dir"
done

# ---- An 8 GiB member in bounded memory ----

# AddressSanitizer reserves terabytes of address space: only the real
# programs can run under a cap.
if readelf -d "$PACK" | grep -q 'libasan'; then
  echo "skip - an 8 GiB member under ulimit -v: the sanitizer build cannot run under it"
  finish
  exit
fi
head -c 8G /dev/zero | zstd -q -1 -c >zeros.zst
python3 - <<'EOF'
import struct, zipfile, zlib
size = 8 << 30
crc, block = 0, bytes(1 << 24)
for _ in range(size // len(block)):
    crc = zlib.crc32(block, crc)
data = open("zeros.zst", "rb").read()
name = b"zeros.bin"
zip64 = struct.pack("<HHQQ", 1, 16, size, len(data))
local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 63, 0, 93, 0, 0, crc, 0xFFFFFFFF, 0xFFFFFFFF,
                    len(name), len(zip64)) + name + zip64
central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x033F, 63, 0, 93, 0, 0, crc, 0xFFFFFFFF,
                      0xFFFFFFFF, len(name), len(zip64), 0, 0, 0, 0o100644 << 16, 0) + name + zip64
body = local + data
end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(body), 0)
open("zeros.zip", "wb").write(body + central + end)
EOF
make_installer zeros.run zeros.zip
expect_eq "an 8 GiB Zstandard member checks under ulimit -v 200 MiB" "ok: 1 members, 8589934592 bytes" \
  "$(bash -c 'ulimit -v 204800 && exec "$0" --check zeros.run' "$PACK" 2>&1 | cut -d, -f1-2)"

finish
