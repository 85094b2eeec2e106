// An in-memory FAT_DEVICE_IO for the engine's tests and benchmarks.
//
// Up to four disks of sparse 512-byte sectors (a sector never written reads
// as zeros), a geometry per disk, a log of every storage request, and fault
// injection: fail the n-th write or read from now, fail a given sector, fail
// a Switch. The non-storage operations answer -1. Disks can be saved to and
// loaded from plain image files for the interoperation checks.
// Everything else fails as in FailingDevice.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "../support/fake_device.h"
#include "tervlink/fat_device_io.h"

class MemDevice : public FailingDevice {
 public:
  using Sector = std::array<uint8_t, 512>;
  struct Request {
    char op;  // 'R' Read, 'W' Write, 'r' Direct_Read, 'w' Direct_Write, 'S' Switch, 'C' capacity
    uint32_t sector;
    uint32_t count;
  };
  struct Disk {
    std::unordered_map<uint32_t, Sector> sectors;
    partition geometry;
  };

  MemDevice() { SetGeometry(0, 8000, 1, 32); }
  virtual ~MemDevice() = default;

  void SetGeometry(int disk, uint32_t cylinders, uint32_t heads, uint32_t sectorsPerTrack) {
    disks[disk].geometry = partition{0, 0, cylinders, heads, sectorsPerTrack};
  }
  uint64_t TotalSectors(int disk) const {
    const partition& g = disks[disk].geometry;
    return uint64_t(g.cylinders) * g.heads * g.sectorsPerTrack;
  }
  Sector& At(int disk, uint32_t s) { return disks[disk].sectors[s]; }
  Sector Get(int disk, uint32_t s) const {
    auto it = disks[disk].sectors.find(s);
    return it == disks[disk].sectors.end() ? Sector{} : it->second;
  }
  size_t CountOf(char op) const {
    size_t n = 0;
    for (const auto& r : log)
      if (r.op == op) ++n;
    return n;
  }

  // Plain image files: sectors first .. first + count - 1 of a disk (a
  // partition alone, as fsck.fat reads one, with first its start).
  bool SaveImage(int disk, const std::string& path, uint64_t count, uint32_t first = 0) const {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    for (uint64_t s = 0; s < count && f; ++s) {
      Sector sec = Get(disk, uint32_t(first + s));
      f.write(reinterpret_cast<const char*>(sec.data()), 512);
    }
    return bool(f);
  }
  bool LoadImage(int disk, const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    disks[disk].sectors.clear();
    Sector sec;
    for (uint32_t s = 0; f.read(reinterpret_cast<char*>(sec.data()), 512); ++s) {
      bool zero = true;
      for (uint8_t b : sec) zero = zero && b == 0;
      if (!zero) disks[disk].sectors[s] = sec;
    }
    return true;
  }

  // ---- storage ----
  int32_t DiskReadCapacity(partition* cap, int32_t disk) override {
    log.push_back({'C', uint32_t(disk), 0});
    if (gone || disk < 0 || disk > 3) return -1;
    *cap = disks[disk].geometry;
    return 0;
  }
  int32_t Switch(int32_t disk) override {
    log.push_back({'S', uint32_t(disk), 0});
    if (gone || disk < 0 || disk > 3 || disk == failSwitch) return -1;
    current = disk;
    return 1;
  }
  uint32_t DeviceLosses() override {
    if (lossAfterQueries >= 0 && lossAfterQueries-- == 0) ++losses;
    return losses;
  }
  int32_t Read(uint32_t s, uint32_t n, char* b) override { return Move('R', s, n, b); }
  int32_t Write(uint32_t s, uint32_t n, char* b) override { return Move('W', s, n, b); }
  int32_t Direct_Read(uint32_t s, uint32_t n, char* b) override { return Move('r', s, n, b); }
  int32_t Direct_Write(uint32_t s, uint32_t n, char* b) override { return Move('w', s, n, b); }

  // ---- faults ----
  int failWriteAfter = -1;  // writes that still succeed; then every write fails
  int failReadAfter = -1;
  int failOneWriteAfter = -1;  // writes that succeed; then one fails and the rest succeed
  int64_t failSector = -1;  // any transfer touching this sector fails
  int failSwitch = -1;
  // A link that drops: writes that still succeed, then the device is gone
  // (every request fails) until `gone` is cleared again.
  int dropAfterWrites = -1;
  bool gone = false;
  uint32_t losses = 0;  // times the device went away and came back (maybe changed)
  int lossAfterQueries = -1;  // DeviceLosses answers before one more loss is seen
  bool logging = true;

  std::vector<Request> log;
  Disk disks[4];
  int current = 0;


 private:
  int32_t Move(char op, uint32_t s, uint32_t n, char* b) {
    if (logging) log.push_back({op, s, n});
    bool write = op == 'W' || op == 'w';
    if (write && dropAfterWrites >= 0 && dropAfterWrites-- == 0) gone = true;
    if (gone) return -1;
    int& after = write ? failWriteAfter : failReadAfter;
    if (after == 0) return -1;
    if (after > 0) --after;
    if (write && failOneWriteAfter >= 0 && failOneWriteAfter-- == 0) return -1;
    if (failSector >= 0 && uint64_t(failSector) >= s && uint64_t(failSector) < uint64_t(s) + n)
      return -1;
    if (uint64_t(s) + n > TotalSectors(current)) return -1;  // past the end of the disk
    Disk& d = disks[current];
    for (uint32_t i = 0; i < n; ++i) {
      char* p = b + size_t(i) * 512;
      if (write) {
        memcpy(d.sectors[s + i].data(), p, 512);
      } else {
        auto it = d.sectors.find(s + i);
        if (it == d.sectors.end())
          memset(p, 0, 512);
        else
          memcpy(p, it->second.data(), 512);
      }
    }
    return 0;
  }
};
