// Partition table, configuration file, layout rule, boot sectors and the
// logical format.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "test_disk.h"
#include "../support/test_dir.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device/fat_layout.h"

namespace {

using namespace fatfmt;

// 250 cylinders of 32 heads x 32 sectors: 256,000 sectors, cylinders of 1024.
struct BigCylinders : TestDisk {
  explicit BigCylinders(std::array<int, 4> sizes, bool format = true)
      : TestDisk(250, sizes, false) {
    dev.SetGeometry(0, 250, 32, 32);
    fat->Init();
    memcpy(fat->disks[0].partSizes, sizes.data(), sizeof(int) * 4);
    if (format) {
      fat->DiskPartition(0);
      fat->DiskLogicalFormat(0, 4);
    }
    out.text.clear();
    dev.log.clear();
  }
};

TEST(PartitionTest, DefaultSizesGiveCylinderAlignedLayoutWithReservedAtTheEnd) {
  BigCylinders d({93000, 256, -1, 0}, false);
  ASSERT_EQ(d.fat->DiskPartition(0), 0);
  auto mbr = d.dev.Get(0, 0);
  auto c = DecodePartitionEntry(mbr.data(), 0), r = DecodePartitionEntry(mbr.data(), 1),
       e = DecodePartitionEntry(mbr.data(), 2), f = DecodePartitionEntry(mbr.data(), 3);
  EXPECT_EQ(c.bootIndicator, 0x80);
  EXPECT_EQ(c.systemId, kSysFat16);
  EXPECT_EQ(c.firstSector, 1024u);
  EXPECT_EQ(c.sectors, 186368u);
  EXPECT_EQ(r.systemId, kSysReserved);
  EXPECT_EQ(r.sectors, 1024u);
  EXPECT_EQ(r.firstSector, 256000u - 1024);
  EXPECT_EQ(e.systemId, kSysFat12);
  EXPECT_EQ(e.firstSector, 1024u + 186368);
  EXPECT_EQ(e.sectors, 67584u);
  EXPECT_EQ(f.sectors, 0u);
  EXPECT_EQ(bytes::Get16(mbr.data() + kMbrSignature), 0xAA55);
  EXPECT_EQ(d.fat->disks[0].partCount, 3u);
  EXPECT_EQ(d.fat->IsPartFormattted(0, 0), 0);
  EXPECT_EQ(d.fat->IsPartFormattted(0, 1), 1);
  // The rest of the first cylinder is zeroed.
  EXPECT_EQ(d.dev.CountOf('W'), 1024u);
}

TEST(PartitionTest, LayoutRuleAndItsMessages) {
  struct Case {
    std::array<int, 4> sizes;
    int result;
    const char* message;
    unsigned long main, third, fourth;
  } cases[] = {
      {{-1, 0, 0, 0}, 0, "", 256000 - 1024, 0, 0},
      {{93000, 256, -1, -1}, -1, "磁盘分区的E盘及F盘容量均设置为-1，磁盘配置文件错误!\n", 0, 0, 0},
      {{200000, 0, 0, 0}, -1, "Partition C arguments error!\r\n", 0, 0, 0},
      {{93000, 0, 80000, 0}, -1, "Partition E arguments error!\r\n", 0, 0, 0},
      {{93000, 0, 10000, 80000}, -1, "Partition F arguments error!\r\n", 0, 0, 0},
      {{93000, 0, -1, 80000}, -1, "分区F的参数错误!\r\n", 0, 0, 0},
      {{93000, 0, -1, 10000}, 0, "", 186368, 48128, 20480},
      {{93000, 0, 10000, -1}, 0, "", 186368, 20480, 48128},
      // A reserved size that is negative, or a disk without geometry, cannot
      // be laid out.
      {{93000, -1, -1, 0}, -1, "Partition C arguments error!\r\n", 0, 0, 0},
  };
  for (const auto& c : cases) {
    BigCylinders d(c.sizes, false);
    unsigned long m, r, t, f;
    EXPECT_EQ(d.fat->DiskCalcSects(0, &m, &r, &t, &f), c.result) << c.sizes[0];
    EXPECT_EQ(d.out.text, c.message);
    if (c.result == 0) {
      EXPECT_EQ(m, c.main);
      EXPECT_EQ(t, c.third);
      EXPECT_EQ(f, c.fourth);
    }
    if (c.result != 0) {
      d.dev.log.clear();
      EXPECT_EQ(d.fat->DiskPartition(0), -1);
      EXPECT_EQ(d.dev.CountOf('W'), 0u) << "nothing written";
    }
  }
  TestDisk none(2000, {8192, 0, -1, 0}, false);
  none.dev.SetGeometry(0, 0, 0, 0);
  none.fat->Init();
  unsigned long m, r, t, f;
  EXPECT_EQ(none.fat->DiskCalcSects(0, &m, &r, &t, &f), -1);
}

class ConfigTest : public ::testing::Test {
 protected:
  TestDir testDir{"tervan-cfg"};
  std::filesystem::path dir = testDir.path();
  int Load(TestDisk& d, const std::string& text) {
    std::string path = (dir / "Tervan.cfg").string();
    std::ofstream(path) << text;
    strcpy(d.fat->configFile, path.c_str());
    return d.fat->ReadConfigFile();
  }
};

TEST_F(ConfigTest, AcceptedLinesReachThePartitionSizes) {
  TestDisk d(8000, {0, 0, 0, 0}, false);  // 256,000 sectors = 128,000 KB
  d.fat->diskCount = 2;
  d.dev.SetGeometry(1, 8000, 1, 32);
  d.fat->Init();
  std::string path = (dir / "Tervan.cfg").string();
  std::ofstream(path) << "\n  93000 256 -1 0 main disk, a comment\n-1 0 0 0\n";
  strcpy(d.fat->configFile, path.c_str());
  d.out.text.clear();
  d.fat->init_part_params();
  EXPECT_EQ(d.out.text, "");
  EXPECT_EQ(d.fat->disks[0].partSizes[0], 93000);
  EXPECT_EQ(d.fat->disks[0].partSizes[2], -1);
  EXPECT_EQ(d.fat->disks[1].partSizes[0], -1);
  EXPECT_EQ(d.fat->disks[2].partSizes[0], 0);
}

TEST_F(ConfigTest, RefusedFilesFallBackToTheDefaults) {
  const char* refused[] = {
      "93000 300 -1 0\n",       // reserved above 256 KB
      "500 256 -1 0\n",         // main below 1024 KB
      "93000 256 -2 0\n",       // negative other than -1
      "0 256 -1 0\n",           // disk 0 without a main partition
      "130000 0 0 0\n",         // more than the disk
      "127000 0 -1 0\n",        // the rest would be under 1024 KB
      "93000 256\n",            // short line
  };
  for (const char* text : refused) {
    TestDisk d(8000, {0, 0, 0, 0}, false);
    EXPECT_EQ(Load(d, text), -1) << text;
    d.fat->init_part_params();
    EXPECT_EQ(d.out.text,
              "没有找到Tervan配置文件或配置文件错误，分区时，将用缺省参数进行设备分区！\n");
    for (int disk = 0; disk < 4; ++disk) {
      EXPECT_EQ(d.fat->disks[disk].partSizes[0], 93000);
      EXPECT_EQ(d.fat->disks[disk].partSizes[1], 256);
      EXPECT_EQ(d.fat->disks[disk].partSizes[2], -1);
      EXPECT_EQ(d.fat->disks[disk].partSizes[3], 0);
    }
  }
  TestDisk d(8000, {0, 0, 0, 0}, false);
  strcpy(d.fat->configFile, (dir / "missing.cfg").string().c_str());
  EXPECT_EQ(d.fat->ReadConfigFile(), -1);
}

TEST(InitTest, TablesAreCheckedPerDisk) {
  TestDisk d;  // disk 0 formatted
  // Disk 1: a valid signature with an empty slot 0 is accepted on disk 1 only.
  d.dev.SetGeometry(1, 2000, 1, 32);
  MemDevice::Sector mbr{};
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  d.dev.disks[1].sectors[0] = mbr;
  d.fat->diskCount = 2;
  EXPECT_EQ(d.fat->Init(), 1);
  EXPECT_EQ(d.fat->GetPartitionMode(0, 0), 12);
  EXPECT_EQ(d.fat->GetPartitionMode(0, 1), 0);
  EXPECT_EQ(d.fat->GetPartitionMode(1, 0), 0);
  EXPECT_EQ(d.fat->disks[1].partitioned, 1u);
  EXPECT_EQ(d.fat->curPart, &d.fat->disks[0].parts[0]);
  EXPECT_EQ(d.dev.current, 0) << "disk 1 was read with disk 1 selected, then disk 0 again";
  char path[8];
  EXPECT_STREQ(d.fat->GetCurrentDirectoryA(path, sizeof path), "\\");

  d.dev.disks[0].sectors[0] = mbr;  // disk 0 with an empty slot 0
  EXPECT_EQ(d.fat->Init(), 1);
  EXPECT_EQ(d.fat->GetPartitionMode(0, 0), 0);
  EXPECT_EQ(d.fat->disks[0].partitioned, 0u);
  EXPECT_EQ(d.fat->lastError, -2);
}

// Init asks each disk for its geometry only; a disk's tables are read when
// something first needs them. A disk that cannot be selected then stays
// unread (stale, tried again by the next command), and a device that does
// not answer at all fails Init.
TEST(InitTest, InitReadsTheGeometryOnlyAndEachDiskWhenFirstUsed) {
  TestDisk d;
  d.fat->diskCount = 2;
  d.dev.failSwitch = 1;
  d.dev.log.clear();
  EXPECT_EQ(d.fat->Init(), 1);
  ASSERT_EQ(d.dev.log.size(), 2u);
  EXPECT_EQ(d.dev.log[0].op, 'C');
  EXPECT_EQ(d.dev.log[1].op, 'C');
  EXPECT_EQ(d.fat->GetPartitionMode(0, 0), 12);
  EXPECT_EQ(d.fat->GetPartitionMode(1, 0), 0);
  EXPECT_EQ(d.fat->disks[0].parts[0].fatWidth, 12u);
  d.dev.gone = true;
  EXPECT_EQ(d.fat->Init(), -1);
  EXPECT_EQ(d.fat->IsFatInit(), 0);
  EXPECT_EQ(d.fat->lastError, -2);
}

// A FAT that could not be read at start-up is not taken for an empty one:
// the disk is read again before the first command uses it, and a write
// cannot commit a blank table over the files on the device.
TEST(InitTest, AFatThatCouldNotBeReadIsReadAgainBeforeAnyWrite) {
  TestDisk d;
  ASSERT_EQ(d.Write("keep.txt", "kept"), 4);
  d.dev.failSector = d.fat->curPart->startSector + 32;  // in the first FAT
  d.fat->Init();
  d.fat->file_system_switch_to(0, 0);
  EXPECT_EQ(d.Write("new.txt", "x"), -1);
  d.dev.failSector = -1;
  EXPECT_EQ(d.Write("new.txt", "x"), 1);
  EXPECT_EQ(d.Read("keep.txt"), "kept");
  EXPECT_TRUE(CheckVolume(d.dev, d.fat->curPart->startSector).empty());
}

TEST(InitTest, PartitionReportLines) {
  BigCylinders d({93000, 256, -1, 0});
  d.fat->Display_part_table();
  EXPECT_EQ(d.out.text,
            "---------------------------------------------\r\n"
            "Disk 0 partition info: PARTITIONED\n"
            "\tDisk total size: 128000 KB\r\n"
            "\tPartition C: 93184 KB,  FAT 16, \t\t\tFormatted\r\n"
            "\tPartition D: 512 KB,  Reserved, \t\t\tFormatted\r\n"
            "\tPartition E: 33792 KB,  FAT 12, \t\t\tFormatted\r\n"
            "\tPartition F not exists\r\n"
            "\tReserved free disk size: 512 KB\r\n");
}

// A table entry that runs into another partition (C over E into the
// reserved D) or past the disk's end (E): nothing is written to it, neither
// by a format nor by a file operation nor by a FAT commit, and the report
// says so; what it holds can still be read.
TEST(PartitionTest, PartitionsOverlappingOthersOrPastTheDiskAreNeverWritten) {
  BigCylinders d({93000, 256, -1, 0});
  d.fat->file_system_switch_to(0, 0);
  ASSERT_EQ(d.Write("keep.txt", "kept"), 4);
  auto& mbr = d.dev.At(0, 0);
  PartitionEntry c = DecodePartitionEntry(mbr.data(), 0), e = DecodePartitionEntry(mbr.data(), 2);
  c.sectors = 256000 - c.firstSector;
  e.sectors += 4096;
  EncodePartitionEntry(c, mbr.data(), 0);
  EncodePartitionEntry(e, mbr.data(), 2);
  d.dev.At(0, 256000 - 1024)[0] = 0x77;  // a byte of the reserved partition
  d.fat->Init();
  d.fat->file_system_switch_to(0, 0);
  const auto before = d.dev.disks[0].sectors;
  d.out.text.clear();
  d.dev.log.clear();

  EXPECT_EQ(d.Read("keep.txt"), "kept");
  EXPECT_EQ(d.Write("new.txt", "x"), -1);
  EXPECT_EQ(d.fat->lastError, -2);
  std::string dir = Entry(*d.fat, "dir"), keep = Entry(*d.fat, "keep.txt");
  EXPECT_EQ(d.fat->MakeDirectory(dir.data()), -1);
  EXPECT_EQ(d.fat->RemoveFile(keep.data()), -1);
  EXPECT_EQ(d.fat->Rename(const_cast<char*>("keep.txt"), const_cast<char*>("k.txt")), -1);
  EXPECT_EQ(d.fat->SaveFatTable(), -1) << "the writes themselves are refused";
  EXPECT_EQ(d.fat->DiskLogicalFormat(0, 2), -1);
  EXPECT_EQ(d.fat->DiskLogicalFormat(0, 4), -1);
  EXPECT_EQ(d.dev.CountOf('W') + d.dev.CountOf('w'), 0u);
  EXPECT_TRUE(d.dev.disks[0].sectors == before);
  const std::string refusedC = "分区C:超出磁盘或与其他分区重叠，不能写入!\n";
  EXPECT_EQ(d.out.text, "%  \b\b100" + refusedC + refusedC + refusedC + refusedC +
                            "分区E:超出磁盘或与其他分区重叠，不能写入!\n"
                            "正在格式化(磁盘 0 分区 E:)......失败" +
                            refusedC + "正在格式化(磁盘 0 分区 C:)......失败\r\n");
  d.out.text.clear();
  d.fat->Display_part_table();
  EXPECT_NE(d.out.text.find("\tPartition C: 127488 KB,  FAT 16, \t\t\tFormatted\r\n"
                            "\t分区C:超出磁盘或与其他分区重叠，不能写入!\r\n"),
            std::string::npos)
      << d.out.text;
  // A new partition table makes the disk usable again.
  memcpy(d.fat->disks[0].partSizes, std::array<int, 4>{93000, 256, -1, 0}.data(), 16);
  ASSERT_EQ(d.fat->DiskPartition(0), 0);
  ASSERT_EQ(d.fat->DiskLogicalFormat(0, 4), 0);
  d.fat->file_system_switch_to(0, 0);
  EXPECT_EQ(d.Write("new.txt", "x"), 1);
  EXPECT_EQ(d.dev.Get(0, 256000 - 1024)[0], 0x77);
}

// ---- format --------------------------------------------------------------------

TEST(FormatTest, ParametersAtTheBoundaries) {
  struct Case {
    uint32_t s;
    int spc, reserved, roots;
    uint16_t tot16;
    uint32_t tot32;
    int spf;
    const char* type;
  } cases[] = {
      {65535, 32, 32, 512, 65535, 0, 32, "FAT12   "},
      {65536, 32, 32, 512, 0, 65536, 32, "FAT12   "},
      {100000, 32, 32, 512, 0, 100000, 32, "FAT12   "},
      {130720, 32, 32, 512, 0, 130720, 32, "FAT12   "},  // 4085 clusters' worth: still FAT12
      // A FAT16 layout would leave 4,082 .. 4,084 data clusters: a FAT12 count.
      {130752, 32, 32, 512, 0, 130752, 32, "FAT12   "},
      {130816, 32, 32, 512, 0, 130816, 32, "FAT12   "},
      {130847, 32, 32, 512, 0, 130847, 32, "FAT12   "},
      {130848, 32, 32, 512, 0, 130848, 32, "FAT16   "},  // 4,085 data clusters
      {186368, 32, 32, 512, 0, 186368, 32, "FAT16   "},
      {2097151, 32, 32, 512, 0, 2097151, 256, "FAT16   "},
      {2097152, 64, 64, 1024, 0, 2097152, 192, "FAT16   "},
      {4194303, 64, 64, 1024, 0, 4194303, 256, "FAT16   "},
  };
  for (const auto& c : cases) {
    BootParams b = FormatParams(c.s, 32, 1);
    EXPECT_EQ(b.sectorsPerCluster, c.spc) << c.s;
    EXPECT_EQ(b.reservedSectors, c.reserved) << c.s;
    EXPECT_EQ(b.rootEntries, c.roots) << c.s;
    EXPECT_EQ(b.totalSectors16, c.tot16) << c.s;
    EXPECT_EQ(b.totalSectors32, c.tot32) << c.s;
    EXPECT_EQ(b.sectorsPerFat, c.spf) << c.s;
    EXPECT_EQ(std::string(b.fsType, 8), c.type) << c.s;
  }
}

TEST(FormatTest, BootSectorBytes) {
  TestDisk d;
  auto s = d.dev.Get(0, d.fat->curPart->startSector);
  const uint8_t head[] = {0xE9, 0, 0, 'Z', 'E', 'L', ' ', ' ', 'F', 'A', 'T', 0x00, 0x02, 32, 32, 0, 2,
                          0x00, 0x02, 0x00, 0x40, 0xF8, 32, 0, 32, 0, 1, 0};
  EXPECT_EQ(0, memcmp(s.data(), head, sizeof head));
  EXPECT_EQ(0, memcmp(s.data() + kBsVolLab, "ZEL VANTLE\0FAT12   ", 19));
  EXPECT_EQ(s[510], 0x55);
  EXPECT_EQ(s[511], 0xAA);
  uint32_t fat1 = d.fat->curPart->startSector + 32;
  EXPECT_EQ(d.dev.Get(0, fat1)[0], 0xF8);
  EXPECT_EQ(d.dev.Get(0, fat1)[2], 0xFF);
  EXPECT_EQ(d.dev.Get(0, fat1)[3], 0x00);
  EXPECT_EQ(d.dev.Get(0, fat1 + 32)[1], 0xFF) << "second copy";
}

TEST(FormatTest, TooLargeForFat16IsRefusedWithoutWriting) {
  TestDisk d(140000, {-1, 0, 0, 0}, false);  // 4,480,000 sectors
  d.fat->Init();
  memcpy(d.fat->disks[0].partSizes, std::array<int, 4>{2097152, 0, -1, 0}.data(), 16);
  ASSERT_EQ(d.fat->DiskPartition(0), 0);
  ASSERT_GE(d.fat->disks[0].parts[0].sectorCount, 4194304u);
  d.out.text.clear();
  d.dev.log.clear();
  EXPECT_EQ(d.fat->DiskLogicalFormat(0, 0), -1);
  EXPECT_EQ(d.dev.CountOf('W'), 0u);
  EXPECT_EQ(d.out.text,
            "正在格式化(磁盘 0 分区 C:)......"
            "分区容量的扇区总数4194304超出FAT16最大范围(65536*64), 需使用FAT32文件系统。\n"
            "Tervan 暂时不支持FAT32系统格式化， 系统逻辑格式化失败\n"
            "失败");
}

TEST(FormatTest, AllPartitionsSkipTheReservedSlotAndReloadEverything) {
  BigCylinders d({93000, 256, -1, 0}, false);
  ASSERT_EQ(d.fat->DiskPartition(0), 0);
  d.out.text.clear();
  d.dev.log.clear();
  ASSERT_EQ(d.fat->DiskLogicalFormat(0, 4), 0);
  EXPECT_EQ(d.out.text,
            "正在格式化(磁盘 0 分区 C:)......成功\r\n"
            "正在格式化(磁盘 0 分区 D:)......成功\r\n"
            "正在格式化(磁盘 0 分区 E:)......成功\r\n");
  uint32_t reservedStart = 256000 - 1024;
  for (const auto& r : d.dev.log) {
    if (r.op == 'W') {
      EXPECT_LT(r.sector, reservedStart) << "nothing written to D";
    }
  }
  EXPECT_EQ(d.fat->GetPartitionMode(0, 0), 16);
  EXPECT_EQ(d.fat->GetPartitionMode(0, 2), 12);
  d.fat->file_system_switch_to(0, 0);
  unsigned long bytes;
  d.fat->SearchFreeByte(&bytes);
  EXPECT_EQ(bytes, d.fat->curPart->dataClusters * 16384ul);
  _FILE_FIND f;
  EXPECT_EQ(d.fat->FindFirstFileA(const_cast<char*>("*"), &f), 0);
  // Slot 1 alone is a silent no-op; an empty slot is refused, not written over sector 0.
  d.dev.log.clear();
  EXPECT_EQ(d.fat->DiskLogicalFormat(0, 1), 0);
  EXPECT_EQ(d.fat->DiskLogicalFormat(0, 3), -1);
  EXPECT_EQ(d.dev.CountOf('W'), 0u);
}

}  // namespace
