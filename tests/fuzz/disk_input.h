// A fuzzer's bytes as a disk of the engine's in-memory device, and back:
// records of a sector number (u16, taken modulo the disk's sectors) and its
// 512 bytes (a short last record is padded with zeros); every other sector
// reads as zeros. And the check that the writes since the last look stay
// inside one partition and outside every other.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../fat_device/test_disk.h"
#include "fuzz_support.h"
#include "tervlink/bytes.h"

constexpr size_t kSectorRecordBytes = 2 + 512;
constexpr uint32_t kFuzzCylinders = 256, kFuzzHeads = 1, kFuzzSectorsPerTrack = 32;  // 4 MB

inline void LoadSectorRecords(MemDevice& dev, const uint8_t* data, size_t size) {
  uint64_t total = dev.TotalSectors(0);
  for (size_t at = 0; at < size; at += kSectorRecordBytes) {
    uint8_t record[kSectorRecordBytes] = {};
    memcpy(record, data + at, std::min(kSectorRecordBytes, size - at));
    memcpy(dev.At(0, uint32_t(bytes::Get16(record) % total)).data(), record + 2, 512);
  }
}

inline std::string SerialiseSectors(const MemDevice& dev) {
  std::vector<uint32_t> used;
  for (const auto& [s, bytes] : dev.disks[0].sectors)
    if (std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; })) used.push_back(s);
  std::sort(used.begin(), used.end());
  std::string out;
  for (uint32_t s : used) {
    uint8_t number[2];
    bytes::Put16(number, uint16_t(s));
    out.append(reinterpret_cast<char*>(number), 2);
    out.append(reinterpret_cast<const char*>(dev.disks[0].sectors.at(s).data()), 512);
  }
  return out;
}

// A seed disk: the engine partitions the 4 MB disk (C 1 MB FAT12, D 64 KB
// reserved, E the rest), formats it and hands it to fill with C current;
// the result as sector records. Messages go nowhere.
template <typename Fill>
std::string SeedDisk(Fill fill) {
  host::StringOutput quiet;
  host::Output* previous = host::SetOut(&quiet);
  MemDevice dev;
  dev.SetGeometry(0, kFuzzCylinders, kFuzzHeads, kFuzzSectorsPerTrack);
  auto fat = std::make_unique<FAT_DEVICE>(&dev);
  fat->diskCount = 1;
  fat->Init();
  int sizes[4] = {1024, 64, -1, 0};
  memcpy(fat->disks[0].partSizes, sizes, sizeof sizes);
  fat->DiskPartition(0);
  fat->DiskLogicalFormat(0, 4);
  fat->file_system_switch_to(0, 0);
  fill(*fat);
  host::SetOut(previous);
  return SerialiseSectors(dev);
}

// Every write logged since the last check lies inside partition part and
// outside the other partitions.
inline void CheckWritesInside(MemDevice& dev, const FAT_DEVICE& fat, int part) {
  auto range = [&](int k) {
    const _PART_INFO& p = fat.disks[0].parts[k];
    return std::pair<uint64_t, uint64_t>{p.startSector, uint64_t(p.startSector) + p.sectorCount};
  };
  auto own = range(part);
  for (const auto& req : dev.log) {
    if (req.op != 'W' && req.op != 'w') continue;
    uint64_t first = req.sector, end = uint64_t(req.sector) + req.count;
    FUZZ_CHECK(first >= own.first && end <= own.second);
    for (int other = 0; other < kFatParts; ++other) {
      auto r = range(other);
      if (other != part && r.first != r.second) FUZZ_CHECK(end <= r.first || first >= r.second);
    }
  }
  dev.log.clear();
}
