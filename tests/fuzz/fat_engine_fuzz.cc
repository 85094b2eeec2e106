// The FAT engine over a disk made of the fuzzer's bytes: initialise, list
// every directory, read every file, write, read back and delete one file
// on each FAT partition, then format partition C and use it again.
//
// Input: sector records of a 4 MB disk (disk_input.h).
//
// Promises checked besides "no crash, no hang": a write the engine reports
// as done reads back the same, and no write lands outside the current
// partition or inside another partition.

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "disk_input.h"
#include "tervlink/bytes.h"

namespace {

constexpr int kMaxDepth = 8;
constexpr int kMaxFileBytes = 1 << 20;

// Lists the current directory, reads each file, then enters each
// subdirectory not already being walked.
void Walk(FAT_DEVICE& fat, std::set<uint32_t>& inside, int depth) {
  std::vector<std::string> subdirs;
  _FILE_FIND find{};
  char all[] = "*";
  for (int more = fat.FindFirstFileA(all, &find); more == 1; more = fat.FindNextFileA(&find)) {
    if (find.attributes & kAttrDirectory) {
      if (find.name[0] != '.') subdirs.push_back(find.name);
      continue;
    }
    int size = fat.FileSize(find.name);
    if (size < 0) continue;
    std::string data(size_t(std::min(size, kMaxFileBytes)), '\0');
    int got = fat.ReadFile(find.name, data.data(), int(data.size()), nullptr);
    FUZZ_CHECK(got <= int(data.size()));
  }
  if (depth >= kMaxDepth) return;
  for (std::string& name : subdirs) {
    char name11[12] = {};
    if (fat.NormalizeFileName(name.data(), name11) != 0 || fat.ChangeDirectory(name11) != 0)
      continue;
    uint32_t dir = fat.curPart->currentDir;
    if (inside.insert(dir).second) {
      Walk(fat, inside, depth + 1);
      inside.erase(dir);
    }
    char parent[] = "..         ";
    if (fat.ChangeDirectory(parent) != 0) return;  // no way back: the walk ends here
  }
}

// Writes a file, reads it back and deletes it.
void WriteReadDelete(FAT_DEVICE& fat, int size) {
  std::string data = Pattern(size_t(size), char(size));
  char name[] = "FUZZ.TMP";
  int wrote = fat.WriteFile(name, data.data(), size, nullptr);
  if (wrote != size) return;
  FUZZ_CHECK(fat.FileSize(name) == size);
  std::string back(size_t(size), '\0');
  FUZZ_CHECK(fat.ReadFile(name, back.data(), size, nullptr) == size);
  FUZZ_CHECK(back == data);
  char name11[12] = {};
  FUZZ_CHECK(fat.NormalizeFileName(name, name11) == 0);
  fat.RemoveFile(name11);
}

void UsePartition(MemDevice& dev, FAT_DEVICE& fat, int part) {
  fat.file_system_switch_to(0, part);
  fat.ChangeRootDirectory();
  dev.log.clear();
  std::set<uint32_t> inside{0};
  Walk(fat, inside, 0);
  fat.ChangeRootDirectory();
  WriteReadDelete(fat, 40000);
  CheckWritesInside(dev, fat, part);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::StringOutput quiet;
  host::Output* previous = host::SetOut(&quiet);
  // One device and one engine serve every input: the device is emptied and
  // the engine started again on it (Init reads everything afresh), as a
  // new session would, without building megabytes of engine per input.
  static MemDevice& dev = *new MemDevice;
  static FAT_DEVICE* const fat = new FAT_DEVICE(&dev);
  dev.disks[0].sectors.clear();
  dev.log.clear();
  dev.current = 0;
  dev.SetGeometry(0, kFuzzCylinders, kFuzzHeads, kFuzzSectorsPerTrack);
  LoadSectorRecords(dev, data, size);
  fat->diskCount = 1;
  fat->lastError = 0;
  if (fat->Init() == 1) {
    for (int part = 0; part < kFatParts; ++part)
      if (part != kReservedSlot && fat->GetPartitionMode(0, part) != 0) UsePartition(dev, *fat, part);
    // A format of C over whatever the table says, then C in use again.
    if (fat->disks[0].parts[0].sectorCount != 0) {
      dev.log.clear();
      int formatted = fat->DiskLogicalFormat(0, 0);
      CheckWritesInside(dev, *fat, 0);
      if (formatted == 0) UsePartition(dev, *fat, 0);
    }
  }
  host::SetOut(previous);
  return 0;
}

// Seeds: disks the engine itself partitioned and filled.
std::vector<std::pair<std::string, std::string>> FuzzSeeds() {
  std::vector<std::pair<std::string, std::string>> seeds;
  auto make = [&](const char* name, auto fill) { seeds.push_back({name, SeedDisk(fill)}); };
  // File data is zeros but for one byte per cluster, which keeps the
  // seeds small (zero sectors are not stored).
  auto write = [](FAT_DEVICE& fat, const char* name, size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; i += 16384) data[i] = name[0];
    fat.WriteFile(const_cast<char*>(name), data.data(), int(size), nullptr);
  };
  auto enter = [](FAT_DEVICE& fat, const char* name) {
    char name11[12] = {};
    fat.NormalizeFileName(const_cast<char*>(name), name11);
    fat.MakeDirectory(name11);
    fat.ChangeDirectory(name11);
  };
  make("empty", [](FAT_DEVICE&) {});
  make("files", [&](FAT_DEVICE& fat) {
    write(fat, "A.TXT", 100);
    write(fat, "EMPTY", 0);
    write(fat, "BIG.BIN", 40000);
    enter(fat, "SUB");
    write(fat, "IN.TXT", 600);
    enter(fat, "DEEP");
    write(fat, "LAST.DAT", 17000);
    fat.file_system_switch_to(0, 2);
    write(fat, "E.TXT", 5000);
    enter(fat, "EDIR");
  });
  make("chain-loop", [&](FAT_DEVICE& fat) {
    write(fat, "LOOP.BIN", 3 * 16384);
    fat.SetFatEntry(4, 2);  // 2 -> 3 -> 4 -> 2 ...
    fat.SaveFatTable();
  });
  make("full-dir", [&](FAT_DEVICE& fat) {
    enter(fat, "MANY");
    for (int i = 0; i < 40; ++i) write(fat, ("F" + std::to_string(i)).c_str(), i % 8 ? 0 : 10);
  });
  return seeds;
}
