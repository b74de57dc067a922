#!/usr/bin/env python3
"""Writes damaged and hostile archives for the installer, and what it
must do with each.

    make_corpus.py OUT_DIR

Every archive starts as one small, sound archive made by zipfile: the
directory pkg/ first, then a few files below it, deflated and stored, and
the comment "$AUTORUN$>touch autorun-ran". Each is then cut short or has
bytes changed. OUT_DIR/manifest.tsv holds one line per archive:

    NAME <TAB> STATUS <TAB> STDERR <TAB> OLD_TREE

STATUS is the exit status the installer must end with; STDERR a shell
glob for its whole standard error ("" for none), where @INSTALLER@ stands
for the installer's path as started; OLD_TREE is 1 when the run is to go
over an older pkg/ tree in the working directory, which a failed run must
leave as it was and a successful one replace whole, else 0 (an archive
whose first member is not pkg/ only adds to such a tree). The archive
named "sound" comes first and is the unchanged one. The output is the
same on every run.
"""

import hashlib
import os
import struct
import sys
import zipfile
import zlib

COMMENT = b"$AUTORUN$>touch autorun-ran"
WHEN = (2021, 6, 7, 8, 9, 10)
LOCAL_SIG = b"PK\x03\x04"
CENTRAL_SIG = b"PK\x01\x02"
END_SIG = b"PK\x05\x06"

# Field offsets inside the three records.
L_FLAGS, L_METHOD, L_CRC, L_CSIZE, L_USIZE, L_NAME_LEN, L_EXTRA_LEN = 6, 8, 14, 18, 22, 26, 28
C_FLAGS, C_METHOD, C_CRC, C_CSIZE, C_USIZE, C_NAME_LEN = 8, 10, 16, 20, 24, 28
C_EXTRA_LEN, C_COMMENT_LEN, C_OFFSET = 30, 32, 42
E_DISK_ENTRIES, E_ENTRIES, E_SIZE, E_OFFSET, E_COMMENT_LEN = 8, 10, 12, 16, 20

PREFIX = "morrowline-sfx: "
BAD_ZIP_HERE = PREFIX + "bad zip: @INSTALLER@"


def noise(size, seed):
    out = b""
    block = seed.encode()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return out[:size]


def glob_escape(text):
    """The text as a shell glob that matches only itself."""
    return "".join("\\" + c if c in "*?[]\\" else c for c in text)


def base_archive():
    """The sound archive every case starts from."""
    readme = "".join("line %d of the readme, kept short\n" % i for i in range(80))
    tool = "#!/bin/sh\n" + "".join("echo step %d of the tool\n" % i for i in range(300))
    members = [
        ("pkg/", b"", 0o40755, zipfile.ZIP_STORED),
        ("pkg/readme.txt", readme.encode(), 0o100644, zipfile.ZIP_DEFLATED),
        ("pkg/data.bin", noise(700, "data"), 0o100644, zipfile.ZIP_STORED),
        ("pkg/empty.txt", b"", 0o100644, zipfile.ZIP_STORED),
        ("pkg/bin/tool.sh", tool.encode(), 0o100755, zipfile.ZIP_DEFLATED),
    ]
    return build(members, COMMENT)


def build(members, comment):
    """members: (name, data, unix mode, method)."""
    path = os.path.join(OUT, ".build.zip")
    with zipfile.ZipFile(path, "w") as z:
        for name, data, mode, method in members:
            info = zipfile.ZipInfo(name, WHEN)
            info.compress_type = method
            info.create_system = 3
            info.external_attr = mode << 16 | (0x10 if name.endswith("/") else 0)
            z.writestr(info, data)
        z.comment = comment
    with open(path, "rb") as f:
        data = f.read()
    os.remove(path)
    return data


class Layout:
    """Where the records of an archive lie, read through its end record."""

    def __init__(self, data):
        self.end = data.rfind(END_SIG)
        entries, self.cd_size, self.cd = struct.unpack_from("<HII", data, self.end + E_ENTRIES)
        self.comment = self.end + 22
        self.entries = []  # central entry offsets
        self.locals = []  # local header offsets
        self.starts = []  # data offsets
        self.names = []
        at = self.cd
        for _ in range(entries):
            assert data[at:at + 4] == CENTRAL_SIG
            name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, at + C_NAME_LEN)
            local = struct.unpack_from("<I", data, at + C_OFFSET)[0]
            self.entries.append(at)
            self.names.append(data[at + 46:at + 46 + name_len])
            self.locals.append(local)
            assert data[local:local + 4] == LOCAL_SIG
            l_name, l_extra = struct.unpack_from("<HH", data, local + L_NAME_LEN)
            self.starts.append(local + 30 + l_name + l_extra)
            at += 46 + name_len + extra_len + comment_len

    def index(self, name):
        return self.names.index(name.encode())


def put(data, at, fmt, *values):
    out = bytearray(data)
    struct.pack_into(fmt, out, at, *values)
    return bytes(out)


def get(data, at, fmt):
    return struct.unpack_from(fmt, data, at)[0]


def in_both(data, name, local_field, central_field, fmt, value):
    """Sets one field of member `name` in its local header and its central entry."""
    lay = Layout(data)
    i = lay.index(name)
    data = put(data, lay.locals[i] + local_field, fmt, value)
    return put(data, lay.entries[i] + central_field, fmt, value)


def rename(data, old, new):
    """Gives member `old` the name `new` (of any length) in both headers."""
    old_b, new_b = old.encode("latin-1"), new.encode("latin-1")
    lay = Layout(data)
    i = lay.index(old)
    grow = len(new_b) - len(old_b)
    local, entry = lay.locals[i], lay.entries[i]
    out = bytearray(data)
    # Back to front, so that earlier offsets stay valid.
    out[entry + 46:entry + 46 + len(old_b)] = new_b
    struct.pack_into("<H", out, entry + C_NAME_LEN, len(new_b))
    out[local + 30:local + 30 + len(old_b)] = new_b
    struct.pack_into("<H", out, local + L_NAME_LEN, len(new_b))
    return refit(bytes(out), local, grow, grow)


def refit(data, after, local_grow, central_grow):
    """Adjusts the offsets after bytes were inserted at `after` (local
    records grew by local_grow, the central directory by central_grow)."""
    lay_end = data.rfind(END_SIG)
    entries, cd_size, cd = struct.unpack_from("<HII", data, lay_end + E_ENTRIES)
    cd += local_grow
    data = put(data, lay_end + E_SIZE, "<II", cd_size + central_grow, cd)
    at = cd
    for _ in range(entries):
        offset = get(data, at + C_OFFSET, "<I")
        if offset > after:
            data = put(data, at + C_OFFSET, "<I", offset + local_grow)
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, at + C_NAME_LEN)
        at += 46 + name_len + extra_len + comment_len
    return data


def add_central(data, entry_bytes):
    """Appends a central entry and counts it in the end record."""
    lay = Layout(data)
    end_at = lay.end
    data = data[:end_at] + entry_bytes + data[end_at:]
    end_at += len(entry_bytes)
    entries = get(data, end_at + E_ENTRIES, "<H") + 1
    data = put(data, end_at + E_DISK_ENTRIES, "<HH", entries, entries)
    return put(data, end_at + E_SIZE, "<I", lay.cd_size + len(entry_bytes))


def with_central_extra(data, name, extra):
    """Appends `extra` to the extra field of member `name`'s central entry."""
    lay = Layout(data)
    entry = lay.entries[lay.index(name)]
    name_len, extra_len = struct.unpack_from("<HH", data, entry + C_NAME_LEN)
    at = entry + 46 + name_len + extra_len
    data = put(data[:at] + extra + data[at:], entry + C_EXTRA_LEN, "<H", extra_len + len(extra))
    return refit(data, len(data), 0, len(extra))


def unicode_path(stored, utf8, crc_xor=0):
    """Info-ZIP's Unicode Path extra field for a member stored as `stored`."""
    return struct.pack("<HHBI", 0x7075, 5 + len(utf8), 1, zlib.crc32(stored) ^ crc_xor) + utf8


def central_bytes(data, name):
    lay = Layout(data)
    i = lay.index(name)
    end = lay.entries[i + 1] if i + 1 < len(lay.entries) else lay.end
    return data[lay.entries[i]:end]


CASES = []


def case(name, data, status, pattern="", old_tree=1):
    assert not any(c == name for c, *_ in CASES), name
    CASES.append((name, data, status, pattern, old_tree))


# What an installer whose download stopped early says (@INSTALLER@ is its
# path, filled in by the test).
CUT_SHORT = PREFIX + glob_escape("the installer is incomplete (cut short at ") + "*" + \
    glob_escape(" of its bytes?): ") + "@INSTALLER@"


def unreadable(member, reason):
    return PREFIX + "file couldn't be read: " + glob_escape(member) + ": " + reason


def main():
    base = base_archive()
    lay = Layout(base)
    # The names and the regions of the sound archive, for the checks below.
    assert [n.decode() for n in lay.names] == [
        "pkg/", "pkg/readme.txt", "pkg/data.bin", "pkg/empty.txt", "pkg/bin/tool.sh"]
    readme, data_bin, tool = 1, 2, 4

    # The sound archive itself: the run succeeds, replaces pkg/ and runs the
    # command; what it unpacks is what the harmless cases must unpack too.
    case("sound", base, 0)

    # ---- Cut short: whatever is left has no whole end record ----
    boundaries = []
    for i, name in enumerate(lay.names):
        short = name.decode().replace("pkg/", "").replace("/", "-").strip("-") or "pkg"
        boundaries.append(("local-" + short, lay.locals[i]))
        boundaries.append(("data-" + short, lay.starts[i]))
    boundaries.append(("central", lay.cd))
    for i, name in enumerate(lay.names[1:], 1):
        short = name.decode().replace("pkg/", "").replace("/", "-")
        boundaries.append(("entry-" + short, lay.entries[i]))
    boundaries.append(("end", lay.end))
    boundaries.append(("end-sizes", lay.end + E_SIZE))
    boundaries.append(("end-comment-length", lay.end + E_COMMENT_LEN))
    boundaries.append(("comment", lay.comment))
    boundaries.append(("comment-middle", lay.comment + len(COMMENT) // 2))
    boundaries.append(("comment-last", len(base) - 1))
    seen = set()
    for label, at in boundaries:
        for delta in (-3, -1, 0, 1, 3):
            cut = at + delta
            if cut <= 0 or cut >= len(base) or cut in seen:
                continue
            seen.add(cut)
            sign = "%+d" % delta if delta else ""
            # A download that stopped once the first member's signature
            # had come says so; before that, nothing ZIP-like follows.
            if cut >= len(LOCAL_SIG):
                case("cut-at-%s%s" % (label, sign), base[:cut], 3, CUT_SHORT)
            else:
                case("cut-at-%s%s" % (label, sign), base[:cut], 2)
    case("cut-to-one-byte", base[:1], 2)

    # ---- The end record lies about the central directory ----
    end = lay.end
    case("directory-offset-past-end", put(base, end + E_OFFSET, "<I", 0xFFFFFF00), 3, BAD_ZIP_HERE)
    case("directory-size-past-end", put(base, end + E_SIZE, "<I", 0x7FFFFFFF), 3, BAD_ZIP_HERE)
    case("directory-offset-and-size-past-end",
         put(base, end + E_SIZE, "<II", 0x10000000, 0xF0000000), 3, BAD_ZIP_HERE)
    # The archive's start is found from where its directory ends, so a
    # wrong offset moves the start and no member's local header is found.
    for delta, label in ((1, "more"), (-1, "less")):
        case("directory-offset-one-" + label, put(base, end + E_OFFSET, "<I", lay.cd + delta), 3,
             PREFIX + "bad zip: no local header for member: pkg/")
    case("directory-size-one-less", put(base, end + E_SIZE, "<I", lay.cd_size - 1), 3, BAD_ZIP_HERE)
    n = len(lay.names)
    case("entries-ffff", put(base, end + E_DISK_ENTRIES, "<HH", 0xFFFF, 0xFFFF), 3, BAD_ZIP_HERE)
    case("entries-one-more", put(base, end + E_DISK_ENTRIES, "<HH", n + 1, n + 1), 3, BAD_ZIP_HERE)
    case("entries-one-more-total-only", put(base, end + E_ENTRIES, "<H", n + 1), 3, BAD_ZIP_HERE)
    most = lay.cd_size // 46 + 1  # more 46-byte headers than the directory has room for
    case("entries-beyond-directory-size", put(base, end + E_DISK_ENTRIES, "<HH", most, most), 3,
         BAD_ZIP_HERE)
    case("entries-one-less", put(base, end + E_DISK_ENTRIES, "<HH", n - 1, n - 1), 3, BAD_ZIP_HERE)
    case("entries-zero-with-directory", put(base, end + E_DISK_ENTRIES, "<HH", 0, 0), 3,
         BAD_ZIP_HERE)

    # ---- Members that share bytes ----
    twin = central_bytes(base, "pkg/readme.txt").replace(b"pkg/readme.txt", b"pkg/readme.txu")
    case("two-entries-one-member", add_central(base, twin), 3,
         PREFIX + "bad zip: overlapping members: pkg/readme.tx[tu], pkg/readme.tx[tu]")
    case("same-entry-twice", add_central(base, central_bytes(base, "pkg/data.bin")), 3,
         PREFIX + "bad zip: overlapping members: pkg/data.bin, pkg/data.bin")
    case("entry-points-at-other-member",
         put(base, lay.entries[tool] + C_OFFSET, "<I", lay.locals[readme]), 3,
         PREFIX + "bad zip: overlapping members: pkg/*, pkg/*")
    case("entry-points-into-data",
         put(base, lay.entries[data_bin] + C_OFFSET, "<I", lay.starts[data_bin] + 5), 3,
         PREFIX + "bad zip: no local header for member: pkg/data.bin")
    case("local-extra-runs-past-directory",
         put(base, lay.locals[readme] + L_EXTRA_LEN, "<H", 0xFFF0), 3,
         PREFIX + "bad zip: member runs into the central directory: pkg/readme.txt")
    # A stored member whose bytes are a whole local record of another one,
    # listed by its own central entry.
    inner = build([("pkg/inner.txt", b"inner text\n" * 20, 0o100644, zipfile.ZIP_DEFLATED)], b"")
    inner_lay = Layout(inner)
    inner_record = inner[:inner_lay.cd]
    outer = build([("pkg/", b"", 0o40755, zipfile.ZIP_STORED),
                   ("pkg/outer.bin", inner_record, 0o100644, zipfile.ZIP_STORED)], COMMENT)
    outer_lay = Layout(outer)
    entry = put(inner[inner_lay.cd:inner_lay.end], C_OFFSET, "<I", outer_lay.starts[1])
    case("local-header-inside-member", add_central(outer, entry), 3,
         PREFIX + "bad zip: overlapping members: pkg/outer.bin, pkg/inner.txt")

    # ---- Sizes that lie ----
    def sizes(name, field_c, field_l, value, where):
        i = lay.index(name)
        data = base
        if "central" in where:
            data = put(data, lay.entries[i] + field_c, "<I", value)
        if "local" in where:
            data = put(data, lay.locals[i] + field_l, "<I", value)
        return data

    def csize(i):
        return get(base, lay.entries[i] + C_CSIZE, "<I")

    def usize(i):
        return get(base, lay.entries[i] + C_USIZE, "<I")

    for where in ("central", "central-local"):
        case("packed-size-larger-middle-%s" % where,
             sizes("pkg/readme.txt", C_CSIZE, L_CSIZE, csize(readme) + 1, where), 3,
             PREFIX + "bad zip: overlapping members: pkg/readme.txt, pkg/data.bin")
        case("packed-size-larger-last-%s" % where,
             sizes("pkg/bin/tool.sh", C_CSIZE, L_CSIZE, csize(tool) + 1, where), 3,
             PREFIX + "bad zip: member runs into the central directory: pkg/bin/tool.sh")
        case("packed-size-smaller-deflated-%s" % where,
             sizes("pkg/readme.txt", C_CSIZE, L_CSIZE, csize(readme) // 2, where), 3,
             unreadable("pkg/readme.txt", "truncated"))
        case("size-larger-deflated-%s" % where,
             sizes("pkg/bin/tool.sh", C_USIZE, L_USIZE, usize(tool) + 1, where), 3,
             unreadable("pkg/bin/tool.sh", "truncated"))
        case("size-smaller-deflated-%s" % where,
             sizes("pkg/readme.txt", C_USIZE, L_USIZE, usize(readme) - 1, where), 3,
             unreadable("pkg/readme.txt", "damaged data"))
        case("size-larger-stored-%s" % where,
             sizes("pkg/data.bin", C_USIZE, L_USIZE, usize(data_bin) + 100, where), 3,
             unreadable("pkg/data.bin", "truncated"))
    both_smaller = sizes("pkg/data.bin", C_CSIZE, L_CSIZE, 600, "central-local")
    both_smaller = put(both_smaller, lay.entries[data_bin] + C_USIZE, "<I", 600)
    both_smaller = put(both_smaller, lay.locals[data_bin] + L_USIZE, "<I", 600)
    case("stored-sizes-both-smaller", both_smaller, 3,
         unreadable("pkg/data.bin", "CRC-32 mismatch"))
    huge = put(base, lay.entries[tool] + C_CSIZE, "<II", 0xFFFFFFF0, 0xFFFFFFF0)
    huge = put(huge, lay.locals[tool] + L_CSIZE, "<II", 0xFFFFFFF0, 0xFFFFFFF0)
    case("sizes-huge", huge, 3,
         PREFIX + "bad zip: member runs into the central directory: pkg/bin/tool.sh")
    # The central directory is what counts: local sizes and names that
    # differ from it are not used.
    case("local-packed-size-larger",
         sizes("pkg/readme.txt", C_CSIZE, L_CSIZE, csize(readme) + 50, "local"), 0)
    case("local-packed-size-smaller", sizes("pkg/readme.txt", C_CSIZE, L_CSIZE, 3, "local"), 0)
    case("local-size-larger", sizes("pkg/bin/tool.sh", C_USIZE, L_USIZE, 99999, "local"), 0)
    local_name = lay.locals[data_bin] + 30
    case("local-name-parent", base[:local_name] + b"../../outs/x" + base[local_name + 12:], 0)

    # ---- An end-record signature inside the comment ----
    def with_comment(comment):
        data = base[:lay.comment] + comment
        return put(data, lay.end + E_COMMENT_LEN, "<H", len(comment))

    case("signature-in-comment",
         with_comment(COMMENT + b" #" + END_SIG + b"\xff" * 20 + b" tail"), 0)
    fake_empty = END_SIG + bytes(18)
    case("fake-empty-record-in-comment", with_comment(COMMENT + b" #" + fake_empty), 2)
    fake_same = END_SIG + base[lay.end + 4:lay.end + 20] + b"\0\0"
    case("fake-record-in-comment-same-directory",
         with_comment(COMMENT + b" #" + fake_same), 3, BAD_ZIP_HERE)
    fake_commented = END_SIG + bytes(16) + b"\x05\0" + b"fake!"
    case("fake-record-with-comment-in-comment", with_comment(COMMENT + b" #" + fake_commented), 2)

    # ---- A comment length past the end of the file ----
    # As a download cut inside the comment looks.
    case("comment-length-one-past", put(base, lay.end + E_COMMENT_LEN, "<H", len(COMMENT) + 1), 3,
         CUT_SHORT)
    case("comment-length-ffff", put(base, lay.end + E_COMMENT_LEN, "<H", 0xFFFF), 3, CUT_SHORT)

    # ---- Names ----
    case("name-parent-inside", rename(base, "pkg/data.bin", "pkg/../x.bin"), 3,
         PREFIX + "unsafe member name: pkg/../x.bin")
    case("name-parent-first", rename(base, "pkg/data.bin", "../pkg/x.bin"), 3,
         PREFIX + "unsafe member name: ../pkg/x.bin")
    case("name-parent-backslash", rename(base, "pkg/data.bin", "pkg\\..\\x.bin"), 3,
         PREFIX + "unsafe member name: " + glob_escape("pkg\\..\\x.bin"))
    case("name-parent-last", rename(base, "pkg/empty.txt", "pkg/.."), 3,
         PREFIX + "unsafe member name: pkg/..")
    case("name-parent-escapes", rename(base, "pkg/data.bin", "pkg/../../outside/sentinel"), 3,
         PREFIX + "unsafe member name: pkg/../../outside/sentinel")
    case("name-absolute", rename(base, "pkg/data.bin", "/tmp/morrowline-hostile.bin"), 3,
         PREFIX + "unsafe member name: /tmp/morrowline-hostile.bin")
    case("name-nul", rename(base, "pkg/data.bin", "pkg/da\0a.bin"), 3,
         PREFIX + "unsafe member name: pkg/da" + glob_escape("\\x00") + "a.bin")
    control = "pkg/\x1b[7m\nmorrowline-sfx: done.bin"
    shown = "pkg/\\x1B[7m\\x0Amorrowline-sfx: done.bin"
    named = rename(base, "pkg/data.bin", control)
    case("name-control-bytes-unsupported", in_both(named, control, L_METHOD, C_METHOD, "<H", 97), 3,
         unreadable(shown, "unsupported compression method 97"))
    case("name-control-bytes-parent", rename(base, "pkg/data.bin", "\x1b]0;x\x07/../\n.bin"), 3,
         PREFIX + "unsafe member name: " + glob_escape("\\x1B]0;x\\x07/../\\x0A.bin"))
    # A link member is unpacked as a plain file, so nothing is written
    # through it.
    link = build([("pkg/", b"", 0o40755, zipfile.ZIP_STORED),
                  ("pkg/link", b"../../outside", 0o120777, zipfile.ZIP_STORED),
                  ("pkg/link/sentinel", b"written through a link\n", 0o100644, zipfile.ZIP_STORED)],
                 COMMENT)
    case("link-then-member-through-it", link, 3,
         PREFIX + "cannot create directory: */pkg/link: Not a directory")
    # The name a member is unpacked under is the one checked: a Unicode
    # Path field's while its CRC-32 matches, and '\\' read as '/' in
    # archives made on MS-DOS.
    case("name-unicode-path-parent",
         with_central_extra(base, "pkg/data.bin", unicode_path(b"pkg/data.bin", b"../x.bin")), 3,
         PREFIX + "unsafe member name: ../x.bin")
    case("name-unicode-path-stale",
         with_central_extra(base, "pkg/data.bin", unicode_path(b"pkg/data.bin", b"../x.bin", 1)), 0)
    dos = rename(base, "pkg/data.bin", "pkg\\..\\..\\x.bin")
    dos_entry = Layout(dos).entries[Layout(dos).index("pkg\\..\\..\\x.bin")]
    case("name-dos-parent", put(dos, dos_entry + 5, "<B", 0), 3,
         PREFIX + "unsafe member name: pkg/../../x.bin")
    case("first-member-root", rename(base, "pkg/", "/"), 3, PREFIX + "unsafe member name: /")
    case("first-member-dot", rename(base, "pkg/", "./"), 0, "", 0)
    case("first-member-dot-dot-slash", rename(base, "pkg/", "././"), 0, "", 0)

    # ---- Members that cannot be unpacked ----
    for name, label in (("pkg/readme.txt", "deflated"), ("pkg/data.bin", "stored"),
                        ("pkg/bin/tool.sh", "last")):
        encrypted = base
        for field in (L_FLAGS, C_FLAGS):
            lay_e = Layout(encrypted)
            i = lay_e.index(name)
            at = (lay_e.locals[i] if field == L_FLAGS else lay_e.entries[i]) + field
            encrypted = put(encrypted, at, "<H", get(encrypted, at, "<H") | 1)
        case("encrypted-" + label, encrypted, 3, unreadable(name, "encrypted"))
    for method in (6, 97, 98):
        case("method-%d" % method, in_both(base, "pkg/data.bin", L_METHOD, C_METHOD, "<H", method),
             3, unreadable("pkg/data.bin", "unsupported compression method %d" % method))
    case("method-97-last", in_both(base, "pkg/bin/tool.sh", L_METHOD, C_METHOD, "<H", 97), 3,
         unreadable("pkg/bin/tool.sh", "unsupported compression method 97"))
    # 99 marks AES encryption, whose extra field says the real method; an
    # entry without that field does not load.
    case("method-99-without-aes-field",
         in_both(base, "pkg/data.bin", L_METHOD, C_METHOD, "<H", 99), 3, BAD_ZIP_HERE)
    crc_at = lay.entries[tool] + C_CRC
    case("crc-wrong", put(base, crc_at, "<I", get(base, crc_at, "<I") ^ 1), 3,
         unreadable("pkg/bin/tool.sh", "CRC-32 mismatch"))
    case("deflate-stream-damaged", put(base, lay.starts[readme], "<I", 0xFFFFFFFF), 3,
         unreadable("pkg/readme.txt", "damaged data"))

    with open(os.path.join(OUT, "manifest.tsv"), "w") as manifest:
        for name, data, status, pattern, old_tree in CASES:
            assert "\t" not in pattern and "\n" not in pattern
            with open(os.path.join(OUT, name + ".zip"), "wb") as f:
                f.write(data)
            manifest.write("%s\t%d\t%s\t%d\n" % (name, status, pattern, old_tree))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py OUT_DIR")
    OUT = sys.argv[1]
    os.makedirs(OUT, exist_ok=True)
    main()
