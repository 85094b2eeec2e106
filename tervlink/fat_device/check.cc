// CHKDSK: the check of one FAT partition and its repair.
//
// The check reads the boot sector, every FAT copy and every directory of
// the partition (each sector once) and walks every chain once, so it is
// bounded by the partition's size on any disk: a chain ends at an end mark,
// at a link out of range, at a free or bad-marked cluster, or at a cluster
// already taken (by itself: a loop; by another entry: a cross-link). It
// follows the rules another FAT checker (fsck.fat) applies, so that the two
// find a fault on the same disks.
//
// The repair is planned in memory while checking (a working copy of the
// FAT's values and the directory sectors to change) and written in the
// order that keeps the disk readable whatever stops it: new data first
// (copies of cross-linked clusters, the FOUND.nnn folder's clusters), then
// the FAT, all copies whole, then the directory sectors. Every write goes
// through the engine's partition checks, so nothing lands outside it.

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"
#include "tervlink/host/host.h"

using namespace fatfmt;

namespace {

constexpr uint8_t kAttrLongName = 0x0F;  // a long-name fragment, not an entry
constexpr size_t kPathLimit = 240;       // longest path text shown [byte]
const char kDot[] = ".          ";
const char kDotDot[] = "..         ";

// A name (entry) another FAT tool cannot take: a control byte (a first
// byte 0x05 stands for 0xE5), DEL, one of the bytes no DOS name holds, a
// blank first, or the mark of an entry without a short name when it has no
// long one. "." and ".." are names only in the first two slots of a folder.
bool BadName(const uint8_t* name, bool longName) {
  static const char kBad[] = "*?<>|\"\\/:.";
  // Byte 12's 0x20 says "no short name here": only a long name could name it.
  if (name[0] == ' ' || (!longName && (name[12] & 0x20))) return true;
  for (int i = 0; i < 11; ++i) {
    uint8_t c = name[i];
    if ((c < ' ' && !(i == 0 && c == kEntryE5Stored)) || c == 0x7F) return true;
    if (c != 0 && strchr(kBad, c)) return true;
  }
  return false;
}

// The checksum of a short name that its long-name slots carry.
uint8_t NameSum(const uint8_t* name) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + name[i]);
  return sum;
}

// "1,234,567"
std::string Grouped(uint64_t n) {
  std::string s = std::to_string(n);
  for (int i = int(s.size()) - 3; i > 0; i -= 3) s.insert(size_t(i), ",");
  return s;
}

}  // namespace

// One run of CHKDSK over the current partition.
class FatChecker {
 public:
  FatChecker(FAT_DEVICE& fat, bool repair, bool quiet)
      : f_(fat), p_(fat.curPart), repair_(repair), quiet_(quiet) {}
  // 1 when the partition is sound (or every fault found was repaired), -1
  // when faults remain or a device request failed.
  int Run();

 private:
  struct Object {           // an entry whose chain is walked
    std::string path;
    bool dir;
    uint32_t sector;        // where its entry is (0 for the root)
    uint32_t offset;
  };
  struct Folder {           // a folder still to read
    uint32_t first;         // 0 = root
    uint32_t parent;        // its parent's first cluster, 0 = root
    int object;             // its Object index, -1 for the root
  };
  struct CopyJob {          // a cross-linked tail to give its own clusters
    int object;
    uint32_t prev;          // the object's last own cluster, 0 = none
    uint32_t shared;        // the first shared cluster
    uint32_t count;         // clusters the entry still needs
    uint32_t owner;         // who holds the shared cluster
  };

  void Fault(const std::string& path, const char* fmt, ...) TERVLINK_PRINTF(3, 4);
  void Say(const char* fmt, ...) TERVLINK_PRINTF(2, 3);
  bool ReadSectors(uint32_t first, uint32_t count, uint8_t* into);
  uint8_t* Edit(uint32_t sector);
  void CheckBootSector();
  bool LoadFat();
  void CheckFolder(const Folder& folder, std::vector<Folder>& below);
  bool View(uint32_t sector, uint8_t* into);
  void SetStart(int object, uint32_t cluster);
  void SetSize(int object, uint32_t size);
  void CheckEntry(uint8_t* e, uint32_t sector, uint32_t offset, const std::string& parent,
                  const Folder& folder, bool longName, std::set<std::string>& names,
                  std::vector<Folder>& below);
  int Dots(uint32_t cluster);
  void Rename(uint8_t* e, std::set<std::string>& names);
  uint32_t Claim(int object, uint32_t first, uint32_t need, uint8_t* e);
  void DotEntry(uint8_t* e, const char* name, uint32_t cluster);
  void GiveCopies();
  void CollectLost();
  bool MakeFound();
  uint32_t TakeFree();
  bool Commit();
  bool IsEnd(uint32_t v) const { return v >= endMin_; }
  bool Lost(uint32_t c) const { return next_[c] != 0 && next_[c] != bad_ && owner_[c] == 0; }
  bool InRange(uint32_t c) const { return c >= 2 && c < clusters_ + 2; }
  uint32_t SectorOf(uint32_t cluster) const {
    return p_->firstDataSector + (cluster - 2) * p_->sectorsPerCluster;
  }
  std::string Child(const std::string& parent, const uint8_t* e) const;

  FAT_DEVICE& f_;
  _PART_INFO* p_;
  bool repair_, quiet_;
  int faults_ = 0;      // faults found
  int unrepaired_ = 0;  // faults the repair cannot mend
  bool failed_ = false; // a device request failed
  bool committed_ = false;  // the repaired FAT is in the engine's image and on the device
  uint32_t clusters_ = 0, clusterBytes_ = 0, bad_ = 0, endMin_ = 0;
  std::vector<uint32_t> next_;    // the FAT's values as repaired so far
  std::vector<int32_t> owner_;    // Object index + 1 per cluster, 0 = nobody
  std::vector<Object> objects_;
  std::vector<CopyJob> copies_;
  std::map<uint32_t, std::vector<uint8_t>> edited_;  // directory sectors to write
  bool fatCopiesDiffer_ = false;
  uint64_t files_ = 0, fileClusters_ = 0, dirs_ = 0, dirClusters_ = 0;
  uint32_t lostClusters_ = 0, lostChains_ = 0;
  std::vector<uint32_t> lostHeads_, lostLengths_;
  uint32_t freeCursor_ = 2;
  std::vector<uint8_t> sector_;  // one sector, for reads
};

void FatChecker::Say(const char* fmt, ...) {
  if (quiet_) return;
  va_list ap;
  va_start(ap, fmt);
  host::VPrintTo(host::Out(), fmt, ap);
  va_end(ap);
}

void FatChecker::Fault(const std::string& path, const char* fmt, ...) {
  ++faults_;
  if (quiet_) return;
  char text[300];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  host::Print("%s: %s\n", path.c_str(), text);
}

bool FatChecker::ReadSectors(uint32_t first, uint32_t count, uint8_t* into) {
  f_.pendStart = first;
  f_.pendCount = count;
  f_.pendBuffer = reinterpret_cast<char*>(into);
  if (f_.ReadData() == 0) return true;
  failed_ = true;
  return false;
}

// The directory sector as the repair leaves it, to change in place; null
// when it cannot be read.
uint8_t* FatChecker::Edit(uint32_t sector) {
  auto it = edited_.find(sector);
  if (it != edited_.end()) return it->second.data();
  std::vector<uint8_t> s(512);
  if (!ReadSectors(sector, 1, s.data())) return nullptr;
  return edited_.emplace(sector, std::move(s)).first->second.data();
}

std::string FatChecker::Child(const std::string& parent, const uint8_t* e) const {
  char text[14];
  EntryText(e, text);
  for (char* c = text; *c; ++c)
    if (uint8_t(*c) < ' ' || *c == 0x7F) *c = '?';
  std::string path = parent == "\\" ? parent + text : parent + "\\" + text;
  if (path.size() > kPathLimit) path = "..." + path.substr(path.size() - kPathLimit);
  return path;
}

void FatChecker::CheckBootSector() {
  std::vector<uint8_t> s(512);
  if (!ReadSectors(p_->startSector, 1, s.data())) return;
  BootParams b = DecodeBootSector(s.data());
  uint32_t volume = VolumeSectors(b);
  if (volume > p_->sectorCount) {
    Fault("\\", "the boot sector gives %u sectors, its partition holds %u", volume, p_->sectorCount);
    ++unrepaired_;
  }
  // The FAT must have an entry for every cluster the volume holds.
  uint64_t root = uint64_t(b.rootEntries) * 32 / 512;
  uint64_t overhead = uint64_t(b.reservedSectors) + uint64_t(b.sectorsPerFat) * b.fatCount + root;
  uint64_t held = volume > overhead && b.sectorsPerCluster ? (volume - overhead) / b.sectorsPerCluster : 0;
  uint64_t entries = p_->fatWidth == 16 ? b.sectorsPerFat * 256ull : b.sectorsPerFat * 512ull * 2 / 3;
  if (held + 2 > entries) {
    Fault("\\", "the FAT has room for %s clusters, the volume holds %s",
          Grouped(entries > 2 ? entries - 2 : 0).c_str(), Grouped(held).c_str());
    ++unrepaired_;
  }
  if (!p_->usable) {
    Fault("\\", "the partition runs past the disk or overlaps another");
    ++unrepaired_;
  }
}

// Reads every FAT copy, compares them where they hold entries, and takes
// the values to work on: the first copy's, unless its first entry (the
// media mark) is damaged and another copy's is not. False on a read failure.
bool FatChecker::LoadFat() {
  const bool fat16 = p_->fatWidth == 16;
  const size_t bytes = size_t(p_->sectorsPerFat) * 512;
  const size_t used = std::min(bytes, (size_t(clusters_ + 2) * (fat16 ? 16 : 12) + 7) / 8);
  const uint32_t media = fat16 ? 0xFFF0 : 0xFF0;
  std::vector<uint8_t> copy(bytes);
  int better = -1;
  for (uint32_t k = 0; k < p_->fatCount; ++k) {
    if (!ReadSectors(p_->startSector + p_->reservedSectors + k * p_->sectorsPerFat, p_->sectorsPerFat,
                     copy.data()))
      return false;
    if (memcmp(copy.data(), p_->fat, used) != 0) fatCopiesDiffer_ = true;
    uint32_t first = fat16 ? bytes::Get16(copy.data()) : (copy[0] | (copy[1] & 0x0F) << 8);
    if (better < 0 && (first & media) == media) better = int(k);
  }
  if (fatCopiesDiffer_) {
    Fault("\\", "the FAT copies differ");
    if ((f_.NextFatEntry(0) & media) != media && better > 0) {
      // The first copy's media mark is gone: another copy is the better one.
      ReadSectors(p_->startSector + p_->reservedSectors + better * p_->sectorsPerFat,
                  p_->sectorsPerFat, p_->fat);
    }
  }
  next_.assign(clusters_ + 2, 0);
  for (uint32_t c = 2; c < clusters_ + 2; ++c) next_[c] = f_.NextFatEntry(c);
  if (repair_ && fatCopiesDiffer_) p_->fatWhole = 1;
  for (uint32_t c = 2; c < clusters_ + 2; ++c) {
    uint32_t v = next_[c];
    if (v == 1 || (v >= clusters_ + 2 && v < bad_)) {
      Fault("\\", "cluster %u links to %u, outside the partition", c, v);
      next_[c] = 0xFFFF;
    }
  }
  return true;
}

int FatChecker::Run() {
  clusters_ = p_->dataClusters;
  clusterBytes_ = p_->sectorsPerCluster * 512;
  bad_ = p_->fatWidth == 16 ? 0xFFF7 : 0xFF7;
  endMin_ = p_->fatWidth == 16 ? 0xFFF8 : 0xFF8;
  CheckBootSector();
  // Until the repair commits its FAT, the engine's image stays as it was
  // (LoadFat may have put another FAT copy in it to work from).
  f_.KeepUndo();
  struct KeepImage {
    FatChecker& c;
    ~KeepImage() {
      if (!c.committed_) memcpy(c.p_->fat, c.f_.fatUndo_, size_t(c.p_->sectorsPerFat) * 512);
    }
  } keep{*this};
  if (failed_ || !LoadFat()) return -1;
  owner_.assign(clusters_ + 2, 0);

  // Folders are read in the order another checker reads them: a folder's
  // entries all, then each of its subfolders with everything below it.
  std::vector<Folder> stack = {{0, 0, -1}};
  while (!stack.empty() && !failed_) {
    Folder folder = stack.back();
    stack.pop_back();
    std::vector<Folder> below;
    CheckFolder(folder, below);
    stack.insert(stack.end(), below.rbegin(), below.rend());
  }
  if (failed_) return -1;
  GiveCopies();
  CollectLost();

  uint64_t freeClusters = 0, badClusters = 0;
  for (uint32_t c = 2; c < clusters_ + 2; ++c) {
    if (next_[c] == 0) ++freeClusters;
    if (next_[c] == bad_) ++badClusters;
  }
  if (repair_ && !p_->usable) {
    unrepaired_ = faults_;
  } else if (repair_ && faults_ > 0 && !failed_) {
    if (lostChains_ > 0 && !MakeFound()) ++unrepaired_;
    if (!failed_ && !Commit()) failed_ = true;
  }

  uint64_t cb = clusterBytes_;
  Say("\n%14s bytes total disk space\n", Grouped(uint64_t(clusters_) * cb).c_str());
  if (badClusters) Say("%14s bytes in bad sectors\n", Grouped(badClusters * cb).c_str());
  Say("%14s bytes in %s directories\n", Grouped(dirClusters_ * cb).c_str(), Grouped(dirs_).c_str());
  Say("%14s bytes in %s files\n", Grouped(fileClusters_ * cb).c_str(), Grouped(files_).c_str());
  if (lostClusters_)
    Say("%14s bytes in %u lost clusters in %u chains\n", Grouped(lostClusters_ * cb).c_str(),
        lostClusters_, lostChains_);
  Say("%14s bytes available on disk\n\n", Grouped(freeClusters * cb).c_str());
  Say("%14s bytes in each allocation unit\n", Grouped(cb).c_str());
  Say("%14s total allocation units on disk\n", Grouped(clusters_).c_str());
  Say("%14s available allocation units on disk\n", Grouped(freeClusters).c_str());
  if (failed_) return -1;
  if (faults_ == 0) return 1;
  if (!repair_) {
    Say("\n%d errors found, /F not given: nothing was changed\n", faults_);
    return -1;
  }
  return unrepaired_ == 0 ? 1 : -1;
}

// A sector as the repair leaves it, copied into into. False when it cannot
// be read.
bool FatChecker::View(uint32_t sector, uint8_t* into) {
  auto it = edited_.find(sector);
  if (it == edited_.end()) return ReadSectors(sector, 1, into);
  memcpy(into, it->second.data(), 512);
  return true;
}

void FatChecker::SetStart(int object, uint32_t cluster) {
  if (uint8_t* s = Edit(objects_[object].sector))
    bytes::Put16(s + objects_[object].offset + kDirFirstCluster, uint16_t(cluster));
}

void FatChecker::SetSize(int object, uint32_t size) {
  if (uint8_t* s = Edit(objects_[object].sector))
    bytes::Put32(s + objects_[object].offset + kDirFileSize, size);
}

// Writes a "." or ".." entry for cluster into the slot e.
void FatChecker::DotEntry(uint8_t* e, const char* name, uint32_t cluster) {
  memset(e, 0, kDirEntryBytes);
  f_.curPart->currentEntry = e;
  f_.FillEntry(kAttrDirectory, name, 0, cluster);
}

void FatChecker::CheckFolder(const Folder& folder, std::vector<Folder>& below) {
  std::vector<uint32_t> sectors;
  if (folder.first == 0) {
    uint32_t root = p_->startSector + p_->reservedSectors + p_->sectorsPerFat * p_->fatCount;
    for (uint32_t i = 0; i < p_->rootEntries / 16; ++i) sectors.push_back(root + i);
  } else {
    // The chain as claimed for the folder (cut where it was damaged).
    int32_t id = folder.object + 1;
    for (uint32_t c = folder.first; InRange(c) && owner_[c] == id;) {
      for (uint32_t k = 0; k < p_->sectorsPerCluster; ++k) sectors.push_back(SectorOf(c) + k);
      uint32_t v = next_[c];
      if (IsEnd(v) || !InRange(v) || sectors.size() > size_t(clusters_ + 1) * p_->sectorsPerCluster) break;
      c = v;
    }
  }
  std::vector<uint8_t> buf(sectors.size() * 512);
  for (size_t i = 0; i < sectors.size();) {
    size_t run = 1;  // contiguous sectors in one read
    while (i + run < sectors.size() && sectors[i + run] == sectors[i] + run && run < 2048) ++run;
    if (!ReadSectors(sectors[i], uint32_t(run), buf.data() + i * 512)) return;
    i += run;
  }
  const std::vector<uint8_t> before = buf;
  const std::string path = folder.object < 0 ? "\\" : objects_[folder.object].path;
  const size_t slots = buf.size() / kDirEntryBytes;
  std::set<std::string> names;
  size_t first = 0;
  if (folder.first != 0) {
    // A folder's first two slots are "." (itself) and ".." (its parent, 0
    // for the root).
    first = 2;
    const char* dotNames[2] = {kDot, kDotDot};
    const uint32_t want[2] = {folder.first, folder.parent};
    for (size_t i = 0; i < 2 && i < slots; ++i) {
      uint8_t* e = buf.data() + i * kDirEntryBytes;
      if (memcmp(e, dotNames[i], 11) == 0) {
        uint32_t start = bytes::Get16(e + kDirFirstCluster);
        if (start != want[i] || !(e[kDirAttr] & kAttrDirectory)) {
          Fault(path, "an invalid '%s' entry (cluster %u, attributes 0x%02X); rewritten", i ? ".." : ".",
                start, e[kDirAttr]);
          DotEntry(e, dotNames[i], want[i]);
        }
        continue;
      }
      Fault(path, "no '%s' entry in slot %u", i ? ".." : ".", unsigned(i + 1));
      if (e[0] != kEntryEnd && e[0] != kEntryDeleted) {
        // A live entry here moves to the first free slot after the two.
        size_t j = 2;
        while (j < slots && buf[j * kDirEntryBytes] != kEntryEnd && buf[j * kDirEntryBytes] != kEntryDeleted) ++j;
        if (j == slots) {
          ++unrepaired_;
          continue;
        }
        memcpy(buf.data() + j * kDirEntryBytes, e, kDirEntryBytes);
      }
      DotEntry(e, dotNames[i], want[i]);
    }
  }
  // Long-name slots come in runs numbered down to 1 (the first one marked
  // 0x40), each with the checksum of the entry that follows the run; a
  // slot outside such a run names nothing and goes.
  std::vector<size_t> run;
  unsigned expect = 0;
  uint8_t sum = 0;
  auto drop = [&](const std::vector<size_t>& slotsOf) {
    for (size_t k : slotsOf) buf[k * kDirEntryBytes] = kEntryDeleted;
  };
  auto orphans = [&] {
    if (run.empty()) return;
    Fault(path, "%u long-name slots without their entry; removed", unsigned(run.size()));
    drop(run);
    run.clear();
  };
  for (size_t i = first; i < slots && !failed_; ++i) {
    uint8_t* e = buf.data() + i * kDirEntryBytes;
    if (e[0] == kEntryEnd || e[0] == kEntryDeleted) continue;
    if (e[kDirAttr] == kAttrLongName) {
      if (e[12] != 0 || bytes::Get16(e + kDirFirstCluster) != 0) {
        Fault(path, "a long-name slot with its reserved fields set; cleared");
        e[12] = 0;
        bytes::Put16(e + kDirFirstCluster, 0);
      }
      unsigned ordinal = e[0] & 0x3F;
      if (e[0] & 0x40) {
        orphans();
        expect = ordinal;
        sum = e[13];
      } else if (run.empty() || ordinal != expect || e[13] != sum) {
        orphans();
        expect = 0;
      }
      run.push_back(i);
      if (ordinal == 0 || ordinal > 20 || expect == 0) orphans();
      else --expect;
      continue;
    }
    if (!run.empty() && (expect != 0 || NameSum(e) != sum)) orphans();
    std::vector<size_t> named;
    named.swap(run);
    uint8_t name[11];
    memcpy(name, e, 11);
    CheckEntry(e, sectors[i / kEntriesPerSector], uint32_t(i % kEntriesPerSector) * kDirEntryBytes, path,
               folder, !named.empty(), names, below);
    if (memcmp(name, e, 11) != 0) drop(named);  // renamed or removed: its long name goes too
  }
  orphans();
  for (size_t i = 0; i < sectors.size(); ++i) {
    if (memcmp(buf.data() + i * 512, before.data() + i * 512, 512) == 0) continue;
    auto& s = edited_[sectors[i]];
    s.assign(buf.begin() + long(i * 512), buf.begin() + long(i * 512 + 512));
  }
}

void FatChecker::Rename(uint8_t* e, std::set<std::string>& names) {
  // FSCK0000.000, FSCK0000.001 ...: the names another checker gives.
  for (uint32_t n = 0; n < 10000000; ++n) {
    char name[12];
    snprintf(name, sizeof name, "FSCK%04u%03u", n / 1000, n % 1000);
    if (names.count(std::string(name, 11))) continue;
    memcpy(e, name, 11);
    return;
  }
}

// How many of the two entries a folder starts with, "." and "..", the
// cluster's first sector holds (-1 when it cannot be read).
int FatChecker::Dots(uint32_t cluster) {
  uint8_t s[512];
  if (!ReadSectors(SectorOf(cluster), 1, s)) return -1;
  int n = 0;
  for (int i = 0; i < 2; ++i)
    if (memcmp(s + i * kDirEntryBytes, i ? kDotDot : kDot, 11) == 0 && (s[i * kDirEntryBytes + kDirAttr] & kAttrDirectory))
      ++n;
  return n;
}

void FatChecker::CheckEntry(uint8_t* e, uint32_t sector, uint32_t offset, const std::string& parent,
                            const Folder& folder, bool longName, std::set<std::string>& names,
                            std::vector<Folder>& below) {
  std::string path = Child(parent, e);
  if (BadName(e, longName)) {
    e[12] &= uint8_t(~0x20);
    Rename(e, names);
    Fault(path, "invalid name; renamed %s", Child(parent, e).c_str());
    path = Child(parent, e);
  }
  if (names.count(std::string(reinterpret_cast<char*>(e), 11))) {
    Rename(e, names);
    Fault(path, "a second entry of this name; renamed %s", Child(parent, e).c_str());
    path = Child(parent, e);
  }
  names.insert(std::string(reinterpret_cast<char*>(e), 11));
  const uint32_t start = bytes::Get16(e + kDirFirstCluster);
  const uint32_t size = bytes::Get32(e + kDirFileSize);
  const int id = int(objects_.size());
  bool dir = (e[kDirAttr] & kAttrDirectory) != 0;
  // An attribute byte that lies: an empty file whose clusters hold a
  // folder's "." and "..", or a folder whose clusters hold neither. The
  // clusters say what the entry is.
  bool wholeChain = false;
  if (InRange(start) && owner_[start] == 0 && next_[start] != 0 && next_[start] != bad_ &&
      start != folder.first && (dir || size == 0)) {
    int dots = Dots(start);
    if (failed_) return;
    if (!dir && dots == 2) {
      Fault(path, "a file entry for a folder; made a folder again");
      e[kDirAttr] |= kAttrDirectory;
      dir = true;
    } else if (dir && dots == 0) {
      Fault(path, "a folder entry for what is no folder; made a file");
      e[kDirAttr] &= uint8_t(~kAttrDirectory);
      dir = false;
      wholeChain = true;
    }
  }
  objects_.push_back({path, dir, sector, offset});
  if (dir) {
    if (size != 0) {
      Fault(path, "a folder with a size of %u bytes; set to 0", size);
      bytes::Put32(e + kDirFileSize, 0);
    }
    const char* why = nullptr;
    std::string other;
    if (start == 0 || start == folder.first) {
      why = start == 0 ? "the root" : "the folder holding it";
    } else if (!InRange(start)) {
      why = "a cluster outside the partition";
    } else if (owner_[start] > 0) {
      other = objects_[owner_[start] - 1].path;
      why = other.c_str();
    } else if (next_[start] == 0 || next_[start] == bad_) {
      why = next_[start] == 0 ? "a free cluster" : "a bad cluster";
    }
    if (why) {
      // A folder reached a second time, or none at all: the entry goes
      // (its clusters, when it had its own, are kept as lost chains).
      Fault(path, "a folder entry leading to %s; removed", why);
      e[0] = kEntryDeleted;
      return;
    }
    ++dirs_;
    dirClusters_ += Claim(id, start, UINT32_MAX, e);
    below.push_back({start, folder.first, id});
    return;
  }
  if (start != 0 && !InRange(start)) {
    Fault(path, "starts at cluster %u, outside the partition; emptied", start);
    bytes::Put16(e + kDirFirstCluster, 0);
    bytes::Put32(e + kDirFileSize, 0);
    ++files_;
    return;
  }
  ++files_;
  if (start == 0) {
    if (size != 0) {
      Fault(path, "a size of %u bytes without clusters; set to 0", size);
      bytes::Put32(e + kDirFileSize, 0);
    }
    return;
  }
  if (wholeChain) {
    // The file holds its whole chain.
    uint32_t n = Claim(id, start, UINT32_MAX, e);
    bytes::Put32(e + kDirFileSize, uint32_t(std::min<uint64_t>(uint64_t(n) * clusterBytes_, 0xFFFFFFFFu)));
    fileClusters_ += n;
    return;
  }
  fileClusters_ += Claim(id, start, uint32_t((uint64_t(size) + clusterBytes_ - 1) / clusterBytes_), e);
}

// Takes the chain from first for object, up to need clusters, cutting it
// where it is damaged. The clusters taken.
uint32_t FatChecker::Claim(int object, uint32_t first, uint32_t need, uint8_t* e) {
  const Object& o = objects_[object];
  const int32_t id = object + 1;
  uint32_t c = first, prev = 0, count = 0;
  auto cut = [&] {
    if (prev)
      next_[prev] = 0xFFFF;
    else
      bytes::Put16(e + kDirFirstCluster, 0);
  };
  bool copying = false;
  for (;;) {
    uint32_t v = next_[c];
    if (v == 0 || v == bad_) {
      Fault(o.path, "the chain runs into the %s cluster %u; cut there", v ? "bad" : "free", c);
      cut();
      break;
    }
    if (owner_[c] == id) {
      Fault(o.path, "the chain loops back to cluster %u; cut there", c);
      cut();
      break;
    }
    if (count == need) {
      Fault(o.path, "the chain is longer than the size; cut after %u clusters", count);
      cut();
      break;
    }
    if (owner_[c] != 0) {
      std::string other = owner_[c] > 0 ? objects_[owner_[c] - 1].path : "\\";
      if (o.dir || need == UINT32_MAX) {  // a folder, or a file sized by its chain
        Fault(o.path, "shares cluster %u with %s; cut there", c, other.c_str());
        cut();
      } else {
        Fault(o.path, "shares cluster %u with %s; given copies", c, other.c_str());
        copies_.push_back({object, prev, c, need - count, uint32_t(owner_[c])});
        copying = true;
      }
      break;
    }
    owner_[c] = id;
    ++count;
    prev = c;
    if (IsEnd(v)) break;
    c = v;  // in range: links outside it were made end marks
  }
  if (!o.dir && !copying && count < need && need != UINT32_MAX) {
    uint32_t size = bytes::Get32(e + kDirFileSize);
    uint32_t holds = uint32_t(std::min<uint64_t>(uint64_t(count) * clusterBytes_, size));
    Fault(o.path, "a size of %u bytes, its chain holds %u; size set to that", size, holds);
    bytes::Put32(e + kDirFileSize, holds);
  }
  return count;
}

uint32_t FatChecker::TakeFree() {
  for (; freeCursor_ < clusters_ + 2; ++freeCursor_)
    if (next_[freeCursor_] == 0 && owner_[freeCursor_] == 0) return freeCursor_++;
  return 0;
}

// Cross-linked files get their own copies of the shared clusters, as far
// as their sizes need; without room, a file keeps what it has so far.
void FatChecker::GiveCopies() {
  const uint32_t spc = p_->sectorsPerCluster;
  for (const CopyJob& job : copies_) {
    const int32_t id = job.object + 1;
    std::vector<uint32_t> tail;
    std::set<uint32_t> seen;
    for (uint32_t c = job.shared; tail.size() < job.count && InRange(c) && next_[c] != 0 &&
                                  next_[c] != bad_ && seen.insert(c).second;) {
      tail.push_back(c);
      if (IsEnd(next_[c])) break;
      c = next_[c];
    }
    uint32_t prev = job.prev, got = 0;
    if (repair_ && p_->usable) {
      for (uint32_t c : tail) {
        uint32_t n = TakeFree();
        if (n == 0) {
          ++unrepaired_;
          break;
        }
        // Data first: the new cluster is free on the device until the FAT
        // is written.
        if (!ReadSectors(SectorOf(c), spc, reinterpret_cast<uint8_t*>(f_.stage_))) return;
        f_.pendStart = SectorOf(n);
        f_.pendCount = spc;
        f_.pendBuffer = f_.stage_;
        if (f_.WriteData() != 0) {
          failed_ = true;
          return;
        }
        owner_[n] = id;
        next_[n] = 0xFFFF;
        if (prev)
          next_[prev] = n;
        else
          SetStart(job.object, n);
        prev = n;
        ++got;
      }
      if (got == 0) {
        if (job.prev)
          next_[job.prev] = 0xFFFF;
        else
          SetStart(job.object, 0);
      }
      fileClusters_ += got;
    } else {
      got = uint32_t(tail.size());
    }
    if (got < job.count) {
      // The file keeps its own clusters before the shared one and the
      // copies made: its size becomes what they hold.
      uint8_t s[512];
      if (!View(objects_[job.object].sector, s)) return;
      uint32_t size = bytes::Get32(s + objects_[job.object].offset + kDirFileSize);
      uint64_t need = (uint64_t(size) + clusterBytes_ - 1) / clusterBytes_;
      uint64_t have = need - job.count + got;
      uint32_t holds = uint32_t(std::min<uint64_t>(have * clusterBytes_, size));
      if (got < tail.size())
        Fault(objects_[job.object].path, "no room for copies; size set to %u bytes", holds);
      else
        Fault(objects_[job.object].path, "a size of %u bytes, its chain holds %u; size set to that",
              size, holds);
      SetSize(job.object, holds);
    }
  }
}

// Clusters in use that no entry reaches, gathered into chains: from each
// cluster no other lost cluster links to, then what is left (loops).
void FatChecker::CollectLost() {
  std::vector<uint8_t> linked(clusters_ + 2, 0);
  for (uint32_t c = 2; c < clusters_ + 2; ++c) {
    if (!Lost(c)) continue;
    uint32_t v = next_[c];
    if (!IsEnd(v) && InRange(v) && Lost(v)) linked[v] = 1;
  }
  auto chain = [&](uint32_t head) {
    uint32_t n = 0;
    for (uint32_t c = head;;) {
      owner_[c] = -1;
      ++n;
      uint32_t v = next_[c];
      if (IsEnd(v)) break;
      if (!InRange(v) || !Lost(v)) {
        next_[c] = 0xFFFF;  // the chain ends here, or loops
        break;
      }
      c = v;
    }
    lostHeads_.push_back(head);
    lostLengths_.push_back(n);
    lostClusters_ += n;
    ++lostChains_;
  };
  for (uint32_t c = 2; c < clusters_ + 2; ++c)
    if (Lost(c) && !linked[c]) chain(c);
  for (uint32_t c = 2; c < clusters_ + 2; ++c)
    if (Lost(c)) chain(c);
  if (lostClusters_)
    Fault("\\", "%u lost clusters in %u chains", lostClusters_, lostChains_);
}

// Makes the folder \FOUND.nnn with a file FILEnnnn.CHK for each lost chain
// (at most 10,000). False when there is no room for it.
bool FatChecker::MakeFound() {
  const uint32_t root = p_->startSector + p_->reservedSectors + p_->sectorsPerFat * p_->fatCount;
  std::set<std::string> names;
  uint32_t slotSector = 0, slotOffset = 0;
  bool haveSlot = false;
  uint8_t s[512];
  for (uint32_t i = 0; i < p_->rootEntries / 16; ++i) {
    if (!View(root + i, s)) return false;
    for (uint32_t o = 0; o < 512; o += kDirEntryBytes) {
      if ((s[o] == kEntryEnd || s[o] == kEntryDeleted)) {
        if (!haveSlot) slotSector = root + i, slotOffset = o, haveSlot = true;
        continue;
      }
      names.insert(std::string(reinterpret_cast<char*>(s + o), 11));
    }
  }
  char name[12] = {};
  for (uint32_t n = 0; n < 1000 && !name[0]; ++n) {
    snprintf(name, sizeof name, "FOUND   %03u", n);
    if (names.count(std::string(name, 11))) name[0] = 0;
  }
  const uint32_t chains = std::min<uint32_t>(lostChains_, 10000);
  const uint32_t need = uint32_t((uint64_t(chains) + 2) * kDirEntryBytes + clusterBytes_ - 1) / clusterBytes_;
  std::vector<uint32_t> taken;
  while (haveSlot && name[0] && taken.size() < need) {
    uint32_t c = TakeFree();
    if (c == 0) break;
    taken.push_back(c);
  }
  if (taken.size() < need) {
    Fault("\\", "no room for a FOUND folder; the lost clusters stay");
    for (uint32_t c : taken) owner_[c] = 0;
    return false;
  }
  std::vector<uint8_t> data(size_t(need) * clusterBytes_, 0);
  DotEntry(data.data(), kDot, taken[0]);
  DotEntry(data.data() + kDirEntryBytes, kDotDot, 0);
  for (uint32_t i = 0; i < chains; ++i) {
    char file[12];
    snprintf(file, sizeof file, "FILE%04uCHK", i);
    f_.curPart->currentEntry = data.data() + (i + 2) * kDirEntryBytes;
    uint64_t bytes = uint64_t(lostLengths_[i]) * clusterBytes_;
    f_.FillEntry(kAttrArchive, file, uint32_t(std::min<uint64_t>(bytes, 0xFFFFFFFFu)), lostHeads_[i]);
  }
  for (size_t i = 0; i < taken.size(); ++i) {
    owner_[taken[i]] = -1;
    next_[taken[i]] = i + 1 < taken.size() ? taken[i + 1] : 0xFFFF;
    f_.pendStart = SectorOf(taken[i]);
    f_.pendCount = p_->sectorsPerCluster;
    f_.pendBuffer = reinterpret_cast<char*>(data.data() + i * clusterBytes_);
    if (f_.WriteData() != 0) {
      failed_ = true;
      return false;
    }
  }
  uint8_t* e = Edit(slotSector);
  if (!e) return false;
  f_.curPart->currentEntry = e + slotOffset;
  f_.FillEntry(kAttrDirectory, name, 0, taken[0]);
  if (chains < lostChains_) ++unrepaired_;
  ++dirs_;
  dirClusters_ += need;
  files_ += chains;
  for (uint32_t i = 0; i < chains; ++i) fileClusters_ += lostLengths_[i];
  Say("%u lost chains kept as \\FOUND.%s\\FILE0000.CHK ...\n", chains, name + 8);
  return true;
}

bool FatChecker::Commit() {
  for (uint32_t c = 2; c < clusters_ + 2; ++c)
    if (f_.NextFatEntry(c) != (p_->fatWidth == 16 ? next_[c] : next_[c] & 0xFFF)) f_.SetFatEntry(c, next_[c]);
  if (f_.CommitFat() != 0) {
    int err = f_.lastError;
    f_.RollBackFat();
    f_.CommitFat();
    f_.lastError = err;
    return false;
  }
  committed_ = true;
  for (auto& [sector, bytes] : edited_) {
    f_.pendStart = sector;
    f_.pendCount = 1;
    f_.pendBuffer = reinterpret_cast<char*>(bytes.data());
    if (f_.UpdateEntry() != 0) return false;
  }
  // A current folder that is no longer one of the disk's folders is left.
  uint32_t cur = p_->currentDir;
  if (cur != 0 && (!InRange(cur) || owner_[cur] <= 0 || !objects_[owner_[cur] - 1].dir))
    f_.ChangeRootDirectory();
  return true;
}

int FAT_DEVICE::CheckDisk(int disk, int part, bool repair) {
  if (disk < 0 || disk >= kFatDisks || part < 0 || part >= kFatParts) {
    lastError = -2;
    return -1;
  }
  const int savedDisk = curDisk_, savedPart = curPartIndex;
  file_system_switch_to(disk, part);
  int r;
  if (part == kReservedSlot || !Ready()) {
    if (!host::HasReason()) host::SetReason("partition %c: holds no FAT file system", char('C' + part));
    if (lastError == 0) lastError = -2;
    r = -1;
  } else {
    r = FatChecker(*this, repair, false).Run();
    // A repair is checked again: what it leaves must be sound.
    if (repair && r == 1 && FatChecker(*this, false, true).Run() != 1) {
      host::Print("Errors remain after the repair\n");
      r = -1;
    }
    if (r != 1 && lastError != -1) lastError = -3;
  }
  // The check used the entry pointer on buffers of its own.
  curPart->currentEntry = curPart->dirSector;
  file_system_switch_to(savedDisk, savedPart);
  return r;
}
