// Disk commands: SWITCH, PART, CHKDSK, FORMAT, LOWFORMAT, SHOWTBL and GETBLOCKTABLE.
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
  if (answer <= 0) {
    host::SetReason("设备拒绝切换到磁盘 %d (它有 %d 个磁盘), 当前磁盘仍为 %d", disk,
                    fat->diskCount, Device()->currentDisk);
    // A script never runs on the wrong disk: it ends here, as a failed run
    // (with the failure line when it asked to stop on errors).
    if (!batchMode || stopOnError) return -1;
    host::ShowReason();
    host::PrintError("Tervan: 脚本在第%d行的 SWITCH 处结束, 以免后面的命令在另一个磁盘上执行",
                     lineNumber);
    ++failures;
    return 0;
  }
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
  // Sizes the program did not read are not laid out: a refused Tervan.cfg
  // would otherwise give the defaults without a word.
  if (fat->configProblem[0]) {
    host::SetReason("PART do 不分区: 配置文件 %s 有错, %s", fat->configFile, fat->configProblem);
    return -2;
  }
  if (confirm &&
      !Confirm("分区命令将擦除选定磁盘所有的数据, 请确认是否执行此操作.\n"
               "    按 'Y' 执行分区命令, 按 'N' 取消此操作.\n")) {
    Printf("  分区命令取消\n");
    return 1;
  }
  int disk = Device()->currentDisk;
  Printf("  磁盘 disk %d 分区执行中......", disk);
  if (fat->DiskPartition(disk) != 0) return -1;
  Printf("完毕\r\n");
  return 1;
}

bool CommandShell::Confirm(const char* question) {
  Printf("%s", question);
  const bool terminal = input && input->IsTerminal();
  for (;;) {
    // At a terminal one key answers (Ctrl-C gives none); elsewhere the
    // input's next characters do, and the line end after them is taken too.
    int c = terminal ? host::GetKey() : input ? input->ReadChar() : -1;
    // The end of the input before an answer counts as "N": nothing is erased.
    bool no = c < 0 || c == 'N' || c == 'n';
    if (!no && c != 'Y' && c != 'y') continue;
    if (terminal)
      Printf("%s\n", no ? "N" : "Y");
    else if (c >= 0)
      input->ReadChar();
    return !no;
  }
}

// CHKDSK [C:|E:|F:] [/F] [/Y]: the check (and with /F the repair) is the
// engine's; this reads the words and asks before a repair.
int CommandShell::CmdChkdsk(int argc, char** argv) {
  int part = fat->curPartIndex;
  bool repair = false, yes = false;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    char letter = text::UpperAscii(w[0]);
    if ((letter == 'C' || letter == 'E' || letter == 'F') && w[1] == ':' && !w[2]) {
      part = letter - 'C';
    } else if (w[0] == '/' && (w[1] == 'F' || w[1] == 'f') && !w[2]) {
      repair = true;
    } else if (w[0] == '/' && (w[1] == 'Y' || w[1] == 'y') && !w[2]) {
      yes = true;
    } else {
      return -2;
    }
  }
  if (!HasFileSystem(part)) return -1;
  if (repair && !yes) {
    char question[160];
    snprintf(question, sizeof question,
             "CHKDSK /F 将修复分区%c上发现的错误, 请确认是否执行此操作.\n"
             "    按 'Y' 检查并修复, 按 'N' 只检查不修复.\n",
             'C' + part);
    repair = Confirm(question);
  }
  return fat->CheckDisk(Device()->currentDisk, part, repair) == 1 ? 1 : -1;
}

int CommandShell::CmdFormat(int argc, char** argv) {
  int index = 4;  // every partition of the disk
  bool ask = true;
  const char* letterWord = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if ((w[0] == '+' || w[0] == '-') && (w[1] == 'Y' || w[1] == 'y') && !w[2])
      ask = w[0] == '+';
    else if (letterWord)
      return -2;
    else
      letterWord = w;
  }
  if (letterWord) {
    char letter = text::UpperAscii(letterWord[0]);
    if (letter < 'C' || letter > 'F') {
      // An empty last word (a blank before the line end) has no letter to
      // show; a blank stands for it rather than a NUL byte.
      Printf("没有分区 %c !\n", letterWord[0] ? letterWord[0] : ' ');
      return -2;
    }
    index = letter - 'C';
  }
  const int disk = Device()->currentDisk;
  if (index == kReservedSlot) {
    // The reserved partition holds no file system and is never formatted;
    // saying "done" for it would be a success without work.
    host::SetReason("分区 D: 是保留分区, 不能格式化 (FORMAT 格式化 C, E, F)");
    return -2;
  }
  // Typed at a terminal, FORMAT asks first, as PART do does: it wipes the
  // files of every partition at once. Scripts and pipes are not asked.
  if (ask && input && input->IsTerminal()) {
    char question[200];
    snprintf(question, sizeof question,
             "格式化命令将删除磁盘%d%s的所有文件, 请确认是否执行此操作.\n"
             "    按 'Y' 执行格式化命令, 按 'N' 取消此操作.\n",
             disk, index == 4 ? "所有分区" : index == 0 ? "分区C" : index == 2 ? "分区E" : "分区F");
    if (!Confirm(question)) {
      Printf("  格式化命令取消\n");
      return 1;
    }
  }
  if (fat->DiskLogicalFormat(disk, index) == 0) return 1;
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
