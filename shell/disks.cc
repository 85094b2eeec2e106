// Disk commands: SWITCH, PART, FORMAT, LOWFORMAT, SHOWTBL and GETBLOCKTABLE.
//
// Front ends over whole disks: the disk selection and the low-level format
// are requests of the device object, the partitioning, the logical format
// and the block table dumps are the FAT engine's. The current disk is the
// device object's currentDisk. The image builders call SWITCH, PART and
// FORMAT with made-up words, so these handlers use nothing but the shell's
// members.

#include <cstring>

#include "command_shell.h"
#include "tervlink/text.h"

namespace {

constexpr int kEccMismatch = -10000;   // LowFormat: the NAND's ECC method is not the controller's
constexpr int kNoFactoryInfo = -10001;  // LowFormat: no factory bad-block table yet

}  // namespace

int CommandShell::CmdSwitch(int argc, char** argv) {
  if (argc != 2) return -2;
  char c = argv[1][0];
  if (c < '0' || c > '3') return -2;  // the rest of the word is not read
  int disk = c - '0';
  int answer = Device()->Switch(disk);
  // A script never runs on the wrong disk: it ends here (with a failure
  // when it asked to stop on errors, so that its exit status says so).
  if (answer <= 0) return batchMode && !stopOnError ? 0 : -1;
  Device()->currentDisk = disk;
  fat->file_system_switch_to(disk, 0);
  nandDiskKind = answer;
  return 1;
}

int CommandShell::CmdPart(int argc, char** argv) {
  if (argc == 1) {
    fat->Display_part_table();
    return 1;
  }
  bool confirm = true;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if (w[0] == '+' || w[0] == '-') {
      if (w[1] != 'Y' && w[1] != 'y') return -2;
      confirm = w[0] == '+';
    } else if (strncmp(w, "do", 2) != 0 && strncmp(w, "DO", 2) != 0) {
      return -2;
    }
  }
  if (confirm) {
    Printf(
        "分区命令将擦除选定磁盘所有的数据, 请确认是否执行此操作.\n"
        "    按 'Y' 执行分区命令, 按 'N' 取消此操作.\n");
    for (;;) {
      int c = input ? input->ReadChar() : -1;
      // The end of the input before an answer counts as "N": nothing is erased.
      if (c < 0 || c == 'N' || c == 'n') {
        Printf("  分区命令取消\n");
        if (c >= 0) input->ReadChar();  // the line end
        return 1;
      }
      if (c == 'Y' || c == 'y') {
        input->ReadChar();
        break;
      }
    }
  }
  int disk = Device()->currentDisk;
  Printf("  磁盘 disk %d 分区执行中......", disk);
  if (fat->DiskPartition(disk) != 0) return -1;
  Printf("完毕\r\n");
  return 1;
}

int CommandShell::CmdFormat(int argc, char** argv) {
  if (argc > 2) return -2;
  int index = 4;  // every partition of the disk
  if (argc == 2) {
    char letter = text::UpperAscii(argv[1][0]);
    if (letter < 'C' || letter > 'F') {
      // An empty last word (a blank before the line end) has no letter to
      // show; a blank stands for it rather than a NUL byte.
      Printf("没有分区 %c !\n", argv[1][0] ? argv[1][0] : ' ');
      return -2;
    }
    index = letter - 'C';
  }
  if (fat->DiskLogicalFormat(Device()->currentDisk, index) == 0) return 1;
  // One partition's progress line ends without a line end; the failure
  // line goes on a line of its own.
  if (index != 4) Printf("\n");
  return -1;
}

int CommandShell::CmdLowFormat(int argc, char**) {
  if (argc != 1) return -2;
  int disk = Device()->currentDisk;
  Printf("正在低格磁盘%d......", disk);
  int answer = Device()->LowFormat();
  if (answer == kEccMismatch) {
    Printf("\n执行低级格式化的NAND Flash的ECC方法与NFC的ECC方法不匹配\n");
    Printf("请使用ZEL命令SetBadBlockInfo允许低级格式化过程更新Nand Flash上的原厂坏块信息表\n");
    Printf("    然后重新执行lowformat命令\n");
    return -1;
  }
  if (answer == kNoFactoryInfo) {
    Printf("\n执行低级格式化的NAND Flash尚未构建原厂坏块信息表\n");
    Printf("请使用ZEL命令SetBadBlockInfo允许低级格式化过程在Nand Flash上构建原厂坏块信息表\n");
    Printf("    然后重新执行lowformat命令\n");
    return -1;
  }
  if (answer == -1) return -1;  // the request itself failed: nothing was formatted
  // The disk's blocks are erased: the engine forgets its partitions, so that
  // no command writes into file systems that are gone.
  _DISK_INFO& d = fat->disks[disk & (kFatDisks - 1)];
  d.partitioned = 0;
  d.partCount = 0;
  d.unpartitionedSectors = d.totalSectors;
  for (_PART_INFO& p : d.parts) {
    p.formatted = 0;
    p.fatWidth = 0;
    p.startSector = p.sectorCount = 0;
    p.type = 0;
  }
  fat->buf_pool();
  Printf("完毕\r\n");
  return 1;
}

int CommandShell::CmdShowTbl(int, char**) {
  fat->ShowLog2PhyTbl();
  return 1;
}

int CommandShell::CmdGetBlockTable(int argc, char** argv) {
  if (argc != 2) {
    Printf("命令格式: GetBlockTable BlockName\n");
    return -2;
  }
  if (fat->GetBlockTable(argv[1]) != 0) {
    Printf("命令GetBlockTable失败\n");
    return -1;
  }
  return 1;
}
