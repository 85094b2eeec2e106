#!/usr/bin/env bash
# check_image.sh IMAGE TREE: a system image checked with independent tools.
#   - its data area, taken as a raw disk, holds a partition table that sfdisk
#     reads, and FAT partitions that fsck.fat -n passes;
#   - every file of TREE/Disk0/C and TREE/Disk0/E is read back from the
#     image's partitions C and E by mtools, byte for byte (names in 8.3
#     upper case);
#   - IMAGE's checksum file (.crc) agrees with checksums computed here.
# With KEEP_PARTS=1 the FAT partitions stay as part1.img, part2.img ...
set -euo pipefail
image=$1; tree=$2
export MTOOLS_SKIP_CHECK=1
read -r size data < <(python3 - "$image" <<'PY'
import struct, sys
h = open(sys.argv[1], "rb").read(164)
print(struct.unpack_from("<I", h, 64)[0], struct.unpack_from("<I", h, 76)[0])
PY
)
dd if="$image" of=disk.img bs=512 skip=$((data / 512)) count=$((size * 2048)) status=none
n=$(bash "$(dirname "$0")/fsck_partitions.sh" disk.img)
[ "$n" -ge 2 ] || { echo "FAT partitions found: $n"; sfdisk -d disk.img; exit 1; }
# Partition C is the first FAT partition, E the second.
for pair in "C part1.img" "E part2.img"; do
  set -- $pair
  [ -d "$tree/Disk0/$1" ] || continue
  (cd "$tree/Disk0/$1" && find . -type f | sed 's|^\./||') | while read -r f; do
    upper=$(printf '%s' "$f" | tr '[:lower:]' '[:upper:]')
    mcopy -n -i "$2" "::$upper" read.bin
    cmp "$tree/Disk0/$1/$f" read.bin || { echo "mtools: $1:$upper differs"; exit 1; }
  done
done
python3 - "$image" "${image%.*}.crc" "$data" "$size" <<'PY'
import struct, sys
image, crc, data, size = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
want = bytearray()
with open(image, "rb") as f:
    f.seek(data)
    for _ in range(size * 2048):
        s = sum(struct.unpack("<128I", f.read(512))) & 0xFFFFFFFF
        want += struct.pack("<II", s, s ^ 0xFFFFFFFF)
if open(crc, "rb").read() != bytes(want):
    sys.exit("checksum file differs from the computed checksums")
PY
rm -f disk.img read.bin
[ "${KEEP_PARTS:-0}" = 1 ] || rm -f part*.img
