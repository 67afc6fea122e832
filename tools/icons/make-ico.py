#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Build the Windows .ico (and desktop-entry PNGs) from the hand-drawn XPM window icons."""
import argparse
import os
import re
import struct
import sys
import zlib

SIZES = (16, 32)


def read_xpm(path):
    """Return (size, rows of (r, g, b, a)) for the simple XPM subset we ship."""
    with open(path, encoding="ascii") as f:
        strings = re.findall(r'"([^"]*)"', f.read())
    width, height, ncolors, cpp = (int(v) for v in strings[0].split()[:4])
    colours = {}
    for line in strings[1:1 + ncolors]:
        key, words = line[:cpp], line[cpp:].split()
        value = words[words.index("c") + 1]
        if value.lower() == "none":
            colours[key] = (0, 0, 0, 0)
        else:
            colours[key] = tuple(int(value[i:i + 2], 16) for i in (1, 3, 5)) + (255,)
    rows = []
    for line in strings[1 + ncolors:1 + ncolors + height]:
        rows.append([colours[line[i:i + cpp]] for i in range(0, width * cpp, cpp)])
    if width != height or len(rows) != height:
        sys.exit(f"{path}: expected a square {width}x{width} image")
    return width, rows


def ico_entry(size, rows):
    """32-bit BGRA DIB plus the 1-bit AND mask, both stored bottom-up."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    stride = (size + 31) // 32 * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def write_ico(path, images):
    data = [ico_entry(size, rows) for size, rows in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, _), blob in zip(images, data):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(out + b"".join(data))


def write_png(path, size, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = b"".join(b"\0" + b"".join(bytes(px) for px in row) for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 9))
                + chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("xpm_dir", help="folder holding tolvar-16.xpm and tolvar-32.xpm")
    parser.add_argument("ico", nargs="?", help="the .ico file to write")
    parser.add_argument("--png", metavar="OUTDIR", help="also write tolvar-16.png and tolvar-32.png here")
    args = parser.parse_args()
    if not args.ico and not args.png:
        parser.error("give an .ico path, --png OUTDIR, or both")

    images = [read_xpm(os.path.join(args.xpm_dir, f"tolvar-{s}.xpm")) for s in SIZES]
    if args.ico:
        os.makedirs(os.path.dirname(os.path.abspath(args.ico)), exist_ok=True)
        write_ico(args.ico, images)
    if args.png:
        os.makedirs(args.png, exist_ok=True)
        for size, rows in images:
            write_png(os.path.join(args.png, f"tolvar-{size}.png"), size, rows)


if __name__ == "__main__":
    main()
