// zelmount: a device's FAT partitions as a Linux file system (FUSE).
//
// The mount's root holds one folder per FAT partition of the disk (C, E, F;
// the reserved partition D is not shown). Every callback is thin: it finds
// the entry through the FAT engine (the one Tervan uses), calls the engine,
// and turns the engine's last error into an errno through ErrnoOf. The
// engine is not thread-safe: the file system runs single-threaded, and the
// one other thread (the committer) takes the same lock.
//
// A write puts its data on the device before it returns; the file's FAT
// change and entry wait in the open file's handle (the engine's deferred
// handle) and are committed, FAT first, when the file is flushed (every
// close), fsynced or released, before any other change to the file system,
// and by the committer half a second after the first write that left them
// waiting. A file written in 1 MiB requests thus costs one FAT and one
// entry write per commit, not per request; a file created in a subfolder
// gets its entry with its first commit too (until then it lives in its
// handle: Find, readdir and the other callbacks look there), so a small
// file copied in costs three requests: data, FAT, entry. Reads are read
// ahead, so that small files read one after another come in one request,
// and a small file opened for reading comes with its open: its bytes go
// into the kernel's page cache before the open is answered.
//
// zelmount speaks the kernel's low-level protocol (node ids, not paths):
// a table of the ids the kernel holds gives each request its path, and the
// functions "by path" below serve it. That way it can hand the kernel a
// file's bytes with its open (which needs the kernel's id of the file).
//
// This program is a front end of the host's own file system interface, so
// it includes the FUSE and system headers itself; it is built on Linux only.

#define FUSE_USE_VERSION 35

#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "pc_files.h"  // DOS time words, as Tervan's commands use them
#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"
#include "tervlink/text.h"
#include "tervlink/zel_device_io.h"

namespace {

constexpr int kDosNameBytes = 12;           // "NAME8888.EXT" in GBK bytes
constexpr uint32_t kIoBytes = 1u << 20;     // the largest FUSE read and write [byte]
const char kPartLetters[kFatParts + 1] = "CDEF";
// How long a written file's FAT and entry may wait in memory: the committer
// writes them this long after the first write that left them waiting, well
// inside the second the mount promises.
constexpr auto kCommitDelay = std::chrono::milliseconds(500);

// Exit statuses (zelmount --help, docs/mount.md).
constexpr int kExitUnmounted = 0;   // unmounted, everything on the device
constexpr int kExitNotMounted = 1;  // the device or the mount point refused
constexpr int kExitUsage = 2;       // bad arguments
constexpr int kExitLost = 3;        // unmounted, but what waited could not be committed

// Engine last error -> errno. One table for every callback.
int ErrnoOf(int lastError) {
  switch (lastError) {
    case -3: return ENOENT;     // name not found, or a chain/entry that ends early
    case -4: return ENOSPC;     // not enough free space (or past 4 GB: EFBIG is checked first)
    case -6: return ENOTEMPTY;
    case -7: return EINVAL;     // no 8.3 name, or not a file
    case -8: return EEXIST;
    case -9: return EINTR;
    case -11: return EINVAL;    // a folder moved below itself
    default: return EIO;        // -1 device, -2 no file system, -10
  }
}

// Prints nothing: the engine's progress and messages are Tervan's console's.
class QuietOutput : public host::Output {
 public:
  void Write(std::string_view) override {}
};

using Clock = std::chrono::steady_clock;

// One open file, shared by every open of it: its handle carries the size
// and chain the engine last wrote, and what waits to be committed.
struct OpenFile {
  FatHandle h;
  int refs = 0;
  Clock::time_point waitingSince;  // the first write left uncommitted
  // A new file whose first commit failed: it never reached the device and
  // is gone (not found, not listed, not written again), as a file is as of
  // its last commit.
  bool lost = false;
};

// A new file waits for its entry too (an unborn handle, whose first commit
// writes it).
bool Waiting(const OpenFile& o) {
  return !o.lost && (o.h.pendingFat || o.h.pendingEntry || o.h.unborn);
}

struct Mount {
  ZEL_DEVICE_IO* device = nullptr;
  FAT_DEVICE* fat = nullptr;
  int disk = 0;
  bool readOnly = false;
  uid_t uid = 0;
  gid_t gid = 0;
  // Open files (a few at a time: found by a walk, OpenOf).
  std::vector<std::unique_ptr<OpenFile>> open;
  // The engine's lock: every callback and the committer hold it.
  std::mutex lock;
  std::condition_variable wake;  // the committer: a file waits, or the end
  // The committer sleeps with no file waiting: only then does a file that
  // starts waiting wake it (a wake per file written costs a thread switch).
  bool committerIdle = false;
  bool ending = false;
  std::thread committer;
};

Mount g;

// A path's place: the partition and, below its root, the folder holding the
// last name (made current in the engine) and that name.
struct Place {
  bool top = false;       // the mount's root
  int part = -1;          // partition slot
  bool partRoot = false;  // the partition's root folder itself
  uint32_t dir = 0;       // first cluster of the folder holding the name, 0 = root
  char name11[11] = {};   // the last name in entry form
  std::string path;       // the partition's path of it in GBK: "\\DIR\\NAME.EXT"
};

// A UTF-8 name as the device spells it (GBK), in entry form. 0, or an
// errno: ENAMETOOLONG for a name longer than 8.3 bytes, EINVAL for any
// other name the device cannot hold (never changed to fit).
int EntryName(const std::string& utf8, char* name11) {
  std::string gbk = host::FsToGbk(utf8);
  if (host::GbkToFs(gbk) != utf8) return EINVAL;  // not spelt in GBK
  // Too long is said as such only of a name that is an 8.3 name otherwise
  // (one dot at most, not leading).
  size_t dot = gbk.find('.');
  bool oneDot = dot == std::string::npos || (dot > 0 && gbk.find('.', dot + 1) == std::string::npos);
  size_t base = dot == std::string::npos ? gbk.size() : dot;
  size_t ext = dot == std::string::npos ? 0 : gbk.size() - dot - 1;
  if (oneDot && (base > 8 || ext > 3)) return ENAMETOOLONG;
  if (gbk.size() > size_t(kDosNameBytes)) return EINVAL;
  char text[kDosNameBytes + 1];
  memcpy(text, gbk.c_str(), gbk.size() + 1);
  return g.fat->NormalizeFileName(text, name11) == 0 ? 0 : EINVAL;
}

int PartOf(const std::string& word) {
  if (word.size() != 1) return -1;
  char c = char(toupper(static_cast<unsigned char>(word[0])));
  for (int s = 0; s < kFatParts; ++s)
    if (s != kReservedSlot && c == kPartLetters[s] && g.fat->GetPartitionMode(g.disk, s) != 0)
      return s;
  return -1;
}

// Walks path to its last name: 0 with place filled and the folder holding
// the name current in the engine, or an errno (ENOENT for a folder on the
// way that does not exist, the name's own errno when it cannot be held).
int Locate(const char* path, Place* place) {
  std::vector<std::string> words;
  for (const char* p = path; *p;) {
    const char* slash = strchr(p, '/');
    size_t n = slash ? size_t(slash - p) : strlen(p);
    if (n) words.emplace_back(p, n);
    p += n + (slash ? 1 : 0);
  }
  if (words.empty()) {
    place->top = true;
    return 0;
  }
  place->part = PartOf(words[0]);
  if (place->part < 0) return ENOENT;
  g.fat->file_system_switch_to(g.disk, place->part);
  g.fat->ChangeRootDirectory();
  if (words.size() == 1) {
    place->partRoot = true;
    return 0;
  }
  for (size_t i = 1; i + 1 < words.size(); ++i) {
    char name11[11];
    if (EntryName(words[i], name11) != 0) return ENOENT;
    FatHandle dir;
    if (g.fat->OpenEntry(name11, kMaskDirs, &dir) != 0) return ErrnoOf(g.fat->lastError);
    if (dir.first == 0) return EIO;  // a folder entry without its cluster: damaged
    g.fat->SetCurrentDir(dir.first);
    place->dir = dir.first;
    place->path += "\\" + text::EntryText(name11);
  }
  if (int e = EntryName(words.back(), place->name11)) return e;
  place->path += "\\" + text::EntryText(place->name11);
  return 0;
}

// The open new file (unborn: its entry waits for its first commit) of
// that name in that folder, or null.
OpenFile* UnbornAt(int part, uint32_t dir, const char* name11) {
  for (const auto& o : g.open)
    if (o->h.unborn && !o->lost && o->h.part == part && o->h.dir == dir && memcmp(o->h.name11, name11, 11) == 0)
      return o.get();
  return nullptr;
}

// The entry at path: 0 with h filled, or an errno. Names the device could
// not hold are simply not there.
int Find(const char* path, Place* place, FatHandle* h, unsigned mask = kMaskAny) {
  int e = Locate(path, place);
  if (e == EINVAL || e == ENAMETOOLONG) return ENOENT;
  if (e) return e;
  if (place->top || place->partRoot) return 0;
  if (g.fat->OpenEntry(place->name11, mask, h) == 0) return 0;
  if (g.fat->lastError == -3 && mask != kMaskDirs)
    if (const OpenFile* o = UnbornAt(place->part, place->dir, place->name11)) {
      *h = o->h;
      return 0;
    }
  return ErrnoOf(g.fat->lastError);
}

void FillStat(const FatHandle* h, struct stat* st) {
  memset(st, 0, sizeof *st);
  st->st_uid = g.uid;
  st->st_gid = g.gid;
  st->st_blksize = kIoBytes;
  if (!h) {
    st->st_mode = S_IFDIR | (g.readOnly ? 0555 : 0755);
    st->st_nlink = 2;
    return;
  }
  bool dir = h->attr & kAttrDirectory;
  mode_t bits = dir ? 0755 : 0644;
  if ((h->attr & kAttrReadOnly) || g.readOnly) bits &= ~mode_t(0222);
  st->st_mode = (dir ? S_IFDIR : S_IFREG) | bits;
  st->st_nlink = dir ? 2 : 1;
  st->st_size = dir ? 0 : h->size;
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_mtime = st->st_atime = st->st_ctime = time_t(FromDos(h->date, h->time));
}

std::tuple<int, uint32_t, uint32_t> KeyOf(const FatHandle& h) {
  return {h.part, h.entrySector, h.entryOffset};
}

// The open file of the entry h (as OpenEntry or Find filled it), or null.
OpenFile* OpenOf(const FatHandle& h) {
  if (h.unborn) return UnbornAt(h.part, h.dir, h.name11);
  for (auto& o : g.open)
    if (!o->h.unborn && !o->lost && KeyOf(o->h) == KeyOf(h)) return o.get();
  return nullptr;
}

// Drops o from the open files.
void Forget(OpenFile* o) {
  for (size_t i = 0; i < g.open.size(); ++i)
    if (g.open[i].get() == o) {
      g.open[i] = std::move(g.open.back());
      g.open.pop_back();
      return;
    }
}

// Commits what waits in o: 0 or an errno (the waiting bytes are then lost,
// the file as last committed; said on standard error).
int Commit(OpenFile* o) {
  if (!Waiting(*o)) return 0;
  if (g.fat->CommitHandle(&o->h) == 0) return 0;
  int e = ErrnoOf(g.fat->lastError);
  if (o->h.unborn) o->lost = true;
  fprintf(stderr, "zelmount: %c:%s could not be committed (%s); its last writes are lost\n",
          kPartLetters[o->h.part], text::EntryText(o->h.name11).c_str(), strerror(e));
  return e;
}

// Commits every open file (before another change to the file system, so
// that no chain reaches the device long before its entry). 0 or the first
// errno.
int CommitAll() {
  int first = 0;
  for (auto& o : g.open)
    if (int e = Commit(o.get()); e && !first) first = e;
  return first;
}

// The committer thread: commits each waiting file kCommitDelay after its
// first uncommitted write, until the mount ends.
void Committer() {
  std::unique_lock<std::mutex> hold(g.lock);
  while (!g.ending) {
    Clock::time_point due = Clock::time_point::max();
    for (auto& o : g.open)
      if (Waiting(*o)) due = std::min(due, o->waitingSince + kCommitDelay);
    if (due == Clock::time_point::max()) {
      g.committerIdle = true;
      g.wake.wait(hold);
      g.committerIdle = false;
      continue;
    }
    // A file that starts waiting meanwhile is due later than this one: the
    // committer finds it when it wakes.
    if (Clock::now() < due) {
      g.wake.wait_until(hold, due);
      continue;
    }
    Clock::time_point now = Clock::now();
    for (auto& o : g.open)
      if (Waiting(*o) && o->waitingSince + kCommitDelay <= now) Commit(o.get());
  }
}

// The lock every callback holds for its whole run.
using Hold = std::lock_guard<std::mutex>;

// ---- the file system, by path --------------------------------------------------
//
// Each function takes the path of an entry below the mount point, as the
// kernel's node table below spells it, and returns 0 or -errno.

int OnGetattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  if (fi && fi->fh) {
    FillStat(&reinterpret_cast<OpenFile*>(fi->fh)->h, st);
    return 0;
  }
  Place place;
  FatHandle h;
  if (int e = Find(path, &place, &h)) return -e;
  if (place.top || place.partRoot) {
    FillStat(nullptr, st);
    return 0;
  }
  if (OpenFile* o = OpenOf(h)) h = o->h;
  FillStat(&h, st);
  return 0;
}

// One entry of a listing: with its attributes (plus), but for . and ..
struct Listed {
  std::string name;
  bool plus;
  struct stat st;
};

// Lists a folder with each entry's attributes into list (. and .. first):
// 0 or -errno.
int ListFolder(const char* path, std::vector<Listed>* list) {
  Hold hold(g.lock);
  Place place;
  FatHandle h;
  if (int e = Find(path, &place, &h, kMaskDirs)) return -e;
  list->push_back({".", false, {}});
  list->push_back({"..", false, {}});
  if (place.top) {
    for (int s = 0; s < kFatParts; ++s) {
      if (s == kReservedSlot || g.fat->GetPartitionMode(g.disk, s) == 0) continue;
      list->push_back({std::string(1, kPartLetters[s]), true, {}});
      FillStat(nullptr, &list->back().st);
    }
    return 0;
  }
  uint32_t dir = 0;
  if (!place.partRoot) {
    if (h.first == 0) return -EIO;
    dir = h.first;
    g.fat->SetCurrentDir(dir);
  }
  // An open file is shown as its handle holds it (its entry on the device
  // may wait for a commit).
  std::map<std::string, const FatHandle*> opened;
  for (auto& o : g.open)
    if (o->h.part == place.part && o->h.dir == dir && !o->lost)
      opened[text::EntryText(o->h.name11)] = &o->h;
  _FILE_FIND find;
  char pattern[] = "*";
  for (int more = g.fat->FindFirstFileA(pattern, &find); more; more = g.fat->FindNextFileA(&find)) {
    if (find.attributes & kAttrVolume) continue;
    if (strcmp(find.name, ".") == 0 || strcmp(find.name, "..") == 0) continue;
    FatHandle shown;
    shown.attr = uint8_t(find.attributes);
    shown.size = find.size;
    shown.time = find.time;
    shown.date = find.date;
    auto open = opened.find(find.name);
    list->push_back({host::GbkToFs(find.name), true, {}});
    FillStat(open != opened.end() ? open->second : &shown, &list->back().st);
  }
  // New files whose entries wait for their first commit.
  for (auto& [name, o] : opened) {
    if (!o->unborn) continue;
    list->push_back({host::GbkToFs(name), true, {}});
    FillStat(o, &list->back().st);
  }
  return 0;
}

// Opens the file at path into fi; a file just created is opened for
// writing whatever its attribute, as open(2) with O_CREAT does. 0 or -errno.
int OpenPath(const char* path, struct fuse_file_info* fi, bool created) {
  Place place;
  FatHandle h;
  if (int e = Find(path, &place, &h, kMaskFiles)) return -e;
  if (place.top || place.partRoot) return -EISDIR;
  bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
  if (writing && g.readOnly) return -EROFS;
  if (writing && !created && (h.attr & kAttrReadOnly)) return -EACCES;
  bool truncating = (fi->flags & O_TRUNC) && writing;
  if (truncating) {
    if (int e = CommitAll()) return -e;
  }
  OpenFile* slot = OpenOf(h);
  if (!slot) {
    g.open.push_back(std::make_unique<OpenFile>());
    slot = g.open.back().get();
    slot->h = h;
    slot->h.deferred = true;
  }
  ++slot->refs;
  fi->fh = reinterpret_cast<uint64_t>(slot);
  fi->keep_cache = 1;  // nothing but this mount changes the file
  // A reader's close has nothing to commit (the writer's own close does):
  // the kernel then spares it the flush request.
  fi->noflush = !writing;
  if (truncating && slot->h.size != 0) {
    if (g.fat->TruncateAt(&slot->h, 0) != 0) {
      int e = ErrnoOf(g.fat->lastError);
      if (--slot->refs == 0) Forget(slot);
      return -e;
    }
  }
  return 0;
}

int OnOpen(const char* path, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  return OpenPath(path, fi, false);
}

// The last release of a file commits it (a close already did, through
// flush, unless the program was killed).
int Release(struct fuse_file_info* fi) {
  auto* o = reinterpret_cast<OpenFile*>(fi->fh);
  if (!o || --o->refs > 0) return 0;
  int e = Commit(o);
  Forget(o);
  return -e;
}

int OnRelease(struct fuse_file_info* fi) {
  Hold hold(g.lock);
  return Release(fi);
}

int OnCreate(const char* path, mode_t mode, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  Place place;
  if (int e = Locate(path, &place)) return -e;
  if (place.top || place.partRoot) return -EEXIST;
  FatHandle h;
  if (g.fat->OpenEntry(place.name11, kMaskAny, &h) == 0) {
    if (h.attr & kAttrDirectory) return -EISDIR;
    if (fi->flags & O_EXCL) return -EEXIST;
    return OpenPath(path, fi, false);
  }
  if (g.fat->lastError != -3) return -ErrnoOf(g.fat->lastError);
  if (place.dir != 0 && (mode & 0222)) {
    // In a subfolder the new entry waits for the file's first commit (its
    // close, usually), which writes it with the file's size and chain: one
    // entry write per file, not two. A partition's root has a fixed number
    // of entries: there the entry is made at once, so that a full root
    // refuses the create, not the close.
    auto o = std::make_unique<OpenFile>();
    o->h.disk = g.disk;
    o->h.part = place.part;
    o->h.dir = place.dir;
    memcpy(o->h.name11, place.name11, 11);
    o->h.attr = kAttrArchive;
    DosStamp now = ToDos(int64_t(time(nullptr)));
    o->h.time = o->h.storedTime = now.time;
    o->h.date = o->h.storedDate = now.date;
    o->h.deferred = true;
    o->h.unborn = true;
    o->refs = 1;
    o->waitingSince = Clock::now();
    fi->fh = reinterpret_cast<uint64_t>(o.get());
    fi->keep_cache = 1;
    g.open.push_back(std::move(o));
    if (g.committerIdle) g.wake.notify_one();
    return 0;
  }
  std::string text = text::EntryText(place.name11);
  if (g.fat->WriteFile(text.data(), nullptr, 0, nullptr) < 0) return -ErrnoOf(g.fat->lastError);
  if (int e = OpenPath(path, fi, true)) return e;
  if (!(mode & 0222)) {  // a read-only file from the start
    FatHandle* open = &reinterpret_cast<OpenFile*>(fi->fh)->h;
    open->attr |= kAttrReadOnly;
    if (g.fat->UpdateHandleEntry(open) != 0) {
      int e = ErrnoOf(g.fat->lastError);
      Release(fi);
      return -e;
    }
  }
  return 0;
}

int OnRead(char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  auto* o = reinterpret_cast<OpenFile*>(fi->fh);
  if (offset < 0) return -EINVAL;
  // Reads are read ahead (a failed read turns that off until the next):
  // small files copied out one after another come in one request for
  // many, and the engine drops what it read ahead on any write of its own
  // and when the device went away meanwhile.
  if (!g.fat->ReadingAhead()) g.fat->BeginReadAhead();
  int n = g.fat->ReadAt(&o->h, uint64_t(offset), buf, uint32_t(size));
  return n < 0 ? -ErrnoOf(g.fat->lastError) : n;
}

int OnWrite(const char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  auto* o = reinterpret_cast<OpenFile*>(fi->fh);
  if (offset < 0) return -EINVAL;
  if (uint64_t(offset) + size > 0xFFFFFFFFull) return -EFBIG;
  if (o->lost) return -EIO;
  bool waited = Waiting(*o);
  int n = g.fat->WriteAt(&o->h, uint64_t(offset), buf, uint32_t(size));
  if (n < 0) return -ErrnoOf(g.fat->lastError);
  if (!waited && Waiting(*o)) {
    o->waitingSince = Clock::now();
    if (g.committerIdle) g.wake.notify_one();
  }
  return n;
}

// Every close(2) flushes, fsync(2) syncs: either commits what the file's
// writes left waiting.
int OnFsync(struct fuse_file_info* fi) {
  Hold hold(g.lock);
  return -Commit(reinterpret_cast<OpenFile*>(fi->fh));
}
int OnFlush(struct fuse_file_info* fi) {
  Hold hold(g.lock);
  return -Commit(reinterpret_cast<OpenFile*>(fi->fh));
}

int OnTruncate(const char* path, off_t size, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  if (size < 0) return -EINVAL;
  if (uint64_t(size) > 0xFFFFFFFFull) return -EFBIG;
  FatHandle h;
  FatHandle* target = &h;
  if (fi && fi->fh) {
    if (reinterpret_cast<OpenFile*>(fi->fh)->lost) return -EIO;
    target = &reinterpret_cast<OpenFile*>(fi->fh)->h;
  } else {
    Place place;
    if (int e = Find(path, &place, &h)) return -e;
    if (place.top || place.partRoot || (h.attr & kAttrDirectory)) return -EISDIR;
    if (OpenFile* o = OpenOf(h)) target = &o->h;
  }
  if (g.fat->TruncateAt(target, uint64_t(size)) != 0) return -ErrnoOf(g.fat->lastError);
  return 0;
}

int OnUnlink(const char* path) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  Place place;
  FatHandle h;
  if (int e = Find(path, &place, &h)) return -e;
  if (place.top || place.partRoot || (h.attr & kAttrDirectory)) return -EISDIR;
  // The clusters of an open file would be given to the next file written
  // while its reader or writer still uses them.
  if (OpenOf(h)) return -EBUSY;
  if (g.fat->RemoveFile(place.name11) != 0) return -ErrnoOf(g.fat->lastError);
  return 0;
}

int OnMkdir(const char* path, mode_t) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  Place place;
  if (int e = Locate(path, &place)) return -e;
  if (place.top || place.partRoot) return -EEXIST;
  if (g.fat->MakeDirectory(place.name11) != 0) return -ErrnoOf(g.fat->lastError);
  return 0;
}

int OnRmdir(const char* path) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  Place place;
  FatHandle h;
  if (int e = Find(path, &place, &h)) return -e;
  if (place.top || place.partRoot) return -EBUSY;
  if (!(h.attr & kAttrDirectory)) return -ENOTDIR;
  if (g.fat->CheckEmptyDirectory(place.name11) != 0) return -ErrnoOf(g.fat->lastError);
  if (g.fat->RemoveDirectoryA(place.name11) != 0) return -ErrnoOf(g.fat->lastError);
  return 0;
}

// The entry at path, for a change of its own fields: the open file's
// handle when the file is open (its size and chain are those the engine
// last wrote), else scratch; null for the mount's or a partition's root.
// 0 or an errno.
int EntryFor(const char* path, FatHandle* scratch, FatHandle** target) {
  Place place;
  if (int e = Find(path, &place, scratch)) return e;
  *target = nullptr;
  if (place.top || place.partRoot) return 0;
  OpenFile* o = OpenOf(*scratch);
  *target = o ? &o->h : scratch;
  return 0;
}

int OnChmod(const char* path, mode_t mode, struct fuse_file_info* fi) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  if ((mode & 07000) != 0) return -EPERM;  // no set-id or sticky bits on FAT
  FatHandle scratch, *target;
  if (int e = EntryFor(path, &scratch, &target)) return -e;
  if (!target) return -EPERM;  // a partition's root has no entry
  // The read-only attribute is the only permission a FAT entry has: any
  // write bit clears it, none sets it.
  if (mode & 0222)
    target->attr &= uint8_t(~kAttrReadOnly);
  else
    target->attr |= kAttrReadOnly;
  if (g.fat->UpdateHandleEntry(target) != 0) return -ErrnoOf(g.fat->lastError);
  return 0;
}

int OnUtimens(const char* path, const struct timespec tv[2], struct fuse_file_info* fi) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  FatHandle scratch, *target;
  if (int e = EntryFor(path, &scratch, &target)) return -e;
  if (!target) return 0;  // a partition's root has no entry to keep a time in
  // A FAT entry keeps one time, the modification time, to two seconds.
  if (tv[1].tv_nsec == UTIME_OMIT) return 0;
  time_t when = tv[1].tv_nsec == UTIME_NOW ? time(nullptr) : tv[1].tv_sec;
  DosStamp stamp = ToDos(int64_t(when));
  target->time = stamp.time;
  target->date = stamp.date;
  if (g.fat->UpdateHandleEntry(target) != 0) return -ErrnoOf(g.fat->lastError);
  return 0;
}

int OnStatfs(const char* path, struct statvfs* st) {
  Hold hold(g.lock);
  Place place;
  if (int e = Locate(path, &place); e && e != EINVAL && e != ENAMETOOLONG) return -e;
  memset(st, 0, sizeof *st);
  st->f_namemax = kDosNameBytes;
  uint64_t total = 0, free = 0;
  uint32_t unit = 512;
  for (int s = 0; s < kFatParts; ++s) {
    if (s == kReservedSlot || g.fat->GetPartitionMode(g.disk, s) == 0) continue;
    if (!place.top && s != place.part) continue;
    g.fat->file_system_switch_to(g.disk, s);
    const _PART_INFO& p = g.fat->disks[g.disk].parts[s];
    unsigned long bytes = 0;
    g.fat->SearchFreeByte(&bytes);
    total += uint64_t(p.dataClusters) * p.sectorsPerCluster * 512;
    free += bytes;
    if (!place.top) unit = p.sectorsPerCluster * 512;
  }
  st->f_bsize = st->f_frsize = unit;
  st->f_blocks = total / unit;
  st->f_bfree = st->f_bavail = free / unit;
  return 0;
}

int OnRename(const char* from, const char* to, unsigned int flags) {
  Hold hold(g.lock);
  if (g.readOnly) return -EROFS;
  if (int e = CommitAll()) return -e;
  if (flags & RENAME_EXCHANGE) return -EINVAL;  // FAT has no atomic exchange of two entries
  Place a, b;
  FatHandle source, target;
  if (int e = Find(from, &a, &source)) return -e;
  if (a.top || a.partRoot) return -EBUSY;
  if (int e = Locate(to, &b)) return -e;
  if (b.top || b.partRoot) return -EBUSY;
  if (b.part != a.part) return -EXDEV;
  bool sourceDir = source.attr & kAttrDirectory;
  unsigned moveFlags = 0;
  if (g.fat->OpenEntry(b.name11, kMaskAny, &target) == 0) {
    if (KeyOf(target) == KeyOf(source)) return 0;  // the same entry, named in another case
    if (flags & RENAME_NOREPLACE) return -EEXIST;
    bool targetDir = target.attr & kAttrDirectory;
    if (targetDir && !sourceDir) return -EISDIR;
    if (!targetDir && sourceDir) return -ENOTDIR;
    if (OpenOf(target)) return -EBUSY;
    if (targetDir) {
      // An empty folder gives way to the folder moved onto it.
      if (g.fat->CheckEmptyDirectory(b.name11) != 0 || g.fat->RemoveDirectoryA(b.name11) != 0)
        return -ErrnoOf(g.fat->lastError);
    } else {
      moveFlags = FAT_DEVICE::kMoveReplace;
    }
  } else if (g.fat->lastError != -3) {
    return -ErrnoOf(g.fat->lastError);
  }
  g.fat->ChangeRootDirectory();  // the paths are from the root; no folder is held
  if (g.fat->MoveEntry(a.path.c_str(), b.path.c_str(), moveFlags) != 0)
    return -ErrnoOf(g.fat->lastError);
  // An open file follows its entry.
  if (OpenFile* o = OpenOf(source)) {
    Place moved;
    FatHandle now;
    if (Find(to, &moved, &now) == 0) {
      o->h.dir = now.dir;
      o->h.entrySector = now.entrySector;
      o->h.entryOffset = now.entryOffset;
      memcpy(o->h.name11, now.name11, 11);
    }
  }
  return 0;
}

int OnChown(const char*, uid_t uid, gid_t gid, struct fuse_file_info*) {
  // Setting the owner it already shows changes nothing (cp -a does that).
  if ((uid == uid_t(-1) || uid == g.uid) && (gid == gid_t(-1) || gid == g.gid)) return 0;
  return -EPERM;
}

struct Options {
  int device = 0;
  int disk = 0;
  bool readOnly = false;
  bool foreground = false;
  bool help = false;
  std::string mountPoint;
};

void Usage(FILE* to) {
  fprintf(to,
          "usage: zelmount [-N n] [--disk n] [-o ro] [-f] MOUNTPOINT\n"
          "Mounts the FAT partitions of disk n (default 0) of ZEL device n (default 0)\n"
          "as folders C, E, F under MOUNTPOINT. Unmount with fusermount3 -u MOUNTPOINT\n"
          "(or Ctrl-C with -f). See docs/mount.md.\n"
          "  -N n       device number (the device \\\\.\\lexon<n>)\n"
          "  --disk n   disk of the device (0 or 1)\n"
          "  -o ro      read-only\n"
          "  -f         stay in the foreground; Ctrl-C unmounts\n"
          "Exit status: 0 unmounted (fusermount3 -u, Ctrl-C, SIGTERM) with everything\n"
          "written to the device; 1 not mounted (device, lock or mount point refused);\n"
          "2 bad arguments; 3 unmounted, but the last writes could not be committed.\n");
}

bool Number(const char* text, int* out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 99) return false;
  *out = int(v);
  return true;
}

// Parses the arguments; false (after a message) when they are bad.
bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "zelmount: %s needs a value\n", name);
        return nullptr;
      }
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      o->help = true;
    } else if (a == "-f") {
      o->foreground = true;
    } else if (a == "-N" || a.rfind("-N", 0) == 0) {
      const char* v = a == "-N" ? value("-N") : argv[i] + 2;
      if (!v || !Number(v, &o->device)) {
        fprintf(stderr, "zelmount: bad device number\n");
        return false;
      }
    } else if (a == "--disk") {
      const char* v = value("--disk");
      if (!v || !Number(v, &o->disk) || o->disk > 1) {
        fprintf(stderr, "zelmount: the disk is 0 or 1\n");
        return false;
      }
    } else if (a == "-o") {
      const char* v = value("-o");
      if (!v) return false;
      if (strcmp(v, "ro") == 0) {
        o->readOnly = true;
      } else if (strcmp(v, "rw") != 0) {
        fprintf(stderr, "zelmount: option -o %s is not known (ro, rw)\n", v);
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      fprintf(stderr, "zelmount: unknown option %s\n", a.c_str());
      return false;
    } else if (o->mountPoint.empty()) {
      o->mountPoint = a;
    } else {
      fprintf(stderr, "zelmount: one mount point only (%s)\n", a.c_str());
      return false;
    }
  }
  if (!o->help && o->mountPoint.empty()) {
    fprintf(stderr, "zelmount: no mount point given\n");
    return false;
  }
  return true;
}

// ---- the mount's life ------------------------------------------------------------

struct fuse_session* g_session = nullptr;
// Written to by the end signals, so that a signal that comes just before the
// loop waits still ends the wait.
int g_endPipe[2] = {-1, -1};

// Ctrl-C, SIGTERM, SIGHUP: the loop ends, and Serve unmounts and commits.
extern "C" void OnEndSignal(int) {
  if (g_session) fuse_session_exit(g_session);
  if (g_endPipe[1] >= 0) {
    char one = 1;
    ssize_t written = write(g_endPipe[1], &one, 1);
    (void)written;  // a full pipe already wakes the loop
  }
}

// Serves the kernel's requests one after another until the mount ends
// (unmounted, or an end signal). A program working on the mount sends its
// next request a few microseconds after our answer (cp -r: lookup, create,
// write, flush, release, for each file); a process that sleeps until then
// pays a wake-up of tens of microseconds on a virtual machine, as much as
// the request itself. So the wait polls briefly first, by the rules of
// the device link's own waits (host::WaitReadable: only while every
// runnable task has a processor, and while polling keeps finding the next
// request), and sleeps otherwise.
void ServeRequests(struct fuse_session* se) {
  const int fd = fuse_session_fd(se);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  const std::vector<int> fds = {fd, g_endPipe[0]};
  std::vector<uint8_t> ready;
  struct fuse_buf buf = {};
  while (!fuse_session_exited(se)) {
    int res = fuse_session_receive_buf(se, &buf);
    if (res == -EAGAIN) {
      host::WaitReadable(fds, ready);  // false on a signal: the loop looks again
      continue;
    }
    if (res == -EINTR) continue;
    if (res <= 0) break;  // unmounted (ENODEV) or the session ended
    fuse_session_process_buf(se, &buf);
  }
  free(buf.mem);
}

// ---- the kernel's requests ---------------------------------------------------------
//
// The kernel names entries by node ids, each of which it got from a lookup
// (or a listing, a create, a mkdir) as a name in a folder; the table below
// keeps the name and folder of every id the kernel holds, so that a
// request finds its path and the functions above serve it. Only the thread
// that serves the mount touches the table.

// How long the kernel may keep a name and its attributes (the mount is the
// device's only client, and its own changes reach the kernel as it makes
// them; a name in another case than the entry's is the kernel's own alias,
// which a rename or unlink under the entry's spelling does not reach).
constexpr double kCacheSeconds = 1.0;
// A file opened for reading that is at most this long comes with its open:
// its bytes go into the kernel's page cache before the open is answered,
// so that reading it costs no request of its own (cp -r out: an open and a
// release per file rather than an open, a read and a release).
constexpr uint32_t kWithOpenBytes = 128u << 10;

struct Node {
  fuse_ino_t parent = 0;  // 0: no longer in any folder (unlinked, replaced)
  std::string name;
  uint64_t lookups = 0;
};
std::map<fuse_ino_t, Node> g_nodes;
std::map<std::pair<fuse_ino_t, std::string>, fuse_ino_t> g_nodeOf;
fuse_ino_t g_nextNode = FUSE_ROOT_ID + 1;

// The path of name in the folder node parent ("/" + the names from the
// root); false when the node is not known or no longer in a folder.
bool PathOf(fuse_ino_t parent, const char* name, std::string* path) {
  std::vector<const std::string*> names;
  for (fuse_ino_t at = parent; at != FUSE_ROOT_ID;) {
    auto it = g_nodes.find(at);
    if (it == g_nodes.end() || it->second.parent == 0) return false;
    names.push_back(&it->second.name);
    at = it->second.parent;
  }
  path->clear();
  for (size_t i = names.size(); i-- > 0;) *path += "/" + *names[i];
  if (name) *path += std::string("/") + name;
  if (path->empty()) *path = "/";
  return true;
}

// The node of name in parent, made when the kernel first learns it; each
// call is one lookup the kernel will forget.
fuse_ino_t Remember(fuse_ino_t parent, const std::string& name) {
  auto key = std::make_pair(parent, name);
  auto it = g_nodeOf.find(key);
  fuse_ino_t id;
  if (it != g_nodeOf.end()) {
    id = it->second;
  } else {
    id = g_nextNode++;
    g_nodeOf.emplace(key, id);
    g_nodes[id] = Node{parent, name, 0};
  }
  ++g_nodes[id].lookups;
  return id;
}

// The name left its folder (unlinked, or replaced by a rename): the node
// stays for the kernel's forget but has no path any more.
void Detach(fuse_ino_t parent, const std::string& name) {
  auto it = g_nodeOf.find({parent, name});
  if (it == g_nodeOf.end()) return;
  g_nodes[it->second].parent = 0;
  g_nodeOf.erase(it);
}

void ForgetNode(fuse_ino_t id, uint64_t count) {
  auto it = g_nodes.find(id);
  if (it == g_nodes.end()) return;
  Node& n = it->second;
  n.lookups = count >= n.lookups ? 0 : n.lookups - count;
  if (n.lookups > 0) return;
  auto named = g_nodeOf.find({n.parent, n.name});
  if (n.parent != 0 && named != g_nodeOf.end() && named->second == id) g_nodeOf.erase(named);
  g_nodes.erase(it);
}

void ReplyErrno(fuse_req_t req, int result) { fuse_reply_err(req, result < 0 ? -result : result); }

// Answers a lookup-like request with the entry at path (name in parent).
void ReplyEntry(fuse_req_t req, fuse_ino_t parent, const char* name, const std::string& path,
                struct fuse_file_info* fi = nullptr) {
  struct fuse_entry_param e = {};
  if (int r = OnGetattr(path.c_str(), &e.attr, fi)) {
    if (fi) OnRelease(fi);
    return ReplyErrno(req, r);
  }
  e.ino = Remember(parent, name);
  e.attr.st_ino = e.ino;
  e.attr_timeout = e.entry_timeout = kCacheSeconds;
  int sent = fi ? fuse_reply_create(req, &e, fi) : fuse_reply_entry(req, &e);
  if (sent != 0) {  // interrupted: the kernel holds neither the node nor the file
    ForgetNode(e.ino, 1);
    if (fi) OnRelease(fi);
  }
}

#define ZM_PATH(parent, name, path)                      \
  std::string path;                                      \
  if (!PathOf(parent, name, &path)) return (void)fuse_reply_err(req, ENOENT)

void LlInit(void*, struct fuse_conn_info* conn) {
  conn->max_write = kIoBytes;
  conn->max_readahead = kIoBytes;
  // Started here, in the process that serves the mount (after -f's absence
  // made it a daemon).
  g.committer = std::thread(Committer);
}

void LlLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  ZM_PATH(parent, name, path);
  ReplyEntry(req, parent, name, path);
}

void LlForget(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
  ForgetNode(ino, count);
  fuse_reply_none(req);
}

void LlForgetMulti(fuse_req_t req, size_t count, struct fuse_forget_data* forgets) {
  for (size_t i = 0; i < count; ++i) ForgetNode(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void LlGetattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
  ZM_PATH(ino, nullptr, path);
  struct stat st;
  if (int r = OnGetattr(path.c_str(), &st, fi)) return ReplyErrno(req, r);
  st.st_ino = ino;
  fuse_reply_attr(req, &st, kCacheSeconds);
}

// chmod, chown, truncate, utimens in one request, done in that order.
void LlSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int set, struct fuse_file_info* fi) {
  ZM_PATH(ino, nullptr, path);
  const char* p = path.c_str();
  int r = 0;
  if (!r && (set & FUSE_SET_ATTR_MODE)) r = OnChmod(p, attr->st_mode, fi);
  if (!r && (set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)))
    r = OnChown(p, (set & FUSE_SET_ATTR_UID) ? attr->st_uid : uid_t(-1),
                (set & FUSE_SET_ATTR_GID) ? attr->st_gid : gid_t(-1), fi);
  if (!r && (set & FUSE_SET_ATTR_SIZE)) r = OnTruncate(p, attr->st_size, fi);
  if (!r && (set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) {
    struct timespec tv[2];
    tv[0].tv_sec = tv[1].tv_sec = 0;
    tv[0].tv_nsec = tv[1].tv_nsec = UTIME_OMIT;
    if (set & FUSE_SET_ATTR_ATIME_NOW) tv[0].tv_nsec = UTIME_NOW;
    else if (set & FUSE_SET_ATTR_ATIME) tv[0] = attr->st_atim;
    if (set & FUSE_SET_ATTR_MTIME_NOW) tv[1].tv_nsec = UTIME_NOW;
    else if (set & FUSE_SET_ATTR_MTIME) tv[1] = attr->st_mtim;
    r = OnUtimens(p, tv, fi);
  }
  if (r) return ReplyErrno(req, r);
  LlGetattr(req, ino, fi);
}

// Listings: readdirplus (the kernel learns every name with its attributes,
// so that ls -l or find asks nothing per file) and plain readdir. Each call
// lists the folder again from the engine's index and sends the entries from
// offset on.
void Readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
  ZM_PATH(ino, nullptr, path);
  std::vector<Listed> list;
  if (int r = ListFolder(path.c_str(), &list)) return ReplyErrno(req, r);
  // The kernel asks up to 1 MiB a time: kept between calls, never cleared.
  static std::unique_ptr<char[]> buf;
  static size_t capacity = 0;
  if (size > capacity) {
    buf.reset(new char[size]);
    capacity = size;
  }
  size_t used = 0;
  for (size_t i = offset < 0 ? 0 : size_t(offset); i < list.size(); ++i) {
    Listed& e = list[i];
    size_t left = size - used, n;
    if (plus) {
      struct fuse_entry_param entry = {};
      if (e.plus) {
        entry.attr = e.st;
        entry.ino = Remember(ino, e.name);
        entry.attr.st_ino = entry.ino;
        entry.attr_timeout = entry.entry_timeout = kCacheSeconds;
      } else {
        entry.attr.st_mode = S_IFDIR;  // . and ..: no node, the kernel looks them up itself
      }
      n = fuse_add_direntry_plus(req, buf.get() + used, left, e.name.c_str(), &entry, off_t(i + 1));
      if (n > left) {
        if (entry.ino) ForgetNode(entry.ino, 1);
        break;
      }
    } else {
      struct stat st = {};
      auto known = g_nodeOf.find({ino, e.name});
      st.st_ino = known != g_nodeOf.end() ? known->second : 0xffffffffu;  // not yet looked up
      st.st_mode = e.plus ? e.st.st_mode : S_IFDIR;
      n = fuse_add_direntry(req, buf.get() + used, left, e.name.c_str(), &st, off_t(i + 1));
      if (n > left) break;
    }
    used += n;
  }
  fuse_reply_buf(req, buf.get(), used);
}

void LlReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info*) {
  Readdir(req, ino, size, off, false);
}
void LlReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info*) {
  Readdir(req, ino, size, off, true);
}

// A small file opened for reading, alone: its bytes go into the kernel's
// page cache now (kWithOpenBytes). Only when no other open of it exists:
// a writer's mapping may hold pages newer than the device's.
void StoreWithOpen(fuse_ino_t ino, struct fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return;
  std::vector<char> data;
  {
    Hold hold(g.lock);
    auto* o = reinterpret_cast<OpenFile*>(fi->fh);
    if (o->refs != 1 || o->h.size == 0 || o->h.size > kWithOpenBytes) return;
    data.resize(o->h.size);
    if (!g.fat->ReadingAhead()) g.fat->BeginReadAhead();
    if (g.fat->ReadAt(&o->h, 0, data.data(), uint32_t(data.size())) != int(data.size())) return;
  }
  struct fuse_bufvec bufv = FUSE_BUFVEC_INIT(data.size());
  bufv.buf[0].mem = data.data();
  fuse_lowlevel_notify_store(g_session, ino, 0, &bufv, fuse_buf_copy_flags(0));
}

void LlOpen(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
  ZM_PATH(ino, nullptr, path);
  if (int r = OnOpen(path.c_str(), fi)) return ReplyErrno(req, r);
  StoreWithOpen(ino, fi);
  if (fuse_reply_open(req, fi) != 0) OnRelease(fi);  // interrupted
}

void LlCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, struct fuse_file_info* fi) {
  ZM_PATH(parent, name, path);
  if (int r = OnCreate(path.c_str(), mode, fi)) return ReplyErrno(req, r);
  ReplyEntry(req, parent, name, path, fi);
}

void LlRead(fuse_req_t req, fuse_ino_t, size_t size, off_t off, struct fuse_file_info* fi) {
  static std::unique_ptr<char[]> buf(new char[kIoBytes]);  // the largest read the kernel asks
  if (size > kIoBytes) size = kIoBytes;
  int n = OnRead(buf.get(), size, off, fi);
  if (n < 0) return ReplyErrno(req, n);
  fuse_reply_buf(req, buf.get(), size_t(n));
}

void LlWrite(fuse_req_t req, fuse_ino_t, const char* buf, size_t size, off_t off, struct fuse_file_info* fi) {
  int n = OnWrite(buf, size, off, fi);
  if (n < 0) return ReplyErrno(req, n);
  fuse_reply_write(req, size_t(n));
}

void LlFlush(fuse_req_t req, fuse_ino_t, struct fuse_file_info* fi) { ReplyErrno(req, OnFlush(fi)); }
void LlFsync(fuse_req_t req, fuse_ino_t, int, struct fuse_file_info* fi) {
  ReplyErrno(req, OnFsync(fi));
}
void LlRelease(fuse_req_t req, fuse_ino_t, struct fuse_file_info* fi) { ReplyErrno(req, OnRelease(fi)); }

void LlMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  ZM_PATH(parent, name, path);
  if (int r = OnMkdir(path.c_str(), mode)) return ReplyErrno(req, r);
  ReplyEntry(req, parent, name, path);
}

void LlUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  ZM_PATH(parent, name, path);
  int r = OnUnlink(path.c_str());
  if (r == 0) Detach(parent, name);
  ReplyErrno(req, r);
}

void LlRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  ZM_PATH(parent, name, path);
  int r = OnRmdir(path.c_str());
  if (r == 0) Detach(parent, name);
  ReplyErrno(req, r);
}

void LlRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags) {
  ZM_PATH(parent, name, from);
  std::string to;
  if (!PathOf(newParent, newName, &to)) return (void)fuse_reply_err(req, ENOENT);
  int r = OnRename(from.c_str(), to.c_str(), flags);
  if (r == 0) {
    // The node follows its entry; what the new name named is gone.
    auto moved = g_nodeOf.find({parent, name});
    if (moved != g_nodeOf.end() && !(parent == newParent && strcmp(name, newName) == 0)) {
      fuse_ino_t id = moved->second;
      g_nodeOf.erase(moved);
      Detach(newParent, newName);
      g_nodeOf[{newParent, newName}] = id;
      g_nodes[id].parent = newParent;
      g_nodes[id].name = newName;
    }
  }
  ReplyErrno(req, r);
}

void LlStatfs(fuse_req_t req, fuse_ino_t ino) {
  ZM_PATH(ino, nullptr, path);
  struct statvfs st;
  if (int r = OnStatfs(path.c_str(), &st)) return ReplyErrno(req, r);
  fuse_reply_statfs(req, &st);
}

// What a FAT partition cannot hold.
void LlRefuse(fuse_req_t req) { fuse_reply_err(req, EPERM); }
void LlLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { LlRefuse(req); }
void LlSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { LlRefuse(req); }
void LlMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { LlRefuse(req); }

#undef ZM_PATH

// Mounts, serves until unmounted or signalled, commits what waits, and
// unmounts: the exit status.
int Serve(const Options& opt, const char* program) {
  struct fuse_lowlevel_ops ops = {};
  ops.init = LlInit;
  ops.lookup = LlLookup;
  ops.forget = LlForget;
  ops.forget_multi = LlForgetMulti;
  ops.getattr = LlGetattr;
  ops.setattr = LlSetattr;
  ops.readdir = LlReaddir;
  ops.readdirplus = LlReaddirplus;
  ops.open = LlOpen;
  ops.create = LlCreate;
  ops.read = LlRead;
  ops.write = LlWrite;
  ops.flush = LlFlush;
  ops.fsync = LlFsync;
  ops.release = LlRelease;
  ops.mkdir = LlMkdir;
  ops.unlink = LlUnlink;
  ops.rmdir = LlRmdir;
  ops.rename = LlRename;
  ops.statfs = LlStatfs;
  ops.link = LlLink;
  ops.symlink = LlSymlink;
  ops.mknod = LlMknod;
  std::string fsOptions = std::string("fsname=zel") + std::to_string(opt.device) + ",subtype=zelmount";
  if (opt.readOnly) fsOptions += ",ro";
  const char* argv[] = {program, "-o", fsOptions.c_str()};
  struct fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  struct fuse_session* se = fuse_session_new(&args, &ops, sizeof ops, nullptr);
  if (!se) return kExitNotMounted;
  if (fuse_session_mount(se, opt.mountPoint.c_str()) != 0) {
    fuse_session_destroy(se);
    return kExitNotMounted;
  }
  if (fuse_daemonize(opt.foreground ? 1 : 0) != 0) {
    fuse_session_unmount(se);
    fuse_session_destroy(se);
    return kExitNotMounted;
  }
  g_session = se;
  if (g_endPipe[0] < 0 && pipe2(g_endPipe, O_CLOEXEC | O_NONBLOCK) != 0) g_endPipe[0] = g_endPipe[1] = -1;
  fuse_set_signal_handlers(g_session);  // SIGPIPE ignored, among others
  struct sigaction end = {};
  end.sa_handler = OnEndSignal;  // no SA_RESTART: the loop's read returns
  sigemptyset(&end.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &end, nullptr);
  // A signal and an unmount end the mount the same way, so only what
  // follows decides the exit status.
  ServeRequests(g_session);
  fuse_remove_signal_handlers(g_session);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  {
    std::lock_guard<std::mutex> hold(g.lock);
    g.ending = true;
  }
  g.wake.notify_one();
  if (g.committer.joinable()) g.committer.join();
  fuse_session_unmount(se);
  int lost;
  {
    std::lock_guard<std::mutex> hold(g.lock);
    lost = CommitAll();  // what waits still (files a killed program left open)
    g.open.clear();
  }
  fuse_session_destroy(se);
  g_session = nullptr;
  return lost == 0 ? kExitUnmounted : kExitLost;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!Parse(argc, argv, &opt)) {
    Usage(stderr);
    return kExitUsage;
  }
  if (opt.help) {
    Usage(stdout);
    return 0;
  }
  static QuietOutput quiet;
  host::SetOut(&quiet);

  char devicePath[64];
  snprintf(devicePath, sizeof devicePath, "\\\\.\\lexon%d", opt.device);
  // One client per device: the lock Tervan takes, for as long as we run.
  long holder = 0;
  std::unique_ptr<host::HeldLock> lock = host::AcquireDeviceLock(devicePath, false, holder);
  if (!lock) {
    if (holder > 0)
      fprintf(stderr, "zelmount: device %s is in use by process %ld (Tervan or zelmount); one client per device\n",
              devicePath, holder);
    else
      fprintf(stderr, "zelmount: device %s is in use or its lock cannot be taken\n", devicePath);
    return kExitNotMounted;
  }
  // The device admits one client however it is reached (another run
  // folder's link to the socket, the simulation link): claim it by name so
  // that a Tervan or zelmount refused later can say who holds it.
  long holderPid = 0;
  std::string holderProgram;
  if (host::ClaimDevice(devicePath, "zelmount", holderPid, holderProgram) < 0) {
    fprintf(stderr, "zelmount: device %s is in use by %s (process %ld); one client per device\n",
            devicePath, holderProgram.empty() ? "another program" : holderProgram.c_str(), holderPid);
    return kExitNotMounted;
  }
  auto device = std::make_unique<ZEL_DEVICE_IO>(devicePath, 0);
  int state = device->Test(0);
  if (state != 2 && state != 3) {
    fprintf(stderr, "zelmount: device %s (%s) %s\n", devicePath,
            host::DeviceSocketPath(devicePath).c_str(),
            state == 1 ? "waits for its operating system: start it once with Tervan first"
                       : "does not answer (start zelsim, or connect the device)");
    return kExitNotMounted;
  }
  _ZELDEVICECAPS caps;
  caps.mask = 1u << kCapsDiskCountBit;
  device->GetDeviceCaps(&caps);
  int disks = caps.fields[kCapsDiskCountBit];
  if (disks > 2) disks = 2;
  if (opt.disk >= disks) {
    fprintf(stderr, "zelmount: device %s has %d disk(s); no disk %d\n", devicePath, disks, opt.disk);
    return kExitNotMounted;
  }
  std::unique_ptr<FAT_DEVICE> fat(new FAT_DEVICE(device.get()));
  fat->diskCount = disks;
  if (fat->Init() != 1 || device->Switch(opt.disk) <= 0) {
    fprintf(stderr, "zelmount: the file systems of device %s cannot be read\n", devicePath);
    return kExitNotMounted;
  }
  int shown = 0;
  for (int s = 0; s < kFatParts; ++s)
    if (s != kReservedSlot && fat->GetPartitionMode(opt.disk, s) != 0) ++shown;
  if (shown == 0)
    fprintf(stderr, "zelmount: disk %d of device %s has no formatted FAT partition; the mount is empty\n",
            opt.disk, devicePath);
  g.device = device.get();
  g.fat = fat.get();
  g.disk = opt.disk;
  g.readOnly = opt.readOnly;
  g.uid = getuid();
  g.gid = getgid();

  return Serve(opt, argv[0]);
}
