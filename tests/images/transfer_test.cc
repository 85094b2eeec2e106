// The ISO burn (TransferImageFile) against an in-memory NAND: images made
// here byte by byte (not by the library), plain and packed, the run
// traffic, the retries, every failure ending and its messages.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "image_test_support.h"
#include "nand_double.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/image_file.h"

namespace {

constexpr uint32_t kRun = 1024;  // sectors per run

// The bytes of sector s of a test image.
std::string SectorData(uint32_t s) {
  std::string d(512, '\0');
  for (size_t i = 0; i < 512; ++i) d[i] = char((s * 7 + i * 13) & 0xFF);
  return d;
}

// A system image (or its packed form) of sizeMb whose used runs are
// usedRuns; in each used run only the first sector is marked assigned (a
// run is sent whole all the same). Sector data everywhere is SectorData.
std::string MakeImage(uint32_t sizeMb, std::vector<uint32_t> usedRuns, bool packed,
                      uint32_t diskCount = 1) {
  uint32_t bitmapBytes = sizeMb * 256, dataOffset = 32768 + bitmapBytes + 1024;
  std::string f(dataOffset, '\xFF');
  auto* h = reinterpret_cast<uint8_t*>(f.data());
  memset(h, 0, 164);
  strcpy(reinterpret_cast<char*>(h), packed ? image::kPackedMarker : image::kSystemMarker);
  bytes::Put32(h + 64, sizeMb);
  bytes::Put32(h + 72, 32768);
  bytes::Put32(h + 76, dataOffset);
  bytes::Put32(h + 80, diskCount);
  for (uint32_t d = 0; d < diskCount && d < 4; ++d) {
    uint32_t entry[5] = {d, 93000, 256, 37816 + d, 0};
    for (int k = 0; k < 5; ++k) bytes::Put32(h + 84 + 20 * d + 4 * k, entry[k]);
  }
  memset(h + 32768, 0, bitmapBytes);
  for (uint32_t r : usedRuns) h[32768 + r * 128] = 0x01;
  for (uint32_t r = 0; r < sizeMb * 2; ++r) {
    bool used = std::find(usedRuns.begin(), usedRuns.end(), r) != usedRuns.end();
    if (packed && !used) continue;
    for (uint32_t s = r * kRun; s < (r + 1) * kRun; ++s) f += SectorData(s);
  }
  return f;
}

void NoSleep(uint32_t) {}

class TransferTest : public ImageDirTest {
 protected:
  TransferTest() : fat(std::make_unique<FAT_DEVICE>(&nand)) {
    previousSleep = host::SetSleep(NoSleep);
    memset(fat->disks, 0, sizeof fat->disks);
    // A 2 MB device: (4000 / 2) / 1000 = 2.
    fat->disks[0].totalSectors = 4000;
    nand.totalSectors = 4000;
    fat->buf_pool();
    fat->file_system_switch_to(0, 0);
  }
  ~TransferTest() override { host::SetSleep(previousSleep); }

  int Burn(const std::string& imageBytes, const std::string& name = "sys.img") {
    Spill(Path(name), imageBytes);
    std::string p = Path(name);
    return fat->TransferImageFile(p.data());
  }
  std::string DeviceSectors(uint32_t first, uint32_t count) {
    std::string s;
    for (uint32_t i = first; i < first + count; ++i) {
      auto it = nand.sectors.find(i);
      s += it == nand.sectors.end() ? std::string(512, '\0')
                                    : std::string(reinterpret_cast<char*>(it->second.data()), 512);
    }
    return s;
  }
  std::string Expected(uint32_t first, uint32_t count) {
    std::string s;
    for (uint32_t i = first; i < first + count; ++i) s += SectorData(i);
    return s;
  }

  NandDouble nand;
  std::unique_ptr<FAT_DEVICE> fat;
  host::SleepFn previousSleep = nullptr;
};

const char kHeaderLines[] =
    "ISO映像对应的NandFlash大小为 2 MB,ISO镜像磁盘分区信息如下:\r\n"
    "Disk 0\r\n\t C: 93000 KB, D: 256 KB, E: 37816 KB, F:0 KB\r\n\n";
const char kFailureEnd[] = "\n\nNandFlash ISO镜像烧写失败... \r\n\n按任意键退出\n";

TEST_F(TransferTest, PlainImageWritesOnlyItsUsedRunsAndVerifiesThem) {
  ASSERT_EQ(Burn(MakeImage(2, {0, 2}, false)), 0);
  ASSERT_EQ(nand.log.size(), 4u);  // one write and one read back per used run
  EXPECT_EQ(nand.log[0].op, 'w');
  EXPECT_EQ(nand.log[0].sector, 0u);
  EXPECT_EQ(nand.log[0].count, 1024u);
  EXPECT_EQ(nand.log[1].op, 'r');
  EXPECT_EQ(nand.log[2].sector, 2048u);
  EXPECT_EQ(nand.log[3].sector, 2048u);
  EXPECT_TRUE(DeviceSectors(0, kRun) == Expected(0, kRun));
  EXPECT_TRUE(DeviceSectors(2048, kRun) == Expected(2048, kRun));
  EXPECT_EQ(nand.sectors.count(1024), 0u);  // run 1 is empty: never written
  EXPECT_EQ(nand.badInfoSaves, 1);
  EXPECT_EQ(out.text, std::string(kHeaderLines) +
                          "NandFlash ISO镜像烧写进行中... 50%\r"
                          "NandFlash ISO镜像烧写进行中... 100%\r"
                          "NandFlash ISO镜像烧写进行中... 100%\r"
                          "\n更新坏块信息表成功 \n"
                          "\n\nNandFlash ISO镜像烧写成功... \r\n");
}

TEST_F(TransferTest, PackedImageRunsAreReadInFileOrderAndLandAtTheirSectors) {
  std::string packed = MakeImage(2, {0, 1, 2}, true);
  ASSERT_EQ(packed.size(), 32768u + 512 + 1024 + 3 * image::kRunBytes);
  ASSERT_EQ(Burn(packed, "sys.PAK"), 0);
  EXPECT_EQ(nand.CountOf('w'), 3u);
  EXPECT_TRUE(DeviceSectors(0, 3 * kRun) == Expected(0, 3 * kRun));

  // A packed image whose runs are not 0..2: the second stored run belongs
  // at run 2, not at run 1.
  nand.sectors.clear();
  nand.log.clear();
  ASSERT_EQ(Burn(MakeImage(2, {0, 2}, true), "gap.PAK"), 0);
  EXPECT_TRUE(DeviceSectors(2048, kRun) == Expected(2048, kRun));
  EXPECT_EQ(nand.sectors.count(1024), 0u);
}

TEST_F(TransferTest, EmptyBitmapWritesNothingAndSucceeds) {
  ASSERT_EQ(Burn(MakeImage(2, {}, false)), 0);
  EXPECT_TRUE(nand.log.empty());
  EXPECT_EQ(nand.badInfoSaves, 1);
  EXPECT_NE(out.text.find("NandFlash ISO镜像烧写进行中... 100%\r\n更新坏块信息表成功 \n"),
            std::string::npos);
}

TEST_F(TransferTest, TwoCorruptReadBacksAreRetriedThenTheRunSucceeds) {
  nand.corruptReads = 2;
  ASSERT_EQ(Burn(MakeImage(2, {1}, false)), 0);
  EXPECT_EQ(nand.CountOf('w'), 3u);
  EXPECT_EQ(nand.CountOf('r'), 3u);
  std::string retry = "\n写地址(扇区号 = 1024)校验检查失败，重新开始写入.\n";
  EXPECT_EQ(out.text, std::string(kHeaderLines) + retry + retry +
                          "NandFlash ISO镜像烧写进行中... 100%\r"
                          "NandFlash ISO镜像烧写进行中... 100%\r"
                          "\n更新坏块信息表成功 \n"
                          "\n\nNandFlash ISO镜像烧写成功... \r\n");
}

TEST_F(TransferTest, FailedReadBackIsRetried) {
  nand.failReads = 1;
  ASSERT_EQ(Burn(MakeImage(2, {0}, false)), 0);
  EXPECT_NE(out.text.find("\n回读地址(扇区号 = 0)的块数据失败，重新开始写入.\n"), std::string::npos);
  EXPECT_TRUE(DeviceSectors(0, kRun) == Expected(0, kRun));
}

TEST_F(TransferTest, TenFailedVerificationsEndTheBurn) {
  nand.corruptReads = 10;
  EXPECT_EQ(Burn(MakeImage(2, {0, 2}, false)), -1);
  EXPECT_EQ(nand.CountOf('w'), 10u);  // run 2 is never reached
  EXPECT_EQ(nand.badInfoSaves, 0);
  std::string tail =
      "\n写NandFlash逻辑地址(扇区号 = 0)连续10次校验检查失败，连续发现10个物理坏块。请检查NandFlash芯片\r\n" +
      std::string(kFailureEnd);
  ASSERT_GE(out.text.size(), tail.size());
  EXPECT_EQ(out.text.substr(out.text.size() - tail.size()), tail);

  // Nine failures still succeed.
  nand.log.clear();
  nand.corruptReads = 9;
  EXPECT_EQ(Burn(MakeImage(2, {0}, false)), 0);
  EXPECT_EQ(nand.CountOf('w'), 10u);
}

TEST_F(TransferTest, FailedWriteEndsWithoutTheFailureBanner) {
  nand.failWrites = 1;
  EXPECT_EQ(Burn(MakeImage(2, {0}, false)), -1);
  EXPECT_EQ(out.text, std::string(kHeaderLines) +
                          "\r\n将镜像数据写入字典机(或烧录器)失败，请确认USB连接是否存在异常，然后重新开始.\r\n"
                          "\n按任意键退出\n");
}

TEST_F(TransferTest, RefusedImages) {
  struct Case {
    const char* what;
    std::string bytes;
    uint32_t deviceSectors;
    std::string message;
  };
  std::string notAnImage = MakeImage(2, {0}, false);
  notAnImage[0] = 'X';
  std::string shortBitmap = MakeImage(2, {0}, false).substr(0, 32768 + 100);
  std::vector<Case> cases = {
      {"marker", notAnImage, 4000, "映像文件(@)格式不正确.\r\n"},
      {"no disks", MakeImage(2, {0}, false, 0), 4000,
       "ISO映像对应的NandFlash大小为 2 MB,ISO映像文件(@)磁盘分区异常.\r\n"},
      // (262144 / 2) / 1000 = 131, not 2; and (4002 / 2) / 1000 = 2 fits.
      {"capacity", MakeImage(2, {0}, false), 262144,
       "ISO镜像文件(@)的容量与正在烧写的NandFlash容量不匹配.\r\n"},
      {"bitmap", shortBitmap, 4000, "读取ISO镜像文件(@)的扇区分配标志数据错误.\r\n"},
      // Run 0 ends at the data offset (32768 + 512 + 1024) + 524288.
      {"data", MakeImage(2, {0}, false).substr(0, 40000), 4000,
       "ISO镜像文件(@)不完整: 应有558592字节, 实有40000字节.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    out.text.clear();
    nand.log.clear();
    fat->disks[0].totalSectors = c.deviceSectors;
    std::string path = Path("bad.img");
    EXPECT_EQ(Burn(c.bytes, "bad.img"), -1);
    std::string message = c.message;
    message.replace(message.find('@'), 1, path);
    EXPECT_NE(out.text.find(message + kFailureEnd), std::string::npos) << out.text;
    EXPECT_TRUE(nand.log.empty());
  }

  out.text.clear();
  std::string missing = Path("missing.img");
  EXPECT_EQ(fat->TransferImageFile(missing.data()), -1);
  EXPECT_EQ(out.text, "映像文件打开失败，请确认ISO文件(" + missing + ")是否存在\n" + kFailureEnd);

  fat->disks[0].totalSectors = 4002;
  out.text.clear();
  EXPECT_EQ(Burn(MakeImage(2, {}, false)), 0);
}

TEST_F(TransferTest, FailedBadBlockTableUpdateFailsTheBurn) {
  nand.badInfoResult = 1;
  EXPECT_EQ(Burn(MakeImage(2, {0}, false)), -1);
  EXPECT_NE(out.text.find("100%\r\n更新坏块信息表失败 \n" + std::string(kFailureEnd)),
            std::string::npos);
}

TEST_F(TransferTest, CapacityIsThatOfTheDeviceObjectsCurrentDisk) {
  fat->disks[0].totalSectors = 256000;
  fat->disks[1].totalSectors = 4000;
  nand.currentDisk = 1;
  EXPECT_EQ(Burn(MakeImage(2, {0}, false)), 0);
}

TEST_F(TransferTest, BurntFileSystemsAreWhatLaterCommandsSee) {
  // An image built by the engine itself (through the same device object's
  // image mode): C of 1 MB holding one file.
  int sizes[4] = {1024, 256, -1, 0};
  _DISK_INFO& d = fat->disks[0];
  memcpy(d.partSizes, sizes, sizeof sizes);
  d.cylinders = 125;
  d.heads = 1;
  d.sectorsPerTrack = 32;
  d.totalSectors = d.unpartitionedSectors = 4000;
  std::string path = Path("fs.img");
  fat->SetImageMode(0);
  ASSERT_EQ(fat->SwitchToBuildingImageMode(2, path.data()), 0);
  ASSERT_EQ(fat->DiskPartition(0), 0);
  ASSERT_EQ(fat->DiskLogicalFormat(0, 4), 0);
  fat->file_system_switch_to(0, 0);
  std::string text = "burnt into the NAND";
  ASSERT_EQ(fat->WriteFile(const_cast<char*>("BURNT.TXT"), text.data(), int(text.size()), nullptr),
            int(text.size()));
  ASSERT_EQ(fat->QuitBuildingImageMode(path.data()), 0);
  ASSERT_EQ(fat->disks[0].partitioned, 0u);  // the device's own state again

  ASSERT_EQ(fat->TransferImageFile(path.data()), 0);
  // The engine reads the burnt disk, not its state from before the burn:
  // the file is there, and a new one lands beside it in the burnt FAT.
  EXPECT_EQ(fat->disks[0].partitioned, 1u);
  fat->file_system_switch_to(0, 0);
  ASSERT_EQ(fat->FileSize(const_cast<char*>("BURNT.TXT")), int(text.size()));
  std::string back(text.size(), '\0');
  EXPECT_EQ(fat->ReadFile(const_cast<char*>("BURNT.TXT"), back.data(), int(back.size()), nullptr),
            int(text.size()));
  EXPECT_EQ(back, text);
  EXPECT_EQ(fat->WriteFile(const_cast<char*>("NEW.TXT"), const_cast<char*>("new"), 3, nullptr), 3);
  // A second engine reading the NAND from scratch finds both files.
  auto fresh = std::make_unique<FAT_DEVICE>(&nand);
  _DISK_INFO& f = fresh->disks[0];
  f.cylinders = 125;
  f.heads = 1;
  f.sectorsPerTrack = 32;
  f.totalSectors = 4000;
  fresh->buf_pool();
  ASSERT_EQ(fresh->DiskLoadMBS(&f.sector, 0), 0);
  ASSERT_EQ(fresh->DiskLoadPBS(&f.sector, 0), 0);
  ASSERT_EQ(fresh->DiskLoadFatTable(0), 0);
  fresh->file_system_switch_to(0, 0);
  EXPECT_EQ(fresh->FileSize(const_cast<char*>("BURNT.TXT")), int(text.size()));
  EXPECT_EQ(fresh->FileSize(const_cast<char*>("NEW.TXT")), 3);
}

}  // namespace
