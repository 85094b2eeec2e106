#!/usr/bin/env bash
# fsck_disk.sh NAND_FILE: the device's logical disk, read back from zelsim's
# NAND file by nand_disk, must hold a partition table that sfdisk reads and
# FAT partitions that fsck.fat -n passes. Needs $BIN (the build's bin folder).
# The FAT partitions are left as part1.img, part2.img ... for further checks.
set -euo pipefail
nand=$1
"$BIN/nand_disk" "$nand" disk.img 2>/dev/null
found=0
while read -r start size type; do
  case $type in 1|4|6|e) ;; *) continue ;; esac
  found=$((found + 1))
  dd if=disk.img of=part$found.img bs=512 skip="$start" count="$size" status=none
  fsck.fat -n part$found.img >fsck.log 2>&1 || true
  # fsck.fat 4.2 reads the label field even when the extended boot signature
  # is 0 (as a logical format leaves it) and remarks on it; any other line
  # than that remark, the banner and the summary is a finding.
  if grep -v -e '^fsck.fat ' -e ' files, ' -e '^$' -e "^Label '' stored in boot sector is not valid.\$" \
       -e '^  Auto-removing label from boot sector.$' -e '^Leaving filesystem unchanged.$' fsck.log; then
    echo "fsck.fat: partition at sector $start"; cat fsck.log; exit 1
  fi
done < <(sfdisk -d disk.img | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\), type=\([0-9a-f]*\).*/\1 \2 \3/p')
rm -f disk.img
[ "$found" -gt 0 ] || { echo "no FAT partition found"; exit 1; }
