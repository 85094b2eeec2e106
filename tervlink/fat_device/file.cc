// Whole-file data: WriteFile, ReadFile, FileSize in the current directory.
//
// Data bypasses the cache and moves in direct transfers of up to a
// contiguous run of clusters (planned as at most 2048 sectors, extended to
// the end of the last whole cluster taken), so a file written lowest-first
// moves in few requests.

#include <algorithm>
#include <cstring>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/dir_index.h"
#include "tervlink/fat_device/fat_layout.h"
#include "tervlink/fat_device/reasons.h"
#include "tervlink/host/host.h"
#include "tervlink/text.h"

using namespace fatfmt;

namespace {

constexpr uint32_t kMaxRunSectors = 2048;  // the size of FAT_DEVICE::stage_

// Off a terminal the percentage, each figure over the last two; at a
// terminal the host's progress segment (bytes, rate, time left).
void ShowProgress(uint64_t done, uint64_t total) {
  if (host::ProgressOnTerminal())
    host::ProgressBytes(done, total);
  else if (done >= total)
    host::Print("\b\b100");
  else
    host::Print("\b\b%02d", int(done * 100 / total));
}

}  // namespace

void FAT_DEVICE::PopulateStage(uint64_t bytes) {
  constexpr uint64_t kShort = 64 << 10;
  bytes = std::min<uint64_t>(bytes, sizeof stage_);
  if (bytes < kShort || bytes <= stagePopulated_) return;
  host::PopulateMemory(stage_ + stagePopulated_, size_t(bytes - stagePopulated_));
  stagePopulated_ = bytes;
}

// Moves size bytes between data and the chain starting at first. The count
// moved, or -1 (last error -1 on a device failure, -3 on a cluster outside
// the partition). A write stops early at an end mark and returns the count
// so far; a read fails (-3) when the chain ends before size bytes or comes
// back to a cluster it has passed, so a damaged file is never taken whole.
int FAT_DEVICE::DataLoop(unsigned first, char* data, FileDataStream* stream, uint32_t size,
                         bool write, char* hold) {
  static_assert(sizeof stage_ == kMaxRunSectors * 512);
  const uint32_t spc = curPart->sectorsPerCluster;
  const uint64_t clusterBytes = uint64_t(spc) * 512;
  char sector[512];
  uint64_t offset = 0;
  uint32_t remaining = size;
  unsigned cluster = first;
  // Clusters passed by a read, one bit each (valid clusters are below
  // dataClusters + 2).
  std::vector<uint8_t> passed(write ? 0 : (curPart->dataClusters + 2) / 8 + 1);
  // The run of whole sectors that a transfer at offset moves from cluster
  // c on: up to kMaxRunSectors, as far as the chain goes on in order (c
  // comes back as the run's last cluster).
  auto runFrom = [&](unsigned& c, uint64_t at, uint32_t left, auto&& passes) {
    uint32_t wanted = std::min(left / 512, kMaxRunSectors);
    uint32_t run = spc - uint32_t(at / 512) % spc;
    while (run < wanted) {
      unsigned next = NextFatEntry(c);
      if (CheckEndCluster(next) == 0 || next != c + 1 || !IsValidCluster(next)) break;
      if (!passes(next)) break;  // the loop is reported when the chain gets there
      run += spc;
      c = next;
    }
    if (uint64_t(run) * 512 > left) run = left / 512;
    return run;
  };
  // A streamed write reads the stream's next run while the device writes
  // this one (the link's wait work, run once the run has gone out), so
  // that the PC's reading and the device's writing overlap: into stage_
  // itself, which the sent run no longer needs, or with verify on (whose
  // read-back compares with it) into the other of stage_ and stageNext_.
  // The next run: its buffer, bytes and last cluster.
  char* aheadInto = nullptr;
  uint32_t aheadBytes = 0;
  unsigned aheadLast = 0;
  const bool streamed = write && stream && !hold && size > kMaxRunSectors * 512;
  if (stream && !hold) PopulateStage(size);
  if (streamed && verify && !stageNext_) stageNext_ = host::NewTransferBuffer(sizeof stage_);
  host::DeviceWaitTask ahead(streamed && (!verify || stageNext_),
                             [&] { return stream->Fill(aheadInto, aheadBytes); });
  // The next bytes to write, and the bytes just read: from data, or by the
  // stream (whose failure is the PC side's, not the device's).
  auto give = [&](char* into, uint32_t n) {
    if (!stream) {
      if (into != data) memcpy(into, data, n);
      return true;
    }
    if (stream->Fill(into, n)) return true;
    lastError = -10;
    return false;
  };
  auto keep = [&](const char* from, uint32_t n) {
    if (!stream) {
      if (from != data) memcpy(data, from, n);
      return true;
    }
    if (stream->Take(from, n)) return true;
    lastError = -10;
    return false;
  };
  auto pass = [&](unsigned c) {
    if (write) return true;
    uint8_t bit = uint8_t(1u << (c & 7));
    if (passed[c >> 3] & bit) return false;
    passed[c >> 3] |= bit;
    return true;
  };
  // A read that meets a damaged chain names the file, its partition and
  // the damage (the name is the one LoadFile looked up).
  auto damaged = [&](const char* what) {
    lastError = -3;
    if (!write)
      host::SetReason("file %s on %c: is damaged: its cluster chain %s",
                      text::EntryText(fileName).c_str(), char('C' + curPartIndex), what);
    return -1;
  };
  while (remaining > 0) {
    // Ctrl-C stops a write between two transfers; the caller rolls it back
    // as it does a failed transfer, so the file system stays whole.
    if (write && host::InterruptRequested()) {
      lastError = -9;
      return -1;
    }
    if (CheckEndCluster(cluster) == 0) {
      if (write) return int(offset);
      return damaged("ends before the file's size");
    }
    if (!IsValidCluster(cluster)) return damaged("leaves the partition");
    if ((offset % clusterBytes) == 0 && !pass(cluster)) return damaged("loops back on itself");
    uint32_t at = ClusterSector(cluster) + uint32_t(offset / 512) % spc;
    uint32_t within = uint32_t(offset % 512);
    uint32_t chunk;
    pendStart = at;
    if (within != 0 || remaining < 512) {
      // A part of one sector goes through the local buffer.
      chunk = std::min(512 - within, remaining);
      pendCount = 1;
      pendBuffer = sector;
      if (hold) {  // the rest of the sector is zero there already
        if (!give(hold + offset, chunk)) return -1;
      } else if (write) {
        memset(sector, 0, sizeof sector);
        if (!give(sector + within, chunk)) return -1;
        if (WriteData() != 0) return -1;
      } else {
        if (ReadFileData() != 0) return -1;
        if (!keep(sector + within, chunk)) return -1;
      }
    } else {
      // A run read while the device wrote the last one is the run here.
      bool aheadOk = false;
      const bool readAhead = ahead.TakeRun(aheadOk);
      uint32_t run = readAhead ? aheadBytes / 512 : runFrom(cluster, offset, remaining, pass);
      if (readAhead) cluster = aheadLast;
      chunk = run * 512;
      pendCount = run;
      pendBuffer = hold ? hold + offset : stream ? stage_ : data;
      if (readAhead) {
        if (!aheadOk) {
          lastError = -10;  // the stream's failure, its reason set
          return -1;
        }
        pendBuffer = aheadInto;
      } else if (write && !give(pendBuffer, chunk)) {
        return -1;
      }
      if (ahead.On()) {
        // The next run as the loop will find it: the chain is made already.
        unsigned c = cluster;
        uint64_t nextOffset = offset + chunk;
        uint32_t left = remaining - chunk;
        if (left > 0 && nextOffset % clusterBytes == 0) c = NextFatEntry(c);
        bool whole = left >= 512 && CheckEndCluster(c) != 0 && IsValidCluster(c);
        aheadBytes = whole ? runFrom(c, nextOffset, left, [](unsigned) { return true; }) * 512 : 0;
        aheadLast = c;
        aheadInto = !verify ? pendBuffer : pendBuffer == stage_ ? stageNext_.get() : stage_;
        if (aheadBytes > 0) ahead.Arm();
      }
      // A streamed read hands the stream its bytes where they were read.
      if (!hold && (write ? WriteData() : ReadFileData(stream != nullptr)) != 0) return -1;
      ahead.Disarm();
      if (!write && !keep(pendBuffer, chunk)) return -1;
    }
    offset += chunk;
    if (!stream) data += chunk;
    remaining -= chunk;
    if (remaining > 0 && offset % clusterBytes == 0) cluster = NextFatEntry(cluster);
    if (!quiet) ShowProgress(offset, size);
  }
  return int(offset);
}

int FAT_DEVICE::WriteFile(char* name, char* data, int size, FILE* file) {
  return StoreFile(name, data, nullptr, size, nullptr);
}

int FAT_DEVICE::WriteFileDated(char* name, char* data, int size, unsigned short time,
                               unsigned short date) {
  EntryTime when{time, date};
  return StoreFile(name, data, nullptr, size, &when);
}

int FAT_DEVICE::WriteFileFrom(char* name, FileDataStream& source, int size) {
  return StoreFile(name, nullptr, &source, size, nullptr);
}

int FAT_DEVICE::WriteFileFromDated(char* name, FileDataStream& source, int size,
                                   unsigned short time, unsigned short date) {
  EntryTime when{time, date};
  return StoreFile(name, nullptr, &source, size, &when);
}

int FAT_DEVICE::StoreFile(char* name, char* data, FileDataStream* stream, int size,
                          const EntryTime* when) {
  if (!Ready()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  char target[12];
  memcpy(target, fileName, sizeof target);
  if (!CreatableName(target) || size < 0 || (size > 0 && !data && !stream)) {
    lastError = -7;
    return -1;
  }
  if (!WritableHere()) return -1;
  const uint64_t clusterBytes = uint64_t(curPart->sectorsPerCluster) * 512;
  const uint64_t need = WholeClusters(uint64_t(size));
  // In a file group the entry (and the data) waits in memory for the
  // group's commit; a directory too long to be held takes the file alone.
  bool grouped = false;
  if (dirs_->grouping) {
    if (!GroupRoomFor(need)) return -1;
    fatdir::Mirror* m;
    int held = CurrentMirror(&m);
    if (held < 0) return -1;
    grouped = held == 1;
    if (!grouped && !SettleGroup()) return -1;
  }
  if (!quiet && !host::ProgressOnTerminal()) host::Print("%%  ");
  // The free space is counted only as far as the file needs: every test
  // below is decided by then.
  uint64_t freeBytes = uint64_t(CountFreeClusters(uint32_t(need / clusterBytes))) * clusterBytes;
  uint64_t available = freeBytes;
  // The whole free space, for the reason of a refusal.
  auto allFree = [this] {
    unsigned long bytes = 0;
    SearchFreeByte(&bytes);
    return uint64_t(bytes);
  };
  // A file replaced while the free space holds both keeps its entry and
  // its chain until the new data is on the device.
  bool replace = false;
  OldEntry old{};
  if (SearchFile(kMaskFiles, target) == 0) {
    uint64_t oldSize = bytes::Get32(curPart->currentEntry + kDirFileSize);
    available += WholeClusters(oldSize);
    if (available < uint64_t(size)) {
      lastError = -4;
      fatreason::NoSpace(curPartIndex, need, allFree() + (available - freeBytes));
      return -1;
    }
    if (freeBytes >= need) {
      replace = true;
      old.sector = pendStart;
      old.offset = uint32_t(curPart->currentEntry - curPart->dirSector);
      old.first = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
      old.slot = curSlot_;
    } else if (RemoveFile(target) != 0) {
      return -1;
    }
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
      fatreason::NoSpace(curPartIndex, need, allFree());
      return -1;
    }
  }
  // The FAT as last committed, to put back should the group be lost.
  if (grouped && !GroupOpen())
    dirs_->undo.assign(curPart->fat, curPart->fat + size_t(curPart->sectorsPerFat) * 512);
  KeepUndo();
  // The chain is made and filled before the entry is added: the entry then
  // names the chain's own first cluster even when the directory has to grow,
  // and a failure before the commit leaves the device's FAT untouched.
  unsigned first = 0;
  int written = 0;
  char* hold = nullptr;
  if (grouped && size > 0 && GroupHold(uint32_t(size), need, &hold) != 0) return -1;
  if (size > 0) {
    if (MakeFatChain(uint32_t(size), &first) != 0) {
      lastError = -4;
      fatreason::NoSpace(curPartIndex, need, allFree());
      return -1;
    }
    written = DataLoop(first, data, stream, uint32_t(size), true, hold);
    if (written < 0) {
      // Put back from memory: the device may be the reason of the failure.
      RollBackFat();
      return -1;
    }
  }
  if (grouped)
    return StageFile(replace ? &old : nullptr, target, uint32_t(size), first, when, hold) == 0
               ? written
               : -1;
  int r = replace ? ReplaceEntry(old, uint32_t(size), first, when)
                  : CommitNewEntry(kAttrArchive, target, uint32_t(size), first, when);
  if (r != 0) return -1;
  return written;  // an empty file moves nothing: its progress ends at "%  "
}

// Switches the entry of a file being replaced to the new chain, already
// written and in the image, in the order that keeps one of the two files
// whole whatever fails: the FAT with both chains, then the entry, then the
// FAT without the old chain. 0, or -1: before the entry was switched the
// old file stays and the new chain is given back; after it, the new file
// stays and the old chain's clusters are freed by the next commit.
int FAT_DEVICE::ReplaceEntry(const OldEntry& old, uint32_t size, unsigned first,
                             const EntryTime* when) {
  if (CommitFat() != 0) {
    int err = lastError;
    RollBackFat();
    CommitFat();
    lastError = err;
    return -1;
  }
  // The directory sector is still the one the search for the old entry
  // loaded: nothing in between touched a directory.
  char name11[11];
  curPart->currentEntry = curPart->dirSector + old.offset;
  memcpy(name11, curPart->currentEntry + kDirName, 11);
  FillEntry(kAttrArchive, name11, size, first, when);
  pendCount = 1;
  pendBuffer = reinterpret_cast<char*>(curPart->dirSector);
  pendStart = old.sector;
  if (UpdateEntry() != 0) {
    int err = lastError;
    FreeFatChain(first);
    CommitFat();
    lastError = err;
    return -1;
  }
  FreeFatChain(old.first);  // a damaged chain is freed as far as it goes
  return CommitFat() == 0 ? 0 : -1;
}

int FAT_DEVICE::ReadFile(char* name, char* data, int size, FILE* file) {
  return LoadFile(name, data, nullptr, size);
}

int FAT_DEVICE::ReadFileTo(char* name, FileDataStream& sink, int size) {
  return LoadFile(name, nullptr, &sink, size);
}

int FAT_DEVICE::LoadFile(char* name, char* data, FileDataStream* stream, int size) {
  // The open group's data may still be in memory: it is committed first.
  if (!Ready() || !SettleGroup()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  if (SearchFile(kMaskFiles, fileName) != 0) return -1;
  if (size < 0 || (size > 0 && !data && !stream)) return -1;
  unsigned first = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
  // A read follows only the clusters the file's size needs: a chain longer
  // than its size (or looping behind it) is never walked.
  uint32_t want = std::min(uint32_t(size), bytes::Get32(curPart->currentEntry + kDirFileSize));
  if (!quiet && !host::ProgressOnTerminal()) host::Print("%%  ");
  if (want == 0) return 0;  // nothing moves: no progress after "%  "
  if (first == 0) {  // a size without clusters: the chain ends at once
    lastError = -3;
    host::SetReason("file %s on %c: is damaged: it has a size but no clusters",
                    text::EntryText(fileName).c_str(), char('C' + curPartIndex));
    return -1;
  }
  return DataLoop(first, data, stream, want, false);
}

int FAT_DEVICE::FileSize(char* name) {
  if (!Ready()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  if (SearchFile(kMaskFiles, fileName) != 0) return -1;
  return FileSize(bytes::Get32(curPart->currentEntry + kDirFileSize));
}

int FAT_DEVICE::FileSize(const _FILE_FIND* found) {
  if (!Ready()) return -1;
  return FileSize(found->size);
}

int FAT_DEVICE::FileSize(uint32_t size) {
  // A size larger than the whole data area belongs to a damaged entry; the
  // caller would otherwise allocate it before the read could fail.
  if (uint64_t(size) > uint64_t(curPart->dataClusters) * curPart->sectorsPerCluster * 512 ||
      size > 0x7FFFFFFFu) {
    lastError = -3;
    host::SetReason("a file on %c: is damaged: its size (%u bytes) is larger than the partition",
                    char('C' + curPartIndex), size);
    return -1;
  }
  return int(size);
}
