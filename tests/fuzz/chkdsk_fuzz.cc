// CHKDSK over a disk made of the fuzzer's bytes (sector records of a 4 MB
// disk, disk_input.h): on every FAT partition a check, a repair, and a
// check of what the repair left, by the same engine and by a fresh one.
//
// Promises checked besides "no crash, no hang": a check writes nothing and
// a repair writes only inside its partition (never into another); a
// partition found sound is not written; a repair that reports success
// leaves a partition that a check, also after a new start, finds sound;
// the device requests of one run stay within a bound of the disk's size.
//
// The engine and the device are made once and reused: each input only
// replaces the device's sectors and initialises the engine again.

#include <memory>

#include "disk_input.h"

namespace {


struct Bench {
  MemDevice dev;
  std::unique_ptr<FAT_DEVICE> fat;
  Bench() {
    dev.SetGeometry(0, kFuzzCylinders, kFuzzHeads, kFuzzSectorsPerTrack);
    fat = std::make_unique<FAT_DEVICE>(&dev);
    fat->diskCount = 1;
  }
};

size_t Writes(const MemDevice& dev) { return dev.CountOf('W') + dev.CountOf('w'); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Bench bench;
  MemDevice& dev = bench.dev;
  FAT_DEVICE& fat = *bench.fat;
  host::StringOutput quiet;
  host::Output* previous = host::SetOut(&quiet);
  dev.disks[0].sectors.clear();
  LoadSectorRecords(dev, data, size);
  const size_t bound = 8 * dev.TotalSectors(0);  // requests of one CHKDSK run
  if (fat.Init() == 1) {
    for (int part = 0; part < kFatParts; ++part) {
      if (part == kReservedSlot || fat.GetPartitionMode(0, part) == 0) continue;
      dev.log.clear();
      int checked = fat.CheckDisk(0, part, false);
      FUZZ_CHECK(checked == 1 || checked == -1);
      FUZZ_CHECK(Writes(dev) == 0);
      FUZZ_CHECK(dev.log.size() < bound);
      dev.log.clear();
      int repaired = fat.CheckDisk(0, part, true);
      FUZZ_CHECK(dev.log.size() < 3 * bound);
      if (checked == 1) FUZZ_CHECK(repaired == 1 && Writes(dev) == 0);
      CheckWritesInside(dev, fat, part);
      if (repaired != 1) continue;
      FUZZ_CHECK(fat.CheckDisk(0, part, false) == 1);
      // What is on the device, read afresh, is as sound.
      auto fresh = std::make_unique<FAT_DEVICE>(&dev);
      fresh->diskCount = 1;
      FUZZ_CHECK(fresh->Init() == 1);
      FUZZ_CHECK(fresh->CheckDisk(0, part, false) == 1);
    }
  }
  host::SetOut(previous);
  return 0;
}

// Seeds: disks the engine partitioned and filled, then damaged in the ways
// CHKDSK repairs.
std::vector<std::pair<std::string, std::string>> FuzzSeeds() {
  std::vector<std::pair<std::string, std::string>> seeds;
  auto make = [&](const char* name, auto damage) {
    seeds.push_back({name, SeedDisk([&](FAT_DEVICE& fat) {
                       // File data is zeros but for one byte per sector, which
                       // keeps the seeds small (zero sectors are not stored).
                       auto write = [&](const char* file, size_t bytes) {
                         std::string data(bytes, '\0');
                         for (size_t i = 0; i < bytes; i += 512) data[i] = file[0];
                         fat.WriteFile(const_cast<char*>(file), data.data(), int(bytes), nullptr);
                       };
                       write("A.TXT", 5000);
                       write("B.BIN", 3000);
                       char sub[] = "SUB        ";
                       fat.MakeDirectory(sub);
                       fat.ChangeDirectory(sub);
                       write("IN.TXT", 2500);
                       fat.ChangeRootDirectory();
                       damage(fat);
                       fat.SaveFatTable();
                     })});
  };
  auto entry = [](FAT_DEVICE& fat, const char* name11) {
    fat.SearchFile(0x3F, const_cast<char*>(name11));
    return fat.curPart->currentEntry;
  };
  make("sound", [](FAT_DEVICE&) {});
  make("lost-and-loop", [](FAT_DEVICE& fat) {
    fat.SetFatEntry(60, 61);
    fat.SetFatEntry(61, 60);
    fat.SetFatEntry(70, 0xFFF);
  });
  make("cross-link", [&](FAT_DEVICE& fat) {
    uint8_t* e = entry(fat, "B       BIN");
    bytes::Put16(e + 26, 3);
    fat.UpdateEntry();
  });
  make("folder-loop", [&](FAT_DEVICE& fat) {
    uint8_t* e = entry(fat, "SUB        ");
    unsigned sub = bytes::Get16(e + 26);
    fat.ChangeDirectory(const_cast<char*>("SUB        "));
    e = entry(fat, "IN      TXT");
    e[11] = 0x10;
    bytes::Put16(e + 26, uint16_t(sub));
    fat.UpdateEntry();
    fat.ChangeRootDirectory();
  });
  make("sizes-and-names", [&](FAT_DEVICE& fat) {
    uint8_t* e = entry(fat, "A       TXT");
    bytes::Put32(e + 28, 900000);
    e[1] = '*';
    fat.UpdateEntry();
    fat.SetFatEntry(2, 0xF00);
  });
  return seeds;
}
