// The sector cache and the FAT image.

#include <gtest/gtest.h>

#include <algorithm>

#include "test_disk.h"
#include "tervlink/fat_device/fat_layout.h"

namespace {

class CacheTest : public ::testing::Test {
 protected:
  TestDisk d;
  FAT_DEVICE& fat = *d.fat;
};

TEST_F(CacheTest, HitsNeedNoTrafficAndEvictionComesAfter41Sectors) {
  d.dev.At(0, 100)[0] = 0x42;
  _CACHE* b = fat.get_block(100, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data[0], 0x42);
  fat.put_block(b);
  EXPECT_EQ(d.dev.CountOf('R'), 1u);
  _CACHE* again = fat.get_block(100, 0);
  EXPECT_EQ(again, b);
  fat.put_block(again);
  EXPECT_EQ(d.dev.CountOf('R'), 1u) << "a cached sector is served without a read";

  for (unsigned s = 200; s < 240; ++s) fat.put_block(fat.get_block(s, 0));  // 40 others
  EXPECT_EQ(d.dev.CountOf('R'), 41u);
  fat.put_block(fat.get_block(100, 0));
  EXPECT_EQ(d.dev.CountOf('R'), 42u) << "sector 100 was the least recently used and evicted";
  fat.put_block(fat.get_block(239, 0));
  EXPECT_EQ(d.dev.CountOf('R'), 42u);
}

TEST_F(CacheTest, NoReadBufferIsWrittenOnceOnReleaseAndCleanReleaseWritesNothing) {
  _CACHE* b = fat.get_block(300, 1);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(d.dev.CountOf('R'), 0u);
  memset(b->data, 0x5A, 512);
  b->dirty = 1;
  EXPECT_EQ(fat.put_block(b), 512);
  ASSERT_EQ(d.dev.log.size(), 1u);
  EXPECT_EQ(d.dev.log[0].op, 'W');
  EXPECT_EQ(d.dev.log[0].sector, 300u);
  EXPECT_EQ(d.dev.log[0].count, 1u);
  EXPECT_EQ(d.dev.Get(0, 300)[511], 0x5A);
  EXPECT_EQ(fat.put_block(fat.get_block(300, 0)), 0);
  EXPECT_EQ(d.dev.log.size(), 1u);
  EXPECT_EQ(fat.put_block(nullptr), 0);
}

TEST_F(CacheTest, FailedReadLeavesBufferUsableAndFailedWriteIsReported) {
  d.dev.failSector = 400;
  EXPECT_EQ(fat.get_block(400, 0), nullptr);
  EXPECT_EQ(fat.lastError, -1);
  d.dev.failSector = -1;
  _CACHE* b = fat.get_block(400, 0);
  ASSERT_NE(b, nullptr);
  b->dirty = 1;
  d.dev.failWriteAfter = 0;
  EXPECT_EQ(fat.put_block(b), -1);
  EXPECT_EQ(b->dirty, 0);
  d.dev.failWriteAfter = -1;
  // All 40 buffers still cycle.
  for (unsigned s = 500; s < 600; ++s) {
    _CACHE* c = fat.get_block(s, 1);
    ASSERT_NE(c, nullptr);
    fat.put_block(c);
  }
}

TEST_F(CacheTest, DirectTransfersSkipEmptyCountsAndKeepTheCacheCoherent) {
  fat.pendCount = 0;
  EXPECT_EQ(fat.ReadData(), 0);
  EXPECT_EQ(fat.WriteData(), 0);
  EXPECT_TRUE(d.dev.log.empty());

  fat.put_block(fat.get_block(700, 0));  // cached (zeros)
  char data[1024];
  memset(data, 0x77, sizeof data);
  fat.pendCount = 2;
  fat.pendBuffer = data;
  fat.pendStart = 699;
  ASSERT_EQ(fat.WriteData(), 0);
  _CACHE* b = fat.get_block(700, 0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data[0], 0x77) << "a direct write must not leave a stale cached copy";
  fat.put_block(b);
  fat.pendStart = 800;
  fat.pendCount = 1;
  d.dev.failWriteAfter = 0;
  EXPECT_EQ(fat.DirectWriteData(), -1);
  EXPECT_EQ(fat.lastError, -1);
}

// ---- FAT image ---------------------------------------------------------------

class FatTest : public ::testing::Test {
 protected:
  TestDisk d;
  FAT_DEVICE& fat = *d.fat;
};

TEST_F(FatTest, Fat12NeighboursShareTheMiddleByteWithoutDisturbingEachOther) {
  ASSERT_EQ(fat.curPart->fatWidth, 12u);
  struct Case {
    unsigned a, b;
  } pairs[] = {{2, 3}, {4, 5}, {100, 101}, {510, 511}};
  for (auto p : pairs) {
    fat.SetFatEntry(p.a, 0xABC);
    fat.SetFatEntry(p.b, 0x123);
    EXPECT_EQ(fat.NextFatEntry(p.a), 0xABCu);
    EXPECT_EQ(fat.NextFatEntry(p.b), 0x123u);
    fat.SetFatEntry(p.a, 0xFFF);
    EXPECT_EQ(fat.NextFatEntry(p.b), 0x123u);
    fat.SetFatEntry(p.b, 0);
    EXPECT_EQ(fat.NextFatEntry(p.a), 0xFFFu);
  }
  // Exact bytes of one group: entries 2 = 0x345, 3 = 0x678 at bytes 3..5.
  fat.SetFatEntry(2, 0x345);
  fat.SetFatEntry(3, 0x678);
  EXPECT_EQ(fat.curPart->fat[3], 0x45);
  EXPECT_EQ(fat.curPart->fat[4], 0x83);
  EXPECT_EQ(fat.curPart->fat[5], 0x67);
  EXPECT_EQ(fat.curPart->fat[0], 0xF8) << "entry 0 (media) untouched";
}

// A FAT12 entry whose 12 bits straddle two FAT sectors (entry 341: bytes
// 511 and 512; entry 682: bytes 1023 and 1024), changed and saved alone:
// both sectors reach every copy on the device.
TEST_F(FatTest, Fat12EntryAcrossTwoSectorsReachesEveryCopyWhole) {
  _PART_INFO& part = *fat.curPart;
  ASSERT_EQ(part.fatWidth, 12u);
  ASSERT_EQ(fat.SaveFatTable(), 0);  // the first save after a load writes everything
  const uint32_t base = part.startSector + part.reservedSectors;
  for (unsigned entry : {341u, 682u}) {
    for (unsigned value : {0xABCu, 0x5A5u}) {
      fat.SetFatEntry(entry, value);
      ASSERT_EQ(fat.SaveFatTable(), 0);
      for (uint32_t copy = 0; copy < part.fatCount; ++copy)
        for (uint32_t i = 0; i < part.sectorsPerFat; ++i) {
          MemDevice::Sector onDevice = d.dev.Get(0, base + copy * part.sectorsPerFat + i);
          ASSERT_EQ(memcmp(onDevice.data(), part.fat + size_t(i) * 512, 512), 0)
              << "entry " << entry << ", copy " << copy << ", FAT sector " << i;
        }
    }
  }
}

TEST_F(FatTest, AFormatLeavesNoByteTheSessionWroteInTheFatImage) {
  _PART_INFO& part = *fat.curPart;
  size_t loaded = size_t(part.sectorsPerFat) * 512;
  std::vector<uint8_t> device(part.fat, part.fat + loaded);  // as formatted
  fat.SetFatEntry(5, 0xABC);
  part.fatWidth = 16;  // an entry far past the end of this FAT12 image
  fat.SetFatEntry(unsigned(loaded / 2 + 1000), 0x1234);
  part.fatWidth = 12;
  ASSERT_EQ(fat.DiskLogicalFormat(0, 4), 0);  // formats and reloads the disk
  EXPECT_EQ(std::vector<uint8_t>(part.fat, part.fat + loaded), device);
  EXPECT_EQ(std::count(part.fat + loaded, part.fat + kFatImageBytes, 0), ptrdiff_t(kFatImageBytes - loaded));
}

TEST_F(FatTest, EndOfChainValues) {
  ASSERT_EQ(fat.curPart->fatWidth, 12u);
  EXPECT_EQ(fat.CheckEndCluster(0xFF7), -1);
  EXPECT_EQ(fat.CheckEndCluster(0xFF8), 0);
  EXPECT_EQ(fat.CheckEndCluster(0xFFF), 0);
  EXPECT_EQ(fat.CheckFatEnd(0xFF8), -1);
  EXPECT_EQ(fat.lastError, -3);
  fat.MarkEndCluster(9);
  EXPECT_EQ(fat.NextFatEntry(9), 0xFFFu);
  fat.curPart->fatWidth = 16;
  EXPECT_EQ(fat.CheckEndCluster(0xFFF7), -1);
  EXPECT_EQ(fat.CheckEndCluster(0xFFF8), 0);
  EXPECT_EQ(fat.CheckEndCluster(0xFF8), -1);
  fat.curPart->fatWidth = 12;
}

TEST_F(FatTest, ChainSizesAreWholeClustersLowestFirst) {
  const unsigned long cluster = 32 * 512;
  struct Case {
    unsigned long size;
    unsigned clusters;
  } cases[] = {{0, 1}, {1, 1}, {cluster, 1}, {cluster + 1, 2}, {3 * cluster, 3}};
  for (auto c : cases) {
    ASSERT_EQ(fat.LoadFatTable(), 0);
    unsigned first = 0;
    ASSERT_EQ(fat.MakeFatChain(c.size, &first), 0);
    EXPECT_EQ(first, 2u);
    unsigned n = 1, x = first;
    while (fat.CheckEndCluster(fat.NextFatEntry(x)) != 0) {
      EXPECT_EQ(fat.NextFatEntry(x), x + 1);
      x = fat.NextFatEntry(x);
      ++n;
    }
    EXPECT_EQ(n, c.clusters) << "size " << c.size;
  }
}

TEST_F(FatTest, FullDiskDuringChainReloadsTheTableFromTheDevice) {
  unsigned last = fat.curPart->dataClusters + 1;
  for (unsigned c = 2; c < last; ++c) fat.MarkEndCluster(c);  // one free: the last
  ASSERT_EQ(fat.SaveFatTable(), 0);
  std::vector<uint8_t> before(fat.curPart->fat, fat.curPart->fat + 512 * 2);
  unsigned first;
  EXPECT_EQ(fat.MakeFatChain(2 * 32 * 512, &first), -1);
  EXPECT_EQ(std::vector<uint8_t>(fat.curPart->fat, fat.curPart->fat + 1024), before);
  EXPECT_EQ(fat.NextFatEntry(last), 0u) << "the cluster taken was given back";
}

TEST_F(FatTest, FreshFormatIsAllFreeAndSavingWritesEveryCopy) {
  unsigned long bytes = 0;
  fat.SearchFreeByte(&bytes);
  EXPECT_EQ(bytes, fat.curPart->dataClusters * 32ul * 512);
  EXPECT_EQ(fat.curPart->dataClusters, (16384u - 32 - 64 - 32) / 32);
  fat.SetFatEntry(2, 0xFFF);
  ASSERT_EQ(fat.SaveFatTable(), 0);
  uint32_t base = fat.curPart->startSector + fat.curPart->reservedSectors;
  EXPECT_EQ(d.dev.Get(0, base)[3], 0xFF);
  EXPECT_EQ(d.dev.Get(0, base + fat.curPart->sectorsPerFat)[3], 0xFF);
  EXPECT_EQ(d.dev.CountOf('W'), 1u) << "one transfer reaches both copies, lying back to back";
}

}  // namespace
