// Open files at an offset: what a file system front end (zelmount) needs
// beyond the whole-file operations of file.cc.
//
// A FatHandle records where the file's entry lies, so reads and writes go
// to the chain without a directory search. Writes keep the engine's order:
// the data first (into clusters that are free on the device until the FAT
// is saved, or in place inside the file), then the FAT, then the entry; a
// failure before the entry is written gives the new clusters back, so the
// device holds the file as before. Every chain walk is bounded by the
// cluster ordinal it looks for.
//
// A deferred handle (FatHandle::deferred) writes its data at once but keeps
// the FAT change and the entry in memory until CommitHandle (or the next
// entry update, or a truncation) writes them, FAT first: a front end that
// commits on close, fsync and a timer then makes one FAT and one entry
// write per commit instead of per write. The clusters a deferred write
// takes are free on the device until then, so a kill before the commit
// leaves the file as last committed; one between the commit's FAT and
// entry writes leaves its chain longer than its size. An unborn handle (a
// new file the front end has not committed yet) has no entry on the device
// at all: its first commit writes the FAT and then adds the entry, so a
// kill before it leaves no trace of the file.

#include <algorithm>
#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"

using namespace fatfmt;

namespace {
constexpr uint32_t kRunSectors = 2048;  // the size of FAT_DEVICE::stage_
constexpr uint64_t kMaxFileBytes = 0xFFFFFFFFull;  // the entry's size field (u32)

// What the handle holds is what its entry on the device says.
void MarkStored(FatHandle* h) {
  h->storedFirst = h->first;
  h->storedSize = h->size;
  h->storedTime = h->time;
  h->storedDate = h->date;
  h->pendingFat = h->pendingEntry = false;
}
}  // namespace

bool FAT_DEVICE::HandleReady(FatHandle* h) {
  if (h->disk < 0 || h->disk >= kFatDisks || h->part < 0 || h->part >= kFatParts) {
    lastError = -2;
    return false;
  }
  if (curPart != &disks[h->disk].parts[h->part]) file_system_switch_to(h->disk, h->part);
  if (!Ready()) return false;
  if (h->pendingFat && h->pendingImage != curPart->fatImage) {
    // The FAT was read again from the device (which came back changed, or
    // was formatted): the deferred chain is not in it, the bytes are lost.
    DropHandleChanges(h);
    lastError = -1;
    return false;
  }
  return true;
}

void FAT_DEVICE::DropHandleChanges(FatHandle* h) {
  _PART_INFO* p = &disks[h->disk].parts[h->part];
  if (h->pendingFat && h->pendingImage == p->fatImage && curPart == p) {
    // The clusters past those the stored size needs go back to the free
    // pool (in memory: the device never had them in this chain).
    const uint64_t clusterBytes = uint64_t(p->sectorsPerCluster) * 512;
    uint32_t keep = uint32_t((uint64_t(h->storedSize) + clusterBytes - 1) / clusterBytes);
    if (h->storedFirst == 0) {
      if (IsValidCluster(h->first)) FreeFatChain(h->first);
    } else {
      h->first = h->storedFirst;
      h->walkCluster = 0;
      unsigned last;
      if (HandleCluster(h, keep == 0 ? 0 : keep - 1, &last) == 0) {
        unsigned next = NextFatEntry(last);
        if (CheckEndCluster(next) != 0) {
          MarkEndCluster(last);
          FreeFatChain(next);
        }
      }
    }
  }
  h->first = h->storedFirst;
  h->size = h->storedSize;
  h->time = h->storedTime;
  h->date = h->storedDate;
  h->walkCluster = 0;
  h->pendingFat = h->pendingEntry = false;
}

int FAT_DEVICE::CommitHandle(FatHandle* h) {
  if (!h->pendingFat && !h->pendingEntry && !h->unborn) return 0;
  return UpdateHandleEntry(h);
}

int FAT_DEVICE::AddHandleEntry(FatHandle* h) {
  auto fail = [&] {
    int err = lastError;
    // What the commit may have written of the chain is taken back too.
    bool chain = h->pendingFat;
    DropHandleChanges(h);
    if (chain) CommitFat();
    lastError = err;
    return -1;
  };
  if (!HandleReady(h) || !WritableHere()) return fail();
  SetCurrentDir(h->dir);
  if (SearchFile(kMaskAny, h->name11) == 0) {
    lastError = -8;  // taken meanwhile: the front end commits before any other change
    return fail();
  }
  if (lastError != -3) return fail();
  // The FAT with the chain (and a grown directory), then the entry.
  KeepUndo();
  const EntryTime when{h->time, h->date};
  if (CommitNewEntry(h->attr, h->name11, h->size, h->first, &when) != 0) {
    if (lastError == -3) lastError = -4;  // no free slot, and the directory cannot grow
    return fail();
  }
  FatHandle found;
  if (OpenEntry(h->name11, kMaskFiles, &found) != 0) return -1;
  h->entrySector = found.entrySector;
  h->entryOffset = found.entryOffset;
  h->unborn = false;
  MarkStored(h);
  return 0;
}

int FAT_DEVICE::OpenEntry(char* name11, unsigned mask, FatHandle* h) {
  if (!Ready()) return -1;
  if (SearchFile(mask, name11) != 0) return -1;
  DirEntry e = DecodeDirEntry(curPart->currentEntry);
  *h = FatHandle{};
  h->disk = curDisk_;
  h->part = curPartIndex;
  h->dir = curPart->currentDir;
  h->entrySector = pendStart;  // the sector the search loaded
  h->entryOffset = uint32_t(curPart->currentEntry - curPart->dirSector);
  memcpy(h->name11, e.name, 11);
  h->attr = e.attr;
  h->time = e.time;
  h->date = e.date;
  h->first = e.firstCluster;
  h->size = e.size;
  MarkStored(h);
  return 0;
}

int FAT_DEVICE::UpdateHandleEntry(FatHandle* h) {
  if (h->unborn) return AddHandleEntry(h);
  const bool deferredChange = h->pendingFat || h->pendingEntry;
  bool fatCommitted = false;
  auto fail = [&] {
    int err = lastError;
    if (deferredChange) {
      DropHandleChanges(h);
      // The chain went out without its entry: the FAT as it was, again.
      if (fatCommitted) CommitFat();
    }
    lastError = err;
    return -1;
  };
  if (!HandleReady(h) || !WritableHere()) return fail();
  // The chain before the entry that names it.
  if (h->pendingFat) {
    if (CommitFat() != 0) return fail();
    fatCommitted = true;
  }
  _CACHE* b = get_block(h->entrySector, 0);
  if (!b) return fail();
  uint8_t* e = b->data + (h->entryOffset & 0x1E0);
  if (memcmp(e + kDirName, h->name11, 11) != 0) {  // moved, deleted or overwritten
    put_block(b);
    lastError = -3;
    return fail();
  }
  e[kDirAttr] = h->attr;
  bytes::Put16(e + kDirTime, h->time);
  bytes::Put16(e + kDirDate, h->date);
  bytes::Put16(e + kDirFirstCluster, uint16_t(h->first));
  bytes::Put32(e + kDirFileSize, h->size);
  b->dirty = 1;
  if (put_block(b) < 0) return fail();
  MarkStored(h);
  return 0;
}

int FAT_DEVICE::HandleCluster(FatHandle* h, uint32_t k, unsigned* cluster) {
  if (!IsValidCluster(h->first)) {
    lastError = -3;
    return -1;
  }
  uint32_t ordinal = 0;
  unsigned c = h->first;
  if (h->walkCluster != 0 && h->walkOrdinal <= k && IsValidCluster(h->walkCluster)) {
    ordinal = h->walkOrdinal;
    c = h->walkCluster;
  }
  while (ordinal < k) {
    unsigned next = NextFatEntry(c);
    if (CheckEndCluster(next) == 0 || !IsValidCluster(next)) {
      lastError = -3;
      return -1;
    }
    c = next;
    ++ordinal;
  }
  h->walkOrdinal = ordinal;
  h->walkCluster = c;
  *cluster = c;
  return 0;
}

int FAT_DEVICE::MoveAt(FatHandle* h, uint64_t offset, char* data, uint32_t n, bool write,
                       uint64_t validBytes) {
  static_assert(sizeof stage_ == kRunSectors * 512);
  const uint32_t spc = curPart->sectorsPerCluster;
  const uint64_t clusterBytes = uint64_t(spc) * 512;
  while (n > 0) {
    unsigned c;
    uint32_t k = uint32_t(offset / clusterBytes);
    if (HandleCluster(h, k, &c) != 0) return -1;
    uint32_t inCluster = uint32_t(offset % clusterBytes) / 512;
    uint32_t within = uint32_t(offset % 512);
    uint32_t chunk;
    pendStart = ClusterSector(c) + inCluster;
    if (within != 0 || n < 512) {
      // A part of one sector: read, changed and written back when the rest
      // of the sector holds data of the file.
      char sector[512];
      chunk = std::min(512 - within, n);
      pendCount = 1;
      pendBuffer = sector;
      if (!write || offset - within < validBytes) {
        if ((write ? ReadData() : ReadFileData()) != 0) return -1;
      } else {
        memset(sector, 0, sizeof sector);
      }
      if (write) {
        if (data)
          memcpy(sector + within, data, chunk);
        else
          memset(sector + within, 0, chunk);
        if (WriteData() != 0) return -1;
      } else {
        memcpy(data, sector + within, chunk);
      }
    } else {
      // Whole sectors, over as many clusters as follow each other.
      uint32_t wanted = std::min(n / 512, kRunSectors);
      uint32_t run = spc - inCluster;
      while (run < wanted) {
        unsigned next = NextFatEntry(c);
        if (CheckEndCluster(next) == 0 || next != c + 1 || !IsValidCluster(next)) break;
        run += spc;
        c = next;
        h->walkOrdinal = ++k;
        h->walkCluster = c;
      }
      run = std::min(run, wanted);
      chunk = run * 512;
      pendCount = run;
      if (data) {
        pendBuffer = data;
      } else {
        memset(stage_, 0, chunk);
        pendBuffer = stage_;
      }
      if ((write ? WriteData() : ReadFileData()) != 0) return -1;
    }
    offset += chunk;
    if (data) data += chunk;
    n -= chunk;
  }
  return 0;
}

int FAT_DEVICE::ReadAt(FatHandle* h, uint64_t offset, char* data, uint32_t n) {
  if (!HandleReady(h)) return -1;
  if (offset >= h->size || n == 0) return 0;
  n = uint32_t(std::min<uint64_t>(n, h->size - offset));
  return MoveAt(h, offset, data, n, false, h->size) == 0 ? int(n) : -1;
}

int FAT_DEVICE::WriteAt(FatHandle* h, uint64_t offset, const char* data, uint32_t n) {
  if (!HandleReady(h) || !WritableHere()) return -1;
  if (h->attr & kAttrDirectory) {
    lastError = -7;
    return -1;
  }
  if (n == 0) return 0;
  const uint64_t end = offset + n;
  if (end > kMaxFileBytes) {
    lastError = -4;
    return -1;
  }
  const uint64_t clusterBytes = uint64_t(curPart->sectorsPerCluster) * 512;
  const FatHandle before = *h;
  uint32_t have = uint32_t((uint64_t(h->size) + clusterBytes - 1) / clusterBytes);
  if (h->first != 0 && have == 0) have = 1;  // a cluster behind an empty file
  uint32_t need = uint32_t((end + clusterBytes - 1) / clusterBytes);
  KeepUndo();
  auto giveBack = [&] {
    int err = lastError;
    *h = before;
    h->walkCluster = 0;
    RollBackFat();
    lastError = err;
    return -1;
  };
  bool grew = false;
  if (need > have) {
    if (CountFreeClusters(need - have) < need - have) {
      lastError = -4;
      return -1;
    }
    unsigned last = 0;
    if (have > 0) {
      if (HandleCluster(h, have - 1, &last) != 0) return giveBack();
      // A chain longer than the size: its tail belongs to no byte of the
      // file and is freed, as the file grows into new clusters instead.
      unsigned next = NextFatEntry(last);
      if (CheckEndCluster(next) != 0) FreeFatChain(next);
    }
    unsigned fresh;
    if (MakeFatChain((need - have) * clusterBytes, &fresh) != 0) {
      lastError = -4;
      return giveBack();
    }
    if (last)
      SetFatEntry(last, fresh);
    else
      h->first = fresh;
    grew = true;
  }
  // Bytes between the old end and the offset read as zeros.
  if (offset > before.size &&
      MoveAt(h, before.size, nullptr, uint32_t(offset - before.size), true, before.size) != 0)
    return giveBack();
  uint64_t valid = std::max<uint64_t>(before.size, offset);
  if (MoveAt(h, offset, const_cast<char*>(data), n, true, valid) != 0) return giveBack();
  if (h->deferred) {
    // The FAT and the entry wait for CommitHandle; the data is written.
    if (grew) {
      h->pendingFat = true;
      h->pendingImage = curPart->fatImage;
    }
    h->size = uint32_t(std::max<uint64_t>(before.size, end));
    NowWords(&h->time, &h->date);
    h->pendingEntry = true;
    return int(n);
  }
  if (grew && CommitFat() != 0) {
    giveBack();
    int err = lastError;
    CommitFat();
    lastError = err;
    return -1;
  }
  h->size = uint32_t(std::max<uint64_t>(before.size, end));
  NowWords(&h->time, &h->date);
  if (UpdateHandleEntry(h) != 0) {
    if (!grew) {
      int err = lastError;
      *h = before;
      lastError = err;
      return -1;
    }
    giveBack();
    int err = lastError;
    CommitFat();
    lastError = err;
    return -1;
  }
  return int(n);
}

int FAT_DEVICE::TruncateAt(FatHandle* h, uint64_t size) {
  if (!HandleReady(h) || !WritableHere()) return -1;
  if (h->attr & kAttrDirectory) {
    lastError = -7;
    return -1;
  }
  if (size > kMaxFileBytes) {
    lastError = -4;
    return -1;
  }
  if (size == h->size) return 0;
  // What a deferred handle holds back goes first: a cut works from the
  // entry and chain as the device holds them.
  if (CommitHandle(h) != 0) return -1;
  if (size > h->size) return WriteAt(h, h->size, nullptr, uint32_t(size - h->size)) < 0 ? -1 : 0;
  const uint64_t clusterBytes = uint64_t(curPart->sectorsPerCluster) * 512;
  const uint32_t keep = uint32_t((size + clusterBytes - 1) / clusterBytes);
  const FatHandle before = *h;
  // The last cluster kept, found before anything changes.
  unsigned last = 0;
  if (keep > 0 && HandleCluster(h, keep - 1, &last) != 0) return -1;
  // The entry first: a failure after it leaves clusters that no entry
  // names, never an entry naming freed clusters.
  h->size = uint32_t(size);
  if (keep == 0) h->first = 0;
  NowWords(&h->time, &h->date);
  if (UpdateHandleEntry(h) != 0) {
    int err = lastError;
    *h = before;
    lastError = err;
    return -1;
  }
  if (keep == 0) {
    FreeFatChain(before.first);  // a damaged chain is freed as far as it goes
  } else {
    unsigned next = NextFatEntry(last);
    if (CheckEndCluster(next) != 0) {
      MarkEndCluster(last);
      FreeFatChain(next);
    }
  }
  if (h->walkOrdinal >= keep) h->walkCluster = 0;
  // A FAT that could not be saved stays in memory as the entry now says;
  // the next commit writes it whole.
  return CommitFat() == 0 ? 0 : -1;
}

void FAT_DEVICE::SetCurrentDir(uint32_t cluster) {
  if (curPart) curPart->currentDir = cluster;
}
