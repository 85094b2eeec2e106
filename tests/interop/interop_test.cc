// Interoperation with independent FAT tools (dosfstools, mtools, fdisk).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_disk.h"
#include "../support/test_dir.h"

namespace fs = std::filesystem;

namespace {

char* C(const char* s) { return const_cast<char*>(s); }

bool HaveTool(const char* tool) {
  std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

#define REQUIRE_TOOLS(...)                                                   \
  for (const char* tool : {__VA_ARGS__})                                     \
    if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (dosfstools, mtools, fdisk)";

std::string ReadFileBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs a shell command: its exit code (the wait status's high byte) and
// what it printed.
std::pair<int, std::string> Shell(const std::string& cmd) {
  fs::path log = ProgramTestDir().path() / "cmd.log";
  int status = std::system((cmd + " > '" + log.string() + "' 2>&1").c_str());
  std::string out = ReadFileBytes(log);
  fs::remove(log);
  return {status == -1 ? -1 : (status >> 8) & 0xFF, out};
}

// fsck.fat 4.2 reads the volume label of a boot sector even when its
// extended boot signature is 0 (which a logical format writes: the label
// field is then not a label) and asks to remove it; that is the only remark
// allowed. Every line that is not the banner, the summary or that remark is
// a real finding.
bool FsckFoundOnlyLabelRemark(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.rfind("fsck.fat ", 0) == 0 || line.find(" files, ") != std::string::npos ||
        line == "Label '' stored in boot sector is not valid." ||
        line == "  Auto-removing label from boot sector." || line == "Leaving filesystem unchanged.")
      continue;
    return false;
  }
  return true;
}

class InteropTest : public ::testing::Test {
 protected:
  TestDir testDir{"tervan-interop"};
  fs::path dir = testDir.path();
  std::string Mtools(const std::string& tool, const fs::path& image, uint32_t start,
                     const std::string& args) {
    return "MTOOLS_SKIP_CHECK=1 " + tool + " -i '" + image.string() + "@@" +
           std::to_string(uint64_t(start) * 512) + "' " + args;
  }
};

// A disk partitioned, formatted and filled by the engine.
TEST_F(InteropTest, EngineDiskIsAcceptedBySfdiskFsckAndMtools) {
  REQUIRE_TOOLS("sfdisk", "fsck.fat", "mcopy");
  TestDisk d(5000, {70000, 256, -1, 0});  // C: FAT16 of 140,000 sectors, D reserved, E: FAT12
  FAT_DEVICE& fat = *d.fat;
  ASSERT_EQ(fat.GetPartitionMode(0, 0), 16);
  ASSERT_EQ(fat.GetPartitionMode(0, 2), 12);
  const int cluster = 32 * 512;
  std::vector<std::pair<std::string, std::string>> files;  // device path, data
  auto put = [&](const std::string& dirPath, const char* name, size_t size) {
    std::string data = Pattern(size, char(files.size() + 1));
    ASSERT_EQ(d.Write(name, data), int(size)) << name;
    files.push_back({dirPath + name, data});
  };
  for (int part : {0, 2}) {
    fat.file_system_switch_to(0, part);
    files.clear();
    put("/", "EMPTY.BIN", 0);
    put("/", "ONE.BIN", 1);
    put("/", "S511.BIN", 511);
    put("/", "S512.BIN", 512);
    put("/", "CLUSTER.BIN", cluster);
    put("/", "CLUS1.BIN", cluster + 1);
    if (part == 0) put("/", "BIG.BIN", 3 * 1024 * 1024 + 123);
    std::string dir1 = Entry(fat, "DIR1"), sub = Entry(fat, "SUB");
    ASSERT_EQ(fat.MakeDirectory(dir1.data()), 0);
    ASSERT_EQ(fat.ChangeDirectory(dir1.data()), 0);
    put("/DIR1/", "INNER.TXT", 777);
    ASSERT_EQ(fat.MakeDirectory(sub.data()), 0);
    ASSERT_EQ(fat.ChangeDirectory(sub.data()), 0);
    put("/DIR1/SUB/", "DEEP.DAT", 2 * cluster + 5);
    fat.ChangeRootDirectory();
    // Replace and delete, so that freed clusters are reused.
    put("/", "ONE.BIN", 40000);
    files.erase(files.begin() + 1);
    std::string s511 = Entry(fat, "S511.BIN");
    ASSERT_EQ(fat.RemoveFile(s511.data()), 0);
    files.erase(files.begin() + 1);

    fs::path image = dir / "disk.img";
    uint32_t start = fat.curPart->startSector, count = fat.curPart->sectorCount;
    ASSERT_TRUE(d.dev.SaveImage(0, image.string(), d.dev.TotalSectors(0)));
    // fsck.fat reads a partition as a file of its own.
    fs::path partImage = dir / "part.img";
    {
      MemDevice part;
      part.SetGeometry(0, count, 1, 1);
      for (uint32_t s = 0; s < count; ++s) {
        auto sec = d.dev.Get(0, start + s);
        if (sec != MemDevice::Sector{}) part.At(0, s) = sec;
      }
      ASSERT_TRUE(part.SaveImage(0, partImage.string(), count));
    }
    auto [rc, text] = Shell("fsck.fat -n '" + partImage.string() + "'");
    EXPECT_TRUE(rc == 0 || (rc == 1 && FsckFoundOnlyLabelRemark(text)))
        << "partition " << part << ":\n" << text;
    for (const auto& [path, data] : files) {
      fs::path out = dir / "out.bin";
      fs::remove(out);
      auto [mrc, mtext] = Shell(Mtools("mcopy", image, start, "-n ::" + path + " '" + out.string() + "'"));
      ASSERT_EQ(mrc, 0) << path << ": " << mtext;
      EXPECT_EQ(ReadFileBytes(out), data) << path;
    }
  }

  fs::path image = dir / "disk.img";
  auto [rc, dump] = Shell("sfdisk -d '" + image.string() + "'");
  ASSERT_EQ(rc, 0) << dump;
  for (int slot = 0; slot < 4; ++slot) {
    const _PART_INFO& p = fat.disks[0].parts[slot];
    std::string tag = image.string() + std::to_string(slot + 1) + " :";
    size_t at = dump.find(tag);
    if (p.sectorCount == 0) {
      EXPECT_EQ(at, std::string::npos) << dump;
      continue;
    }
    ASSERT_NE(at, std::string::npos) << dump;
    std::string line = dump.substr(at, dump.find('\n', at) - at);
    auto field = [&](const char* key) {
      size_t k = line.find(key);
      return k == std::string::npos ? -1L : std::stol(line.substr(k + strlen(key)));
    };
    EXPECT_EQ(field("start="), long(p.startSector)) << line;
    EXPECT_EQ(field("size="), long(p.sectorCount)) << line;
  }
}

// Partitions around the FAT12/FAT16 boundary: the FAT type follows the data
// cluster count (FAT16 from 4,085 clusters on), so fsck.fat and mtools read
// each volume as the engine wrote it; a FAT16 volume of 4,082 clusters would
// be taken for FAT12 and its files come back truncated.
TEST_F(InteropTest, VolumesAtTheFat12Fat16BoundaryAreReadAsWritten) {
  REQUIRE_TOOLS("fsck.fat", "mcopy");
  const struct {
    uint32_t sectors;
    int width;
  } cases[] = {{130720, 12}, {130752, 12}, {130816, 12}, {130848, 16}};
  for (const auto& c : cases) {
    TestDisk d(c.sectors / 32 + 2, {int(c.sectors / 2), 0, 0, 0});  // C alone, on cylinders of 32
    ASSERT_EQ(d.fat->curPart->sectorCount, c.sectors);
    EXPECT_EQ(d.fat->GetPartitionMode(0, 0), c.width) << c.sectors;
    std::string data = Pattern(3 * 1024 * 1024 + 77, char(c.width));
    ASSERT_EQ(d.Write("BIG.BIN", data), int(data.size()));
    fs::path image = dir / "part.img";
    MemDevice part;
    part.SetGeometry(0, c.sectors, 1, 1);
    for (uint32_t s = 0; s < c.sectors; ++s) {
      auto sec = d.dev.Get(0, 32 + s);
      if (sec != MemDevice::Sector{}) part.At(0, s) = sec;
    }
    ASSERT_TRUE(part.SaveImage(0, image.string(), c.sectors));
    auto [rc, text] = Shell("fsck.fat -n '" + image.string() + "'");
    EXPECT_TRUE(rc == 0 || (rc == 1 && FsckFoundOnlyLabelRemark(text))) << c.sectors << ":\n" << text;
    fs::path out = dir / "big.out";
    auto [mrc, mtext] = Shell(Mtools("mcopy", image, 0, "-n ::BIG.BIN '" + out.string() + "'"));
    ASSERT_EQ(mrc, 0) << c.sectors << ": " << mtext;
    EXPECT_EQ(ReadFileBytes(out), data) << c.sectors;
  }
}

// Partitions made by sfdisk and mkfs.fat and filled by mtools, read by the engine.
TEST_F(InteropTest, ToolDiskIsListedAndReadByTheEngine) {
  REQUIRE_TOOLS("sfdisk", "mkfs.fat", "mcopy", "mmd", "fsck.fat");
  const uint32_t total = 64000, fat12Start = 32, fat12Size = 16384;  // 8 MB: FAT12 with 4 KB clusters
  const uint32_t fat16Start = fat12Start + fat12Size, fat16Size = total - fat16Start;
  fs::path image = dir / "tools.img";
  { std::ofstream(image, std::ios::binary); }
  fs::resize_file(image, uint64_t(total) * 512);
  std::string img = image.string();
  std::ofstream(dir / "layout") << "label: dos\nunit: sectors\n\n"
                                << img << "1 : start=" << fat12Start << ", size=" << fat12Size
                                << ", type=1\n"
                                << img << "3 : start=" << fat16Start << ", size=" << fat16Size
                                << ", type=6\n";
  auto [prc, ptext] = Shell("sfdisk --no-reread --no-tell-kernel '" + img + "' < '" +
                          (dir / "layout").string() + "'");
  ASSERT_EQ(prc, 0) << ptext;
  auto mk = [&](int width, uint32_t start, uint32_t size) {
    auto [rc, text] = Shell("mkfs.fat -F " + std::to_string(width) + " --offset " +
                          std::to_string(start) + " '" + img + "' " + std::to_string(size / 2));
    ASSERT_EQ(rc, 0) << text;
  };
  mk(12, fat12Start, fat12Size);
  mk(16, fat16Start, fat16Size);

  std::map<std::string, std::string> files = {
      {"/HELLO.TXT", "hello from mtools\n"},
      {"/EMPTY.DAT", ""},
      {"/EXACT.BIN", Pattern(4096, 1)},
      {"/LARGE.BIN", Pattern(1500000, 2)},
      {"/DOCS/NOTE.TXT", Pattern(9000, 3)},
  };
  for (uint32_t start : {fat12Start, fat16Start}) {
    auto [drc, dtext] = Shell(Mtools("mmd", image, start, "::/DOCS"));
    ASSERT_EQ(drc, 0) << dtext;
    for (const auto& [path, data] : files) {
      fs::path src = dir / "src.bin";
      std::ofstream(src, std::ios::binary) << data;
      auto [rc, text] = Shell(Mtools("mcopy", image, start, "'" + src.string() + "' ::" + path));
      ASSERT_EQ(rc, 0) << text;
    }
  }

  TestDisk d(2000, {0, 0, 0, 0}, false);
  ASSERT_TRUE(d.dev.LoadImage(0, img));
  ASSERT_EQ(d.fat->Init(), 1);
  ASSERT_EQ(d.fat->GetPartitionMode(0, 0), 12);
  ASSERT_EQ(d.fat->GetPartitionMode(0, 2), 16);
  for (int part : {0, 2}) {
    d.fat->file_system_switch_to(0, part);
    std::vector<std::string> names;
    _FILE_FIND f;
    for (int r = d.fat->FindFirstFileA(C("*"), &f); r == 1; r = d.fat->FindNextFileA(&f))
      names.push_back(f.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"DOCS", "EMPTY.DAT", "EXACT.BIN", "HELLO.TXT",
                                               "LARGE.BIN"}))
        << "partition " << part;
    for (const auto& [path, data] : files) {
      bool inDocs = path.rfind("/DOCS/", 0) == 0;
      if (inDocs) {
        std::string docs = Entry(*d.fat, "DOCS");
        ASSERT_EQ(d.fat->ChangeDirectory(docs.data()), 0);
      }
      std::string name = path.substr(path.rfind('/') + 1);
      EXPECT_EQ(d.Read(name.c_str()), data) << part << path;
      d.fat->ChangeRootDirectory();
    }
    // And the other way again: a file the engine adds is fine for the tools.
    std::string added = Pattern(70000, 9);
    ASSERT_EQ(d.Write("ADDED.BIN", added), 70000);
  }
  ASSERT_TRUE(d.dev.SaveImage(0, img, total));
  for (uint32_t start : {fat12Start, fat16Start}) {
    fs::path out = dir / "added.bin";
    fs::remove(out);
    auto [rc, text] = Shell(Mtools("mcopy", image, start, "-n ::/ADDED.BIN '" + out.string() + "'"));
    ASSERT_EQ(rc, 0) << text;
    EXPECT_EQ(ReadFileBytes(out), Pattern(70000, 9));
  }
}

}  // namespace
