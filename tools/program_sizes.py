#!/usr/bin/env python3
"""program_sizes.py MAP...: what each library costs in an installer program.

Reads the GNU ld link map that the build writes beside each installer
program (build/bin/morrowline-sfx.map, and for aarch64
build/aarch64/build/bin/morrowline-sfx.map) and prints, per library, the
bytes of code and data the linker kept from it: the sections that load
into memory, without .bss, which takes no room in the file. The program's
own libraries count as "morrowline-sfx", its font apart; the C library's
start files and libm as glibc. One column per map, as a Markdown table.
"""
import collections
import os
import re
import sys

# Sections kept whole in the file's loaded part.
LOADED = re.compile(r"^\.(text|rodata|data|init_array|fini_array|eh_frame|gcc_except_table|"
                    r"tdata|data\.rel\.ro|got|relr|rela)")

OWN = re.compile(r"libmorrowline_|main\.cpp\.o|static_(glibc|x11)")
FONT = re.compile(r"embedded_font_data")
GLIBC = re.compile(r"^(libc\.a|libm.*\.a|libc_nonshared\.a|[a-z]*crt[a-z0-9]*\.o|crt[in]\.o)$")


def library_of(source):
    name = os.path.basename(re.sub(r"\(.*\)$", "", source))
    if FONT.search(source):
        return "DejaVu Sans subset"
    if OWN.search(source):
        return "morrowline-sfx"
    if GLIBC.match(name):
        return "glibc"
    if name in ("libstdc++.a", "libgcc.a", "libgcc_eh.a") or name.startswith("crtbegin") \
            or name.startswith("crtend"):
        return "libstdc++, libgcc"
    return re.sub(r"\.a$", "", name)


def sizes(path):
    kept = collections.Counter()
    output = None
    in_map = False
    for line in open(path, encoding="utf-8", errors="replace"):
        line = line.rstrip("\n")
        if line.startswith("Linker script and memory map"):
            in_map = True
            continue
        if not in_map:
            continue
        if line.startswith("Cross Reference Table"):
            break
        match = re.match(r"^(\.\S+)", line)
        if match:
            output = match.group(1)
            continue
        match = re.match(r"^ (\.\S+)?\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)$", line)
        if match and output and LOADED.match(output):
            kept[library_of(match.group(3))] += int(match.group(2), 16)
    return kept


def main():
    maps = sys.argv[1:]
    if not maps:
        sys.exit(__doc__)
    tables = [sizes(path) for path in maps]
    names = sorted(set().union(*tables), key=lambda n: -max(t[n] for t in tables))
    print("| library | " + " | ".join(os.path.relpath(m) for m in maps) + " |")
    print("|---|" + "---:|" * len(maps))
    for name in names:
        print("| %s | %s |" % (name, " | ".join("%.0f KiB" % (t[name] / 1024) for t in tables)))
    print("| all | %s |" % " | ".join("%.0f KiB" % (sum(t.values()) / 1024) for t in tables))


if __name__ == "__main__":
    main()
