// Damaged disks: no hang, no crash, no access outside the partition, a
// clear failure.

#include <gtest/gtest.h>

#include "test_disk.h"
#include "tervlink/bytes.h"
#include "tervlink/fat_device/fat_layout.h"

namespace {

using namespace fatfmt;
char* C(const char* s) { return const_cast<char*>(s); }

class CorruptTest : public ::testing::Test {
 protected:
  TestDisk d;
  uint32_t start = d.fat->curPart->startSector;
  uint32_t partEnd = start + d.fat->curPart->sectorCount;

  // Rewrites the on-device FAT entry of a FAT12 cluster in both copies.
  void SetDeviceEntry(unsigned cluster, unsigned value) {
    d.fat->SetFatEntry(cluster, value);
    ASSERT_EQ(d.fat->SaveFatTable(), 0);
  }
  void Reload() {
    auto e = d.Reopen();
    d.fat.swap(e);
  }
  void ExpectWritesInside() {
    for (const auto& r : d.dev.log) {
      if (r.op != 'W') continue;
      EXPECT_GE(r.sector, start);
      EXPECT_LE(r.sector + r.count, partEnd);
    }
  }
};

TEST_F(CorruptTest, LoopingFileChainEndsReadsAndDeletes) {
  ASSERT_EQ(d.Write("loop", Pattern(3 * 16384, 1)), 3 * 16384);
  SetDeviceEntry(4, 2);  // 2 -> 3 -> 4 -> 2 ...
  Reload();
  std::string buf(10 * 16384, '\0');
  // The read follows only the clusters the size needs: the loop behind them
  // is never reached.
  EXPECT_EQ(d.fat->ReadFile(C("loop"), buf.data(), int(buf.size()), nullptr), 3 * 16384);
  std::string n = Entry(*d.fat, "loop");
  // A size that reaches into the loop, and one larger than the whole data
  // area, fail instead of reading the same clusters again.
  ASSERT_EQ(d.fat->SearchFile(kMaskFiles, n.data()), 0);
  bytes::Put32(d.fat->curPart->currentEntry + kDirFileSize, 5 * 16384);
  ASSERT_EQ(d.fat->UpdateEntry(), 0);
  EXPECT_EQ(d.fat->ReadFile(C("loop"), buf.data(), int(buf.size()), nullptr), -1);
  EXPECT_EQ(d.fat->lastError, -3);
  ASSERT_EQ(d.fat->SearchFile(kMaskFiles, n.data()), 0);
  bytes::Put32(d.fat->curPart->currentEntry + kDirFileSize, 0x7FFFFFF0);
  ASSERT_EQ(d.fat->UpdateEntry(), 0);
  EXPECT_EQ(d.fat->FileSize(C("loop")), -1);

  d.dev.log.clear();
  EXPECT_EQ(d.fat->RemoveFile(n.data()), 0);
  EXPECT_EQ(d.fat->NextFatEntry(2), 0u);
  EXPECT_EQ(d.fat->NextFatEntry(4), 0u);
  ExpectWritesInside();
  // A chain that ends before the size does.
  ASSERT_EQ(d.Write("short", Pattern(2 * 16384, 2)), 2 * 16384);
  SetDeviceEntry(2, 0xFFF);
  EXPECT_EQ(d.fat->ReadFile(C("short"), buf.data(), 2 * 16384, nullptr), -1);
  EXPECT_EQ(d.fat->lastError, -3);
}

TEST_F(CorruptTest, OutOfRangeClustersFailWithMinus3) {
  ASSERT_EQ(d.Write("far", Pattern(2 * 16384, 1)), 2 * 16384);
  SetDeviceEntry(2, 0xF00);  // beyond the data clusters
  Reload();
  std::string buf(2 * 16384, '\0');
  EXPECT_EQ(d.fat->ReadFile(C("far"), buf.data(), int(buf.size()), nullptr), -1);
  EXPECT_EQ(d.fat->lastError, -3);
  // An entry naming cluster 1 or a huge cluster as its start.
  std::string n = Entry(*d.fat, "far");
  ASSERT_EQ(d.fat->SearchFile(kMaskFiles, n.data()), 0);
  bytes::Put16(d.fat->curPart->currentEntry + kDirFirstCluster, 0xFFF0);
  ASSERT_EQ(d.fat->UpdateEntry(), 0);
  EXPECT_EQ(d.fat->ReadFile(C("far"), buf.data(), int(buf.size()), nullptr), -1);
  d.dev.log.clear();
  EXPECT_EQ(d.fat->RemoveFile(n.data()), 0);
  ExpectWritesInside();
}

TEST_F(CorruptTest, DirectoriesWithLoopsAndBadStartsStayBounded) {
  std::string sub = Entry(*d.fat, "sub");
  ASSERT_EQ(d.fat->MakeDirectory(sub.data()), 0);
  ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
  unsigned dir = d.fat->curPart->currentDir;
  // Fill the cluster completely (no end marker) and loop it onto itself.
  for (int i = 0; i < 510; ++i) ASSERT_EQ(d.Write(("L" + std::to_string(i)).c_str(), ""), 0);
  d.fat->ChangeRootDirectory();
  SetDeviceEntry(dir, dir);
  Reload();
  ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
  std::string missing = Entry(*d.fat, "nothere");
  EXPECT_EQ(d.fat->SearchFile(kMaskAny, missing.data()), -1);
  EXPECT_EQ(d.fat->lastError, -3);
  _FILE_FIND f;
  int listed = 0;
  for (int r = d.fat->FindFirstFileA(C("*"), &f); r == 1; r = d.fat->FindNextFileA(&f)) ++listed;
  EXPECT_EQ(listed, 512);
  // Adding an entry grows the directory behind its last distinct cluster.
  d.dev.log.clear();
  EXPECT_EQ(d.Write("more", "1"), 1);
  ExpectWritesInside();
  EXPECT_EQ(d.Read("more"), "1");

  // A subdirectory entry whose first cluster is outside the partition.
  d.fat->ChangeRootDirectory();
  ASSERT_EQ(d.fat->SearchFile(kMaskDirs, sub.data()), 0);
  bytes::Put16(d.fat->curPart->currentEntry + kDirFirstCluster, 0x7FF);
  ASSERT_EQ(d.fat->UpdateEntry(), 0);
  EXPECT_EQ(d.fat->ChangeDirectory(sub.data()), -3);
  EXPECT_EQ(d.fat->CheckEmptyDirectory(sub.data()), -1);
  char path[8];
  EXPECT_STREQ(d.fat->GetCurrentDirectoryA(path, sizeof path), "\\");
}

// A chain longer than the 65,536 entries a directory may hold is not held in
// memory but walked entry by entry, bounded as before; it does not grow.
TEST_F(CorruptTest, ADirectoryChainLongerThanAnyDirectoryIsWalkedEntryByEntry) {
  std::string sub = Entry(*d.fat, "sub");
  ASSERT_EQ(d.fat->MakeDirectory(sub.data()), 0);
  ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
  unsigned dir = d.fat->curPart->currentDir;
  const unsigned perCluster = 16 * d.fat->curPart->sectorsPerCluster;
  const unsigned length = 65536 / perCluster + 2;
  for (int i = 0; i < int(perCluster) - 2; ++i)  // the first cluster full: no end marker
    ASSERT_EQ(d.Write(("L" + std::to_string(i)).c_str(), ""), 0);
  d.fat->ChangeRootDirectory();
  for (unsigned k = 0; k + 1 < length; ++k) SetDeviceEntry(dir + k, dir + k + 1);
  SetDeviceEntry(dir + length - 1, 0xFFF);
  Reload();
  ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
  std::string missing = Entry(*d.fat, "nothere");
  EXPECT_EQ(d.fat->SearchFile(kMaskAny, missing.data()), -1);
  EXPECT_EQ(d.fat->lastError, -3);
  d.dev.log.clear();
  EXPECT_EQ(d.Write("more", "1"), 1) << "into the second cluster's first slot";
  ExpectWritesInside();
  EXPECT_EQ(d.Read("more"), "1");
  EXPECT_EQ(d.Read("L7"), "");
}

TEST_F(CorruptTest, InvalidBootSectorsAreUnformatted) {
  struct Case {
    const char* what;
    size_t offset;
    int width;  // 1 or 2 bytes
    unsigned value;
  } cases[] = {
      {"zero sectors per cluster", kBpbSecPerClus, 1, 0},
      {"600 sectors per FAT", kBpbFatSz16, 2, 600},
      {"sector size 1024", kBpbBytsPerSec, 2, 1024},
      {"no signature", kBsSignature, 2, 0},
      {"no FAT copies", kBpbNumFats, 1, 0},
      {"no reserved sectors", kBpbRsvdSecCnt, 2, 0},
      {"tables larger than the partition", kBpbRsvdSecCnt, 2, 60000},
  };
  for (const auto& c : cases) {
    TestDisk t;
    uint32_t s0 = t.fat->curPart->startSector;
    auto& bs = t.dev.At(0, s0);
    if (c.width == 1)
      bs[c.offset] = uint8_t(c.value);
    else
      bytes::Put16(bs.data() + c.offset, uint16_t(c.value));
    ASSERT_EQ(t.fat->Init(), 1) << c.what;
    EXPECT_EQ(t.fat->GetPartitionMode(0, 0), 0) << c.what;
    EXPECT_EQ(t.fat->IsPartFormattted(0, 0), 0) << c.what;
    EXPECT_EQ(t.fat->GetPartitionMode(0, 2), 12) << "the other partition is still read";
    t.dev.log.clear();
    EXPECT_EQ(t.Write("x", "data"), -1) << c.what;
    EXPECT_EQ(t.dev.CountOf('W'), 0u);
    t.fat->Display_part_table();
    EXPECT_NE(t.out.text.find("Partition C: 8192 KB,  FAT 12, \t\t\tNot Formatted"), std::string::npos);
  }
}

TEST_F(CorruptTest, FatSmallerThanTheDataAreaLimitsTheClusters) {
  // A FAT16 boot sector claiming one FAT sector for a big data area: only the
  // 254 clusters whose entries fit are used, so nothing is allocated that
  // the FAT on the device cannot record.
  TestDisk t(8000, {93000, 0, -1, 0});
  auto& bs = t.dev.At(0, t.fat->curPart->startSector);
  ASSERT_EQ(t.fat->GetPartitionMode(0, 0), 16);
  bytes::Put16(bs.data() + kBpbFatSz16, 1);
  t.fat->Init();
  t.fat->file_system_switch_to(0, 0);
  unsigned long bytes;
  t.fat->SearchFreeByte(&bytes);  // the first use reads the disk
  EXPECT_EQ(bytes, 254ul * 16384);
  EXPECT_EQ(t.fat->curPart->dataClusters, 254u);
}

TEST_F(CorruptTest, SlotOneIsNeverAFatVolumeAndSlotTwoIsLoadedWithoutIt) {
  // A table with FAT partitions in slots 0 and 2 and nothing in slot 1: the
  // FAT of slot 2 is read although the partition count is 2.
  ASSERT_EQ(d.fat->disks[0].partCount, 2u);
  d.fat->file_system_switch_to(0, 2);
  ASSERT_EQ(d.Write("e.txt", "on E"), 4);
  ASSERT_EQ(d.fat->Init(), 1);
  d.fat->file_system_switch_to(0, 2);
  EXPECT_EQ(d.fat->IsPartFormattted(0, 2), 1);  // the first use reads the disk
  EXPECT_NE(d.fat->NextFatEntry(2), 0u);
  ASSERT_EQ(d.Write("f.txt", "second"), 6);
  EXPECT_EQ(d.Read("e.txt"), "on E");
  EXPECT_TRUE(CheckVolume(d.dev, d.fat->curPart->startSector).empty());
  d.fat->file_system_switch_to(0, 1);
  EXPECT_EQ(d.Write("d.txt", "x"), -1);
  _FILE_FIND f;
  EXPECT_EQ(d.fat->FindFirstFileA(C("*"), &f), 0);
}

}  // namespace
