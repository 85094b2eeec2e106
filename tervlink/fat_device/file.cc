// Whole-file data: WriteFile, ReadFile, FileSize in the current directory.
//
// Data bypasses the cache and moves in direct transfers of up to a
// contiguous run of clusters (planned as at most 2048 sectors, extended to
// the end of the last whole cluster taken), so a file written lowest-first
// moves in few requests.

#include <algorithm>
#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"
#include "tervlink/host/host.h"

using namespace fatfmt;

namespace {

constexpr uint32_t kMaxRunSectors = 2048;

void ShowProgress(uint64_t done, uint64_t total) {
  if (done >= total)
    host::Print("\b\b100");
  else
    host::Print("\b\b%02d", int(done * 100 / total));
}

}  // namespace

// Moves size bytes between data and the chain starting at first. The count
// moved (less than size when the chain ends first), or -1 (last error -1 on
// a device failure, -3 on a cluster outside the partition).
int FAT_DEVICE::DataLoop(unsigned first, char* data, uint32_t size, bool write) {
  const uint32_t spc = curPart->sectorsPerCluster;
  const uint64_t clusterBytes = uint64_t(spc) * 512;
  uint8_t sector[512];
  uint64_t offset = 0;
  uint32_t remaining = size;
  unsigned cluster = first;
  while (remaining > 0) {
    // Ctrl-C stops a write between two transfers; the caller rolls it back
    // as it does a failed transfer, so the file system stays whole.
    if (write && host::InterruptRequested()) {
      lastError = -9;
      return -1;
    }
    if (CheckEndCluster(cluster) == 0) return int(offset);
    if (!IsValidCluster(cluster)) {
      lastError = -3;
      return -1;
    }
    uint32_t at = ClusterSector(cluster) + uint32_t(offset / 512) % spc;
    uint32_t within = uint32_t(offset % 512);
    uint32_t chunk;
    pendStart = at;
    if (within != 0 || remaining < 512) {
      // A part of one sector goes through the local buffer.
      chunk = std::min(512 - within, remaining);
      pendCount = 1;
      pendBuffer = reinterpret_cast<char*>(sector);
      if (write) {
        memset(sector, 0, sizeof sector);
        memcpy(sector + within, data, chunk);
        if (WriteData() != 0) return -1;
      } else {
        if (ReadData() != 0) return -1;
        memcpy(data, sector + within, chunk);
      }
    } else {
      uint32_t wanted = std::min(remaining / 512, kMaxRunSectors);
      uint32_t run = spc - uint32_t(offset / 512) % spc;
      while (run < wanted) {
        unsigned next = NextFatEntry(cluster);
        if (CheckEndCluster(next) == 0 || next != cluster + 1 || !IsValidCluster(next)) break;
        run += spc;
        cluster = next;
      }
      if (uint64_t(run) * 512 > remaining) run = remaining / 512;
      pendCount = run;
      pendBuffer = data;
      if ((write ? WriteData() : ReadData()) != 0) return -1;
      chunk = run * 512;
    }
    offset += chunk;
    data += chunk;
    remaining -= chunk;
    if (remaining > 0 && offset % clusterBytes == 0) cluster = NextFatEntry(cluster);
    ShowProgress(offset, size);
  }
  return int(offset);
}

int FAT_DEVICE::WriteFile(char* name, char* data, int size, FILE* file) {
  if (!Ready()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  char target[12];
  memcpy(target, fileName, sizeof target);
  if (target[0] == ' ' || target[0] == '.' || size < 0 || (size > 0 && !data)) {
    lastError = -7;
    return -1;
  }
  unsigned long freeBytes;
  SearchFreeByte(&freeBytes);
  uint64_t available = freeBytes;
  host::Print("%%  ");
  const uint64_t clusterBytes = uint64_t(curPart->sectorsPerCluster) * 512;
  if (SearchFile(kMaskFiles, target) == 0) {
    uint64_t old = bytes::Get32(curPart->currentEntry + kDirFileSize);
    available += (old + clusterBytes - 1) / clusterBytes * clusterBytes;
    if (available < uint64_t(size)) {
      lastError = -4;
      return -1;
    }
    if (RemoveFile(target) != 0) return -1;
  } else {
    if (lastError != -3) return -1;  // the directory could not be read
    // A directory of that name: a file beside it would give the directory
    // two entries of one name.
    if (SearchFile(kMaskDirs, target) == 0) {
      lastError = -8;
      return -1;
    }
    if (lastError != -3) return -1;
    if (available < uint64_t(size)) {
      lastError = -4;
      return -1;
    }
  }
  KeepUndo();
  if (size == 0) {
    // Nothing moves, so the progress ends at its "%  ".
    if (CommitNewEntry(kAttrArchive, target, 0, 0) != 0) return -1;
    return 0;
  }
  // The chain is made and filled before the entry is added: the entry then
  // names the chain's own first cluster even when the directory has to grow,
  // and a failure before the commit leaves the device's FAT untouched.
  unsigned first;
  if (MakeFatChain(uint32_t(size), &first) != 0) {
    lastError = -4;
    return -1;
  }
  int written = DataLoop(first, data, uint32_t(size), true);
  if (written < 0) {
    int err = lastError;
    LoadFatTable();
    lastError = err;
    return -1;
  }
  if (CommitNewEntry(kAttrArchive, target, uint32_t(size), first) != 0) return -1;
  return written;
}

int FAT_DEVICE::ReadFile(char* name, char* data, int size, FILE* file) {
  if (!Ready()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  if (SearchFile(kMaskFiles, fileName) != 0) return -1;
  if (size < 0 || (size > 0 && !data)) return -1;
  unsigned first = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
  host::Print("%%  ");
  if (first == 0 || size == 0) return 0;  // nothing moves: no progress after "%  "
  return DataLoop(first, data, uint32_t(size), false);
}

int FAT_DEVICE::FileSize(char* name) {
  if (!Ready()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  if (SearchFile(kMaskFiles, fileName) != 0) return -1;
  return int(bytes::Get32(curPart->currentEntry + kDirFileSize));
}
