#!/bin/bash
# shellcheck disable=SC2016 # "$AUTORUN$" and the sh -c scripts are meant literally
# Extraction by the real program: archives made by Info-ZIP zip and by
# Python's zipfile, compared with what unzip makes of the same archive, and
# the faults around an existing tree, unsafe names, links, modes and write
# failures.
. "$(dirname "$0")/lib.sh"

umask 022
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
cd "$SCRATCH" || exit 1
start_xvfb

# autorun_comment ZIP: gives an Info-ZIP archive the comment that ends a
# run by itself after extraction.
autorun_comment() {
  printf '%s' '$AUTORUN$>true' | zip -qz "$1"
}

# fresh DIR: an empty directory DIR.
fresh() {
  chmod -R u+rwx "$1" 2>/dev/null || true
  rm -rf "$1"
  mkdir -p "$1"
}

# extract ZIP DIR [WRAPPER...]: builds an installer from ZIP and runs it
# (through WRAPPER, which gets the installer's path as its last argument)
# with DIR as the working directory; see sfx_run for the results.
extract() {
  local zip=$1 dir=$2
  shift 2
  make_installer "$SCRATCH/$zip.sfx" "$zip"
  mkdir -p "$dir"
  sfx_run "$dir" "$@" "$SCRATCH/$zip.sfx"
}

# unzip_reference ZIP DIR: what unzip makes of ZIP, with each symlink
# replaced by a file holding the link text, with the default mode (that is
# how the installer writes a stored symlink).
unzip_reference() {
  fresh "$2"
  LC_ALL=C.UTF-8 unzip -q "$1" -d "$2"
  find "$2" -type l -print0 | while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    rm "$link"
    printf '%s' "$target" >"$link"
  done
}

# times_like_unzip ZIP DIR REF: every member of ZIP but links (which the
# reference recreates) has the same time in DIR as unzip gave it in REF;
# directories holding links aside too, as unzip makes links last.
times_like_unzip() {
  "$PY" - "$@" <<'EOF'
import os, stat, sys, zipfile
reference, ours = (os.fsencode(path) for path in sys.argv[2:4][::-1])
members = zipfile.ZipFile(sys.argv[1]).infolist()
# zipfile decodes names without the UTF-8 flag as CP437; back to bytes.
def raw(info):
    return info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437").rstrip(b"/")
links = [raw(info) for info in members if stat.S_ISLNK(info.external_attr >> 16)]
skipped = set(links) | {os.path.dirname(link) for link in links}
differ = []
for info in members:
    name = raw(info)
    if name in skipped:
        continue
    want = os.lstat(os.path.join(reference, name)).st_mtime_ns
    got = os.lstat(os.path.join(ours, name)).st_mtime_ns
    if want != got:
        differ.append("#   %s: unzip %d, ours %d" % (os.fsdecode(name), want, got))
print("\n".join(differ[:10]))
sys.exit(1 if differ else 0)
EOF
}

# matches_unzip ZIP DIR: DIR holds the same tree (types, modes, sizes), the
# same bytes and the same times as unzip's extraction of ZIP; differences
# are printed.
matches_unzip() {
  local ref="$SCRATCH/reference.$1"
  unzip_reference "$1" "$ref"
  if [ "$(sfx_tree "$2")" = "$(sfx_tree "$ref")" ] && diff -r "$ref" "$2" >/dev/null &&
    times_like_unzip "$1" "$2" "$ref"; then
    return 0
  fi
  diff <(sfx_tree "$ref") <(sfx_tree "$2") | sed 's/^/#   /' || true
  diff -r "$ref" "$2" 2>&1 | head -n 20 | sed 's/^/#   /' || true
  return 1
}

real() { (cd "$1" && pwd -P); }

# ---- Info-ZIP archives: with and without directory entries, bzip2, stored ----

mkdir -p tree/pkg/sub/deep tree/pkg/empty tree/pkg/private
echo alpha >tree/pkg/a.txt
printf '#!/bin/sh\necho installed\n' >tree/pkg/install.sh
chmod 0755 tree/pkg/install.sh
: >tree/pkg/sub/empty.txt
echo deep >tree/pkg/sub/deep/leaf.txt
head -c 300000 /dev/urandom >tree/pkg/sub/deep/random.bin
for i in $(seq 3000); do echo "line $i of a compressible text"; done >tree/pkg/sub/text.txt
echo secret >tree/pkg/private/key
chmod 0600 tree/pkg/private/key
chmod 0700 tree/pkg/private
printf 'spaces and accents\n' >"tree/pkg/sub/with spaces caf$(printf '\303\251') na$(printf '\303\257')ve.txt"
ln -s ../a.txt tree/pkg/sub/link-to-a
(cd tree && LC_ALL=C.UTF-8 zip -qry ../izip.zip pkg)
(cd tree && LC_ALL=C.UTF-8 zip -qryD ../izip-nodirs.zip pkg)
(cd tree && LC_ALL=C.UTF-8 zip -qry -Z bzip2 ../izip-bzip2.zip pkg)
(cd tree && LC_ALL=C.UTF-8 zip -qry0 ../izip-stored.zip pkg)
for zip in izip izip-nodirs izip-bzip2 izip-stored; do autorun_comment "$zip.zip"; done
check "zip -D archive really has no directory entries" \
  sh -c '! unzip -Z1 izip-nodirs.zip | grep -q "/\$"'
check "zip -Z bzip2 archive really holds bzip2 members" \
  sh -c 'unzip -v izip-bzip2.zip | grep -q BZip2'

for zip in izip izip-nodirs izip-bzip2 izip-stored; do
  fresh "out-$zip"
  extract "$zip.zip" "out-$zip"
  sfx_expect "$zip: status 0, nothing on stderr" 0 ""
  check "$zip: tree, modes and bytes as unzip makes them" matches_unzip "$zip.zip" "out-$zip"
done
expect_eq "zip -y symlink: written as a regular file" "f" "$(find out-izip/pkg/sub/link-to-a -printf '%y')"
expect_eq "zip -y symlink: the file holds the link text" "../a.txt" "$(cat out-izip/pkg/sub/link-to-a)"
expect_eq "executable script keeps mode 0755" "755" "$(stat -c %a out-izip/pkg/install.sh)"
expect_eq "directory entry 0700 and file 0600 keep their modes" "700 600" \
  "$(stat -c %a out-izip/pkg/private) $(stat -c %a out-izip/pkg/private/key)"
check "empty directory entry creates the directory" test -d out-izip/pkg/empty
check "empty file extracted empty" sh -c 'test -f out-izip/pkg/sub/empty.txt && ! test -s out-izip/pkg/sub/empty.txt'

# A name with a byte that is not UTF-8 (unzip drops such bytes, so this is
# checked directly): the name is written as stored.
mkdir -p rawname
printf 'raw\n' >"rawname/raw$(printf '\377')byte.txt"
(cd rawname && LC_ALL=C zip -q ../rawname.zip ./*.txt)
autorun_comment rawname.zip
fresh out-rawname
extract rawname.zip out-rawname
sfx_expect "raw-byte name: status 0" 0 ""
expect_eq "raw-byte name: file written under the stored bytes" "raw" \
  "$(cat "out-rawname/raw$(printf '\377')byte.txt" 2>/dev/null || echo missing)"

# ---- Archives made by Python's zipfile ----

"$PY" - <<'EOF'
import struct, zipfile

WHEN = (2021, 6, 7, 8, 9, 10)
AUTORUN = b"$AUTORUN$>true"

def write(path, members, comment=AUTORUN):
    """members: (name, data[, unix mode[, options]])"""
    with zipfile.ZipFile(path, "w") as z:
        for member in members:
            name, data = member[0], member[1]
            mode = member[2] if len(member) > 2 else None
            options = member[3] if len(member) > 3 else {}
            info = zipfile.ZipInfo(name, WHEN)
            info.compress_type = options.get("method", zipfile.ZIP_DEFLATED)
            if "system" in options:
                info.create_system = options["system"]
            info.extra = options.get("extra", b"")
            if mode is not None:
                info.external_attr = mode << 16 | (0x10 if name.endswith("/") else 0)
            z.writestr(info, data)
        z.comment = comment

def edit(path, changes):
    """Rewrites an archive entry by entry. changes maps a stored name to a
    dict of: name (new name bytes), attr (external attributes), system
    (host system byte), crc_xor (flips CRC bits in both headers)."""
    data = open(path, "rb").read()
    end = data.rfind(b"PK\x05\x06")
    _, _, _, _, count, _, offset, comment_size = struct.unpack("<IHHHHIIH", data[end:end + 22])
    comment = data[end + 22:end + 22 + comment_size]
    body, central, at = bytearray(), bytearray(), offset
    for _ in range(count):
        c = list(struct.unpack("<IHHHHHHIIIHHHHHII", data[at:at + 46]))
        name = data[at + 46:at + 46 + c[10]]
        tail = data[at + 46 + c[10]:at + 46 + c[10] + c[11] + c[12]]
        at += 46 + c[10] + c[11] + c[12]
        lo = c[16]
        local = list(struct.unpack("<IHHHHHIIIHH", data[lo:lo + 30]))
        assert not local[2] & 8, "data descriptors are not handled"
        start = lo + 30 + local[9]
        extra = data[start:start + local[10]]
        payload = data[start + local[10]:start + local[10] + c[8]]
        change = changes.get(name, {})
        new_name = change.get("name", name)
        if "crc_xor" in change:
            c[7] ^= change["crc_xor"]
            local[6] ^= change["crc_xor"]
        if "attr" in change:
            c[15] = change["attr"]
        if "system" in change:
            c[1] = (c[1] & 0xFF) | change["system"] << 8
        c[10] = local[9] = len(new_name)
        c[16] = len(body)
        body += struct.pack("<IHHHHHIIIHH", *local) + new_name + extra + payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", *c) + new_name + tail
    out = body + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count,
                                       len(central), len(body), len(comment)) + comment
    open(path, "wb").write(out)

# Explicit modes, stored and deflated members, a UTF-8 flagged name, a
# member whose parent directories have no entries.
write("python.zip", [
    ("pydir/", b"", 0o40750),
    ("pydir/private.txt", b"private\n", 0o100600),
    ("pydir/tool", b"#!/bin/sh\nexit 0\n", 0o100755, {"method": zipfile.ZIP_STORED}),
    ("pydir/readonly.txt", b"read only\n", 0o100444),
    ("pydir/na\u00efve \u65e5\u672c.txt", "unicode name\n".encode(), 0o100644),
    ("pydir/empty", b"", 0o100644),
    ("pydir/deep/er/file.txt", b"x" * 100000, 0o100640),
    ("top.txt", b"top\n", 0o100664, {"method": zipfile.ZIP_STORED}),
])
write("lzma.zip", [("ok.txt", b"fine\n", 0o100644),
                   ("packed.txt", b"lzma " * 2000, 0o100644, {"method": zipfile.ZIP_LZMA})])

# A tree replacing an older one: pkg/ comes first.
write("pkg.zip", [("pkg/", b"", 0o40755), ("pkg/a.txt", b"new a\n", 0o100644),
                  ("pkg/sub/", b"", 0o40755), ("pkg/sub/b.txt", b"new b\n", 0o100644)])
# A first member naming the destination itself.
write("dot.zip", [("./", b"", 0o40755), ("new.txt", b"new\n", 0o100644)])
# A member below a directory that may already be a link: a.txt, d/f, z.txt.
write("through.zip", [("a.txt", b"a\n", 0o100644), ("d/f", b"new f\n", 0o100644),
                      ("z.txt", b"z\n", 0o100644)])

# Unsafe names, each behind a harmless member; one also behind pkg/.
unsafe = {"dotdot": b"../x", "dotdot2": b"a/../../x", "absolute": b"/abs/x",
          "backslash": b"..\\x", "backslash2": b"a\\..\\..\\x", "bare-dotdot": b"..",
          "trailing-dotdot": b"a/b/..", "empty": b"", "nul": b"a\0b"}
for label, name in unsafe.items():
    write("unsafe-%s.zip" % label, [("good.txt", b"good\n", 0o100644),
                                     ("PLACEHOLDER", b"bad\n", 0o100644)])
    edit("unsafe-%s.zip" % label, {b"PLACEHOLDER": {"name": name}})
    open("unsafe-%s.name" % label, "wb").write(name)
write("unsafe-late.zip", [("pkg/", b"", 0o40755), ("pkg/a.txt", b"new a\n", 0o100644),
                          ("PLACEHOLDER", b"bad\n", 0o100644)])
edit("unsafe-late.zip", {b"PLACEHOLDER": {"name": b"pkg/../../escape"}})

# Names from Windows tools: a code-page name with Info-ZIP's Unicode Path
# field (honoured while its CRC-32 matches the stored name), and '\\'
# between directories in an archive made on MS-DOS (host 0).
import zlib
def unicode_path(stored, utf8, crc_xor=0):
    return struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(stored) ^ crc_xor) + utf8
write("windows-names.zip", [
    ("PLACE1", b"cafe\n", 0o100644, {"extra": unicode_path(b"caf\x82.txt", "café.txt".encode())}),
    ("PLACE2", b"stale\n", 0o100644, {"extra": unicode_path(b"old\x82.txt", b"new.txt", 1)}),
    ("dos\\dir\\file.txt", b"dos\n", None, {"system": 0})])
edit("windows-names.zip", {b"PLACE1": {"name": b"caf\x82.txt"}, b"PLACE2": {"name": b"old\x82.txt"}})

# Directories stored read-only with members inside.
write("readonly-dirs.zip", [("ro/", b"", 0o40555), ("ro/f.txt", b"inside\n", 0o100644),
                            ("ro/sub/", b"", 0o40555), ("ro/sub/g.txt", b"g\n", 0o100444)])
# The same in place, behind a first member that is a file.
write("readonly-in-place.zip", [("readme.txt", b"r\n", 0o100644)] +
      [m for m in [("ro/", b"", 0o40555), ("ro/f.txt", b"inside\n", 0o100644),
                   ("ro/sub/", b"", 0o40555), ("ro/sub/g.txt", b"g\n", 0o100444)]])
# Deepest directory first matters when a parent loses its search bit.
write("nosearch.zip", [("top/", b"", 0o40444), ("top/mid/", b"", 0o40555),
                       ("top/mid/f.txt", b"f\n", 0o100644)])

# Unix modes next to members without any (made on Windows).
write("modes.zip", [
    ("u/", b"", 0o40755), ("u/tool", b"tool\n", 0o100755), ("u/plain", b"plain\n", 0o100644),
    ("nodir/f", b"f\n", 0o100644),
    ("w/", b"", None, {"system": 0}), ("w/doc.txt", b"doc\n", None, {"system": 0}),
    ("w/arch.txt", b"arch\n", None, {"system": 0}),
])
edit("modes.zip", {b"w/": {"attr": 0x10, "system": 0}, b"w/doc.txt": {"attr": 0, "system": 0},
                   b"w/arch.txt": {"attr": 0x20, "system": 0}})

write("special.zip", [("setuid", b"#!/bin/sh\n", 0o104755), ("setgid", b"#!/bin/sh\n", 0o102755),
                      ("sticky/", b"", 0o41777)])

# A member whose CRC does not match its bytes.
write("badcrc.zip", [("f.txt", b"new contents\n" * 50, 0o100644)])
edit("badcrc.zip", {b"f.txt": {"crc_xor": 0x5A5A}})

# One member larger than 64 KiB.
write("big.zip", [("big.bin", b"\0" * (200 * 1024), 0o100644)])
write("small.zip", [("f.txt", b"small\n", 0o100644)])
EOF

check "python zipfile kept the unsafe name as given" \
  sh -c 'unzip -Z1 unsafe-dotdot.zip | grep -qx "\.\./x"'
check "modes.zip: w/doc.txt is a Windows member with attributes 0" "$PY" -c '
import sys, zipfile
info = zipfile.ZipFile("modes.zip").getinfo("w/doc.txt")
sys.exit(not (info.create_system == 0 and info.external_attr == 0))'

fresh out-python
extract python.zip out-python
sfx_expect "python zipfile archive: status 0" 0 ""
check "python zipfile archive: tree, modes and bytes as unzip makes them" matches_unzip python.zip out-python

fresh out-lzma
extract lzma.zip out-lzma
sfx_expect "LZMA member (Python's, with an end marker): status 0" 0 ""
expect_eq "LZMA member: its bytes (unzip 6.0 reads no LZMA)" "$(printf 'lzma %.0s' $(seq 2000))" \
  "$(cat out-lzma/packed.txt)"

# ---- The first member's old place ----

outside=$SCRATCH/outside
fresh "$outside"
echo "outside file" >"$outside/keep.txt"
outside_before=$(sfx_tree "$outside")

fresh out-replace
mkdir -p out-replace/pkg/sub out-replace/pkg/old/deeper
echo "old a" >out-replace/pkg/a.txt
echo stale >out-replace/pkg/stale.txt
echo stale >out-replace/pkg/old/deeper/x.txt
chmod 0555 out-replace/pkg/old
ln -s "$outside" out-replace/pkg/escape
extract pkg.zip out-replace
sfx_expect "pkg/ over an existing tree: status 0" 0 ""
check "pkg/ over an existing tree: old files gone, new tree as unzip makes it" \
  matches_unzip pkg.zip out-replace
expect_eq "pkg/ over an existing tree: a link's target outside is left alone" \
  "$outside_before" "$(sfx_tree "$outside")"

fresh out-dot
echo keep >out-dot/keep.txt
extract dot.zip out-dot
sfx_expect "first member naming the destination itself: status 0" 0 ""
expect_eq "first member naming the destination itself: destination not wiped" \
  "keep new" "$(cat out-dot/keep.txt out-dot/new.txt | tr '\n' ' ' | sed 's/ $//')"

fresh out-overfile
echo keep >out-overfile/pkg
extract pkg.zip out-overfile
sfx_expect_like "pkg/ over a regular file pkg: status 3, cannot create directory" 3 \
  "morrowline-sfx: cannot create directory: $(real out-overfile)/pkg: *"
expect_eq "pkg/ over a regular file pkg: the file is untouched, nothing else written" \
  "f 644 5 pkg|keep" "$(sfx_tree out-overfile)|$(cat out-overfile/pkg)"

fresh out-overlink
ln -s "$outside" out-overlink/pkg
extract pkg.zip out-overlink
sfx_expect "pkg/ over a symlink to a directory outside: status 3, leads outside" 3 \
  "morrowline-sfx: path leads outside the destination: $(real out-overlink)/pkg -> $(real "$outside")"
expect_eq "pkg/ over a symlink outside: outside directory untouched" "$outside_before" "$(sfx_tree "$outside")"
check "pkg/ over a symlink outside: the link itself stays" test -L out-overlink/pkg

# ---- Unsafe member names: refused before anything is written ----

for namefile in unsafe-*.name; do
  label=${namefile#unsafe-}
  label=${label%.name}
  fresh "names-$label/dest"
  extract "unsafe-$label.zip" "names-$label/dest"
  sfx_expect_like "unsafe name ($label): status 3, unsafe member name" 3 "morrowline-sfx: unsafe member name*"
  expect_eq "unsafe name ($label): nothing written in or beside the destination" \
    "dest|" "$(ls -A "names-$label")|$(ls -A "names-$label/dest")"
done
for label in dotdot dotdot2 absolute backslash backslash2; do
  fresh "names-$label/dest"
  extract "unsafe-$label.zip" "names-$label/dest"
  sfx_expect "unsafe name ($label): the name is given in the message" 3 \
    "morrowline-sfx: unsafe member name: $(cat "unsafe-$label.name")"
done
check "unsafe absolute name: nothing created at /abs/x" test ! -e /abs/x
fresh out-windows
extract windows-names.zip out-windows
sfx_expect "names from Windows tools: status 0" 0 ""
expect_eq "names from Windows tools: the UTF-8 name while its CRC matches, '\\' between directories" \
  "$(printf 'café.txt|dos/dir/file.txt|old\202.txt')" \
  "$(cd out-windows && find . -type f | sed 's|^\./||' | LC_ALL=C sort | paste -sd'|')"
fresh out-late
mkdir -p out-late/pkg
echo old >out-late/pkg/old.txt
extract unsafe-late.zip out-late
sfx_expect "unsafe name after pkg/: status 3" 3 "morrowline-sfx: unsafe member name: pkg/../../escape"
expect_eq "unsafe name after pkg/: the old pkg tree is untouched" \
  "d 755 - pkg|f 644 4 pkg/old.txt" "$(sfx_tree out-late | paste -sd'|')"

# ---- Links already in the destination ----

fresh "$outside"
fresh out-through
ln -s "$outside" out-through/d
extract through.zip out-through
sfx_expect "member d/f under an existing link d -> outside: status 3, leads outside" 3 \
  "morrowline-sfx: path leads outside the destination: $(real out-through)/d -> $(real "$outside")"
expect_eq "d -> outside: nothing written outside" "" "$(ls -A "$outside")"
expect_eq "d -> outside: the run stopped at that member (a.txt done, z.txt not)" \
  "a.txt d" "$(find out-through -mindepth 1 -maxdepth 1 -printf "%P\n" | sort | paste -sd" ")"

echo "link target" >"$SCRATCH/target.txt"
fresh out-leaf
mkdir -p out-leaf/d
ln -s "$SCRATCH/target.txt" out-leaf/d/f
ln -s "$SCRATCH/no-such-target" out-leaf/a.txt
extract through.zip out-leaf
sfx_expect "leaf symlinks at members' places: status 0" 0 ""
expect_eq "leaf symlink: replaced by a regular file with the member's bytes" "f|new f" \
  "$(find out-leaf/d/f -printf '%y')|$(cat out-leaf/d/f)"
expect_eq "leaf symlink: its target is untouched" "link target" "$(cat "$SCRATCH/target.txt")"
expect_eq "dangling leaf symlink: replaced, nothing created at its target" "f|no" \
  "$(find out-leaf/a.txt -printf '%y')|$(test -e "$SCRATCH/no-such-target" && echo yes || echo no)"

echo "hard target" >"$SCRATCH/hard.txt"
fresh out-hard
mkdir -p out-hard/d
ln "$SCRATCH/hard.txt" out-hard/d/f
extract through.zip out-hard
sfx_expect "hard link at a member's place: status 0" 0 ""
expect_eq "hard link: the member's bytes are in place" "new f" "$(cat out-hard/d/f)"
expect_eq "hard link: the other name keeps its bytes and is no longer shared" "hard target 1" \
  "$(cat "$SCRATCH/hard.txt") $(stat -c %h "$SCRATCH/hard.txt")"

# ---- Modes ----

fresh out-readonly
extract readonly-dirs.zip out-readonly
sfx_expect "directories stored 0555 with members inside: status 0" 0 ""
expect_eq "directories stored 0555: modes applied, members inside written" \
  "d 555 - ro|d 555 - ro/sub|f 444 2 ro/sub/g.txt|f 644 7 ro/f.txt" "$(sfx_tree out-readonly | paste -sd'|')"
check "directories stored 0555: as unzip makes them" matches_unzip readonly-dirs.zip out-readonly

fresh out-modes
extract modes.zip out-modes
sfx_expect "Unix and Windows members, umask 022: status 0" 0 ""
expect_eq "umask 022: stored modes kept, members without a mode get 0644 / 0755" \
  "d 755 - nodir|d 755 - u|d 755 - w|f 644 2 nodir/f|f 644 4 w/doc.txt|f 644 5 w/arch.txt|f 644 6 u/plain|f 755 5 u/tool" \
  "$(sfx_tree out-modes | paste -sd'|')"

fresh out-umask
extract modes.zip out-umask sh -c 'umask 077 && exec "$0"'
sfx_expect "Unix and Windows members, umask 077: status 0" 0 ""
expect_eq "umask 077: stored 0755 kept, members without a mode get 0600 / 0700" \
  "d 700 - nodir|d 700 - w|d 755 - u|f 600 4 w/doc.txt|f 600 5 w/arch.txt|f 644 2 nodir/f|f 644 6 u/plain|f 755 5 u/tool" \
  "$(sfx_tree out-umask | paste -sd'|')"

fresh out-special
extract special.zip out-special
sfx_expect "setuid, setgid and sticky members: status 0" 0 ""
expect_eq "setuid and setgid bits dropped, the sticky bit kept" "755 755 1777" \
  "$(stat -c %a out-special/setuid out-special/setgid out-special/sticky | paste -sd' ')"

# ---- A member that fails its CRC ----

fresh out-crc
printf 'old bytes\n' >out-crc/f.txt
extract badcrc.zip out-crc
sfx_expect "bad CRC over an existing file: status 3, file couldn't be read" 3 \
  "morrowline-sfx: file couldn't be read: f.txt: CRC-32 mismatch"
expect_eq "bad CRC: the old file keeps its bytes, no temporary file left" "f.txt|old bytes" \
  "$(find out-crc -mindepth 1 -printf '%P\n' | paste -sd' ')|$(cat out-crc/f.txt)"
fresh out-crc-new
extract badcrc.zip out-crc-new
sfx_expect "bad CRC, no old file: status 3" 3 \
  "morrowline-sfx: file couldn't be read: f.txt: CRC-32 mismatch"
expect_eq "bad CRC, no old file: nothing left behind" "" "$(ls -A out-crc-new)"

# ---- Write failures ----

# Under a file-size limit the kernel would kill the writer with SIGXFSZ;
# the run must instead fail cleanly and leave no temporary file.
fresh out-fsize
extract big.zip out-fsize bash -c 'ulimit -f 64 && exec "$0"'
sfx_expect "file size limit: status 3, cannot write file" 3 \
  "morrowline-sfx: cannot write file: $(real out-fsize)/big.bin: File too large"
expect_eq "file size limit: no partial file left" "" "$(ls -A out-fsize)"

# The same with SIGXFSZ ignored, so that the write itself fails.
fresh out-fsize-ignored
extract big.zip out-fsize-ignored bash -c 'ulimit -f 64 && trap "" XFSZ && exec "$0"'
sfx_expect_like "file size limit, SIGXFSZ ignored: status 3, cannot write file" 3 \
  "morrowline-sfx: cannot write file: $(real out-fsize-ignored)/big.bin: File too large"
expect_eq "file size limit, SIGXFSZ ignored: no partial file left" "" "$(ls -A out-fsize-ignored)"

fresh out-full
if mount -t tmpfs -o size=64k tmpfs out-full 2>/dev/null; then
  extract big.zip out-full
  sfx_expect_like "full file system: status 3, cannot write file" 3 \
    "morrowline-sfx: cannot write file: $(real out-full)/big.bin: No space left on device"
  expect_eq "full file system: no partial file left" "" "$(ls -A out-full)"
  umount out-full || true
else
  echo "skip - full file system: cannot mount a tmpfs here"
fi

# Runs as an ordinary user, where permissions count.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null &&
  setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
  nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  chmod 0711 "$SCRATCH"

  fresh out-ro
  chmod 0555 out-ro
  extract small.zip out-ro "${nobody[@]}"
  sfx_expect_like "read-only destination (as nobody): status 3, cannot create file" 3 \
    "morrowline-sfx: cannot create file: $(real out-ro)/f.txt: Permission denied"
  expect_eq "read-only destination: nothing written" "" "$(ls -A out-ro)"

  # A parent without its search bit set before its child would make the
  # child's mode impossible to set.
  fresh out-nobody
  chown 65534:65534 out-nobody
  extract nosearch.zip out-nobody "${nobody[@]}"
  sfx_expect "dir stored 0444 holding a dir stored 0555 (as nobody): status 0" 0 ""
  expect_eq "directory modes applied after the members, deepest first" \
    "d 444 - top|d 555 - top/mid|f 644 2 top/mid/f.txt" "$(sfx_tree out-nobody | paste -sd'|')"

  fresh out-nobody-ro
  chown 65534:65534 out-nobody-ro
  extract readonly-dirs.zip out-nobody-ro "${nobody[@]}"
  sfx_expect "directories stored 0555 with members inside (as nobody): status 0" 0 ""
  expect_eq "directories stored 0555 (as nobody): members written, then modes applied" \
    "d 555 - ro|d 555 - ro/sub|f 444 2 ro/sub/g.txt|f 644 7 ro/f.txt" "$(sfx_tree out-nobody-ro | paste -sd'|')"

  # Files written in place take their names before their folders shut.
  fresh out-nobody-ro-in-place
  chown 65534:65534 out-nobody-ro-in-place
  extract readonly-in-place.zip out-nobody-ro-in-place "${nobody[@]}"
  sfx_expect "in place, directories stored 0555 (as nobody): status 0" 0 ""
  expect_eq "in place, directories stored 0555 (as nobody): members in, then modes" \
    "d 555 - ro|d 555 - ro/sub|f 444 2 ro/sub/g.txt|f 644 2 readme.txt|f 644 7 ro/f.txt" \
    "$(sfx_tree out-nobody-ro-in-place | paste -sd'|')"
else
  echo "skip - read-only destination and permission cases: need root and a working setpriv"
fi

finish
