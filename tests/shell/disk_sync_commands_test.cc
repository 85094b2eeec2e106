// File, disk and sync commands in-process, over the engine's in-memory
// disk: what the transcripts cannot reach (hostile device names, the end of
// the input at PART's question, a CD path refused half way, failing
// requests) and the block table dumps' exact lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../support/test_dir.h"
#include "command_shell.h"
#include "fat_device/corrupt_disk.h"
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
    // The work SYNC gives the link for its waits, run as the socket link
    // runs it: once the write has gone out, before its answer.
    int32_t written = MemDevice::Write(s, n, b);
    host::DeviceWaitWork work = host::SetDeviceWaitWork({});
    host::SetDeviceWaitWork(work);
    if (work.work) ++waitWorks, work.work(work.context);
    return Interrupting(written);
  }
  int32_t Direct_Write(uint32_t s, uint32_t n, char* b) override {
    return Interrupting(MemDevice::Direct_Write(s, n, b));
  }
  int32_t Interrupting(int32_t result) {
    if (interruptAfter >= 0 && interruptAfter-- == 0) raise(SIGINT);
    return result;
  }
  int interruptAfter = -1;
  int waitWorks = 0;

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
    dir = testDir.path();
    oldCwd = fs::current_path();
    fs::current_path(dir);
    out.text.clear();
  }
  ~DiskSyncTest() override {
    fs::current_path(oldCwd);
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
  // The entry name11 of the current directory, found with any attribute.
  uint8_t* RawEntry(const char* name11) {
    if (fat.SearchFile(0x3F, const_cast<char*>(name11)) != 0) return nullptr;
    return fat.curPart->currentEntry;
  }
  // Sets the first cluster (and, unless ~0, the size) of the entry name11
  // of the current directory, as a damaged disk has them.
  void SetRawEntry(const char* name11, unsigned first, uint32_t size = ~0u) {
    uint8_t* e = RawEntry(name11);
    ASSERT_NE(e, nullptr) << name11;
    bytes::Put16(e + 26, uint16_t(first));
    if (size != ~0u) bytes::Put32(e + 28, size);
    ASSERT_EQ(fat.UpdateEntry(), 0);
  }
  unsigned FirstCluster(const char* name11) {
    uint8_t* e = RawEntry(name11);
    return e ? bytes::Get16(e + 26) : 0;
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
  TestDir testDir{"tervan-disksync"};
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
  // The rest is copied; what was left behind fails the command.
  EXPECT_EQ(Run({"SYNC", "/DZEL2PC", "/P" + target}), -1);
  EXPECT_NE(out.text.find("\n 有4个文件或目录没有同步\n"), std::string::npos);
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
  // The long name is left behind, so every run ends with -1.
  EXPECT_EQ(Run({"SYNC", root}), -1);
  EXPECT_NE(out.text.find("  a-very-long-name.txt不是8.3文件名, 不能同步\n"), std::string::npos);
  _FILE_FIND f;
  ASSERT_EQ(fat.FindFirstFileA(const_cast<char*>("A.TXT"), &f), 1);
  EXPECT_EQ(f.date, (2009 - 1980) << 9 | 5 << 5 | 8);
  EXPECT_EQ(f.time, 10 << 11 | 20 << 5 | 15);
  EXPECT_EQ(fat.FileSize(const_cast<char*>("A.TXT")), 5);

  // Changed later the same day, same size: the time of day tells.
  std::ofstream(dir / "pc/Disk0/C/a.txt") << "ALPHA";
  host::SetFileTime((dir / "pc/Disk0/C/a.txt").c_str(), host::FromLocal({2009, 5, 0, 8, 14, 20, 30, 0}));
  EXPECT_EQ(Run({"SYNC", root}), -1);
  ASSERT_EQ(fat.FindFirstFileA(const_cast<char*>("A.TXT"), &f), 1);
  EXPECT_EQ(f.time, 14 << 11 | 20 << 5 | 15);
  char back[6] = {};
  EXPECT_EQ(fat.ReadFile(const_cast<char*>("A.TXT"), back, 5, nullptr), 5);
  EXPECT_STREQ(back, "ALPHA");

  // A size that differs is rewritten; with -T -S only missing files are.
  Write("A.TXT", "changed size");
  out.text.clear();
  EXPECT_EQ(Run({"SYNC", "-T", "-S", root}), -1);
  EXPECT_EQ(out.text.find("文件a.txt不一样"), std::string::npos);
  EXPECT_EQ(Run({"SYNC", root}), -1);
  EXPECT_NE(out.text.find("  文件a.txt不一样，开始更新"), std::string::npos);
  EXPECT_EQ(fat.FileSize(const_cast<char*>("A.TXT")), 5);
  EXPECT_TRUE(CheckVolume(dev, fat.curPart->startSector).empty());
  EXPECT_EQ(fs::current_path(), dir);
}

// SYNC reads the next PC files while the device writes: files of every
// size, more than its ring holds at once (so that it goes round), some too
// big to be read ahead and empty ones, all arrive whole, in a subfolder
// and after it; so do files streamed in runs, whose next run is read while
// the device writes the last, with verify on too (the read-back compares
// with the run written, so the next one goes to another buffer). Back on
// the PC, every file is whole too: the device's runs are read ahead and
// streamed to the PC files from where they were read.
TEST_F(DiskSyncTest, PcFilesReadAheadWhileTheDeviceWritesArriveWhole) {
  const size_t sizes[] = {700000, 250000, 2600000, 3000, 0, 17, 40000, 1048576, 1048577, 120000};
  std::mt19937 rng(7);
  std::map<std::string, std::string> files[2];  // MANY's, then the root's: name -> data
  for (int i = 0; i < 90; ++i) {
    bool many = i < 70;
    size_t size = i < 10 ? sizes[i] : size_t(1000 + 97 * i);
    std::string data(size, '\0');
    for (char& c : data) c = char(rng());
    std::string name = "F" + std::to_string(i) + ".BIN";
    fs::path folder = dir / "pc/Disk0/C" / (many ? "MANY" : "");
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary) << data;
    files[many ? 0 : 1][name] = data;
  }
  ASSERT_EQ(Run({"SYNC", "/P" + (dir / "pc").string()}), 1) << out.text;
  EXPECT_GT(dev.waitWorks, 0);
  for (int k = 0; k < 2; ++k) {
    ASSERT_EQ(Run({"CD", k == 0 ? "\\MANY" : "\\"}), 1);
    for (const auto& [file, data] : files[k]) {
      std::string name = file, back(data.size() + 1, '\0');
      EXPECT_EQ(fat.ReadFile(name.data(), back.data(), int(data.size()), nullptr), int(data.size()))
          << name;
      back.resize(data.size());
      EXPECT_TRUE(back == data) << name << " differs";
    }
  }
  EXPECT_TRUE(CheckVolume(dev, fat.curPart->startSector).empty());
  ASSERT_EQ(Run({"SYNC", "/DZEL2PC", "/P" + (dir / "back").string()}), 1) << out.text;
  for (int k = 0; k < 2; ++k)
    for (const auto& [file, data] : files[k])
      EXPECT_TRUE(Slurp(dir / "back/Disk0/C" / (k == 0 ? "MANY" : "") / file) == data)
          << file << " differs on the PC";

  std::string big(2300000, '\0');
  for (char& c : big) c = char(rng());
  fs::create_directories(dir / "pc/Disk0/E");
  std::ofstream(dir / "pc/Disk0/E/BIG.BIN", std::ios::binary) << big;
  fat.verify = 1;
  ASSERT_EQ(Run({"SYNC", "/P" + (dir / "pc").string()}), 1) << out.text;
  ASSERT_EQ(Run({"E:"}), 1);
  std::string back(big.size() + 1, '\0');
  char name[] = "BIG.BIN";
  EXPECT_EQ(fat.ReadFile(name, back.data(), int(big.size()), nullptr), int(big.size()));
  back.resize(big.size());
  EXPECT_TRUE(back == big) << "BIG.BIN differs";
}

TEST_F(DiskSyncTest, DeviceToPcSkipsLoopsAndDamagedFilesAndGoesOnWithTheRest) {
  Write("GOOD.TXT", "good");
  Write("LOOP.BIN", Pattern(3 * 16384, 1));
  Write("HUGE.BIN", Pattern(2 * 16384, 2));
  Write("SHORT.BIN", Pattern(2 * 16384, 3));
  Write("DOTS.TXT", "d");
  RenameRawEntry("DOTS    TXT", "..      TXT");  // lists as "...TXT"
  for (const char* md : {"SUB", "SUB\\DEEP", "SUB\\TWIN", "SUB\\SELF", "SUB\\UP"}) {
    std::string path = md;
    size_t cut = path.rfind('\\');
    ASSERT_EQ(Run({"CD", cut == std::string::npos ? "\\" : "\\" + path.substr(0, cut)}), 1);
    ASSERT_EQ(Run({"MD", path.substr(cut + 1)}), 1);
  }
  ASSERT_EQ(Run({"CD", "\\SUB"}), 1);
  Write("IN.TXT", "in");
  const unsigned sub = fat.curPart->currentDir;
  ASSERT_EQ(Run({"CD", "DEEP"}), 1);
  Write("D.TXT", "deep");
  SetRawEntry("..         ", fat.curPart->currentDir);  // DEEP's ".." leads to itself
  ASSERT_EQ(Run({"CD", "\\SUB"}), 1);
  SetRawEntry("TWIN       ", FirstCluster("DEEP       "));  // cross-linked with DEEP
  SetRawEntry("SELF       ", sub);
  SetRawEntry("UP         ", 0);  // the root
  ASSERT_EQ(Run({"CD", "\\"}), 1);
  unsigned loop = FirstCluster("LOOP    BIN");
  fat.SetFatEntry(loop + 1, loop);  // the second cluster back to the first
  SetRawEntry("HUGE    BIN", FirstCluster("HUGE    BIN"), 0x7FFFFFFF);
  fat.SetFatEntry(FirstCluster("SHORT   BIN"), 0xFFF);  // ends after one cluster
  ASSERT_EQ(fat.SaveFatTable(), 0);
  fat.file_system_switch_to(0, 2);
  Write("E.TXT", "on e");
  fat.file_system_switch_to(0, 0);
  ASSERT_EQ(fat.Init(), 1);  // what a fresh start reads of the damaged disk
  fat.file_system_switch_to(0, 0);

  std::string target = (dir / "back").string();
  dev.log.clear();
  EXPECT_EQ(Run({"SYNC", "/DZEL2PC", "/P" + target}), -1);
  EXPECT_LT(dev.log.size(), 2000u) << "each directory is walked once";
  fs::path c = dir / "back/Disk0/C";
  EXPECT_EQ(Slurp(c / "GOOD.TXT"), "good");
  EXPECT_EQ(Slurp(c / "SUB/IN.TXT"), "in") << "SUB is listed on after DEEP's bad \"..\"";
  EXPECT_EQ(Slurp(c / "SUB/DEEP/D.TXT"), "deep");
  EXPECT_EQ(Slurp(dir / "back/Disk0/E/E.TXT"), "on e") << "the next partition is copied too";
  for (const char* gone : {"LOOP.BIN", "HUGE.BIN", "SHORT.BIN", "...TXT", "SUB/TWIN", "SUB/SELF", "SUB/UP"})
    EXPECT_FALSE(fs::exists(c / gone)) << gone;
  for (const char* line :
       {"\n  文件LOOP.BIN读取失败\n", "\n  文件HUGE.BIN读取失败\n", "\n  文件SHORT.BIN读取失败\n",
        "  目录项...TXT不能按名字访问, 不能同步\n", "  目录TWIN与已同步的目录重叠, 不能同步\n",
        "  目录SELF指向自身或上级目录, 不能同步\n", "  目录UP指向自身或上级目录, 不能同步\n",
        "------------------同步磁盘0, 分区 C失败---------------\n",
        "------------------同步磁盘0, 分区 E成功---------------\n", "\n 有7个文件或目录没有同步\n"})
    EXPECT_NE(out.text.find(line), std::string::npos) << line;
  EXPECT_EQ(fs::current_path(), dir);

  // The device stops answering in the middle of a listing, which then just
  // ends: the walk stops there and the command fails.
  for (int i = 0; i < 12; ++i) Write(("F" + std::to_string(i) + ".TXT").c_str(), "f");
  ASSERT_EQ(fat.Init(), 1);
  fat.file_system_switch_to(0, 0);
  ASSERT_EQ(fat.IsPartFormattted(0, 0), 1);  // the first use reads the disk
  const _PART_INFO& p = *fat.curPart;
  dev.failSector = p.startSector + p.reservedSectors + p.fatCount * p.sectorsPerFat + 1;
  out.text.clear();
  EXPECT_EQ(Run({"SYNC", "/DZEL2PC", "/P" + (dir / "back2").string()}), -1);
  EXPECT_NE(out.text.find("/back2/Disk0/C没有读完, 设备读取失败\n"), std::string::npos);
  EXPECT_EQ(out.text.find("分区 E"), std::string::npos) << "nothing after the failure";
  dev.failSector = -1;
}

TEST_F(DiskSyncTest, GetSkipsDamagedFilesAndLoopsAndNeverLeavesAShortFile) {
  Write("GOOD.TXT", "good");
  Write("SHORT.BIN", Pattern(2 * 16384, 3));
  ASSERT_EQ(Run({"MD", "SUB"}), 1);
  ASSERT_EQ(Run({"CD", "SUB"}), 1);
  const unsigned sub = fat.curPart->currentDir;
  Write("IN.TXT", "in");
  ASSERT_EQ(Run({"MD", "SELF"}), 1);
  SetRawEntry("SELF       ", sub);  // leads back to SUB
  ASSERT_EQ(Run({"CD", "\\"}), 1);
  fat.SetFatEntry(FirstCluster("SHORT   BIN"), 0xFFF);  // ends after one cluster
  ASSERT_EQ(fat.SaveFatTable(), 0);
  fs::create_directory(dir / "got");
  std::ofstream(dir / "got" / "SHORT.BIN") << "old";

  EXPECT_EQ(Run({"GET", "*", "got", "/S", "/Y"}), -1);
  EXPECT_EQ(Slurp(dir / "got/GOOD.TXT"), "good");
  EXPECT_EQ(Slurp(dir / "got/SHORT.BIN"), "old") << "a damaged file neither replaces nor shortens";
  EXPECT_EQ(Slurp(dir / "got/SUB/IN.TXT"), "in");
  EXPECT_FALSE(fs::exists(dir / "got/SUB/SELF"));
  for (const auto& e : fs::recursive_directory_iterator(dir / "got"))
    EXPECT_EQ(e.path().string().find("tervan-part"), std::string::npos) << e.path();
  for (const char* line : {"  文件SHORT.BIN已损坏, 没有复制\n", "  目录SELF指向已复制的目录, 没有复制\n",
                           "已复制 2 个文件, 6 字节\n", "有2个文件没有复制\n"})
    EXPECT_NE(out.text.find(line), std::string::npos) << line;
  EXPECT_EQ(Cwd(), "\\");

  // Without /Y a PC file stays; a pattern that matches nothing is -5.
  EXPECT_EQ(Run({"GET", "GOOD.TXT", "got"}), -4);
  EXPECT_EQ(Run({"GET", "NONE.*", "got"}), -5);
  EXPECT_EQ(Run({"GET", "*", "nofolder"}), -2);
  EXPECT_EQ(Run({"GET", "*", "got", "/X"}), -2);
}

TEST_F(DiskSyncTest, PcToDeviceSkipsNamesWithoutADeviceNameOfTheirOwnAndFolderLinks) {
  fs::path pc = dir / "pc/Disk0/C";
  fs::create_directories(pc / "sub");
  fs::create_directories(pc / ".git");
  fs::create_directories(pc / "loopy");
  std::ofstream(pc / "ok.txt") << "ok";
  std::ofstream(pc / "my file.txt") << "blank";
  std::ofstream(pc / "a.txt") << "lower";
  std::ofstream(pc / "A.TXT") << "upper";
  std::ofstream(pc / ".git/x.txt") << "x";
  std::ofstream(pc / "sub/in.txt") << "in";
  std::ofstream(pc / "loopy/f.txt") << "f";
  fs::create_directory_symlink(".", pc / "here");
  fs::create_directory_symlink("..", pc / "sub/back");
  fs::create_symlink("gone.txt", pc / "dangle.txt");
  fs::create_symlink("self.txt", pc / "sub/self.txt");
  // A device directory LOOPY whose entry leads to the root.
  ASSERT_EQ(Run({"MD", "LOOPY"}), 1);
  SetRawEntry("LOOPY      ", 0);

  EXPECT_EQ(Run({"SYNC", "/P" + (dir / "pc").string()}), -1);
  EXPECT_EQ(fat.FileSize(const_cast<char*>("OK.TXT")), 2);
  for (const char* line : {"  my file.txt不是8.3文件名, 不能同步\n", "  a.txt不是8.3文件名, 不能同步\n",
                           "  A.TXT不是8.3文件名, 不能同步\n", "  here是指向文件夹的链接, 不能同步\n",
                           "  back是指向文件夹的链接, 不能同步\n", "  dangle.txt是无效的链接, 不能同步\n",
                           "  self.txt是无效的链接, 不能同步\n",
                           "  目录loopy指向自身或上级目录, 不能同步\n", "\n 有8个文件或目录没有同步\n"})
    EXPECT_NE(out.text.find(line), std::string::npos) << line;
  EXPECT_EQ(out.text.find(".git"), std::string::npos) << "dot folders stay silent";
  EXPECT_NE(out.text.find("\n ... Cache同步完毕 ...\n"), std::string::npos);
  // Nothing of the skipped names, nothing of LOOPY's files in the root.
  for (const char* gone : {"MY.TXT", "A.TXT", "F.TXT", "X.TXT", "DANGLE.TXT"})
    EXPECT_EQ(fat.FileSize(const_cast<char*>(gone)), -1) << gone;
  std::string sub = "SUB        ", here = "HERE       ";
  ASSERT_EQ(fat.ChangeDirectory(sub.data()), 0);
  EXPECT_EQ(fat.FileSize(const_cast<char*>("IN.TXT")), 2);
  EXPECT_NE(fat.ChangeDirectory(const_cast<char*>("BACK       ")), 0);
  fat.ChangeRootDirectory();
  EXPECT_NE(fat.ChangeDirectory(here.data()), 0);
}

// Mutants of one good disk, made with a fixed seed: loops in directories and
// chains, sizes, attributes, hostile names, overlapping partitions, random
// bytes. Every command run on each ends within a bound of device requests,
// writes nothing on the PC outside its target folder, and changes no sector
// outside the partition it works on (nor one that another partition of the
// damaged table claims too).
TEST_F(DiskSyncTest, CorruptDiskMutantsEndAndStayInsideTheirPartitionAndTarget) {
  constexpr size_t kBudget = 20000;  // device requests a command may make
  CorruptDisk corrupt;
  ASSERT_TRUE(corrupt.Build(fat, dev));
  const uint32_t totalSectors = corrupt.totalSectors;
  auto good = dev.disks[0].sectors;
  std::ofstream("x.bin") << Pattern(40000, 9);
  fs::create_directories(dir / "pc/Disk0/C/SUB/DEEP");
  fs::create_directories(dir / "pc/Disk0/E");
  std::ofstream(dir / "pc/Disk0/C/NEW.TXT") << "new";
  std::ofstream(dir / "pc/Disk0/C/SUB/DEEP/D.TXT") << "changed";
  std::ofstream(dir / "pc/Disk0/E/E2.TXT") << "e2";

  using Rng = CorruptDisk::Rng;
  const auto& families = corrupt.families;
  // The sectors a command on partition k may change: its own slot of the
  // (damaged) table, less sector 0 and whatever another slot claims. SYNC
  // (k = -1) may change any slot but the reserved one.
  auto writable = [&](int k) {
    MemDevice::Sector mbr = dev.Get(0, 0);
    auto range = [mbr](int i) {
      const uint8_t* t = mbr.data() + 0x1BE + 16 * i;
      uint64_t s = bytes::Get32(t + 8), n = bytes::Get32(t + 12);
      return std::pair<uint64_t, uint64_t>{s, s + n};
    };
    return [=](uint32_t s) {
      if (s == 0 || s >= totalSectors) return false;
      int owners = 0, owner = -1;
      for (int i = 0; i < 4; ++i) {
        auto [b, e] = range(i);
        if (s >= b && s < e) ++owners, owner = i;
      }
      return owners == 1 && (owner == k || (k < 0 && owner != 1));
    };
  };
  auto pcFiles = [&] {
    std::set<std::string> files;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
      std::string rel = it->path().lexically_relative(dir).string();
      if (rel.rfind("out", 0) == 0) {
        it.disable_recursion_pending();  // the targets of SYNC /DZEL2PC
        continue;
      }
      files.insert(rel + ":" + (it->is_regular_file() ? std::to_string(it->file_size()) : "d"));
    }
    return files;
  };

  std::seed_seq seed{20261208};
  Rng seeds(seed);
  int mutant = 0;
  for (const CorruptDisk::Family& family : families) {
    for (int round = 0; round < 6; ++round, ++mutant) {
      dev.disks[0].sectors = good;
      Rng r(seeds());
      family.mutate(r);
      fat.Init();
      fat.file_system_switch_to(0, 0);
      std::string target = (dir / ("out" + std::to_string(mutant))).string();
      const std::vector<std::vector<std::string>> commands = {
          {"SYNC", "/DZEL2PC", "/P" + target},
          {"DIR"}, {"CD", "SUB\\DEEP"}, {"DIR"}, {"CD", "\\"},
          {"COPY", "x.bin", "NEW.BIN"}, {"DEL", "A.TXT"}, {"REN", "B.TXT", "C.TXT"},
          {"MD", "NEWDIR"}, {"RD", "SUB"}, {"SYNC", "/P" + (dir / "pc").string()},
          {"E:"}, {"COPY", "x.bin", "NEW.BIN"}, {"DEL", "E.TXT"}, {"FORMAT", "E"}, {"C:"}};
      for (const auto& words : commands) {
        std::string what = std::string(family.name) + " #" + std::to_string(round) + ": " + words[0] +
                           (words.size() > 1 ? " " + words[1] : "");
        auto before = dev.disks[0].sectors;
        auto pcBefore = pcFiles();
        int k = words[0] == "SYNC" ? -1 : fat.curPartIndex;
        dev.log.clear();
        dev.failReadAfter = dev.failWriteAfter = int(kBudget);
        Run(words);
        dev.failReadAfter = dev.failWriteAfter = -1;
        EXPECT_LT(dev.log.size(), kBudget) << what;
        auto mayChange = writable(k);
        for (const auto& [s, data] : dev.disks[0].sectors) {
          auto old = before.find(s);
          bool changed = old == before.end() ? data != MemDevice::Sector{} : old->second != data;
          if (changed && !mayChange(s)) {
            ADD_FAILURE() << what << ": sector " << s << " outside "
                          << (k < 0 ? std::string("the FAT partitions") : "partition " + std::string(1, char('C' + k)));
            break;
          }
        }
        EXPECT_EQ(pcFiles(), pcBefore) << what;
        if (words.size() > 1 && words[1] == "/DZEL2PC" && fs::exists(target)) {
          // What a damaged disk can give: its few files, once each.
          size_t count = 0;
          uintmax_t bytes = 0;
          for (auto& e : fs::recursive_directory_iterator(target)) {
            ++count;
            if (e.is_regular_file()) bytes += e.file_size();
          }
          EXPECT_LT(count, 40u) << what;
          EXPECT_LT(bytes, 1u << 20) << what;
        }
        ASSERT_EQ(fs::current_path(), dir) << what;
      }
      out.text.clear();
    }
  }
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

// CHKDSK's words, and its question before a repair: N, or the end of the
// input, checks without writing; Y and /Y repair (a lost chain becomes
// \FOUND.000\FILE0000.CHK with the chain's bytes).
TEST_F(DiskSyncTest, ChkdskAsksBeforeARepairAndFindsLostChainsAFile) {
  auto writes = [&] { return dev.CountOf('W') + dev.CountOf('w'); };
  Write("A.TXT", Pattern(20000, 3));
  unsigned lost;
  ASSERT_EQ(fat.SearchBlankCluster(&lost), 0);
  const std::string data = Pattern(16384, 4);
  for (uint32_t k = 0; k < 32; ++k)  // a lost cluster: data, an end mark, no entry
    memcpy(dev.At(0, fat.curPart->firstDataSector + (lost - 2) * 32 + k).data(), data.data() + k * 512, 512);
  fat.MarkEndCluster(lost);
  ASSERT_EQ(fat.SaveFatTable(), 0);
  EXPECT_EQ(Run({"CHKDSK", "D:"}), -2);
  EXPECT_EQ(Run({"CHKDSK", "/X"}), -2);
  EXPECT_EQ(Run({"CHKDSK", "C"}), -2);
  EXPECT_EQ(Run({"CHKDSK", "F:"}), -1) << "no F partition";
  EXPECT_EQ(Run({"CHKDSK", "e:", "/f", "/y"}), 1) << "E is sound";
  EXPECT_EQ(fat.curPartIndex, 0) << "C stays current";
  for (std::string answer : {"n\n", ""}) {
    host::StringInput in(answer);
    shell.SetStreams(&in, &out);
    dev.log.clear();
    out.text.clear();
    EXPECT_EQ(Run({"CHKDSK", "/F"}), -1) << answer;
    EXPECT_NE(out.text.find("按 'Y' 检查并修复"), std::string::npos);
    EXPECT_NE(out.text.find("1 lost clusters in 1 chains"), std::string::npos) << out.text;
    EXPECT_EQ(writes(), 0u);
  }
  host::StringInput yes("y\n");
  shell.SetStreams(&yes, &out);
  EXPECT_EQ(Run({"CHKDSK", "C:", "/F"}), 1) << out.text;
  EXPECT_GT(writes(), 0u);
  EXPECT_EQ(Run({"CD", "FOUND.000"}), 1);
  std::string found(16384, '\0');
  EXPECT_EQ(fat.ReadFile(const_cast<char*>("FILE0000.CHK"), found.data(), 16384, nullptr), 16384);
  EXPECT_EQ(found, data);
  shell.SetStreams(nullptr, &out);
  out.text.clear();
  EXPECT_EQ(Run({"CHKDSK"}), 1);
  EXPECT_EQ(Cwd(), "\\\\FOUND") << "the folder CHKDSK ran in stays current";
  EXPECT_NE(out.text.find("bytes in 2 files"), std::string::npos) << out.text;
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
  // The erased disk has no file system to list: DIR fails (saying so on
  // standard error) instead of showing an empty partition without space.
  out.text.clear();
  EXPECT_EQ(Run({"DIR"}), -1);
  EXPECT_EQ(out.text, "");
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
  // A.BIN is larger than a group holds in memory: it goes to the device as
  // it is read, in two transfers, the second of which completes.
  std::ofstream("sync/Disk0/C/A.BIN") << std::string(3 << 19, 'a');
  for (const char* n : {"B.BIN", "C.BIN"}) std::ofstream("sync/Disk0/C/" + std::string(n)) << n;
  dev.interruptAfter = 1;  // during A.BIN's last transfer
  EXPECT_EQ(Run({"SYNC", "/P" + (dir / "sync").string()}), -1);
  host::ClearInterrupt();
  fat.file_system_switch_to(0, 0);
  EXPECT_EQ(fat.FindFirstFileA(const_cast<char*>("A.BIN"), &find), 1);
  EXPECT_NE(fat.FindFirstFileA(const_cast<char*>("B.BIN"), &find), 1);
  signal(SIGINT, SIG_DFL);
}

// While the device is gone after a failed write, DIR prints neither its
// cached listing nor the free space; once it is back, DIR lists again.
TEST_F(DiskSyncTest, DirAfterTheLinkDroppedFailsUntilTheDeviceIsBack) {
  Write("OLD.TXT", "old");
  ASSERT_EQ(Run({"DIR"}), 1);
  std::ofstream("x.bin") << std::string(100000, 'x');
  dev.dropAfterWrites = 1;
  EXPECT_EQ(Run({"COPY", "x.bin", "X.BIN"}), -1);
  out.text.clear();
  EXPECT_EQ(Run({"DIR"}), -1);
  EXPECT_EQ(out.text, "");
  dev.gone = false;
  dev.dropAfterWrites = -1;
  EXPECT_EQ(Run({"DIR"}), 1);
  EXPECT_NE(out.text.find("OLD.TXT"), std::string::npos);
  EXPECT_EQ(out.text.find("X.BIN"), std::string::npos);
  EXPECT_NE(out.text.find("可用字节"), std::string::npos);
  EXPECT_TRUE(CheckVolume(dev, fat.curPart->startSector).empty());
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

// FromLocal keeps the start of the last hour it converted; every time it
// gives must still be mktime's, in zones whose offset changes on the hour
// and on the half hour, and for the out-of-range fields a damaged FAT
// entry can hold.
TEST(LocalTimes, FromLocalAgreesWithMktimeAcrossOffsetChanges) {
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  // twice: a wall time that comes twice (clocks put back), where either
  // answer is right (mktime itself picks by what it was asked last).
  struct Case {
    const char* zone;
    int year, month, day, hour, minute, second;
    bool twice;
  };
  const Case cases[] = {
      {"UTC", 2026, 12, 9, 5, 30, 58, false},
      // Clocks forward at 02:00 and back at 03:00.
      {"Europe/Berlin", 2026, 3, 29, 1, 59, 58, false},
      {"Europe/Berlin", 2026, 3, 29, 3, 0, 2, false},
      {"Europe/Berlin", 2026, 3, 29, 4, 15, 0, false},
      {"Europe/Berlin", 2026, 10, 25, 1, 30, 0, false},
      {"Europe/Berlin", 2026, 10, 25, 2, 30, 0, true},
      {"Europe/Berlin", 2026, 10, 25, 3, 30, 0, false},
      // Back half an hour at 02:00 (01:30-02:00 comes twice).
      {"Australia/Lord_Howe", 2026, 4, 5, 0, 45, 0, false},
      {"Australia/Lord_Howe", 2026, 4, 5, 1, 15, 0, false},
      {"Australia/Lord_Howe", 2026, 4, 5, 1, 45, 0, true},
      {"Australia/Lord_Howe", 2026, 4, 5, 2, 15, 0, false},
      // Forward half an hour at 02:00.
      {"Australia/Lord_Howe", 2026, 10, 4, 1, 45, 0, false},
      {"Australia/Lord_Howe", 2026, 10, 4, 2, 45, 0, false},
      {"Australia/Lord_Howe", 2026, 10, 4, 3, 15, 0, false},
      // Fields a FAT entry can hold but a clock cannot show.
      {"Europe/Berlin", 2026, 3, 29, 0, 63, 62, false},
      {"Europe/Berlin", 2026, 13, 0, 31, 0, 0, false},
      {"Europe/Berlin", 1980, 0, 0, 0, 0, 0, false},
  };
  auto make = [](const Case& c, int isdst) {
    std::tm t{};
    t.tm_year = c.year - 1900, t.tm_mon = c.month - 1, t.tm_mday = c.day;
    t.tm_hour = c.hour, t.tm_min = c.minute, t.tm_sec = c.second, t.tm_isdst = isdst;
    return int64_t(std::mktime(&t));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.month) + "/" + std::to_string(c.day) +
                 " " + std::to_string(c.hour) + ":" + std::to_string(c.minute));
    setenv("TZ", c.zone, 1);
    tzset();
    // Twice: the first may fill the kept hour, the second uses it.
    for (int round = 0; round < 2; ++round) {
      const int64_t got = host::FromLocal({c.year, c.month, 0, c.day, c.hour, c.minute, c.second, 0});
      if (!c.twice) {
        EXPECT_EQ(got, make(c, -1));
        continue;
      }
      EXPECT_TRUE(got == make(c, 0) || got == make(c, 1)) << got;
      host::LocalTime back = host::ToLocal(got);
      EXPECT_EQ(back.hour * 3600 + back.minute * 60 + back.second,
                c.hour * 3600 + c.minute * 60 + c.second);
    }
  }
  if (saved)
    setenv("TZ", before.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
