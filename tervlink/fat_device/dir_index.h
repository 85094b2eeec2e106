// The directories a command works in, held whole in memory, and the open
// group of file writes whose entries wait there for their commit.
//
// A held directory (a "mirror") is read from the device once, in runs of
// contiguous sectors, and from then on every entry lookup, free-slot search
// and listing of it is served from memory: a name leads to its slots through
// a hash of the entries' texts, the first free slot and the end marker are
// kept as hints that only move forward over used entries. Every change the
// engine makes to a held directory goes through the mirror, so it stays
// what the device holds (or will hold once the open group is committed).
// A mirror is dropped when anything else may have changed its sectors: a
// direct write over them, a change of its chain in the FAT, a device
// failure, a reload of the disk, and ForgetDirectories (the shell's, before
// every command).
//
// Only FAT_DEVICE uses these records; the engine's member functions in
// dir_index.cc do the work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tervlink/fat_device.h"

namespace fatdir {

// The most entries a FAT directory may have; a longer chain (a damaged
// disk) is walked entry by entry through the sector cache, as before.
constexpr uint32_t kMaxDirEntries = 65536;
// Directories held at once, and their bytes together (a full directory is
// 2 MB). Mirrors holding staged entries are never evicted.
constexpr size_t kMaxMirrors = 8;
constexpr size_t kMirrorBudget = size_t(8) << 20;

// A group of file writes is committed when it holds this many files or
// bytes (its files' clusters counted whole), or when its first file was
// stored this long ago; a file that would take the group past the byte
// bound starts a new group.
constexpr uint32_t kGroupFiles = 64;
constexpr uint64_t kGroupBytes = uint64_t(4) << 20;
constexpr uint64_t kGroupMs = 250;
// The group's data waits in memory (State::data) for its commit, up to
// this much (the longest transfer); when a file would take it past that,
// what is held is written first (before the group's FAT all the same), and
// a larger file is written as it is read. Few pages to touch: the memory
// is faulted in once, and the bytes stay in the cache.
constexpr uint64_t kHoldBytes = uint64_t(1) << 20;
// GroupFile::held of a file whose data went to the device at once.
constexpr uint64_t kNotHeld = UINT64_MAX;

struct Mirror {
  _PART_INFO* part = nullptr;
  int disk = 0;
  uint32_t dir = 0;        // first cluster, 0 = root
  uint32_t rootFirst = 0;  // root: absolute first sector of the area
  // Subdirectory: its chain in order, and (cluster, ordinal) sorted by cluster.
  std::vector<uint32_t> clusters;
  std::vector<std::pair<uint32_t, uint32_t>> byCluster;
  std::vector<uint8_t> bytes;   // every entry, 32 bytes each
  std::vector<uint8_t> staged;  // per sector: 1 when it holds changes not yet written
  bool anyStaged = false;
  // Folded entry text -> slot, for every live entry (first byte neither 0
  // nor 0xE5), also those behind the end marker.
  std::unordered_multimap<std::string, uint32_t> byText;
  uint32_t end = 0;       // first entry whose first byte is 0; Entries() when none
  uint32_t freeHint = 0;  // every slot below it is in use
  uint64_t fatStamp = 0;  // FAT change count at which its chain was last checked
  uint64_t lastUse = 0;
  uint32_t Entries() const { return uint32_t(bytes.size() / 32); }
  uint32_t Sectors() const { return uint32_t(bytes.size() / 512); }
};

// A file stored in the open group: its data in State::data (or on the
// device already), its chain in the FAT image, its entry staged in a
// mirror.
struct GroupFile {
  std::string text;  // entry text, for the report of a lost file
  _PART_INFO* part = nullptr;
  uint32_t dir = 0;
  uint32_t slot = 0;
  uint32_t size = 0;
  uint64_t held = kNotHeld;  // where its data starts in State::data, its clusters whole
  unsigned first = 0;     // its chain
  unsigned oldFirst = 0;  // the chain of the file it replaces, freed once its entry is written
  bool replaces = false;
};

struct State {
  std::vector<std::unique_ptr<Mirror>> mirrors;
  uint64_t uses = 0;
  // The open group.
  bool grouping = false;
  bool committing = false;
  _PART_INFO* groupPart = nullptr;
  int groupDisk = 0;
  std::vector<GroupFile> files;
  uint64_t groupBytes = 0;  // its files' clusters, in bytes
  // The held data of the group's files not yet written, one after another,
  // each padded with zeros to the end of its last cluster (heldBytes in
  // all); kHoldBytes made on first use.
  std::unique_ptr<char[]> data;
  uint64_t heldBytes = 0;
  uint64_t groupStart = 0;  // host::SteadyMs() of its first file
  std::vector<uint8_t> undo;  // the FAT image at the last commit
  std::vector<std::string> lost;
};

}  // namespace fatdir
