// Helpers shared by the engine's tests: an engine over a MemDevice with a
// partitioned and formatted disk, and an independent consistency check of a
// FAT partition that reads the raw sectors itself (not through the engine).
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "mem_device.h"
#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"

struct TestDisk {
  MemDevice dev;
  std::unique_ptr<FAT_DEVICE> fat;
  host::StringOutput out;
  host::Output* previous = nullptr;

  // A disk of cylinders x 1 x 32 sectors, partitioned with sizes (KB) and
  // formatted; partition C current.
  explicit TestDisk(uint32_t cylinders = 2000, std::array<int, 4> sizes = {8192, 0, -1, 0},
                    bool format = true) {
    previous = host::SetOut(&out);
    dev.SetGeometry(0, cylinders, 1, 32);
    fat = std::make_unique<FAT_DEVICE>(&dev);
    fat->diskCount = 1;
    fat->Init();
    memcpy(fat->disks[0].partSizes, sizes.data(), sizeof(int) * 4);
    if (format) {
      fat->DiskPartition(0);
      fat->DiskLogicalFormat(0, 4);
    }
    fat->file_system_switch_to(0, 0);
    out.text.clear();
    dev.log.clear();
  }
  ~TestDisk() { host::SetOut(previous); }

  // A second engine that reads the device afresh (what a restart would see).
  std::unique_ptr<FAT_DEVICE> Reopen() {
    auto e = std::make_unique<FAT_DEVICE>(&dev);
    e->diskCount = 1;
    e->Init();
    e->file_system_switch_to(0, fat->curPartIndex);
    return e;
  }
  int Write(const char* name, const std::string& data) {
    return fat->WriteFile(const_cast<char*>(name), const_cast<char*>(data.data()), int(data.size()),
                          nullptr);
  }
  std::string Read(const char* name) {
    int n = fat->FileSize(const_cast<char*>(name));
    if (n < 0) return "<missing>";
    std::string s(size_t(n), '\0');
    int got = fat->ReadFile(const_cast<char*>(name), s.data(), n, nullptr);
    if (got != n) return "<short>";
    return s;
  }
};

// Entry form of a plain name, through the engine under test.
inline std::string Entry(FAT_DEVICE& fat, const char* name) {
  char out[12] = {};
  fat.NormalizeFileName(const_cast<char*>(name), out);
  return std::string(out, 11);
}

inline std::string Pattern(size_t n, char seed) {
  std::string s(n, '\0');
  uint32_t x = uint32_t(seed) * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return s;
}

// An independent check of the FAT partition starting at sector start of
// disk 0: every entry's chain stays inside the partition, no cluster is in
// two chains, file chains have exactly the clusters their size needs, and
// no allocated cluster is unreferenced. The problems found, empty when none.
inline std::vector<std::string> CheckVolume(const MemDevice& dev, uint32_t start) {
  std::vector<std::string> problems;
  auto sec = [&](uint32_t s) { return dev.Get(0, s); };
  auto bs = sec(start);
  auto g16 = [](const uint8_t* p) { return unsigned(p[0] | p[1] << 8); };
  unsigned spc = bs[13], reserved = g16(&bs[14]), fats = bs[16], roots = g16(&bs[17]);
  unsigned spf = g16(&bs[22]);
  uint32_t total = g16(&bs[19]) ? g16(&bs[19]) : uint32_t(bs[32] | bs[33] << 8 | bs[34] << 16 | bs[35] << 24);
  if (spc == 0 || fats == 0) return {"bad boot sector"};
  uint32_t rootStart = start + reserved + fats * spf, rootSecs = roots * 32 / 512;
  uint32_t dataStart = rootStart + rootSecs;
  uint32_t clusters = (total - (dataStart - start)) / spc;
  bool fat16 = clusters > 4084;
  std::vector<uint8_t> table(size_t(spf) * 512);
  for (unsigned i = 0; i < spf; ++i) {
    auto s = sec(start + reserved + i);
    memcpy(&table[size_t(i) * 512], s.data(), 512);
  }
  for (unsigned f = 1; f < fats; ++f)
    for (unsigned i = 0; i < spf; ++i)
      if (sec(start + reserved + f * spf + i) != sec(start + reserved + i))
        problems.push_back("FAT copies differ");
  auto next = [&](unsigned c) -> unsigned {
    if (fat16) return g16(&table[size_t(c) * 2]);
    unsigned v = g16(&table[size_t(c) * 3 / 2]);
    return (c & 1) ? v >> 4 : v & 0xFFF;
  };
  unsigned endMin = fat16 ? 0xFFF8 : 0xFF8;
  std::vector<int> owner(clusters + 2, 0);
  int owners = 0;
  auto chain = [&](unsigned first, const std::string& who) -> std::vector<unsigned> {
    std::vector<unsigned> c;
    ++owners;
    for (unsigned x = first; x != 0;) {
      if (x < 2 || x > clusters + 1) {
        problems.push_back(who + ": cluster out of range");
        break;
      }
      if (owner[x]) {
        problems.push_back(who + ": cross-linked or looping");
        break;
      }
      owner[x] = owners;
      c.push_back(x);
      unsigned n = next(x);
      if (n >= endMin) break;
      if (n == 0) {
        problems.push_back(who + ": chain runs into a free cluster");
        break;
      }
      x = n;
    }
    return c;
  };
  std::function<void(std::vector<uint32_t>, std::string)> walk = [&](std::vector<uint32_t> sectors,
                                                                     std::string path) {
    for (uint32_t s : sectors) {
      auto d = sec(s);
      for (int i = 0; i < 16; ++i) {
        const uint8_t* e = &d[size_t(i) * 32];
        if (e[0] == 0) return;
        if (e[0] == 0xE5 || e[11] == 0x0F || (e[11] & 0x08)) continue;
        std::string name(reinterpret_cast<const char*>(e), 11);
        if (name == ".          " || name == "..         ") continue;
        unsigned first = g16(e + 26);
        uint32_t size = uint32_t(e[28] | e[29] << 8 | e[30] << 16 | e[31] << 24);
        auto c = chain(first, path + name);
        if (e[11] & 0x10) {
          std::vector<uint32_t> sub;
          for (unsigned x : c)
            for (unsigned k = 0; k < spc; ++k) sub.push_back(dataStart + (x - 2) * spc + k);
          walk(sub, path + name + "\\");
        } else {
          uint64_t need = (uint64_t(size) + spc * 512 - 1) / (spc * 512);
          if (c.size() != need) problems.push_back(path + name + ": chain length does not fit size");
        }
      }
    }
  };
  std::vector<uint32_t> root;
  for (uint32_t i = 0; i < rootSecs; ++i) root.push_back(rootStart + i);
  walk(root, "\\");
  for (unsigned c = 2; c <= clusters + 1; ++c)
    if (next(c) != 0 && !owner[c]) {
      problems.push_back("lost cluster " + std::to_string(c));
      break;
    }
  return problems;
}
