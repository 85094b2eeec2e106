// The file allocation table of the current partition, held in memory as the
// partition's FAT image and committed to every FAT copy with SaveFatTable.
//
// FAT12 packs two entries into each 3-byte group k = (n & 0xFFF) >> 1:
//
//   byte   b[0]            b[1]                 b[2]
//        +--------+ +----------+----------+ +--------+
//        | even 7:0| | odd 3:0  | even 11:8| | odd 11:4|
//        +--------+ +----------+----------+ +--------+
//
// so entries 2n and 2n+1 share the middle byte, one nibble each.

#include <cstring>
#include <utility>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"

namespace {
constexpr unsigned kEndMark = 0xFFFF;  // written as end of chain (0xFFF in FAT12)
// The longest stretch of FAT sectors a commit writes in one transfer to
// reach every copy's changed sectors at once [sector]: the engine's transfer
// buffer, which holds two copies of the largest FAT (2 x 511 sectors). Only
// a boot sector with more copies than that goes as separate runs.
constexpr uint32_t kFatSpanSectors = 2048;
}  // namespace

int FAT_DEVICE::LoadFatTable() {
  pendCount = curPart->sectorsPerFat;
  pendBuffer = reinterpret_cast<char*>(curPart->fat);
  pendStart = curPart->startSector + curPart->reservedSectors;
  NewFatImage(curPart);
  NoteFatBytes(curPart, size_t(curPart->sectorsPerFat) * 512);
  ResetDirWalk();
  ++fatStamp_;
  allocHint_ = 2;
  memset(curPart->fatDirty, 0, sizeof curPart->fatDirty);
  curPart->fatWhole = 1;
  return ReadData();
}

int FAT_DEVICE::SaveFatTable() {
  _PART_INFO* p = curPart;
  const uint32_t spf = p->sectorsPerFat;
  const bool whole = p->fatWhole != 0;
  auto dirty = [p](uint32_t i) { return (p->fatDirty[i >> 3] >> (i & 7)) & 1; };
  // The runs to write, as [first, end) in sectors from the first copy's
  // start: the changed sectors of every copy, or the whole copies.
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  for (uint32_t copy = 0; copy < p->fatCount; ++copy) {
    for (uint32_t i = 0; i < spf;) {
      if (!whole && !dirty(i)) {
        ++i;
        continue;
      }
      uint32_t run = 1;
      while (i + run < spf && (whole || dirty(i + run))) ++run;
      runs.emplace_back(copy * spf + i, copy * spf + i + run);
      i += run;
    }
  }
  // Until every copy is written the copies may differ from each other.
  p->fatWhole = 1;
  const uint32_t base = p->startSector + p->reservedSectors;
  if (runs.size() > 1 && runs.back().second - runs.front().first <= kFatSpanSectors) {
    // The copies lie back to back, so the runs of all copies are one
    // stretch with the sectors between them, however far apart the copies'
    // changes are. Those sectors hold on the device what the image holds
    // (every commit writes every copy, and the first one after a load or a
    // failure writes them whole), so one transfer of the stretch leaves the
    // disk as the separate runs would, in one request.
    uint32_t first = runs.front().first, end = runs.back().second;
    static_assert(kFatSpanSectors * 512 <= sizeof stage_);
    for (uint32_t k = first; k < end; ++k)
      memcpy(stage_ + size_t(k - first) * 512, p->fat + size_t(k % spf) * 512, 512);
    pendCount = end - first;
    pendBuffer = stage_;
    pendStart = base + first;
    if (WriteData() != 0) return -1;
  } else {
    for (auto [first, end] : runs) {  // each within one copy
      pendCount = end - first;
      pendBuffer = reinterpret_cast<char*>(p->fat) + size_t(first % spf) * 512;
      pendStart = base + first;
      if (WriteData() != 0) return -1;
    }
  }
  memset(p->fatDirty, 0, sizeof p->fatDirty);
  p->fatWhole = 0;
  return 0;
}

// Saves the image, once more when the first attempt fails: a transient
// device fault must not leave the copies different. 0 or -1.
int FAT_DEVICE::CommitFat() {
  if (SaveFatTable() == 0) return 0;
  return SaveFatTable();
}

void FAT_DEVICE::KeepUndo() {
  memcpy(fatUndo_, curPart->fat, size_t(curPart->sectorsPerFat) * 512);
}

void FAT_DEVICE::RollBackFat() { RestoreFat(curPart, fatUndo_); }

void FAT_DEVICE::RestoreFat(_PART_INFO* p, const uint8_t* image) {
  NoteFatBytes(p, size_t(p->sectorsPerFat) * 512);
  for (uint32_t i = 0; i < p->sectorsPerFat; ++i) {
    uint8_t* now = p->fat + size_t(i) * 512;
    const uint8_t* before = image + size_t(i) * 512;
    if (memcmp(now, before, 512) == 0) continue;
    memcpy(now, before, 512);
    p->fatDirty[i >> 3] |= uint8_t(1u << (i & 7));
  }
  ResetDirWalk();  // which also starts the free-cluster search from cluster 2 again
  ++fatStamp_;
}

void FAT_DEVICE::MarkFatDirty(size_t byte) {
  size_t sector = byte / 512;
  if (sector < kMaxFatSectors) curPart->fatDirty[sector >> 3] |= uint8_t(1u << (sector & 7));
}

unsigned FAT_DEVICE::NextFatEntry(unsigned cluster) {
  const uint8_t* fat = curPart->fat;
  if (curPart->fatWidth == 16) {
    if (size_t(cluster) * 2 + 2 > kFatImageBytes) return kEndMark;
    return bytes::Get16(fat + size_t(cluster) * 2);
  }
  unsigned n = cluster & 0xFFF;
  const uint8_t* g = fat + 3 * (n >> 1);
  if (n & 1) return unsigned(g[1] >> 4) | unsigned(g[2]) << 4;
  return unsigned(g[0]) | unsigned(g[1] & 0x0F) << 8;
}

void FAT_DEVICE::SetFatEntry(unsigned cluster, unsigned value) {
  uint8_t* fat = curPart->fat;
  walkPart_ = nullptr;  // a directory chain may have changed
  ++fatStamp_;
  if (cluster < allocHint_ && value == 0) allocHint_ = cluster < 2 ? 2 : cluster;
  if (curPart->fatWidth == 16) {
    size_t at = size_t(cluster) * 2;
    if (at + 2 > kFatImageBytes || bytes::Get16(fat + at) == uint16_t(value)) return;
    bytes::Put16(fat + at, uint16_t(value));
    NoteFatBytes(curPart, at + 2);
    MarkFatDirty(at);
    return;
  }
  unsigned n = cluster & 0xFFF;
  value &= 0xFFF;
  if (NextFatEntry(n) == value) return;
  size_t at = 3 * size_t(n >> 1);
  uint8_t* g = fat + at;
  NoteFatBytes(curPart, at + 3);
  if (n & 1) {
    g[1] = uint8_t((g[1] & 0x0F) | (value & 0x0F) << 4);
    g[2] = uint8_t(value >> 4);
    MarkFatDirty(at + 1);
    MarkFatDirty(at + 2);
  } else {
    g[0] = uint8_t(value);
    g[1] = uint8_t((g[1] & 0xF0) | (value >> 8));
    MarkFatDirty(at);
    MarkFatDirty(at + 1);
  }
}

void FAT_DEVICE::MarkEndCluster(unsigned cluster) { SetFatEntry(cluster, kEndMark); }

int FAT_DEVICE::CheckEndCluster(unsigned value) {
  unsigned test = curPart->fatWidth == 16 ? value : value + 0xF000;
  return (test & 0xFFF8) == 0xFFF8 ? 0 : -1;
}

int FAT_DEVICE::CheckFatEnd(unsigned value) {
  if (CheckEndCluster(value) != 0) return 0;
  lastError = -3;
  return -1;
}

bool FAT_DEVICE::IsValidCluster(unsigned cluster) {
  return cluster >= 2 && cluster <= curPart->dataClusters + 1;
}

int FAT_DEVICE::SearchBlankCluster(unsigned* cluster) {
  // Every cluster below the hint is known to be in use.
  unsigned last = curPart->dataClusters + 1;
  for (unsigned c = allocHint_ < 2 ? 2 : allocHint_; c <= last; ++c) {
    if (NextFatEntry(c) == 0) {
      *cluster = c;
      allocHint_ = c;
      return 0;
    }
  }
  allocHint_ = last + 1;
  return -1;
}

int FAT_DEVICE::MakeFatChain(unsigned long size, unsigned* first) {
  unsigned long clusterBytes = curPart->sectorsPerCluster * 512ul;
  unsigned prev = 0;
  *first = 0;
  for (;;) {
    unsigned c;
    if (SearchBlankCluster(&c) != 0) {
      // The clusters taken so far are given back in memory; the device's
      // FAT was never touched.
      FreeFatChain(*first);
      *first = 0;
      return -1;
    }
    MarkEndCluster(c);
    if (*first == 0) *first = c;
    if (prev) SetFatEntry(prev, c);
    prev = c;
    if (size <= clusterBytes) return 0;
    size -= clusterBytes;
  }
}

void FAT_DEVICE::SearchFreeByte(unsigned long* bytes) {
  *bytes = 0;
  DiskTables(curDisk_);
  // A partition erased by a low-level format or gone from the table has no
  // file system, whatever its last FAT in memory said.
  if (!curPart || !curPart->formatted || (curPart->fatWidth != 12 && curPart->fatWidth != 16))
    return;
  *bytes = CountFreeClusters(UINT32_MAX) * curPart->sectorsPerCluster * 512ul;
}

uint32_t FAT_DEVICE::CountFreeClusters(uint32_t enough) {
  // Every cluster below the hint is known to be in use.
  uint32_t count = 0;
  for (unsigned c = allocHint_ < 2 ? 2 : allocHint_; c <= curPart->dataClusters + 1 && count < enough; ++c)
    if (NextFatEntry(c) == 0) ++count;
  return count;
}

int FAT_DEVICE::FreeFatChain(unsigned first) {
  if (first == 0) return 0;
  unsigned c = first;
  // A chain is never longer than the partition has clusters; a freed
  // cluster reads 0, so a looping chain also stops where it closes.
  for (uint32_t steps = 0; steps <= curPart->dataClusters; ++steps) {
    if (!IsValidCluster(c)) {
      lastError = -3;
      return -1;
    }
    unsigned next = NextFatEntry(c);
    SetFatEntry(c, 0);
    if (CheckEndCluster(next) == 0) return 0;
    c = next;
  }
  lastError = -3;
  return -1;
}
