// Image building through the engine: the engine partitions, formats and
// writes files into a system image exactly as it would on the device; the
// image's data area is then a disk that a fresh engine and an independent
// checker read back.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "image_test_support.h"
#include "mem_device.h"
#include "test_disk.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/image_file.h"
#include "tervlink/zel_device_io.h"

namespace fs = std::filesystem;

namespace {

class ImageBuildTest : public ImageDirTest {
 protected:
  ImageBuildTest() : device("\\\\.\\no-such-device", 0), fat(std::make_unique<FAT_DEVICE>(&device)) {
    // The geometry the engine would have read from a device of 2000
    // cylinders x 1 head x 32 sectors (64,000 sectors, 31.25 MB).
    _DISK_INFO& d = fat->disks[0];
    memset(fat->disks, 0, sizeof fat->disks);
    d.cylinders = 2000;
    d.heads = 1;
    d.sectorsPerTrack = 32;
    d.totalSectors = d.unpartitionedSectors = 64000;
    int sizes[4] = {8192, 256, -1, 0};
    for (auto& disk : fat->disks) memcpy(disk.partSizes, sizes, sizeof sizes);
    for (auto& disk : fat->disks)
      for (auto& p : disk.parts) strcpy(p.currentPath, "\\");
    fat->diskCount = 1;
    fat->buf_pool();
    fat->file_system_switch_to(0, 0);
  }

  ZEL_DEVICE_IO device;
  std::unique_ptr<FAT_DEVICE> fat;
};

TEST_F(ImageBuildTest, BuiltImageIsADiskAndItsHeaderRecordsThePartitioning) {
  std::string path = Path("sys.img");
  ASSERT_EQ(fat->SetImageMode(0), 0);
  ASSERT_EQ(fat->SwitchToBuildingImageMode(32, path.data()), 0);
  EXPECT_EQ(device.imageActive, 1);
  ASSERT_EQ(fat->DiskPartition(0), 0);
  ASSERT_EQ(fat->DiskLogicalFormat(0, 4), 0);
  fat->file_system_switch_to(0, 0);
  std::string big = Pattern(300000, 'b');
  ASSERT_EQ(fat->WriteFile(const_cast<char*>("BIG.BIN"), big.data(), int(big.size()), nullptr),
            int(big.size()));
  fat->file_system_switch_to(0, 2);
  ASSERT_EQ(fat->WriteFile(const_cast<char*>("E.TXT"), const_cast<char*>("on E"), 4, nullptr), 4);
  ASSERT_EQ(fat->QuitBuildingImageMode(path.data()), 0);

  // Leaving the build puts the device's own (unpartitioned) disk state back.
  EXPECT_EQ(device.imageActive, 0);
  EXPECT_EQ(fat->disks[0].partitioned, 0u);
  EXPECT_EQ(fat->disks[0].parts[0].formatted, 0u);

  std::string file = Slurp(path);
  ASSERT_EQ(file.size(), 32768u + 32 * 256 + 1024 + (32u << 20));
  auto* h = reinterpret_cast<const uint8_t*>(file.data());
  EXPECT_EQ(bytes::Get32(h + image::kHdrDiskCount), 1u);
  // Disk 0: C 8192 KB, D 256 KB, E the rest of the 32 MB image, F none.
  uint32_t want[5] = {0, 8192, 256, 32768 - 8192 - 256, 0};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(bytes::Get32(h + image::kHdrDisks + 4 * i), want[i]) << i;
  EXPECT_EQ(bytes::Get32(h + image::kHdrDisks + 20), 0u);  // no second entry

  // The bitmap marks the sectors written while building: the partition
  // table, and never the unused end of E or the reserved partition.
  uint32_t dataOffset = bytes::Get32(h + image::kHdrDataOffset);
  auto bit = [&](uint32_t s) { return (h[32768 + s / 8] >> (s % 8)) & 1; };
  EXPECT_EQ(bit(0), 1);
  EXPECT_EQ(bit(63487), 0);    // the last sector of E
  EXPECT_EQ(bit(63999), 0);    // the reserved partition is never written

  // The data area, as a raw disk, reads back through a fresh engine.
  MemDevice raw;
  raw.SetGeometry(0, 2000, 1, 32);
  std::string rawPath = Path("raw.bin");
  {
    std::ofstream o(rawPath, std::ios::binary);
    o.write(file.data() + dataOffset, 64000 * 512);
  }
  ASSERT_TRUE(raw.LoadImage(0, rawPath));
  // Never-written sectors of the image read 0xFF; the raw disk's loader
  // keeps them as they are.
  auto engine = std::make_unique<FAT_DEVICE>(&raw);  // far too large for the stack
  FAT_DEVICE& check = *engine;
  check.diskCount = 1;
  ASSERT_EQ(check.Init(), 1);
  check.file_system_switch_to(0, 0);
  std::string back(big.size(), '\0');
  EXPECT_EQ(check.ReadFile(const_cast<char*>("BIG.BIN"), back.data(), int(back.size()), nullptr),
            int(big.size()));
  EXPECT_TRUE(back == big);
  check.file_system_switch_to(0, 2);
  char e[8] = {};
  EXPECT_EQ(check.ReadFile(const_cast<char*>("E.TXT"), e, 4, nullptr), 4);
  EXPECT_STREQ(e, "on E");
  EXPECT_TRUE(CheckVolume(raw, raw.Get(0, 0)[454] | raw.Get(0, 0)[455] << 8).empty());

  // The checksum file agrees with a computation of its own over the data.
  std::string crc = Slurp(Path("sys.crc"));
  ASSERT_EQ(crc.size(), size_t(32) * 2048 * 8);
  EXPECT_EQ(crc, IndependentChecksums(file.substr(dataOffset)));
}

TEST_F(ImageBuildTest, FailedStartLeavesTheDiskStateAlone) {
  std::string path = Path("no/such/dir/sys.img");
  fat->SetImageMode(0);
  EXPECT_EQ(fat->SwitchToBuildingImageMode(32, path.data()), -1);
  EXPECT_EQ(device.imageActive, 0);
  EXPECT_NE(out.text.find("sorry, create image file failed\r\n"), std::string::npos);
  // Quitting when nothing is being built changes nothing and succeeds.
  EXPECT_EQ(fat->QuitBuildingImageMode(path.data()), 0);
  EXPECT_EQ(fat->disks[0].totalSectors, 64000u);

  // An unknown kind starts nothing.
  fat->SetImageMode(5);
  EXPECT_EQ(fat->SwitchToBuildingImageMode(32, Path("k.img").data()), -1);
  EXPECT_FALSE(fs::exists(Path("k.img")));
}

TEST_F(ImageBuildTest, WritesBeyondTheImageFailTheEngineTransfer) {
  // A 16 MB image for a 31.25 MB disk: what lies past 16 MB cannot be
  // written, and the engine sees a failed transfer. (Direct transfers: the
  // file system's own writes stay inside a usable partition besides.)
  std::string path = Path("small.img");
  fat->SetImageMode(0);
  ASSERT_EQ(fat->SwitchToBuildingImageMode(16, path.data()), 0);
  std::vector<char> sector(512, 'z');
  fat->pendCount = 1;
  fat->pendBuffer = sector.data();
  fat->pendStart = 16 * 2048;
  EXPECT_EQ(fat->DirectWriteData(), -1);
  EXPECT_EQ(fat->lastError, -1);
  fat->pendStart = 16 * 2048 - 1;
  EXPECT_EQ(fat->DirectWriteData(), 0);
  EXPECT_EQ(fat->QuitBuildingImageMode(path.data()), 0);
  EXPECT_EQ(fs::file_size(path), 32768u + 16 * 256 + 1024 + (16u << 20));
}

}  // namespace
