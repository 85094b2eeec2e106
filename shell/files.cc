// File commands: DIR, COPY, DEL, REN, MD, RD, CD, the drive letters, GETDIR
// and SETDIR.
//
// Each is a thin front end over the FAT engine on the current partition: it
// checks its words, turns a typed name into the engine's 11-character entry
// form where the engine expects one, and maps the engine's answers to result
// codes. COPY copies from the PC to the device only; the other direction is
// SYNC's (sync.cc).

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "command_shell.h"
#include "tervlink/text.h"

namespace {

constexpr unsigned kSearchFiles = 0x27;  // read-only, hidden, system, archive
constexpr unsigned kSearchAll = 0x37;    // the same and directories

// Decoded FAT date and time words (no time-zone conversion).
struct FatStamp {
  int year, month, day, hour, minute;
};
FatStamp DecodeStamp(uint16_t date, uint16_t time) {
  return {(date >> 9) + 1980, (date >> 5) & 0x0F, date & 0x1F, time >> 11, (time >> 5) & 0x3F};
}

// DEL, MD and RD take one name of the current directory: no dot names, and
// a name the engine can put in entry form. 0 with the entry form in name11,
// or -2.
int OneEntryName(FAT_DEVICE* fat, int argc, char** argv, char* name11) {
  if (argc != 2 || argv[1][0] == '.') return -2;
  memset(name11, 0, 12);
  if (fat->NormalizeFileName(argv[1], name11) != 0) return -2;
  return 0;
}

}  // namespace

int CommandShell::CmdDir(int argc, char** argv) {
  if (argc > 2) return -2;
  char all[] = "*";
  char* pattern = argc == 2 ? argv[1] : all;
  _FILE_FIND find;
  unsigned files = 0, dirs = 0;
  uint64_t total = 0;
  fat->lastError = 0;
  for (int more = fat->FindFirstFileA(pattern, &find); more == 1; more = fat->FindNextFileA(&find)) {
    FatStamp s = DecodeStamp(find.date, find.time);
    Printf("%04d-%02d-%02d  %02d:%02d", s.year, s.month, s.day, s.hour, s.minute);
    if (find.attributes & kAttrDirectory) {
      Printf("   <DIR>            %s\n", find.name);
      ++dirs;
    } else {
      Printf("        %-10u  %s\n", find.size, find.name);
      ++files;
      total += find.size;
    }
  }
  // A listing that met a device failure (a device that is gone, a disk
  // that could not be read again) is no listing: no summary, no free space.
  if (fat->lastError == -1) return -1;
  unsigned long freeBytes = 0;
  fat->SearchFreeByte(&freeBytes);
  Printf("               %-3u 个文件 %-12llu  字节\n", files, (unsigned long long)total);
  Printf("               %-3u 个目录 %-12lu  可用字节\n", dirs, freeBytes);
  return 1;
}

int CommandShell::CmdCopy(int argc, char** argv) {
  if (argc != 3) return -2;
  char name11[12] = {};
  // A device name GBK cannot spell would be stored as other characters.
  if (!host::SpellableInGbk(argv[2])) {
    host::SetReason("device file name %s holds characters the device's character set (GBK) "
                    "cannot spell", argv[2]);
    return -2;
  }
  if (fat->NormalizeFileName(argv[2], name11) != 0) return -2;
  // Only a regular PC file is read (a FIFO would hold the command for ever).
  uint64_t length = 0;
  FILE* f = host::OpenPcFileToRead(argv[1], length);
  if (!f) return -7;
  // The engine takes the size as an int; no FAT16 partition holds more.
  if (length > uint64_t(INT_MAX)) {
    fclose(f);
    host::SetReason("PC file %s is larger than a device file can be (2 GB)", argv[1]);
    return -8;
  }
  // The file goes to the device as it is read; one that ends early (cut
  // short meanwhile, or unreadable) is not stored.
  PcFileStream source(f, argv[1]);
  fat->lastError = 0;
  int written = fat->WriteFileFrom(argv[2], source, int(length));
  // At a terminal the progress segment's line ends with the copy.
  if (host::ProgressOnTerminal()) Printf("\n");
  fclose(f);
  if (written != int(length) && fat->lastError == -10) return -9;
  return written == int(length) ? 1 : -1;
}

int CommandShell::CmdDel(int argc, char** argv) {
  char name11[12];
  if (int r = OneEntryName(fat, argc, argv, name11)) return r;
  if (fat->SearchFile(kSearchFiles, name11) != 0) return fat->lastError == -3 ? -5 : -1;
  return fat->RemoveFile(name11) == 0 ? 1 : -1;
}

int CommandShell::CmdRen(int argc, char** argv) {
  if (argc != 3) return -2;
  return fat->Rename(argv[1], argv[2]) == 0 ? 1 : -1;
}

int CommandShell::CmdMd(int argc, char** argv) {
  char name11[12];
  if (int r = OneEntryName(fat, argc, argv, name11)) return r;
  if (fat->SearchFile(kSearchAll, name11) == 0) return -4;
  if (fat->lastError != -3) return -1;  // the directory could not be read
  return fat->MakeDirectory(name11) == 0 ? 1 : -1;
}

int CommandShell::CmdRd(int argc, char** argv) {
  char name11[12];
  if (int r = OneEntryName(fat, argc, argv, name11)) return r;
  if (fat->SearchFile(kSearchAll, name11) != 0) return fat->lastError == -3 ? -5 : -1;
  if (fat->CheckEmptyDirectory(name11) != 0) {
    // A plain file of that name is no directory to remove.
    if (fat->lastError == -6) return -6;
    return fat->lastError == -3 ? -5 : -1;
  }
  return fat->RemoveDirectoryA(name11) == 0 ? 1 : -1;
}

// CD takes a path of components separated by "\"; a leading "\" starts at
// the root. Each component is one engine step; when a step is refused the
// current directory goes back to where it was before the command.
int CommandShell::CmdCd(int argc, char** argv) {
  if (argc == 1) return 1;
  if (argc > 2) return -2;
  const char* path = argv[1];
  if (!fat->IsFatInit() || !fat->curPart) return -1;
  _PART_INFO* part = fat->curPart;
  const uint32_t savedDir = part->currentDir;
  char savedPath[sizeof part->currentPath];
  memcpy(savedPath, part->currentPath, sizeof savedPath);
  auto undo = [&](int result) {
    part->currentDir = savedDir;
    memcpy(part->currentPath, savedPath, sizeof savedPath);
    return result;
  };

  if (*path == '\\') {
    fat->ChangeRootDirectory();
    while (*path == '\\') ++path;
  }
  while (*path) {
    const char* end = strchr(path, '\\');
    size_t n = end ? size_t(end - path) : strlen(path);
    // No 8.3 name has 11 characters or more.
    if (n >= 11) return undo(-2);
    char component[12] = {};
    memcpy(component, path, n);
    char name11[12] = {};
    if (fat->NormalizeFileName(component, name11) != 0) return undo(-2);
    if (fat->ChangeDirectory(name11) != 0) return undo(-1);
    path += n;
    while (*path == '\\') ++path;
  }
  return 1;
}

int CommandShell::CmdDrive(int argc, char** argv) {
  if (argc != 1) return -2;
  int index = text::UpperAscii(argv[0][0]) - 'C';
  int disk = Device()->currentDisk;
  int mode = fat->GetPartitionMode(disk, index);
  if (mode == 16 || mode == 12) {
    fat->file_system_switch_to(disk, index);
    return 1;
  }
  Printf("分区不是有效的FAT分区，不能进入!\n");
  // A failed change is a failed command: a script that goes on (or stops)
  // knows that its next command would not run where it meant it to.
  host::SetReason("不能进入 %s (%s), 当前分区仍为 %c:", argv[0],
                  index == kReservedSlot ? "保留分区, 没有文件系统"
                  : !fat->disks[disk & (kFatDisks - 1)].parts[index].sectorCount
                      ? "磁盘上没有这个分区"
                      : "未格式化; 用 FORMAT 格式化它",
                  char('C' + fat->curPartIndex));
  return -2;
}

int CommandShell::CmdGetDir(int argc, char**) {
  if (argc != 1) return -2;
  std::string dir = host::GetCurrentDir();
  if (dir.size() >= size_t(kPathBytes)) dir.resize(kPathBytes - 1);
  Printf("\n 当前工作路径 %s\n", dir.c_str());
  return 1;
}

int CommandShell::CmdSetDir(int argc, char** argv) {
  if (argc != 2) return -2;
  if (!host::SetCurrentDir(argv[1])) {
    Printf("\n 设置当前工作路径失败\n");
    return -2;
  }
  return 1;
}
