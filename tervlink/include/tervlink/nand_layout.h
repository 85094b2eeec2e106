// The simulator NAND file layout and the NAND chip table.
//
// Pure computations shared by everything that reads or writes a NAND file:
// zelsim's NAND disks and the shell's simulator build. Nothing here touches
// a file; callers do their own I/O with the offsets computed here.
//
// A NAND file is a picture of the chip: pages one after another, each page
// sectorsPerPage sectors of 528 bytes (512 data + 16 spare). Two layouts
// place data and spares inside a page:
//
//   SLC:  | data s0 | data s1 | ... | spare s0 | spare s1 | ... |
//   MLC:  | data s0 | spare s0 | data s1 | spare s1 | ... |
//
// With one sector per page the two coincide. Every spare of a data block
// carries the block address word of the logical block that owns the block.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tervlink/export.h"
#include "tervlink/records.h"

namespace nand {

constexpr uint32_t kDataBytes = 512;    // data bytes of one sector
constexpr uint32_t kSpareBytes = 16;    // spare bytes of one sector
constexpr uint32_t kRawSectorBytes = kDataBytes + kSpareBytes;  // 528

// The boot area, in physical sectors of zone 0 (always in the SLC layout).
constexpr uint32_t kBootFirstSector = 0;      // loader, BIOS and user sectors
constexpr uint32_t kBootSectors = 32;         // at most 32 boot sectors
constexpr uint32_t kEccRomFirstSector = 32;   // Reed-Solomon ECC ROM
constexpr uint32_t kEccRomSectors = 32;       // 16384 bytes
constexpr uint32_t kBadInfoFirstSector = 64;  // factory bad-block record
constexpr uint32_t kBadInfoSectors = 8;       // 4096 bytes

// Spare area offsets (bytes, each u8 unless stated).
constexpr size_t kSpareDataStatus = 4;     // SLC: data status
constexpr size_t kSpareBlockStatus = 5;    // SLC: block status; 0x00 here marks a bad block
constexpr size_t kSpareSlcAddr1 = 6;       // SLC: block address (u16 big-endian)
constexpr size_t kSpareSlcAddr2 = 11;      // SLC: block address again (u16 big-endian)
constexpr size_t kSpareMlcAddr1 = 12;      // MLC: block address (u16 big-endian)
constexpr size_t kSpareMlcAddr2 = 14;      // MLC: block address again (u16 big-endian)
constexpr uint8_t kBadBlockMark = 0x00;

// One row of the chip table.
struct NandChip {
  const char* partNumber = "";
  std::array<uint8_t, 5> id{};   // maker, device, third, fourth, fifth
  uint32_t pageBytes = 0;        // data bytes of a page
  uint32_t spareBytes = 0;       // spare bytes of a page
  uint32_t pagesPerBlock = 0;
  uint32_t blocks = 0;           // physical blocks of the chip
  uint32_t sectorsPerPage = 0;   // 512-byte sectors of a page
  uint32_t zones = 0;
  uint32_t blocksPerZone = 0;
  uint32_t usablePerZone = 0;    // logical blocks mapped into a zone
};

// The chip table, in search order; the first row is the default chip
// (128 MB, 512-byte pages).
TERVLINK_API std::span<const NandChip> ChipTable();
// The row whose part number equals part, ignoring case; null when none.
TERVLINK_API const NandChip* FindChip(const char* part);

// The geometry a NAND file is laid out by.
struct Geometry;
// The card information block of zone 0: the first block after the blocks
// that hold the boot pieces (boot sectors, ECC ROM, factory record), so that
// none of them shares a block with the card information or with data.
// Blocks 0 .. CardInfoBlock() of zone 0 never hold logical blocks: 1 on
// chips of 256 sectors or more per block, 3 on 32-sector blocks.
TERVLINK_API uint32_t CardInfoBlock(const Geometry& g);

struct Geometry {
  uint32_t zones = 8;
  uint32_t blocksPerZone = 1024;
  uint32_t logicalBlocksPerZone = 1000;
  uint32_t sectorsPerBlock = 32;
  uint32_t sectorsPerPage = 1;
  bool slc = true;  // spare layout of the data blocks

  // Geometry of a chip of the table with the given spare layout.
  static Geometry OfChip(const NandChip& chip, bool slc);
  uint32_t PhysicalBlocks() const { return zones * blocksPerZone; }
  uint64_t PhysicalSectors() const { return uint64_t(PhysicalBlocks()) * sectorsPerBlock; }
  uint32_t LogicalBlocks() const { return zones * logicalBlocksPerZone; }
  uint64_t LogicalSectors() const { return uint64_t(LogicalBlocks()) * sectorsPerBlock; }
  // Bytes of the whole NAND file.
  uint64_t FileBytes() const { return PhysicalSectors() * kRawSectorBytes; }
  // True when every value is usable (nonzero, logical blocks not above the
  // physical ones, sectors per block a multiple of sectors per page).
  bool Valid() const;
};

// File offset of the data (512 bytes) of a physical sector, in the SLC or
// the MLC layout.
TERVLINK_API uint64_t SectorDataOffset(const Geometry& g, uint64_t physicalSector, bool slc);
// File offset of the spare (16 bytes) of a physical sector.
TERVLINK_API uint64_t SectorSpareOffset(const Geometry& g, uint64_t physicalSector, bool slc);

// A logical sector split by the geometry.
struct LogicalAddress {
  uint32_t zone = 0;
  uint32_t blockInZone = 0;    // logical block within the zone
  uint32_t sectorInBlock = 0;
};
TERVLINK_API LogicalAddress SplitLogicalSector(const Geometry& g, uint64_t logicalSector);
// Physical sector of a sector of physical block `block` (within zone).
TERVLINK_API uint64_t PhysicalSector(const Geometry& g, uint32_t zone, uint32_t block,
                                     uint32_t sectorInBlock);

// The number of one bits of a 16-bit word.
TERVLINK_API uint8_t BitCountWord(uint16_t word);
// The block address word of a logical block within its zone: 0x1000 +
// 2 x block, plus 1 when that sum has an odd number of one bits, so that
// the word always has an even number of one bits.
TERVLINK_API uint16_t BlockAddressWord(uint32_t logicalBlockInZone);
// The logical block in zone a word names, when it is a well-formed block
// address word (high nibble 1, even parity); nullopt otherwise.
TERVLINK_API std::optional<uint32_t> DecodeBlockAddressWord(uint16_t word);

// Stores the block address word in a spare (both copies, high byte first),
// clearing the status bytes the layout puts next to it. Other bytes keep
// what the spare held.
TERVLINK_API void PutBlockAddress(std::span<uint8_t, kSpareBytes> spare, uint16_t word, bool slc);
// Builds the spare of a data sector of the logical block: 16 x 0xFF with the
// block address word in both copies (ECC bytes stay 0xFF).
TERVLINK_API std::array<uint8_t, kSpareBytes> DataSpare(uint32_t logicalBlockInZone, bool slc);
// The logical block in zone a spare names (first copy, else the second when
// the first is not a well-formed word); nullopt for an unlabelled spare.
TERVLINK_API std::optional<uint32_t> SpareLogicalBlock(std::span<const uint8_t, kSpareBytes> spare,
                                                       bool slc);
// True when the spare carries the bad-block mark.
TERVLINK_API bool SpareMarksBad(std::span<const uint8_t, kSpareBytes> spare);

// The card information sector: 512 bytes, zero but for the head of the
// SmartMedia card information structure at offsets 0 and 256.
TERVLINK_API std::array<uint8_t, kDataBytes> CardInfoSector();

// ---- factory bad-block record (_ZEL_BADBLOCKINFO, 4096 bytes) -------------

struct BadBlockEntry {
  uint8_t zone = 0;
  uint16_t block = 0;  // block within the zone
  bool operator==(const BadBlockEntry&) const = default;
};

struct BadBlockInfo {
  uint32_t eccType = 0;  // 1 = SLC, 2 = MLC
  uint32_t version = 1;
  std::vector<BadBlockEntry> entries;  // at most kBadInfoMaxEntries are stored
};

// The 4096 bytes of the record: magic, ECC type, version, count, entries
// (zone u8, block u16 big-endian), zeros. Entries beyond the 1358 that fit
// are left out (and not counted).
TERVLINK_API std::array<uint8_t, kBadInfoBytes> EncodeBadBlockInfo(const BadBlockInfo& info);
// The record in b; nullopt when b is shorter than the record, the magic is
// not "BLCKINFO" or the count does not fit.
TERVLINK_API std::optional<BadBlockInfo> DecodeBadBlockInfo(std::span<const uint8_t> b);

}  // namespace nand
