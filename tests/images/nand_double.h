// A device object whose NAND is in memory, for the ISO burn and the image
// refresh: Direct_Read and Direct_Write move sparse sectors (never-written
// ones read 0x00), every direct request is logged, and faults can be set
// (reads that fail, reads that come back with one flipped byte per sector,
// writes that fail, a failing bad-block table update, a block table to
// answer). Test and the other requests still go to a device that is not
// there, so they answer -1.
#pragma once

#include <array>
#include <cstring>
#include <map>
#include <vector>

#include "tervlink/zel_device_io.h"

class NandDouble : public ZEL_DEVICE_IO {
 public:
  using Sector = std::array<uint8_t, 512>;
  struct Request {
    char op;  // 'r' Direct_Read, 'w' Direct_Write
    uint32_t sector;
    uint32_t count;
  };

  NandDouble() : ZEL_DEVICE_IO("\\\\.\\no-such-device", 0) {}

  // Outside the image mode the engine's ordinary transfers reach the same
  // memory (without the log and the faults).
  int32_t Read(uint32_t sector, uint32_t count, char* buffer) override {
    if (imageActive) return ZEL_DEVICE_IO::Read(sector, count, buffer);
    return Move(false, sector, count, buffer);
  }
  int32_t Write(uint32_t sector, uint32_t count, char* buffer) override {
    if (imageActive) return ZEL_DEVICE_IO::Write(sector, count, buffer);
    return Move(true, sector, count, buffer);
  }
  int32_t Direct_Read(uint32_t sector, uint32_t count, char* buffer) override {
    log.push_back({'r', sector, count});
    if (failReads > 0) {
      --failReads;
      return -1;
    }
    if (Move(false, sector, count, buffer) != 0) return -1;
    if (corruptReads > 0) {
      --corruptReads;
      for (uint32_t i = 0; i < count; ++i) buffer[size_t(i) * 512] ^= 0x01;
    }
    return 0;
  }
  int32_t Direct_Write(uint32_t sector, uint32_t count, char* buffer) override {
    log.push_back({'w', sector, count});
    if (failWrites > 0) {
      --failWrites;
      return -1;
    }
    return Move(true, sector, count, buffer);
  }
  int32_t ExecuteSaveFactoryBadInfo() override {
    ++badInfoSaves;
    return badInfoResult;
  }
  int32_t NandInfo(_ZEL_NANDINFO* info) override {
    if (nandInfoResult < 0) return -1;
    *info = nandInfo;
    return 0;
  }
  int32_t GetBlockTable(uint32_t first, uint32_t count, int* out, int32_t size) override {
    tableFirst = first;
    tableCount = count;
    if (!tableAnswers) return -1;
    for (int32_t i = 0; i < size / 4 && i < int32_t(table.size()); ++i) out[i] = int(table[size_t(i)]);
    return 0;
  }

  size_t CountOf(char op) const {
    size_t n = 0;
    for (const auto& r : log) n += r.op == op;
    return n;
  }

  std::map<uint32_t, Sector> sectors;
  uint64_t totalSectors = 256000;
  std::vector<Request> log;
  int failReads = 0;
  int corruptReads = 0;
  int failWrites = 0;
  int badInfoResult = 0;
  int badInfoSaves = 0;
  int nandInfoResult = 0;
  _ZEL_NANDINFO nandInfo{8, 512, 32, 1024, 0x98, 0x79, 0xFF, 0xFF, 0xFF};
  bool tableAnswers = true;
  std::vector<uint32_t> table;
  uint32_t tableFirst = 0, tableCount = 0;

 private:
  int32_t Move(bool write, uint32_t sector, uint32_t count, char* buffer) {
    if (uint64_t(sector) + count > totalSectors) return -1;
    for (uint32_t i = 0; i < count; ++i) {
      char* p = buffer + size_t(i) * 512;
      if (write) {
        memcpy(sectors[sector + i].data(), p, 512);
        continue;
      }
      auto it = sectors.find(sector + i);
      if (it == sectors.end())
        memset(p, 0, 512);
      else
        memcpy(p, it->second.data(), 512);
    }
    return 0;
  }
};
