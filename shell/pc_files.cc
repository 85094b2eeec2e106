// Device files and PC files: times, names and the device-to-PC copy.

#include "pc_files.h"

#include <cstring>
#include <map>

#include "tervlink/text.h"

#include "command_shell.h"
#include "tervlink/text.h"

DosStamp ToDos(int64_t mtime) {
  host::LocalTime t = host::ToLocal(mtime);
  if (t.year < 1980) return {uint16_t(1 << 5 | 1), 0};
  if (t.year > 2107) return {uint16_t(127 << 9 | 12 << 5 | 31), uint16_t(23 << 11 | 59 << 5 | 29)};
  return {uint16_t((t.year - 1980) << 9 | t.month << 5 | t.day),
          uint16_t(t.hour << 11 | t.minute << 5 | t.second / 2)};
}

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

std::string JoinPc(const std::string& folder, const char* name) {
  std::string path = folder;
  if (path.empty() || path.back() != host::kSep) path += host::kSep;
  return path + name;
}

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

bool Addressable(FAT_DEVICE* fat, const char* name, std::set<std::string>& listed) {
  char name11[12] = {};
  if (fat->NormalizeFileName(const_cast<char*>(name), name11) != 0) return false;
  if (text::EntryText(name11) != name) return false;
  return listed.insert(name).second;
}

bool CopyDeviceFileToPc(FAT_DEVICE* fat, char* name, int size, const std::string& path,
                        int64_t mtime, const char* here) {
  host::PcFileWriter writer;
  if (!writer.Open(here ? here : path.c_str(), false, path.c_str())) return false;
  writer.KeepTime(mtime);
  PcFileStream pcFile(writer);
  return fat->ReadFileTo(name, pcFile, size) == size && writer.Commit();
}

DevicePlace Here(FAT_DEVICE* fat) {
  DevicePlace p;
  p.dir = fat->curPart->currentDir;
  memcpy(p.path, fat->curPart->currentPath, sizeof p.path);
  return p;
}

void GoBack(FAT_DEVICE* fat, const DevicePlace& p) {
  fat->curPart->currentDir = p.dir;
  memcpy(fat->curPart->currentPath, p.path, sizeof p.path);
}

std::vector<std::string> DeviceNames(FAT_DEVICE* fat, const std::vector<host::DirEntry>& entries) {
  std::vector<std::string> names;
  std::map<std::string, int> uses;
  for (const host::DirEntry& e : entries) {
    char name11[12] = {};
    std::string form;
    bool control = false;
    for (char c : e.name) control |= uint8_t(c) <= 0x20 || c == 0x7F;
    if (!(e.isDir && e.name[0] == '.') && !control &&
        fat->NormalizeFileName(const_cast<char*>(e.name.c_str()), name11) == 0 &&
        text::EqualNoCase(text::EntryText(name11).c_str(), e.name.c_str()))
      form.assign(name11, 11);
    if (!form.empty()) ++uses[form];
    names.push_back(form);
  }
  for (std::string& form : names)
    if (!form.empty() && uses[form] > 1) form.clear();
  return names;
}

namespace {

// Data already in memory, handed to the engine piece by piece.
class HeldStream : public FileDataStream {
 public:
  explicit HeldStream(std::string_view data) : left_(data) {}
  bool Fill(char* into, uint32_t n) override {
    if (n > left_.size()) return false;
    memcpy(into, left_.data(), n);
    left_.remove_prefix(n);
    return true;
  }
  bool Take(const char*, uint32_t) override { return false; }

 private:
  std::string_view left_;
};

}  // namespace

bool WritePcFileToDevice(FAT_DEVICE* fat, const std::string& path, char* name, DosStamp stamp,
                         const std::string_view* held) {
  if (held) {
    HeldStream source(*held);
    int length = int(held->size());
    return fat->WriteFileFromDated(name, source, length, stamp.time, stamp.date) == length;
  }
  uint64_t length = 0;
  FILE* f = host::OpenPcFileToRead(path.c_str(), length);
  if (!f) return false;
  bool ok = length <= 0x7FFFFFFFu;
  if (!ok) host::SetReason("PC file %s is larger than a device file can be (2 GB)", path.c_str());
  PcFileStream source(f, path.c_str());
  ok = ok && fat->WriteFileFromDated(name, source, int(length), stamp.time, stamp.date) ==
                 int(length);
  fclose(f);
  return ok;
}

