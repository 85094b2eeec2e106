// Image mode: while it is on, the engine's sector traffic goes to an image
// file instead of the device. This file holds the dispatch between the two
// kinds of image, the system image file (kind 0), the packed image
// conversions and the refresh of an image from the device's NAND; the
// simulator NAND file (kind 1) is in simu_image.cc.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/host/host.h"
#include "tervlink/image_file.h"
#include "tervlink/zel_device_io.h"

using namespace image;

namespace {

constexpr size_t kFillPiece = 1u << 20;  // pre-fill in pieces of at most 1 MB
constexpr uint32_t kChecksumChunkSectors = 2048;

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

uint32_t Field(const uint8_t* header, size_t offset) { return bytes::Get32(header + offset); }

bool WriteFill(FILE* f, uint64_t count, uint8_t value, std::vector<uint8_t>& buffer) {
  if (buffer.empty()) return count == 0;
  std::fill(buffer.begin(), buffer.end(), value);
  while (count > 0) {
    size_t n = size_t(std::min<uint64_t>(count, buffer.size()));
    if (fwrite(buffer.data(), 1, n, f) != n) return false;
    count -= n;
  }
  return true;
}

// Checks that a header read from a file describes a sane layout: the
// bitmap after the header, the data after the bitmap and its trailer, and a
// bitmap of at most one bit per sector of the largest image.
bool HeaderLayoutSane(const uint8_t* header) {
  uint64_t bitmapAt = Field(header, kHdrBitmapOffset), dataAt = Field(header, kHdrDataOffset);
  if (bitmapAt < kHeaderBytes || dataAt < bitmapAt + kBitmapTrailer) return false;
  uint64_t bitmapBytes = dataAt - bitmapAt - kBitmapTrailer;
  return bitmapBytes <= kMaxImageMb * 256;
}

}  // namespace

// ---- checksum file and names -----------------------------------------------

uint32_t image::SectorChecksum(const uint8_t* data, uint32_t wordCount) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < wordCount; ++i) sum += bytes::Get32(data + 4 * i);
  return sum;
}

std::string image::ChecksumFileName(const std::string& imagePath) {
  size_t slash = imagePath.rfind(host::kSep);
  size_t dot = imagePath.rfind('.');
  bool dotInName = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (dotInName ? imagePath.substr(0, dot) : imagePath) + ".crc";
}

bool image::WriteChecksumFile(FILE* imageFile, uint64_t dataOffset, uint32_t sectors,
                              const char* imagePath, const uint32_t* knownSums) {
  host::Print("创建扇区CheckSum数据 ...\n");
  std::string full = imagePath ? host::FullPath(imagePath) : std::string();
  bool written = false;
  if (!full.empty() && full.size() < 260) {
    std::string name = ChecksumFileName(full);
    // Written beside and renamed when whole: a good checksum file is never
    // replaced by a short one.
    host::PcFileWriter out;
    if (!out.Open(name.c_str())) {
      host::Print("创建扇区CheckSum数据文件(%s)失败\n", name.c_str());
    } else if (!knownSums && fseek(imageFile, long(dataOffset), SEEK_SET) != 0) {
      host::SetFileReason("cannot read", imagePath, errno);
    } else {
      // The data area is read in 1 MB pieces: the pass runs at the speed of
      // the disk, not of one call per sector.
      std::vector<uint8_t> in(knownSums ? 0 : size_t(kChecksumChunkSectors) * 512);
      std::vector<uint8_t> sums(size_t(kChecksumChunkSectors) * 8);
      written = true;
      for (uint32_t done = 0; done < sectors && written;) {
        uint32_t n = std::min(kChecksumChunkSectors, sectors - done);
        if (!knownSums && fread(in.data(), 512, n, imageFile) != n) {
          if (ferror(imageFile))
            host::SetFileReason("cannot read", imagePath, errno);
          else
            host::SetReason("image file %s ends before its last sector", imagePath);
          written = false;
          break;
        }
        for (uint32_t s = 0; s < n; ++s) {
          uint32_t sum = knownSums ? knownSums[done + s] : SectorChecksum(&in[size_t(s) * 512], 128);
          bytes::Put32(&sums[size_t(s) * 8], sum);
          bytes::Put32(&sums[size_t(s) * 8 + 4], ~sum);
        }
        written = out.Write(sums.data(), size_t(n) * 8);
        done += n;
      }
      written = written && out.Commit();
    }
  }
  host::Print(written ? "创建扇区CheckSum数据成功\n" : "创建扇区CheckSum数据失败\n");
  return written;
}

BlockEntry image::DecodeBlockEntry(uint32_t entry, uint32_t blocksPerZone) {
  BlockEntry e{BlockEntryKind::kMapped, entry >> 24, (entry >> 8) & 0xFFFF, entry & 0xFF};
  if (entry == 0)
    e.kind = BlockEntryKind::kNone;
  else if (entry == 0xFFFFFFFFu)
    e.kind = BlockEntryKind::kIllegal;
  else if (e.physical == 0xFFFF)
    e.kind = BlockEntryKind::kUnassigned;
  else if (e.physical >= blocksPerZone)
    e.kind = BlockEntryKind::kIllegal;
  return e;
}

std::string image::BlockEntryLine(uint32_t logical, const BlockEntry& e) {
  char line[96];
  switch (e.kind) {
    case BlockEntryKind::kNone: return std::string();
    case BlockEntryKind::kIllegal: snprintf(line, sizeof line, "%08u,  非法逻辑块号\n", logical); break;
    case BlockEntryKind::kUnassigned:
      snprintf(line, sizeof line, "%08u,  %u,      %03u,   逻辑块尚未分配\n", logical, e.zone,
               e.sectorField);
      break;
    case BlockEntryKind::kMapped:
      snprintf(line, sizeof line, "%08u,  %u,      %03u,   %08u\n", logical, e.zone, e.sectorField,
               e.physical);
      break;
  }
  return line;
}

std::string image::ConvertedImageName(const char* name, const char* suffix) {
  size_t n = name ? strlen(name) : 0;
  if (n < 3 || n > 259) return std::string();
  return std::string(name, n - 3) + suffix;
}

// ---- dispatch --------------------------------------------------------------

int32_t ZEL_DEVICE_IO::SetImageMode(int32_t kind) {
  imageKind = kind;
  return 0;
}

int32_t ZEL_DEVICE_IO::BuildImageFile(int32_t sizeMb, char* path) {
  switch (imageKind) {
    case 0: return BuildSysImageFile(sizeMb, path);
    case 1: return BuildSimuBinFile(sizeMb, path);
    default: return -1;
  }
}

int32_t ZEL_DEVICE_IO::ReadFromImageFile(uint32_t sector, uint32_t count, char* buffer) {
  if (!imageActive || !imageFile) return -1;
  switch (imageKind) {
    case 0: return ReadFromSysImageFile(sector, count, buffer);
    case 1: return ReadFromSimuBinFile(sector, count, buffer);
    default: return -1;
  }
}

int32_t ZEL_DEVICE_IO::WriteToImageFile(uint32_t sector, uint32_t count, char* buffer) {
  if (!imageActive || !imageFile) return -1;
  switch (imageKind) {
    case 0: return WriteToSysImageFile(sector, count, buffer);
    case 1: return WriteToSimuBinFile(sector, count, buffer);
    default: return -1;
  }
}

int32_t ZEL_DEVICE_IO::CloseImageFile(void* diskBlocks, char* path) {
  if (!imageActive) return 0;
  if (!imageFile) {
    imageActive = 0;
    return -1;
  }
  imageActive = 0;
  int32_t result = -1;
  switch (imageKind) {
    case 0: result = CloseSystemImageFile(diskBlocks, path); break;
    case 1: result = CloseSimuBinFile(diskBlocks, path); break;
    default: ReleaseImageState(); break;
  }
  imageBytes = 0;
  return result;
}

void ZEL_DEVICE_IO::ReleaseImageState() {
  if (imageFile) fclose(imageFile);
  imageFile = nullptr;
  delete[] sectorBitmap;
  sectorBitmap = nullptr;
  bitmapBytes = 0;
  imageActive = 0;
  sectorSums_ = {};
}

// ---- the system image file -------------------------------------------------

int32_t ZEL_DEVICE_IO::BuildSysImageFile(int32_t sizeMb, char* path) {
  if (sizeMb <= 0 || uint64_t(sizeMb) > kMaxImageMb) return -1;
  imageBytes = uint64_t(sizeMb) << 20;
  imageActive = 1;
  imageFile = nullptr;
  // A bitmap left from another image would have the wrong size: always
  // start from a fresh one of this image's size.
  delete[] sectorBitmap;
  bitmapBytes = uint32_t(imageBytes / 4096);
  sectorBitmap = new (std::nothrow) uint8_t[bitmapBytes];
  if (!sectorBitmap) {
    ReleaseImageState();
    return -1;
  }
  memset(sectorBitmap, 0, bitmapBytes);
  // The checksums are kept as the sectors are written, so that the close
  // need not read the image back; every sector starts erased.
  try {
    sectorSums_.assign(size_t(imageBytes / 512), kErasedSectorChecksum);
  } catch (...) {
    sectorSums_.clear();
  }

  imageFile = host::OpenFile(path, "w+b");
  if (!imageFile) {
    host::Print("sorry, create image file failed\r\n");
    ReleaseImageState();
    return -1;
  }
  memset(imageHeader, 0, sizeof imageHeader);
  memcpy(imageHeader + kHdrMarker, kSystemMarker, sizeof kSystemMarker);
  uint32_t dataOffset = kBitmapOffset + bitmapBytes + kBitmapTrailer;
  bytes::Put32(imageHeader + kHdrSizeMb, uint32_t(sizeMb));
  bytes::Put32(imageHeader + kHdrReserved, 0);
  bytes::Put32(imageHeader + kHdrBitmapOffset, kBitmapOffset);
  bytes::Put32(imageHeader + kHdrDataOffset, dataOffset);

  // Pre-fill header area, bitmap and data with 0xFF (erased flash). A fill
  // that cannot be made fails the build and leaves no file behind.
  uint64_t total = dataOffset + imageBytes;
  std::vector<uint8_t> fill;
  bool ok = true;
  try {
    fill.resize(size_t(std::min<uint64_t>(total, kFillPiece)));
  } catch (...) {
    ok = false;
  }
  ok = ok && WriteFill(imageFile, total, 0xFF, fill) && fseek(imageFile, 0, SEEK_SET) == 0 &&
       fwrite(imageHeader, 1, kHeaderBytes, imageFile) == kHeaderBytes && fflush(imageFile) == 0;
  if (!ok) {
    host::SetFileReason("cannot write", path, errno);
    ReleaseImageState();
    host::RemoveFile(path);
    return -1;
  }
  return 0;
}

int32_t ZEL_DEVICE_IO::ReadFromSysImageFile(uint32_t sector, uint32_t count, char* buffer) {
  if (uint64_t(sector) + count > imageBytes / 512) return -1;
  uint64_t at = Field(imageHeader, kHdrDataOffset) + uint64_t(sector) * 512;
  if (fseek(imageFile, long(at), SEEK_SET) != 0) return -1;
  return fread(buffer, 512, count, imageFile) == count ? 1 : -1;
}

int32_t ZEL_DEVICE_IO::WriteToSysImageFile(uint32_t sector, uint32_t count, char* buffer) {
  // The bitmap covers the image's sectors only; a write beyond them would
  // grow the file past its size, so it is refused.
  if (uint64_t(sector) + count > imageBytes / 512) return -1;
  uint64_t at = Field(imageHeader, kHdrDataOffset) + uint64_t(sector) * 512;
  if (fseek(imageFile, long(at), SEEK_SET) != 0) return -1;
  size_t written = fwrite(buffer, 512, count, imageFile);
  for (size_t i = 0; i < written; ++i) SetBit(sector + uint32_t(i));
  bool ok = written == count && fflush(imageFile) == 0;
  if (!ok) {
    host::SetReason("cannot write the image file: %s", strerror(errno));
    // What the file holds is no longer known: the close reads it back.
    sectorSums_.clear();
    return -1;
  }
  if (!sectorSums_.empty())
    for (uint32_t i = 0; i < count; ++i)
      sectorSums_[sector + i] =
          SectorChecksum(reinterpret_cast<const uint8_t*>(buffer) + size_t(i) * 512, 128);
  return 1;
}

void ZEL_DEVICE_IO::SetBit(uint32_t sector) {
  if (sectorBitmap && sector / 8 < bitmapBytes) sectorBitmap[sector / 8] |= uint8_t(1u << (sector % 8));
}

int32_t ZEL_DEVICE_IO::CloseSystemImageFile(void* diskBlocks, char* path) {
  imageActive = 0;
  int32_t result = -1;
  if (sectorBitmap) {
    // One header entry per partitioned disk, with "the rest of the disk"
    // resolved against the image's size.
    uint32_t diskCount = 0;
    memset(imageHeader + kHdrDisks, 0, kMaxDiskEntries * kDiskEntryBytes);
    if (diskBlocks) {
      DiskLayout layout = DescribeDiskBlocks(diskBlocks);
      for (int d = 0; d < 4; ++d) {
        if (!layout.partitioned[d]) continue;
        uint8_t* entry = imageHeader + kHdrDisks + diskCount * kDiskEntryBytes;
        uint32_t remaining = uint32_t(imageBytes / 1024);
        bytes::Put32(entry, uint32_t(d));
        for (int k = 0; k < 4; ++k) {
          uint32_t size = layout.sizesKb[d][k];
          if (size == 0xFFFFFFFFu) {
            size = remaining;
            remaining = 0;
          } else {
            remaining -= size;
          }
          bytes::Put32(entry + 4 + 4 * k, size);
        }
        ++diskCount;
      }
    }
    bytes::Put32(imageHeader + kHdrDiskCount, diskCount);
    bool headerOk = fseek(imageFile, 0, SEEK_SET) == 0 &&
                    fwrite(imageHeader, 1, kHeaderBytes, imageFile) == kHeaderBytes;
    bool bitmapOk = headerOk &&
                    fseek(imageFile, long(Field(imageHeader, kHdrBitmapOffset)), SEEK_SET) == 0 &&
                    fwrite(sectorBitmap, 1, bitmapBytes, imageFile) == bitmapBytes &&
                    fflush(imageFile) == 0;
    if (!bitmapOk) {
      host::SetFileReason("cannot write", path, errno);
      host::Print("sorry, writeing image file sector assigned information failed\r\n");
    } else {
      delete[] sectorBitmap;
      sectorBitmap = nullptr;
      result = 0;
    }
  }
  uint32_t sectors = Field(imageHeader, kHdrSizeMb) * 2048;
  // An image without its checksum file is no finished image.
  if (result == 0 &&
      !WriteChecksumFile(imageFile, Field(imageHeader, kHdrDataOffset), sectors, path,
                         sectorSums_.size() == sectors ? sectorSums_.data() : nullptr))
    result = -1;
  imageBytes = 0;
  ReleaseImageState();
  return result;
}

// ---- packed images ---------------------------------------------------------

namespace {

// One packing conversion's files and bitmap; everything is released on
// every path.
struct Conversion {
  File in{nullptr, fclose};
  // The output, written under a temporary name and given its own name by
  // Finish when whole.
  host::PcFileWriter out;
  std::string outName;
  std::vector<uint8_t> bitmap;
  uint8_t header[kHeaderBytes] = {};

  // Opens the image and creates the output file. Returns false (after its
  // message) when that fails; no output file is left then. An output name
  // that is the image's own name is refused, since creating the output
  // would empty the image before it is read.
  bool Open(const char* path, const char* suffix) {
    outName = ConvertedImageName(path, suffix);
    if (outName.empty()) {
      host::Print("sorry, the image file name (%s) is too short or too long\r\n", path ? path : "");
      return false;
    }
    in.reset(host::OpenFile(path, "rb"));
    if (!in) {
      host::Print("sorry, cannot open image file\r\n");
      return false;
    }
    if (host::SameFile(outName.c_str(), path)) {
      host::Print("sorry, the output file (%s) would overwrite the image file\r\n", outName.c_str());
      return false;
    }
    if (!out.Open(outName.c_str())) {
      host::Print("sorry, create image file failed\r\n");
      return false;
    }
    return true;
  }

  // Reads the header and the bitmap and leaves the image at its data
  // offset. False (after its message) for a header whose layout makes no
  // sense or a file that ends before its data offset (a header may put an
  // empty bitmap anywhere below 4 GB: the file must hold what it claims).
  bool ReadHeaderAndBitmap(const char* path) {
    uint64_t length = 0;
    bool ok = fread(header, 1, kHeaderBytes, in.get()) == kHeaderBytes && HeaderLayoutSane(header) &&
              host::FileLength(in.get(), length) && length >= Field(header, kHdrDataOffset);
    if (ok) {
      uint32_t bitmapAt = Field(header, kHdrBitmapOffset);
      bitmap.assign(Field(header, kHdrDataOffset) - bitmapAt - kBitmapTrailer, 0);
      ok = fseek(in.get(), long(bitmapAt), SEEK_SET) == 0 &&
           fread(bitmap.data(), 1, bitmap.size(), in.get()) == bitmap.size() &&
           fseek(in.get(), long(kBitmapTrailer), SEEK_CUR) == 0;
    }
    if (!ok) host::Print("映像文件(%s)格式不正确.\r\n", path);
    return ok;
  }

  // Writes the 0xFF area up to the bitmap (a piece at a time: its length
  // comes from the file), the bitmap and its trailer.
  bool WriteFront() {
    std::vector<uint8_t> ff(64 * 1024, 0xFF);
    static_assert(kBitmapTrailer <= 64 * 1024);
    bool ok = true;
    for (uint64_t left = Field(header, kHdrBitmapOffset); ok && left > 0;) {
      size_t n = size_t(std::min<uint64_t>(left, ff.size()));
      ok = fwrite(ff.data(), 1, n, out.Stream()) == n;
      left -= n;
    }
    return ok && fwrite(bitmap.data(), 1, bitmap.size(), out.Stream()) == bitmap.size() &&
           fwrite(ff.data(), 1, kBitmapTrailer, out.Stream()) == kBitmapTrailer;
  }

  bool Finish() {
    if (fseek(out.Stream(), 0, SEEK_SET) != 0) {
      host::SetFileReason("cannot write", outName.c_str(), errno);
      out.Discard();
      return false;
    }
    return out.Write(header, kHeaderBytes) && out.Commit();
  }

  // Removes the output file this conversion created.
  void Discard() { out.Discard(); }

  void SetMarker(const char* marker) {
    memset(header + kHdrMarker, 0, kHdrMarkerBytes);
    memcpy(header + kHdrMarker, marker, strlen(marker) + 1);
  }
};

}  // namespace

int32_t ZEL_DEVICE_IO::BuildPakImageFile(char* path) {
  Conversion c;
  if (!c.Open(path, "PAK")) {
    imageActive = 0;
    return -1;
  }
  if (!c.ReadHeaderAndBitmap(path)) {
    c.Discard();
    return -1;
  }
  // A packed image holds its runs out of place; packing it again would
  // scramble them.
  if (strncmp(reinterpret_cast<char*>(c.header), kPackedMarker, kHdrMarkerBytes) == 0) {
    host::Print("映像文件(%s)格式不正确.\r\n", path);
    c.Discard();
    return -1;
  }
  c.SetMarker(kPackedMarker);
  std::vector<uint8_t> run(kRunBytes);
  bool ok = c.WriteFront();
  uint32_t runs = uint32_t(c.bitmap.size() / kRunBitmapBytes);
  for (uint32_t r = 0; ok && r < runs; ++r) {
    if (RunUsed(c.bitmap.data(), uint32_t(c.bitmap.size()), r))
      // A short read means a truncated image: the conversion fails rather
      // than writing a packed file with missing data.
      ok = fread(run.data(), 1, kRunBytes, c.in.get()) == kRunBytes &&
           fwrite(run.data(), 1, kRunBytes, c.out.Stream()) == kRunBytes;
    else
      ok = fseek(c.in.get(), long(kRunBytes), SEEK_CUR) == 0;
  }
  if (!ok) {
    host::Print("映像文件(%s)格式不正确.\r\n", path);
    c.Discard();
    return -1;
  }
  return c.Finish() ? 0 : -1;
}

int32_t ZEL_DEVICE_IO::UnPakImageFile(char* path) {
  Conversion c;
  if (!c.Open(path, "UNP")) {
    imageActive = 0;
    return -1;
  }
  uint8_t marker[kHdrMarkerBytes] = {};
  if (fread(marker, 1, sizeof marker, c.in.get()) != sizeof marker ||
      strncmp(reinterpret_cast<char*>(marker), kPackedMarker, sizeof marker) != 0) {
    host::Print("Sorry, this file is not pak-image file, please check and try again.\r\n");
    c.Discard();
    return -1;
  }
  if (fseek(c.in.get(), 0, SEEK_SET) != 0 || !c.ReadHeaderAndBitmap(path)) {
    c.Discard();
    return -1;
  }
  c.SetMarker(kSystemMarker);
  std::vector<uint8_t> run(kRunBytes);
  bool ok = c.WriteFront();
  uint32_t runs = uint32_t(c.bitmap.size() / kRunBitmapBytes);
  for (uint32_t r = 0; ok && r < runs; ++r) {
    if (RunUsed(c.bitmap.data(), uint32_t(c.bitmap.size()), r))
      ok = fread(run.data(), 1, kRunBytes, c.in.get()) == kRunBytes;
    else
      std::fill(run.begin(), run.end(), 0xFF);
    ok = ok && fwrite(run.data(), 1, kRunBytes, c.out.Stream()) == kRunBytes;
  }
  if (!ok) {
    host::Print("映像文件(%s)格式不正确.\r\n", path);
    c.Discard();
    return -1;
  }
  return c.Finish() ? 0 : -1;
}

// ---- refreshing an image from the device's NAND ------------------------------

int32_t ZEL_DEVICE_IO::UpdateIsoFromNand(char* path, int* table, uint32_t partitionStart,
                                         uint32_t trackSectors, uint32_t sectorsPerStep,
                                         uint32_t blocksPerZone) {
  File file(host::OpenFile(path, "r+b"), fclose);
  if (!file) {
    host::Print("sorry, cannot open image file\r\n");
    imageActive = 0;
    return -1;
  }
  // Only a plain system image holds its sectors in place; a packed image
  // (or anything else) would be damaged by the writes below.
  if (fread(imageHeader, 1, kHeaderBytes, file.get()) != kHeaderBytes ||
      strncmp(reinterpret_cast<char*>(imageHeader), kSystemMarker, kHdrMarkerBytes) != 0 ||
      !HeaderLayoutSane(imageHeader) || trackSectors == 0 || sectorsPerStep == 0 || sectorsPerStep % 8 != 0) {
    host::Print("映像文件(%s)格式不正确.\r\n", path);
    return -1;
  }
  uint64_t dataAt = Field(imageHeader, kHdrDataOffset);
  uint64_t bitmapAt = Field(imageHeader, kHdrBitmapOffset);
  uint64_t imageSectors = uint64_t(Field(imageHeader, kHdrSizeMb)) * 2048;
  std::vector<uint8_t> buffer(size_t(sectorsPerStep) * 512);
  std::vector<uint8_t> marks(sectorsPerStep / 8, 0xFF);

  for (uint32_t i = 0; i < 8192; ++i) {
    uint32_t logical = partitionStart / trackSectors + i;
    uint32_t entry = uint32_t(table[i]);
    if (entry == 0) continue;
    BlockEntry e = DecodeBlockEntry(entry, blocksPerZone);
    host::Print("%s", BlockEntryLine(logical, e).c_str());
    if (e.kind != BlockEntryKind::kMapped) continue;
    uint64_t first = uint64_t(logical) * sectorsPerStep;
    // A block outside the image would grow the file; a block that cannot be
    // read would write stale data: both are skipped with a message.
    if (first + sectorsPerStep > imageSectors) {
      host::Print("%08d,  逻辑块超出映像文件范围, 跳过\n", int(logical));
      continue;
    }
    if (Direct_Read(uint32_t(first), sectorsPerStep, reinterpret_cast<char*>(buffer.data())) == -1) {
      host::Print("%08d,  读取NAND数据失败, 跳过\n", int(logical));
      continue;
    }
    if (fseek(file.get(), long(dataAt + first * 512), SEEK_SET) != 0 ||
        fwrite(buffer.data(), 1, buffer.size(), file.get()) != buffer.size() ||
        fseek(file.get(), long(bitmapAt + first / 8), SEEK_SET) != 0 ||
        fwrite(marks.data(), 1, marks.size(), file.get()) != marks.size()) {
      host::SetFileReason("cannot write", path, errno);
      host::Print("%08d,  写入映像文件失败\n", int(logical));
      return -1;
    }
  }
  if (fflush(file.get()) != 0) {
    host::SetFileReason("cannot write", path, errno);
    return -1;
  }
  // The blocks are in the image; its checksum file must follow them.
  bool summed = WriteChecksumFile(file.get(), dataAt, uint32_t(imageSectors), path);
  if (fclose(file.release()) != 0) {
    host::SetFileReason("cannot close", path, errno);
    return -1;
  }
  return summed ? 0 : -1;
}
