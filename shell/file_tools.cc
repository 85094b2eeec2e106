// File commands beyond COPY and REN: MOVE (entries between directories),
// GET (device files to the PC), TYPE, COMP/FC, REPLACE and LABEL.
//
// Like the other file commands they are thin front ends over the FAT
// engine on the current partition: they check their words, call the
// engine and turn its last error into the shell's result codes through
// one table (EngineResult).

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "command_shell.h"
#include "pc_files.h"
#include "tervlink/text.h"

namespace {

// The result code of a failed engine call, from its last error: the codes
// DEL, MD and COPY already give for the same causes.
int EngineResult(int lastError) {
  switch (lastError) {
    case -3: return -5;   // no such name (or a damaged chain)
    case -8: return -4;   // the name exists
    case -7: return -2;   // not a valid name
    case -11: return -2;  // a directory below itself
    case -10: return -9;  // the PC file could not give or take its bytes
    default: return -1;   // device failure, no space
  }
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

// MOVE source target: target names an existing directory (the entry moves
// into it, keeping its name) or a new name, in the same or another folder.
int CommandShell::CmdMove(int argc, char** argv) {
  if (argc != 3) return -2;
  std::string source = argv[1], target = argv[2];
  while (source.size() > 1 && IsPathSeparator(source.back())) source.pop_back();
  fat->lastError = 0;
  int attributes = fat->PathAttributes(target.c_str());
  if (attributes >= 0 && (attributes & kAttrDirectory)) {
    size_t cut = source.find_last_of("\\/");
    std::string leaf = cut == std::string::npos ? source : source.substr(cut + 1);
    if (!target.empty() && !IsPathSeparator(target.back())) target += '\\';
    target += leaf;
  } else if (attributes < 0 && fat->lastError == -1) {
    return -1;
  }
  if (fat->MoveEntry(source.c_str(), target.c_str()) == 0) return 1;
  if (fat->lastError == -11) Printf("不能把目录移到它自己之下, 也不能移走当前目录所在的目录\n");
  return EngineResult(fat->lastError);
}

namespace {

// A device directory's files as a listing gives them, taken before any of
// them is written (a replaced file's entry may move in its directory).
struct ListedFile {
  std::string name;  // as listed (GBK)
  uint32_t size;
  uint16_t date, time;
};

// The listing of pattern in the current device directory: its files
// (directories too with dirs), each addressable by its name. False after a
// device failure (lastError -1).
bool ListDevice(FAT_DEVICE* fat, const char* pattern, bool dirs, std::vector<ListedFile>& files,
                std::vector<std::string>* unreachable) {
  _FILE_FIND find;
  std::set<std::string> listed;
  char text[sizeof find.pattern];
  snprintf(text, sizeof text, "%s", pattern);
  fat->lastError = 0;
  for (int more = fat->FindFirstFileA(text, &find); more == 1; more = fat->FindNextFileA(&find)) {
    bool isDir = (find.attributes & kAttrDirectory) != 0;
    if (isDir != dirs || strcmp(find.name, ".") == 0 || strcmp(find.name, "..") == 0) continue;
    if (!SafePcName(find.name) || !Addressable(fat, find.name, listed)) {
      if (unreachable) unreachable->push_back(find.name);
      continue;
    }
    files.push_back({find.name, find.size, find.date, find.time});
  }
  return fat->lastError != -1;
}

bool IsSwitch(const char* word, char letter) {
  return word[0] == '/' && text::UpperAscii(word[1]) == letter && word[2] == '\0';
}

// A device file's bytes handed to the shell's output as text: a GBK lead
// byte whose trail byte comes with the next piece waits for it, so the
// output layer converts whole characters.
class TextSink : public FileDataStream {
 public:
  explicit TextSink(CommandShell& shell) : shell_(shell) {}
  bool Fill(char*, uint32_t) override { return false; }
  bool Take(const char* from, uint32_t n) override {
    std::string text = carry_;
    text.append(from, n);
    carry_.clear();
    size_t i = 0;
    while (i < text.size()) {
      uint8_t c = uint8_t(text[i]);
      if (c >= 0x81 && c <= 0xFE) {
        if (i + 1 == text.size()) {
          carry_ = text.substr(i);
          text.resize(i);
          break;
        }
        i += 2;
      } else {
        ++i;
      }
    }
    shell_.Write(text);
    return true;
  }
  void Finish() {
    if (!carry_.empty()) shell_.Write(carry_);
    carry_.clear();
  }

 private:
  CommandShell& shell_;
  std::string carry_;
};

// A device file's bytes compared with a PC file's as they are read; the
// read stops at the first difference.
class CompareSink : public FileDataStream {
 public:
  explicit CompareSink(FILE* pc) : pc_(pc) {}
  bool Fill(char*, uint32_t) override { return false; }
  bool Take(const char* from, uint32_t n) override {
    buffer_.resize(n);
    if (fread(buffer_.data(), 1, n, pc_) != n) {
      readFailed = true;
      return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
      if (buffer_[i] != from[i]) {
        differs = true;
        at = offset_ + i;
        pcByte = uint8_t(buffer_[i]);
        deviceByte = uint8_t(from[i]);
        return false;
      }
    }
    offset_ += n;
    return true;
  }
  bool differs = false, readFailed = false;
  uint64_t at = 0;
  uint8_t pcByte = 0, deviceByte = 0;

 private:
  FILE* pc_;
  uint64_t offset_ = 0;
  std::vector<char> buffer_;
};

}  // namespace

// TYPE name: a device file of the current directory as text.
int CommandShell::CmdType(int argc, char** argv) {
  if (argc != 2) return -2;
  fat->lastError = 0;
  int attributes = fat->PathAttributes(argv[1]);
  if (attributes < 0) return EngineResult(fat->lastError);
  if (attributes & kAttrDirectory) {
    Printf("%s 是目录, 不是文件\n", argv[1]);
    return -2;
  }
  int size = fat->FileSize(argv[1]);
  if (size < 0) return EngineResult(fat->lastError);
  TextSink sink(*this);
  fat->quiet = 1;
  int got = fat->ReadFileTo(argv[1], sink, size);
  fat->quiet = 0;
  sink.Finish();
  if (got == size) return 1;
  Printf("\n文件%s读取失败\n", argv[1]);
  return EngineResult(fat->lastError);
}

// COMP pcfile name (and FC): a PC file against a device file.
int CommandShell::CmdComp(int argc, char** argv) {
  if (argc != 3) return -2;
  uint64_t pcLength = 0;
  FILE* pc = host::OpenFile(argv[1], "rb");
  if (!pc) return -7;
  if (!host::FileLength(pc, pcLength)) {
    fclose(pc);
    return -9;
  }
  fat->lastError = 0;
  int size = fat->FileSize(argv[2]);
  if (size < 0) {
    fclose(pc);
    return EngineResult(fat->lastError);
  }
  bool same = true;
  if (pcLength != uint64_t(size)) {
    Printf("文件大小不同: %s %llu 字节, %s %d 字节\n", argv[1], (unsigned long long)pcLength,
           argv[2], size);
    same = false;
  }
  uint64_t common = pcLength < uint64_t(size) ? pcLength : uint64_t(size);
  CompareSink sink(pc);
  fat->quiet = 1;
  int got = fat->ReadFileTo(argv[2], sink, int(common));
  fat->quiet = 0;
  fclose(pc);
  if (sink.differs) {
    Printf("比较错误, 偏移 %llu (0x%llX): %s = 0x%02X, %s = 0x%02X\n", (unsigned long long)sink.at,
           (unsigned long long)sink.at, argv[1], sink.pcByte, argv[2], sink.deviceByte);
    return -1;
  }
  if (sink.readFailed) return -9;
  if (got != int(common)) {
    Printf("文件%s读取失败\n", argv[2]);
    return EngineResult(fat->lastError);
  }
  if (!same) return -1;
  Printf("files compare OK\n");
  return 1;
}

// GET pattern [pcfolder] [/S] [/Y]: device files of the current directory
// (and its subdirectories with /S) into a PC folder.
int CommandShell::CmdGet(int argc, char** argv) {
  const char* pattern = nullptr;
  std::string folder;
  bool subdirs = false, overwrite = false;
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], 'S'))
      subdirs = true;
    else if (IsSwitch(argv[i], 'Y'))
      overwrite = true;
    else if (argv[i][0] == '/' && argv[i][1] != '\0' && !host::Stat(argv[i]).isDir)
      return -2;  // an unknown switch (a PC folder may start with '/')
    else if (!pattern)
      pattern = argv[i];
    else if (folder.empty())
      folder = argv[i];
    else
      return -2;
  }
  if (!pattern || strlen(pattern) >= sizeof(_FILE_FIND::pattern)) return -2;
  if (folder.empty()) folder = ".";
  if (!host::Stat(folder.c_str()).isDir) {
    Printf("PC目录 %s 不存在\n", folder.c_str());
    return -2;
  }
  GetCounts counts;
  DevicePlace start = Here(fat);
  counts.visited.push_back(start.dir);
  GetFolder(pattern, folder, subdirs, overwrite, counts);
  GoBack(fat, start);
  Printf("已复制 %u 个文件, %llu 字节\n", counts.files, (unsigned long long)counts.bytes);
  if (counts.failed || counts.stopped) {
    Printf("有%u个文件没有复制\n", counts.failed);
    return -1;
  }
  if (counts.existing) return -4;
  if (counts.files == 0) return -5;
  return 1;
}

// One device directory (the engine's current one) into the PC folder.
void CommandShell::GetFolder(const char* pattern, const std::string& folder, bool subdirs,
                             bool overwrite, GetCounts& counts) {
  std::vector<ListedFile> files, dirs;
  std::vector<std::string> unreachable;
  if (!ListDevice(fat, pattern, false, files, &unreachable) ||
      (subdirs && !ListDevice(fat, "*", true, dirs, &unreachable))) {
    Printf("  设备目录读取失败\n");
    counts.stopped = true;
    return;
  }
  for (const std::string& name : unreachable) {
    Printf("  %s不是有效的PC文件名, 不能复制\n", Printable(name.c_str()).c_str());
    ++counts.failed;
  }
  for (ListedFile& f : files) {
    if (host::InterruptRequested()) {
      counts.stopped = true;
      return;
    }
    std::string path = JoinPc(folder, f.name.c_str());
    host::FileInfo pc = host::Stat(path.c_str());
    if (pc.exists && (pc.isDir || !overwrite)) {
      Printf("  %s 已存在, 没有覆盖%s\n", path.c_str(), pc.isDir ? "" : " (/Y 覆盖)");
      ++counts.existing;
      continue;
    }
    Printf("  %s ", path.c_str());
    fat->lastError = 0;
    bool ok = CopyDeviceFileToPc(fat, f.name.data(), int(f.size), path, FromDos(f.date, f.time));
    Printf("\n");
    if (!ok) {
      Printf(fat->lastError == -3 ? "  文件%s已损坏, 没有复制\n" : "  文件%s复制失败\n", f.name.c_str());
      ++counts.failed;
      if (fat->lastError == -1) {
        counts.stopped = true;
        return;
      }
      continue;
    }
    ++counts.files;
    counts.bytes += f.size;
  }
  // Subdirectories: each entered by its name and left by going back to the
  // place the walk came from (never through a "..", which a damaged disk
  // may point anywhere); one that leads to a directory the walk has been
  // in is a loop or a cross-link, not walked again.
  for (ListedFile& d : dirs) {
    char name11[12] = {};
    fat->NormalizeFileName(d.name.data(), name11);
    DevicePlace here = Here(fat);
    if (fat->ChangeDirectory(name11) != 0) {
      Printf("  目录%s不能进入\n", d.name.c_str());
      ++counts.failed;
      continue;
    }
    uint32_t dir = fat->curPart->currentDir;
    if (std::find(counts.visited.begin(), counts.visited.end(), dir) != counts.visited.end()) {
      GoBack(fat, here);
      Printf("  目录%s指向已复制的目录, 没有复制\n", d.name.c_str());
      ++counts.failed;
      continue;
    }
    counts.visited.push_back(dir);
    std::string sub = JoinPc(folder, d.name.c_str());
    if (host::MakeDir(sub.c_str()) != 0) {
      Printf("  PC目录 %s 不能创建\n", sub.c_str());
      ++counts.failed;
    } else {
      GetFolder(pattern, sub, subdirs, overwrite, counts);
    }
    GoBack(fat, here);
    if (counts.stopped) return;
  }
}

// REPLACE pcfolder [/U]: the files of the current device directory that
// the PC folder has under the same names are written again from it.
int CommandShell::CmdReplace(int argc, char** argv) {
  const char* folder = nullptr;
  bool newerOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (IsSwitch(argv[i], 'U'))
      newerOnly = true;
    else if (!folder)
      folder = argv[i];
    else
      return -2;
  }
  if (!folder) return -2;
  std::vector<host::DirEntry> entries;
  if (!host::Stat(folder).isDir || !host::ListDir(folder, entries)) {
    Printf("PC目录 %s 不存在\n", folder);
    return -2;
  }
  std::vector<ListedFile> files;
  if (!ListDevice(fat, "*", false, files, nullptr)) return -1;
  std::vector<std::string> forms = DeviceNames(fat, entries);
  unsigned replaced = 0, failed = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const host::DirEntry& e = entries[i];
    if (e.isDir || forms[i].empty()) continue;
    std::string name = text::EntryText(forms[i].data());
    const ListedFile* device = nullptr;
    for (const ListedFile& f : files)
      if (f.name == name) device = &f;
    if (!device) continue;  // never a new file: that is COPY's and SYNC's
    DosStamp stamp = ToDos(e.mtime);
    if (newerOnly && (uint32_t(stamp.date) << 16 | stamp.time) <=
                         (uint32_t(device->date) << 16 | device->time))
      continue;
    Printf("  %s ", name.c_str());
    fat->lastError = 0;
    bool ok = WritePcFileToDevice(fat, JoinPc(folder, e.name.c_str()), name.data(), stamp);
    Printf("\n");
    if (!ok) {
      Printf("  文件%s写数据失败\n", name.c_str());
      ++failed;
      if (fat->lastError == -1 || fat->lastError == -12) break;
      continue;
    }
    ++replaced;
  }
  Printf("已替换 %u 个文件\n", replaced);
  return failed ? -1 : 1;
}

// LABEL [name | /D]: shows, sets or removes the current partition's label.
int CommandShell::CmdLabel(int argc, char** argv) {
  const char letter = char('C' + fat->curPartIndex);
  fat->lastError = 0;
  if (argc == 1) {
    char label[12];
    int r = fat->GetVolumeLabel(label);
    if (r < 0) return EngineResult(fat->lastError);
    if (r == 1)
      Printf(" 驱动器 %c 中的卷没有标签。\n", letter);
    else
      Printf(" 驱动器 %c 中的卷是 %s\n", letter, label);
    return 1;
  }
  if (argc == 2 && IsSwitch(argv[1], 'D'))
    return fat->SetVolumeLabel(nullptr) == 0 ? 1 : EngineResult(fat->lastError);
  // A label may hold blanks: the words are joined by one.
  std::string label = argv[1];
  for (int i = 2; i < argc; ++i) label += std::string(" ") + argv[i];
  return fat->SetVolumeLabel(label.c_str()) == 0 ? 1 : EngineResult(fat->lastError);
}
