// Held directories (one read per directory and command, lookups from
// memory) and group commits of many files. See dir_index.h.

#include "tervlink/fat_device/dir_index.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"
#include "tervlink/host/host.h"

using namespace fatfmt;
using fatdir::Mirror;

namespace {

constexpr uint32_t kMaxRunSectors = 2048;  // one transfer, the size of FAT_DEVICE::stage_
// Clean sectors between two staged ones that a commit writes along (they
// hold what the device holds) rather than starting another request.
constexpr uint32_t kMaxCleanGap = 32;
constexpr uint8_t kAttrLongName = 0x0F;

bool Live(uint8_t first) { return first != kEntryEnd && first != kEntryDeleted; }

// The key of an entry text: folded as name matching compares.
std::string TextKey(const char* text) {
  std::string key(text);
  FoldCase(key.data(), key.size());
  return key;
}

std::string EntryKey(const uint8_t* e) {
  char text[14];
  EntryText(e, text);
  return TextKey(text);
}

// Absolute sector of sector index i of a mirror.
uint32_t MirrorSector(const Mirror* m, uint32_t i) {
  if (m->dir == 0) return m->rootFirst + i;
  const _PART_INFO* p = m->part;
  uint32_t spc = p->sectorsPerCluster;
  return (m->clusters[i / spc] - 2) * spc + p->firstDataSector + i % spc;
}

}  // namespace

uint32_t FAT_DEVICE::ChainWalk(unsigned start, uint32_t limit, std::vector<uint32_t>* clusters,
                               unsigned* last) {
  memset(seen_, 0, sizeof seen_);
  if (clusters) clusters->clear();
  unsigned c = start;
  uint32_t n = 0;
  for (;;) {
    seen_[c >> 3] |= uint8_t(1u << (c & 7));
    ++n;
    if (clusters) clusters->push_back(c);
    if (n > limit) break;
    unsigned next = NextFatEntry(c);
    if (CheckEndCluster(next) == 0 || !IsValidCluster(next) || (seen_[next >> 3] >> (next & 7)) & 1)
      break;
    c = next;
  }
  if (last) *last = c;
  return n;
}

int FAT_DEVICE::CurrentMirror(Mirror** out) {
  fatdir::State& st = *dirs_;
  const uint32_t dir = curPart->currentDir;
  const uint32_t perCluster = 16 * curPart->sectorsPerCluster;
  const uint32_t limit = fatdir::kMaxDirEntries / perCluster;
  for (size_t i = 0; i < st.mirrors.size(); ++i) {
    Mirror* m = st.mirrors[i].get();
    if (m->part != curPart || m->dir != dir) continue;
    if (dir != 0 && m->fatStamp != fatStamp_) {
      // The FAT changed since: the chain must still be the one held.
      std::vector<uint32_t> now;
      if (!IsValidCluster(dir) || ChainWalk(dir, limit, &now, nullptr) != m->clusters.size() ||
          now != m->clusters) {
        DropMirror(i);
        break;
      }
      m->fatStamp = fatStamp_;
    }
    m->lastUse = ++st.uses;
    *out = m;
    return 1;
  }
  return NewMirror(nullptr, out);
}

int FAT_DEVICE::NewMirror(const uint8_t* known, Mirror** out) {
  fatdir::State& st = *dirs_;
  const uint32_t dir = curPart->currentDir;
  const uint32_t perCluster = 16 * curPart->sectorsPerCluster;
  const uint32_t limit = fatdir::kMaxDirEntries / perCluster;
  auto m = std::make_unique<Mirror>();
  m->part = curPart;
  m->disk = curDisk_;
  m->dir = dir;
  uint32_t entries;
  if (dir == 0) {
    entries = curPart->rootEntries / 16 * 16;
    m->rootFirst = curPart->startSector + curPart->reservedSectors +
                   curPart->sectorsPerFat * curPart->fatCount;
  } else {
    if (!IsValidCluster(dir)) {
      lastError = -3;
      return -1;
    }
    uint32_t n = ChainWalk(dir, limit, &m->clusters, nullptr);
    if (n > limit) return 0;  // longer than a directory may be: walked entry by entry
    entries = n * perCluster;
    for (uint32_t k = 0; k < n; ++k) m->byCluster.emplace_back(m->clusters[k], k);
    std::sort(m->byCluster.begin(), m->byCluster.end());
  }
  m->fatStamp = fatStamp_;
  m->staged.assign(entries / 16, 0);
  if (known) {
    if (m->clusters.size() != 1) return 0;  // only a directory of one cluster is made so
    m->bytes.assign(known, known + size_t(entries) * kDirEntryBytes);
  } else {
    m->bytes.assign(size_t(entries) * kDirEntryBytes, 0);
    if (ReadMirror(m.get()) != 0) return -1;
  }
  IndexMirror(m.get());
  // Room for it: the least recently used mirrors without staged entries go.
  size_t total = m->bytes.size();
  for (auto& h : st.mirrors) total += h->bytes.size();
  while (st.mirrors.size() >= fatdir::kMaxMirrors || total > fatdir::kMirrorBudget) {
    size_t victim = st.mirrors.size();
    for (size_t i = 0; i < st.mirrors.size(); ++i)
      if (!st.mirrors[i]->anyStaged &&
          (victim == st.mirrors.size() || st.mirrors[i]->lastUse < st.mirrors[victim]->lastUse))
        victim = i;
    if (victim == st.mirrors.size()) break;
    total -= st.mirrors[victim]->bytes.size();
    DropMirror(victim);
  }
  m->lastUse = ++st.uses;
  *out = m.get();
  st.mirrors.push_back(std::move(m));
  return 1;
}

// Reads the directory in runs of contiguous sectors. 0, or -1 (last error
// -1) when a read failed.
int FAT_DEVICE::ReadMirror(Mirror* m) {
  const uint32_t sectors = m->Sectors();
  for (uint32_t i = 0; i < sectors;) {
    uint32_t at = MirrorSector(m, i), run = 1;
    while (i + run < sectors && run < kMaxRunSectors && MirrorSector(m, i + run) == at + run) ++run;
    pendStart = at;
    pendCount = run;
    pendBuffer = reinterpret_cast<char*>(m->bytes.data()) + size_t(i) * 512;
    if (ReadData() != 0) return -1;
    i += run;
  }
  return 0;
}

void FAT_DEVICE::IndexMirror(Mirror* m) {
  const uint32_t entries = m->Entries();
  m->byText.reserve(entries);
  m->end = m->freeHint = entries;
  for (uint32_t slot = 0; slot < entries; ++slot) {
    uint8_t first = m->bytes[size_t(slot) * kDirEntryBytes];
    if (Live(first)) {
      IndexEntry(m, slot, true);
    } else {
      m->freeHint = std::min(m->freeHint, slot);
      if (first == kEntryEnd) m->end = std::min(m->end, slot);
    }
  }
}

void FAT_DEVICE::IndexEntry(Mirror* m, uint32_t slot, bool add) {
  std::string key = EntryKey(m->bytes.data() + size_t(slot) * kDirEntryBytes);
  if (add) {
    m->byText.emplace(std::move(key), slot);
    return;
  }
  auto [from, to] = m->byText.equal_range(key);
  for (auto it = from; it != to; ++it) {
    if (it->second == slot) {
      m->byText.erase(it);
      return;
    }
  }
}

Mirror* FAT_DEVICE::MirrorOfSector(uint32_t sector, uint32_t* index) {
  for (auto& h : dirs_->mirrors) {
    Mirror* m = h.get();
    if (m->part != curPart) continue;
    if (m->dir == 0) {
      if (sector >= m->rootFirst && sector - m->rootFirst < m->Sectors()) {
        *index = sector - m->rootFirst;
        return m;
      }
      continue;
    }
    const uint32_t spc = curPart->sectorsPerCluster;
    if (sector < curPart->firstDataSector) continue;
    uint32_t cluster = (sector - curPart->firstDataSector) / spc + 2;
    auto it = std::lower_bound(m->byCluster.begin(), m->byCluster.end(),
                               std::make_pair(cluster, uint32_t(0)));
    if (it == m->byCluster.end() || it->first != cluster) continue;
    *index = it->second * spc + (sector - curPart->firstDataSector) % spc;
    return m;
  }
  return nullptr;
}

void FAT_DEVICE::PutMirrorSector(Mirror* m, uint32_t index, const uint8_t* data, bool stage) {
  uint8_t* sector = m->bytes.data() + size_t(index) * 512;
  for (uint32_t k = 0; k < 16; ++k) {
    uint32_t slot = index * 16 + k;
    uint8_t* was = sector + k * kDirEntryBytes;
    const uint8_t* now = data + k * kDirEntryBytes;
    bool liveWas = Live(was[0]), liveNow = Live(now[0]);
    bool sameName = memcmp(was, now, 11) == 0;
    if (liveWas && (!liveNow || !sameName)) IndexEntry(m, slot, false);
    memcpy(was, now, kDirEntryBytes);
    if (liveNow && (!liveWas || !sameName)) IndexEntry(m, slot, true);
    if (!liveNow) m->freeHint = std::min(m->freeHint, slot);
    if (now[0] == kEntryEnd) m->end = std::min(m->end, slot);
  }
  // An end marker filled: the directory now reaches to the next one.
  while (m->end < m->Entries() && m->bytes[size_t(m->end) * kDirEntryBytes] != kEntryEnd) ++m->end;
  if (stage) {
    m->staged[index] = 1;
    m->anyStaged = true;
  }
}

void FAT_DEVICE::DropMirror(size_t i) {
  fatdir::State& st = *dirs_;
  bool staged = st.mirrors[i]->anyStaged;
  st.mirrors.erase(st.mirrors.begin() + ptrdiff_t(i));
  // Staged entries that will never be written: their files are lost.
  if (staged) LoseGroup();
}

void FAT_DEVICE::ForgetMirrors(int disk) {
  fatdir::State& st = *dirs_;
  if (st.committing) return;  // the commit sorts out what it wrote itself
  if (GroupOpen() && (disk < 0 || st.groupDisk == disk)) LoseGroup();
  for (size_t i = st.mirrors.size(); i-- > 0;)
    if (disk < 0 || st.mirrors[i]->disk == disk) st.mirrors.erase(st.mirrors.begin() + ptrdiff_t(i));
}

void FAT_DEVICE::ForgetDirectories() {
  SettleGroup();  // a failure leaves its lost files for TakeLostFiles
  ForgetMirrors(-1);
  EndReadAhead();
}

void FAT_DEVICE::MirrorsOverwritten(uint32_t first, uint32_t count) {
  fatdir::State& st = *dirs_;
  if (st.committing || count == 0) return;
  const uint64_t end = uint64_t(first) + count;
  auto overwritten = [&](const Mirror* m) {
    if (m->disk != curDisk_) return false;
    if (m->dir == 0) return first < uint64_t(m->rootFirst) + m->Sectors() && m->rootFirst < end;
    const _PART_INFO* p = m->part;
    if (end <= p->firstDataSector) return false;
    uint32_t from = std::max(first, p->firstDataSector);
    uint32_t c0 = (from - p->firstDataSector) / p->sectorsPerCluster + 2;
    uint64_t c1 = (end - 1 - p->firstDataSector) / p->sectorsPerCluster + 2;
    auto it = std::lower_bound(m->byCluster.begin(), m->byCluster.end(),
                               std::make_pair(c0, uint32_t(0)));
    return it != m->byCluster.end() && it->first <= c1;
  };
  // Dropping one may drop others (a lost group takes its staged mirrors).
  for (size_t i = 0; i < st.mirrors.size();) {
    if (overwritten(st.mirrors[i].get())) {
      DropMirror(i);
      i = 0;
    } else {
      ++i;
    }
  }
}

int FAT_DEVICE::FindIndexed(const char* pattern, uint32_t from, uint32_t* slot) {
  if (!*pattern || strpbrk(pattern, "*?,")) return -1;
  Mirror* m;
  if (CurrentMirror(&m) != 1) return -1;
  uint32_t best = UINT32_MAX;
  auto [lo, hi] = m->byText.equal_range(TextKey(pattern));
  for (auto it = lo; it != hi; ++it) {
    uint32_t s = it->second;
    const uint8_t* e = m->bytes.data() + size_t(s) * kDirEntryBytes;
    if (s < from || s >= m->end || s >= best || e[kDirAttr] == kAttrLongName) continue;
    char text[14];
    EntryText(e, text);
    if (MatchPattern(pattern, text)) best = s;
  }
  if (best == UINT32_MAX) return 0;
  *slot = best;
  return 1;
}

// ---- the open group of file writes ---------------------------------------------

bool FAT_DEVICE::GroupOpen() const { return dirs_ && !dirs_->files.empty(); }

void FAT_DEVICE::BeginFileGroup() {
  fatdir::State& st = *dirs_;
  SettleGroup();
  st.grouping = true;
  st.groupPart = curPart;
  st.groupDisk = curDisk_;
  st.undo.assign(curPart->fat, curPart->fat + size_t(curPart->sectorsPerFat) * 512);
}

int FAT_DEVICE::EndFileGroup() {
  int r = SettleGroup() ? 0 : -1;
  dirs_->grouping = false;
  return r;
}

std::vector<std::string> FAT_DEVICE::TakeLostFiles() {
  std::vector<std::string> lost;
  lost.swap(dirs_->lost);
  return lost;
}

bool FAT_DEVICE::GroupRoomFor(uint64_t size) {
  fatdir::State& st = *dirs_;
  if (GroupOpen() &&
      (st.groupPart != curPart || st.files.size() >= fatdir::kGroupFiles ||
       st.groupBytes + size > fatdir::kGroupBytes ||
       host::SteadyMs() - st.groupStart >= fatdir::kGroupMs) &&
      CommitGroup() != 0)
    return false;
  st.groupPart = curPart;
  st.groupDisk = curDisk_;
  return true;
}

int FAT_DEVICE::GroupHold(uint32_t size, uint64_t bytes, char** at) {
  fatdir::State& st = *dirs_;
  *at = nullptr;
  if (bytes > fatdir::kHoldBytes) return 0;
  if (!st.data) st.data = host::NewTransferBuffer(fatdir::kHoldBytes);
  if (!st.data) return 0;  // no memory: the data goes to the device at once
  // What is held goes to the device first, ahead of the group's FAT all
  // the same. A failure loses the group (the device failure did already).
  if (st.heldBytes + bytes > fatdir::kHoldBytes && !WriteGroupData()) {
    LoseGroup();
    return -1;
  }
  *at = st.data.get() + st.heldBytes;
  memset(*at + size, 0, size_t(bytes - size));
  return 0;
}

int FAT_DEVICE::StageFile(const OldEntry* old, const char* name11, uint32_t size, unsigned first,
                          const EntryTime* when, bool held) {
  fatdir::State& st = *dirs_;
  char name[11];
  if (old) {
    // The entry of the file replaced: from memory, where nothing moved it.
    if (LoadDirEntry(old->slot) != 0) {
      RollBackFat();
      return -1;
    }
    memcpy(name, curPart->currentEntry + kDirName, 11);
  } else {
    if (FindFreeSlot() != 0) {
      RollBackFat();
      return -1;
    }
    memcpy(name, name11, 11);
  }
  FillEntry(kAttrArchive, name, size, first, when);
  if (StageEntry() != 0) {
    RollBackFat();
    return -1;
  }
  fatdir::GroupFile f;
  char text[14];
  EntryText(curPart->currentEntry, text);
  f.text = text;
  f.part = curPart;
  f.dir = curPart->currentDir;
  f.slot = curSlot_;
  f.size = size;
  f.held = held ? st.heldBytes : fatdir::kNotHeld;
  f.first = first;
  f.oldFirst = old ? old->first : 0;
  f.replaces = old != nullptr;
  uint64_t now = host::SteadyMs();
  if (st.files.empty()) st.groupStart = now;
  st.files.push_back(std::move(f));
  const uint64_t bytes = WholeClusters(size);
  st.groupBytes += bytes;
  if (held) st.heldBytes += bytes;
  if (st.files.size() < fatdir::kGroupFiles && st.groupBytes < fatdir::kGroupBytes &&
      now - st.groupStart < fatdir::kGroupMs)
    return 0;
  // A bound reached: the group is committed now. Should that lose this
  // file, its failure is this call's, not one to report apart.
  size_t before = st.lost.size();
  if (CommitGroup() == 0 || st.lost.size() == before || st.lost.back() != text) return 0;
  st.lost.pop_back();
  return -1;
}

bool FAT_DEVICE::SettleGroup() { return !GroupOpen() || CommitGroup() == 0; }

void FAT_DEVICE::LoseGroup() {
  fatdir::State& st = *dirs_;
  if (st.files.empty()) return;
  for (const fatdir::GroupFile& f : st.files) st.lost.push_back(f.text);
  st.files.clear();
  st.groupBytes = st.heldBytes = 0;
  // The FAT image as last committed: none of the group's chains, nor the
  // clusters its directories grew by, was ever on the device.
  _PART_INFO* p = st.groupPart;
  RestoreFat(p, st.undo.data());
  NewFatImage(p);  // a handle's deferred chain is gone with the group's
  if (p == curPart) memcpy(fatUndo_, st.undo.data(), st.undo.size());
  for (size_t i = st.mirrors.size(); i-- > 0;)
    if (st.mirrors[i]->anyStaged) st.mirrors.erase(st.mirrors.begin() + ptrdiff_t(i));
}

bool FAT_DEVICE::WriteStaged() {
  fatdir::State& st = *dirs_;
  for (auto& h : st.mirrors) {
    Mirror* m = h.get();
    if (m->part != st.groupPart || !m->anyStaged) continue;
    const uint32_t sectors = m->Sectors();
    for (uint32_t i = 0; i < sectors;) {
      if (!m->staged[i]) {
        ++i;
        continue;
      }
      // A run ends at its last staged sector; clean sectors inside it hold
      // what the device holds.
      uint32_t at = MirrorSector(m, i), run = 1, last = i;
      for (uint32_t j = i + 1; j < sectors && j - i < kMaxRunSectors && j - last <= kMaxCleanGap &&
                               MirrorSector(m, j) == at + (j - i);
           ++j)
        if (m->staged[j]) last = j;
      run = last - i + 1;
      pendStart = at;
      pendCount = run;
      pendBuffer = reinterpret_cast<char*>(m->bytes.data()) + size_t(i) * 512;
      if (WriteData() != 0) return false;
      std::fill(m->staged.begin() + i, m->staged.begin() + i + run, 0);
      i += run;
    }
    m->anyStaged = false;
  }
  return true;
}

bool FAT_DEVICE::WriteGroupData() {
  static_assert(fatdir::kHoldBytes <= sizeof stage_, "a verified run is read back whole");
  fatdir::State& st = *dirs_;
  const uint32_t spc = curPart->sectorsPerCluster;
  const uint64_t clusterBytes = uint64_t(spc) * 512;
  // The run being gathered: device sectors and the held bytes they take.
  uint32_t start = 0, count = 0;
  char* from = nullptr;
  auto flush = [&] {
    if (count == 0) return true;
    pendStart = start;
    pendCount = count;
    pendBuffer = from;
    count = 0;
    return WriteData() == 0;
  };
  for (const fatdir::GroupFile& f : st.files) {
    if (f.held == fatdir::kNotHeld) continue;  // on the device already
    const uint64_t clusters = WholeClusters(f.size) / clusterBytes;
    unsigned c = f.first;
    for (uint64_t k = 0; k < clusters; ++k) {
      if (k > 0) c = NextFatEntry(c);
      if (!IsValidCluster(c)) {  // the chain StoreFile made for the size: never short
        lastError = -3;
        return false;
      }
      const uint32_t at = ClusterSector(c);
      char* bytes = st.data.get() + f.held + k * clusterBytes;
      // The files of a group mostly lie one after another, in memory and on
      // the device alike: one run (at most kHoldBytes, a transfer's length).
      if (count > 0 && at == start + count && bytes == from + size_t(count) * 512) {
        count += spc;
        continue;
      }
      if (!flush()) return false;
      start = at;
      count = spc;
      from = bytes;
    }
  }
  if (!flush()) return false;
  for (fatdir::GroupFile& f : st.files) f.held = fatdir::kNotHeld;
  st.heldBytes = 0;
  return true;
}

int FAT_DEVICE::CommitGroup() {
  fatdir::State& st = *dirs_;
  if (st.files.empty()) return 0;
  // The group is on the device's selected disk, or beyond reach.
  if (st.groupDisk != curDisk_) {
    LoseGroup();
    lastError = -1;
    return -1;
  }
  _PART_INFO* saved = curPart;
  const int savedIndex = curPartIndex;
  if (curPart != st.groupPart)
    file_system_switch_to(curDisk_, int(st.groupPart - disks[curDisk_].parts));
  st.committing = true;
  int result = 0;
  // The data first, then the FAT naming its chains, then the entries.
  if (!WriteGroupData() || CommitFat() != 0) {
    // No entry names the group's chains yet: the group is lost whole and
    // the FAT goes back to its last commit (a file it replaces keeps its
    // old chain and data).
    int err = lastError;
    st.committing = false;
    LoseGroup();
    CommitFat();
    ForgetMirrors(curDisk_);
    lastError = err;
    result = -1;
  } else {
    bool written = WriteStaged();
    int err = lastError;
    // Files whose entries reached the device are committed, and the files
    // they replace are freed; the others are lost, their chains given back.
    bool freed = false;
    for (const fatdir::GroupFile& f : st.files) {
      bool on = written;
      for (auto& h : st.mirrors)
        if (!written && h->part == f.part && h->dir == f.dir) on = h->staged[f.slot / 16] == 0;
      if (on && f.replaces) {
        FreeFatChain(f.oldFirst);
        freed = true;
      } else if (!on) {
        FreeFatChain(f.first);
        freed = true;
        st.lost.push_back(f.text);
      }
    }
    st.files.clear();
    st.groupBytes = st.heldBytes = 0;
    // A failure here leaves the image as it is, written whole by the next commit.
    if (freed) CommitFat();
    st.committing = false;
    if (!written) {
      ForgetMirrors(curDisk_);
      lastError = err;
      result = -1;
    }
  }
  st.undo.assign(curPart->fat, curPart->fat + size_t(curPart->sectorsPerFat) * 512);
  if (curPart != saved) file_system_switch_to(curDisk_, savedIndex);
  return result;
}
