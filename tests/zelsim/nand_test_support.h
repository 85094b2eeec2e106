// Helpers of the zelsim tests: small chips, a model driven request by
// request, and an independent reader of NAND file spares.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "model/device_model.h"
#include "tervlink/records.h"
#include "../support/test_dir.h"

// A chip of the default chip's shape (512-byte pages, 32 sectors per
// block), cut down to 2 zones of 64 blocks with 50 logical blocks each, so
// that a test's NAND file is 2 MB.
inline nand::NandChip SmallChip() {
  return nand::NandChip{"SMALL", {0x98, 0x79, 0xFF, 0xFF, 0xFF}, 512, 16, 32, 128, 1, 2, 64, 50};
}
// A chip with 2048-byte pages (4 sectors per page, 256 sectors per block),
// 1 zone of 16 blocks with 10 logical blocks.
inline nand::NandChip LargePageChip() {
  return nand::NandChip{"LARGE", {0xEC, 0xF1, 0xFF, 0x15, 0xFF}, 2048, 64, 64, 16, 4, 1, 16, 10};
}

// A fresh folder for one test.
inline std::string FreshDir(const std::string& name) {
  auto dir = ProgramTestDir().path() / ("zelsim-" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

// Bytes [offset, offset + n) of a file, read without any of zelsim's code.
inline std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t n) {
  std::ifstream f(path, std::ios::binary);
  f.seekg(std::streamoff(offset));
  std::vector<uint8_t> out(n);
  f.read(reinterpret_cast<char*>(out.data()), std::streamsize(n));
  if (size_t(f.gcount()) != n) out.clear();
  return out;
}

// The SLC block address word of a physical sector of a file with one
// sector per 528-byte page: spare bytes 6-7, high byte first. The copy at
// 11-12 must agree; 0 when it does not.
inline uint16_t SlcSpareWord(const std::string& path, uint64_t physicalSector) {
  auto spare = FileBytes(path, physicalSector * 528 + 512, 16);
  if (spare.size() != 16) return 0;
  uint16_t first = uint16_t(spare[6] << 8 | spare[7]);
  uint16_t second = uint16_t(spare[11] << 8 | spare[12]);
  return first == second ? first : 0;
}

inline bool EvenParity(uint16_t w) { return __builtin_popcount(w) % 2 == 0; }

// Sector contents that differ per sector and per seed.
inline std::vector<uint8_t> Pattern(uint32_t firstSector, uint32_t count, uint8_t seed) {
  std::vector<uint8_t> d(size_t(count) * 512);
  for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t((i / 512 + firstSector) * 31 + i * 7 + seed);
  return d;
}

// A DeviceModel in a state folder, restarted at will, driven one request
// at a time.
class ModelHarness {
 public:
  ModelConfig config;

  explicit ModelHarness(const std::string& name) {
    config.stateDir = FreshDir(name);
    config.nand.chip[0] = config.nand.chip[1] = SmallChip();
  }

  // Starts (or restarts) the model; false when it does not come up.
  bool Start() {
    model.reset();
    model = std::make_unique<DeviceModel>(config);
    return model->Ok();
  }
  std::string DiskFile(int disk = 0) const {
    return config.stateDir + "/disk" + std::to_string(disk) + ".nand";
  }

  DeviceAnswer Do(uint8_t code, uint32_t length = 0, uint32_t p8 = 0, uint32_t p12 = 0,
                  std::span<const uint8_t> data = {}, uint16_t disk = 0) {
    _ZEL_REQUEST b;
    b.command = code;
    b.direction = data.empty() ? kDirToPc : kDirToDevice;
    b.disk = disk;
    b.length = length;
    b.SetParam32(8, p8);
    b.SetParam32(12, p12);
    return model->Execute(b, data);
  }
  bool Write(uint32_t sector, const std::vector<uint8_t>& data) {
    uint32_t count = uint32_t(data.size() / 512);
    DeviceAnswer a = Do(req::kWrite, count * 512, sector, count, data);
    return a.status == 0;
  }
  // A sector read's bytes; none when it was refused.
  std::vector<uint8_t> Read(uint32_t sector, uint32_t count) {
    DeviceAnswer a = Do(req::kRead, count * 512, sector, count);
    return a.status == 0 ? a.data : std::vector<uint8_t>{};
  }
  // The block table entries of logical blocks first .. first + count - 1.
  std::vector<uint32_t> Table(uint32_t first, uint32_t count) {
    DeviceAnswer a = Do(req::kGetBlockTable, count * 4, first, count);
    std::vector<uint32_t> t;
    for (size_t i = 0; i + 4 <= a.data.size(); i += 4)
      t.push_back(uint32_t(a.data[i]) | uint32_t(a.data[i + 1]) << 8 |
                  uint32_t(a.data[i + 2]) << 16 | uint32_t(a.data[i + 3]) << 24);
    return t;
  }

  std::unique_ptr<DeviceModel> model;
};
