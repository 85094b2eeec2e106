// Directory entries and the current directory of the current partition.
//
// Entries are reached by index: the root directory is a fixed area, a
// subdirectory a cluster chain. Every walk is bounded: a root index beyond
// the area, or a subdirectory index beyond the distinct clusters of its
// chain (a chain ends at an end mark, at a cluster number outside the
// partition, or where it would come back to a cluster already passed), ends
// with -1 and last error -3.
//
// A directory of up to 65,536 entries (all a FAT directory may have) is
// held in memory while a command works in it (dir_index.cc): lookups and
// free-slot searches are then served from there, and every entry written
// goes through it.

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

const char kDotName[12] = ".          ";
const char kDotDotName[12] = "..         ";

bool Live(uint8_t first) { return first != kEntryEnd && first != kEntryDeleted; }

bool IsDotName(const char* name11) {
  return memcmp(name11, kDotName, 11) == 0 || memcmp(name11, kDotDotName, 11) == 0;
}

}  // namespace

bool FAT_DEVICE::Loaded() {
  DiskTables(curDisk_);  // a disk's tables are read when first needed
  if (curPart && curPart->formatted && (curPart->fatWidth == 12 || curPart->fatWidth == 16))
    return true;
  lastError = -2;
  return false;
}

bool FAT_DEVICE::Ready() { return Fresh() && Loaded(); }

bool FAT_DEVICE::WritableHere() {
  if (curPart->usable) return true;
  host::Print("分区%c:超出磁盘或与其他分区重叠，不能写入!\n", char('C' + curPartIndex));
  lastError = -2;
  return false;
}

uint32_t FAT_DEVICE::ClusterSector(unsigned cluster) const {
  return (cluster - 2) * curPart->sectorsPerCluster + curPart->firstDataSector;
}

uint64_t FAT_DEVICE::WholeClusters(uint64_t bytes) const {
  const uint64_t clusterBytes = uint64_t(curPart->sectorsPerCluster) * 512;
  return (bytes + clusterBytes - 1) / clusterBytes * clusterBytes;
}

// Measures the current subdirectory's chain once per change of the FAT or
// of the directory: 0 with its distinct cluster count and last cluster, or
// -1 (last error -3) when its first cluster is not a valid cluster.
int FAT_DEVICE::DirChain(unsigned* length, unsigned* last) {
  unsigned start = curPart->currentDir;
  if (walkPart_ != curPart || walkDir_ != start) {
    if (!IsValidCluster(start)) {
      lastError = -3;
      return -1;
    }
    unsigned c;
    uint32_t n = ChainWalk(start, UINT32_MAX, nullptr, &c);
    walkPart_ = curPart;
    walkDir_ = start;
    walkLength_ = n;
    walkLast_ = c;
    walkOrdinal_ = 0;
    walkCluster_ = start;
  }
  *length = walkLength_;
  *last = walkLast_;
  return 0;
}

int FAT_DEVICE::LoadDirEntry(unsigned index) {
  if (!Loaded()) return -1;
  fatdir::Mirror* m;
  int held = CurrentMirror(&m);
  if (held < 0) return -1;
  uint32_t sector;
  if (held) {
    if (index >= m->Entries()) {
      lastError = -3;
      return -1;
    }
    memcpy(curPart->dirSector, m->bytes.data() + size_t(index / 16) * 512, 512);
    uint32_t inSector;
    // The sector's number: the index's sector of the root area or chain.
    if (curPart->currentDir == 0)
      sector = m->rootFirst + index / 16;
    else
      sector = ClusterSector(m->clusters[index / 16 / curPart->sectorsPerCluster]) +
               (index / 16) % curPart->sectorsPerCluster;
    inSector = index % 16;
    curPart->currentEntry = curPart->dirSector + inSector * kDirEntryBytes;
    pendCount = 1;
    pendBuffer = reinterpret_cast<char*>(curPart->dirSector);
    pendStart = sector;
    curSlot_ = index;
    return 0;
  }
  if (curPart->currentDir == 0) {
    uint32_t rootSlots = curPart->rootEntries / 16 * 16;
    if (index >= rootSlots) {
      lastError = -3;
      return -1;
    }
    sector = curPart->startSector + curPart->reservedSectors +
             curPart->sectorsPerFat * curPart->fatCount + index / 16;
  } else {
    unsigned length, last;
    if (DirChain(&length, &last) != 0) return -1;
    unsigned perCluster = 16 * curPart->sectorsPerCluster;
    unsigned ordinal = index / perCluster;
    if (ordinal >= length) {
      lastError = -3;
      return -1;
    }
    if (ordinal < walkOrdinal_) {
      walkOrdinal_ = 0;
      walkCluster_ = curPart->currentDir;
    }
    // Within the measured length every step lands on a valid cluster.
    while (walkOrdinal_ < ordinal) {
      walkCluster_ = NextFatEntry(walkCluster_);
      ++walkOrdinal_;
    }
    sector = ClusterSector(walkCluster_) + (index / 16) % curPart->sectorsPerCluster;
  }
  _CACHE* b = get_block(sector, 0);
  if (!b) return -1;
  memcpy(curPart->dirSector, b->data, 512);
  put_block(b);
  curPart->currentEntry = curPart->dirSector + (index % 16) * kDirEntryBytes;
  pendCount = 1;
  pendBuffer = reinterpret_cast<char*>(curPart->dirSector);
  pendStart = sector;
  curSlot_ = index;
  return 0;
}

int FAT_DEVICE::ScanDirEntry(unsigned index, bool first) {
  if (first || index % 16 == 0) return LoadDirEntry(index);
  curPart->currentEntry = curPart->dirSector + (index % 16) * kDirEntryBytes;
  return 0;
}

int FAT_DEVICE::UpdateEntry() {
  // An open group's entries go to the device after its FAT, never before:
  // it is committed first (the operations that write entries do so already).
  if (GroupOpen()) {
    uint32_t count = pendCount, start = pendStart;
    char* buffer = pendBuffer;
    if (!SettleGroup()) return -1;
    pendCount = count;
    pendStart = start;
    pendBuffer = buffer;
  }
  for (uint32_t i = 0; i < pendCount; ++i) {
    const char* data = pendBuffer + size_t(i) * 512;
    _CACHE* b = get_block(pendStart + i, 1);
    if (!b) return -1;
    memcpy(b->data, data, 512);
    b->dirty = 1;
    // A write that did not reach the device is reported: the callers use
    // it to keep the FAT in step with what the directory really holds.
    if (put_block(b) < 0) return -1;
  }
  return 0;
}

int FAT_DEVICE::StageEntry() {
  uint32_t index;
  fatdir::Mirror* m = MirrorOfSector(pendStart, &index);
  if (!m) {  // the callers stage only into the held current directory
    lastError = -3;
    return -1;
  }
  PutMirrorSector(m, index, curPart->dirSector, true);
  return 0;
}

int FAT_DEVICE::SearchFile(unsigned mask, char* name11) {
  if (!Loaded()) return -1;
  fatdir::Mirror* m;
  int held = CurrentMirror(&m);
  if (held < 0) return -1;
  if (held) {
    // The first matching entry before the end marker, through the index.
    char text[14];
    EntryText(reinterpret_cast<const uint8_t*>(name11), text);
    FoldCase(text, strlen(text));
    uint32_t best = UINT32_MAX;
    auto [lo, hi] = m->byText.equal_range(text);
    for (auto it = lo; it != hi; ++it) {
      uint32_t slot = it->second;
      const uint8_t* e = m->bytes.data() + size_t(slot) * kDirEntryBytes;
      if (slot < m->end && slot < best && !(e[kDirAttr] & ~mask) && memcmp(e, name11, 11) == 0)
        best = slot;
    }
    if (best == UINT32_MAX) {
      lastError = -3;
      return -1;
    }
    return LoadDirEntry(best);
  }
  for (unsigned i = 0;; ++i) {
    if (ScanDirEntry(i, i == 0) != 0) return -1;
    const uint8_t* e = curPart->currentEntry;
    if (e[0] == kEntryEnd) {
      lastError = -3;
      return -1;
    }
    if (e[0] == kEntryDeleted) continue;
    if (e[kDirAttr] & ~mask) continue;
    if (memcmp(e, name11, 11) == 0) return 0;
  }
}

int FAT_DEVICE::MakeNextDirEntry() {
  if (curPart->currentDir == 0) return -1;
  fatdir::Mirror* m = nullptr;
  if (CurrentMirror(&m) != 1) m = nullptr;
  unsigned length, last, fresh;
  if (DirChain(&length, &last) != 0) return -1;
  // A directory holds at most 65,536 entries.
  const uint32_t perCluster = 16 * curPart->sectorsPerCluster;
  if (uint64_t(length) + 1 > fatdir::kMaxDirEntries / perCluster) {
    lastError = -3;
    return -1;
  }
  if (SearchBlankCluster(&fresh) != 0) return -1;
  ClearDirBuf();
  curPart->currentEntry = curPart->dirSector;
  uint32_t first = ClusterSector(fresh);
  // The new cluster is written while it is still free on the device.
  if (WriteDirCluster(fresh) != 0) return -1;
  SetFatEntry(last, fresh);
  MarkEndCluster(fresh);
  if (m) {
    // The held directory grows with it: all its new entries are free.
    uint32_t slot = m->Entries();
    m->clusters.push_back(fresh);
    m->byCluster.insert(std::upper_bound(m->byCluster.begin(), m->byCluster.end(),
                                         std::make_pair(uint32_t(fresh), uint32_t(0))),
                        {uint32_t(fresh), uint32_t(m->clusters.size() - 1)});
    m->bytes.resize(m->bytes.size() + size_t(perCluster) * kDirEntryBytes, 0);
    m->staged.resize(m->Sectors(), 0);
    m->fatStamp = fatStamp_;
    return LoadDirEntry(slot);
  }
  pendCount = 1;
  pendBuffer = reinterpret_cast<char*>(curPart->dirSector);
  pendStart = first;
  return 0;
}

// Finds the first free slot of the current directory, growing a
// subdirectory by a cluster (in the FAT image) when it is full. 0 with the
// current entry at the slot; -1 with the image as before the call.
int FAT_DEVICE::FindFreeSlot() {
  fatdir::Mirror* m;
  int held = CurrentMirror(&m);
  if (held < 0) return -1;
  if (held) {
    const uint32_t n = m->Entries();
    uint32_t i = m->freeHint;
    while (i < n && Live(m->bytes[size_t(i) * kDirEntryBytes])) ++i;
    m->freeHint = i;
    if (i < n) return LoadDirEntry(i);
    lastError = -3;  // full: only a subdirectory can grow
    return MakeNextDirEntry();
  }
  for (unsigned i = 0;; ++i) {
    if (ScanDirEntry(i, i == 0) != 0) {
      // Only the end of the directory is a reason to grow it; a failed read
      // is not.
      if (lastError != -3 || MakeNextDirEntry() != 0) return -1;
      return 0;
    }
    uint8_t first = curPart->currentEntry[0];
    if (first == kEntryEnd || first == kEntryDeleted) return 0;
  }
}

void FAT_DEVICE::FillEntry(unsigned attr, const char* name11, unsigned long size,
                           unsigned cluster, const EntryTime* when) {
  DirEntry e;
  memcpy(e.name, name11, 11);
  e.attr = uint8_t(attr);
  e.firstCluster = uint16_t(cluster);
  e.size = uint32_t(size);
  EncodeDirEntry(e, curPart->currentEntry);
  if (!when) {
    SetNowTime();
    return;
  }
  bytes::Put16(curPart->currentEntry + kDirTime, when->time);
  bytes::Put16(curPart->currentEntry + kDirDate, when->date);
}

int FAT_DEVICE::AddDirEntry(unsigned attr, char* name11, unsigned long size, unsigned cluster) {
  if (FindFreeSlot() != 0) return -1;
  FillEntry(attr, name11, size, cluster);
  return UpdateEntry();
}

int FAT_DEVICE::CopyDirEntry(char* name11, unsigned cluster) {
  uint8_t copy[kDirEntryBytes];
  memcpy(copy, curPart->currentEntry, sizeof copy);
  if (FindFreeSlot() != 0) return -1;
  memcpy(curPart->currentEntry, copy, sizeof copy);
  memcpy(curPart->currentEntry + kDirName, name11, 11);
  bytes::Put16(curPart->currentEntry + kDirFirstCluster, uint16_t(cluster));
  return UpdateEntry();
}

// Adds an entry for a chain that is already in the FAT image, in the order
// that keeps the device consistent whatever fails: the slot (and any growth
// of the directory), then the FAT, then the entry itself. 0, or -1 with the
// chain given back: a FAT that could not be saved is put back as it was
// before the operation (KeepUndo, which the caller ran), from memory, since
// the device may be gone; an entry that could not be written has its chain
// freed and the FAT saved again. What a failed save leaves on the device is
// made right by the next commit, which writes the whole copies.
int FAT_DEVICE::CommitNewEntry(unsigned attr, const char* name11, unsigned long size,
                               unsigned cluster, const EntryTime* when) {
  if (FindFreeSlot() != 0) {
    RollBackFat();
    return -1;
  }
  FillEntry(attr, name11, size, cluster, when);
  uint32_t sector = pendStart;
  uint8_t entrySector[512];
  memcpy(entrySector, curPart->dirSector, 512);
  if (CommitFat() != 0) {
    int err = lastError;
    RollBackFat();
    CommitFat();
    lastError = err;
    return -1;
  }
  pendCount = 1;
  pendBuffer = reinterpret_cast<char*>(entrySector);
  pendStart = sector;
  if (UpdateEntry() != 0) {
    int err = lastError;
    FreeFatChain(cluster);
    CommitFat();
    lastError = err;
    return -1;
  }
  return 0;
}

int FAT_DEVICE::InitDirData(unsigned cluster) {
  ClearDirBuf();
  uint8_t* buf = curPart->dirSector;
  for (int i = 0; i < 2; ++i) {
    curPart->currentEntry = buf + i * kDirEntryBytes;
    FillEntry(kAttrDirectory, i == 0 ? kDotName : kDotDotName, 0,
              i == 0 ? cluster : curPart->currentDir);
  }
  int r = WriteDirCluster(cluster);
  if (curPart->sectorsPerCluster > 1) ClearDirBuf();
  return r;
}

int FAT_DEVICE::WriteDirCluster(unsigned cluster) {
  // A cluster is at most 255 sectors (an 8-bit field): it fits stage_.
  size_t bytes = size_t(curPart->sectorsPerCluster) * 512;
  memcpy(stage_, curPart->dirSector, 512);
  memset(stage_ + 512, 0, bytes - 512);
  pendCount = curPart->sectorsPerCluster;
  pendBuffer = stage_;
  pendStart = ClusterSector(cluster);
  int r = WriteData();
  pendBuffer = nullptr;
  return r;
}

void FAT_DEVICE::ClearDirBuf() { memset(curPart->dirSector, 0, 512); }

void FAT_DEVICE::NowWords(uint16_t* time, uint16_t* date) {
  host::LocalTime t = host::Now();
  int year = t.year < 1980 ? 1980 : (t.year > 2107 ? 2107 : t.year);
  *time = uint16_t(t.hour << 11 | t.minute << 5);
  *date = uint16_t((year - 1980) << 9 | t.month << 5 | t.day);
}

void FAT_DEVICE::SetNowTime() {
  uint16_t time, date;
  NowWords(&time, &date);
  bytes::Put16(curPart->currentEntry + kDirTime, time);
  bytes::Put16(curPart->currentEntry + kDirDate, date);
}

int FAT_DEVICE::MakeDirectory(char* name11) {
  if (!Ready() || !WritableHere() || !SettleGroup()) return -1;
  if (!CreatableName(name11)) {
    lastError = -7;
    return -1;
  }
  // An entry of that name, file or directory, would give the directory two
  // entries of one name.
  if (SearchFile(kMaskAny, name11) == 0) {
    lastError = -8;
    return -1;
  }
  if (lastError != -3) return -1;  // the directory could not be read
  KeepUndo();
  unsigned cluster;
  if (SearchBlankCluster(&cluster) != 0) return -1;
  MarkEndCluster(cluster);
  // The new cluster is written first: it is free on the device until the
  // FAT is saved, so a failure here leaves nothing behind.
  if (InitDirData(cluster) != 0) {
    RollBackFat();
    return -1;
  }
  const std::vector<uint8_t> made(stage_, stage_ + size_t(curPart->sectorsPerCluster) * 512);
  if (CommitNewEntry(kAttrDirectory, name11, 0, cluster) != 0) {
    RollBackFat();
    return -1;
  }
  SeedMirror(cluster, made.data());
  return 0;
}

void FAT_DEVICE::SeedMirror(unsigned cluster, const uint8_t* bytes) {
  // A mirror held of an earlier directory there went when the cluster was
  // written (MirrorsOverwritten).
  const uint32_t here = curPart->currentDir;
  curPart->currentDir = cluster;
  fatdir::Mirror* m;
  NewMirror(bytes, &m);  // without it, the directory is read when first used
  curPart->currentDir = here;
}

// Deletes the entry found with mask and frees its chain: the entry first,
// so that a failure can at worst leave clusters unreferenced, never an entry
// naming free clusters.
int FAT_DEVICE::DeleteEntry(unsigned mask, char* name11) {
  if (!Ready() || !WritableHere() || !SettleGroup()) return -1;
  if (IsDotName(name11)) {  // "." and ".." belong to their directories
    lastError = -7;
    return -1;
  }
  if (SearchFile(mask, name11) != 0) return -1;
  uint8_t* e = curPart->currentEntry;
  unsigned first = bytes::Get16(e + kDirFirstCluster);
  e[0] = kEntryDeleted;
  if (UpdateEntry() != 0) return -1;
  FreeFatChain(first);  // a damaged chain is freed as far as it goes
  // A FAT that could not be saved stays as it is in memory, which is what
  // the directory now says; the next commit writes it whole.
  return CommitFat() == 0 ? 0 : -1;
}

int FAT_DEVICE::RemoveDirectoryA(char* name11) { return DeleteEntry(kMaskDirs, name11); }

int FAT_DEVICE::RemoveFile(char* name11) { return DeleteEntry(kMaskFiles, name11); }

int FAT_DEVICE::CheckEmptyDirectory(char* name11) {
  if (!Ready()) return -1;
  uint32_t saved = curPart->currentDir;
  if (SearchFile(kMaskDirs, name11) != 0) return -1;
  curPart->currentDir = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
  int result = -1;
  for (unsigned i = 0;; ++i) {
    if (ScanDirEntry(i, i == 0) != 0) break;
    const uint8_t* e = curPart->currentEntry;
    if (e[0] == kEntryEnd) {
      result = 0;
      break;
    }
    if (e[0] == '.' || e[0] == kEntryDeleted) continue;
    lastError = -6;
    break;
  }
  curPart->currentDir = saved;
  return result;
}

int FAT_DEVICE::Rename(char* oldName, char* newName) {
  if (!Ready() || !WritableHere() || !SettleGroup()) return -1;
  char from[12] = {}, to[12] = {};
  if (NormalizeFileName(oldName, from) != 0 || NormalizeFileName(newName, to) != 0) return -1;
  if (IsDotName(from) || !CreatableName(to)) {
    lastError = -7;
    return -1;
  }
  if (SearchFile(kMaskAny, to) == 0) {
    lastError = -8;
    return -1;
  }
  if (lastError != -3) return -1;  // the search failed on the device, not on the name
  if (SearchFile(kMaskAny, from) != 0) return -1;
  memcpy(curPart->currentEntry + kDirName, to, 11);
  return UpdateEntry();
}

int FAT_DEVICE::ChangeAttribute(unsigned attr, char* name11) {
  if (!Ready() || !WritableHere() || !SettleGroup()) return -1;
  if (SearchFile(kMaskFiles, name11) != 0) return -1;
  curPart->currentEntry[kDirAttr] = uint8_t(attr);
  return UpdateEntry();
}

int FAT_DEVICE::SetFileTime(char* name, unsigned short time, unsigned short date) {
  if (!Ready() || !WritableHere() || !SettleGroup()) return -1;
  if (NormalizeFileName(name, fileName) != 0) return -1;
  if (SearchFile(kMaskFiles, fileName) != 0) return -1;
  bytes::Put16(curPart->currentEntry + kDirTime, time);
  bytes::Put16(curPart->currentEntry + kDirDate, date);
  return UpdateEntry();
}

int FAT_DEVICE::ChangeDirectory(char* name11) {
  if (!Ready()) return -3;
  if (SearchFile(kMaskDirs, name11) != 0) {
    if (lastError == -3)
      host::SetReason("no folder %s in %c:%s", text::EntryText(name11).c_str(),
                      char('C' + curPartIndex), curPart->currentPath);
    return -3;
  }
  char entryName[12] = {};
  memcpy(entryName, curPart->currentEntry + kDirName, 11);
  unsigned cluster = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
  if (cluster != 0 && !IsValidCluster(cluster)) {
    lastError = -3;
    return -3;
  }
  bool up = memcmp(entryName, kDotDotName, 11) == 0;
  bool self = memcmp(entryName, kDotName, 11) == 0;
  if (!up && !self) {
    size_t n = 0;
    while (n < 8 && entryName[n] != ' ') ++n;
    // A path that would not fit refuses the change instead of overflowing.
    if (strlen(curPart->currentPath) + 1 + n > size_t(kPathChars)) {
      lastError = -3;
      return -1;
    }
  }
  curPart->currentDir = cluster;
  if (!self) ChangeCurrentDir(entryName);
  return 0;
}

bool FAT_DEVICE::StillADirectory(unsigned cluster) {
  if (!IsValidCluster(cluster) || NextFatEntry(cluster) == 0) return false;
  uint8_t first[512];
  if (pDevice->Read(ClusterSector(cluster), 1, reinterpret_cast<char*>(first)) < 0) return false;
  return memcmp(first + kDirName, kDotName, 11) == 0 && (first[kDirAttr] & kAttrDirectory) &&
         bytes::Get16(first + kDirFirstCluster) == cluster;
}

int FAT_DEVICE::ChangeRootDirectory() {
  curPart->currentDir = 0;
  strcpy(curPart->currentPath, "\\");
  return 0;
}

void FAT_DEVICE::ChangeCurrentDir(char* name11) {
  char* path = curPart->currentPath;
  if (memcmp(name11, kDotDotName, 11) == 0) {
    char* cut = strrchr(path, '\\');
    if (cut) *cut = 0;
    if (!path[0]) strcpy(path, "\\");
    return;
  }
  size_t n = 0;
  while (n < 8 && name11[n] != ' ') ++n;
  size_t len = strlen(path);
  if (len + 1 + n > size_t(kPathChars)) return;
  path[len] = '\\';
  memcpy(path + len + 1, name11, n);
  path[len + 1 + n] = 0;
  // A stored 0x05 is a name that really starts with 0xE5.
  if (uint8_t(path[len + 1]) == kEntryE5Stored) path[len + 1] = char(kEntryDeleted);
}

char* FAT_DEVICE::GetCurrentDirectoryA(char* dst, int size) {
  if (!dst || size <= 0) return dst;
  const char* path = curPart ? curPart->currentPath : "\\";
  size_t n = strnlen(path, kPathChars);
  if (n >= size_t(size)) n = size_t(size) - 1;
  memcpy(dst, path, n);
  dst[n] = 0;
  return dst;
}
