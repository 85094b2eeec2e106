// The NAND file layout: sector offsets, block address words, spares, the
// factory bad-block record and the chip table.

#include "tervlink/nand_layout.h"

#include <gtest/gtest.h>

#include "recording_transport.h"  // Hex()

namespace {

using nand::Geometry;

Geometry FourSectorsPerPage() {
  Geometry g;
  g.zones = 1;
  g.blocksPerZone = 1024;
  g.logicalBlocksPerZone = 1000;
  g.sectorsPerBlock = 256;
  g.sectorsPerPage = 4;
  return g;
}

TEST(NandLayout, OneSectorPerPagePutsSpareRightAfterData) {
  Geometry g;  // the default chip
  for (uint64_t p : {0ull, 1ull, 262143ull}) {
    EXPECT_EQ(nand::SectorDataOffset(g, p, true), p * 528);
    EXPECT_EQ(nand::SectorSpareOffset(g, p, true), p * 528 + 512);
    EXPECT_EQ(nand::SectorDataOffset(g, p, false), p * 528);
    EXPECT_EQ(nand::SectorSpareOffset(g, p, false), p * 528 + 512);
  }
  EXPECT_EQ(g.FileBytes(), 262144ull * 528);
  EXPECT_EQ(g.LogicalSectors(), 256000u);
}

TEST(NandLayout, FourSectorsPerPageSeparatesTheLayouts) {
  Geometry g = FourSectorsPerPage();
  // Physical sector 5 is sector 1 of page 1 (page offset 2112).
  EXPECT_EQ(nand::SectorDataOffset(g, 5, true), 2624u);
  EXPECT_EQ(nand::SectorSpareOffset(g, 5, true), 4176u);
  EXPECT_EQ(nand::SectorDataOffset(g, 5, false), 2640u);
  EXPECT_EQ(nand::SectorSpareOffset(g, 5, false), 3152u);
}

TEST(NandLayout, OffsetsBeyondTwoGigabytesDoNotWrap) {
  Geometry g = Geometry::OfChip(*nand::FindChip("K9GAG08U0M"), true);
  uint64_t last = g.PhysicalSectors() - 1;
  EXPECT_GT(g.FileBytes(), 0x80000000ull);  // past any signed 32-bit offset
  EXPECT_EQ(nand::SectorSpareOffset(g, last, true) + 16, g.FileBytes());
  EXPECT_EQ(nand::SectorSpareOffset(g, last, false) + 16, g.FileBytes());
}

TEST(NandLayout, BlockAddressWordsHaveEvenParity) {
  EXPECT_EQ(nand::BlockAddressWord(0), 0x1001);  // 0x1000 has one bit set
  EXPECT_EQ(nand::BlockAddressWord(1), 0x1002);
  EXPECT_EQ(nand::BlockAddressWord(3), 0x1007);
  for (uint32_t lb = 0; lb < 2048; ++lb) {
    uint16_t w = nand::BlockAddressWord(lb);
    EXPECT_EQ(nand::BitCountWord(w) % 2, 0) << lb;
    ASSERT_EQ(nand::DecodeBlockAddressWord(w), lb);
  }
}

TEST(NandLayout, MalformedWordsDecodeToNothing) {
  EXPECT_FALSE(nand::DecodeBlockAddressWord(0xFFFF));  // an unlabelled spare
  EXPECT_FALSE(nand::DecodeBlockAddressWord(0x1000));  // odd parity
  EXPECT_FALSE(nand::DecodeBlockAddressWord(0x2001));  // wrong high nibble
  EXPECT_FALSE(nand::DecodeBlockAddressWord(0x1003));  // odd parity
}

TEST(NandLayout, DataSparesCarryTheWordWhereEachLayoutWantsIt) {
  // Logical block 3: word 0x1007.
  auto slc = nand::DataSpare(3, true);
  auto mlc = nand::DataSpare(3, false);
  EXPECT_EQ(std::vector<uint8_t>(slc.begin(), slc.end()),
            Hex("ff ff ff ff ff ff 10 07 ff ff ff 10 07 ff ff ff"));
  EXPECT_EQ(std::vector<uint8_t>(mlc.begin(), mlc.end()),
            Hex("ff ff ff ff ff ff ff ff ff ff ff ff 10 07 10 07"));
  for (bool slc : {true, false}) {
    auto spare = nand::DataSpare(999, slc);
    EXPECT_EQ(nand::SpareLogicalBlock(spare, slc), 999u);
    EXPECT_FALSE(nand::SpareMarksBad(spare));
  }
}

TEST(NandLayout, SpareReaderFallsBackToTheSecondCopy) {
  auto spare = nand::DataSpare(42, true);
  spare[6] = 0xFF;  // first copy damaged
  EXPECT_EQ(nand::SpareLogicalBlock(spare, true), 42u);
  spare[11] = 0xFF;
  EXPECT_FALSE(nand::SpareLogicalBlock(spare, true));
  std::array<uint8_t, 16> erased;
  erased.fill(0xFF);
  EXPECT_FALSE(nand::SpareLogicalBlock(erased, false));
}

TEST(NandLayout, BadBlockRecordBytes) {
  nand::BadBlockInfo info;
  info.eccType = 2;
  info.version = 1;
  info.entries = {{0, 5}, {3, 0x0123}};
  auto raw = nand::EncodeBadBlockInfo(info);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 26),
            Hex("42 4c 43 4b 49 4e 46 4f 02 00 00 00 01 00 00 00 02 00 00 00 00 00 05 03 01 23"));
  EXPECT_TRUE(std::all_of(raw.begin() + 26, raw.end(), [](uint8_t b) { return b == 0; }));

  auto back = nand::DecodeBadBlockInfo(raw);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->eccType, 2u);
  EXPECT_EQ(back->entries, info.entries);
}

TEST(NandLayout, BadBlockRecordRejectsWrongMagicShortInputAndOverlongCount) {
  auto raw = nand::EncodeBadBlockInfo({});
  EXPECT_TRUE(nand::DecodeBadBlockInfo(raw));
  EXPECT_FALSE(nand::DecodeBadBlockInfo(std::span<const uint8_t>(raw.data(), 4095)));
  auto wrong = raw;
  wrong[0] = 'b';
  EXPECT_FALSE(nand::DecodeBadBlockInfo(wrong));
  auto overlong = raw;
  overlong[16] = 0x4F;  // 1359 entries cannot fit in 4096 bytes
  overlong[17] = 0x05;
  EXPECT_FALSE(nand::DecodeBadBlockInfo(overlong));
}

TEST(NandLayout, BadBlockRecordKeepsOnlyTheEntriesThatFit) {
  nand::BadBlockInfo info;
  info.entries.resize(1400, {1, 2});
  auto raw = nand::EncodeBadBlockInfo(info);
  auto back = nand::DecodeBadBlockInfo(raw);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->entries.size(), 1358u);
}

TEST(NandLayout, CardInformationSector) {
  auto s = nand::CardInfoSector();
  auto head = Hex("01 03 d9 01 ff 18 02 df 01 20");
  EXPECT_TRUE(std::equal(head.begin(), head.end(), s.begin()));
  EXPECT_TRUE(std::equal(head.begin(), head.end(), s.begin() + 256));
  EXPECT_EQ(std::count(s.begin(), s.end(), 0), 512 - 20);  // zero elsewhere
}

TEST(NandLayout, ChipTableLookupIgnoresCase) {
  const nand::NandChip* chip = nand::FindChip("k9f1g08u0a");
  ASSERT_NE(chip, nullptr);
  Geometry g = Geometry::OfChip(*chip, true);
  EXPECT_EQ(g.blocksPerZone, 1024u);
  EXPECT_EQ(g.logicalBlocksPerZone, 1000u);
  EXPECT_EQ(g.sectorsPerBlock, 256u);
  EXPECT_EQ(g.sectorsPerPage, 4u);
  EXPECT_EQ(nand::FindChip("K9F1G08U0"), nullptr);
  EXPECT_EQ(nand::FindChip("K9F1G08U0AX"), nullptr);
  EXPECT_EQ(nand::ChipTable().size(), 11u);
  EXPECT_STREQ(nand::ChipTable()[0].partNumber, "TC58DVG02A1FT00");
}

TEST(NandLayout, EveryChipOfTheTableHasAConsistentGeometry) {
  for (const nand::NandChip& chip : nand::ChipTable()) {
    SCOPED_TRACE(chip.partNumber);
    Geometry g = Geometry::OfChip(chip, true);
    EXPECT_TRUE(g.Valid());
    EXPECT_EQ(g.PhysicalBlocks(), chip.blocks);
    EXPECT_EQ(chip.pageBytes, chip.sectorsPerPage * 512);
    EXPECT_EQ(chip.spareBytes, chip.sectorsPerPage * 16);
  }
  // The largest chip makes a 1024 MB image.
  Geometry big = Geometry::OfChip(*nand::FindChip("HY27UT088G2M"), true);
  EXPECT_EQ(big.PhysicalSectors() * 512 / 1048576, 1024u);
}

TEST(NandLayout, LogicalSectorsSplitIntoZones) {
  Geometry g;
  auto a = nand::SplitLogicalSector(g, 1000 * 32 + 5);
  EXPECT_EQ(a.zone, 1u);
  EXPECT_EQ(a.blockInZone, 0u);
  EXPECT_EQ(a.sectorInBlock, 5u);
  EXPECT_EQ(nand::PhysicalSector(g, 1, 1, 5), (1024u + 1) * 32 + 5);
}

}  // namespace
