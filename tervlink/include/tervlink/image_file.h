// System image files and packed image files: their header, bitmap and
// checksum rules, shared by the device object's image mode, the engine's
// ISO transfer and the tests.
//
// System image file (an image of S MB, N = S x 2048 sectors, B = S x 256
// bitmap bytes):
//
//   0                 164        _IMAGE_HEADER
//   164               32768-164  0xFF
//   32768             B          sector-assigned bitmap (bit s%8 of byte s/8, LSB first)
//   32768+B           1024       0xFF
//   32768+B+1024      N x 512    sector data (never-written sectors read 0xFF)
//
// A packed image has the same header (with its own marker), bitmap and
// fillers, followed only by the 512 KB runs whose 128 bitmap bytes are not
// all zero, back to back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tervlink/export.h"

namespace image {

// _IMAGE_HEADER fields (little-endian u32 unless noted)
constexpr size_t kHeaderBytes = 164;
constexpr size_t kHdrMarker = 0;          // NUL-terminated marker text, 64 bytes
constexpr size_t kHdrMarkerBytes = 64;
constexpr size_t kHdrSizeMb = 64;         // image size [MB]
constexpr size_t kHdrReserved = 68;       // 0
constexpr size_t kHdrBitmapOffset = 72;   // bitmap offset [byte], 32768
constexpr size_t kHdrDataOffset = 76;     // data offset [byte]
constexpr size_t kHdrDiskCount = 80;      // _IMAGE_DISK entries used, 0..4
constexpr size_t kHdrDisks = 84;          // 4 x _IMAGE_DISK
// _IMAGE_DISK: disk number, then the KB sizes of partition slots C, D, E, F
constexpr size_t kDiskEntryBytes = 20;
constexpr int kMaxDiskEntries = 4;

constexpr char kSystemMarker[] = "VANTLE_SPACE:18A16D23-0FB1-4e7c-B150-546D5EE47A51";
constexpr char kPackedMarker[] = "VANTLE_SPACE:50414B-18A16D23-0FB1-4e7c-B150-546D5EE47A51";

constexpr uint32_t kBitmapOffset = 32768;
constexpr uint32_t kBitmapTrailer = 1024;   // 0xFF bytes between bitmap and data
constexpr uint32_t kRunSectors = 1024;      // one run: 1024 sectors, 512 KB
constexpr uint32_t kRunBytes = kRunSectors * 512;
constexpr uint32_t kRunBitmapBytes = kRunSectors / 8;
constexpr uint64_t kMaxImageMb = 4095;

// The sum modulo 2^32 of wordCount little-endian 32-bit words at data.
TERVLINK_API uint32_t SectorChecksum(const uint8_t* data, uint32_t wordCount);

// The checksum file name of an image: the file-name part cut at its last
// "." (when it has one) and ".crc" appended (a.b.iso -> a.b.crc).
TERVLINK_API std::string ChecksumFileName(const std::string& imagePath);

// The word sum of a sector never written (512 bytes of 0xFF).
constexpr uint32_t kErasedSectorChecksum = 0xFFFFFF80u;

// Writes the checksum file of an open image: 8 bytes per sector of the data
// area (the sector's word sum, then its complement), with the progress and
// result messages. The sums are read from the image's data area, or taken
// from sums (one per sector) when the caller kept them as it wrote the
// image. Returns true when the file was written.
TERVLINK_API bool WriteChecksumFile(FILE* image, uint64_t dataOffset, uint32_t sectors,
                                    const char* imagePath, const uint32_t* sums = nullptr);

// The output name of a packing conversion: name with its last three
// characters replaced by suffix ("PAK" or "UNP"); empty when the name is
// too short or too long (259 characters at most).
TERVLINK_API std::string ConvertedImageName(const char* name, const char* suffix);

// True when any of the 128 bitmap bytes of run r is set.
inline bool RunUsed(const uint8_t* bitmap, uint32_t bitmapBytes, uint32_t run) {
  for (uint32_t i = run * kRunBitmapBytes; i < (run + 1) * kRunBitmapBytes && i < bitmapBytes; ++i)
    if (bitmap[i]) return true;
  return false;
}

// A block table entry: zone << 24 | physical block in zone << 8 | sector
// field; 0 = no entry, 0xFFFFFFFF = illegal, physical block 0xFFFF = the
// logical block is not assigned yet.
constexpr uint32_t kBlockTableEntries = 8192;  // one partition's table: one entry per track
constexpr int32_t kBlockTableBytes = kBlockTableEntries * 4;  // 32 KB

enum class BlockEntryKind { kNone, kIllegal, kUnassigned, kMapped };
struct BlockEntry {
  BlockEntryKind kind = BlockEntryKind::kNone;
  uint32_t zone = 0, physical = 0, sectorField = 0;
};
// The entry taken apart; a physical block at or above blocksPerZone is
// illegal.
TERVLINK_API BlockEntry DecodeBlockEntry(uint32_t entry, uint32_t blocksPerZone);
// The line that block table dumps and the image refresh print for the
// logical block's entry (GBK, ending in a newline); empty for no entry.
TERVLINK_API std::string BlockEntryLine(uint32_t logical, const BlockEntry& e);

// The partition layout that a system image's header records: per disk of
// the engine, whether it is partitioned and the configured KB sizes of its
// four partition slots (0xFFFFFFFF = the rest of the disk).
struct DiskLayout {
  bool partitioned[4] = {};
  uint32_t sizesKb[4][4] = {};
};

// Reads the layout from the engine's array of four disk blocks (the
// argument CloseImageFile is given).
TERVLINK_API DiskLayout DescribeDiskBlocks(const void* diskBlocks);

}  // namespace image
