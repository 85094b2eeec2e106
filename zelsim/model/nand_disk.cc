#include "nand_disk.h"

#include <algorithm>
#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/host/host.h"

namespace {

constexpr uint16_t kUnmapped = 0xFFFF;
constexpr size_t kFillChunk = 1 << 20;  // bytes written at a time when filling with 0xFF

}  // namespace

NandDisk::~NandDisk() {
  if (file_) fclose(file_);
}

bool NandDisk::Open(const std::string& path, bool mayCreate, const nand::NandChip& chip,
                    bool mlc, const std::vector<uint32_t>& badBlocks,
                    const std::string& eccPath, std::string& error) {
  chip_ = chip;
  geo_ = nand::Geometry::OfChip(chip, !mlc);
  // The boot area must fit in block 0, and a zone must keep a data block
  // beside the boot blocks.
  if (!geo_.Valid() || chip.blocks != geo_.PhysicalBlocks() || geo_.blocksPerZone > 0xFFFF ||
      geo_.sectorsPerBlock < nand::kBootSectors ||
      geo_.blocksPerZone < nand::CardInfoBlock(geo_) + 2) {
    error = std::string("chip ") + chip.partNumber + " has an unusable geometry";
    return false;
  }
  eccPath_ = eccPath;
  eccMethod_ = mlc ? kEccMlc : kEccSlc;

  if (!host::Stat(path.c_str()).exists) {
    if (!mayCreate) {
      error = "NAND file " + path + " does not exist";
      return false;
    }
    if (!CreateErased(path, error)) return false;
  }
  file_ = host::OpenFile(path.c_str(), "r+b");
  uint64_t length = 0;
  if (!file_ || !host::FileLength(file_, length)) {
    error = "cannot open NAND file " + path;
    return false;
  }
  if (length != geo_.FileBytes()) {
    error = "NAND file " + path + " has " + std::to_string(length) + " bytes; chip " +
            chip.partNumber + " needs " + std::to_string(geo_.FileBytes());
    return false;
  }

  if (FILE* f = host::OpenFile(eccPath.c_str(), "rb")) {
    uint8_t raw[4] = {};
    if (fread(raw, 1, 4, f) == 4) {
      int32_t m = int32_t(bytes::Get32(raw));
      if (m == kEccSlc || m == kEccMlc) eccMethod_ = m;
    }
    fclose(f);
  }

  Rebuild();
  for (uint32_t b : badBlocks)
    if (!MarkBad(b, error)) return false;
  erased_.assign(size_t(geo_.sectorsPerBlock) * nand::kRawSectorBytes, 0xFF);
  return true;
}

bool NandDisk::CreateErased(const std::string& path, std::string& error) {
  // Built under a temporary name, so that a kill during the fill never
  // leaves a short NAND file behind.
  std::string tmp = path + ".new";
  FILE* f = host::OpenFile(tmp.c_str(), "w+b");
  if (!f) {
    error = "cannot create NAND file " + path;
    return false;
  }
  std::vector<uint8_t> erased(kFillChunk, 0xFF);
  bool ok = true;
  for (uint64_t left = geo_.FileBytes(); ok && left > 0;) {
    size_t n = size_t(std::min<uint64_t>(left, erased.size()));
    ok = fwrite(erased.data(), 1, n, f) == n;
    left -= n;
  }
  // The card information sector opens the card information block of zone
  // 0, as in a built file (in the disk's layout, labelled with its block).
  if (ok && fflush(f) == 0) {
    file_ = f;
    uint32_t cardBlock = nand::CardInfoBlock(geo_);
    uint64_t p = nand::PhysicalSector(geo_, 0, cardBlock, 0);
    auto card = nand::CardInfoSector();
    auto spare = nand::DataSpare(cardBlock, geo_.slc);
    ok = WriteRaw(p, 1, geo_.slc, card.data(), spare.data(), true);
    file_ = nullptr;
  } else {
    ok = false;
  }
  ok = host::SyncFile(f) && ok;
  ok = fclose(f) == 0 && ok;
  if (!ok || host::RenameFile(tmp.c_str(), path.c_str()) != 0) {
    host::RemoveFile(tmp.c_str());
    error = "cannot create NAND file " + path;
    return false;
  }
  return true;
}

uint32_t NandDisk::RecordBlock() const {
  return nand::kBadInfoFirstSector % geo_.sectorsPerBlock == 0
             ? nand::kBadInfoFirstSector / geo_.sectorsPerBlock
             : 0;
}

bool NandDisk::IsReservedBlock(uint32_t zone, uint32_t b) const {
  return zone == 0 && b <= nand::CardInfoBlock(geo_);
}

bool NandDisk::SlcFor(uint64_t p) const {
  uint64_t g = p / geo_.sectorsPerBlock;
  // The boot pieces are always SLC; the card information block follows the
  // disk's layout, as the simulator build writes it.
  return (g < geo_.blocksPerZone && g < nand::CardInfoBlock(geo_)) || geo_.slc;
}

void NandDisk::Rebuild() {
  zones_.assign(geo_.zones, Zone{});
  for (uint32_t z = 0; z < geo_.zones; ++z) {
    Zone& zone = zones_[z];
    zone.map.assign(geo_.logicalBlocksPerZone, kUnmapped);
    zone.state.assign(geo_.blocksPerZone, State::kFree);
    zone.owner.assign(geo_.blocksPerZone, kUnmapped);
    for (uint32_t b = 0; b < geo_.blocksPerZone; ++b) {
      // The boot blocks of zone 0 are never data blocks and are always good;
      // their spares carry the words of logical blocks 0, 1 ..., so they
      // are not read here.
      if (IsReservedBlock(z, b)) {
        zone.state[b] = State::kReserved;
        continue;
      }
      uint64_t p = nand::PhysicalSector(geo_, z, b, 0);
      uint8_t spare[nand::kSpareBytes];
      if (!ReadSpare(p, spare, geo_.slc)) continue;
      if (nand::SpareMarksBad(std::span<const uint8_t, nand::kSpareBytes>(spare))) {
        zone.state[b] = State::kBad;
        continue;
      }
      if (b == 0) {
        zone.state[b] = State::kReserved;
        continue;
      }
      auto lb = nand::SpareLogicalBlock(std::span<const uint8_t, nand::kSpareBytes>(spare), geo_.slc);
      if (!lb || *lb >= geo_.logicalBlocksPerZone) continue;
      if (zone.map[*lb] != kUnmapped) {
        // Two blocks claim one logical block: the first keeps it; the other
        // is set aside, never reused, so that nothing of it is lost.
        host::PrintError("zelsim: zone %u blocks %u and %u both carry logical block %u; block %u is set aside",
                         z, zone.map[*lb], b, *lb, b);
        zone.state[b] = State::kReserved;
        continue;
      }
      zone.map[*lb] = uint16_t(b);
      zone.owner[b] = uint16_t(*lb);
      zone.state[b] = State::kMapped;
    }
  }
}

bool NandDisk::MarkBad(uint32_t block, std::string& error) {
  if (block >= geo_.PhysicalBlocks()) {
    error = "bad block " + std::to_string(block) + " is not on the chip";
    return false;
  }
  uint32_t z = block / geo_.blocksPerZone, b = block % geo_.blocksPerZone;
  Zone& zone = zones_[z];
  if (zone.state[b] == State::kBad) return true;
  if (IsReservedBlock(z, b)) {
    error = "block " + std::to_string(block) + " holds the boot area and cannot be bad";
    return false;
  }
  if (zone.state[b] == State::kMapped) {
    error = "block " + std::to_string(block) + " holds data of logical block " +
            std::to_string(zone.owner[b]) + " of zone " + std::to_string(z) +
            "; erase it before marking it bad";
    return false;
  }
  uint64_t p = nand::PhysicalSector(geo_, z, b, 0);
  uint8_t spare[nand::kSpareBytes];
  if (!ReadSpare(p, spare, geo_.slc)) {
    error = "cannot mark block " + std::to_string(block) + " bad";
    return false;
  }
  spare[nand::kSpareBlockStatus] = nand::kBadBlockMark;
  if (!WriteSpare(p, spare, geo_.slc)) {
    error = "cannot mark block " + std::to_string(block) + " bad";
    return false;
  }
  zone.state[b] = State::kBad;
  return true;
}

// ---- file access -------------------------------------------------------------
//
// A transfer of physical sectors moves whole pages with one positioned read
// or write: the pages are built in raw_ (data and spares at their places in
// the layout). A write of logical sectors (WriteSectors) gathers its pieces
// from where they lie instead, one positioned write for each stretch that
// lies together in the file. Either way a write is in the file (page cache)
// when it returns, and a kill loses nothing.

namespace {

uint64_t RoundUp(uint64_t v, uint32_t unit) { return (v + unit - 1) / unit * unit; }

}  // namespace

uint8_t* NandDisk::RawData(uint64_t base, uint64_t p, bool slc) {
  return raw_.data() + (nand::SectorDataOffset(geo_, p, slc) - base * nand::kRawSectorBytes);
}

uint8_t* NandDisk::RawSpare(uint64_t base, uint64_t p, bool slc) {
  return raw_.data() + (nand::SectorSpareOffset(geo_, p, slc) - base * nand::kRawSectorBytes);
}

bool NandDisk::LoadPages(uint64_t base, uint64_t from, uint64_t to) {
  // Pages [from, to) of the stretch that starts at base, as the file holds them.
  return host::ReadAt(file_, from * nand::kRawSectorBytes,
                      raw_.data() + (from - base) * nand::kRawSectorBytes,
                      size_t(to - from) * nand::kRawSectorBytes);
}

bool NandDisk::ReadRaw(uint64_t p, uint32_t count, bool slc, uint8_t* data, uint8_t* spares) {
  uint64_t base = p - p % geo_.sectorsPerPage, end = RoundUp(p + count, geo_.sectorsPerPage);
  raw_.resize(size_t(end - base) * nand::kRawSectorBytes);
  if (!LoadPages(base, base, end)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (data) memcpy(data + size_t(i) * nand::kDataBytes, RawData(base, p + i, slc), nand::kDataBytes);
    if (spares)
      memcpy(spares + size_t(i) * nand::kSpareBytes, RawSpare(base, p + i, slc), nand::kSpareBytes);
  }
  return true;
}

bool NandDisk::ReadData(uint64_t p, uint32_t count, bool slc, uint8_t* out) {
  const uint32_t perPage = geo_.sectorsPerPage;
  const uint64_t base = p - p % perPage, end = RoundUp(p + count, perPage);
  // What lies between the run's data areas (spares, and the data of the
  // first and last pages' other sectors) lands in raw_: a page at most.
  raw_.resize(std::max(raw_.size(), size_t(perPage) * nand::kRawSectorBytes));
  scatter_.clear();
  uint64_t at = base * nand::kRawSectorBytes;  // where the pieces so far end in the file
  auto skipTo = [&](uint64_t offset) {
    if (offset > at) scatter_.push_back({raw_.data(), size_t(offset - at)});
    at = offset;
  };
  for (uint64_t q = p; q < p + count; ++q) {
    const uint64_t offset = nand::SectorDataOffset(geo_, q, slc);
    if (offset < at) return ReadRaw(p, count, slc, out, nullptr);  // not in sector order
    // Data areas that touch in the file touch in out too: one piece.
    const bool joins = offset == at && !scatter_.empty() && scatter_.back().data != raw_.data();
    skipTo(offset);
    if (joins)
      scatter_.back().length += nand::kDataBytes;
    else
      scatter_.push_back({out + (q - p) * nand::kDataBytes, nand::kDataBytes});
    at += nand::kDataBytes;
  }
  skipTo(end * nand::kRawSectorBytes);
  return host::ReadPiecesAt(file_, base * nand::kRawSectorBytes, scatter_.data(), scatter_.size());
}

bool NandDisk::WriteRaw(uint64_t p, uint32_t count, bool slc, const uint8_t* data,
                        const uint8_t* spares, bool oneSpare) {
  uint64_t base = p - p % geo_.sectorsPerPage, end = RoundUp(p + count, geo_.sectorsPerPage);
  raw_.resize(size_t(end - base) * nand::kRawSectorBytes);
  // What the call does not replace keeps what the file holds.
  if ((base != p || end != p + count || !data || !spares) && !LoadPages(base, base, end))
    return false;
  for (uint32_t i = 0; i < count; ++i) {
    if (data) memcpy(RawData(base, p + i, slc), data + size_t(i) * nand::kDataBytes, nand::kDataBytes);
    if (spares)
      memcpy(RawSpare(base, p + i, slc), spares + (oneSpare ? 0 : size_t(i) * nand::kSpareBytes),
             nand::kSpareBytes);
  }
  return host::WriteAt(file_, base * nand::kRawSectorBytes, raw_.data(), raw_.size());
}

bool NandDisk::ReadSpare(uint64_t p, uint8_t* out, bool slc) {
  return ReadRaw(p, 1, slc, nullptr, out);
}

bool NandDisk::WriteSpare(uint64_t p, const uint8_t* in, bool slc) {
  return WriteRaw(p, 1, slc, nullptr, in, true);
}

bool NandDisk::WriteBootSectors(uint32_t first, uint32_t count, const uint8_t* in) {
  std::vector<uint8_t> spares(size_t(count) * nand::kSpareBytes);
  for (uint32_t i = 0; i < count; ++i) {
    auto spare = nand::DataSpare((first + i) / geo_.sectorsPerBlock, true);
    memcpy(spares.data() + size_t(i) * nand::kSpareBytes, spare.data(), spare.size());
  }
  return WriteRaw(first, count, true, in, spares.data(), false);
}

bool NandDisk::ReadBootSectors(uint32_t first, uint32_t count, uint8_t* out) {
  return ReadRaw(first, count, true, out, nullptr);
}

bool NandDisk::EraseRange(uint32_t z, uint32_t b) {
  // A block is one stretch of the file: whole pages, data and spares.
  size_t bytes = size_t(geo_.sectorsPerBlock) * nand::kRawSectorBytes;
  if (erased_.size() != bytes) erased_.assign(bytes, 0xFF);
  return host::WriteAt(file_, nand::PhysicalSector(geo_, z, b, 0) * nand::kRawSectorBytes,
                       erased_.data(), bytes);
}

// ---- logical sectors -----------------------------------------------------------

uint16_t NandDisk::Assign(uint32_t z, uint32_t lb) {
  Zone& zone = zones_[z];
  for (uint32_t i = 0; i < geo_.blocksPerZone; ++i) {
    uint32_t b = (zone.hint + i) % geo_.blocksPerZone;
    if (zone.state[b] != State::kFree) continue;
    zone.state[b] = State::kMapped;
    zone.owner[b] = uint16_t(lb);
    zone.map[lb] = uint16_t(b);
    zone.hint = (b + 1) % geo_.blocksPerZone;
    return uint16_t(b);
  }
  return kUnmapped;
}

void NandDisk::Unassign(uint32_t z, uint32_t b) {
  Zone& zone = zones_[z];
  if (zone.state[b] != State::kMapped) return;
  zone.map[zone.owner[b]] = kUnmapped;
  zone.owner[b] = kUnmapped;
  zone.state[b] = State::kFree;
}

bool NandDisk::ReadSectors(uint64_t first, uint32_t count, uint8_t* out) {
  if (first + count > geo_.LogicalSectors()) return false;
  // Runs of mapped blocks that follow one another in the file are read as one.
  uint64_t from = 0;
  uint32_t pending = 0;
  uint8_t* to = out;
  auto readPending = [&] {
    bool ok = pending == 0 || ReadData(from, pending, geo_.slc, to);
    to += size_t(pending) * nand::kDataBytes;
    pending = 0;
    return ok;
  };
  for (uint32_t i = 0; i < count;) {
    auto a = nand::SplitLogicalSector(geo_, first + i);
    uint32_t n = std::min(count - i, geo_.sectorsPerBlock - a.sectorInBlock);
    uint16_t b = zones_[a.zone].map[a.blockInZone];
    if (b == kUnmapped) {
      if (!readPending()) return false;
      memset(to, 0xFF, size_t(n) * nand::kDataBytes);
      to += size_t(n) * nand::kDataBytes;
    } else {
      uint64_t p = nand::PhysicalSector(geo_, a.zone, b, a.sectorInBlock);
      if (pending && from + pending != p && !readPending()) return false;
      if (!pending) from = p;
      pending += n;
    }
    i += n;
  }
  return readPending();
}

bool NandDisk::WriteSectors(uint64_t first, uint32_t count, const uint8_t* in) {
  if (first + count > geo_.LogicalSectors()) return false;
  const uint32_t spb = geo_.sectorsPerBlock, spp = geo_.sectorsPerPage;
  const bool slc = geo_.slc;
  // The bytes go to the file from where they lie: the data from in, the
  // filler of a block given out now from erased_, each block's spares from
  // spares_ (one spare a sector, so that a page's spares lie together).
  spares_.resize((size_t(count) / spb + 2) * spb * nand::kSpareBytes);
  size_t sparesUsed = 0;
  pieces_.clear();
  uint64_t runStart = 0, runEnd = 0;  // file offsets of the pieces gathered
  // The blocks given out for the pieces gathered, taken back when their
  // write fails; a block some of whose bytes are in the file stays given.
  std::vector<std::pair<uint32_t, uint32_t>> given;
  auto flush = [&] {
    bool ok = pieces_.empty() ||
              host::WritePiecesAt(file_, runStart, pieces_.data(), pieces_.size());
    pieces_.clear();
    if (!ok)
      for (auto [z, b] : given) Unassign(z, b);
    given.clear();
    return ok;
  };
  auto add = [&](uint64_t offset, const uint8_t* data, size_t length) {
    if (!pieces_.empty() && offset != runEnd && !flush()) return false;
    if (pieces_.empty()) runStart = runEnd = offset;
    host::ConstPiece* last = pieces_.empty() ? nullptr : &pieces_.back();
    if (last && static_cast<const uint8_t*>(last->data) + last->length == data)
      last->length += length;
    else
      pieces_.push_back({data, length});
    runEnd += length;
    return true;
  };

  for (uint32_t i = 0; i < count;) {
    auto a = nand::SplitLogicalSector(geo_, first + i);
    uint32_t n = std::min(count - i, spb - a.sectorInBlock);
    uint16_t b = zones_[a.zone].map[a.blockInZone];
    // A block given out now is written whole: a free block may still hold
    // raw data, so the new logical block reads as erased where it is not
    // written, and every spare carries the block's address word.
    bool fresh = b == kUnmapped;
    if (fresh) b = Assign(a.zone, a.blockInZone);
    if (b == kUnmapped) {
      // What was written before the failure stays written.
      flush();
      return false;
    }
    uint64_t blockStart = nand::PhysicalSector(geo_, a.zone, b, 0);
    uint64_t p0 = blockStart + a.sectorInBlock;  // the first sector of in's
    uint64_t from = fresh ? blockStart : p0, to = fresh ? blockStart + spb : p0 + n;
    // A block apart from the stretch gathered: that stretch is written
    // first, so that a block given out goes with its own pieces only.
    if (!pieces_.empty() && nand::SectorDataOffset(geo_, from, slc) != runEnd && !flush()) {
      if (fresh) Unassign(a.zone, b);
      return false;
    }
    if (fresh) given.emplace_back(a.zone, b);
    uint8_t* spares = spares_.data() + sparesUsed;
    sparesUsed += size_t(spb) * nand::kSpareBytes;
    auto spare = nand::DataSpare(a.blockInZone, slc);
    for (uint32_t k = 0; k < spb; ++k)
      memcpy(spares + size_t(k) * nand::kSpareBytes, spare.data(), spare.size());
    auto data = [&](uint64_t p) {
      return p >= p0 && p < p0 + n ? in + size_t(i + (p - p0)) * nand::kDataBytes
                                   : erased_.data() + size_t(p - blockStart) * nand::kDataBytes;
    };
    auto spareOf = [&](uint64_t p) { return spares + size_t(p - blockStart) * nand::kSpareBytes; };
    // In file order: a page's data then its spares (SLC), or each sector's
    // data then its spare.
    for (uint64_t page = from - from % spp; page < to; page += spp) {
      uint64_t lo = std::max(page, from), hi = std::min(page + spp, to);
      for (uint64_t p = lo; p < hi; ++p) {
        if (!add(nand::SectorDataOffset(geo_, p, slc), data(p), nand::kDataBytes)) return false;
        if (!slc && !add(nand::SectorSpareOffset(geo_, p, slc), spareOf(p), nand::kSpareBytes))
          return false;
      }
      for (uint64_t p = lo; slc && p < hi; ++p)
        if (!add(nand::SectorSpareOffset(geo_, p, slc), spareOf(p), nand::kSpareBytes))
          return false;
    }
    i += n;
  }
  return flush();
}

uint16_t NandDisk::MappedBlock(uint32_t zone, uint32_t logicalInZone) const {
  if (zone >= zones_.size() || logicalInZone >= geo_.logicalBlocksPerZone) return kUnmapped;
  return zones_[zone].map[logicalInZone];
}

bool NandDisk::IsBad(uint32_t block) const {
  if (block >= geo_.PhysicalBlocks()) return false;
  return zones_[block / geo_.blocksPerZone].state[block % geo_.blocksPerZone] == State::kBad;
}

// ---- boot area, ECC, factory record --------------------------------------------

bool NandDisk::ReadBoot(uint32_t count, uint8_t* out) {
  return count <= nand::kBootSectors && ReadBootSectors(nand::kBootFirstSector, count, out);
}

bool NandDisk::WriteBoot(uint32_t count, const uint8_t* in) {
  return count <= nand::kBootSectors && WriteBootSectors(nand::kBootFirstSector, count, in);
}

bool NandDisk::ReadEccRom(uint8_t* out) {
  return ReadBootSectors(nand::kEccRomFirstSector, nand::kEccRomSectors, out);
}

bool NandDisk::WriteEccRom(const uint8_t* in) {
  return WriteBootSectors(nand::kEccRomFirstSector, nand::kEccRomSectors, in);
}

bool NandDisk::SetEccMethod(int32_t method) {
  if (method != kEccSlc && method != kEccMlc) return false;
  uint8_t raw[4];
  bytes::Put32(raw, uint32_t(method));
  if (!host::WriteFileAtomic(eccPath_, raw, sizeof raw)) return false;
  eccMethod_ = method;
  return true;
}

bool NandDisk::BuildBadBlockInfo() {
  nand::BadBlockInfo info;
  info.eccType = uint32_t(eccMethod_);
  info.version = 1;
  for (uint32_t z = 0; z < geo_.zones; ++z)
    for (uint32_t b = 0; b < geo_.blocksPerZone; ++b)
      if (zones_[z].state[b] == State::kBad)
        info.entries.push_back(nand::BadBlockEntry{uint8_t(z), uint16_t(b)});

  // When the record opens a block of its own, that block is erased before
  // the record goes in, like any NAND block written anew.
  uint32_t r = RecordBlock();
  if (r != 0 && !EraseRange(0, r)) return false;
  auto record = nand::EncodeBadBlockInfo(info);
  return WriteBootSectors(nand::kBadInfoFirstSector, nand::kBadInfoSectors, record.data());
}

bool NandDisk::ReadBadBlockInfo(uint8_t* out) {
  return ReadBootSectors(nand::kBadInfoFirstSector, nand::kBadInfoSectors, out) &&
         nand::DecodeBadBlockInfo(std::span<const uint8_t>(out, kBadInfoBytes)).has_value();
}

int32_t NandDisk::LowFormat() {
  uint8_t raw[kBadInfoBytes];
  if (!ReadBootSectors(nand::kBadInfoFirstSector, nand::kBadInfoSectors, raw)) return -1;
  auto record = nand::DecodeBadBlockInfo(raw);
  if (!record) return -10001;
  if (int32_t(record->eccType) != eccMethod_) return -10000;
  for (uint32_t z = 0; z < geo_.zones; ++z) {
    Zone& zone = zones_[z];
    for (uint32_t b = 0; b < geo_.blocksPerZone; ++b) {
      if (zone.state[b] != State::kFree && zone.state[b] != State::kMapped) continue;
      if (!EraseRange(z, b)) return -1;
      zone.state[b] = State::kFree;
      zone.owner[b] = kUnmapped;
    }
    std::fill(zone.map.begin(), zone.map.end(), kUnmapped);
    zone.hint = 0;
  }
  return 0;
}

// ---- raw blocks ------------------------------------------------------------------

bool NandDisk::ReadBlock(uint32_t block, uint8_t* out) {
  if (block >= geo_.PhysicalBlocks()) return false;
  uint64_t p0 = uint64_t(block) * geo_.sectorsPerBlock;
  return ReadRaw(p0, geo_.sectorsPerBlock, SlcFor(p0), out, nullptr);
}

bool NandDisk::WriteBlock(uint32_t block, const uint8_t* in) {
  if (block >= geo_.PhysicalBlocks() || IsBad(block)) return false;
  uint64_t p0 = uint64_t(block) * geo_.sectorsPerBlock;
  return WriteRaw(p0, geo_.sectorsPerBlock, SlcFor(p0), in, nullptr, false);
}

bool NandDisk::EraseBlock(uint32_t block) {
  if (block >= geo_.PhysicalBlocks() || IsBad(block)) return false;
  uint32_t z = block / geo_.blocksPerZone, b = block % geo_.blocksPerZone;
  Zone& zone = zones_[z];
  bool ok = EraseRange(z, b);
  if (zone.state[b] == State::kMapped) Unassign(z, b);
  // An erased record block no longer holds the record, but stays kept for it.
  return ok;
}
