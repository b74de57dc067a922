#!/usr/bin/env python3
"""embed_font.py PYFTSUBSET FONT OUTPUT.cpp: the window's own font.

Cuts FONT (Debian's DejaVu Sans, from fonts-dejavu-core) down to the
scripts an installer's member names mostly use, with fontTools'
pyftsubset, keeping its hinting for the monochrome rendering of 8-bit
displays, and writes it into a C++ source as embedded_font, with its
size. Stored as it is: unpacking 190 KB at every start would take half
of the program's work before its window shows, for 76 KB less program.
The font file itself is never kept in the source tree.
"""
import os
import struct
import subprocess
import sys
import tempfile

# Latin (with IPA, the combining marks that decomposed names use and
# Vietnamese), Greek, Cyrillic, general punctuation, currency, letterlike
# symbols, arrows, and U+FFFD for bytes that are no UTF-8.
UNICODES = ",".join([
    "U+0020-007E", "U+00A0-024F", "U+0250-036F", "U+0370-03FF", "U+0400-052F",
    "U+1E00-1EFF", "U+2000-206F", "U+20A0-20CF", "U+2100-214F", "U+2190-21FF",
    "U+FFFD",
])

# The Bitstream Vera licence, which DejaVu's carries on: a modified font
# takes no name with these words.
RESERVED_WORDS = (b"Bitstream", b"Vera")
# The name records a font is known by: family, subfamily, full name,
# PostScript name, typographic family and subfamily.
NAME_IDS = (1, 2, 4, 6, 16, 17)


def font_names(font):
    """The names the font is known by, as bytes, from its 'name' table."""
    count = struct.unpack(">H", font[4:6])[0]
    for i in range(count):
        tag, _, offset, _ = struct.unpack(">4sIII", font[12 + 16 * i:28 + 16 * i])
        if tag != b"name":
            continue
        _, records, strings = struct.unpack(">HHH", font[offset:offset + 6])
        for r in range(records):
            _, _, _, name_id, length, start = struct.unpack(
                ">HHHHHH", font[offset + 6 + 12 * r:offset + 18 + 12 * r])
            if name_id in NAME_IDS:
                text = font[offset + strings + start:offset + strings + start + length]
                yield text.replace(b"\0", b"")
    return


def main():
    pyftsubset, source, output = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as scratch:
        subset = os.path.join(scratch, "subset.ttf")
        subprocess.run([pyftsubset, source, "--unicodes=" + UNICODES,
                        "--output-file=" + subset], check=True,
                       stderr=subprocess.DEVNULL)
        with open(subset, "rb") as f:
            font = f.read()
    names = list(font_names(font))
    if not names:
        sys.exit("embed_font: no name table in the subset of " + source)
    for name in names:
        if any(word in name for word in RESERVED_WORDS):
            sys.exit("embed_font: the subset is named %r, which the font's licence reserves" % name)
    lines = []
    for i in range(0, len(font), 20):
        lines.append("".join("%d," % b for b in font[i:i + 20]))
    with open(output + ".new", "w") as f:
        f.write("// Made by cmake/embed_font.py from %s: do not edit.\n" % os.path.basename(source))
        f.write("#include <cstddef>\n\n")
        f.write("extern const unsigned char embedded_font[] = {\n")
        f.write("\n".join(lines))
        f.write("\n};\n")
        f.write("extern const std::size_t embedded_font_size = %d;\n" % len(font))
    os.replace(output + ".new", output)


if __name__ == "__main__":
    main()
