// The simulator NAND file built through the device object (image kind 1):
// the boot area, the translation layer and the spares read back from the
// file by the layout alone, then the same file served by zelsim's model.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "nand_test_support.h"
#include "tervlink/host/host.h"
#include "tervlink/nand_layout.h"
#include "tervlink/zel_device_io.h"

namespace {

namespace fs = std::filesystem;

// A chip of the default chip's shape (32 sectors per block, one per page)
// in 2 zones of 64 blocks with 50 logical blocks: a 2 MB file.
constexpr uint32_t kSmallBpz = 64, kSmallLbpz = 50, kSmallSpb = 32;
// A chip of K9F1G08U0A's shape (256 sectors per block, four per page) in
// one zone of 16 blocks with 10 logical blocks: also a 2 MB file.
constexpr uint32_t kLargeBpz = 16, kLargeLbpz = 10, kLargeSpb = 256;
constexpr uint32_t kPageBytes = 4 * 528;  // a page of four sectors

std::vector<uint8_t> Erased(size_t n) { return std::vector<uint8_t>(n, 0xFF); }

// The 16 spare bytes of a physical sector in the given layout, with four
// sectors per page.
std::vector<uint8_t> SpareOf4(const std::string& file, uint64_t p, bool slc) {
  uint64_t page = p / 4 * kPageBytes, s = p % 4;
  return FileBytes(file, slc ? page + 2048 + s * 16 : page + s * 528 + 512, 16);
}

// Silences what the library prints and keeps it for inspection.
class CapturedOutput {
 public:
  CapturedOutput() : previous_(host::SetOut(&out_)) {}
  ~CapturedOutput() { host::SetOut(previous_); }
  const std::string& Text() const { return out_.text; }

 private:
  host::StringOutput out_;
  host::Output* previous_;
};

class SimuFile : public ::testing::Test {
 protected:
  SimuFile() : dev("\\\\.\\lexon0", 0) {
    dir = FreshDir(std::string("simu-") +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
    path = dir + "/simu.bin";
  }

  // Image mode 1 with a geometry, and a new file of sizeMb.
  int Build(bool slc, uint32_t bpz, uint32_t lbpz, uint32_t spb, uint32_t spp, int sizeMb = 2) {
    dev.SetImageMode(1);
    dev.SetSimuFlashParameter(slc ? 1 : 0, bpz, lbpz, spb, spp);
    return dev.BuildImageFile(sizeMb, path.data());
  }
  int BuildSmall(bool slc = true) { return Build(slc, kSmallBpz, kSmallLbpz, kSmallSpb, 1); }
  int BuildLarge(bool slc) { return Build(slc, kLargeBpz, kLargeLbpz, kLargeSpb, 4); }

  int WriteBios(const std::vector<uint8_t>& boot) {
    return dev.WriteBIOS(uint32_t(boot.size() / 512), const_cast<char*>(reinterpret_cast<const char*>(boot.data())));
  }
  int Write(uint32_t sector, std::vector<uint8_t> data) {
    return dev.Write(sector, uint32_t(data.size() / 512), reinterpret_cast<char*>(data.data()));
  }
  std::vector<uint8_t> Read(uint32_t sector, uint32_t count) {
    std::vector<uint8_t> out(size_t(count) * 512);
    if (dev.Read(sector, count, reinterpret_cast<char*>(out.data())) != 1) out.clear();
    return out;
  }
  int Close() { return dev.CloseImageFile(nullptr, path.data()); }

  CapturedOutput captured;
  ZEL_DEVICE_IO dev;
  std::string dir, path;
};

TEST_F(SimuFile, NewFileIsErasedAndSizedByMegabytes) {
  ASSERT_EQ(BuildSmall(), 0);
  EXPECT_EQ(dev.imageActive, 1);
  EXPECT_EQ(dev.imageBytes, 2ull * 2048 * 528);
  EXPECT_EQ(Close(), 0);
  EXPECT_EQ(dev.imageActive, 0);
  EXPECT_EQ(dev.imageFile, nullptr);
  EXPECT_EQ(fs::file_size(path), 2ull * 2048 * 528);
  EXPECT_EQ(FileBytes(path, 0, 4096), Erased(4096));
  EXPECT_EQ(FileBytes(path, 2ull * 2048 * 528 - 4096, 4096), Erased(4096));
}

TEST_F(SimuFile, BootAreaPiecesKeepBlocksOfTheirOwnOnSmallBlocks) {
  ASSERT_EQ(BuildSmall(), 0);
  auto boot = Pattern(0, 32, 1);
  ASSERT_EQ(WriteBios(boot), 1);
  ASSERT_EQ(Close(), 0);

  // Boot sectors: physical sectors 0-31, each spare naming logical block 0.
  EXPECT_EQ(FileBytes(path, 5 * 528, 512), Pattern(5, 1, 1));
  EXPECT_EQ(SlcSpareWord(path, 5), 0x1001);
  auto spare = FileBytes(path, 5 * 528 + 512, 16);
  EXPECT_EQ(std::vector<uint8_t>(spare.begin(), spare.begin() + 6), Erased(6));
  EXPECT_EQ(std::vector<uint8_t>(spare.begin() + 13, spare.end()), Erased(3));  // no ECC
  // An SLC build writes no ECC ROM: sectors 32-63 stay erased.
  EXPECT_EQ(FileBytes(path, 32 * 528, 528), Erased(528));
  // The factory record in sectors 64-71 (block 2), labelled as block 2.
  std::vector<uint8_t> record;
  for (uint32_t s = 64; s < 72; ++s) {
    auto d = FileBytes(path, s * 528, 512);
    record.insert(record.end(), d.begin(), d.end());
    EXPECT_EQ(SlcSpareWord(path, s), 0x1004) << s;
  }
  auto info = nand::DecodeBadBlockInfo(record);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->eccType, 1u);
  EXPECT_EQ(info->version, 1u);
  EXPECT_TRUE(info->entries.empty());
  EXPECT_EQ(std::vector<uint8_t>(record.begin() + 20, record.end()), std::vector<uint8_t>(4076, 0));
  // The card information sector opens block 3, the first after the pieces.
  auto card = nand::CardInfoSector();
  EXPECT_EQ(FileBytes(path, 3 * kSmallSpb * 528, 512), std::vector<uint8_t>(card.begin(), card.end()));
  EXPECT_EQ(SlcSpareWord(path, 3 * kSmallSpb), 0x1007);
  EXPECT_EQ(FileBytes(path, (3 * kSmallSpb + 1) * 528, 528), Erased(528));
}

TEST_F(SimuFile, FirstAssignedBlocksFollowTheBootArea) {
  ASSERT_EQ(BuildSmall(), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 1)), 1);
  ASSERT_EQ(Write(0, Pattern(0, 1, 2)), 1);                        // zone 0, logical block 0
  ASSERT_EQ(Write(3 * kSmallSpb + 1, Pattern(0, 1, 3)), 1);        // zone 0, logical block 3
  ASSERT_EQ(Write(kSmallLbpz * kSmallSpb + 2, Pattern(0, 1, 4)), 1);  // zone 1, logical block 0
  ASSERT_EQ(Close(), 0);

  // Zone 0 hands out block 4 first (blocks 0-3 hold the boot area), then 5;
  // zone 1 block 1 (block 0 of every zone is kept). Every spare of an
  // assigned block is labelled, written or not.
  for (uint32_t s = 0; s < kSmallSpb; ++s) {
    EXPECT_EQ(SlcSpareWord(path, 4 * kSmallSpb + s), 0x1001) << s;
    EXPECT_EQ(SlcSpareWord(path, 5 * kSmallSpb + s), 0x1007) << s;
    EXPECT_EQ(SlcSpareWord(path, (kSmallBpz + 1) * kSmallSpb + s), 0x1001) << s;
  }
  EXPECT_EQ(FileBytes(path, 4 * kSmallSpb * 528, 512), Pattern(0, 1, 2));
  EXPECT_EQ(FileBytes(path, (5 * kSmallSpb + 1) * 528, 512), Pattern(0, 1, 3));
  EXPECT_EQ(FileBytes(path, ((kSmallBpz + 1) * kSmallSpb + 2) * 528, 512), Pattern(0, 1, 4));
  // Nothing else of zone 0 was touched.
  EXPECT_EQ(FileBytes(path, 6 * kSmallSpb * 528, 528), Erased(528));
  EXPECT_EQ(FileBytes(path, (3 * kSmallSpb + 1) * 528, 528), Erased(528));
}

TEST_F(SimuFile, SectorsReadBackAndUnwrittenBlocksFailToRead) {
  ASSERT_EQ(BuildSmall(), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 1)), 1);
  // A run across two logical blocks, then rewritten in place.
  ASSERT_EQ(Write(kSmallSpb - 2, Pattern(30, 4, 5)), 1);
  EXPECT_EQ(Read(kSmallSpb - 2, 4), Pattern(30, 4, 5));
  ASSERT_EQ(Write(kSmallSpb - 1, Pattern(31, 1, 6)), 1);
  EXPECT_EQ(Read(kSmallSpb - 1, 1), Pattern(31, 1, 6));
  EXPECT_EQ(Read(kSmallSpb - 2, 1), Pattern(30, 1, 5));
  // A sector of an assigned block never written reads as erased flash; a
  // block never assigned cannot be read at all.
  EXPECT_EQ(Read(0, 1), Erased(512));
  EXPECT_TRUE(Read(7 * kSmallSpb, 1).empty());
  EXPECT_TRUE(Read(kSmallSpb - 1, 200).empty());
  ASSERT_EQ(Close(), 0);
  // Outside the image mode nothing reaches the file.
  auto late = Pattern(0, 1, 1);
  EXPECT_EQ(dev.WriteToImageFile(0, 1, reinterpret_cast<char*>(late.data())), -1);
}

TEST_F(SimuFile, SectorsOfZonesOutsideTheFileOrTheTablesAreRefused) {
  ASSERT_EQ(BuildSmall(), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 1)), 1);
  uint32_t zone2 = 2 * kSmallLbpz * kSmallSpb;   // the file has two zones
  uint32_t zone8 = 8 * kSmallLbpz * kSmallSpb;   // the tables have eight
  EXPECT_EQ(Write(zone2, Pattern(0, 1, 1)), -1);
  EXPECT_EQ(Write(zone8, Pattern(0, 1, 1)), -1);
  EXPECT_EQ(Write(zone8 + 1000 * kSmallSpb, Pattern(0, 1, 1)), -1);
  EXPECT_TRUE(Read(zone8, 1).empty());
  ASSERT_EQ(Close(), 0);
  EXPECT_EQ(fs::file_size(path), 2ull * 2048 * 528);
}

TEST_F(SimuFile, AZoneWithoutFreeBlocksRefusesNewLogicalBlocksOnly) {
  // 64 logical blocks for the 60 blocks left in zone 0 beside the boot area.
  ASSERT_EQ(Build(true, 64, 64, 32, 1), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 1)), 1);
  for (uint32_t lb = 0; lb < 60; ++lb) ASSERT_EQ(Write(lb * 32, Pattern(lb, 1, 1)), 1) << lb;
  EXPECT_EQ(Write(60 * 32, Pattern(0, 1, 1)), -1);
  EXPECT_EQ(Write(59 * 32 + 3, Pattern(0, 1, 2)), 1);
  EXPECT_EQ(Read(59 * 32 + 3, 1), Pattern(0, 1, 2));
  // The boot blocks kept what was put there.
  EXPECT_EQ(SlcSpareWord(path, 3 * 32), 0x1007);
  ASSERT_EQ(Close(), 0);
  auto card = nand::CardInfoSector();
  EXPECT_EQ(FileBytes(path, 3 * 32 * 528, 512), std::vector<uint8_t>(card.begin(), card.end()));
}

TEST_F(SimuFile, BiosCountOf33IsRefusedBeforeAnythingIsWritten) {
  ASSERT_EQ(BuildSmall(), 0);
  EXPECT_EQ(WriteBios(Pattern(0, 33, 1)), -1);
  ASSERT_EQ(Close(), 0);
  EXPECT_EQ(FileBytes(path, 0, 200 * 528), Erased(200 * 528));
}

TEST_F(SimuFile, FourSectorsPerPageSlcLayout) {
  ASSERT_EQ(BuildLarge(true), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 7)), 1);
  ASSERT_EQ(Write(5, Pattern(0, 1, 8)), 1);
  ASSERT_EQ(Close(), 0);
  // Physical sector 5 is sector 1 of page 1: data at 2624, spare at 4176.
  EXPECT_EQ(FileBytes(path, 2624, 512), Pattern(5, 1, 7));
  auto spare = FileBytes(path, 4176, 16);
  EXPECT_EQ(spare[6], 0x10);
  EXPECT_EQ(spare[7], 0x01);
  // Logical sector 5 lives in block 2 (block 0 holds the boot pieces, block
  // 1 the card information), at the same place within its block.
  uint64_t block2 = 2ull * kLargeSpb * 528;
  EXPECT_EQ(FileBytes(path, block2 + 2624, 512), Pattern(0, 1, 8));
  EXPECT_EQ(SpareOf4(path, 2 * kLargeSpb + 5, true)[11], 0x10);
  auto card = nand::CardInfoSector();
  EXPECT_EQ(FileBytes(path, 1ull * kLargeSpb * 528, 512), std::vector<uint8_t>(card.begin(), card.end()));
}

TEST_F(SimuFile, FourSectorsPerPageMlcBuildKeepsTheBootPiecesSlc) {
  ASSERT_EQ(BuildLarge(false), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 7)), 1);
  auto rom = Pattern(100, 32, 9);
  std::string romFile = dir + "/Reed_Solomon_ECC.bin";
  std::ofstream(romFile, std::ios::binary).write(reinterpret_cast<const char*>(rom.data()), rom.size());
  EXPECT_EQ(dev.SetEccRom(romFile.data()), 0);
  ASSERT_EQ(Write(5, Pattern(0, 1, 8)), 1);
  ASSERT_EQ(Close(), 0);

  // Boot sector 5 in the SLC layout whatever the build's layout.
  EXPECT_EQ(FileBytes(path, 2624, 512), Pattern(5, 1, 7));
  // The ROM in sectors 32-63, SLC: sector 33 is sector 1 of page 8.
  EXPECT_EQ(FileBytes(path, 8 * kPageBytes + 512, 512), Pattern(101, 1, 9));
  // The record says MLC (ECC type 2) although its sectors are SLC.
  std::vector<uint8_t> record;
  for (uint64_t s = 64; s < 72; ++s) {
    uint64_t page = s / 4 * kPageBytes;
    auto d = FileBytes(path, page + (s % 4) * 512, 512);
    record.insert(record.end(), d.begin(), d.end());
    auto sp = SpareOf4(path, s, true);
    EXPECT_EQ(sp[6] << 8 | sp[7], 0x1001) << s;
  }
  auto info = nand::DecodeBadBlockInfo(record);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->eccType, 2u);
  // Data blocks are MLC: logical sector 5 in block 2 at 2640 and 3152 of its block.
  uint64_t block2 = 2ull * kLargeSpb * 528;
  EXPECT_EQ(FileBytes(path, block2 + 2640, 512), Pattern(0, 1, 8));
  auto spare = FileBytes(path, block2 + 3152, 16);
  EXPECT_EQ(std::vector<uint8_t>(spare.begin() + 10, spare.end()),
            (std::vector<uint8_t>{0xFF, 0xFF, 0x10, 0x01, 0x10, 0x01}));
  EXPECT_EQ(std::vector<uint8_t>(spare.begin(), spare.begin() + 10), Erased(10));
  // The card information sector follows the build's layout: MLC spare.
  auto cardSpare = SpareOf4(path, kLargeSpb, false);
  EXPECT_EQ(cardSpare[12] << 8 | cardSpare[13], 0x1002);
}

TEST_F(SimuFile, ANewBuildNeverUsesTheMappingOfTheLastOne) {
  ASSERT_EQ(BuildSmall(), 0);
  ASSERT_EQ(WriteBios(Pattern(0, 32, 1)), 1);
  ASSERT_EQ(Write(0, Pattern(0, 1, 2)), 1);
  ASSERT_EQ(Write(kSmallSpb, Pattern(0, 1, 2)), 1);
  ASSERT_EQ(Close(), 0);
  ASSERT_EQ(BuildSmall(), 0);
  EXPECT_TRUE(Read(0, 1).empty());
  ASSERT_EQ(Write(kSmallSpb, Pattern(0, 1, 3)), 1);
  EXPECT_EQ(SlcSpareWord(path, 4 * kSmallSpb), 0x1002);  // logical block 1 in block 4
  ASSERT_EQ(Close(), 0);
}

TEST_F(SimuFile, BuildFailuresLeaveImageModeOffWithoutWaiting) {
  // At a terminal the failure waits for a key, as it should for a person.
  if (host::StdinIsTerminal()) GTEST_SKIP() << "standard input is a terminal";
  dev.SetImageMode(1);
  dev.SetSimuFlashParameter(1, kSmallBpz, kSmallLbpz, kSmallSpb, 1);
  std::string missing = dir + "/no/such/folder/simu.bin";
  EXPECT_EQ(dev.BuildImageFile(2, missing.data()), -1);
  EXPECT_EQ(dev.imageActive, 0);
  EXPECT_EQ(captured.Text(),
            "创建NAND仿真文件失败，构建NAND仿真BIN文件失败\r\n"
            "按任意键退出\n");

  // Geometries the tables cannot hold are refused before a file is made.
  dev.SetSimuFlashParameter(1, 4096, 4000, 32, 1);
  EXPECT_EQ(dev.BuildImageFile(2, path.data()), -1);
  dev.SetSimuFlashParameter(1, 64, 65, 32, 1);
  EXPECT_EQ(dev.BuildImageFile(2, path.data()), -1);
  dev.SetSimuFlashParameter(1, 64, 50, 32, 3);
  EXPECT_EQ(dev.BuildImageFile(2, path.data()), -1);
  dev.SetSimuFlashParameter(1, 64, 50, 32, 1);
  EXPECT_EQ(dev.BuildImageFile(4000, path.data()), -1);
  EXPECT_EQ(dev.imageActive, 0);
  EXPECT_FALSE(fs::exists(path));
  // Boot writes without a file go nowhere.
  EXPECT_EQ(dev.WriteBiosToBinFile(32, reinterpret_cast<char*>(Pattern(0, 32, 1).data())), -1);
}

// ---- the file served by zelsim ------------------------------------------------

TEST_F(SimuFile, ZelsimServesTheBuiltFileOfSmallBlocks) {
  ASSERT_EQ(BuildSmall(), 0);
  auto boot = Pattern(0, 32, 1);
  ASSERT_EQ(WriteBios(boot), 1);
  ASSERT_EQ(Write(0, Pattern(0, 3, 2)), 1);
  ASSERT_EQ(Write(17 * kSmallSpb + 31, Pattern(0, 2, 3)), 1);
  ASSERT_EQ(Write(kSmallLbpz * kSmallSpb + 40, Pattern(0, 5, 4)), 1);
  ASSERT_EQ(Close(), 0);

  ModelHarness h("served-small");
  h.config.nand.chip[0] = nand::NandChip{"SMALL", {0x98, 0x79, 0xFF, 0xFF, 0xFF}, 512, 16, 32,
                                         2 * kSmallBpz, 1, 2, kSmallBpz, kSmallLbpz};
  h.config.nand.nandFile[0] = path;
  ASSERT_TRUE(h.Start()) << h.model->Error();
  EXPECT_EQ(h.Read(0, 3), Pattern(0, 3, 2));
  EXPECT_EQ(h.Read(17 * kSmallSpb + 31, 2), Pattern(0, 2, 3));
  EXPECT_EQ(h.Read(kSmallLbpz * kSmallSpb + 40, 5), Pattern(0, 5, 4));
  EXPECT_EQ(h.Read(5 * kSmallSpb, 1), Erased(512));
  EXPECT_EQ(h.Table(0, 1)[0], 0x00000400u);
  DeviceAnswer bios = h.Do(req::kReadBIOS, 16384, 0, 32);
  EXPECT_EQ(bios.value, 1);
  EXPECT_EQ(bios.data, boot);
  auto info = nand::DecodeBadBlockInfo(h.Do(req::kGetFactoryBadInfo, 4096).data);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->eccType, 1u);
  // The record matches the controller's method: the low format may run.
  EXPECT_EQ(h.Do(req::kLowFormat).value, 0);
  EXPECT_EQ(h.Do(req::kReadBIOS, 16384, 0, 32).data, boot);
}

TEST_F(SimuFile, ZelsimServesTheBuiltMlcFileOfLargePages) {
  ASSERT_EQ(BuildLarge(false), 0);
  auto boot = Pattern(0, 32, 1);
  ASSERT_EQ(WriteBios(boot), 1);
  auto rom = Pattern(7, 32, 5);
  std::string romFile = dir + "/rom.bin";
  std::ofstream(romFile, std::ios::binary).write(reinterpret_cast<const char*>(rom.data()), rom.size());
  ASSERT_EQ(dev.SetEccRom(romFile.data()), 0);
  ASSERT_EQ(Write(3, Pattern(3, 300, 6)), 1);
  ASSERT_EQ(Write(9 * kLargeSpb + 255, Pattern(0, 1, 7)), 1);
  ASSERT_EQ(Close(), 0);

  ModelHarness h("served-mlc");
  h.config.nand.chip[0] = LargePageChip();
  h.config.nand.mlc = true;
  h.config.nand.nandFile[0] = path;
  ASSERT_TRUE(h.Start()) << h.model->Error();
  EXPECT_EQ(h.Read(3, 300), Pattern(3, 300, 6));
  EXPECT_EQ(h.Read(9 * kLargeSpb + 255, 1), Pattern(0, 1, 7));
  EXPECT_EQ(h.Do(req::kReadBIOS, 16384, 0, 32).data, boot);
  EXPECT_EQ(h.Do(req::kGetEccRom, 16384).data, rom);
  auto info = nand::DecodeBadBlockInfo(h.Do(req::kGetFactoryBadInfo, 4096).data);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->eccType, 2u);
  EXPECT_EQ(h.Do(req::kGetEccMethod).value, 2);
  // A new logical block served by zelsim lands beside the built ones.
  ASSERT_TRUE(h.Write(5 * kLargeSpb, Pattern(0, 1, 8)));
  ASSERT_TRUE(h.Start());
  EXPECT_EQ(h.Read(5 * kLargeSpb, 1), Pattern(0, 1, 8));
  EXPECT_EQ(h.Read(3, 300), Pattern(3, 300, 6));
}

}  // namespace
