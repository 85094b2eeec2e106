#!/usr/bin/env python3
"""Damages partition C of a system image the way a hostile disk would,
byte by byte from the FAT layout (independently of the library):

    hostile_image.py IMAGE

The image must hold, in C, the files GOOD.TXT, LOOP.BIN, HUGE.BIN,
SHORT.BIN (each of two clusters or more) and DOTS.TXT, and the folders
SUB, SUB/DEEP, SUB/SELF and SUB/UP. Afterwards:
  DOTS.TXT      is named "..      TXT" (it lists as "...TXT")
  LOOP.BIN      its second cluster leads back to its first
  HUGE.BIN      the same, and its size is 0x7FFFFFFF
  SHORT.BIN     its chain ends after the first cluster
  SUB/SELF      leads to SUB (a loop), SUB/UP to the root (cluster 0)
  SUB/DEEP/..   leads to DEEP itself
"""
import struct
import sys


class Image:
    def __init__(self, path):
        self.f = open(path, "r+b")
        header = self.f.read(164)
        self.data = struct.unpack_from("<I", header, 76)[0]
        mbr = self.read(0)
        self.start = struct.unpack_from("<I", mbr, 0x1BE + 8)[0]  # partition C
        bs = self.read(self.start)
        self.spc = bs[13]
        reserved, = struct.unpack_from("<H", bs, 14)
        self.fats = bs[16]
        roots, = struct.unpack_from("<H", bs, 17)
        self.spf, = struct.unpack_from("<H", bs, 22)
        self.fat = self.start + reserved
        self.root = self.fat + self.fats * self.spf
        self.first_data = self.root + roots * 32 // 512

    def read(self, sector):
        self.f.seek(self.data + sector * 512)
        return bytearray(self.f.read(512))

    def write(self, sector, data):
        self.f.seek(self.data + sector * 512)
        self.f.write(data)

    def sectors(self, cluster):
        if cluster == 0:
            return range(self.root, self.first_data)
        first = self.first_data + (cluster - 2) * self.spc
        return range(first, first + self.spc)  # the folders here have one cluster

    def entry(self, folder, name):
        """(sector, offset) of the entry name (11 bytes) in folder (a cluster)."""
        for s in self.sectors(folder):
            d = self.read(s)
            for o in range(0, 512, 32):
                if d[o:o + 11] == name.encode():
                    return s, o
        raise SystemExit("no entry %r" % name)

    def field(self, at, offset, fmt, value=None):
        s, o = at
        d = self.read(s)
        if value is None:
            return struct.unpack_from(fmt, d, o + offset)[0]
        struct.pack_into(fmt, d, o + offset, value)
        self.write(s, d)

    def set_fat(self, cluster, value):  # FAT16, every copy
        for k in range(self.fats):
            s = self.fat + k * self.spf + cluster * 2 // 512
            d = self.read(s)
            struct.pack_into("<H", d, cluster * 2 % 512, value)
            self.write(s, d)

    def next(self, cluster):
        d = self.read(self.fat + cluster * 2 // 512)
        return struct.unpack_from("<H", d, cluster * 2 % 512)[0]


def main():
    img = Image(sys.argv[1])
    first = lambda at: img.field(at, 26, "<H")
    dots = img.entry(0, "DOTS    TXT")
    s, o = dots
    d = img.read(s)
    d[o:o + 11] = b"..      TXT"
    img.write(s, d)
    for name, size in (("LOOP    BIN", None), ("HUGE    BIN", 0x7FFFFFFF)):
        at = img.entry(0, name)
        img.set_fat(img.next(first(at)), first(at))
        if size:
            img.field(at, 28, "<I", size)
    img.set_fat(first(img.entry(0, "SHORT   BIN")), 0xFFFF)
    sub = first(img.entry(0, "SUB        "))
    deep = first(img.entry(sub, "DEEP       "))
    img.field(img.entry(sub, "SELF       "), 26, "<H", sub)
    img.field(img.entry(sub, "UP         "), 26, "<H", 0)
    img.field(img.entry(deep, "..         "), 26, "<H", deep)


if __name__ == "__main__":
    main()
