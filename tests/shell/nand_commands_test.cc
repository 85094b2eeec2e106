// The NAND maintenance and boot-area commands against a NAND double.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "command_shell.h"
#include "support/fake_device.h"
#include "support/test_dir.h"
#include "tervlink/bytes.h"

namespace fs = std::filesystem;

namespace {

// Two zones of four blocks, each block 2 pages of 16 bytes.
class NandDouble : public FailingDevice {
 public:
  int32_t NandInfo(_ZEL_NANDINFO* info) override {
    *info = _ZEL_NANDINFO{2, 16, 2, 4, 0xEC, 0xF1, 0xFF, 0x15, 0x01};
    return 0;
  }
  int32_t NandReadWrite(int32_t write, uint32_t block, char* buffer, uint32_t size) override {
    if (size != 32 || failBlock == int(block)) return -1;
    if (write)
      blocks[block].assign(buffer, buffer + size);
    else if (blocks.count(block))
      memcpy(buffer, blocks[block].data(), size);
    else
      memset(buffer, int(block), size);
    return 0;
  }
  int32_t NandErase(uint32_t block) override {
    erased.push_back(block);
    return 0;
  }
  int32_t WriteBIOS(uint32_t count, char* buffer) override {
    bios.assign(buffer, buffer + count * 512);
    return 1;
  }
  int32_t ReadBIOS(uint32_t count, char* buffer) override {
    for (uint32_t i = 0; i < count * 512; ++i) buffer[i] = char(i / 512);
    return 1;
  }
  int32_t GetEccMethod(int32_t* method) override {
    *method = eccMethod;
    return 0;
  }
  int32_t ExecuteGetFactoryBadInfo(void* record) override {
    auto* r = static_cast<uint8_t*>(record);
    memcpy(r, "BLCKINFO", 8);
    bytes::Put32(r + 8, 1);
    bytes::Put32(r + 12, 1);
    bytes::Put32(r + 16, badCount);
    const uint8_t entries[] = {0, 0x01, 0x02, 3, 0x00, 0x07};
    memcpy(r + 20, entries, sizeof entries);
    return 0;
  }

  std::map<uint32_t, std::vector<char>> blocks;
  std::vector<uint32_t> erased;
  std::vector<char> bios;
  int eccMethod = 1;
  int failBlock = -1;
  uint32_t badCount = 2;
};

class NandCommandsTest : public ::testing::Test {
 protected:
  NandCommandsTest() : fat(&device), shell(&fat, "") {
    previous = host::SetOut(&out);
    shell.SetStreams(nullptr, &out);
    dir = testDir.path();
  }
  ~NandCommandsTest() override {
    host::SetOut(previous);
  }

  int Run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    int id = shell.LookupCommand(int(argv.size()), argv.data());
    return shell.Dispatch(id, int(argv.size()), argv.data());
  }
  std::string File(const std::string& name, size_t size, char fill) {
    std::string path = (dir / name).string();
    std::ofstream(path, std::ios::binary) << std::string(size, fill);
    return path;
  }
  static std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  NandDouble device;
  FAT_DEVICE fat;
  CommandShell shell;
  host::StringOutput out;
  host::Output* previous = nullptr;
  TestDir testDir{"tervan-nand"};
  fs::path dir;
};

TEST_F(NandCommandsTest, BiosNeedsASwitchFirst) {
  EXPECT_EQ(Run({"BIOS", "missing1", "missing2", "missing3"}), -2);
  EXPECT_EQ(out.text, "请执行SWITCH命令选择当前NAND磁盘后再执行此命令\n");
  EXPECT_EQ(Run({"READBIOS", (dir / "x").string()}), -2);
  EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST_F(NandCommandsTest, BiosSizeLimits) {
  shell.nandDiskKind = 1;
  std::string loader = File("l.bin", 256, 'L'), user = File("u.bin", 512, 'U');
  std::string shortLoader = File("l255.bin", 255, 'L');
  std::string biosMax = File("b.bin", 13824, 'B'), biosOver = File("b2.bin", 13825, 'B'),
              biosEmpty = File("b0.bin", 0, 'B');

  EXPECT_EQ(Run({"BIOS", shortLoader, biosMax, user}), -2);
  EXPECT_EQ(out.text, "BIOS_LOADER定义文件(" + shortLoader + ")的大小(255)必须为256字节.\n");
  out.text.clear();
  EXPECT_EQ(Run({"BIOS", loader, biosOver, user}), -2);
  EXPECT_EQ(out.text, "BIOS定义文件(" + biosOver + ")的大小(13825)必须不为0字节并且不大于13824字节.\n");
  out.text.clear();
  EXPECT_EQ(Run({"BIOS", loader, biosEmpty, user}), -2);
  EXPECT_EQ(out.text, "BIOS定义文件(" + biosEmpty + ")的大小(0)必须不为0字节并且不大于13824字节.\n");
  EXPECT_TRUE(device.bios.empty());

  out.text.clear();
  EXPECT_EQ(Run({"BIOS", loader, biosMax, user}), 1);
  EXPECT_EQ(out.text, "");
  ASSERT_EQ(device.bios.size(), 16384u);
  EXPECT_EQ(device.bios[0], 'L');
  EXPECT_EQ(device.bios[255], 'L');
  EXPECT_EQ(device.bios[256], 0);
  EXPECT_EQ(device.bios[512], 'B');
  EXPECT_EQ(device.bios[512 + 13823], 'B');
  EXPECT_EQ(device.bios[15872], 'U');
}

TEST_F(NandCommandsTest, BiosOfLargePageDiskSitsAt1024AndKeepsEarlierBytes) {
  shell.nandDiskKind = 1;
  std::string loader = File("l.bin", 256, 'L'), user = File("u.bin", 512, 'U');
  ASSERT_EQ(Run({"BIOS", loader, File("b.bin", 13824, 'B'), user}), 1);
  shell.nandDiskKind = 2;
  ASSERT_EQ(Run({"BIOS", loader, File("c.bin", 100, 'C'), user}), 1);
  // The image buffer is never cleared: the first BIOS's bytes remain where
  // the second did not write.
  EXPECT_EQ(device.bios[512], 'B');
  EXPECT_EQ(device.bios[1024], 'C');
  EXPECT_EQ(device.bios[1123], 'C');
  EXPECT_EQ(device.bios[1124], 'B');
  // A BIOS that would not fit the smaller layout is refused, not cut.
  EXPECT_EQ(Run({"BIOS", loader, File("big.bin", 12289, 'X'), user}), -2);
}

TEST_F(NandCommandsTest, ReadBiosWritesTheThreePieces) {
  shell.nandDiskKind = 2;
  std::string x = (dir / "x").string();
  EXPECT_EQ(Run({"READBIOS", x}), 1);
  EXPECT_EQ(fs::file_size(x), 16384u);
  EXPECT_EQ(fs::file_size(x + ".bios_loader.bin"), 256u);
  std::string bios = Slurp(x + ".bios.bin");
  ASSERT_EQ(bios.size(), 12288u);
  EXPECT_EQ(bios[0], 2);  // sector 2 of the boot area starts at offset 1024
  std::string user = Slurp(x + ".user.bin");
  ASSERT_EQ(user.size(), 512u);
  EXPECT_EQ(user[0], 31);
}

TEST_F(NandCommandsTest, BlockRangeIsCheckedUnsigned) {
  EXPECT_EQ(Run({"NANDERASE", "-1"}), -1);
  EXPECT_EQ(out.text, "非法的物理块号(-1)\n");
  out.text.clear();
  EXPECT_EQ(Run({"NANDERASE", "8"}), -1);
  EXPECT_EQ(out.text, "非法的物理块号(8)\n");
  EXPECT_EQ(Run({"NANDERASE", "7"}), 1);
  EXPECT_EQ(device.erased, std::vector<uint32_t>{7});
  EXPECT_EQ(Run({"NANDERASE"}), -2);
  EXPECT_EQ(Run({"NANDERASE", "x"}), -2);
}

TEST_F(NandCommandsTest, WriteAndReadABlock) {
  std::string in = File("in.bin", 5, 'w');
  ASSERT_EQ(Run({"NANDWRITE", "3", in}), 1);
  // A shorter file leaves zeros behind its end.
  EXPECT_EQ(std::string(device.blocks[3].begin(), device.blocks[3].end()),
            std::string(5, 'w') + std::string(27, '\0'));
  std::string back = (dir / "back.bin").string();
  ASSERT_EQ(Run({"NANDREAD", "3", back}), 1);
  EXPECT_EQ(Slurp(back), std::string(5, 'w') + std::string(27, '\0'));

  device.failBlock = 4;
  std::string failed = (dir / "failed.bin").string();
  EXPECT_EQ(Run({"NANDREAD", "4", failed}), -1);
  EXPECT_EQ(fs::file_size(failed), 0u);
  EXPECT_EQ(Run({"NANDWRITE", "3", (dir / "none").string()}), -1);
}

TEST_F(NandCommandsTest, MultiReadWritesOneFilePerBlock) {
  std::string folder = (dir / "out").string();
  EXPECT_EQ(Run({"NANDMREAD", "5", "3", folder}), 1);
  for (int b : {5, 6, 7}) {
    std::string data = Slurp(fs::path(folder) / (std::to_string(b) + ".bin"));
    EXPECT_EQ(data, std::string(32, char(b)));
  }
  EXPECT_NE(out.text.find("正在写入(" + folder + "/7.bin)\n"), std::string::npos);

  out.text.clear();
  EXPECT_EQ(Run({"NANDMREAD", "5", "0", folder}), -1);
  EXPECT_EQ(out.text, "非法的物理块号(0)\n");
  out.text.clear();
  EXPECT_EQ(Run({"NANDMREAD", "6", "3", folder}), -1);  // 6 + 3 > 8 blocks
  EXPECT_EQ(out.text, "非法的物理块号(3)\n");

  std::string plainFile = File("plain", 1, 'p');
  out.text.clear();
  EXPECT_EQ(Run({"NANDMREAD", "0", "1", plainFile}), -1);
  EXPECT_EQ(out.text, "目录(" + plainFile + ")无法访问\n");
}

TEST_F(NandCommandsTest, EccMethodAndBadBlockReports) {
  device.eccMethod = 3;
  EXPECT_EQ(Run({"GETECCMETHOD"}), 1);
  EXPECT_EQ(out.text, "\n NFC应用的ECC方法(3)未知\n");
  EXPECT_EQ(Run({"SETECCMETHOD", "TLC"}), -2);
  EXPECT_EQ(Run({"SETECCROM", (dir / "none.bin").string()}), -1);

  out.text.clear();
  EXPECT_EQ(Run({"GETBADBLOCKINFO"}), 1);
  EXPECT_EQ(out.text,
            "\n  原厂坏块标记信息\n\n  --------------------------- \n  ID = BLCKINFO\n"
            "  ECC算法类型: 0x00000001\n  版本       : 0x00000001\n  坏块总个数 : 2\n"
            "  000,   Zone=0, Block=258\n  001,   Zone=3, Block=7\n"
            "\n  --------------------------- \n");

  // A record claiming more entries than it can hold lists only those it has.
  device.badCount = 100000;
  out.text.clear();
  EXPECT_EQ(Run({"GETBADBLOCKINFO"}), 1);
  EXPECT_NE(out.text.find("  1357,   Zone=0, Block=0\n"), std::string::npos);
  EXPECT_EQ(out.text.find("  1358,"), std::string::npos);
}

}  // namespace
