// The simulator NAND file (image kind 1): a picture of a NAND chip, data and
// spare areas, that zelsim (or the device's PC simulator) loads as its flash.
//
// While the file is built, the engine's logical sectors go through a small
// flash translation layer kept here: logical sectors are grouped into
// logical blocks, logical blocks into zones; a logical block gets a free
// physical block of its zone on its first write, and every spare of that
// block carries the logical block's address word (nand_layout.h). Before
// any file system data the shell writes the boot area: loader, BIOS and user
// sectors, the factory bad-block record, the card information sector and,
// for MLC builds, the ECC ROM. No ECC is computed; ECC bytes stay 0xFF.
//
// The geometry and the mapping state are one set for the whole library:
// only one simulator build can be under way at a time in a process.
//
// Zone 0's boot pieces (sectors 0-71) and the card information block never
// share a block with each other or with data: the card information block is
// the first block after the boot pieces (nand::CardInfoBlock), and blocks 0
// up to it are never given to a logical block. zelsim keeps the same blocks.

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tervlink/host/host.h"
#include "tervlink/nand_layout.h"
#include "tervlink/records.h"
#include "tervlink/zel_device_io.h"

namespace {

constexpr uint32_t kMaxZones = 8;             // zones the mapping tables hold
constexpr uint32_t kMaxBlocksPerZone = 2048;  // physical and logical blocks per zone
constexpr uint16_t kNotAssigned = 0xFFFF;
constexpr uint64_t kMaxImageMb = 3971;        // the file must stay below 4 GB
constexpr uint32_t kSectorsPerMb = 2048;
// The 0xFF pre-fill is written one zone at a time, from a buffer of at most
// this size: a zone of the biggest chips is 270 MB, which is memory spent
// for nothing.
constexpr size_t kMaxFillBuffer = 16u << 20;
// The card information sector is tried in the first sectors of its block.
constexpr uint32_t kCardInfoTries = 8;

// The simulated flash geometry, set by SetSimuFlashParameter.
struct SimuGeometry {
  uint32_t blocksPerZone = 1024;
  uint32_t logicalBlocksPerZone = 1000;
  uint32_t sectorsPerBlock = 32;
  uint32_t sectorsPerPage = 1;
};
SimuGeometry g_geo;

// The translation layer: logical to physical block per zone, the blocks in
// use (bit b % 8 of byte b / 8, least significant bit first) and where the
// next search for a free block starts.
struct Mapping {
  uint16_t table[kMaxZones][kMaxBlocksPerZone];
  uint8_t used[kMaxZones][kMaxBlocksPerZone / 8];
  uint16_t hint[kMaxZones];
};
Mapping g_map;

nand::Geometry Layout() {
  nand::Geometry g;
  g.zones = kMaxZones;
  g.blocksPerZone = g_geo.blocksPerZone;
  g.logicalBlocksPerZone = g_geo.logicalBlocksPerZone;
  g.sectorsPerBlock = g_geo.sectorsPerBlock;
  g.sectorsPerPage = g_geo.sectorsPerPage;
  return g;
}

bool BlockUsed(uint32_t zone, uint32_t block) {
  return (g_map.used[zone][block / 8] >> (block % 8)) & 1;
}
void MarkUsed(uint32_t zone, uint32_t block) {
  g_map.used[zone][block / 8] |= uint8_t(1u << (block % 8));
}

// Every logical block unassigned; block 0 of every zone and blocks 1 up to
// the card information block of zone 0 in use.
void InitMapping(uint32_t cardInfoBlock) {
  memset(g_map.table, 0xFF, sizeof g_map.table);
  memset(g_map.used, 0, sizeof g_map.used);
  for (uint32_t z = 0; z < kMaxZones; ++z) {
    MarkUsed(z, 0);
    g_map.hint[z] = 0;
  }
  for (uint32_t b = 1; b <= cardInfoBlock && b < kMaxBlocksPerZone; ++b) MarkUsed(0, b);
}

// Zones whose blocks lie wholly in a file of imageBytes bytes (at most 8).
uint32_t ZonesInFile(uint64_t imageBytes) {
  uint64_t zoneBytes = uint64_t(g_geo.blocksPerZone) * g_geo.sectorsPerBlock * nand::kRawSectorBytes;
  return uint32_t(std::min<uint64_t>(zoneBytes ? imageBytes / zoneBytes : 0, kMaxZones));
}

bool GeometryUsable() {
  const SimuGeometry& g = g_geo;
  if (g.blocksPerZone == 0 || g.blocksPerZone > kMaxBlocksPerZone || g.logicalBlocksPerZone == 0 ||
      g.logicalBlocksPerZone > g.blocksPerZone || g.sectorsPerPage == 0 ||
      g.sectorsPerBlock == 0 || g.sectorsPerBlock % g.sectorsPerPage != 0)
    return false;
  // Block 0 must hold the boot sectors, and zone 0 a data block beside the
  // boot blocks.
  return g.sectorsPerBlock >= nand::kBootSectors &&
         nand::CardInfoBlock(Layout()) + 1 < g.blocksPerZone;
}

// Waits for one key after a build failure, but only when someone can press
// it: a script or a test is never held up.
void WaitForKey() {
  host::Print("按任意键退出\n");
  if (host::StdinIsTerminal()) host::GetKey();
}

bool WriteAt(FILE* f, uint64_t offset, const uint8_t* data, size_t n) {
  return host::SeekFile(f, offset) && fwrite(data, 1, n, f) == n;
}
bool ReadAt(FILE* f, uint64_t offset, uint8_t* data, size_t n) {
  return host::SeekFile(f, offset) && fread(data, 1, n, f) == n;
}

using Spare = std::array<uint8_t, nand::kSpareBytes>;

Spare ErasedSpare() {
  Spare s;
  s.fill(0xFF);
  return s;
}

}  // namespace

// ---- sector access by layout ------------------------------------------------
//
// Each returns 0, or -1 when the seek or the transfer fails.

int32_t ZEL_DEVICE_IO::WriteSectorDataToSimuBinFile(uint64_t p, const uint8_t* data) {
  return WriteAt(imageFile, nand::SectorDataOffset(Layout(), p, slcLayout), data, nand::kDataBytes)
             ? 0
             : -1;
}

int32_t ZEL_DEVICE_IO::ReadSectorDataFromSimuBinFile(uint64_t p, uint8_t* data) {
  return ReadAt(imageFile, nand::SectorDataOffset(Layout(), p, slcLayout), data, nand::kDataBytes)
             ? 0
             : -1;
}

int32_t ZEL_DEVICE_IO::WriteSectorRedtToSimuBinFile(uint64_t p, const uint8_t* spare) {
  return WriteAt(imageFile, nand::SectorSpareOffset(Layout(), p, slcLayout), spare,
                 nand::kSpareBytes)
             ? 0
             : -1;
}

int32_t ZEL_DEVICE_IO::ReadSectorRedtFromSimuBinFile(uint64_t p, uint8_t* spare) {
  return ReadAt(imageFile, nand::SectorSpareOffset(Layout(), p, slcLayout), spare,
                nand::kSpareBytes)
             ? 0
             : -1;
}

// ---- the translation layer --------------------------------------------------

bool ZEL_DEVICE_IO::SimuZoneUsable(uint32_t zone) const {
  return zone < kMaxZones && zone < ZonesInFile(imageBytes);
}

int32_t ZEL_DEVICE_IO::GetPhySectorID(uint32_t logicalSector, uint64_t* physicalSector) {
  nand::LogicalAddress a = nand::SplitLogicalSector(Layout(), logicalSector);
  if (!SimuZoneUsable(a.zone)) return -1;
  uint16_t block = g_map.table[a.zone][a.blockInZone];
  if (block == kNotAssigned) return -1;
  *physicalSector = nand::PhysicalSector(Layout(), a.zone, block, a.sectorInBlock);
  return 0;
}

int32_t ZEL_DEVICE_IO::AssignFreePhyBlock(uint32_t logicalSector, uint64_t* physicalSector) {
  nand::LogicalAddress a = nand::SplitLogicalSector(Layout(), logicalSector);
  // A zone past the mapping tables or past the end of the file cannot hold
  // the sector: it is refused rather than written outside the chip.
  if (!SimuZoneUsable(a.zone)) return -1;
  uint32_t hint = std::min<uint32_t>(g_map.hint[a.zone], g_geo.blocksPerZone);
  uint32_t block = kNotAssigned;
  for (uint32_t b = hint; b < g_geo.blocksPerZone && block == kNotAssigned; ++b)
    if (!BlockUsed(a.zone, b)) block = b;
  for (uint32_t b = 0; b < hint && block == kNotAssigned; ++b)
    if (!BlockUsed(a.zone, b)) block = b;
  if (block == kNotAssigned) return -1;

  // Every spare of the block is labelled once, now; later writes touch only
  // their own sector.
  nand::Geometry g = Layout();
  for (uint32_t s = 0; s < g_geo.sectorsPerBlock; ++s) {
    uint64_t p = nand::PhysicalSector(g, a.zone, block, s);
    Spare spare;
    if (ReadSectorRedtFromSimuBinFile(p, spare.data()) != 0) return -1;
    CalculateBlockID(logicalSector, spare.data());
    if (WriteSectorRedtToSimuBinFile(p, spare.data()) != 0) return -1;
  }
  MarkUsed(a.zone, block);
  g_map.hint[a.zone] = uint16_t(block + 1);
  g_map.table[a.zone][a.blockInZone] = uint16_t(block);
  *physicalSector = nand::PhysicalSector(g, a.zone, block, a.sectorInBlock);
  return 0;
}

int32_t ZEL_DEVICE_IO::CalculateBlockID(uint32_t logicalSector, uint8_t* spare) {
  nand::LogicalAddress a = nand::SplitLogicalSector(Layout(), logicalSector);
  if (a.zone >= kMaxZones) return 0;
  nand::PutBlockAddress(std::span<uint8_t, nand::kSpareBytes>(spare, nand::kSpareBytes),
                        nand::BlockAddressWord(a.blockInZone), slcLayout != 0);
  return 0;
}

int32_t ZEL_DEVICE_IO::SetupRedundant(uint32_t logicalSector, uint8_t* spare) {
  CalculateBlockID(logicalSector, spare);
  // The ECC bytes of the SLC layout are left erased: no ECC is computed for
  // the file. The MLC layout keeps its ECC bytes as the caller gave them.
  if (slcLayout)
    for (size_t at : {8, 9, 10, 13, 14, 15}) spare[at] = 0xFF;
  return 0;
}

// ---- the image kind 1 operations ----------------------------------------------

int32_t ZEL_DEVICE_IO::SetSimuFlashParameter(int32_t slc, uint32_t blocksPerZone,
                                             uint32_t logicalBlocksPerZone,
                                             uint32_t sectorsPerBlock, uint32_t sectorsPerPage) {
  slcLayout = slc;
  g_geo = SimuGeometry{blocksPerZone, logicalBlocksPerZone, sectorsPerBlock, sectorsPerPage};
  return 0;
}

int32_t ZEL_DEVICE_IO::BuildSimuBinFile(int32_t sizeMb, char* path) {
  // A geometry the mapping tables cannot hold, or a size whose bytes do
  // not fit 32 bits, would write outside the file or the tables.
  if (sizeMb <= 0 || uint64_t(sizeMb) > kMaxImageMb || !GeometryUsable() ||
      ZonesInFile(uint64_t(sizeMb) * kSectorsPerMb * nand::kRawSectorBytes) == 0) {
    host::Print("NAND仿真文件的参数无效(容量=%dMB)，构建NAND仿真BIN文件失败\n", int(sizeMb));
    imageActive = 0;
    return -1;
  }
  imageBytes = uint64_t(sizeMb) * kSectorsPerMb * nand::kRawSectorBytes;
  imageActive = 1;

  imageFile = host::OpenFile(path, "w+b");
  if (!imageFile) {
    host::Print("创建NAND仿真文件失败，构建NAND仿真BIN文件失败\r\n");
    WaitForKey();
    imageActive = 0;
    imageBytes = 0;
    return -1;
  }
  // What a failed pre-fill leaves behind is not a NAND file: it goes.
  auto fail = [&]() {
    WaitForKey();
    fclose(imageFile);
    imageFile = nullptr;
    host::RemoveFile(path);
    imageActive = 0;
    imageBytes = 0;
    return -1;
  };
  uint64_t zoneBytes = uint64_t(g_geo.sectorsPerBlock) * nand::kRawSectorBytes * g_geo.blocksPerZone;
  size_t fillBytes = size_t(std::min<uint64_t>(zoneBytes, kMaxFillBuffer));
  std::unique_ptr<uint8_t[]> fill(new (std::nothrow) uint8_t[fillBytes]);
  if (!fill) {
    host::Print("内存(容量=%d)分配失败，构建NAND仿真BIN文件失败\n", int(fillBytes));
    return fail();
  }
  memset(fill.get(), 0xFF, fillBytes);
  for (uint64_t left = imageBytes; left > 0;) {
    size_t n = size_t(std::min<uint64_t>(left, fillBytes));
    if (fwrite(fill.get(), 1, n, imageFile) != n) {
      host::Print("写入NAND仿真文件失败，构建NAND仿真BIN文件失败\n");
      return fail();
    }
    left -= n;
  }
  fill.reset();
  if (fflush(imageFile) != 0 || !host::SeekFile(imageFile, 0)) {
    host::Print("写入NAND仿真文件失败，构建NAND仿真BIN文件失败\n");
    return fail();
  }
  // A stale mapping of an earlier build must never address this file: the
  // mapping starts afresh here (the boot area writer sets it up again).
  InitMapping(nand::CardInfoBlock(Layout()));
  return 0;
}

int32_t ZEL_DEVICE_IO::CloseSimuBinFile(void*, char*) {
  imageActive = 0;
  int closed = imageFile ? fclose(imageFile) : 0;
  imageFile = nullptr;
  imageBytes = 0;
  return closed == 0 ? 0 : -1;
}

int32_t ZEL_DEVICE_IO::WriteToSimuBinFile(uint32_t sector, uint32_t count, char* buffer) {
  const uint8_t* data = reinterpret_cast<const uint8_t*>(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t logical = sector + i;
    Spare spare = ErasedSpare();
    uint64_t p;
    if (GetPhySectorID(logical, &p) != 0 && AssignFreePhyBlock(logical, &p) != 0) return -1;
    if (WriteSectorDataToSimuBinFile(p, data + size_t(i) * nand::kDataBytes) != 0) return -1;
    SetupRedundant(logical, spare.data());
    if (WriteSectorRedtToSimuBinFile(p, spare.data()) != 0) return -1;
  }
  return fflush(imageFile) == 0 ? 1 : -1;
}

int32_t ZEL_DEVICE_IO::ReadFromSimuBinFile(uint32_t sector, uint32_t count, char* buffer) {
  uint8_t* data = reinterpret_cast<uint8_t*>(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    uint64_t p;
    // A logical block never written has no place in the file: the read fails.
    if (GetPhySectorID(sector + i, &p) != 0) return -1;
    if (ReadSectorDataFromSimuBinFile(p, data + size_t(i) * nand::kDataBytes) != 0) return -1;
  }
  return 1;
}

// Writes count sectors of buffer as physical sectors first, first + 1 ...,
// each labelled as the logical sector of the same number. 0, or -1.
int32_t ZEL_DEVICE_IO::WriteSimuBootSectors(uint32_t first, uint32_t count, const uint8_t* buffer) {
  for (uint32_t i = 0; i < count; ++i) {
    Spare spare = ErasedSpare();
    if (WriteSectorDataToSimuBinFile(first + i, buffer + size_t(i) * nand::kDataBytes) != 0)
      return -1;
    SetupRedundant(first + i, spare.data());
    if (WriteSectorRedtToSimuBinFile(first + i, spare.data()) != 0) return -1;
  }
  return 0;
}

int32_t ZEL_DEVICE_IO::WriteBiosToBinFile(uint32_t count, char* buffer) {
  if (count > nand::kBootSectors || !imageFile) return -1;
  // The boot pieces are always in the SLC layout; the record still names
  // the build's ECC kind.
  int32_t layout = slcLayout;
  slcLayout = 1;
  struct Restore {
    ZEL_DEVICE_IO* d;
    int32_t layout;
    ~Restore() { d->slcLayout = layout; }
  } restore{this, layout};

  if (WriteSimuBootSectors(nand::kBootFirstSector, count, reinterpret_cast<uint8_t*>(buffer)) != 0)
    return -1;
  std::unique_ptr<uint8_t[]> record(new (std::nothrow) uint8_t[kBadInfoBytes]);
  if (!record) {
    host::Print("内存分配失败，构建原厂坏块信息失败\n");
    return -1;
  }
  nand::BadBlockInfo info;
  info.eccType = layout ? kEccSlc : kEccMlc;
  info.version = 1;
  auto encoded = nand::EncodeBadBlockInfo(info);
  memcpy(record.get(), encoded.data(), kBadInfoBytes);
  if (WriteSimuBootSectors(nand::kBadInfoFirstSector, nand::kBadInfoSectors, record.get()) != 0)
    return -1;
  slcLayout = layout;

  // The card information sector opens the first block after the boot
  // pieces, in the build's layout.
  nand::Geometry g = Layout();
  auto card = nand::CardInfoSector();
  uint32_t cardBlock = kNotAssigned;
  uint32_t limit = 1023u - g_geo.logicalBlocksPerZone;  // unsigned: no limit with 2000 per zone
  for (uint32_t b = nand::CardInfoBlock(g); b < limit && b < g_geo.blocksPerZone &&
                                            cardBlock == kNotAssigned;
       ++b) {
    for (uint32_t k = 0; k < kCardInfoTries && k < g_geo.sectorsPerBlock; ++k) {
      uint32_t p = b * g_geo.sectorsPerBlock + k;
      if (WriteSectorDataToSimuBinFile(p, card.data()) != 0) return -1;
      Spare spare = ErasedSpare();
      SetupRedundant(p, spare.data());
      if (WriteSectorRedtToSimuBinFile(p, spare.data()) == 0) {
        cardBlock = b;
        break;
      }
    }
  }
  if (cardBlock == kNotAssigned) return -1;
  if (fflush(imageFile) != 0) return -1;
  InitMapping(cardBlock);
  return 1;
}

int32_t ZEL_DEVICE_IO::WriteEccRomToBinFile(uint32_t count, char* buffer) {
  if (count > nand::kEccRomSectors || !imageFile) return -1;
  int32_t layout = slcLayout;
  slcLayout = 1;
  int32_t r = WriteSimuBootSectors(nand::kEccRomFirstSector, count, reinterpret_cast<uint8_t*>(buffer));
  slcLayout = layout;
  if (r != 0 || fflush(imageFile) != 0) return -1;
  return 0;
}
