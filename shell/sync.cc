// Directory synchronisation between the PC and the device (SYNC).
//
// The PC side of disk n is <root>/Disk<n>/<letter>, one folder per partition
// C, D, E, F (host separator). PC to device copies the files that the device
// lacks or that differ in time or size, and gives them the PC file's time;
// device to PC writes the device's trees into a PC tree that must not exist
// yet. Partition D, the reserved partition, is never synchronised. Both walks
// are recursive.
//
// Everything that can be copied is copied: an entry that cannot (a PC name
// with no device name of its own, a PC link to a folder, a device name that
// is no PC name or cannot be reached by its name again, a damaged file, a
// device directory that leads back to itself, an ancestor or a directory
// already copied) is skipped with a message and the walk goes on; the
// command then ends with -1. Only a device failure stops the walk at once.
// A device directory is climbed back to by remembering where the walk came
// from, never through its ".." entry, which a damaged disk may point
// anywhere.
//
// PC to device stores the files of a partition in groups (the engine's
// group commits): a file reported done whose group the engine could not
// commit is reported again as failed.
//
// The process's working directory is the same after the command as before.
// Device to PC writes only inside the target folder.

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "command_shell.h"
#include "pc_files.h"
#include "tervlink/text.h"
#include "tervlink/zel_device_io.h"

namespace {

constexpr unsigned kSyncTime = 1;  // compare modification times
constexpr unsigned kSyncSize = 2;  // compare sizes
constexpr unsigned kFileBits = 0x27;
constexpr size_t kMaxPcPath = 259;  // PC paths the walk handles

void CopyPath(char* dst, const std::string& src) {
  snprintf(dst, CommandShell::kPathBytes, "%s", src.c_str());
}

// One partition's walk, either way. Entries that cannot be synchronised
// are skipped with a message and counted, and the walk goes on; only a
// device failure (the link is gone) stops it.
struct SyncWalk {
  SyncWalk(CommandShell& shell, unsigned syncFlags) : sh(shell), fat(shell.fat), flags(syncFlags) {}
  CommandShell& sh;
  FAT_DEVICE* fat;
  unsigned flags;
  int skipped = 0;
  bool stopped = false;
  // First clusters of the device directories of this partition: those the
  // walk is inside (the root, 0, first) and all it has been in. A directory
  // entry that leads to one of them again is a loop or a cross-link of a
  // damaged disk, never walked twice.
  std::vector<uint32_t> inside;
  std::set<uint32_t> visited;
  // The PC files read ahead (PcReadAhead), made at its first use.
  std::unique_ptr<char[]> ahead;

  // Counts a skipped or failed entry, after the line that said so, with
  // its reason on standard error; a device failure (or Ctrl-C in the middle
  // of a transfer) also stops the walk.
  void Skip() {
    ++skipped;
    host::ShowReason();
    if (fat->lastError == -1 || host::InterruptRequested()) stopped = true;
  }
};

// Enters the device directory name11 below the current one. True when it
// is a directory this partition's walk has not been in; otherwise (entry
// refused, loop, cross-link) the message is printed, the engine stays
// where it was and false is returned.
bool EnterDeviceDir(SyncWalk& w, const char* shown, char* name11) {
  DevicePlace here = Here(w.fat);
  w.fat->lastError = 0;
  if (w.fat->ChangeDirectory(name11) != 0) {
    w.sh.Printf("  目录%s不能进入, 不能同步\n", shown);
    return false;
  }
  uint32_t dir = w.fat->curPart->currentDir;
  bool loop = std::find(w.inside.begin(), w.inside.end(), dir) != w.inside.end();
  if (loop || w.visited.count(dir)) {
    GoBack(w.fat, here);
    w.sh.Printf(loop ? "  目录%s指向自身或上级目录, 不能同步\n"
                     : "  目录%s与已同步的目录重叠, 不能同步\n",
                shown);
    return false;
  }
  return true;
}

// Reports the files that the engine's open group lost to a device failure
// after they were reported done; they count as failed, and the walk stops.
void ReportLost(SyncWalk& w) {
  for (const std::string& name : w.fat->TakeLostFiles()) {
    w.sh.Printf("  文件%s写数据失败\n", name.c_str());
    ++w.skipped;
    w.stopped = true;
  }
}

// One PC folder into the engine's current directory.
// The files and bytes below a PC folder, as far as SYNC would walk it (not
// into links or hidden folders, at most 64 levels): the job of the
// progress line at a terminal.
void CountTree(const std::string& folder, uint32_t& files, uint64_t& bytes, int depth = 0) {
  std::vector<host::DirEntry> entries;
  if (depth > 64 || !host::ListDir(folder.c_str(), entries)) return;
  for (const host::DirEntry& e : entries) {
    if (!e.isDir) {
      ++files;
      bytes += e.size;
    } else if (!e.isLink && e.name[0] != '.') {
      CountTree(JoinPc(folder, e.name.c_str()), files, bytes, depth + 1);
    }
  }
}

// The files of one PC folder read while the device writes (the link's
// wait work), so that a group's commit and the reading of the next files
// overlap: in listing order, each file the walk may store whole, into the
// walk's ring buffer, up to the next subfolder (whose walk then has the
// buffer). The walk takes a file's data as it comes to the file and drops
// what it passed by; a file that was not read ahead (too big, no room, any
// failure) is read the usual way, which tells its reason. Files are named
// from the folder, the current directory while its own entries are walked
// (the kernel then walks one name per file, not the whole path); should
// the walk fail to come back into it from a subfolder, nothing more is
// read ahead there.
class PcReadAhead {
 public:
  static constexpr uint64_t kRingBytes = 2 << 20;
  static constexpr uint64_t kFileBytes = 1 << 20;  // the most one file may take
  // How far ahead of the walk it reads: a group's files (the engine commits
  // 64 at most together), so that what a kill finds opened tells how far
  // the walk was.
  static constexpr size_t kFilesAhead = 64;

  PcReadAhead(SyncWalk& w, const std::vector<host::DirEntry>& entries,
              const std::vector<std::string>& forms)
      : w_(w), entries_(entries), forms_(forms) {
    Start();
  }
  ~PcReadAhead() { Stop(); }
  PcReadAhead(const PcReadAhead&) = delete;
  PcReadAhead& operator=(const PcReadAhead&) = delete;

  // Around the walk of a subfolder (whose read-ahead has the buffer then).
  void Stop() {
    if (started_) host::SetDeviceWaitWork(before_);
    started_ = false;
    live_.clear();
  }
  void Start() {
    if (!started_) before_ = host::SetDeviceWaitWork({&PcReadAhead::Work, this});
    started_ = true;
  }

  // The walk is at entry i: what was read ahead of the entries before it
  // (and the data taken for them) is dropped.
  void Pass(size_t i) {
    at_ = i;
    while (!live_.empty() && live_.front().index < i) live_.pop_front();
  }
  // Entry i's data when it was read ahead, else null; it stays in the
  // buffer until the walk passes on. A file the read-ahead has not come to
  // yet (the walk is quicker than the device's waits, as at a folder's
  // start) is read into the buffer now, the same way.
  const std::string_view* Take(size_t i) {
    Pass(i);
    if (started_ && live_.empty() && next_ <= i && Ring()) {
      next_ = i;
      ReadEntry();
    }
    if (live_.empty() || live_.front().index != i) return nullptr;
    taken_ = std::string_view(w_.ahead.get() + live_.front().offset, size_t(live_.front().length));
    return &taken_;
  }

 private:
  struct Held {
    size_t index;
    uint64_t offset, length;
  };

  static void Work(void* self) { static_cast<PcReadAhead*>(self)->ReadNext(); }

  // The walk's ring buffer, made on first use; false when there is no
  // memory for it (files are then read the usual way).
  bool Ring() {
    if (!w_.ahead) w_.ahead = host::NewTransferBuffer(kRingBytes);
    return w_.ahead != nullptr;
  }

  // Where length bytes fit after what is held, the ring going round to its
  // start when the end has no room; -1 when they do not fit now.
  int64_t Room(uint64_t length) const {
    if (live_.empty()) return 0;
    uint64_t first = live_.front().offset;
    uint64_t end = live_.back().offset + live_.back().length;
    if (live_.back().offset >= first) {  // held data in one stretch
      if (kRingBytes - end >= length) return int64_t(end);
      return first >= length ? 0 : -1;
    }
    return first - end >= length ? int64_t(end) : -1;
  }

  void ReadNext() {
    if (!Ring()) return;
    // The entry the walk is at is being stored, or is a subfolder whose
    // walk comes first.
    if (at_ < entries_.size() && entries_[at_].isDir) return;
    next_ = std::max(next_, at_ + 1);
    while (next_ < entries_.size() && next_ <= at_ + kFilesAhead && !entries_[next_].isDir &&
           ReadEntry()) {
    }
  }

  // Reads entry next_ into the ring when it is a file to be read ahead, and
  // moves on; false, staying, when the ring has no room for it now.
  bool ReadEntry() {
    const host::DirEntry& e = entries_[next_];
    if (!e.isDir && !e.isSpecial && !e.isLink && !e.unspellable && !forms_[next_].empty() &&
        e.size > 0 && e.size <= kFileBytes) {
      int64_t at = Room(e.size);
      if (at < 0) return false;  // room again once the walk takes what is held
      uint64_t length = 0;
      if (host::ReadWholePcFile(e.name.c_str(), w_.ahead.get() + at, e.size, length) &&
          length > 0)
        live_.push_back({next_, uint64_t(at), length});
    }
    ++next_;
    return true;
  }

  SyncWalk& w_;
  const std::vector<host::DirEntry>& entries_;
  const std::vector<std::string>& forms_;
  // What is held, in listing order: the data taken last (until the walk
  // passes on), then the files read ahead.
  std::deque<Held> live_;
  std::string_view taken_;
  size_t next_ = 0;  // the next entry to read ahead
  size_t at_ = 0;    // the entry the walk is at
  bool started_ = false;
  host::DeviceWaitWork before_;
};

void SyncFolderToDevice(SyncWalk& w, const std::string& folder) {
  CommandShell& sh = w.sh;
  FAT_DEVICE* fat = w.fat;
  sh.Printf("同步目录%s\n", folder.c_str());
  std::vector<host::DirEntry> entries;
  if (!host::SetCurrentDir(folder.c_str()) || !host::ListDir(folder.c_str(), entries)) {
    sh.Printf("  同步目录%s不能读取, 不能同步\n", folder.c_str());
    ++w.skipped;
    return;
  }
  // A link that leads nowhere (its target gone, or links in a loop) has
  // nothing to copy: it is reported and counted, and takes no device name.
  std::erase_if(entries, [&](const host::DirEntry& e) {
    if (!e.broken) return false;
    sh.Printf("  %s是无效的链接, 不能同步\n", Printable(e.name.c_str()).c_str());
    ++w.skipped;
    return true;
  });
  std::vector<std::string> forms = DeviceNames(fat, entries);
  PcReadAhead ahead(w, entries, forms);
  // Back from a subfolder, this folder's heading is printed again before
  // the next line about one of its own entries: the log never lists them
  // under the last subfolder's heading.
  bool resumed = false;
  auto heading = [&] {
    if (resumed) sh.Printf("同步目录%s\n", folder.c_str());
    resumed = false;
  };
  for (size_t i = 0; i < entries.size() && !w.stopped; ++i) {
    const host::DirEntry& e = entries[i];
    if (host::InterruptRequested()) {  // Ctrl-C: stop between entries
      w.stopped = true;
      break;
    }
    host::ClearReason();
    ahead.Pass(i);
    char* name = const_cast<char*>(e.name.c_str());
    if (e.isDir && name[0] == '.') continue;  // ".git" and the like stay on the PC
    if (e.unspellable) {
      // Its bytes are not the PC name in GBK: stored, they would read as
      // other characters.
      host::PrintError("Tervan: %s: PC name holds characters the device's character set (GBK) "
                       "cannot spell, not synchronised", JoinPc(folder, name).c_str());
      ++w.skipped;
      continue;
    }
    if (e.isSpecial) {
      // Never opened: a FIFO's read would wait for a writer for ever.
      host::PrintError("Tervan: %s is not a regular file (a FIFO, device or socket), not "
                       "synchronised", JoinPc(folder, name).c_str());
      ++w.skipped;
      continue;
    }
    if (forms[i].empty()) {
      // The device keeps 8.3 names only; other PC names have no place there.
      heading();
      sh.Printf("  %s不是8.3文件名, 不能同步\n", Printable(name).c_str());
      ++w.skipped;
      continue;
    }
    char name11[12] = {};
    memcpy(name11, forms[i].data(), 11);
    if (!e.isDir) {
      host::ProgressNextFile(e.size);
      DosStamp stamp = ToDos(e.mtime);
      std::string entry = text::EntryText(name11);
      _FILE_FIND find;
      bool needed = fat->FindFirstFileA(const_cast<char*>(entry.c_str()), &find) != 1 ||
                    ((w.flags & kSyncSize) && uint32_t(e.size) != find.size) ||
                    ((w.flags & kSyncTime) && (stamp.date != find.date || stamp.time != find.time));
      if (!needed) continue;
      heading();
      sh.Printf("  文件%s不一样，开始更新", name);
      fat->lastError = 0;
      if (!WritePcFileToDevice(fat, JoinPc(folder, name), name, stamp, ahead.Take(i))) {
        sh.Printf("\n  文件%s写数据失败\n", name);
        w.Skip();
      } else {
        sh.Printf("\n  文件%s更新结束\n", name);
      }
      ReportLost(w);
    } else if (e.isLink) {
      // A link may lead back into the tree; folders are walked as they are.
      heading();
      sh.Printf("  %s是指向文件夹的链接, 不能同步\n", Printable(name).c_str());
      ++w.skipped;
    } else {
      std::string sub = JoinPc(folder, name);
      if (sub.size() > kMaxPcPath) {
        sh.Printf("同步目录%s路径过长, 不能同步\n", sub.c_str());
        ++w.skipped;
        continue;
      }
      fat->lastError = 0;
      if (fat->SearchFile(kAttrDirectory, name11) != 0 && fat->MakeDirectory(name11) != 0) {
        sh.Printf("  目录%s不能创建, 不能同步\n", name);
        w.Skip();
        ReportLost(w);
        continue;
      }
      DevicePlace here = Here(fat);
      if (!EnterDeviceDir(w, name, name11)) {
        w.Skip();
        continue;
      }
      w.inside.push_back(fat->curPart->currentDir);
      w.visited.insert(fat->curPart->currentDir);
      ahead.Stop();
      SyncFolderToDevice(w, sub);
      if (host::SetCurrentDir(folder.c_str())) ahead.Start();  // back from the subfolder
      w.inside.pop_back();
      GoBack(fat, here);
      resumed = true;
    }
  }
}

// The engine's current directory into one PC folder; fresh: the walk has
// just made the folder, so no PC file is there to compare with.
void CopyDeviceToFolder(SyncWalk& w, const std::string& folder, bool fresh) {
  CommandShell& sh = w.sh;
  FAT_DEVICE* fat = w.fat;
  sh.Printf("同步目录%s\n", folder.c_str());
  // Standing in the folder, its files are made by their own names (the
  // kernel then walks one name per file, not the whole path); where the
  // folder cannot be entered, by their full paths.
  bool inside = host::SetCurrentDir(folder.c_str());
  std::unique_ptr<_FILE_FIND> find(new (std::nothrow) _FILE_FIND);
  if (!find) {
    ++w.skipped;
    return;
  }
  std::set<std::string> listed;
  char all[] = "*";
  // As in SyncFolderToDevice: the heading again after a subfolder.
  bool resumed = false;
  auto heading = [&] {
    if (resumed) sh.Printf("同步目录%s\n", folder.c_str());
    resumed = false;
  };
  // A listing ends quietly on a device failure too; lastError tells it from
  // the end of the directory.
  auto next = [&](bool first) {
    fat->lastError = 0;
    return first ? fat->FindFirstFileA(all, find.get()) : fat->FindNextFileA(find.get());
  };
  for (int more = next(true); more == 1 && !w.stopped; more = next(false)) {
    if (host::InterruptRequested()) {  // Ctrl-C: stop between entries
      w.stopped = true;
      break;
    }
    host::ClearReason();
    char* name = find->name;
    bool isDir = (find->attributes & kAttrDirectory) != 0;
    bool isFile = !isDir && (find->attributes & kFileBits) != 0 &&
                  !(find->attributes & kAttrVolume);
    if (isDir && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) continue;
    if (!isDir && !isFile) continue;  // volume labels, attribute 0
    if (!SafePcName(name)) {
      heading();
      sh.Printf("  %s不是有效的PC文件名, 不能同步\n", Printable(name).c_str());
      ++w.skipped;
      continue;
    }
    if (!Addressable(fat, name, listed)) {
      heading();
      sh.Printf("  目录项%s不能按名字访问, 不能同步\n", Printable(name).c_str());
      ++w.skipped;
      continue;
    }
    std::string path = JoinPc(folder, name);
    if (path.size() > kMaxPcPath) {
      sh.Printf("同步目录%s路径过长, 不能同步\n", path.c_str());
      ++w.skipped;
      continue;
    }
    if (isFile) {
      host::FileInfo pc = fresh ? host::FileInfo{} : host::Stat(path.c_str());
      DosStamp stamp = ToDos(pc.mtime);
      bool needed = !pc.exists || ((w.flags & kSyncSize) && pc.size != find->size) ||
                    ((w.flags & kSyncTime) && (stamp.date != find->date || stamp.time != find->time));
      if (!needed) continue;
      heading();
      sh.Printf("  文件%s不一样，开始更新", name);
      fat->lastError = 0;
      int size = fat->FileSize(find.get());  // the listing has just found it
      if (size < 0 || !CopyDeviceFileToPc(fat, name, size, path, FromDos(find->date, find->time),
                                          inside ? name : nullptr)) {
        // The PC side's failure (a full or read-only disk) is no failed read.
        if (size >= 0 && (fat->lastError == -10 || fat->lastError == 0))
          sh.Printf("\n  文件%s写入PC失败\n", name);
        else
          sh.Printf("\n  文件%s读取失败\n", name);
        w.Skip();
        continue;
      }
      sh.Printf("\n");
      sh.Printf("  文件%s更新结束\n", name);
    } else {
      char name11[12] = {};
      fat->NormalizeFileName(name, name11);  // addressable, so it normalises
      DevicePlace here = Here(fat);
      if (!EnterDeviceDir(w, name, name11)) {
        w.Skip();
        continue;
      }
      bool made = false;
      if (host::MakeDir(path.c_str(), &made) != 0) {
        GoBack(fat, here);
        sh.Printf("PC同步目录 %s 不能创建\n", path.c_str());
        ++w.skipped;
        host::ShowReason();
        continue;
      }
      w.inside.push_back(fat->curPart->currentDir);
      w.visited.insert(fat->curPart->currentDir);
      CopyDeviceToFolder(w, path, made);
      inside = host::SetCurrentDir(folder.c_str());  // back from the subfolder
      w.inside.pop_back();
      GoBack(fat, here);
      resumed = true;
    }
  }
  if (!w.stopped && fat->lastError == -1) {
    sh.Printf("  同步目录%s没有读完, 设备读取失败\n", folder.c_str());
    w.Skip();
  }
}

}  // namespace

// Synchronises each partition of the disk with its PC folder
// <diskDir>/<letter>, in the direction given: the folder is entered (PC to
// device) or created (device to PC), the partition checked, selected at its
// root and synchronised; the reserved partition is only announced. The
// number of entries skipped or failed, or -1 when a device failure or Ctrl-C stopped
// the walk (the command then ends at once).
int CommandShell::SyncPartitions(int disk, const std::string& diskDir, bool toPc, unsigned flags) {
  int skipped = 0;
  for (int k = 0; k < kFatParts; ++k) {
    char letter[2] = {char('C' + k), 0};
    std::string partDir = JoinPc(diskDir, letter);
    CopyPath(syncPartDir, partDir);
    if (!toPc && !host::SetCurrentDir(partDir.c_str())) {
      Printf("同步目录 %s 不存在\n", partDir.c_str());
      continue;
    }
    bool made = false;
    if (toPc && host::MakeDir(partDir.c_str(), &made) != 0) {
      Printf("PC同步目录 %s 不能创建\n", partDir.c_str());
      host::ShowReason();
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
    bool ok = true;
    if (k == kReservedSlot) {
      Printf("分区 %c 是保留分区, 不同步\n", letter[0]);
    } else {
      std::string cwd = host::GetCurrentDir();
      SyncWalk walk(*this, flags);
      walk.inside.push_back(0);
      walk.visited.insert(0);
      if (toPc) {
        CopyDeviceToFolder(walk, partDir, made);
      } else {
        fat->BeginFileGroup();
        SyncFolderToDevice(walk, partDir);
        fat->EndFileGroup();  // what it could not commit is reported here
        ReportLost(walk);
      }
      fat->ChangeRootDirectory();
      host::SetCurrentDir(cwd.c_str());
      skipped += walk.skipped;
      ok = walk.skipped == 0;
      if (walk.stopped) {
        if (toPc) Printf("------------------同步磁盘%d, 分区 %c失败---------------\n\n", disk, letter[0]);
        return -1;
      }
    }
    if (!toPc)
      Printf("------------------同步完毕---------------\n\n");
    else if (ok)
      Printf("------------------同步磁盘%d, 分区 %c成功---------------\n\n", disk, letter[0]);
    else
      Printf("------------------同步磁盘%d, 分区 %c失败---------------\n\n", disk, letter[0]);
  }
  return skipped;
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
  std::string diskDir = JoinPc(root, ("Disk" + std::to_string(disk)).c_str());
  CopyPath(syncDiskDir, diskDir);

  if (!toPc) {
    if (!host::SetCurrentDir(root.c_str())) return -1;  // the reason names the folder
    if (!host::SetCurrentDir(diskDir.c_str())) {
      Printf("同步目录 %s 不存在\n", diskDir.c_str());
      return -1;
    }
    // At a terminal the progress line counts the files of the whole tree.
    struct EndJob {
      ~EndJob() { host::ProgressEndJob(); }
    } endJob;
    if (host::ProgressOnTerminal()) {
      uint32_t files = 0;
      uint64_t bytes = 0;
      for (const char* letter : {"C", "E", "F"}) CountTree(JoinPc(diskDir, letter), files, bytes);
      host::ProgressJob(files, bytes);
    }
    int skipped = SyncPartitions(disk, diskDir, /*toPc=*/false, flags);
    if (skipped < 0) return -1;
    fat->file_system_switch_to(disk, startPart);
    Printf("\n ... 正在将写Cache中的数据同步到设备中去，请等待 ...\n");
    // The device writes out its cache when it is asked for its state.
    if (auto* zel = dynamic_cast<ZEL_DEVICE_IO*>(Device())) zel->Test(0);
    Printf("\n ... Cache同步完毕 ...\n");
    return SkippedResult(skipped);
  }

  Printf("___________________ZEL同步到PC开始执行________________\n");
  // The target must be new: a tree of the device's files only.
  if (host::Stat(root.c_str()).exists) {
    Printf("PC同步目录 %s 不能创建, 请确认目录是否存在；若存在，请删除整个目录\n", root.c_str());
    host::SetReason("PC folder %s exists already; SYNC /DZEL2PC writes into a new folder only",
                    root.c_str());
    return -1;
  }
  // Not there, and yet not made: the system's reason (a read-only or full
  // disk, a missing parent) says why; deleting would not help.
  if (host::MakeDir(root.c_str()) != 0) {
    Printf("PC同步目录 %s 不能创建\n", root.c_str());
    return -1;
  }
  if (host::MakeDir(diskDir.c_str()) != 0) {
    Printf("PC同步目录 %s 不能创建\n", diskDir.c_str());
    return -1;
  }
  // The copy only reads the device, and the files SYNC /P wrote lie mostly
  // one after another: their data is read ahead in long runs.
  struct ReadAhead {
    FAT_DEVICE* fat;
    ~ReadAhead() { fat->EndReadAhead(); }
  } readAhead{fat};
  fat->BeginReadAhead();
  int skipped = SyncPartitions(disk, diskDir, /*toPc=*/true, flags);
  if (skipped < 0) return -1;
  fat->file_system_switch_to(disk, startPart);
  Printf("___________________ZEL同步到PC执行完毕________________\n");
  return SkippedResult(skipped);
}

// Everything that could be copied was; anything left behind makes the
// command fail, so that a script (and BUILDIMAGE) does not take a partial
// copy for a whole one.
int CommandShell::SkippedResult(int skipped) {
  if (skipped == 0) return 1;
  Printf("\n 有%d个文件或目录没有同步\n", skipped);
  return -1;
}
