#!/usr/bin/env bash
# fsck_partitions.sh DISK_IMAGE: the raw disk must hold a partition table that
# sfdisk reads and FAT partitions that fsck.fat -n passes. The FAT partitions
# are left as part1.img, part2.img ... in the current folder; the number found
# is printed on standard output (nothing else is). Exit status 1 on a finding.
set -euo pipefail
disk=$1
n=0
while read -r start count type; do
  case $type in 1|4|6|e) ;; *) continue ;; esac
  n=$((n + 1))
  dd if="$disk" of=part$n.img bs=512 skip="$start" count="$count" status=none
  fsck.fat -n part$n.img >fsck.log 2>&1 || true
  # fsck.fat 4.2 remarks on the label field of a boot sector whose extended
  # signature is 0 (as the logical format leaves it); anything else is a finding.
  if grep -v -e '^fsck.fat ' -e ' files, ' -e '^$' -e "^Label '' stored in boot sector is not valid.\$" \
       -e '^  Auto-removing label from boot sector.$' -e '^Leaving filesystem unchanged.$' fsck.log >&2; then
    echo "fsck.fat: partition at sector $start" >&2; cat fsck.log >&2; exit 1
  fi
done < <(sfdisk -d "$disk" | sed -n 's/.*start= *\([0-9]*\), size= *\([0-9]*\), type=\([0-9a-f]*\).*/\1 \2 \3/p')
echo "$n"
