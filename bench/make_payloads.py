#!/usr/bin/env python3
"""Makes the benchmark's payload trees, the same bytes on every run.

    bench/make_payloads.py [--scale F] [--only NAME,...] DIR

writes DIR/NAME/pkg/... for each payload and, when a tree is complete,
DIR/NAME/.made. Files are overwritten in place, never deleted first, so an
interrupted run is simply run again.

  small   20,000 files of 200 B - 4 KiB (log-uniform, ~25 MB) in 400 folders
  medium  400 files of 50 KiB - 2 MiB (skewed to the small end, ~95 MiB)
  large   two files of 300 MiB: one text-like, one random
  mixed   two files of 150 MB (150,000,000 B): numbered lines of one
          repeating sentence, and random bytes
  tiny    10,000 files of 50 - 500 B in 100 folders: start-up and per-file cost
  one     a single small file: the start-up alone
  system  what a real installer carries, copied from this machine: programs
          and libraries, Python sources, and every package's copyright text

Text-like content is cut from a generated corpus of Zipf-distributed words,
so it deflates about as well as source code or prose; the random content
does not deflate at all. Small and medium files mix the two. File modes are
0644, 0755 or 0600. --scale multiplies the file and folder counts and the
large and mixed files' sizes (0.02 makes a quick test set).
"""
import argparse
import itertools
import os
import random
import sys

KIB = 1024
MIB = 1024 * KIB
CHUNK = 4 * MIB


def make_corpus(seed, size=2 * MIB):
    rng = random.Random(seed)
    syllables = ["ka", "lo", "mi", "ne", "ru", "sa", "to", "vi", "el", "an", "or",
                 "ex", "un", "qu", "ta", "de", "ri", "po", "zu", "in"]
    vocab = set()
    while len(vocab) < 3000:
        vocab.add("".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))))
    vocab = sorted(vocab)
    rng.shuffle(vocab)
    vocab += ["=", "{", "}", "();", "return", "0", "1", "if", "for", "the", "path/to/file"]
    cum_weights = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(vocab))))
    lines = []
    total = 0
    while total < size:
        words = rng.choices(vocab, cum_weights=cum_weights, k=rng.randint(3, 14))
        if rng.random() < 0.2:
            words.append(str(rng.randrange(100000)))
        line = " " * (2 * rng.randint(0, 3)) + " ".join(words) + "\n"
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()


class Content:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.corpus = make_corpus(seed + 1)

    def text(self, size):
        parts = []
        left = size
        while left > 0:
            n = min(left, self.rng.randint(4 * KIB, 64 * KIB))
            start = self.rng.randrange(len(self.corpus) - n) if n < len(self.corpus) else 0
            parts.append(self.corpus[start:start + n])
            left -= n
        return b"".join(parts)

    def random(self, size):
        return self.rng.randbytes(size)

    def mixed(self, size, random_share):
        """Text with one random stretch of random_share of the size."""
        r = int(size * random_share)
        t = size - r
        cut = self.rng.randint(0, t)
        return self.text(cut) + self.random(r) + self.text(t - cut)

    def mode(self):
        x = self.rng.random()
        return 0o644 if x < 0.75 else 0o755 if x < 0.9 else 0o600


def write(path, data, mode):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, mode)


def folder(path):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0o755)


def log_uniform(lo, hi, count, power, rng):
    """count sizes at evenly spaced quantiles, shuffled: the total does not
    depend on luck."""
    sizes = [int(lo * (hi / lo) ** (((i + 0.5) / count) ** power)) for i in range(count)]
    rng.shuffle(sizes)
    return sizes


def small(root, scale):
    content = Content(101)
    top = max(1, round(20 * scale))
    sub = 19  # 20 top folders with 19 below each: 400 folders
    folders = []
    for t in range(top):
        folders.append(os.path.join(root, "d%02d" % t))
        folders += [os.path.join(root, "d%02d" % t, "s%02d" % s) for s in range(sub)]
    for f in folders:
        folder(f)
    count = max(1, round(20000 * scale))
    exts = [".txt", ".c", ".h", ".json", ".xml", ".png", ".dat"]
    for i, size in enumerate(log_uniform(200, 4 * KIB, count, 1, content.rng)):
        x = content.rng.random()
        if x < 0.8:
            data = content.text(size)
        elif x < 0.9:
            data = content.mixed(size, 0.5)
        else:
            data = content.random(size)
        name = "f%05d%s" % (i, exts[i % len(exts)])
        write(os.path.join(folders[i % len(folders)], name), data, content.mode())


def medium(root, scale):
    content = Content(202)
    count = max(1, round(400 * scale))
    folders = [os.path.join(root, "m%d" % d) for d in range(max(1, round(10 * scale)))]
    for f in folders:
        folder(f)
    for i, size in enumerate(log_uniform(50 * KIB, 2 * MIB, count, 3.2, content.rng)):
        x = content.rng.random()
        if x < 0.45:
            data, ext = content.text(size), ".txt"
        elif x < 0.7:
            data, ext = content.mixed(size, content.rng.uniform(0.2, 0.8)), ".bin"
        else:
            data, ext = content.random(size), ".pak"
        write(os.path.join(folders[i % len(folders)], "file%03d%s" % (i, ext)), data,
              content.mode())


def large(root, scale):
    size = max(MIB, int(300 * MIB * scale))
    for name, seed, mode, text in (("text.log", 303, 0o644, True),
                                   ("random.bin", 304, 0o600, False)):
        content = Content(seed)
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            left = size
            while left > 0:
                n = min(left, CHUNK)
                f.write(content.text(n) if text else content.random(n))
                left -= n
        os.chmod(path, mode)


MIXED_LINE = "%08d entry for the large payload, mostly repeating text\n"
MIXED_LINES = 20000


def mixed(root, scale):
    """Lines 0 .. 19999 of MIXED_LINE (60 bytes each, 1,200,000 a round),
    again and again up to the size, which cuts the last round: 150,000,000
    bytes are 125 whole rounds. And as many random bytes."""
    size = max(MIB, int(150000000 * scale))
    block = "".join(MIXED_LINE % i for i in range(MIXED_LINES)).encode()
    path = os.path.join(root, "entries.txt")
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n
    os.chmod(path, 0o644)
    content = Content(606)
    path = os.path.join(root, "random.bin")
    with open(path, "wb") as f:
        left = size
        while left > 0:
            n = min(left, CHUNK)
            f.write(content.random(n))
            left -= n
    os.chmod(path, 0o600)


def tiny(root, scale):
    content = Content(404)
    folders = [os.path.join(root, "t%02d" % d) for d in range(max(1, round(100 * scale)))]
    for f in folders:
        folder(f)
    count = max(1, round(10000 * scale))
    for i, size in enumerate(log_uniform(50, 500, count, 1, content.rng)):
        write(os.path.join(folders[i % len(folders)], "f%05d.txt" % i), content.text(size),
              content.mode())


def one(root, scale):
    write(os.path.join(root, "readme.txt"), Content(505).text(4 * KIB), 0o644)


# The system payload: ELF programs and libraries (a quarter of an
# installer's size is often native code), scripts (Python's standard
# library) and text (copyright files), from packages tools/setup.sh
# installs, so that every machine set up for the project has them; their
# bytes differ between Debian point releases, so sizes are compared within
# one run only.
SYSTEM_FILES = [
    "/usr/bin/cmake", "/usr/bin/ctest", "/usr/bin/python3.11", "/usr/bin/Xvfb",
    "/usr/bin/busybox", "/usr/bin/zip", "/usr/bin/unzip", "/usr/bin/bsdtar",
    "/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/usr/lib/x86_64-linux-gnu/libX11.so.6",
    "/usr/lib/x86_64-linux-gnu/libfltk.so.1.3", "/usr/lib/x86_64-linux-gnu/libzstd.so.1",
    "/usr/lib/x86_64-linux-gnu/libcrypto.so.3", "/usr/lib/x86_64-linux-gnu/libxml2.so.2",
    "/usr/lib/x86_64-linux-gnu/libarchive.so.13", "/usr/lib/x86_64-linux-gnu/libsqlite3.so.0",
]
SYSTEM_TREES = [("/usr/lib/python3.11", ".py"), ("/usr/share/doc", "copyright")]


def system(root, scale):
    bin_dir, lib_dir = os.path.join(root, "bin"), os.path.join(root, "lib")
    folder(bin_dir)
    folder(lib_dir)
    for path in SYSTEM_FILES:
        target = os.path.join(lib_dir if "/lib/" in path else bin_dir, os.path.basename(path))
        with open(os.path.realpath(path), "rb") as f:
            write(target, f.read(), 0o755)
    for top, suffix in SYSTEM_TREES:
        for directory, subdirs, files in os.walk(top):
            subdirs[:] = sorted(d for d in subdirs if d not in ("__pycache__", "test", "tests"))
            for name in sorted(files):
                if not name.endswith(suffix):
                    continue
                source = os.path.join(directory, name)
                if os.path.islink(source):
                    continue
                target = os.path.join(root, "share", os.path.relpath(source, "/usr"))
                folder(os.path.dirname(target))
                with open(source, "rb") as f:
                    write(target, f.read(), 0o644)


PAYLOADS = {"small": small, "medium": medium, "large": large, "mixed": mixed, "tiny": tiny,
            "one": one, "system": system}


def main():
    parser = argparse.ArgumentParser(description="Makes the benchmark payload trees.")
    parser.add_argument("dir")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", action="append",
                        help="a payload's name; repeatable or comma separated")
    args = parser.parse_args()
    names = list(PAYLOADS)
    if args.only:
        names = [n for item in args.only for n in item.split(",") if n]
        for n in names:
            if n not in PAYLOADS:
                parser.error("unknown payload: %s" % n)
    if args.scale <= 0:
        parser.error("--scale must be positive")
    for name in names:
        base = os.path.join(args.dir, name)
        marker = os.path.join(base, ".made")
        if os.path.exists(marker):
            os.remove(marker)
        root = os.path.join(base, "pkg")
        folder(root)
        print("making %s payload in %s" % (name, root), file=sys.stderr)
        PAYLOADS[name](root, args.scale)
        with open(marker, "w") as f:
            f.write("scale=%g\n" % args.scale)


if __name__ == "__main__":
    main()
