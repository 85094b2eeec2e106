// Directory synchronisation between the PC and the device (SYNC).
//
// The PC side of disk n is <root>/Disk<n>/<letter>, one folder per partition
// C, D, E, F (host separator). PC to device copies the files that the device
// lacks or that differ in time or size, and gives them the PC file's time;
// device to PC writes the device's trees into a PC tree that must not exist
// yet. Partition D, the reserved partition, is never synchronised. Both walks
// are recursive; a failure in a subfolder skips the rest of that subfolder
// and its parent goes on, a failure at a partition's top level ends the
// command.
//
// The process's working directory is the same after the command as before.
//
// Device to PC writes only inside the target folder: an entry whose name
// would not be a plain file or folder name on the PC (a separator, a name of
// dots, a control character) is skipped with a message.

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "command_shell.h"
#include "tervlink/text.h"
#include "tervlink/zel_device_io.h"

namespace {

constexpr unsigned kSyncTime = 1;  // compare modification times
constexpr unsigned kSyncSize = 2;  // compare sizes
constexpr unsigned kFileBits = 0x27;
constexpr size_t kMaxPcPath = 259;  // PC paths the walk handles
char kParent[] = "..         ";     // ".." in entry form

struct DosStamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

// A PC modification time as local DOS date and time words; times outside
// what the words can hold are held to 1980-01-01 or 2107-12-31.
DosStamp ToDos(int64_t mtime) {
  host::LocalTime t = host::ToLocal(mtime);
  if (t.year < 1980) return {uint16_t(1 << 5 | 1), 0};
  if (t.year > 2107) return {uint16_t(127 << 9 | 12 << 5 | 31), uint16_t(23 << 11 | 59 << 5 | 29)};
  return {uint16_t((t.year - 1980) << 9 | t.month << 5 | t.day),
          uint16_t(t.hour << 11 | t.minute << 5 | t.second / 2)};
}

// DOS date and time words taken as local time, in seconds since the epoch.
int64_t FromDos(uint16_t date, uint16_t time) {
  host::LocalTime t;
  t.year = (date >> 9) + 1980;
  t.month = (date >> 5) & 0x0F;
  t.day = date & 0x1F;
  t.hour = time >> 11;
  t.minute = (time >> 5) & 0x3F;
  t.second = (time & 0x1F) * 2;
  if (t.month < 1) t.month = 1;
  if (t.day < 1) t.day = 1;
  return host::FromLocal(t);
}

std::string Join(const std::string& folder, const char* name) {
  std::string path = folder;
  if (path.empty() || path.back() != host::kSep) path += host::kSep;
  return path + name;
}

// The entry text of an 11-character entry form ("NAME.EXT", "NAME"), as
// the engine's listing shows it.
std::string EntryText(const char* name11) {
  std::string s;
  for (int i = 0; i < 8 && name11[i] != ' '; ++i) s += name11[i];
  if (!s.empty() && uint8_t(s[0]) == 0x05) s[0] = char(0xE5);
  if (name11[8] != ' ') {
    s += '.';
    for (int i = 8; i < 11 && name11[i] != ' '; ++i) s += name11[i];
  }
  return s;
}

// True when a device entry name can be used as one plain PC file or folder
// name: not empty, not only dots, no separator or control character.
bool SafePcName(const char* name) {
  if (!*name) return false;
  bool onlyDots = true;
  for (const char* p = name; *p; ++p) {
    uint8_t c = uint8_t(*p);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == host::kSep) return false;
    if (c != '.') onlyDots = false;
  }
  return !onlyDots;
}

// A name as printable text: control characters as \xNN.
std::string Printable(const char* name) {
  std::string s;
  for (const char* p = name; *p; ++p) {
    uint8_t c = uint8_t(*p);
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    } else {
      s += char(c);
    }
  }
  return s;
}

void CopyPath(char* dst, const std::string& src) {
  snprintf(dst, CommandShell::kPathBytes, "%s", src.c_str());
}

// Reads a whole PC file. False when it cannot be opened or read, or does
// not fit the engine's int sizes.
bool ReadPcFile(const std::string& path, std::vector<char>& data) {
  FILE* f = host::OpenFile(path.c_str(), "rb");
  if (!f) return false;
  uint64_t length = 0;
  bool ok = host::FileLength(f, length) && length <= 0x7FFFFFFFu;
  if (ok) {
    try {
      data.resize(size_t(length));
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  if (ok && length > 0) ok = fread(data.data(), 1, data.size(), f) == data.size();
  fclose(f);
  return ok;
}

}  // namespace

// One PC folder into the engine's current directory. True on success.
static bool SyncFolderToDevice(CommandShell& sh, const std::string& folder, unsigned flags) {
  FAT_DEVICE* fat = sh.fat;
  sh.Printf("同步目录%s\n", folder.c_str());
  std::vector<host::DirEntry> entries;
  if (!host::SetCurrentDir(folder.c_str()) || !host::ListDir(folder.c_str(), entries)) return false;
  for (const host::DirEntry& e : entries) {
    if (host::InterruptRequested()) return false;  // Ctrl-C: stop between files
    host::SetCurrentDir(folder.c_str());
    char* name = const_cast<char*>(e.name.c_str());
    char name11[12] = {};
    if (fat->NormalizeFileName(name, name11) != 0) {
      // The device keeps 8.3 names only; other PC names have no place there.
      sh.Printf("  %s不是8.3文件名, 不能同步\n", Printable(name).c_str());
      continue;
    }
    if (!e.isDir) {
      DosStamp stamp = ToDos(e.mtime);
      std::string text = EntryText(name11);
      _FILE_FIND find;
      bool needed = fat->FindFirstFileA(const_cast<char*>(text.c_str()), &find) != 1 ||
                    ((flags & kSyncSize) && uint32_t(e.size) != find.size) ||
                    ((flags & kSyncTime) && (stamp.date != find.date || stamp.time != find.time));
      if (!needed) continue;
      sh.Printf("  文件%s不一样，开始更新", name);
      std::vector<char> data;
      if (!ReadPcFile(Join(folder, name), data) ||
          fat->WriteFile(name, data.data(), int(data.size()), nullptr) != int(data.size())) {
        sh.Printf("\n  文件%s写数据失败\n", name);
        return false;
      }
      if (fat->SetFileTime(name, stamp.time, stamp.date) != 0) {
        sh.Printf("\n  文件%s更新时间失败\n", name);
        return false;
      }
      sh.Printf("\n  文件%s更新结束\n", name);
    } else if (name[0] != '.') {
      std::string sub = Join(folder, name);
      if (sub.size() > kMaxPcPath) {
        sh.Printf("同步目录%s路径过长, 不能同步\n", sub.c_str());
        continue;
      }
      if (fat->SearchFile(kAttrDirectory, name11) != 0 && fat->MakeDirectory(name11) != 0)
        return false;
      if (fat->ChangeDirectory(name11) != 0) return false;
      SyncFolderToDevice(sh, sub, flags);  // a failure below skips only that folder
      if (fat->ChangeDirectory(kParent) != 0) return false;
    }
  }
  return true;
}

// The engine's current directory into one PC folder. True on success.
static bool CopyDeviceToFolder(CommandShell& sh, const std::string& folder, unsigned flags) {
  FAT_DEVICE* fat = sh.fat;
  sh.Printf("同步目录%s\n", folder.c_str());
  std::unique_ptr<_FILE_FIND> find(new (std::nothrow) _FILE_FIND);
  if (!find) return false;
  char all[] = "*";
  for (int more = fat->FindFirstFileA(all, find.get()); more == 1;
       more = fat->FindNextFileA(find.get())) {
    if (host::InterruptRequested()) return false;  // Ctrl-C: stop between files
    host::SetCurrentDir(folder.c_str());
    char* name = find->name;
    bool isDir = (find->attributes & kAttrDirectory) != 0;
    bool isFile = !isDir && (find->attributes & kFileBits) != 0 &&
                  !(find->attributes & kAttrVolume);
    if (isDir && name[0] == '.') continue;  // "." and ".."
    if (!isDir && !isFile) continue;        // volume labels, attribute 0
    if (!SafePcName(name)) {
      sh.Printf("  %s不是有效的PC文件名, 不能同步\n", Printable(name).c_str());
      continue;
    }
    std::string path = Join(folder, name);
    if (path.size() > kMaxPcPath) {
      sh.Printf("同步目录%s路径过长, 不能同步\n", path.c_str());
      continue;
    }
    if (isFile) {
      host::FileInfo pc = host::Stat(path.c_str());
      DosStamp stamp = ToDos(pc.mtime);
      bool needed = !pc.exists || ((flags & kSyncSize) && pc.size != find->size) ||
                    ((flags & kSyncTime) && (stamp.date != find->date || stamp.time != find->time));
      if (!needed) continue;
      sh.Printf("  文件%s不一样，开始更新", name);
      int size = fat->FileSize(name);
      std::vector<char> data;
      bool ok = size >= 0;
      if (ok) {
        try {
          data.resize(size_t(size));
        } catch (const std::bad_alloc&) {
          ok = false;
        }
      }
      ok = ok && fat->ReadFile(name, data.data(), size, nullptr) == size;
      if (ok) {
        FILE* f = host::OpenFile(path.c_str(), "wb");
        ok = f != nullptr;
        if (f) {
          ok = fwrite(data.data(), 1, data.size(), f) == data.size();
          ok = fclose(f) == 0 && ok;
        }
      }
      if (!ok) {
        sh.Printf("\n  文件%s读取失败\n", name);
        return false;
      }
      sh.Printf("\n");
      host::SetFileTime(path.c_str(), FromDos(find->date, find->time));
      sh.Printf("  文件%s更新结束\n", name);
    } else {
      char name11[12] = {};
      if (host::MakeDir(path.c_str()) != 0) return false;
      if (fat->NormalizeFileName(name, name11) != 0 || fat->ChangeDirectory(name11) != 0)
        return false;
      CopyDeviceToFolder(sh, path, flags);  // a failure below skips only that folder
      if (fat->ChangeDirectory(kParent) != 0) return false;
    }
  }
  return true;
}

// Synchronises each partition of the disk with its PC folder
// <diskDir>/<letter>, in the direction given: the folder is entered (PC to
// device) or created (device to PC), the partition checked, selected at its
// root and synchronised; the reserved partition is only announced. False
// when a partition failed (the command then ends with -1).
bool CommandShell::SyncPartitions(int disk, const std::string& diskDir, bool toPc,
                                  unsigned flags) {
  for (int k = 0; k < kFatParts; ++k) {
    char letter[2] = {char('C' + k), 0};
    std::string partDir = Join(diskDir, letter);
    CopyPath(syncPartDir, partDir);
    if (!toPc && !host::SetCurrentDir(partDir.c_str())) {
      Printf("同步目录 %s 不存在\n", partDir.c_str());
      continue;
    }
    if (toPc && host::MakeDir(partDir.c_str()) != 0) {
      Printf("PC同步目录 %s 不能创建\n", partDir.c_str());
      continue;
    }
    if (fat->IsPartFormattted(disk, k) == 0) {
      Printf("磁盘%d, 分区 %c 未格式化或不存在, 不能同步!\n", disk, letter[0]);
      continue;
    }
    fat->file_system_switch_to(disk, k);
    // A partition is synchronised from its top, wherever CD left it.
    fat->ChangeRootDirectory();
    Printf("-------开始同步，磁盘%d, 分区 %c--------\n", disk, letter[0]);
    if (k == kReservedSlot) {
      Printf("分区 %c 是保留分区, 不同步\n", letter[0]);
    } else {
      std::string cwd = host::GetCurrentDir();
      bool ok = toPc ? CopyDeviceToFolder(*this, partDir, flags)
                     : SyncFolderToDevice(*this, partDir, flags);
      host::SetCurrentDir(cwd.c_str());
      if (!ok) {
        if (toPc) Printf("------------------同步磁盘%d, 分区 %c失败---------------\n\n", disk, letter[0]);
        return false;
      }
    }
    if (toPc)
      Printf("------------------同步磁盘%d, 分区 %c成功---------------\n\n", disk, letter[0]);
    else
      Printf("------------------同步完毕---------------\n\n");
  }
  return true;
}

int CommandShell::CmdSync(int argc, char** argv) {
  bool toPc = false;
  unsigned flags = kSyncTime | kSyncSize;
  std::string root = pcSyncDir;
  for (int i = 1; i < argc && argv[i][0]; ++i) {
    const char* w = argv[i];
    if (w[0] == '/') {
      const char* value = w + 2;
      if (w[1] == 'D') {
        if (text::EqualNoCase(value, "PC2ZEL"))
          toPc = false;
        else if (text::EqualNoCase(value, "ZEL2PC"))
          toPc = true;
        else
          return -2;
      } else if (w[1] == 'P') {
        if (!*value || strlen(value) > kMaxPcPath) return -2;
        root = value;
      } else if (w[1] == 'F') {
        if (!*value) return -2;  // partitions are always synchronised from their top
      } else {
        return -2;
      }
    } else if ((w[0] == '+' || w[0] == '-') && (w[1] == 'T' || w[1] == 'S') && !w[2]) {
      unsigned bit = w[1] == 'T' ? kSyncTime : kSyncSize;
      flags = w[0] == '+' ? (flags | bit) : (flags & ~bit);
    } else {
      return -2;
    }
  }

  // The walk changes the working directory, so a relative root is made full
  // once, against the directory the command started in.
  root = host::FullPath(root.c_str());
  const int disk = Device()->currentDisk;
  const int startPart = fat->curPartIndex;
  // The walk moves the process's working directory about; the batch's
  // relative PC paths resolve where they did before the command.
  struct RestoreCwd {
    std::string dir = host::GetCurrentDir();
    ~RestoreCwd() { host::SetCurrentDir(dir.c_str()); }
  } restoreCwd;
  std::string diskDir = Join(root, ("Disk" + std::to_string(disk)).c_str());
  CopyPath(syncDiskDir, diskDir);

  if (!toPc) {
    if (!host::SetCurrentDir(root.c_str())) return -1;
    if (!host::SetCurrentDir(diskDir.c_str())) {
      Printf("同步目录 %s 不存在\n", diskDir.c_str());
      return -1;
    }
    if (!SyncPartitions(disk, diskDir, /*toPc=*/false, flags)) return -1;
    fat->file_system_switch_to(disk, startPart);
    Printf("\n ... 正在将写Cache中的数据同步到设备中去，请等待 ...\n");
    // The device writes out its cache when it is asked for its state.
    if (auto* zel = dynamic_cast<ZEL_DEVICE_IO*>(Device())) zel->Test(0);
    Printf("\n ... Cache同步完毕 ...\n");
    return 1;
  }

  Printf("___________________ZEL同步到PC开始执行________________\n");
  // The target must be new: a tree of the device's files only.
  if (host::Stat(root.c_str()).exists || host::MakeDir(root.c_str()) != 0) {
    Printf("PC同步目录 %s 不能创建, 请确认目录是否存在；若存在，请删除整个目录\n", root.c_str());
    return -1;
  }
  if (host::MakeDir(diskDir.c_str()) != 0) {
    Printf("PC同步目录 %s 不能创建\n", diskDir.c_str());
    return -1;
  }
  if (!SyncPartitions(disk, diskDir, /*toPc=*/true, flags)) return -1;
  fat->file_system_switch_to(disk, startPart);
  Printf("___________________ZEL同步到PC执行完毕________________\n");
  return 1;
}
