// The simulator NAND file layout and the chip table (see nand_layout.h).

#include "tervlink/nand_layout.h"

#include <algorithm>
#include <cstring>

#include "tervlink/bytes.h"

namespace nand {

namespace {

const NandChip kChips[] = {
    // part number        ID bytes                       page  spare pg/blk blocks s/pg zones blk/zone usable
    {"TC58DVG02A1FT00", {0x98, 0x79, 0xFF, 0xFF, 0xFF}, 512, 16, 32, 8192, 1, 8, 1024, 1000},
    {"K9F1G08U0A", {0xEC, 0xF1, 0xFF, 0x15, 0xFF}, 2048, 64, 64, 1024, 4, 1, 1024, 1000},
    {"K9F2G08U0A", {0xEC, 0xDA, 0x10, 0x95, 0x44}, 2048, 64, 64, 2048, 4, 1, 2048, 2000},
    {"K9F4G08U0A", {0xEC, 0xDC, 0x10, 0x95, 0x54}, 2048, 64, 64, 4096, 4, 2, 2048, 2000},
    {"K9GAG08U0M", {0xEC, 0xD5, 0x14, 0xB6, 0x74}, 4096, 128, 128, 4096, 8, 2, 2048, 2000},
    {"HY27UF081G2A", {0xAD, 0xF1, 0x80, 0x1D, 0xFF}, 2048, 64, 64, 1024, 4, 1, 1024, 1000},
    {"HY27UF082G2A", {0xAD, 0xDA, 0x80, 0x1D, 0x00}, 2048, 64, 64, 2048, 4, 1, 2048, 2000},
    {"HY27UF084G2M", {0xAD, 0xDC, 0x80, 0x95, 0xFF}, 2048, 64, 64, 4096, 4, 2, 2048, 2000},
    {"HY27UT084G2M", {0xAD, 0xDC, 0x84, 0x25, 0xFF}, 2048, 64, 64, 4096, 4, 2, 2048, 2000},
    {"HY27UT088G2M", {0xAD, 0xD3, 0x14, 0xA5, 0x64}, 2048, 64, 64, 8192, 4, 4, 2048, 2000},
    {"XSPACE082G2A", {0xFE, 0x02, 0x01, 0x01, 0x01}, 4096, 128, 128, 1024, 8, 1, 1024, 1000},
};

const uint8_t kCardInfoHead[] = {0x01, 0x03, 0xD9, 0x01, 0xFF, 0x18, 0x02, 0xDF, 0x01, 0x20};
constexpr size_t kCardInfoSecondCopy = 256;  // offset of the second copy of the head

const char kBadInfoMagicText[8] = {'B', 'L', 'C', 'K', 'I', 'N', 'F', 'O'};
constexpr size_t kBadInfoEntryBytes = 3;  // zone u8, block u16 big-endian

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace

std::span<const NandChip> ChipTable() { return kChips; }

const NandChip* FindChip(const char* part) {
  if (!part) return nullptr;
  for (const NandChip& chip : kChips) {
    const char* a = chip.partNumber;
    const char* b = part;
    while (*a && *b && Upper(*a) == Upper(*b)) ++a, ++b;
    if (!*a && !*b) return &chip;
  }
  return nullptr;
}

Geometry Geometry::OfChip(const NandChip& chip, bool slc) {
  Geometry g;
  g.zones = chip.zones;
  g.blocksPerZone = chip.blocksPerZone;
  g.logicalBlocksPerZone = chip.usablePerZone;
  g.sectorsPerBlock = chip.pagesPerBlock * chip.sectorsPerPage;
  g.sectorsPerPage = chip.sectorsPerPage;
  g.slc = slc;
  return g;
}

bool Geometry::Valid() const {
  return zones > 0 && blocksPerZone > 0 && logicalBlocksPerZone > 0 &&
         logicalBlocksPerZone <= blocksPerZone && sectorsPerPage > 0 && sectorsPerBlock > 0 &&
         sectorsPerBlock % sectorsPerPage == 0;
}

uint32_t CardInfoBlock(const Geometry& g) {
  // The factory record ends the boot pieces.
  return (kBadInfoFirstSector + kBadInfoSectors - 1) / g.sectorsPerBlock + 1;
}

uint64_t SectorDataOffset(const Geometry& g, uint64_t p, bool slc) {
  uint64_t page = p / g.sectorsPerPage, s = p % g.sectorsPerPage;
  uint64_t pageOffset = page * kRawSectorBytes * g.sectorsPerPage;
  return slc ? pageOffset + s * kDataBytes : pageOffset + s * kRawSectorBytes;
}

uint64_t SectorSpareOffset(const Geometry& g, uint64_t p, bool slc) {
  uint64_t page = p / g.sectorsPerPage, s = p % g.sectorsPerPage;
  uint64_t pageOffset = page * kRawSectorBytes * g.sectorsPerPage;
  return slc ? pageOffset + uint64_t(g.sectorsPerPage) * kDataBytes + s * kSpareBytes
             : pageOffset + s * kRawSectorBytes + kDataBytes;
}

LogicalAddress SplitLogicalSector(const Geometry& g, uint64_t l) {
  uint64_t block = l / g.sectorsPerBlock;
  LogicalAddress a;
  a.sectorInBlock = uint32_t(l % g.sectorsPerBlock);
  a.zone = uint32_t(block / g.logicalBlocksPerZone);
  a.blockInZone = uint32_t(block % g.logicalBlocksPerZone);
  return a;
}

uint64_t PhysicalSector(const Geometry& g, uint32_t zone, uint32_t block, uint32_t sectorInBlock) {
  return (uint64_t(zone) * g.blocksPerZone + block) * g.sectorsPerBlock + sectorInBlock;
}

uint8_t BitCountWord(uint16_t word) {
  uint8_t n = 0;
  for (; word; word &= uint16_t(word - 1)) ++n;
  return n;
}

uint16_t BlockAddressWord(uint32_t logicalBlockInZone) {
  uint16_t word = uint16_t(0x1000 + 2 * logicalBlockInZone);
  if (BitCountWord(word) & 1) ++word;
  return word;
}

std::optional<uint32_t> DecodeBlockAddressWord(uint16_t word) {
  if ((word & 0xF000) != 0x1000 || (BitCountWord(word) & 1)) return std::nullopt;
  return uint32_t((word & 0x0FFE) >> 1);
}

void PutBlockAddress(std::span<uint8_t, kSpareBytes> spare, uint16_t word, bool slc) {
  uint8_t high = uint8_t(word >> 8), low = uint8_t(word);
  if (slc) {
    spare[kSpareDataStatus] = 0xFF;
    spare[kSpareBlockStatus] = 0xFF;
    spare[kSpareSlcAddr1] = high;
    spare[kSpareSlcAddr1 + 1] = low;
    spare[kSpareSlcAddr2] = high;
    spare[kSpareSlcAddr2 + 1] = low;
  } else {
    spare[10] = 0xFF;
    spare[11] = 0xFF;
    spare[kSpareMlcAddr1] = high;
    spare[kSpareMlcAddr1 + 1] = low;
    spare[kSpareMlcAddr2] = high;
    spare[kSpareMlcAddr2 + 1] = low;
  }
}

std::array<uint8_t, kSpareBytes> DataSpare(uint32_t logicalBlockInZone, bool slc) {
  std::array<uint8_t, kSpareBytes> spare;
  spare.fill(0xFF);
  PutBlockAddress(spare, BlockAddressWord(logicalBlockInZone), slc);
  return spare;
}

std::optional<uint32_t> SpareLogicalBlock(std::span<const uint8_t, kSpareBytes> spare, bool slc) {
  size_t first = slc ? kSpareSlcAddr1 : kSpareMlcAddr1;
  size_t second = slc ? kSpareSlcAddr2 : kSpareMlcAddr2;
  for (size_t at : {first, second}) {
    auto block = DecodeBlockAddressWord(uint16_t(spare[at] << 8 | spare[at + 1]));
    if (block) return block;
  }
  return std::nullopt;
}

bool SpareMarksBad(std::span<const uint8_t, kSpareBytes> spare) {
  return spare[kSpareBlockStatus] == kBadBlockMark;
}

std::array<uint8_t, kDataBytes> CardInfoSector() {
  std::array<uint8_t, kDataBytes> s{};
  memcpy(&s[0], kCardInfoHead, sizeof kCardInfoHead);
  memcpy(&s[kCardInfoSecondCopy], kCardInfoHead, sizeof kCardInfoHead);
  return s;
}

std::array<uint8_t, kBadInfoBytes> EncodeBadBlockInfo(const BadBlockInfo& info) {
  std::array<uint8_t, kBadInfoBytes> b{};
  memcpy(&b[kBadInfoMagic], kBadInfoMagicText, sizeof kBadInfoMagicText);
  bytes::Put32(&b[kBadInfoEccType], info.eccType);
  bytes::Put32(&b[kBadInfoVersion], info.version);
  size_t count = std::min(info.entries.size(), kBadInfoMaxEntries);
  bytes::Put32(&b[kBadInfoCount], uint32_t(count));
  for (size_t i = 0; i < count; ++i) {
    uint8_t* e = &b[kBadInfoEntries + i * kBadInfoEntryBytes];
    e[0] = info.entries[i].zone;
    e[1] = uint8_t(info.entries[i].block >> 8);
    e[2] = uint8_t(info.entries[i].block);
  }
  return b;
}

std::optional<BadBlockInfo> DecodeBadBlockInfo(std::span<const uint8_t> b) {
  if (b.size() < kBadInfoBytes || memcmp(&b[kBadInfoMagic], kBadInfoMagicText, 8) != 0)
    return std::nullopt;
  BadBlockInfo info;
  info.eccType = bytes::Get32(b, kBadInfoEccType);
  info.version = bytes::Get32(b, kBadInfoVersion);
  uint32_t count = bytes::Get32(b, kBadInfoCount);
  if (count > kBadInfoMaxEntries) return std::nullopt;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = &b[kBadInfoEntries + i * kBadInfoEntryBytes];
    info.entries.push_back(BadBlockEntry{e[0], uint16_t(e[1] << 8 | e[2])});
  }
  return info;
}

}  // namespace nand
