// Moving an entry: a file or a directory goes to another directory of its
// partition, or takes a new name, by writing its entry there and removing
// the old one. No data moves; a moved directory's ".." names its new parent.
//
// Paths are resolved folder by folder from the root ("\" or "/" first) or
// from the current directory; each step is one search of one directory, so
// a walk is as long as the path, and the check that a directory does not
// move below itself climbs ".." entries with every cluster passed marked,
// so a damaged tree ends the climb instead of looping.

#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"

using namespace fatfmt;

namespace {

const char kDotDotName[12] = "..         ";

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

// Puts the current directory back when a walk through other directories ends.
class FAT_DEVICE::DirKeeper {
 public:
  explicit DirKeeper(_PART_INFO* p) : part_(p), saved_(p->currentDir) {}
  ~DirKeeper() { part_->currentDir = saved_; }
  uint32_t saved() const { return saved_; }

 private:
  _PART_INFO* part_;
  uint32_t saved_;
};

int FAT_DEVICE::ResolveParent(const char* path, uint32_t start, uint32_t* dir, char* leaf11) {
  if (!path || !*path) {
    lastError = -7;
    return -1;
  }
  uint32_t at = IsSeparator(*path) ? 0 : start;
  while (IsSeparator(*path)) ++path;
  memset(leaf11, 0, 12);
  if (!*path) {  // the root itself: no entry names it
    *dir = 0;
    return 1;
  }
  for (;;) {
    size_t n = 0;
    while (path[n] && !IsSeparator(path[n])) ++n;
    const char* rest = path + n;
    while (IsSeparator(*rest)) ++rest;
    // No 8.3 name, "." and ".." included, has more than 12 characters.
    char component[13] = {};
    if (n > 12) {
      lastError = -7;
      return -1;
    }
    memcpy(component, path, n);
    char name11[12] = {};
    if (NormalizeFileName(component, name11) != 0) return -1;
    if (!*rest) {
      *dir = at;
      memcpy(leaf11, name11, 11);
      return 0;
    }
    curPart->currentDir = at;
    if (SearchFile(kMaskDirs, name11) != 0) return -1;
    unsigned next = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
    if (next != 0 && !IsValidCluster(next)) {
      lastError = -3;
      return -1;
    }
    at = next;
    path = rest;
  }
}

int FAT_DEVICE::DirectoryBelow(uint32_t dir, uint32_t top) {
  memset(seen_, 0, sizeof seen_);
  for (uint32_t c = dir; c != 0;) {
    if (c == top) return 1;
    if (!IsValidCluster(c) || (seen_[c >> 3] >> (c & 7)) & 1) {
      lastError = -3;
      return -1;
    }
    seen_[c >> 3] |= uint8_t(1u << (c & 7));
    _CACHE* b = get_block(ClusterSector(c), 0);
    if (!b) return -1;
    bool dotdot = memcmp(b->data + kDirEntryBytes + kDirName, kDotDotName, 11) == 0;
    unsigned up = bytes::Get16(b->data + kDirEntryBytes + kDirFirstCluster);
    put_block(b);
    if (!dotdot) {
      lastError = -3;
      return -1;
    }
    c = up;
  }
  return top == 0 ? 1 : 0;
}

int FAT_DEVICE::WriteEntryAt(uint32_t sector, uint32_t offset, const uint8_t* entry) {
  _CACHE* b = get_block(sector, 0);
  if (!b) return -1;
  memcpy(b->data + offset, entry, kDirEntryBytes);
  b->dirty = 1;
  return put_block(b) < 0 ? -1 : 0;
}

int FAT_DEVICE::PathAttributes(const char* path) {
  if (!Ready()) return -1;
  DirKeeper keep(curPart);
  uint32_t dir;
  char leaf[12];
  int r = ResolveParent(path, keep.saved(), &dir, leaf);
  if (r < 0) return -1;
  if (r == 1) return int(kAttrDirectory);
  curPart->currentDir = dir;
  if (SearchFile(kMaskAny, leaf) != 0) return -1;
  return curPart->currentEntry[kDirAttr];
}

int FAT_DEVICE::MoveEntry(const char* from, const char* to, unsigned flags) {
  if (!Ready() || !WritableHere() || !SettleGroup()) return -1;
  DirKeeper keep(curPart);
  auto fail = [&](int code) {
    lastError = code;
    return -1;
  };

  // The source: its entry as it is, and where it lies.
  uint32_t srcDir, dstDir;
  char srcLeaf[12], dstLeaf[12];
  int r = ResolveParent(from, keep.saved(), &srcDir, srcLeaf);
  if (r < 0) return -1;
  if (r == 1 || memcmp(srcLeaf, kDotDotName, 11) == 0 || srcLeaf[0] == '.') return fail(-7);
  curPart->currentDir = srcDir;
  if (SearchFile(kMaskAny, srcLeaf) != 0) return -1;
  uint8_t entry[kDirEntryBytes];
  memcpy(entry, curPart->currentEntry, sizeof entry);
  const uint32_t srcSector = pendStart;
  const uint32_t srcOffset = uint32_t(curPart->currentEntry - curPart->dirSector);
  const bool isDir = (entry[kDirAttr] & kAttrDirectory) != 0;
  const unsigned srcFirst = bytes::Get16(entry + kDirFirstCluster);

  // The target: a name the directory may hold, in a folder that exists.
  r = ResolveParent(to, keep.saved(), &dstDir, dstLeaf);
  if (r < 0) return -1;
  if (r == 1 || !CreatableName(dstLeaf)) return fail(-7);

  // A directory cannot go below itself, nor away from under the current
  // directory (whose path text would then be wrong).
  if (isDir) {
    if (!IsValidCluster(srcFirst)) return fail(-3);
    if (dstDir != srcDir) {
      int below = DirectoryBelow(dstDir, srcFirst);
      if (below < 0) return -1;
      if (below) return fail(-11);
    }
    int under = DirectoryBelow(keep.saved(), srcFirst);
    if (under < 0) return -1;
    if (under) return fail(-11);
  }

  // What the target name holds now.
  curPart->currentDir = dstDir;
  bool replacing = false;
  uint32_t oldSector = 0, oldOffset = 0;
  unsigned oldFirst = 0;
  if (SearchFile(kMaskAny, dstLeaf) == 0) {
    oldSector = pendStart;
    oldOffset = uint32_t(curPart->currentEntry - curPart->dirSector);
    if (oldSector == srcSector && oldOffset == srcOffset) return 0;  // already so named
    bool oldIsDir = (curPart->currentEntry[kDirAttr] & kAttrDirectory) != 0;
    if (!(flags & kMoveReplace) || oldIsDir || isDir) return fail(-8);
    replacing = true;
    oldFirst = bytes::Get16(curPart->currentEntry + kDirFirstCluster);
  } else if (lastError != -3) {
    return -1;  // the directory could not be read
  }
  memcpy(entry + kDirName, dstLeaf, 11);
  uint8_t removed[kDirEntryBytes];
  memcpy(removed, entry, sizeof removed);
  removed[0] = kEntryDeleted;

  // A new name in the same directory: one entry rewritten in place.
  if (!replacing && dstDir == srcDir) return WriteEntryAt(srcSector, srcOffset, entry);

  // A directory changing parents: its ".." first, as the directory's own
  // data, so the new entry never names a directory that points elsewhere.
  auto setParent = [&](uint32_t parent) {
    _CACHE* b = get_block(ClusterSector(srcFirst), 0);
    if (!b) return -1;
    if (memcmp(b->data + kDirEntryBytes + kDirName, kDotDotName, 11) == 0) {
      bytes::Put16(b->data + kDirEntryBytes + kDirFirstCluster, uint16_t(parent));
      b->dirty = 1;
    }
    return put_block(b) < 0 ? -1 : 0;
  };
  const bool reparent = isDir && dstDir != srcDir;
  if (reparent && setParent(dstDir) != 0) return -1;

  if (replacing) {
    // The old file's entry takes the moved one; then the moved one's old
    // entry goes, then the old file's chain: a failure between leaves one
    // chain named twice or unnamed clusters, never a name without data.
    if (WriteEntryAt(oldSector, oldOffset, entry) != 0) return -1;
    if (WriteEntryAt(srcSector, srcOffset, removed) != 0) return -1;
    FreeFatChain(oldFirst);  // a damaged chain is freed as far as it goes
    return CommitFat() == 0 ? 0 : -1;
  }

  // A slot in the target directory (growing it saves the FAT first), the
  // new entry, then the old entry removed.
  KeepUndo();
  if (FindFreeSlot() != 0) {
    int err = lastError;
    RollBackFat();
    if (reparent) setParent(srcDir);
    return fail(err == -3 ? -4 : err);
  }
  const uint32_t slotSector = pendStart;
  const uint32_t slotOffset = uint32_t(curPart->currentEntry - curPart->dirSector);
  if (CommitFat() != 0) {
    int err = lastError;
    RollBackFat();
    CommitFat();
    if (reparent) setParent(srcDir);
    return fail(err);
  }
  if (WriteEntryAt(slotSector, slotOffset, entry) != 0) {
    if (reparent) setParent(srcDir);
    return -1;
  }
  return WriteEntryAt(srcSector, srcOffset, removed);
}
