# simu_common.sh NAND_FILE "ZELSIM OPTIONS" ECC_TYPE: the
# checks shared by the simu_* transcripts, run in the work folder: the file
# has the chip's size, and zelsim serving it gives back every file of the PC
# tree, the boot files and the factory record.
set -euo pipefail
nand=$1; opts=$2; ecc=$3
bash "$(dirname "$0")/../serve_nand.sh" "$nand" "$opts" served.bat served.out
# every file of the PC tree, under the device's upper-case names
cmp back/Disk0/C/A.TXT sync/Disk0/C/a.txt
cmp back/Disk0/C/SUB/DEEP/BIG.TXT sync/Disk0/C/sub/deep/big.txt
cmp back/Disk0/C/SUB/ZERO.BIN sync/Disk0/C/sub/zero.bin
cmp back/Disk0/E/E.TXT sync/Disk0/E/e.txt
[ "$(find back -type f | wc -l)" = 4 ]
# the boot files
cmp rb.bin.bios_loader.bin loader.bin
cmp <(head -c 9000 rb.bin.bios.bin) bios.bin
cmp rb.bin.user.bin user.bin
# the factory record
grep -q '^  ID = BLCKINFO$' served.out
grep -q "^  ECC算法类型: 0x0000000$ecc\$" served.out
grep -q '^  坏块总个数 : 0$' served.out
