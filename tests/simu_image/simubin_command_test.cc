// BUILDSIMUBIN's argument rules, chip table and size rule, checked against a
// device that records what the build asks of it (no file is written).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_shell.h"
#include "simubin.h"
#include "support/fake_device.h"

namespace {

// Records the image calls; the build itself is refused, so nothing further
// runs.
class BuildRecorder : public FailingDevice {
 public:
  int32_t SetImageMode(int32_t kind) override {
    imageKind = kind;
    return 0;
  }
  int32_t SetSimuFlashParameter(int32_t slc, uint32_t bpz, uint32_t lbpz, uint32_t spb,
                                uint32_t spp) override {
    params = {uint32_t(slc), bpz, lbpz, spb, spp};
    return 0;
  }
  int32_t BuildImageFile(int32_t size, char* path) override {
    sizeMb = size;
    file = path;
    return -1;
  }
  int32_t Switch(int32_t) override {
    ++switches;
    return -1;
  }

  int imageKind = -1;
  std::vector<uint32_t> params;
  int sizeMb = -1;
  std::string file;
  int switches = 0;
};

class SimuBinCommand : public ::testing::Test {
 protected:
  SimuBinCommand() : fat(&device), shell(&fat, "") {
    previous = host::SetOut(&out);
    shell.SetStreams(nullptr, &out);
  }
  ~SimuBinCommand() override { host::SetOut(previous); }

  int Run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    return shell.CmdBuildSimuBin(int(argv.size()), argv.data());
  }

  BuildRecorder device;
  FAT_DEVICE fat;
  CommandShell shell;
  host::StringOutput out;
  host::Output* previous;
};

TEST(SimuBinParams, ChipTableAndSizeRule) {
  SimuBinParams d = SimuBinParamsOf(nullptr, true);
  EXPECT_EQ(d.sizeMb, 128);
  EXPECT_EQ(d.blocksPerZone, 1024u);
  EXPECT_EQ(d.logicalBlocksPerZone, 1000u);
  EXPECT_EQ(d.sectorsPerBlock, 32u);
  EXPECT_EQ(d.sectorsPerPage, 1u);

  SimuBinParams k9 = SimuBinParamsOf(nand::FindChip("k9f1g08u0a"), false);
  EXPECT_FALSE(k9.slc);
  EXPECT_EQ(k9.sizeMb, 128);
  EXPECT_EQ(k9.blocksPerZone, 1024u);
  EXPECT_EQ(k9.logicalBlocksPerZone, 1000u);
  EXPECT_EQ(k9.sectorsPerBlock, 256u);
  EXPECT_EQ(k9.sectorsPerPage, 4u);

  EXPECT_EQ(SimuBinParamsOf(nand::FindChip("HY27UT088G2M"), true).sizeMb, 1024);
  EXPECT_EQ(SimuBinParamsOf(nand::FindChip("K9GAG08U0M"), true).sizeMb, 2048);
  EXPECT_EQ(SimuBinParamsOf(nand::FindChip("XSPACE082G2A"), true).sizeMb, 512);
  // Every chip's file is exactly the NAND file zelsim expects of that chip.
  for (const nand::NandChip& chip : nand::ChipTable()) {
    SimuBinParams p = SimuBinParamsOf(&chip, true);
    EXPECT_EQ(uint64_t(p.sizeMb) * 2048 * 528, nand::Geometry::OfChip(chip, true).FileBytes())
        << chip.partNumber;
  }
}

TEST_F(SimuBinCommand, WrongWordCountsPrintTheUsage) {
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u"}), -2);
  EXPECT_EQ(out.text.rfind("该命令格式为: BuildSimuBin  BIOS_loader  BIOS USER ImageFileName {ChipPartNo} {SLC|MLC}.\r\n", 0), 0u);
  EXPECT_NE(out.text.find("   BuildSimuBin loader_big.bin bios_big.bin user.bin qm616_simu.bin K9F1G08U0A MLC\r\n"), std::string::npos);
  out.text.clear();
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "s", "K9F1G08U0A", "MLC", "x"}), -2);
  EXPECT_EQ(out.text.rfind("该命令格式为", 0), 0u);
  EXPECT_EQ(device.imageKind, -1);
}

TEST_F(SimuBinCommand, UnknownChipAndEccWordAreRefusedBeforeTheBuild) {
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "s", "K9F9G08"}), -2);
  EXPECT_EQ(out.text, "无法识别的NandFlash芯片编号\r\n");
  out.text.clear();
  // A sixth word is always the chip, even when it names an ECC method.
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "s", "MLC"}), -2);
  EXPECT_EQ(out.text, "无法识别的NandFlash芯片编号\r\n");
  out.text.clear();
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "s", "K9F1G08U0A", "TLC"}), -2);
  EXPECT_EQ(out.text, "无法识别的ECC算法，请输入 SLC 或者 MLC \r\n");
  EXPECT_EQ(device.imageKind, -1);
  EXPECT_EQ(device.sizeMb, -1);
}

TEST_F(SimuBinCommand, ChipAndEccWordSetTheGeometryAndTheSize) {
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "big.bin", "hy27ut088g2m", "mlc"}), -1);
  EXPECT_EQ(device.imageKind, 1);
  EXPECT_EQ(device.params, (std::vector<uint32_t>{0, 2048, 2000, 256, 4}));
  EXPECT_EQ(device.sizeMb, 1024);
  EXPECT_EQ(device.file, "big.bin");
  EXPECT_EQ(device.switches, 0);  // a build that did not start runs nothing

  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "s.bin"}), -1);
  EXPECT_EQ(device.params, (std::vector<uint32_t>{1, 1024, 1000, 32, 1}));
  EXPECT_EQ(device.sizeMb, 128);
  EXPECT_EQ(Run({"BUILDSIMUBIN", "l", "b", "u", "s.bin", "K9F1G08U0A", "Slc"}), -1);
  EXPECT_EQ(device.params, (std::vector<uint32_t>{1, 1024, 1000, 256, 4}));
  EXPECT_EQ(device.sizeMb, 128);
}

}  // namespace
