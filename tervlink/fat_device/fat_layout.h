// On-disk FAT records of the engine: master boot sector with its partition
// table, partition boot sector, directory entry, and their codecs.
//
// Every field is read and written little-endian through bytes.h at a named
// offset; one function decodes a record and one encodes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tervlink/export.h"

namespace fatfmt {

constexpr size_t kSectorBytes = 512;
constexpr uint16_t kBootSignature = 0xAA55;

// ---- master boot sector ------------------------------------------------------
constexpr size_t kMbrTable = 0x1BE;       // four partition entries (16 bytes each)
constexpr size_t kMbrEntryBytes = 16;
constexpr size_t kMbrSignature = 0x1FE;   // 0xAA55 (u16)
// partition entry
constexpr size_t kPteBootIndicator = 0;   // 0x80 = active (u8)
constexpr size_t kPteSystemId = 4;        // 1 FAT12, 6 FAT16, 0xFF reserved (u8)
constexpr size_t kPteFirstSector = 8;     // absolute first sector [sector] (u32)
constexpr size_t kPteSectors = 12;        // size [sector] (u32)

constexpr uint8_t kSysFat12 = 1;
constexpr uint8_t kSysFat16 = 6;
constexpr uint8_t kSysReserved = 0xFF;

struct PartitionEntry {
  uint8_t bootIndicator = 0;
  uint8_t systemId = 0;
  uint32_t firstSector = 0;
  uint32_t sectors = 0;
};
// The entry of slot 0..3 of a master boot sector (512 bytes).
TERVLINK_API PartitionEntry DecodePartitionEntry(const uint8_t* sector, int slot);
TERVLINK_API void EncodePartitionEntry(const PartitionEntry& e, uint8_t* sector, int slot);

// ---- partition boot sector ---------------------------------------------------
constexpr size_t kBsJump = 0x00;          // jump instruction (3 bytes)
constexpr size_t kBsOemName = 0x03;       // OEM name (8 bytes)
constexpr size_t kBpbBytsPerSec = 0x0B;   // sector size [byte] (u16)
constexpr size_t kBpbSecPerClus = 0x0D;   // cluster size [sector] (u8)
constexpr size_t kBpbRsvdSecCnt = 0x0E;   // reserved area, boot sector included [sector] (u16)
constexpr size_t kBpbNumFats = 0x10;      // number of FAT copies (u8)
constexpr size_t kBpbRootEntCnt = 0x11;   // root directory entries (u16)
constexpr size_t kBpbTotSec16 = 0x13;     // volume size, 0 when the 32-bit field is used [sector] (u16)
constexpr size_t kBpbMedia = 0x15;        // media descriptor (u8)
constexpr size_t kBpbFatSz16 = 0x16;      // size of one FAT [sector] (u16)
constexpr size_t kBpbSecPerTrk = 0x18;    // sectors per track (u16)
constexpr size_t kBpbNumHeads = 0x1A;     // heads (u16)
constexpr size_t kBpbHiddSec = 0x1C;      // hidden sectors [sector] (u32)
constexpr size_t kBpbTotSec32 = 0x20;     // volume size [sector] (u32)
constexpr size_t kBsDrvNum = 0x24;        // drive number (u8)
constexpr size_t kBsReserved1 = 0x25;     // reserved (u8)
constexpr size_t kBsBootSig = 0x26;       // extended boot signature (u8)
constexpr size_t kBsVolId = 0x27;         // volume serial number (u32)
constexpr size_t kBsVolLab = 0x2B;        // volume label (11 bytes)
constexpr size_t kBsFilSysType = 0x36;    // file system type text (8 bytes)
constexpr size_t kBsSignature = 0x1FE;    // 0xAA55 (u16)
// The partition record keeps bytes 0..61 and the signature at 62.
constexpr size_t kBootCopyFields = 62;
constexpr size_t kBootCopySignature = 62;  // (u16)

struct BootParams {
  uint8_t jump[3] = {};
  char oemName[8] = {};
  uint16_t bytesPerSector = 0;
  uint8_t sectorsPerCluster = 0;
  uint16_t reservedSectors = 0;
  uint8_t fatCount = 0;
  uint16_t rootEntries = 0;
  uint16_t totalSectors16 = 0;
  uint8_t media = 0;
  uint16_t sectorsPerFat = 0;
  uint16_t sectorsPerTrack = 0;
  uint16_t heads = 0;
  uint32_t hiddenSectors = 0;
  uint32_t totalSectors32 = 0;
  uint8_t driveNumber = 0;
  uint8_t bootSignature = 0;
  uint32_t serial = 0;
  char label[11] = {};
  char fsType[8] = {};
  uint16_t signature = 0;
};
// The volume size a boot sector gives: the 16-bit field, or the 32-bit one
// when that is 0 [sector].
inline uint32_t VolumeSectors(const BootParams& b) {
  return b.totalSectors16 ? b.totalSectors16 : b.totalSectors32;
}
// Decodes a 512-byte boot sector.
TERVLINK_API BootParams DecodeBootSector(const uint8_t* sector);
// Encodes into a 512-byte sector; the boot code area is left as it is.
TERVLINK_API void EncodeBootSector(const BootParams& b, uint8_t* sector);

// The boot sector values that a logical format writes for a partition of s
// sectors on a disk with the given geometry (s below 4,194,304).
TERVLINK_API BootParams FormatParams(uint32_t s, uint16_t sectorsPerTrack, uint16_t heads);

// ---- directory entry ---------------------------------------------------------
constexpr size_t kDirEntryBytes = 32;
constexpr size_t kDirName = 0;           // name 8 + extension 3, blank padded (11 bytes)
constexpr size_t kDirAttr = 11;          // attributes (u8)
constexpr size_t kDirTime = 22;          // hour << 11 | minute << 5 (u16)
constexpr size_t kDirDate = 24;          // (year - 1980) << 9 | month << 5 | day (u16)
constexpr size_t kDirFirstCluster = 26;  // first cluster, 0 = none / root (u16)
constexpr size_t kDirFileSize = 28;      // size [byte] (u32)
constexpr size_t kEntriesPerSector = kSectorBytes / kDirEntryBytes;

constexpr uint8_t kEntryEnd = 0x00;      // first name byte: end of the directory
constexpr uint8_t kEntryDeleted = 0xE5;  // first name byte: deleted entry
constexpr uint8_t kEntryE5Stored = 0x05; // first name byte 0xE5 of a live name

struct DirEntry {
  uint8_t name[11] = {};
  uint8_t attr = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint16_t firstCluster = 0;
  uint32_t size = 0;
};
TERVLINK_API DirEntry DecodeDirEntry(const uint8_t* p);
// Writes every field of e; bytes 12..21 of the slot keep what they held.
TERVLINK_API void EncodeDirEntry(const DirEntry& e, uint8_t* p);
// The text form of an entry's name into out (13 bytes at most with the
// terminator): "NAME.EXT", "NAME", ".", "..".
TERVLINK_API void EntryText(const uint8_t* e, char* out);
// Folds n bytes of text in place as name matching compares them: single-
// byte letters upper case, double-byte (GBK) characters as they are.
void FoldCase(char* text, size_t n);

}  // namespace fatfmt
