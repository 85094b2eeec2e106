// Codecs of the on-disk FAT records.

#include "tervlink/fat_device/fat_layout.h"

#include <cstring>

#include "tervlink/bytes.h"

namespace fatfmt {

PartitionEntry DecodePartitionEntry(const uint8_t* sector, int slot) {
  const uint8_t* p = sector + kMbrTable + size_t(slot) * kMbrEntryBytes;
  PartitionEntry e;
  e.bootIndicator = p[kPteBootIndicator];
  e.systemId = p[kPteSystemId];
  e.firstSector = bytes::Get32(p + kPteFirstSector);
  e.sectors = bytes::Get32(p + kPteSectors);
  return e;
}

void EncodePartitionEntry(const PartitionEntry& e, uint8_t* sector, int slot) {
  uint8_t* p = sector + kMbrTable + size_t(slot) * kMbrEntryBytes;
  memset(p, 0, kMbrEntryBytes);  // the CHS fields are written as zeros
  p[kPteBootIndicator] = e.bootIndicator;
  p[kPteSystemId] = e.systemId;
  bytes::Put32(p + kPteFirstSector, e.firstSector);
  bytes::Put32(p + kPteSectors, e.sectors);
}

BootParams DecodeBootSector(const uint8_t* s) {
  BootParams b;
  memcpy(b.jump, s + kBsJump, 3);
  memcpy(b.oemName, s + kBsOemName, 8);
  b.bytesPerSector = bytes::Get16(s + kBpbBytsPerSec);
  b.sectorsPerCluster = s[kBpbSecPerClus];
  b.reservedSectors = bytes::Get16(s + kBpbRsvdSecCnt);
  b.fatCount = s[kBpbNumFats];
  b.rootEntries = bytes::Get16(s + kBpbRootEntCnt);
  b.totalSectors16 = bytes::Get16(s + kBpbTotSec16);
  b.media = s[kBpbMedia];
  b.sectorsPerFat = bytes::Get16(s + kBpbFatSz16);
  b.sectorsPerTrack = bytes::Get16(s + kBpbSecPerTrk);
  b.heads = bytes::Get16(s + kBpbNumHeads);
  b.hiddenSectors = bytes::Get32(s + kBpbHiddSec);
  b.totalSectors32 = bytes::Get32(s + kBpbTotSec32);
  b.driveNumber = s[kBsDrvNum];
  b.bootSignature = s[kBsBootSig];
  b.serial = bytes::Get32(s + kBsVolId);
  memcpy(b.label, s + kBsVolLab, 11);
  memcpy(b.fsType, s + kBsFilSysType, 8);
  b.signature = bytes::Get16(s + kBsSignature);
  return b;
}

void EncodeBootSector(const BootParams& b, uint8_t* s) {
  memcpy(s + kBsJump, b.jump, 3);
  memcpy(s + kBsOemName, b.oemName, 8);
  bytes::Put16(s + kBpbBytsPerSec, b.bytesPerSector);
  s[kBpbSecPerClus] = b.sectorsPerCluster;
  bytes::Put16(s + kBpbRsvdSecCnt, b.reservedSectors);
  s[kBpbNumFats] = b.fatCount;
  bytes::Put16(s + kBpbRootEntCnt, b.rootEntries);
  bytes::Put16(s + kBpbTotSec16, b.totalSectors16);
  s[kBpbMedia] = b.media;
  bytes::Put16(s + kBpbFatSz16, b.sectorsPerFat);
  bytes::Put16(s + kBpbSecPerTrk, b.sectorsPerTrack);
  bytes::Put16(s + kBpbNumHeads, b.heads);
  bytes::Put32(s + kBpbHiddSec, b.hiddenSectors);
  bytes::Put32(s + kBpbTotSec32, b.totalSectors32);
  s[kBsDrvNum] = b.driveNumber;
  s[kBsReserved1] = 0;
  s[kBsBootSig] = b.bootSignature;
  bytes::Put32(s + kBsVolId, b.serial);
  memcpy(s + kBsVolLab, b.label, 11);
  memcpy(s + kBsFilSysType, b.fsType, 8);
  bytes::Put16(s + kBsSignature, b.signature);
}

DirEntry DecodeDirEntry(const uint8_t* p) {
  DirEntry e;
  memcpy(e.name, p + kDirName, 11);
  e.attr = p[kDirAttr];
  e.time = bytes::Get16(p + kDirTime);
  e.date = bytes::Get16(p + kDirDate);
  e.firstCluster = bytes::Get16(p + kDirFirstCluster);
  e.size = bytes::Get32(p + kDirFileSize);
  return e;
}

void EncodeDirEntry(const DirEntry& e, uint8_t* p) {
  memcpy(p + kDirName, e.name, 11);
  p[kDirAttr] = e.attr;
  bytes::Put16(p + kDirTime, e.time);
  bytes::Put16(p + kDirDate, e.date);
  bytes::Put16(p + kDirFirstCluster, e.firstCluster);
  bytes::Put32(p + kDirFileSize, e.size);
}

}  // namespace fatfmt
