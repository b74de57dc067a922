#!/bin/bash
# make_seeds.sh: writes the fuzz targets' seed corpus, tests/fuzz/corpus/,
# from real archives made by Info-ZIP zip, Python's zipfile and
# morrowline-pack: plain, zip -A, ZIP64, bzip2, LZMA, Zstandard, XZ, stored,
# encrypted, data descriptors, comments, directory entries, duplicate names,
# overlapping members and link members. Each seed stays small. Run by hand,
# after a build (the packer comes from build/bin); the corpus is committed.
set -euo pipefail
cd "$(dirname "$0")"
corpus=$(pwd)/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$corpus"
mkdir -p "$corpus"
pack=$(pwd)/../../build/bin/morrowline-pack
cd "$work"

mkdir -p pkg/sub pkg/empty
printf 'alpha\n' >pkg/a.txt
printf '#!/bin/sh\necho hi\n' >pkg/run.sh
chmod 755 pkg/run.sh
seq 1 200 >pkg/sub/numbers.txt
ln -s ../a.txt pkg/sub/link
export TZ=UTC LC_ALL=C

zip -qry "$corpus/zip-tree.zip" pkg
zip -qryD "$corpus/zip-no-directory-entries.zip" pkg
zip -qry0 "$corpus/zip-stored.zip" pkg
zip -qry -Z bzip2 "$corpus/zip-bzip2.zip" pkg
zip -qry -P secret "$corpus/zip-encrypted.zip" pkg/a.txt
zip -qry "$corpus/zip-comment.zip" pkg/a.txt
printf '$AUTORUN$>sh pkg/run.sh' | zip -qz "$corpus/zip-comment.zip"
# Streamed output carries data descriptors.
zip -qr - pkg/a.txt pkg/sub/numbers.txt >"$corpus/zip-data-descriptors.zip"
# A program image in front, offsets then adjusted to the whole file.
head -c 200 /dev/zero | tr '\0' 'E' >stub
zip -qr tree.zip pkg/a.txt pkg/run.sh
cat stub tree.zip >"$corpus/zip-appended.zip"
cat stub tree.zip >adjusted.zip
zip -qA adjusted.zip
mv adjusted.zip "$corpus/zip-adjusted.zip"

# The packer's Zstandard and XZ members, behind an empty program.
: >empty-program
for method in zstd xz; do
  "$pack" -o "$corpus/pack-$method.zip" --stub empty-program --method "$method" --run true pkg
done

python3 - "$corpus" <<'PY'
import os, struct, sys, zipfile
corpus = sys.argv[1]

def write(name, members, comment=b"", method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(os.path.join(corpus, name), "w", method) as z:
        for member, data, mode in members:
            info = zipfile.ZipInfo(member, (2020, 1, 2, 3, 4, 6))
            info.compress_type = method
            info.external_attr = mode << 16 | (0x10 if member.endswith("/") else 0)
            z.writestr(info, data)
        z.comment = comment

tree = [("pkg/", b"", 0o40755), ("pkg/a", b"alpha\n" * 20, 0o100644),
        ("pkg/b/", b"", 0o40700), ("pkg/b/c", b"c", 0o100600)]
write("py-tree.zip", tree, b"$AUTORUN$>true")
write("py-dot-first.zip", [("./", b"", 0o40777), ("x", b"x", 0o100644)])
write("py-lzma.zip", tree, method=zipfile.ZIP_LZMA)
write("py-symlink.zip", [("link", b"target", 0o120777), ("fifo", b"", 0o10644)])
zipfile.ZIP64_LIMIT = 8
write("py-zip64.zip", tree)
import warnings
warnings.simplefilter("ignore")
write("py-duplicates.zip", [("same", b"first", 0o100600), ("same", b"second", 0o100755)])
write("empty.zip", [])

# Three central entries over one local entry.
data = open(os.path.join(corpus, "py-tree.zip"), "rb").read()
with zipfile.ZipFile(os.path.join(corpus, "py-tree.zip")) as z:
    info = z.getinfo("pkg/a")
end = data.rfind(b"PK\x05\x06")
count, size, offset = struct.unpack("<HII", data[end + 10:end + 20])
at = data.find(b"PK\x01\x02", offset)
while data[at + 46:at + 46 + 5] != b"pkg/a":
    at = data.find(b"PK\x01\x02", at + 4)
entry = data[at:at + 46 + 5]
entries = entry + entry.replace(b"pkg/a", b"pkg/x") + entry.replace(b"pkg/a", b"pkg/y")
record = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 3, 3, len(entries), offset, 0)
open(os.path.join(corpus, "py-overlap.zip"), "wb").write(data[:offset] + entries + record)
PY
ls -la "$corpus"
