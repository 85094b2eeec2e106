// The image refresh (UpdateIsoFromNand): partition E's mapped blocks read
// from the NAND land in the image at their sectors, their bitmap bits are
// set, and the checksum file is made again; the set-up failures.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "image_test_support.h"
#include "nand_double.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/image_file.h"

namespace {

class UpdateTest : public ImageDirTest {
 protected:
  UpdateTest() : fat(std::make_unique<FAT_DEVICE>(&nand)) {
    memset(fat->disks, 0, sizeof fat->disks);
    _DISK_INFO& d = fat->disks[0];
    d.heads = 1;
    d.sectorsPerTrack = 32;  // one logical block = one track = 32 sectors
    d.totalSectors = 4000;
    d.parts[2].startSector = 1024;
    d.parts[2].sectorCount = 2048;
    fat->buf_pool();
    // The NAND holds a recognisable byte in every sector of logical block 32.
    for (uint32_t s = 1024; s < 1056; ++s) nand.sectors[s].fill(uint8_t(0xA0 + s % 32));
  }

  // A 2 MB system image with sector 1 written, built by the device object
  // on its own (a second object: the double is the device being read).
  std::string MakeImage() {
    ZEL_DEVICE_IO maker("\\\\.\\no-such-device", 0);
    std::string p = Path("sys.iso");
    maker.SetImageMode(0);
    EXPECT_EQ(maker.BuildImageFile(2, p.data()), 0);
    std::vector<char> one(512, 0x11);
    EXPECT_EQ(maker.Write(1, 1, one.data()), 1);
    EXPECT_EQ(maker.CloseImageFile(nullptr, p.data()), 0);
    out.text.clear();
    return p;
  }

  NandDouble nand;
  std::unique_ptr<FAT_DEVICE> fat;
};

TEST_F(UpdateTest, MappedBlocksLandInTheImageWithTheirBitmapAndChecksums) {
  std::string path = MakeImage();
  nand.table = {0x01002A05u,   // logical block 32: zone 1, block 42, sector field 5
                0xFFFFFFFFu,   // 33: illegal
                0x02FFFF07u,   // 34: not assigned yet
                0x0003E801u,   // 35: zone 0, block 1000, read
                0x00040001u,   // 36: block 1024, beyond the zone
                0, 0};
  nand.failReads = 0;
  ASSERT_EQ(fat->UpdateIsoFromNand(path.data()), 0);
  EXPECT_EQ(fat->lastError, 0);
  EXPECT_EQ(nand.tableFirst, 32u);  // 1024 / 32
  EXPECT_EQ(nand.tableCount, 64u);  // 2048 / 32
  EXPECT_EQ(out.text,
            "   逻辑分区E 分区偏移=0x00000400 分区容量=0x00000800\n"
            "00000032,  1,      005,   00000042\n"
            "00000033,  非法逻辑块号\n"
            "00000034,  2,      007,   逻辑块尚未分配\n"
            "00000035,  0,      001,   00001000\n"
            "00000036,  非法逻辑块号\n"
            "创建扇区CheckSum数据 ...\n"
            "创建扇区CheckSum数据成功\n");
  ASSERT_EQ(nand.log.size(), 2u);
  EXPECT_EQ(nand.log[0].sector, 1024u);  // logical block 32 x 32 sectors
  EXPECT_EQ(nand.log[0].count, 32u);
  EXPECT_EQ(nand.log[1].sector, 35u * 32);

  std::string file = Slurp(path);
  auto* b = reinterpret_cast<const uint8_t*>(file.data());
  uint32_t dataOffset = bytes::Get32(b + image::kHdrDataOffset);
  EXPECT_EQ(b[dataOffset + 1024 * 512], 0xA0);
  EXPECT_EQ(b[dataOffset + 1055 * 512 + 511], 0xA0 + 31);
  EXPECT_EQ(b[dataOffset + 35 * 32 * 512], 0x00);  // block 35 read back as zeros
  EXPECT_EQ(b[dataOffset + 1 * 512], 0x11);        // untouched
  EXPECT_EQ(b[dataOffset + 33 * 32 * 512], 0xFF);  // skipped blocks stay as they were
  // Bitmap bytes 128..131 (sectors 1024..1055) and 140..143 (block 35)
  // set; sector 1 still set; nothing else.
  for (uint32_t i = 0; i < 512; ++i) {
    uint8_t want = (i >= 128 && i < 132) || (i >= 140 && i < 144) ? 0xFF : i == 0 ? 0x02 : 0x00;
    ASSERT_EQ(b[32768 + i], want) << i;
  }
  EXPECT_EQ(Slurp(Path("sys.crc")), IndependentChecksums(file.substr(dataOffset)));
}

TEST_F(UpdateTest, UnreadableBlockIsSkippedNotFilledWithStaleData) {
  std::string path = MakeImage();
  nand.table = {0x00000101u, 0x00000201u};  // logical blocks 32 and 33
  nand.failReads = 1;
  ASSERT_EQ(fat->UpdateIsoFromNand(path.data()), 0);
  EXPECT_NE(out.text.find("00000032,  读取NAND数据失败, 跳过\n"), std::string::npos);
  std::string file = Slurp(path);
  auto* b = reinterpret_cast<const uint8_t*>(file.data());
  uint32_t dataOffset = bytes::Get32(b + image::kHdrDataOffset);
  EXPECT_EQ(b[dataOffset + 1024 * 512], 0xFF);  // block 32 not written
  EXPECT_EQ(b[32768 + 128], 0x00);              // nor marked
  EXPECT_EQ(b[32768 + 132], 0xFF);              // block 33 is
}

TEST_F(UpdateTest, SetUpFailures) {
  std::string path = MakeImage();
  nand.nandInfoResult = -1;
  EXPECT_EQ(fat->UpdateIsoFromNand(path.data()), -1);
  EXPECT_EQ(fat->lastError, -2);
  EXPECT_EQ(out.text, "获取NAND磁盘信息失败\n");

  nand.nandInfoResult = 0;
  nand.tableAnswers = false;
  out.text.clear();
  EXPECT_EQ(fat->UpdateIsoFromNand(path.data()), -1);
  EXPECT_EQ(fat->lastError, -1);
  EXPECT_NE(out.text.find("DeviceIO执行GetBlockTable异常\n"), std::string::npos);

  // An image that cannot be opened fails the refresh.
  nand.tableAnswers = true;
  out.text.clear();
  std::string missing = Path("missing.iso");
  EXPECT_EQ(fat->UpdateIsoFromNand(missing.data()), -1);
  EXPECT_NE(out.text.find("sorry, cannot open image file\r\n"), std::string::npos);

  // A packed image is not refreshed in place.
  ASSERT_EQ(nand.BuildPakImageFile(path.data()), 0);
  std::string pak = Path("sys.PAK");
  std::string before = Slurp(pak);
  nand.table = {0x00000101u};
  out.text.clear();
  EXPECT_EQ(fat->UpdateIsoFromNand(pak.data()), -1);
  EXPECT_TRUE(Slurp(pak) == before);

  // A partition E off the track boundaries refreshes nothing and fails.
  fat->disks[0].parts[2].startSector = 1030;
  out.text.clear();
  nand.log.clear();
  EXPECT_EQ(fat->UpdateIsoFromNand(path.data()), -1);
  EXPECT_NE(out.text.find("  逻辑分区E异常。"), std::string::npos);
  EXPECT_TRUE(nand.log.empty());
}

}  // namespace
