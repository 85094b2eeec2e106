// Image files made of the fuzzer's bytes, and the ISO burn (DOWNIMAGE) of
// one into a 1 MB in-memory device, for the image header and packed image
// targets.
//
// Input: a tail length in KB (u16, at most 1100), the 164-byte header, then
// the rest of the file from the bitmap offset 32768 on. The image file is
// the header, 0xFF up to offset 32768, the rest, and the tail (a byte
// pattern standing for sector data), so short inputs reach the bitmap and
// the data of a real layout.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "../fat_device/mem_device.h"
#include "fuzz_support.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"
#include "tervlink/image_file.h"

namespace image_input {

constexpr size_t kTailKbMax = 1100;

// The result is one buffer reused by every input (up to 1.1 MB: a fresh
// one each time costs more than the rest of the run).
inline std::string& Expand(const uint8_t* data, size_t size) {
  static std::string& file = *new std::string;
  file.clear();
  if (size < 2) return file;
  size_t tail = std::min<size_t>(bytes::Get16(data), kTailKbMax) * 1024;
  data += 2;
  size -= 2;
  size_t head = std::min(size, image::kHeaderBytes);
  file.assign(reinterpret_cast<const char*>(data), head);
  if (size > image::kHeaderBytes) {
    file.resize(image::kBitmapOffset, char(0xFF));
    file.append(reinterpret_cast<const char*>(data + head), size - head);
  }
  static const std::string pattern = [] {
    std::string p(kTailKbMax * 1024, '\0');
    for (size_t i = 0; i < p.size(); ++i) p[i] = char(i * 7 + i / 512);
    return p;
  }();
  file.append(pattern, 0, tail);
  return file;
}

// The input that expands to a well-formed image of 1 MB: header with the
// marker, one bitmap byte set per used run, and the data of those runs.
inline std::string Seed(const char* marker, std::initializer_list<int> usedRuns, bool packed,
                        size_t tailKb) {
  uint8_t header[image::kHeaderBytes] = {};
  memcpy(header, marker, strlen(marker) + 1);
  uint32_t bitmapBytes = 256;
  bytes::Put32(header + image::kHdrSizeMb, 1);
  bytes::Put32(header + image::kHdrBitmapOffset, image::kBitmapOffset);
  bytes::Put32(header + image::kHdrDataOffset, image::kBitmapOffset + bitmapBytes + image::kBitmapTrailer);
  bytes::Put32(header + image::kHdrDiskCount, 1);
  int32_t sizes[4] = {512, 64, -1, 0};
  for (int i = 0; i < 4; ++i) bytes::Put32(header + image::kHdrDisks + 4 + 4 * i, uint32_t(sizes[i]));
  std::string s(2, '\0');
  bytes::Put16(reinterpret_cast<uint8_t*>(s.data()), uint16_t(tailKb));
  s.append(reinterpret_cast<char*>(header), sizeof header);
  std::string bitmap(bitmapBytes, '\0');
  for (int r : usedRuns) bitmap[size_t(r) * image::kRunBitmapBytes + 3] = char(0x81);
  s += bitmap + std::string(image::kBitmapTrailer, char(0xFF));
  (void)packed;
  return s;
}

// Burns file (an expanded input, stored at path) into a fresh device of
// 3200 sectors (a 1 MB image's NAND). On success, every used run of the
// bitmap must be on the device as the file holds it.
inline void Burn(const std::string& path, const std::string& file) {
  host::SleepFn oldSleep = host::SetSleep([](uint32_t) {});
  host::StringOutput quiet;
  host::Output* previous = host::SetOut(&quiet);
  struct BurnDevice : MemDevice {
    int32_t ExecuteSaveFactoryBadInfo() override { return 0; }
  };
  // One device and one engine serve every input, emptied and started again
  // (the engine is megabytes).
  static BurnDevice& dev = *new BurnDevice;
  static FAT_DEVICE* const fat = new FAT_DEVICE(&dev);
  dev.disks[0].sectors.clear();
  dev.current = 0;
  dev.SetGeometry(0, 100, 1, 32);
  fat->diskCount = 1;
  fat->lastError = 0;
  fat->Init();
  dev.log.clear();
  int r = fat->TransferImageFile(const_cast<char*>(path.c_str()));
  if (r == 0) {
    const uint8_t* h = reinterpret_cast<const uint8_t*>(file.data());
    bool packed = strncmp(file.data(), image::kPackedMarker, image::kHdrMarkerBytes) == 0;
    uint32_t bitmapAt = bytes::Get32(h + image::kHdrBitmapOffset);
    uint64_t at = bytes::Get32(h + image::kHdrDataOffset);
    uint32_t bitmapBytes = bytes::Get32(h + image::kHdrSizeMb) * 256;
    const uint8_t* bitmap = h + bitmapAt;
    for (uint32_t run = 0; run * image::kRunBitmapBytes < bitmapBytes; ++run) {
      if (!image::RunUsed(bitmap, bitmapBytes, run)) continue;
      uint64_t runAt = packed ? at : at + uint64_t(run) * image::kRunBytes;
      for (uint32_t s = 0; s < image::kRunSectors && runAt + (s + 1) * 512ull <= file.size(); ++s) {
        MemDevice::Sector sec = dev.Get(0, run * image::kRunSectors + s);
        FUZZ_CHECK(memcmp(sec.data(), file.data() + runAt + s * 512ull, 512) == 0);
      }
      at += packed ? image::kRunBytes : 0;
    }
  }
  host::SetOut(previous);
  host::SetSleep(oldSleep);
}

}  // namespace image_input
