#!/usr/bin/env bash
# fsck_disk.sh NAND_FILE: the device's logical disk, read back from zelsim's
# NAND file by nand_disk, must hold a partition table that sfdisk reads and
# FAT partitions that fsck.fat -n passes. Needs $BIN (the build's bin folder).
set -euo pipefail
nand=$1
"$BIN/nand_disk" "$nand" disk.img 2>/dev/null
found=0
while read -r start size type; do
  case $type in 1|4|6|e) ;; *) continue ;; esac
  dd if=disk.img of=part.img bs=512 skip="$start" count="$size" status=none
  if ! fsck.fat -n part.img >fsck.log 2>&1; then
    echo "fsck.fat: partition at sector $start"; cat fsck.log; exit 1
  fi
  found=$((found + 1))
done < <(sfdisk -d disk.img | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\), type=\([0-9a-f]*\).*/\1 \2 \3/p')
rm -f part.img disk.img
[ "$found" -gt 0 ] || { echo "no FAT partition found"; exit 1; }
