#!/usr/bin/env python3
"""Writes a system image or a packed image for the transcript tests, byte by
byte from the file layout (independently of the library):

    make_image.py OUT SIZE_MB RUNS [--packed] [--disks N] [--cut BYTES]

RUNS is a comma-separated list of the used runs (512 KB each), or "-" for
none. Sector s of a used run holds the bytes (s * 7 + i * 13) & 0xFF.
--cut ends the file after BYTES bytes: an image truncated in transfer.
"""
import argparse
import struct

SYSTEM = b"VANTLE_SPACE:18A16D23-0FB1-4e7c-B150-546D5EE47A51"
PACKED = b"VANTLE_SPACE:50414B-18A16D23-0FB1-4e7c-B150-546D5EE47A51"


def sector(s):
    return bytes(((s * 7 + i * 13) & 0xFF) for i in range(512))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("size", type=int)
    p.add_argument("runs")
    p.add_argument("--packed", action="store_true")
    p.add_argument("--disks", type=int, default=1)
    p.add_argument("--cut", type=int)
    a = p.parse_args()
    runs = [] if a.runs == "-" else [int(r) for r in a.runs.split(",")]
    bitmap_bytes = a.size * 256
    data_offset = 32768 + bitmap_bytes + 1024
    header = bytearray(164)
    marker = PACKED if a.packed else SYSTEM
    header[0:len(marker)] = marker
    struct.pack_into("<IIIII", header, 64, a.size, 0, 32768, data_offset, a.disks)
    for d in range(min(a.disks, 4)):
        struct.pack_into("<5I", header, 84 + 20 * d, d, 93000, 256, 131072 - 93256, 0)
    bitmap = bytearray(bitmap_bytes)
    for r in runs:
        bitmap[r * 128] = 0x01
    # One pattern per sector number modulo 256 is enough: build it once.
    patterns = [sector(s) for s in range(256)]
    with open(a.out, "wb") as f:
        f.write(bytes(header) + b"\xff" * (32768 - 164) + bytes(bitmap) + b"\xff" * 1024)
        for r in range(a.size * 2):
            if a.cut is not None and f.tell() >= a.cut:
                break
            if r in runs:
                f.write(b"".join(patterns[s % 256] for s in range(r * 1024, (r + 1) * 1024)))
            elif not a.packed:
                f.write(b"\xff" * 524288)
        if a.cut is not None:
            f.truncate(a.cut)


if __name__ == "__main__":
    main()
