// zelsim's NAND disks, in-process: sectors and their persistence, the
// flash translation layer seen through the file, the boot area, ECC, the
// factory record and the low format, bad blocks, raw blocks, block tables
// and injected faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "model/nand_disk.h"
#include "nand_test_support.h"
#include "tervlink/nand_layout.h"

namespace {

constexpr uint32_t kSpb = 32;  // sectors per block of the small chip

std::vector<uint8_t> Erased(size_t n) { return std::vector<uint8_t>(n, 0xFF); }

class NandModel : public ::testing::Test {
 protected:
  NandModel() : h(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}
  ModelHarness h;
};

TEST_F(NandModel, SectorsSurviveARestartThroughTheSpares) {
  ASSERT_TRUE(h.Start()) << h.model->Error();
  auto a = Pattern(0, 3, 1);
  auto b = Pattern(3 * kSpb + 30, 4, 2);  // crosses from logical block 3 into 4
  auto c = Pattern(50 * kSpb, 1, 3);      // logical block 0 of zone 1
  ASSERT_TRUE(h.Write(0, a));
  ASSERT_TRUE(h.Write(3 * kSpb + 30, b));
  ASSERT_TRUE(h.Write(50 * kSpb, c));
  auto tableBefore = h.Table(0, 100);

  ASSERT_TRUE(h.Start()) << h.model->Error();
  EXPECT_EQ(h.Read(0, 3), a);
  EXPECT_EQ(h.Read(3 * kSpb + 30, 4), b);
  EXPECT_EQ(h.Read(50 * kSpb, 1), c);
  EXPECT_EQ(h.Read(7 * kSpb, 2), Erased(1024));  // never written: erased flash
  EXPECT_EQ(h.Table(0, 100), tableBefore);
}

TEST_F(NandModel, SparesCarryTheBlockAddressWords) {
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 1)));             // logical block 0
  ASSERT_TRUE(h.Write(3 * kSpb + 5, Pattern(0, 1, 2)));  // logical block 3
  ASSERT_TRUE(h.Write(50 * kSpb, Pattern(0, 1, 3)));     // logical block 0 of zone 1
  std::string file = h.DiskFile();

  // Zone 0 keeps blocks 0-2 (boot area, ECC ROM, factory record on
  // 32-sector blocks) and 3 (card information): the first data block is 4.
  // Every sector of an assigned block is labelled, written or not.
  for (uint32_t s = 0; s < kSpb; ++s) {
    EXPECT_EQ(SlcSpareWord(file, 4 * kSpb + s), 0x1001) << s;
    EXPECT_EQ(SlcSpareWord(file, 5 * kSpb + s), 0x1007) << s;
    EXPECT_EQ(SlcSpareWord(file, (64 + 1) * kSpb + s), 0x1001) << s;  // zone 1, block 1
  }
  for (uint16_t w : {SlcSpareWord(file, 4 * kSpb), SlcSpareWord(file, 5 * kSpb)})
    EXPECT_TRUE(EvenParity(w));
  // The data sits at the sector's place in the file.
  EXPECT_EQ(FileBytes(file, (5 * kSpb + 5) * 528, 512), Pattern(0, 1, 2));
  // An unassigned block is untouched.
  EXPECT_EQ(FileBytes(file, 6 * kSpb * 528 + 512, 16), Erased(16));
}

TEST_F(NandModel, CapacitySwitchAndNandInfoFollowEachDisksChip) {
  h.config.disks = 2;
  h.config.nand.chip[1] = LargePageChip();
  ASSERT_TRUE(h.Start()) << h.model->Error();

  DeviceAnswer cap0 = h.Do(req::kReadCapacity, 20, 0, 0, {}, 0);
  ASSERT_EQ(cap0.status, 0u);
  partition p = DecodePartition(cap0.data);
  EXPECT_EQ(p.cylinders, 100u);
  EXPECT_EQ(p.heads, 1u);
  EXPECT_EQ(p.sectorsPerTrack, 32u);
  EXPECT_EQ(p.word0, 3200u);

  partition q = DecodePartition(h.Do(req::kReadCapacity, 20, 0, 0, {}, 1).data);
  EXPECT_EQ(q.cylinders, 10u);
  EXPECT_EQ(q.heads, 4u);
  EXPECT_EQ(q.sectorsPerTrack, 64u);
  EXPECT_EQ(h.Do(req::kReadCapacity, 20, 0, 0, {}, 2).status, 1u);

  EXPECT_EQ(h.Do(req::kSwitch, 0, 0, 0, {}, 0).value, 1);
  EXPECT_EQ(h.Do(req::kSwitch, 0, 0, 0, {}, 2).status, 1u);
  DeviceAnswer sw = h.Do(req::kSwitch, 0, 0, 0, {}, 1);
  EXPECT_EQ(sw.status, 0u);
  EXPECT_EQ(sw.value, 2);

  _ZEL_NANDINFO info = DecodeNandInfo(h.Do(req::kNandInfo, 36).data);
  EXPECT_EQ(info.Zones, 1u);
  EXPECT_EQ(info.PageSize, 2048u);
  EXPECT_EQ(info.PagePerBlock, 64u);
  EXPECT_EQ(info.BlockPerZone, 16u);
  EXPECT_EQ(info.ManuID, 0xECu);
  EXPECT_EQ(info.FouthID, 0x15u);

  // Sector requests now reach disk 1: disk 0 keeps its own sectors.
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 9)));
  h.Do(req::kSwitch, 0, 0, 0, {}, 0);
  EXPECT_EQ(h.Read(0, 1), Erased(512));
}

TEST_F(NandModel, SectorRunsOffTheDiskOrWithTheWrongLengthAreRefused) {
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Do(req::kRead, 1024, 3199, 2).status, 1u);  // the disk has 3200 sectors
  EXPECT_EQ(h.Do(req::kRead, 512, 3199, 1).status, 0u);
  EXPECT_EQ(h.Do(req::kRead, 512, 0, 2).status, 1u);      // length says one sector, count two
  auto data = Pattern(0, 1, 1);
  EXPECT_EQ(h.Do(req::kWrite, 1024, 0, 2, data).status, 1u);  // data phase shorter than the run
}

TEST_F(NandModel, LowFormatNeedsTheRecordAndTheMatchingMethod) {
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.Write(0, Pattern(0, 2, 1)));
  EXPECT_EQ(h.Do(req::kLowFormat).value, -10001);
  EXPECT_EQ(h.Do(req::kGetFactoryBadInfo, 4096).status, 1u);  // no record to give

  ASSERT_EQ(h.Do(req::kSetFactoryBadInfo).status, 0u);
  DeviceAnswer rec = h.Do(req::kGetFactoryBadInfo, 4096);
  ASSERT_EQ(rec.status, 0u);
  auto info = nand::DecodeBadBlockInfo(rec.data);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->eccType, 1u);
  EXPECT_EQ(info->version, 1u);
  EXPECT_TRUE(info->entries.empty());

  ASSERT_EQ(h.Do(req::kSetEccMethod, 0, 2).status, 0u);
  EXPECT_EQ(h.Do(req::kLowFormat).value, -10000);
  EXPECT_EQ(h.Read(0, 2), Pattern(0, 2, 1));  // a refused format touches nothing
  ASSERT_EQ(h.Do(req::kSetEccMethod, 0, 1).status, 0u);
  EXPECT_EQ(h.Do(req::kLowFormat).value, 0);
}

TEST_F(NandModel, LowFormatErasesDataBlocksAndKeepsBootAreaRecordAndBadBlocks) {
  h.config.nand.badBlocks = {7};
  ASSERT_TRUE(h.Start());
  auto boot = Pattern(0, 32, 5);
  ASSERT_EQ(h.Do(req::kWriteBIOS, 16384, 0, 32, boot).value, 1);
  ASSERT_EQ(h.Do(req::kSetFactoryBadInfo).status, 0u);
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 1)));
  ASSERT_TRUE(h.Write(60 * kSpb, Pattern(0, 1, 2)));
  // Raw data in a block no logical block owns goes too.
  auto raw = Pattern(0, kSpb, 3);
  ASSERT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 1, 40, raw).status, 0u);

  ASSERT_EQ(h.Do(req::kLowFormat).value, 0);
  EXPECT_EQ(h.Read(0, 1), Erased(512));
  EXPECT_EQ(h.Read(60 * kSpb, 1), Erased(512));
  EXPECT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 0, 40).data, Erased(kSpb * 512));
  EXPECT_EQ(h.Table(0, 1)[0], 0x00FFFF00u);
  EXPECT_EQ(h.Do(req::kReadBIOS, 16384, 0, 32).data, boot);
  auto info = nand::DecodeBadBlockInfo(h.Do(req::kGetFactoryBadInfo, 4096).data);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->entries, (std::vector<nand::BadBlockEntry>{{0, 7}}));

  // The erased state is what a restart finds, and the disk works on.
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Read(0, 1), Erased(512));
  EXPECT_EQ(h.Do(req::kLowFormat).value, 0);
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 4)));
  EXPECT_EQ(h.Read(0, 1), Pattern(0, 1, 4));
}

TEST_F(NandModel, BadBlocksAreNeverAssignedAndAreListedInTheRecord) {
  h.config.nand.badBlocks = {4, 5, 65};  // zone 0 blocks 4 and 5, zone 1 block 1
  ASSERT_TRUE(h.Start()) << h.model->Error();
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 1)));
  ASSERT_TRUE(h.Write(50 * kSpb, Pattern(0, 1, 2)));
  EXPECT_EQ(h.Table(0, 1)[0], 0x00000600u);   // zone 0, block 6
  EXPECT_EQ(h.Table(50, 1)[0], 0x01000200u);  // zone 1, block 2
  ASSERT_EQ(h.Do(req::kSetFactoryBadInfo).status, 0u);
  auto info = nand::DecodeBadBlockInfo(h.Do(req::kGetFactoryBadInfo, 4096).data);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->entries, (std::vector<nand::BadBlockEntry>{{0, 4}, {0, 5}, {1, 1}}));

  // The marks are in the file: a restart without the option still knows them.
  h.config.nand.badBlocks.clear();
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.Write(kSpb, Pattern(0, 1, 3)));  // logical block 1
  EXPECT_EQ(h.Table(1, 1)[0], 0x00000700u);
  EXPECT_EQ(h.Do(req::kNandErase, 0, 4).status, 1u);
  EXPECT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 1, 65, Pattern(0, kSpb, 1)).status, 1u);
}

TEST_F(NandModel, AZoneOutOfGoodBlocksRefusesNewLogicalBlocksOnly) {
  // 64 blocks - 4 kept - 15 bad = 45 blocks for 50 logical blocks.
  for (uint32_t b = 10; b < 25; ++b) h.config.nand.badBlocks.push_back(b);
  ASSERT_TRUE(h.Start());
  for (uint32_t lb = 0; lb < 45; ++lb) ASSERT_TRUE(h.Write(lb * kSpb, Pattern(lb, 1, 1))) << lb;
  EXPECT_FALSE(h.Write(45 * kSpb, Pattern(0, 1, 1)));
  EXPECT_TRUE(h.Write(44 * kSpb + 1, Pattern(0, 1, 1)));  // an assigned block still takes writes
  for (uint32_t e : h.Table(0, 50)) {
    uint32_t phys = (e >> 8) & 0xFFFF;
    EXPECT_TRUE(phys == 0xFFFF || phys < 10 || phys >= 25) << std::hex << e;
  }
}

TEST_F(NandModel, BootBlocksAndBlocksHoldingDataCannotBeMarkedBad) {
  for (uint32_t boot : {1u, 2u, 3u}) {
    h.config.nand.badBlocks = {boot};
    EXPECT_FALSE(h.Start()) << boot;
  }
  h.config.nand.badBlocks = {};
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 1)));  // logical block 0 in block 4
  h.config.nand.badBlocks = {4};
  EXPECT_FALSE(h.Start());
  EXPECT_NE(h.model->Error().find("holds data"), std::string::npos);
  h.config.nand.badBlocks = {128};  // off the chip
  EXPECT_FALSE(h.Start());
}

TEST_F(NandModel, RawBlocksRoundTripAndEraseUnmaps) {
  ASSERT_TRUE(h.Start());
  auto data = Pattern(0, kSpb, 7);
  ASSERT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 1, 100, data).status, 0u);
  EXPECT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 0, 100).data, data);
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 0, 100).data, data);
  ASSERT_EQ(h.Do(req::kNandErase, 0, 100).status, 0u);
  EXPECT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 0, 100).data, Erased(kSpb * 512));

  EXPECT_EQ(h.Do(req::kNandReadWrite, kSpb * 512, 0, 128).status, 1u);  // off the chip
  EXPECT_EQ(h.Do(req::kNandReadWrite, 512, 0, 100).status, 1u);         // not a whole block
  EXPECT_EQ(h.Do(req::kNandErase, 0, 128).status, 1u);

  // A mapped block read raw shows the logical block's sectors; erasing it
  // gives the logical block up.
  auto sectors = Pattern(0, 2, 8);
  ASSERT_TRUE(h.Write(0, sectors));
  auto block = h.Do(req::kNandReadWrite, kSpb * 512, 0, 4).data;
  EXPECT_TRUE(std::equal(sectors.begin(), sectors.end(), block.begin()));
  ASSERT_EQ(h.Do(req::kNandErase, 0, 4).status, 0u);
  EXPECT_EQ(h.Table(0, 1)[0], 0x00FFFF00u);
  EXPECT_EQ(h.Read(0, 2), Erased(1024));
  EXPECT_EQ(SlcSpareWord(h.DiskFile(), 4 * kSpb), 0xFFFF);  // the spares are reset too
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Table(0, 1)[0], 0x00FFFF00u);
}

TEST_F(NandModel, BootAreaIsKeptApartFromTheMapping) {
  ASSERT_TRUE(h.Start());
  auto boot = Pattern(0, 32, 3);
  ASSERT_EQ(h.Do(req::kWriteBIOS, 16384, 0, 32, boot).value, 1);
  DeviceAnswer back = h.Do(req::kReadBIOS, 16384, 0, 32);
  EXPECT_EQ(back.value, 1);
  EXPECT_EQ(back.data, boot);
  EXPECT_EQ(h.Do(req::kWriteBIOS, 33 * 512, 0, 33, Pattern(0, 33, 1)).status, 1u);
  // The boot sectors are physical sectors 0-31, labelled like the
  // simulator build labels them (logical block 0's word) ...
  EXPECT_EQ(FileBytes(h.DiskFile(), 5 * 528, 512), Pattern(5, 1, 3));
  EXPECT_EQ(SlcSpareWord(h.DiskFile(), 5), 0x1001);
  // ... which a restart must not take for logical block 0.
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Read(0, 1), Erased(512));
  EXPECT_EQ(h.Do(req::kReadBIOS, 16384, 0, 32).data, boot);
}

TEST_F(NandModel, EccRomSitsInSectors32To63) {
  ASSERT_TRUE(h.Start());
  auto rom = Pattern(0, 32, 11);
  EXPECT_EQ(h.Do(req::kSetEccRom, 16384, 0, 0, rom).value, 0);
  DeviceAnswer got = h.Do(req::kGetEccRom, 16384);
  EXPECT_EQ(got.value, 0);
  EXPECT_EQ(got.data, rom);
  EXPECT_EQ(FileBytes(h.DiskFile(), 32 * 528, 512), Pattern(0, 1, 11));
  EXPECT_EQ(h.Do(req::kSetEccRom, 512, 0, 0, Pattern(0, 1, 1)).status, 1u);
}

TEST_F(NandModel, BootSectorsUseTheSlcLayoutOnAnMlcLargePageChip) {
  h.config.nand.chip[0] = LargePageChip();
  h.config.nand.mlc = true;
  ASSERT_TRUE(h.Start()) << h.model->Error();
  auto boot = Pattern(0, 32, 4);
  ASSERT_EQ(h.Do(req::kWriteBIOS, 16384, 0, 32, boot).value, 1);
  // Sector 1 is the second sector of page 0: SLC data at 512 (MLC would be 528).
  EXPECT_EQ(FileBytes(h.DiskFile(), 512, 512), Pattern(1, 1, 4));
  // Data blocks follow the MLC layout: logical sector 1 of block 2 (the
  // first data block) is at page offset + 528.
  ASSERT_TRUE(h.Write(1, Pattern(0, 1, 6)));
  uint64_t page0 = 2ull * 256 * 528;
  EXPECT_EQ(FileBytes(h.DiskFile(), page0 + 528, 512), Pattern(0, 1, 6));
  auto spare = FileBytes(h.DiskFile(), page0 + 528 + 512, 16);
  EXPECT_EQ(std::vector<uint8_t>(spare.begin() + 12, spare.end()), (std::vector<uint8_t>{0x10, 0x01, 0x10, 0x01}));
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Read(1, 1), Pattern(0, 1, 6));
  // A run that starts and ends inside a page takes only its sectors' data,
  // never their spares (sectors 2-9 cross two page boundaries).
  auto run = Pattern(0, 9, 7);
  ASSERT_TRUE(h.Write(1, run));
  EXPECT_EQ(h.Read(2, 8), std::vector<uint8_t>(run.begin() + 512, run.end()));
}

// On a chip with four sectors a page, a write that covers part of a page
// (from its start to its middle, from its middle to its end, or inside it)
// leaves the page's other sectors as they were, in the model and in the file;
// so does one write of the rest of the disk, more pieces (data and spares
// apart) than one system call takes.
TEST_F(NandModel, PartialPageWritesOnALargePageChipKeepThePagesOtherSectors) {
  h.config.nand.chip[0] = LargePageChip();
  ASSERT_TRUE(h.Start()) << h.model->Error();
  std::vector<uint8_t> expect = Pattern(0, 16, 1);
  ASSERT_TRUE(h.Write(0, expect));
  struct Piece {
    uint32_t first, count;
  } pieces[] = {{4, 2}, {2, 2}, {9, 2}, {12, 1}, {15, 1}};
  uint8_t seed = 2;
  for (Piece p : pieces) {
    auto data = Pattern(p.first, p.count, seed++);
    ASSERT_TRUE(h.Write(p.first, data));
    std::copy(data.begin(), data.end(), expect.begin() + p.first * 512);
    EXPECT_EQ(h.Read(0, 16), expect) << "after sectors " << p.first << "+" << p.count;
  }
  // Runs that start or end inside a page read just their sectors.
  for (Piece p : {Piece{1, 2}, Piece{3, 6}, Piece{5, 1}, Piece{7, 9}}) {
    auto from = expect.begin() + p.first * 512;
    EXPECT_EQ(h.Read(p.first, p.count), std::vector<uint8_t>(from, from + p.count * 512))
        << "sectors " << p.first << "+" << p.count;
  }
  const uint32_t all = 10 * 256;  // the chip's logical sectors
  auto rest = Pattern(16, all - 16, 9);
  ASSERT_TRUE(h.Write(16, rest));
  expect.insert(expect.end(), rest.begin(), rest.end());
  EXPECT_EQ(h.Read(0, all), expect);
  ASSERT_TRUE(h.Start()) << h.model->Error();
  EXPECT_EQ(h.Read(0, all), expect);
}

TEST_F(NandModel, EccMethodDefaultsToTheLayoutAndPersists) {
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Do(req::kGetEccMethod).value, 1);
  EXPECT_EQ(h.Do(req::kSetEccMethod, 0, 3).status, 1u);
  ASSERT_EQ(h.Do(req::kSetEccMethod, 0, 2).status, 0u);
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Do(req::kGetEccMethod).value, 2);
  // The record takes the controller's method.
  ASSERT_EQ(h.Do(req::kSetFactoryBadInfo).status, 0u);
  EXPECT_EQ(nand::DecodeBadBlockInfo(h.Do(req::kGetFactoryBadInfo, 4096).data)->eccType, 2u);

  ModelHarness mlc("EccMethodMlc");
  mlc.config.nand.mlc = true;
  ASSERT_TRUE(mlc.Start());
  EXPECT_EQ(mlc.Do(req::kGetEccMethod).value, 2);
}

TEST_F(NandModel, BlockTableAndLog2PhyTable) {
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 1)));          // zone 0 logical 0 -> block 4
  ASSERT_TRUE(h.Write(51 * kSpb, Pattern(0, 1, 1)));  // zone 1 logical 1 -> block 1
  EXPECT_EQ(h.Table(0, 2), (std::vector<uint32_t>{0x00000400, 0x00FFFF00}));
  EXPECT_EQ(h.Table(50, 2), (std::vector<uint32_t>{0x01FFFF00, 0x01000100}));
  EXPECT_EQ(h.Table(99, 2), (std::vector<uint32_t>{0x01FFFF00, 0xFFFFFFFF}));  // past the disk
  // Entries past count stay 0.
  DeviceAnswer t = h.Do(req::kGetBlockTable, 16, 0, 1);
  EXPECT_EQ(std::vector<uint8_t>(t.data.begin() + 4, t.data.end()), std::vector<uint8_t>(12, 0));

  DeviceAnswer l = h.Do(req::kReadLog2PhyTbl, 4096, 0, 1);
  EXPECT_EQ(l.value, 1);
  ASSERT_EQ(l.data.size(), 4096u);
  auto entry = [&](size_t i) { return uint16_t(l.data[2 * i] | l.data[2 * i + 1] << 8); };
  EXPECT_EQ(entry(0), 4);
  EXPECT_EQ(entry(1), 0xFFFF);
  EXPECT_EQ(entry(1024 + 1), 1);
  EXPECT_EQ(entry(1024 + 900), 0xFFFF);
}

TEST_F(NandModel, ExistingNandFileIsServedAsTheDisk) {
  ASSERT_TRUE(h.Start());
  ASSERT_TRUE(h.Write(10, Pattern(10, 3, 1)));
  h.model.reset();
  std::string copy = FreshDir("served") + "/image.bin";
  std::filesystem::copy_file(h.DiskFile(), copy);

  ModelHarness other("ServedElsewhere");
  other.config.nand.nandFile[0] = copy;
  ASSERT_TRUE(other.Start()) << other.model->Error();
  EXPECT_EQ(other.Read(10, 3), Pattern(10, 3, 1));
  EXPECT_FALSE(std::filesystem::exists(other.DiskFile()));  // nothing made in the state folder
  // Cut short by another program while served: a read past the new end is
  // refused.
  std::filesystem::resize_file(copy, 4096);
  EXPECT_NE(other.Do(req::kRead, 3 * 512, 10, 3).status, 0);

  other.config.nand.nandFile[0] = copy + ".missing";
  EXPECT_FALSE(other.Start());
  other.config.nand.nandFile[0] = copy;
  other.config.nand.chip[0] = nand::ChipTable()[0];  // a chip of another size than the file
  EXPECT_FALSE(other.Start());
}

// The simulator build labels the boot blocks with the words of logical
// blocks 0, 1, 2 and 3 of zone 0 (their sector numbers read as logical
// ones): a restart must not take them for data, and the card information
// sector opens block 3 on 32-sector blocks.
TEST_F(NandModel, LabelledBootBlocksAreNeverTakenForData) {
  ASSERT_TRUE(h.Start());
  h.model.reset();
  {
    std::fstream f(h.DiskFile(), std::ios::in | std::ios::out | std::ios::binary);
    for (uint32_t b = 0; b < 4; ++b) {
      auto spare = nand::DataSpare(b, true);
      for (uint32_t s = 0; s < kSpb; ++s) {
        f.seekp((b * kSpb + s) * 528 + 512);
        f.write(reinterpret_cast<const char*>(spare.data()), 16);
      }
    }
  }
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Table(0, 4), (std::vector<uint32_t>(4, 0x00FFFF00u)));
  auto card = nand::CardInfoSector();
  EXPECT_EQ(FileBytes(h.DiskFile(), 3 * kSpb * 528, 512), std::vector<uint8_t>(card.begin(), card.end()));
  ASSERT_TRUE(h.Write(0, Pattern(0, 1, 9)));
  EXPECT_EQ(h.Table(0, 1)[0], 0x00000400u);
  // Building the record erases its own block (2), nothing of the others.
  ASSERT_EQ(h.Do(req::kSetFactoryBadInfo).status, 0u);
  EXPECT_EQ(h.Read(0, 1), Pattern(0, 1, 9));
  EXPECT_EQ(FileBytes(h.DiskFile(), 3 * kSpb * 528, 512), std::vector<uint8_t>(card.begin(), card.end()));
  EXPECT_TRUE(nand::DecodeBadBlockInfo(h.Do(req::kGetFactoryBadInfo, 4096).data));
}

TEST_F(NandModel, InjectedFailuresMatchCodeRangeAndCount) {
  FailRule rule;
  ASSERT_TRUE(ParseFailRule("0x42@100-199x2", rule));
  h.config.faults.rules.push_back(rule);
  ASSERT_TRUE(ParseFailRule("0x6F", rule));
  h.config.faults.rules.push_back(rule);
  h.config.faults.corruptReads = 1;
  h.config.faults.corruptRanged = true;  // only reads that touch sector 2
  h.config.faults.corruptFirst = h.config.faults.corruptLast = 2;
  ASSERT_TRUE(h.Start());

  auto data = Pattern(0, 4, 1);
  EXPECT_TRUE(h.Write(0, data));      // outside the range
  EXPECT_FALSE(h.Write(98, data));    // 98-101 touches 100
  EXPECT_FALSE(h.Write(199, Pattern(0, 1, 1)));
  EXPECT_TRUE(h.Write(150, Pattern(0, 1, 1)));  // the two failures are used up
  EXPECT_EQ(h.Do(req::kNandErase, 0, 50).status, 1u);
  EXPECT_EQ(h.Do(req::kNandErase, 0, 50).status, 1u);  // without a count: always

  EXPECT_EQ(h.Read(150, 1), Pattern(0, 1, 1)) << "outside the corrupt range";
  auto first = h.Read(0, 4);
  ASSERT_EQ(first.size(), data.size());
  EXPECT_NE(first, data);
  EXPECT_EQ(h.Read(0, 4), data);  // only the next N reads are altered
}

TEST(FailRules, Parse) {
  FailRule r;
  ASSERT_TRUE(ParseFailRule("0x41", r));
  EXPECT_EQ(r.code, 0x41);
  EXPECT_FALSE(r.ranged);
  EXPECT_EQ(r.times, 0u);
  ASSERT_TRUE(ParseFailRule("66x3", r));
  EXPECT_EQ(r.code, 66);
  EXPECT_EQ(r.times, 3u);
  ASSERT_TRUE(ParseFailRule("0x70@0x100-0x1FFx4", r));
  EXPECT_EQ(r.code, 0x70);
  EXPECT_TRUE(r.ranged);
  EXPECT_EQ(r.first, 0x100u);
  EXPECT_EQ(r.last, 0x1FFu);
  EXPECT_EQ(r.times, 4u);
  ASSERT_TRUE(ParseFailRule("0x6E@5", r));
  EXPECT_EQ(r.first, 5u);
  EXPECT_EQ(r.last, 5u);
  for (const char* bad : {"", "x2", "0x100", "0x42@", "0x42@9-3", "0x42x0", "0x42@1-2x", "abc", "0"})
    EXPECT_FALSE(ParseFailRule(bad, r)) << bad;
}

TEST(FailRules, BlockLists) {
  std::vector<uint32_t> b;
  ASSERT_TRUE(ParseBlockList("5,17,300-302", b));
  EXPECT_EQ(b, (std::vector<uint32_t>{5, 17, 300, 301, 302}));
  for (const char* bad : {"", "5,", "-3", "4-2", "a"}) {
    std::vector<uint32_t> x;
    EXPECT_FALSE(ParseBlockList(bad, x)) << bad;
  }
}

}  // namespace
