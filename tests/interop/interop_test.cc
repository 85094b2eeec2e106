// Interoperation with independent FAT tools (dosfstools, mtools, fdisk).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>

#include "corrupt_disk.h"
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

// What fsck.fat reports as wrong: every line but the banner, the summary,
// "Leaving filesystem unchanged." and the remarks on volume labels (a
// logical format writes none, and fsck.fat asks for one).
std::vector<std::string> FsckFindings(const std::string& text) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.rfind("fsck.fat ", 0) == 0 || line.find(" files, ") != std::string::npos ||
        line == "Leaving filesystem unchanged." || line.find("abel ") != std::string::npos)
      continue;
    found.push_back(line);
  }
  return found;
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
    ASSERT_TRUE(d.dev.SaveImage(0, partImage.string(), count, start));
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
    ASSERT_TRUE(d.dev.SaveImage(0, image.string(), c.sectors, 32));
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

// CHKDSK judged by fsck.fat over a corpus of damaged disks: one disk for
// each kind of damage CHKDSK looks for, and mutants of the corrupt-disk
// generator (TERVAN_CHKDSK_MUTANTS per family, 1 by default). On each,
// CHKDSK finds a fault exactly when fsck.fat -n does; after CHKDSK /F
// fsck.fat -n finds nothing; and every file that fsck.fat -a keeps on a
// copy is still there after CHKDSK /F, its bytes starting with the ones
// fsck.fat kept (where fsck.fat cuts a cross-linked file short, CHKDSK
// gives it copies and keeps it whole). scripts/chkdsk-corpus.sh runs a
// larger corpus and prints the figures.
TEST_F(InteropTest, ChkdskAgreesWithFsckAndItsRepairKeepsWhatFsckKeeps) {
  REQUIRE_TOOLS("fsck.fat", "mcopy");
  const char* many = std::getenv("TERVAN_CHKDSK_MUTANTS");
  const int perFamily = many ? std::max(0, atoi(many)) : 1;
  TestDisk d(2000, {0, 0, 0, 0}, false);
  CorruptDisk corrupt;
  ASSERT_TRUE(corrupt.Build(*d.fat, d.dev));
  const auto good = d.dev.disks[0].sectors;
  using Mutate = std::function<void(CorruptDisk::Rng&)>;
  auto& c = corrupt;
  auto entry = [&](size_t i) { return c.At(c.entries[i]); };  // A B SUB .. IN DEEP . .. D
  unsigned a = bytes::Get16(entry(0) + 26), sub = bytes::Get16(entry(2) + 26);
  std::vector<std::pair<std::string, Mutate>> cases = {
      {"sound", [](auto&) {}},
      {"bad mark on a free cluster", [&](auto&) { c.SetFat(300, 0xFF7); }},
      {"lost chain", [&](auto&) { c.SetFat(300, 301), c.SetFat(301, 0xFFF); }},
      {"lost loop", [&](auto&) { c.SetFat(300, 301), c.SetFat(301, 300); }},
      {"FAT copies differ", [&](auto&) { c.SetFat(a, 0xFFF, 1); }},
      {"link out of range", [&](auto&) { c.SetFat(a + 1, 0xF00); }},
      {"chain loop", [&](auto&) { c.SetFat(a + 2, a); }},
      {"chain into a free cluster", [&](auto&) { c.SetFat(a, 400); }},
      {"bad cluster in a chain", [&](auto&) { c.SetFat(a + 1, 0xFF7); }},
      {"cross-link", [&](auto&) { bytes::Put16(entry(1) + 26, uint16_t(a + 1)); }},
      {"size beyond the chain", [&](auto&) { bytes::Put32(entry(0) + 28, 5 * 16384); }},
      {"chain beyond the size", [&](auto&) { bytes::Put32(entry(0) + 28, 100); }},
      {"size without clusters", [&](auto&) { bytes::Put16(entry(1) + 26, 0); }},
      {"start beyond the partition", [&](auto&) { bytes::Put16(entry(4) + 26, 4000); }},
      {"folder with a size", [&](auto&) { bytes::Put32(entry(2) + 28, 512); }},
      {"folder at the root", [&](auto&) { bytes::Put16(entry(5) + 26, 0); }},
      {"folder reached twice", [&](auto&) { bytes::Put16(entry(5) + 26, uint16_t(sub)); }},
      {"wrong '.' and '..'", [&](auto&) { bytes::Put16(entry(6) + 26, 0), bytes::Put16(entry(7) + 26, 0); }},
      {"no '.'", [&](auto&) { memcpy(entry(6), "X          ", 11); }},
      {"invalid name", [&](auto&) { entry(1)[1] = '*'; }},
      {"two entries of one name", [&](auto&) { memcpy(entry(1), "A       TXT", 11); }},
      {"boot sector larger than the partition",
       [&](auto&) { bytes::Put16(d.dev.At(0, d.fat->disks[0].parts[0].startSector).data() + 19, 20000); }},
  };
  for (const auto& family : corrupt.families)
    for (int i = 0; i < perFamily; ++i)
      cases.push_back({std::string(family.name) + " #" + std::to_string(i), family.mutate});

  std::seed_seq seed{20261208};
  CorruptDisk::Rng seeds(seed);
  int agree = 0, bothFault = 0, bothSound = 0, repairedClean = 0, judged = 0, keptFiles = 0, noFat = 0;
  std::vector<std::string> disagreements, unrepaired, readDifferently;
  for (const auto& [what, mutate] : cases) {
    d.dev.disks[0].sectors = good;
    CorruptDisk::Rng r(seeds());
    mutate(r);
    d.out.text.clear();
    ASSERT_EQ(d.fat->Init(), 1);
    d.fat->IsPartFormattted(0, 0);  // the first use reads the disk's tables
    const _PART_INFO& p = d.fat->disks[0].parts[0];
    const uint32_t start = p.startSector, count = p.sectorCount;
    fs::path damaged = dir / "damaged.img", theirs = dir / "fsck-a.img", ours = dir / "chkdsk.img";
    ASSERT_TRUE(d.dev.SaveImage(0, damaged.string(), count, start));
    auto [frc, ftext] = Shell("fsck.fat -n '" + damaged.string() + "'");
    // A partition table whose slot runs past the disk or over another is a
    // fault fsck.fat cannot see in the partition alone.
    const bool fsckFault = !FsckFindings(ftext).empty() || !p.usable;
    const bool chkFault = d.fat->CheckDisk(0, 0, false) != 1;
    std::string report = d.out.text;
    if (fsckFault == chkFault) {
      ++agree;
      (fsckFault ? bothFault : bothSound) += 1;
    } else {
      disagreements.push_back(what + ": fsck.fat " + (fsckFault ? "faults" : "sound") + "\n" + ftext +
                              "CHKDSK:\n" + report);
    }
    if (!d.fat->disks[0].parts[0].formatted) {  // no boot sector CHKDSK can read
      ++noFat;
      continue;
    }
    // fsck.fat's own repair, on a copy: what it keeps.
    fs::copy_file(damaged, theirs, fs::copy_options::overwrite_existing);
    auto [arc, atext] = Shell("fsck.fat -a '" + theirs.string() + "'");
    fs::path theirFiles = dir / "theirs", ourFiles = dir / "ours";
    fs::remove_all(theirFiles);
    fs::remove_all(ourFiles);
    fs::create_directories(theirFiles);
    fs::create_directories(ourFiles);
    bool fsckRepaired = FsckFindings(Shell("fsck.fat -n '" + theirs.string() + "'").second).empty();
    if (fsckRepaired) Shell(Mtools("mcopy", theirs, 0, "-s -n '::*' '" + theirFiles.string() + "/'"));

    d.out.text.clear();
    const int fixed = d.fat->CheckDisk(0, 0, true);
    ASSERT_TRUE(d.dev.SaveImage(0, ours.string(), count, start));
    auto [orc, otext] = Shell("fsck.fat -n '" + ours.string() + "'");
    auto left = FsckFindings(otext);
    if (fixed == 1) {
      EXPECT_TRUE(left.empty()) << what << ": after CHKDSK /F\n" << otext << d.out.text;
      ++repairedClean;
    } else {
      unrepaired.push_back(what);
    }
    if (!fsckRepaired) continue;
    ++judged;
    Shell(Mtools("mcopy", ours, 0, "-s -n '::*' '" + ourFiles.string() + "/'"));
    // Lost chains fsck.fat keeps as \FSCKnnnn.REC are among CHKDSK's
    // \FOUND.nnn\FILEnnnn.CHK.
    std::multiset<std::string> found;
    for (auto& f : fs::recursive_directory_iterator(ourFiles))
      if (f.is_regular_file() && f.path().extension() == ".CHK") found.insert(ReadFileBytes(f.path()));
    for (auto& f : fs::recursive_directory_iterator(theirFiles)) {
      if (!f.is_regular_file()) continue;
      fs::path rel = f.path().lexically_relative(theirFiles);
      std::string kept = ReadFileBytes(f.path()), mine = ReadFileBytes(ourFiles / rel);
      ++keptFiles;
      if (rel.extension() == ".REC" && found.count(kept)) continue;
      // Where fsck.fat and CHKDSK read an entry whose attribute byte lies
      // differently (CHKDSK goes by what the clusters hold: "." and ".."
      // make a folder), the one's file lies in the other's folder, or a
      // folder's clusters are the other's lost chain (\FSCKnnnn.REC).
      bool insideFile = false;
      for (fs::path up = rel.parent_path(); !up.empty(); up = up.parent_path())
        insideFile = insideFile || fs::is_regular_file(ourFiles / up);
      if (insideFile || rel.extension() == ".REC") {
        readDifferently.push_back(what + ": " + rel.string());
        continue;
      }
      EXPECT_TRUE(fs::exists(ourFiles / rel) && mine.compare(0, kept.size(), kept) == 0)
          << what << ": " << rel << " (" << kept.size() << " bytes kept by fsck.fat -a, "
          << mine.size() << " after CHKDSK /F)\n" << d.out.text;
    }
  }
  std::cout << "CHKDSK and fsck.fat agree on " << agree << " of " << cases.size() << " disks ("
            << bothFault << " damaged, " << bothSound << " sound); " << noFat
            << " hold no boot sector CHKDSK reads; CHKDSK /F made " << repairedClean << " of the other "
            << cases.size() - noFat << " sound; fsck.fat -a repaired " << judged << ", keeping " << keptFiles
            << " files, of which CHKDSK /F keeps all but " << readDifferently.size()
            << " read differently\n";
  for (const auto& text : disagreements) std::cout << "disagreement: " << text << "\n";
  for (const auto& text : unrepaired) std::cout << "not repaired: " << text << "\n";
  for (const auto& text : readDifferently) std::cout << "read differently: " << text << "\n";
  EXPECT_EQ(size_t(agree), cases.size());
}

}  // namespace
