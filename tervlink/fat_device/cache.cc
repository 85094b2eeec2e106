// The per-partition sector cache (40 buffers, LRU order, 64 hash chains),
// the direct transfers of the pending transfer and the read-ahead of file
// data.
//
// Directory sectors go through the cache; partition tables, boot sectors,
// FATs, file data and formats are direct transfers. A dirty buffer is
// written when it is released, never at eviction, so a buffer on the LRU
// list is always clean. That lets a direct write keep the caches coherent
// by simply dropping every cached copy of the sectors it covers.

#include <algorithm>
#include <cstring>
#include <new>

#include "tervlink/fat_device.h"
#include "tervlink/fat_device/dir_index.h"
#include "tervlink/host/host.h"

void FAT_DEVICE::InitPartCache(_PART_INFO* p) {
  for (int i = 0; i < kCacheBuffers; ++i) {
    _CACHE& c = p->cache[i];
    c.data = p->cacheData[i];
    c.block = kEmptyBlock;
    c.dirty = 0;
    c.next = i + 1 < kCacheBuffers ? &p->cache[i + 1] : nullptr;
    c.prev = i > 0 ? &p->cache[i - 1] : nullptr;
    c.hashNext = c.next;
  }
  p->lruFront = &p->cache[0];
  p->lruRear = &p->cache[kCacheBuffers - 1];
  for (auto& h : p->hash) h = nullptr;
}

void FAT_DEVICE::buf_pool() {
  for (auto& d : disks)
    for (auto& p : d.parts) InitPartCache(&p);
  ResetDirWalk();
  ForgetMirrors(-1);  // the disks are read afresh or were formatted
  DropReadAhead();
}

void FAT_DEVICE::rm_lru(_CACHE* buf) {
  if (buf->prev)
    buf->prev->next = buf->next;
  else
    *lruFront = buf->next;
  if (buf->next)
    buf->next->prev = buf->prev;
  else
    *lruRear = buf->prev;
}

// Takes buf out of the hash chain of the sector it holds.
static void Unhash(_CACHE** heads, _CACHE* buf) {
  if (buf->block == kEmptyBlock) return;
  _CACHE** link = &heads[buf->block & (kCacheHashHeads - 1)];
  while (*link && *link != buf) link = &(*link)->hashNext;
  if (*link) *link = buf->hashNext;
}

_CACHE* FAT_DEVICE::get_block(unsigned block, int noread) {
  for (_CACHE* c = hashTable[block & (kCacheHashHeads - 1)]; c; c = c->hashNext) {
    if (c->block == block) {
      rm_lru(c);
      return c;
    }
  }
  _CACHE* buf = *lruFront;
  if (!buf) return nullptr;  // every buffer is handed out
  rm_lru(buf);
  Unhash(hashTable, buf);
  buf->dirty = 0;
  buf->block = block;
  buf->hashNext = hashTable[block & (kCacheHashHeads - 1)];
  hashTable[block & (kCacheHashHeads - 1)] = buf;
  if (!noread && rw_block(buf, 1) < 0) {
    // The buffer stays usable: out of its chain, empty, released at the
    // LRU front so that it is the next one taken.
    Unhash(hashTable, buf);
    buf->block = kEmptyBlock;
    buf->prev = nullptr;
    buf->next = *lruFront;
    if (*lruFront)
      (*lruFront)->prev = buf;
    else
      *lruRear = buf;
    *lruFront = buf;
    return nullptr;
  }
  return buf;
}

int FAT_DEVICE::put_block(_CACHE* buf) {
  if (!buf) return 0;
  buf->prev = *lruRear;
  buf->next = nullptr;
  if (*lruRear)
    (*lruRear)->next = buf;
  else
    *lruFront = buf;
  *lruRear = buf;
  if (!buf->dirty) return 0;
  buf->dirty = 0;
  int r = rw_block(buf, 0);
  if (r < 0) {
    // The data did not reach the device; keeping it cached would show the
    // engine a sector that the device does not hold.
    Unhash(hashTable, buf);
    buf->block = kEmptyBlock;
    return r;
  }
  // A directory held in memory takes the sector as written.
  uint32_t index;
  if (fatdir::Mirror* m = MirrorOfSector(buf->block, &index)) PutMirrorSector(m, index, buf->data, false);
  return r;
}

int FAT_DEVICE::rw_block(_CACHE* buf, int read) {
  if (!read) DropReadAhead();
  if (!read && !WriteAllowed(buf->block, 1)) {
    lastError = -2;
    return -1;
  }
  // Nothing is written from what was read of a device that went away since.
  if (!read && !DeviceKept()) {
    MarkStale();
    lastError = -1;
    return -1;
  }
  char* data = reinterpret_cast<char*>(buf->data);
  int r = read ? pDevice->Read(buf->block, 1, data) : pDevice->Write(buf->block, 1, data);
  if (r < 0) {
    MarkStale();
    lastError = -1;
    return -1;
  }
  if (!read && verify && VerifyWritten(buf->block, 1, data) != 0) return -1;
  return 512;
}

// Only one buffer is ever handed out at a time, and a buffer on the LRU
// list is clean, so emptying every buffer here (also the one whose
// transfer just failed, which its caller then treats as empty) loses
// nothing that was not yet written.
void FAT_DEVICE::MarkStale() {
  stale_[curDisk_] = true;
  DropReadAhead();
  for (auto& p : disks[curDisk_].parts) {
    if (!p.lruFront && !p.lruRear) continue;  // cache not built
    for (auto& c : p.cache) {
      Unhash(p.hash, &c);
      c.block = kEmptyBlock;
      c.dirty = 0;
    }
  }
  ResetDirWalk();
  ForgetMirrors(curDisk_);
}

void FAT_DEVICE::DropCached(uint32_t first, uint32_t count) {
  uint64_t end = uint64_t(first) + count;
  for (auto& d : disks) {
    for (auto& p : d.parts) {
      if (!p.lruFront && !p.lruRear) continue;  // cache not built
      for (auto& c : p.cache) {
        if (c.block == kEmptyBlock || c.block < first || c.block >= end) continue;
        Unhash(p.hash, &c);
        c.block = kEmptyBlock;
        c.dirty = 0;
      }
    }
  }
}

// kind: 0 Read, 1 Write, 2 Direct_Read, 3 Direct_Write.
int FAT_DEVICE::Transfer(int kind) {
  if (pendCount == 0) return 0;
  // Whatever may reach the device, no sector read ahead may hide it.
  if (kind == 1 || kind == 3) DropReadAhead();
  // Direct writes (kind 3) are the image burn's, which owns the whole disk.
  if (kind == 1 && !WriteAllowed(pendStart, pendCount)) {
    lastError = -2;
    return -1;
  }
  if (kind == 1 && !DeviceKept()) {
    MarkStale();
    lastError = -1;
    return -1;
  }
  int r;
  switch (kind) {
    case 0: r = pDevice->Read(pendStart, pendCount, pendBuffer); break;
    case 1: r = pDevice->Write(pendStart, pendCount, pendBuffer); break;
    case 2: r = pDevice->Direct_Read(pendStart, pendCount, pendBuffer); break;
    default: r = pDevice->Direct_Write(pendStart, pendCount, pendBuffer); break;
  }
  // Whatever reached the device, no cached copy may hide it.
  if (kind == 1 || kind == 3) {
    DropCached(pendStart, pendCount);
    MirrorsOverwritten(pendStart, pendCount);
  }
  if (r < 0) {
    MarkStale();
    lastError = -1;
    return -1;
  }
  if (kind == 1 && verify) return VerifyWritten(pendStart, pendCount, pendBuffer);
  return 0;
}

int FAT_DEVICE::VerifyWritten(uint32_t first, uint32_t count, const char* data) {
  // A run is at most the transfer buffer; the copy read back goes to a
  // buffer of its own, made on the first verified write.
  if (!verifyBuffer_) verifyBuffer_ = host::NewTransferBuffer(sizeof stage_);
  if (!verifyBuffer_ || size_t(count) * 512 > sizeof stage_) {
    lastError = -1;
    return -1;
  }
  if (pDevice->Read(first, count, verifyBuffer_.get()) < 0) {
    MarkStale();
    lastError = -1;
    return -1;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (memcmp(verifyBuffer_.get() + size_t(i) * 512, data + size_t(i) * 512, 512) != 0) {
      host::Print("\n写地址(扇区号 = %u)回读校验失败\n", first + i);
      // What the device holds is not what the engine thinks it wrote.
      MarkStale();
      lastError = -12;
      return -1;
    }
  }
  return 0;
}

int FAT_DEVICE::ReadData() { return Transfer(0); }
int FAT_DEVICE::WriteData() { return Transfer(1); }
int FAT_DEVICE::DirectReadData() { return Transfer(2); }
int FAT_DEVICE::DirectWriteData() { return Transfer(3); }

namespace {
constexpr uint32_t kAheadFirst = 64;   // 32 KB: the run after a jump
constexpr uint32_t kAheadMost = 2048;  // 1 MB: the longest run, as stage_
}  // namespace

void FAT_DEVICE::BeginReadAhead() {
  DropReadAhead();
  aheadWindow_ = kAheadFirst;
  aheadEnd_ = 0;
  readAhead_ = true;
}

void FAT_DEVICE::EndReadAhead() {
  readAhead_ = false;
  DropReadAhead();
  // A run sent for is answered now, not by another command's first request.
  std::unique_ptr<char[]> back;
  pDevice->TakeRead(0, 0, back);
}

void FAT_DEVICE::PostNextRun(uint64_t dataEnd, uint32_t losses) {
  const uint64_t start = aheadEnd_;
  if (start >= dataEnd) return;
  const uint32_t run = uint32_t(std::min<uint64_t>(std::min(aheadWindow_ * 2, kAheadMost), dataEnd - start));
  // The buffer of a run sent for and then dropped (a read elsewhere) comes
  // back from the link rather than being made anew.
  if (!aheadSpare_) pDevice->TakeRead(0, 0, aheadSpare_);
  if (!aheadSpare_) aheadSpare_ = host::NewTransferBuffer(size_t(kAheadMost) * 512);
  if (!aheadSpare_ || !pDevice->PostRead(uint32_t(start), run, aheadSpare_)) return;
  postedStart_ = uint32_t(start);
  postedCount_ = run;
  postedDisk_ = pDevice->currentDisk;
  postedLosses_ = losses;
}

int FAT_DEVICE::ReadFileData(bool inPlace) {
  if (!readAhead_ || !curPart || pendCount == 0 || pendCount > kAheadMost) return ReadData();
  const uint64_t start = pendStart;
  const uint64_t end = start + pendCount;
  // Only the current partition's data area is read ahead and served.
  const _PART_INFO& p = *curPart;
  const uint64_t dataEnd =
      std::min(uint64_t(p.firstDataSector) + uint64_t(p.dataClusters) * p.sectorsPerCluster,
               uint64_t(p.startSector) + p.sectorCount);
  if (start < p.firstDataSector || end > dataEnd) return ReadData();
  // A device that went away since may hold anything now.
  const uint32_t losses = pDevice->DeviceLosses();
  // The read's sectors out of aheadBuffer_, which holds the run from
  // runStart on: copied, or in place.
  auto deliver = [&](uint64_t runStart) {
    char* from = aheadBuffer_.get() + size_t(start - runStart) * 512;
    if (inPlace)
      pendBuffer = from;
    else
      memcpy(pendBuffer, from, size_t(pendCount) * 512);
  };
  // The run now in aheadBuffer_: it serves this read, and the one after it
  // is sent for.
  auto serve = [&](uint64_t runStart, uint32_t count) {
    aheadStart_ = uint32_t(runStart);
    aheadCount_ = count;
    aheadDisk_ = pDevice->currentDisk;
    aheadLosses_ = losses;
    aheadEnd_ = runStart + count;
    deliver(runStart);
    PostNextRun(dataEnd, losses);
    return 0;
  };
  if (aheadCount_ > 0 && aheadDisk_ == pDevice->currentDisk && aheadLosses_ == losses &&
      start >= aheadStart_ && end <= uint64_t(aheadStart_) + aheadCount_) {
    deliver(aheadStart_);
    return 0;
  }
  // The run sent for ahead, when it holds these sectors: its buffer becomes
  // the run read, and the one after it is sent for.
  if (postedCount_ > 0 && postedDisk_ == pDevice->currentDisk && postedLosses_ == losses &&
      start >= postedStart_ && end <= uint64_t(postedStart_) + postedCount_) {
    std::unique_ptr<char[]> data;
    int32_t r = pDevice->TakeRead(postedStart_, postedCount_, data);
    if (r >= 0 && data) {
      aheadSpare_ = std::move(aheadBuffer_);
      aheadBuffer_ = std::move(data);
      aheadWindow_ = postedCount_;
      postedCount_ = 0;
      return serve(postedStart_, aheadWindow_);
    }
    if (data) aheadSpare_ = std::move(data);
    // A failed read ahead: the sectors are read again below, alone.
  }
  DropReadAhead();
  if (!aheadBuffer_) aheadBuffer_ = host::NewTransferBuffer(size_t(kAheadMost) * 512);
  if (!aheadBuffer_) {
    readAhead_ = false;
    return ReadData();
  }
  // Reads that go forward (from where the last run ended, or a little
  // past it) earn a longer run; a jump starts again from the shortest.
  const bool forward = start >= aheadEnd_ && start <= aheadEnd_ + aheadWindow_;
  aheadWindow_ = forward ? std::min(aheadWindow_ * 2, kAheadMost) : kAheadFirst;
  const uint32_t run = uint32_t(std::min(uint64_t(std::max(aheadWindow_, pendCount)), dataEnd - start));
  // A big file's run (longer than half the longest) is followed by the
  // longest, sent for while the caller serves this one.
  if (pendCount > kAheadMost / 2) aheadWindow_ = kAheadMost;
  if (pDevice->Read(pendStart, run, aheadBuffer_.get()) < 0) {
    // The longer run may take in sectors this read does not need: the read
    // is made alone, and the command goes on without read-ahead.
    readAhead_ = false;
    return ReadData();
  }
  return serve(start, run);
}
