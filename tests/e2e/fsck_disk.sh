#!/usr/bin/env bash
# fsck_disk.sh NAND_FILE: the device's logical disk, read back from zelsim's
# NAND file by nand_disk, must hold a partition table that sfdisk reads and
# FAT partitions that fsck.fat -n passes. Needs $BIN (the build's bin folder).
# The FAT partitions are left as part1.img, part2.img ... for further checks.
set -euo pipefail
nand=$1
"$BIN/nand_disk" "$nand" disk.img 2>/dev/null
found=$(bash "$(dirname "$0")/tools/fsck_partitions.sh" disk.img)
rm -f disk.img
[ "$found" -gt 0 ] || { echo "no FAT partition found"; exit 1; }
