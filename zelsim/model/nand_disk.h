// One disk of the emulated device: a NAND chip kept in a NAND file.
//
// The file is a byte-for-byte picture of the chip in the simulator NAND
// file layout (nand_layout.h). A flash translation layer per zone maps the
// disk's logical blocks to physical blocks of their zone: a logical block
// gets a free physical block on its first write, every spare of that block
// carries the block's address word, and the mapping is rebuilt from the
// spares when the disk is opened. Nothing is cached: every change is in the
// file when the operation returns (written with positioned writes, whole
// stretches of pages at a time, so a kill of the process loses nothing).
//
// Physical blocks of zone 0 that are not data blocks, as the simulator
// build lays them out (nand::CardInfoBlock):
//   sectors 0-71            boot area (0-31), ECC ROM (32-63) and factory
//                           bad-block record (64-71): block 0 on chips with
//                           big blocks, blocks 0-2 on 32-sector blocks
//   the next block          card information block (1, or 3 on 32-sector
//                           blocks)
// Block 0 of every other zone is reserved as well. Bad blocks carry 0x00 in
// the block status byte of their first sector's spare.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tervlink/host/host.h"
#include "tervlink/nand_layout.h"

class NandDisk {
 public:
  NandDisk() = default;
  NandDisk(const NandDisk&) = delete;
  NandDisk& operator=(const NandDisk&) = delete;
  ~NandDisk();

  // Opens the NAND file at path (creating an erased chip there when
  // mayCreate and the file is missing), rebuilds the mapping from its
  // spares and marks the listed physical blocks bad. eccPath keeps the
  // controller's ECC method. False with error set when the file cannot be
  // used (missing, wrong size, unreadable) or a listed bad block holds the
  // boot area or data.
  bool Open(const std::string& path, bool mayCreate, const nand::NandChip& chip, bool mlc,
            const std::vector<uint32_t>& badBlocks, const std::string& eccPath,
            std::string& error);

  const nand::NandChip& Chip() const { return chip_; }
  const nand::Geometry& Geometry() const { return geo_; }

  // ---- logical sectors (the FAT engine's disk) ----
  // Each returns false when the run leaves the disk or the file fails; a
  // write also fails when its zone has no free block left. Sectors of a
  // logical block never written read as erased flash (0xFF).
  bool ReadSectors(uint64_t first, uint32_t count, uint8_t* out);
  bool WriteSectors(uint64_t first, uint32_t count, const uint8_t* in);

  // ---- boot area ----
  // count <= 32 sectors from physical sector 0; false otherwise or on a
  // file failure.
  bool ReadBoot(uint32_t count, uint8_t* out);
  bool WriteBoot(uint32_t count, const uint8_t* in);
  // The 16,384-byte ECC ROM (physical sectors 32-63); false on a file failure.
  bool ReadEccRom(uint8_t* out);
  bool WriteEccRom(const uint8_t* in);

  // The controller's ECC method: 1 = SLC, 2 = MLC.
  int32_t EccMethod() const { return eccMethod_; }
  // Stores method 1 or 2; false for another value or when it cannot be saved.
  bool SetEccMethod(int32_t method);

  // ---- factory bad-block record ----
  // Builds the record (ECC type = the controller's method, version 1, the
  // bad blocks) at physical sectors 64-71; false on a file failure or when
  // the record's block holds data that cannot be moved.
  bool BuildBadBlockInfo();
  // The record's 4096 bytes; false when there is no valid record.
  bool ReadBadBlockInfo(uint8_t* out);

  // -10001 without a record, -10000 when its ECC type differs from the
  // controller's method, -1 on a file failure; otherwise erases every data
  // block, clears the mapping and returns 0.
  int32_t LowFormat();

  // ---- raw physical blocks (whole-chip numbering) ----
  uint32_t BlockDataBytes() const { return geo_.sectorsPerBlock * nand::kDataBytes; }
  // The data areas of a block (BlockDataBytes()); false for a block off the
  // chip, a write or erase of a bad block, or a file failure. Erase also
  // resets the spares and unmaps the block.
  bool ReadBlock(uint32_t block, uint8_t* out);
  bool WriteBlock(uint32_t block, const uint8_t* in);
  bool EraseBlock(uint32_t block);

  // The physical block (within its zone) of a logical block in a zone, or
  // 0xFFFF when it is not mapped (or off the geometry).
  uint16_t MappedBlock(uint32_t zone, uint32_t logicalInZone) const;
  bool IsBad(uint32_t block) const;

 private:
  enum class State : uint8_t { kFree, kMapped, kReserved, kBad };
  struct Zone {
    std::vector<uint16_t> map;     // logical block in zone -> physical block, 0xFFFF = none
    std::vector<State> state;      // per physical block of the zone
    std::vector<uint16_t> owner;   // per physical block: its logical block when mapped
    uint32_t hint = 0;             // where the next search for a free block starts
  };

  bool CreateErased(const std::string& path, std::string& error);
  void Rebuild();
  bool MarkBad(uint32_t block, std::string& error);
  // True when physical block b of the zone is one of zone 0's boot blocks
  // (boot pieces and card information block), which never hold data.
  bool IsReservedBlock(uint32_t zone, uint32_t b) const;
  // The layout of a physical sector: SLC for the boot pieces, else the disk's.
  bool SlcFor(uint64_t physicalSector) const;
  // The block that the factory record opens and holds alone; 0 when the
  // record shares its block with other boot pieces.
  uint32_t RecordBlock() const;

  // Where the data or the spare of physical sector p lies in raw_ when
  // raw_ holds the pages from physical sector base (a page boundary) on.
  uint8_t* RawData(uint64_t base, uint64_t p, bool slc);
  uint8_t* RawSpare(uint64_t base, uint64_t p, bool slc);
  // Reads the pages [from, to) (physical sectors, page boundaries) into raw_
  // as the stretch from base holds them; false on a file failure.
  bool LoadPages(uint64_t base, uint64_t from, uint64_t to);
  // Physical sectors [p, p + count) in one positioned transfer of their
  // pages: data (count x 512 bytes) and spares (count x 16, or one spare for
  // every sector when oneSpare); a null pointer leaves that part out (a
  // write keeps what the file holds there). False on a file failure.
  bool ReadRaw(uint64_t p, uint32_t count, bool slc, uint8_t* data, uint8_t* spares);
  // The data of count physical sectors from p on, straight into out: one
  // scattered read of their pages, the spares set aside.
  bool ReadData(uint64_t p, uint32_t count, bool slc, uint8_t* out);
  bool WriteRaw(uint64_t p, uint32_t count, bool slc, const uint8_t* data,
                const uint8_t* spares, bool oneSpare);
  bool ReadSpare(uint64_t p, uint8_t* out, bool slc);
  bool WriteSpare(uint64_t p, const uint8_t* in, bool slc);
  // Writes physical sectors of zone 0 in the SLC layout, each with the spare
  // the simulator build gives it.
  bool WriteBootSectors(uint32_t first, uint32_t count, const uint8_t* in);
  bool ReadBootSectors(uint32_t first, uint32_t count, uint8_t* out);
  bool EraseRange(uint32_t zone, uint32_t b);
  // Gives logical block lb of zone z a free physical block in the mapping
  // (the caller writes the block whole: erased, labelled, with its data);
  // 0xFFFF when the zone has none. Unassign takes a mapped block back.
  uint16_t Assign(uint32_t z, uint32_t lb);
  void Unassign(uint32_t z, uint32_t b);

  FILE* file_ = nullptr;
  nand::NandChip chip_;
  nand::Geometry geo_;
  std::vector<Zone> zones_;
  int32_t eccMethod_ = 1;
  std::string eccPath_;
  std::vector<uint8_t> raw_;     // pages of the transfer at hand
  std::vector<host::Piece> scatter_;  // ReadData's pieces
  std::vector<uint8_t> erased_;  // one erased block (0xFF), for erases and filler
  // WriteSectors' spares (one a sector) and the pieces of its file writes.
  std::vector<uint8_t> spares_;
  std::vector<host::ConstPiece> pieces_;
};
