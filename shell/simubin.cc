// BUILDSIMUBIN: the NAND file of the device's PC simulator (and of zelsim),
// built from the PC sync folder tree.
//
// The command puts the engine in image mode 1 with the simulated chip's
// geometry, then runs the ordinary SWITCH, BIOS, SETECCROM, PART, FORMAT and
// SYNC handlers against the file with made-up word lists, and never leaves a
// half-built file behind.

#include <cstring>

#include "command_shell.h"
#include "simubin.h"
#include "tervlink/text.h"

namespace {

const char kEccRomFile[] = "Reed_Solomon_ECC.bin";

const char kUsage[] =
    "该命令格式为: BuildSimuBin  BIOS_loader  BIOS USER ImageFileName {ChipPartNo} {SLC|MLC}.\r\n"
    "BIOS_LOADER is the path of file loader_big.bin \r\n"
    "BIOS is the path of bios_big.bin\r\n"
    "USER is the path of user.bin\r\n"
    "ImageFileName is the simulator bin file name.\r\n"
    "ChipPartNo 是模拟的NandFlash型号编号,为可选项，如\r\n"
    "   三星系列: K9F1G08U0A, K9F4G08U0A,\r\n"
    "   现代系列: HY27UF081G2A, HY27UF084G2M,\r\n"
    "   缺省使用Page=512 Bytes, 容量为128MB的规范构建模拟器BIN文件,\r\n"
    "SLC|MLC 定义构建模拟器BIN文件时使用SLC算法还是MLC算法，\r\n"
    "        缺省使用SLC算法 \r\n"
    "命令格式样本如下:\r\n"
    "   BuildSimuBin loader_big.bin bios_big.bin user.bin qm616_simu.bin\r\n"
    "   BuildSimuBin loader_big.bin bios_big.bin user.bin qm616_simu.bin K9F1G08U0A\r\n"
    "   BuildSimuBin loader_big.bin bios_big.bin user.bin qm616_simu.bin K9F1G08U0A SLC\r\n"
    "   BuildSimuBin loader_big.bin bios_big.bin user.bin qm616_simu.bin K9F1G08U0A MLC\r\n";

// A made-up command line for a nested handler: the words are copied, so a
// handler may change them as it would change typed ones.
class Words {
 public:
  Words(std::initializer_list<const char*> words) {
    for (const char* w : words) store_.emplace_back(w, w + strlen(w) + 1);
    for (auto& w : store_) ptrs_.push_back(w.data());
  }
  int Count() const { return int(ptrs_.size()); }
  char** Argv() { return ptrs_.data(); }

 private:
  std::vector<std::vector<char>> store_;
  std::vector<char*> ptrs_;
};

}  // namespace

SimuBinParams SimuBinParamsOf(const nand::NandChip* chip, bool slc) {
  SimuBinParams p;
  p.slc = slc;
  if (!chip) return p;
  p.blocksPerZone = chip->blocksPerZone;
  p.logicalBlocksPerZone = chip->usablePerZone;
  p.sectorsPerBlock = chip->pagesPerBlock * chip->sectorsPerPage;
  p.sectorsPerPage = chip->sectorsPerPage;
  // The chip's sectors in MB: the sector count shifted right by 11, kept to
  // 12 bits (no chip of the table comes near 4096 MB).
  p.sizeMb = int((uint64_t(chip->blocks) * p.sectorsPerBlock >> 11) & 0xFFF);
  return p;
}

bool CommandShell::OutputIsInput(const char* output, std::initializer_list<const char*> inputs) {
  for (const char* input : inputs) {
    if (input && host::SameFile(output, input)) {
      Printf("输出文件(%s)与输入文件(%s)是同一个文件, 命令未执行.\r\n", output, input);
      return true;
    }
  }
  return false;
}

bool CommandShell::OutputInSyncTree(const char* output, int disk) {
  std::string tree = host::FullPath(pcSyncDir) + host::kSep + "Disk" + std::to_string(disk);
  std::string path = host::FullPath(output);
  // Each folder above the output, compared with the tree as the same file.
  for (size_t cut = path.rfind(host::kSep); cut != std::string::npos && cut > 0;
       cut = path.rfind(host::kSep, cut - 1)) {
    if (host::SameFile(path.substr(0, cut).c_str(), tree.c_str())) {
      Printf("输出文件(%s)位于同步目录%s中, 命令未执行.\r\n", output, tree.c_str());
      return true;
    }
  }
  return false;
}

int CommandShell::CmdBuildSimuBin(int argc, char** argv) {
  if (argc < 5 || argc > 7) {
    Printf("%s", kUsage);
    return -2;
  }
  const nand::NandChip* chip = nullptr;
  if (argc >= 6) {
    chip = nand::FindChip(argv[5]);
    if (!chip) {
      Printf("无法识别的NandFlash芯片编号\r\n");
      return -2;
    }
  }
  bool slc = true;
  if (argc == 7) {
    if (text::EqualNoCase(argv[6], "MLC")) {
      slc = false;
    } else if (!text::EqualNoCase(argv[6], "SLC")) {
      Printf("无法识别的ECC算法，请输入 SLC 或者 MLC \r\n");
      return -2;
    }
  }
  SimuBinParams p = SimuBinParamsOf(chip, slc);
  char* binFile = argv[4];
  // Building starts by emptying the output file: it must not be an input.
  if (OutputIsInput(binFile, {argv[1], argv[2], argv[3], slc ? nullptr : kEccRomFile}) ||
      OutputInSyncTree(binFile, 0))
    return -2;

  fat->SetImageMode(1);
  fat->SetSimuFlashParameter(p.slc ? 1 : 0, p.blocksPerZone, p.logicalBlocksPerZone,
                             p.sectorsPerBlock, p.sectorsPerPage);
  if (fat->SwitchToBuildingImageMode(p.sizeMb, binFile) != 0) return -1;

  auto fail = [&]() {
    fat->QuitBuildingImageMode(binFile);
    host::RemoveFile(binFile);
    return -1;
  };
  Words sw{"SWITCH", "0"};
  if (CmdSwitch(sw.Count(), sw.Argv()) != 1) return fail();
  Words bios{"BIOS", argv[1], argv[2], argv[3]};
  if (CmdBios(bios.Count(), bios.Argv()) != 1) return fail();
  if (!p.slc) {
    host::FileInfo rom = host::Stat(kEccRomFile);
    if (!rom.exists || rom.isDir) {
      Printf("基于MLC的模拟器BIN文件创建时必须需要文件Reed_Solomon_ECC.bin(MLC的Reed-Solomon ECC算法ROM)在当前目录下。\n");
      Printf("构建模拟器BIN文件失败。\n");
      return fail();
    }
    Words setRom{"SETECCROM", kEccRomFile};
    if (CmdSetEccRom(setRom.Count(), setRom.Argv()) != 1) return fail();
  }
  Words part{"PART", "do", "-y"};
  if (CmdPart(part.Count(), part.Argv()) != 1) return fail();
  Words format{"FORMAT", "-Y"};
  if (CmdFormat(format.Count(), format.Argv()) != 1) return fail();
  Words sync{"SYNC"};
  if (CmdSync(sync.Count(), sync.Argv()) != 1) return fail();

  if (fat->QuitBuildingImageMode(binFile) != 0) return -1;
  Printf("Build simulator image file success.\r\n");
  return 1;
}
