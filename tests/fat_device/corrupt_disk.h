// The corrupt-disk generator: one good disk, and families of mutants of it
// made with a seeded generator (loops in folders and chains, sizes,
// attributes, hostile names, overlapping partitions, random bytes). The
// shell's damaged-disk test runs every command on them; CHKDSK's corpus
// checks them against fsck.fat.
#pragma once

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mem_device.h"
#include "test_disk.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"

struct CorruptDisk {
  using Rng = std::mt19937;
  struct Place {
    uint32_t sector;
    size_t offset;
  };
  struct Family {
    const char* name;
    std::function<void(Rng&)> mutate;
  };
  // Where the good disk keeps what the mutants change: each entry's sector
  // and offset, each file's chain, C's FAT.
  std::vector<Place> entries, dirEntries, fileEntries;
  std::vector<unsigned> dirClusters = {0}, fileClusters;
  uint32_t fatStart = 0, fatCount = 0, sectorsPerFat = 0, dataStart = 0, totalSectors = 0;
  std::vector<Family> families;

  // Partitions disk 0 of fat (C 8192 KB, D 256 KB, E the rest of 2000 x 32
  // sectors), formats it and fills C with A.TXT, B.TXT, SUB\IN.TXT,
  // SUB\DEEP\D.TXT and E with E.TXT; C is current afterwards. False when a
  // step fails.
  bool Build(FAT_DEVICE& fat, MemDevice& dev) {
    dev_ = &dev;
    int sizes[4] = {8192, 256, -1, 0};
    memcpy(fat.disks[0].partSizes, sizes, sizeof sizes);
    if (fat.DiskPartition(0) != 0 || fat.DiskLogicalFormat(0, 4) != 0) return false;
    fat.file_system_switch_to(0, 0);
    auto write = [&](const char* name, const std::string& data) {
      return fat.WriteFile(const_cast<char*>(name), const_cast<char*>(data.data()), int(data.size()),
                           nullptr) == int(data.size());
    };
    auto md = [&](const char* name) {
      std::string n = Entry(fat, name);
      return fat.MakeDirectory(n.data()) == 0 && fat.ChangeDirectory(n.data()) == 0;
    };
    if (!write("A.TXT", Pattern(3 * 16384, 1)) || !write("B.TXT", "bee") || !md("SUB") ||
        !write("IN.TXT", Pattern(20000, 2)) || !md("DEEP") || !write("D.TXT", "deep"))
      return false;
    fat.ChangeRootDirectory();
    fat.file_system_switch_to(0, 2);
    if (!write("E.TXT", "on e")) return false;
    fat.file_system_switch_to(0, 0);

    const std::vector<std::pair<std::vector<const char*>, std::vector<const char*>>> folders = {
        {{}, {"A       TXT", "B       TXT", "SUB        "}},
        {{"SUB        "}, {"..         ", "IN      TXT", "DEEP       "}},
        {{"SUB        ", "DEEP       "}, {".          ", "..         ", "D       TXT"}}};
    for (const auto& [path, names] : folders) {
      fat.ChangeRootDirectory();
      for (const char* step : path)
        if (fat.ChangeDirectory(const_cast<char*>(step)) != 0) return false;
      for (const char* n : names) {
        if (fat.SearchFile(0x3F, const_cast<char*>(n)) != 0) return false;
        const uint8_t* e = fat.curPart->currentEntry;
        Place at{fat.pendStart, size_t(e - fat.curPart->dirSector)};
        entries.push_back(at);
        unsigned first = bytes::Get16(e + 26);
        if (e[11] & 0x10) {
          dirEntries.push_back(at);
          dirClusters.push_back(first);
        } else {
          fileEntries.push_back(at);
          for (unsigned c = first; c >= 2 && c < 0xFF8; c = fat.NextFatEntry(c)) fileClusters.push_back(c);
        }
      }
    }
    fat.ChangeRootDirectory();
    const _PART_INFO& c = *fat.curPart;
    fatStart = c.startSector + c.reservedSectors;
    fatCount = c.fatCount;
    sectorsPerFat = c.sectorsPerFat;
    dataStart = c.firstDataSector;
    totalSectors = uint32_t(dev.TotalSectors(0));
    MakeFamilies(dev);
    return true;
  }

  // Sets the FAT12 entry of a cluster of C on the device, in every copy or
  // in copy only.
  void SetFat(unsigned cluster, unsigned value, int only = -1) {
    for (uint32_t copy = 0; copy < fatCount; ++copy) {
      if (only >= 0 && copy != uint32_t(only)) continue;
      size_t at = size_t(cluster) * 3 / 2;
      uint32_t base = fatStart + copy * sectorsPerFat;
      uint8_t& lo = dev_->At(0, base + uint32_t(at / 512))[at % 512];
      uint8_t& hi = dev_->At(0, base + uint32_t((at + 1) / 512))[(at + 1) % 512];
      unsigned old = lo | hi << 8;
      unsigned v = (cluster & 1) ? (old & 0x000F) | (value << 4) : (old & 0xF000) | (value & 0xFFF);
      lo = uint8_t(v);
      hi = uint8_t(v >> 8);
    }
  }
  // The bytes of an entry of the good disk.
  uint8_t* At(const Place& p) { return dev_->At(0, p.sector).data() + p.offset; }

 private:
  MemDevice* dev_ = nullptr;
  void MakeFamilies(MemDevice& dev) {
    auto pick = [](Rng& r, auto& v) -> auto& { return v[r() % v.size()]; };
    auto sector = [&dev](uint32_t s) -> MemDevice::Sector& { return dev.At(0, s); };
    auto setFat = [this](unsigned cluster, unsigned value) { SetFat(cluster, value); };
    static const uint8_t hostile[] = {' ', '.', '/', '\\', 0x01, 0x05, 0xE5, 0x7F, '*', 'A', 0x00, 0x1A};
    families = {
        {"directory loop",
         [=, this](Rng& r) {
           for (unsigned n = 1 + r() % 2; n > 0; --n) {  // two make the walk branch
             Place at = pick(r, dirEntries);
             bytes::Put16(sector(at.sector).data() + at.offset + 26, uint16_t(pick(r, dirClusters)));
           }
         }},
        {"chain loop",
         [=, this](Rng& r) {
           unsigned from = pick(r, fileClusters), to = pick(r, fileClusters);
           setFat(from, to);
           if (r() % 2) {
             Place at = pick(r, fileEntries);
             bytes::Put32(sector(at.sector).data() + at.offset + 28, 0x7FFFFFFFu - r() % 16);
           }
         }},
        {"chain out of range",
         [=, this](Rng& r) { setFat(pick(r, fileClusters), r() % 2 ? r() % 0x1000 : 0xFF0 + r() % 8); }},
        {"size",
         [=, this](Rng& r) {
           const uint32_t any[] = {0, 1, 16385, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, uint32_t(r())};
           Place at = pick(r, entries);
           bytes::Put32(sector(at.sector).data() + at.offset + 28, any[r() % 7]);
         }},
        {"attributes",
         [=, this](Rng& r) {
           Place at = pick(r, entries);
           sector(at.sector)[at.offset + 11] = uint8_t(r());
         }},
        {"hostile name",
         [=, this](Rng& r) {
           Place at = pick(r, entries);
           for (int i = 0; i < 11; ++i)
             if (r() % 3 == 0) sector(at.sector)[at.offset + i] = hostile[r() % sizeof hostile];
         }},
        {"overlapping partitions",
         [=, this](Rng& r) {
           // One slot moved onto or past another, or past the end of the disk.
           uint8_t* t = sector(0).data() + 0x1BE;
           int slot = int(r() % 3);
           uint32_t start = bytes::Get32(t + 16 * slot + 8);
           switch (r() % 3) {
             case 0:  // starts inside the slot before or after it
               bytes::Put32(t + 16 * slot + 8, start + (slot == 0 ? 16384 : -16000u) + r() % 64);
               break;
             case 1:  // grows into the next slot
               bytes::Put32(t + 16 * slot + 12, bytes::Get32(t + 16 * slot + 12) + 256 + r() % 4000);
               break;
             default:  // runs past the end of the disk
               bytes::Put32(t + 16 * slot + 12, totalSectors - start + 1 + r() % 9000);
           }
         }},
        {"random bytes",
         [=, this](Rng& r) {
           for (int i = 0; i < 24; ++i) {
             uint32_t s = r() % 2 ? fatStart + r() % sectorsPerFat
                                  : (r() % 2 ? dataStart - 1 - r() % 4 : pick(r, entries).sector);
             sector(s)[r() % 512] = uint8_t(r());
           }
         }},
    };
  }
};
