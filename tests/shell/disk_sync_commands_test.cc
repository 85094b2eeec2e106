// File, disk and sync commands in-process, over the engine's in-memory
// disk: what the transcripts cannot reach (hostile device names, the end of
// the input at PART's question, a CD path refused half way, failing
// requests) and the block table dumps' exact lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command_shell.h"
#include "fat_device/test_disk.h"
#include "tervlink/bytes.h"

namespace fs = std::filesystem;

namespace {

// The in-memory disk, with NAND answers for the disk commands.
class NandMemDevice : public MemDevice {
 public:
  int32_t Switch(int32_t disk) override {
    int32_t r = MemDevice::Switch(disk);
    if (r > 0) currentDisk = disk;
    return r;
  }
  int32_t NandInfo(_ZEL_NANDINFO* info) override {
    if (failNandInfo) return -1;
    *info = _ZEL_NANDINFO{8, 512, 32, 1024, 0x98, 0x79, 0xFF, 0xFF, 0xFF};
    return 0;
  }
  int32_t GetBlockTable(uint32_t first, uint32_t count, int* table, int32_t size) override {
    requests.push_back({first, count});
    if (failTable) return -1;
    for (const auto& [index, value] : entries)
      if (index < count && index * 4 < uint32_t(size)) table[index] = int(value);
    return 0;
  }
  int32_t ReadLog2PhyTbl(char* buffer) override {
    auto* b = reinterpret_cast<uint8_t*>(buffer);
    for (const auto& [index, value] : log2phy) bytes::Put16(b + 2 * index, value);
    return log2phyAnswer;
  }
  int32_t LowFormat() override { return lowFormatAnswer; }
  // Ctrl-C as the user gives it: SIGINT raised after this many more writes
  // (-1: never).
  int32_t Write(uint32_t s, uint32_t n, char* b) override {
    return Interrupting(MemDevice::Write(s, n, b));
  }
  int32_t Direct_Write(uint32_t s, uint32_t n, char* b) override {
    return Interrupting(MemDevice::Direct_Write(s, n, b));
  }
  int32_t Interrupting(int32_t result) {
    if (interruptAfter >= 0 && interruptAfter-- == 0) raise(SIGINT);
    return result;
  }
  int interruptAfter = -1;

  bool failNandInfo = false, failTable = false;
  std::vector<std::pair<uint32_t, uint32_t>> entries, requests;
  std::vector<std::pair<int, uint16_t>> log2phy;
  int log2phyAnswer = 1;
  int lowFormatAnswer = 0;
};

class DiskSyncTest : public ::testing::Test {
 protected:
  DiskSyncTest() {
    previous = host::SetOut(&out);
    dev.SetGeometry(0, 2000, 1, 32);
    fat.diskCount = 1;
    fat.Init();
    int sizes[4] = {8192, 0, -1, 0};
    memcpy(fat.disks[0].partSizes, sizes, sizeof sizes);
    fat.DiskPartition(0);
    fat.DiskLogicalFormat(0, 4);
    fat.file_system_switch_to(0, 0);
    shell.SetStreams(nullptr, &out);
    dir = fs::temp_directory_path() /
          ("tervan-disksync-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    oldCwd = fs::current_path();
    fs::current_path(dir);
    out.text.clear();
  }
  ~DiskSyncTest() override {
    fs::current_path(oldCwd);
    fs::remove_all(dir);
    host::SetOut(previous);
  }

  int Run(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    int id = shell.LookupCommand(int(argv.size()), argv.data());
    return shell.Dispatch(id, int(argv.size()), argv.data());
  }
  std::string Cwd() {
    char p[128];
    return fat.GetCurrentDirectoryA(p, sizeof p);
  }
  void Write(const char* name, const std::string& data) {
    ASSERT_EQ(fat.WriteFile(const_cast<char*>(name), const_cast<char*>(data.data()), int(data.size()),
                            nullptr),
              int(data.size()));
  }
  // Overwrites the 11 name bytes of the root directory entry that holds
  // `from`, as a damaged or hostile image would have them.
  void RenameRawEntry(const char* from11, const char* to11) {
    _PART_INFO& p = *fat.curPart;
    uint32_t root = p.startSector + p.reservedSectors + p.fatCount * p.sectorsPerFat;
    for (uint32_t s = root; s < root + p.rootEntries / 16; ++s) {
      MemDevice::Sector& sec = dev.At(0, s);
      for (int e = 0; e < 16; ++e)
        if (memcmp(sec.data() + 32 * e, from11, 11) == 0) {
          memcpy(sec.data() + 32 * e, to11, 11);
          fat.buf_pool();  // the engine reads the directory afresh
          return;
        }
    }
    FAIL() << "no entry " << from11;
  }
  static std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  NandMemDevice dev;
  FAT_DEVICE fat{&dev};
  CommandShell shell{&fat, ""};
  host::StringOutput out;
  host::Output* previous = nullptr;
  fs::path dir, oldCwd;
};

TEST_F(DiskSyncTest, DeviceToPcSkipsNamesThatAreNoPlainPcNamesAndStaysInsideTheTarget) {
  Write("GOOD.TXT", "good");
  Write("SLASH.TXT", "s");
  Write("DOTS.TXT", "d");
  Write("CTRL.TXT", "c");
  RenameRawEntry("SLASH   TXT", "..\\..   TXT");
  RenameRawEntry("DOTS    TXT", "..      ...");
  RenameRawEntry("CTRL    TXT", "A\x01      TXT");
  ASSERT_EQ(Run({"MD", "SUB"}), 1);
  ASSERT_EQ(Run({"CD", "SUB"}), 1);
  Write("IN.TXT", "in");
  ASSERT_EQ(Run({"CD", "\\"}), 1);
  // "X/Y" as a directory name.
  ASSERT_EQ(Run({"MD", "XY"}), 1);
  RenameRawEntry("XY         ", "X/Y        ");

  std::string target = (dir / "out" / "inner").string();
  fs::create_directories(dir / "out");
  out.text.clear();
  EXPECT_EQ(Run({"SYNC", "/DZEL2PC", "/P" + target}), 1);
  EXPECT_EQ(Slurp(dir / "out/inner/Disk0/C/GOOD.TXT"), "good");
  EXPECT_EQ(Slurp(dir / "out/inner/Disk0/C/SUB/IN.TXT"), "in");
  // Nothing but the target tree was written: out/ holds only inner/, and C
  // only the good file and the good directory.
  std::vector<std::string> inOut, inC;
  for (auto& e : fs::directory_iterator(dir / "out")) inOut.push_back(e.path().filename().string());
  for (auto& e : fs::directory_iterator(dir / "out/inner/Disk0/C")) inC.push_back(e.path().filename().string());
  std::sort(inC.begin(), inC.end());
  EXPECT_EQ(inOut, std::vector<std::string>{"inner"});
  EXPECT_EQ(inC, (std::vector<std::string>{"GOOD.TXT", "SUB"}));
  EXPECT_NE(out.text.find("  ..\\...TXT不是有效的PC文件名, 不能同步\n"), std::string::npos);
  EXPECT_NE(out.text.find("  ......不是有效的PC文件名, 不能同步\n"), std::string::npos);
  EXPECT_NE(out.text.find("  A\\x01.TXT不是有效的PC文件名, 不能同步\n"), std::string::npos);
  EXPECT_NE(out.text.find("  X/Y不是有效的PC文件名, 不能同步\n"), std::string::npos);
  EXPECT_EQ(fs::current_path(), dir) << "the working directory is as before";
}

TEST_F(DiskSyncTest, PcToDeviceCopiesWhatDiffersAndGivesThePcTime) {
  fs::create_directories(dir / "pc/Disk0/C/docs");
  fs::create_directories(dir / "pc/Disk0/E");
  std::ofstream(dir / "pc/Disk0/C/a.txt") << "alpha";
  std::ofstream(dir / "pc/Disk0/C/docs/b.txt") << "bee";
  std::ofstream(dir / "pc/Disk0/C/a-very-long-name.txt") << "long";
  host::SetFileTime((dir / "pc/Disk0/C/a.txt").c_str(), host::FromLocal({2009, 5, 0, 8, 10, 20, 30, 0}));
  std::string root = "/P" + (dir / "pc").string();

  ASSERT_EQ(Run({"CD", "\\"}), 1);
  EXPECT_EQ(Run({"SYNC", root}), 1);
  EXPECT_NE(out.text.find("  a-very-long-name.txt不是8.3文件名, 不能同步\n"), std::string::npos);
  _FILE_FIND f;
  ASSERT_EQ(fat.FindFirstFileA(const_cast<char*>("A.TXT"), &f), 1);
  EXPECT_EQ(f.date, (2009 - 1980) << 9 | 5 << 5 | 8);
  EXPECT_EQ(f.time, 10 << 11 | 20 << 5 | 15);
  EXPECT_EQ(fat.FileSize(const_cast<char*>("A.TXT")), 5);

  // A size that differs is rewritten; with -T -S only missing files are.
  Write("A.TXT", "changed size");
  out.text.clear();
  EXPECT_EQ(Run({"SYNC", "-T", "-S", root}), 1);
  EXPECT_EQ(out.text.find("文件a.txt不一样"), std::string::npos);
  EXPECT_EQ(Run({"SYNC", root}), 1);
  EXPECT_NE(out.text.find("  文件a.txt不一样，开始更新"), std::string::npos);
  EXPECT_EQ(fat.FileSize(const_cast<char*>("A.TXT")), 5);
  EXPECT_TRUE(CheckVolume(dev, fat.curPart->startSector).empty());
  EXPECT_EQ(fs::current_path(), dir);
}

TEST_F(DiskSyncTest, CdPathsStepByStepAndARefusedStepLeavesTheDirectory) {
  ASSERT_EQ(Run({"MD", "ONE"}), 1);
  ASSERT_EQ(Run({"CD", "ONE"}), 1);
  ASSERT_EQ(Run({"MD", "TWO"}), 1);
  ASSERT_EQ(Run({"CD", "\\ONE\\TWO"}), 1);
  EXPECT_EQ(Cwd(), "\\\\ONE\\TWO");
  EXPECT_EQ(Run({"CD", "..\\..\\ONE\\NOPE"}), -1);
  EXPECT_EQ(Cwd(), "\\\\ONE\\TWO");
  EXPECT_EQ(Run({"CD", "..\\BAD*NAME"}), -2);
  EXPECT_EQ(Cwd(), "\\\\ONE\\TWO");
  _FILE_FIND f;
  ASSERT_EQ(fat.FindFirstFileA(const_cast<char*>(".."), &f), 1) << "still listing TWO";
  EXPECT_EQ(Run({"CD", "..\\.."}), 1);
  EXPECT_EQ(Cwd(), "\\");
  EXPECT_EQ(fat.curPart->currentDir, 0u);
  EXPECT_EQ(Run({"CD", "ABCDEFGHIJK"}), -2);
  EXPECT_EQ(Run({"CD", "a", "b"}), -2);
}

TEST_F(DiskSyncTest, PartAsksFirstAndTheEndOfInputCancels) {
  auto writes = [&] { return dev.CountOf('W') + dev.CountOf('w'); };
  host::StringInput xy("xy\n");
  shell.SetStreams(&xy, &out);
  dev.log.clear();
  EXPECT_EQ(Run({"PART", "do"}), 1);
  EXPECT_NE(out.text.find("  磁盘 disk 0 分区执行中......完毕\r\n"), std::string::npos);
  EXPECT_GT(writes(), 0u);
  EXPECT_TRUE(xy.AtEnd() || xy.ReadChar() == -1) << "the line end was read too";

  for (std::string answer : {"n\nPART\n", ""}) {
    host::StringInput in(answer);
    shell.SetStreams(&in, &out);
    dev.log.clear();
    out.text.clear();
    EXPECT_EQ(Run({"PART", "DO", "+y"}), 1);
    EXPECT_NE(out.text.find("  分区命令取消\n"), std::string::npos);
    EXPECT_EQ(writes(), 0u) << "nothing written after the answer '" << answer << "'";
    if (!answer.empty()) {
      char line[16];
      ASSERT_TRUE(in.ReadLine(line, sizeof line));
      EXPECT_STREQ(line, "PART\n") << "the next line is left for the shell";
    }
  }
  shell.SetStreams(nullptr, &out);
  EXPECT_EQ(Run({"PART", "do", "+N"}), -2);
  EXPECT_EQ(Run({"PART", "Do", "-y"}), -2);
}

TEST_F(DiskSyncTest, LowFormatOutcomesAndTheEngineForgetsAnErasedDisk) {
  dev.lowFormatAnswer = -1;
  EXPECT_EQ(Run({"LOWFORMAT"}), -1) << "a failed request is no success";
  EXPECT_EQ(out.text.find("完毕"), std::string::npos);
  EXPECT_EQ(fat.IsPartFormattted(0, 0), 1);
  dev.lowFormatAnswer = -10000;
  EXPECT_EQ(Run({"LOWFORMAT"}), -1);
  EXPECT_NE(out.text.find("ECC方法与NFC的ECC方法不匹配"), std::string::npos);
  dev.lowFormatAnswer = 0;
  out.text.clear();
  EXPECT_EQ(Run({"LOWFORMAT"}), 1);
  EXPECT_EQ(out.text, "正在低格磁盘0......完毕\r\n");
  EXPECT_EQ(fat.IsPartFormattted(0, 0), 0);
  dev.log.clear();
  std::ofstream("x.bin") << "x";
  EXPECT_EQ(Run({"COPY", "x.bin", "X.BIN"}), -1);
  EXPECT_EQ(dev.CountOf('W') + dev.CountOf('w'), 0u) << "nothing written into the erased disk";
  // The erased partition has no free space left to show.
  out.text.clear();
  EXPECT_EQ(Run({"DIR"}), 1);
  EXPECT_NE(out.text.find("个目录 0            "), std::string::npos) << out.text;
}

// Ctrl-C stops a write between two transfers and rolls it back, and stops
// SYNC between files; what was written before stays whole.
TEST_F(DiskSyncTest, CtrlCStopsCopyAndSyncAtSafePoints) {
  host::InstallInterruptHandler();
  unsigned long freeBefore = 0, freeAfter = 0;
  fat.SearchFreeByte(&freeBefore);
  std::ofstream("big.bin") << std::string(3 << 20, 'x');  // three transfers
  dev.interruptAfter = 0;
  EXPECT_EQ(Run({"COPY", "big.bin", "BIG.BIN"}), -1);
  EXPECT_EQ(fat.lastError, -9);
  EXPECT_TRUE(host::InterruptRequested());
  host::ClearInterrupt();
  fat.SearchFreeByte(&freeAfter);
  EXPECT_EQ(freeAfter, freeBefore) << "the stopped copy's clusters are free again";
  _FILE_FIND find;
  EXPECT_NE(fat.FindFirstFileA(const_cast<char*>("BIG.BIN"), &find), 1);

  fs::create_directories("sync/Disk0/C");
  for (const char* n : {"A.BIN", "B.BIN", "C.BIN"}) std::ofstream("sync/Disk0/C/" + std::string(n)) << n;
  dev.interruptAfter = 0;  // during A.BIN, whose one transfer completes
  EXPECT_EQ(Run({"SYNC", "/P" + (dir / "sync").string()}), -1);
  host::ClearInterrupt();
  fat.file_system_switch_to(0, 0);
  EXPECT_EQ(fat.FindFirstFileA(const_cast<char*>("A.BIN"), &find), 1);
  EXPECT_NE(fat.FindFirstFileA(const_cast<char*>("B.BIN"), &find), 1);
  signal(SIGINT, SIG_DFL);
}

TEST_F(DiskSyncTest, SwitchRefusedEndsABatchOnly) {
  dev.failSwitch = 2;
  EXPECT_EQ(Run({"SWITCH", "2"}), -1);
  dev.failSwitch = 3;
  shell.batchMode = 1;
  EXPECT_EQ(Run({"SWITCH", "3"}), 0);
  shell.stopOnError = true;  // the batch still ends, now as a failure
  EXPECT_EQ(Run({"SWITCH", "3"}), -1);
  shell.stopOnError = false;
  EXPECT_EQ(Run({"SWITCH", "0x"}), 1);
  EXPECT_EQ(shell.nandDiskKind, 1);
  EXPECT_EQ(Run({"SWITCH", "4"}), -2);
}

TEST_F(DiskSyncTest, BlockTableDumpLines) {
  dev.entries = {{0, 0x00000103}, {7, 0x00010305}, {8, 0xFFFFFFFF}, {9, 0x02FFFF07}, {10, 0x00040000}};
  EXPECT_EQ(Run({"GETBLOCKTABLE", "tbl"}), 1);
  // C starts at track 1 and holds 8192 KB = 512 tracks; D is empty.
  ASSERT_GE(dev.requests.size(), 3u);
  EXPECT_EQ(dev.requests[0], (std::pair<uint32_t, uint32_t>{1, 512}));
  std::string c = Slurp("tbl_Disk0_c.txt");
  EXPECT_EQ(c,
            "逻辑块号   Zone   Sector  物理块号\n"
            "00000001,  0,      003,   00000001\n"
            "00000008,  0,      005,   00000259\n"
            "00000009,  非法逻辑块号\n"
            "00000010,  2,      007,   逻辑块尚未分配\n"
            "00000011,  非法逻辑块号\n");  // physical block 1024 is past BlockPerZone
  EXPECT_TRUE(fs::exists("tbl_Disk0_d.txt") && fs::exists("tbl_Disk0_e.txt") && fs::exists("tbl_Disk0_f.txt"));

  dev.failTable = true;
  out.text.clear();
  EXPECT_EQ(Run({"GETBLOCKTABLE", "t2"}), -1);
  EXPECT_NE(out.text.find("DeviceIO执行GetBlockTable异常\n"), std::string::npos);
  EXPECT_NE(out.text.find("命令GetBlockTable失败\n"), std::string::npos);
  EXPECT_FALSE(fs::exists("t2_Disk0_c.txt"));
  dev.failNandInfo = true;
  EXPECT_EQ(fat.GetBlockTable(const_cast<char*>("t3")), -1);
  EXPECT_EQ(fat.lastError, -2);
  EXPECT_EQ(Run({"GETBLOCKTABLE"}), -2);
}

TEST_F(DiskSyncTest, ShowTblPrintsNonEmptyEntriesInLinesOf64) {
  dev.log2phy = {{0, 3}, {1, 4}, {64, 0xFFFF}, {65, 0x2A}, {1024 + 2, 7}};
  EXPECT_EQ(Run({"SHOWTBL", "any", "words"}), 1);
  EXPECT_EQ(out.text,
            "\r\n zone = 0:\r\n"
            "buf[0]=   3,\t\r\n"
            "buf[1]=   4,\t\r\n"
            "buf[65]=  2a,\t\r\n"
            "\r\n zone = 1:\r\n"
            "buf[2]=   7,\t\r\n");
  dev.log2phyAnswer = 0;
  char table[4096];
  EXPECT_EQ(fat.DiskLoadLog2PhyTbl(table), -1);
}

TEST_F(DiskSyncTest, FormatWithAnUnknownLetterNamesIt) {
  EXPECT_EQ(Run({"FORMAT", "g"}), -2);
  EXPECT_EQ(out.text, "没有分区 g !\n");
  out.text.clear();
  // "FORMAT " ends in an empty word: no NUL byte reaches the console.
  EXPECT_EQ(Run({"FORMAT", ""}), -2);
  EXPECT_EQ(out.text, "没有分区   !\n");
  EXPECT_EQ(Run({"FORMAT", "E", "x"}), -2);
}

}  // namespace
