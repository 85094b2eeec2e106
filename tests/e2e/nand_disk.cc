// nand_disk: the logical disk of a zelsim NAND file as a flat image, read
// without any of the emulator's or the library's code, so that the e2e
// checks can hand the device's disk to independent tools (sfdisk, fsck.fat).
//
//   nand_disk NAND_FILE IMAGE
//
// The NAND file is the default chip's (512-byte pages with 16-byte spares,
// 32 sectors per block, 8 zones of 1024 blocks, 1000 logical blocks per
// zone). Each physical block that carries a well-formed block address word
// (0x1000 + 2 x logical block, made of even parity, high byte first in spare
// bytes 6-7 and again in 11-12) is copied to logical sector
// (zone x 1000 + logical block) x 32 of the image. Block 0 of every zone and
// blocks 1 and 2 of zone 0 hold the boot area and the device's records, and
// are skipped; unmapped logical blocks read as 0xFF, as on the device.

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kSectorBytes = 528, kDataBytes = 512, kSectorsPerBlock = 32;
constexpr uint32_t kZones = 8, kBlocksPerZone = 1024, kLogicalPerZone = 1000;

bool EvenParity(uint16_t w) { return __builtin_popcount(w) % 2 == 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: nand_disk NAND_FILE IMAGE\n");
    return 2;
  }
  FILE* in = fopen(argv[1], "rb");
  FILE* out = fopen(argv[2], "wb");
  if (!in || !out) {
    perror("nand_disk");
    return 1;
  }
  std::vector<uint8_t> block(kSectorBytes * kSectorsPerBlock);
  std::vector<uint8_t> erased(kDataBytes * kSectorsPerBlock, 0xFF);
  std::vector<bool> mapped(kZones * kLogicalPerZone, false);
  // Every logical block first reads erased, then the mapped ones are filled in.
  for (uint32_t l = 0; l < kZones * kLogicalPerZone; ++l)
    fwrite(erased.data(), 1, erased.size(), out);
  int copied = 0;
  for (uint32_t z = 0; z < kZones; ++z) {
    for (uint32_t b = 0; b < kBlocksPerZone; ++b) {
      if (b == 0 || (z == 0 && b <= 2)) continue;
      uint64_t offset = uint64_t(z * kBlocksPerZone + b) * kSectorsPerBlock * kSectorBytes;
      if (fseeko(in, off_t(offset), SEEK_SET) != 0 || fread(block.data(), 1, block.size(), in) != block.size()) {
        fprintf(stderr, "nand_disk: short NAND file\n");
        return 1;
      }
      const uint8_t* spare = block.data() + kDataBytes;
      if (spare[5] != 0xFF) continue;  // a bad block
      uint16_t word = uint16_t(spare[6] << 8 | spare[7]);
      if (word != uint16_t(spare[11] << 8 | spare[12])) continue;
      if ((word & 0xF000) != 0x1000 || !EvenParity(word)) continue;
      uint32_t logical = (word - 0x1000u) >> 1;
      if (logical >= kLogicalPerZone || mapped[z * kLogicalPerZone + logical]) continue;
      mapped[z * kLogicalPerZone + logical] = true;
      std::vector<uint8_t> data(kDataBytes * kSectorsPerBlock);
      for (uint32_t s = 0; s < kSectorsPerBlock; ++s)
        for (uint32_t i = 0; i < kDataBytes; ++i) data[s * kDataBytes + i] = block[s * kSectorBytes + i];
      fseeko(out, off_t(uint64_t(z * kLogicalPerZone + logical) * kSectorsPerBlock * kDataBytes), SEEK_SET);
      fwrite(data.data(), 1, data.size(), out);
      ++copied;
    }
  }
  if (fclose(out) != 0) {
    perror("nand_disk");
    return 1;
  }
  fclose(in);
  fprintf(stderr, "nand_disk: %d logical blocks\n", copied);
  return 0;
}
