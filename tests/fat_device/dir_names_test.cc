// Directories, the current directory, names, patterns and listings.

#include <gtest/gtest.h>

#include "test_disk.h"
#include "tervlink/fat_device/fat_layout.h"

namespace {

char* C(const char* s) { return const_cast<char*>(s); }

class DirTest : public ::testing::Test {
 protected:
  TestDisk d;
  FAT_DEVICE& fat = *d.fat;
  std::string N(const char* name) { return Entry(fat, name); }
  int Md(const char* name) {
    std::string n = N(name);
    return fat.MakeDirectory(n.data());
  }
  int Cd(const char* name) {
    std::string n = N(name);
    return fat.ChangeDirectory(n.data());
  }
  std::vector<std::string> List(const char* pattern) {
    std::vector<std::string> names;
    _FILE_FIND f;
    for (int r = fat.FindFirstFileA(C(pattern), &f); r == 1; r = fat.FindNextFileA(&f))
      names.push_back(f.name);
    return names;
  }
  std::string Path() {
    char p[128];
    return fat.GetCurrentDirectoryA(p, sizeof p);
  }
};

TEST_F(DirTest, MakeEnterLeaveAndRemoveDirectories) {
  ASSERT_EQ(Md("programs.abc"), 0);
  EXPECT_EQ(Cd("programs.abc"), 0);
  EXPECT_EQ(Path(), "\\\\PROGRAMS");
  EXPECT_EQ(List("*"), (std::vector<std::string>{".", ".."}));
  ASSERT_EQ(Md("sub"), 0);
  ASSERT_EQ(Cd("sub"), 0);
  EXPECT_EQ(Path(), "\\\\PROGRAMS\\SUB");
  EXPECT_EQ(Cd(".."), 0);
  EXPECT_EQ(Cd(".."), 0);
  EXPECT_EQ(Path(), "\\");
  EXPECT_EQ(fat.curPart->currentDir, 0u);
  EXPECT_EQ(Cd("nothere"), -3);
  EXPECT_EQ(fat.lastError, -3);

  std::string prog = N("programs.abc");
  EXPECT_EQ(fat.CheckEmptyDirectory(prog.data()), -1);
  EXPECT_EQ(fat.lastError, -6);
  ASSERT_EQ(Cd("programs.abc"), 0);
  std::string sub = N("sub"), dot = N("."), dotdot = N("..");
  EXPECT_EQ(fat.CheckEmptyDirectory(sub.data()), 0);
  EXPECT_EQ(fat.RemoveDirectoryA(dot.data()), -1) << "the dot entries are never removed";
  EXPECT_EQ(fat.RemoveDirectoryA(dotdot.data()), -1);
  ASSERT_EQ(fat.RemoveDirectoryA(sub.data()), 0);
  EXPECT_EQ(fat.CheckEmptyDirectory(sub.data()), -1);
  EXPECT_EQ(fat.CheckEmptyDirectory(dot.data()), 0) << "only deleted entries left";
  fat.ChangeRootDirectory();
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());
  unsigned long bytes;
  fat.SearchFreeByte(&bytes);
  EXPECT_EQ(bytes, (fat.curPart->dataClusters - 1) * 16384ul);
}

TEST_F(DirTest, MakeDirectoryRefusesANameThatExistsAsFileOrDirectory) {
  ASSERT_EQ(d.Write("data", "x"), 1);
  EXPECT_EQ(Md("data"), -1);
  EXPECT_EQ(fat.lastError, -8);
  ASSERT_EQ(Md("logs"), 0);
  EXPECT_EQ(Md("LOGS"), -1);
  EXPECT_EQ(fat.lastError, -8);
  EXPECT_EQ(List("*"), (std::vector<std::string>{"DATA", "LOGS"}));
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());
}

TEST_F(DirTest, DirectoryGrowsByOneZeroedClusterAndReusesDeletedSlotsFirst) {
  ASSERT_EQ(Md("big"), 0);
  ASSERT_EQ(Cd("big"), 0);
  unsigned dirCluster = fat.curPart->currentDir;
  char name[16];
  for (int i = 0; i < 510; ++i) {  // with "." and "..": 512 entries, one full cluster
    snprintf(name, sizeof name, "F%d", i);
    ASSERT_EQ(d.Write(name, ""), 0) << i;
  }
  EXPECT_EQ(fat.CheckEndCluster(fat.NextFatEntry(dirCluster)), 0) << "still one cluster";
  ASSERT_EQ(d.Write("last", "x"), 1);
  unsigned grown = fat.NextFatEntry(dirCluster);
  ASSERT_EQ(fat.CheckEndCluster(grown), -1);
  uint32_t first = (grown - 2) * 32 + fat.curPart->firstDataSector;
  auto s = d.dev.Get(0, first);
  EXPECT_EQ(0, memcmp(s.data(), "LAST       ", 11)) << "the new entry opens the new cluster";
  for (uint32_t k = 1; k < 32; ++k) EXPECT_EQ(d.dev.Get(0, first + k), MemDevice::Sector{});
  // The file's entry names its own chain, not the directory's new cluster.
  EXPECT_EQ(d.Read("last"), "x");
  fat.ChangeRootDirectory();
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());

  ASSERT_EQ(Cd("big"), 0);
  std::string f5 = N("F5");
  ASSERT_EQ(fat.RemoveFile(f5.data()), 0);
  ASSERT_EQ(d.Write("new", "y"), 1);
  auto again = d.dev.Get(0, (dirCluster - 2) * 32 + fat.curPart->firstDataSector);
  EXPECT_EQ(0, memcmp(again.data() + 7 * 32, "NEW        ", 11)) << "slot 7 (F5) reused";
}

// A directory is read once, in runs, and then looked up in memory; every
// change the engine makes keeps that index right, as a fresh engine reading
// the device sees. It holds 65,536 entries at most.
TEST_F(DirTest, ADirectoryIsReadOnceAndItsIndexFollowsEveryChange) {
  ASSERT_EQ(Md("big"), 0);
  d.dev.log.clear();
  ASSERT_EQ(Cd("big"), 0);
  char name[16];
  const int files = 2000;  // four clusters, past any 40-sector cache
  for (int i = 0; i < files; ++i) {
    snprintf(name, sizeof name, "F%d", i);
    ASSERT_EQ(d.Write(name, ""), 0) << i;
    if (i == 0) {
      EXPECT_EQ(d.dev.CountOf('R'), 0u) << "a directory just made is not read back";
    }
  }
  fat.ForgetDirectories();
  d.dev.log.clear();
  for (int i = 0; i < files; ++i) {
    snprintf(name, sizeof name, i % 2 ? "F%d" : "f%d", i);
    std::string n = N(name);
    ASSERT_EQ(fat.SearchFile(kMaskFiles, n.data()), 0) << name;
    _FILE_FIND f;
    ASSERT_EQ(fat.FindFirstFileA(name, &f), 1) << name;  // letters in either case
    EXPECT_EQ(f.name, N(name).substr(0, strlen(name)));
  }
  EXPECT_LE(d.dev.CountOf('R'), 4u) << "one read per cluster at most, not per lookup";

  std::string f5 = N("F5"), f10 = N("F10"), dir = N("f20");
  ASSERT_EQ(fat.RemoveFile(f5.data()), 0);
  EXPECT_EQ(fat.SearchFile(kMaskFiles, f5.data()), -1);
  ASSERT_EQ(d.Write("new", "y"), 1);
  EXPECT_EQ(fat.curPart->currentEntry - fat.curPart->dirSector, 7 * 32) << "F5's slot reused";
  ASSERT_EQ(fat.Rename(C("F10"), C("renamed")), 0);
  EXPECT_EQ(fat.SearchFile(kMaskFiles, f10.data()), -1);
  EXPECT_EQ(List("renamed"), (std::vector<std::string>{"RENAMED"}));
  EXPECT_EQ(Md("F10"), 0) << "the old name is free again";
  ASSERT_EQ(fat.RemoveFile(dir.data()), 0);
  ASSERT_EQ(Md("f20"), 0);
  EXPECT_EQ(fat.SearchFile(kMaskFiles, dir.data()), -1) << "a directory now, not a file";
  std::vector<std::string> held = List("*");
  ASSERT_EQ(held.size(), size_t(files) + 3);
  auto fresh = d.Reopen();
  std::string here = N("big");
  ASSERT_EQ(fresh->ChangeDirectory(here.data()), 0);
  std::vector<std::string> read;
  _FILE_FIND f;
  for (int r = fresh->FindFirstFileA(C("*"), &f); r == 1; r = fresh->FindNextFileA(&f)) read.push_back(f.name);
  EXPECT_EQ(read, held);

  // Up to 65,536 entries, and not one more.
  for (int i = files + 3; i < 65536; ++i) {
    snprintf(name, sizeof name, "G%d", i);
    ASSERT_EQ(d.Write(name, ""), 0) << i;
  }
  EXPECT_EQ(d.Write("full", ""), -1);
  EXPECT_EQ(Md("full"), -1);
  fat.ForgetDirectories();
  EXPECT_EQ(d.Read("G65535"), "");
  fat.ChangeRootDirectory();
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());
}

// A directory held in memory is forgotten when its clusters are written by
// anything but its own entries: a new directory in the clusters of a removed
// one lists as new.
TEST_F(DirTest, AHeldDirectoryOverwrittenByANewOneIsReadAgain) {
  ASSERT_EQ(Md("old"), 0);
  ASSERT_EQ(Cd("old"), 0);
  ASSERT_EQ(d.Write("x", ""), 0);  // an empty file: removed with the directory, nothing lost
  ASSERT_EQ(Cd(".."), 0);
  std::string old = N("old");
  ASSERT_EQ(fat.RemoveDirectoryA(old.data()), 0);
  ASSERT_EQ(Md("new"), 0);
  ASSERT_EQ(Cd("new"), 0);
  EXPECT_EQ(List("*"), (std::vector<std::string>{".", ".."}));
  ASSERT_EQ(d.Write("y", "1"), 1);
  EXPECT_EQ(List("*"), (std::vector<std::string>{".", "..", "Y"}));
}

TEST_F(DirTest, FullRootDirectoryFailsAndLeavesTheDeviceFatAlone) {
  char name[16];
  for (int i = 0; i < 512; ++i) {
    snprintf(name, sizeof name, "R%d", i);
    ASSERT_EQ(d.Write(name, ""), 0) << i;
  }
  auto fatBefore = d.dev.Get(0, fat.curPart->startSector + 32);
  EXPECT_EQ(d.Write("one", "data"), -1);
  EXPECT_EQ(Md("dir"), -1);
  EXPECT_EQ(d.dev.Get(0, fat.curPart->startSector + 32), fatBefore);
  EXPECT_EQ(fat.NextFatEntry(2), 0u) << "the image was reloaded";
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());
}

TEST_F(DirTest, RenameKeepsEverythingButTheNameAndRefusesAnExistingTarget) {
  ASSERT_EQ(d.Write("a.txt", "alpha"), 5);
  ASSERT_EQ(d.Write("b.txt", "beta"), 4);
  EXPECT_EQ(fat.Rename(C("a.txt"), C("B.TXT")), -1);
  EXPECT_EQ(fat.lastError, -8);
  EXPECT_EQ(d.Read("a.txt"), "alpha");
  EXPECT_EQ(fat.Rename(C("a.txt"), C("..")), -1);
  EXPECT_EQ(fat.Rename(C("none"), C("c.txt")), -1);
  EXPECT_EQ(fat.lastError, -3);
  ASSERT_EQ(fat.Rename(C("a.txt"), C("c.txt")), 0);
  EXPECT_EQ(d.Read("c.txt"), "alpha");
  EXPECT_EQ(d.Read("a.txt"), "<missing>");
}

// The ".." entry of the directory whose first cluster is dir.
unsigned ParentOf(TestDisk& d, unsigned dir) {
  const _PART_INFO* p = d.fat->curPart;
  auto s = d.dev.Get(0, (dir - 2) * p->sectorsPerCluster + p->firstDataSector);
  EXPECT_EQ(0, memcmp(s.data() + 32, "..         ", 11));
  return unsigned(s[32 + 26] | s[32 + 27] << 8);
}

TEST_F(DirTest, MoveEntryMovesFilesAndDirectoriesByTheirEntriesOnly) {
  auto mkdir = [&](const char* name) {
    EXPECT_EQ(Md(name), 0);
    EXPECT_EQ(Cd(name), 0);
    unsigned c = fat.curPart->currentDir;
    EXPECT_EQ(Cd(".."), 0);
    return c;
  };
  unsigned docs = mkdir("docs"), tree = mkdir("tree");
  ASSERT_EQ(Cd("tree"), 0);
  unsigned leaf = mkdir("leaf");
  ASSERT_EQ(Cd("leaf"), 0);
  ASSERT_EQ(d.Write("deep.txt", "deep"), 4);
  fat.ChangeRootDirectory();
  std::string data = Pattern(40000, 'm');
  ASSERT_EQ(d.Write("a.txt", data), 40000);
  ASSERT_EQ(fat.SetFileTime(C("a.txt"), 0x1234, 0x5678), 0);
  size_t writesBefore = d.dev.CountOf('W');

  // A file into a folder, then to a new name there (paths both ways).
  ASSERT_EQ(fat.MoveEntry("a.txt", "DOCS\\A.TXT"), 0);
  EXPECT_EQ(d.dev.CountOf('W') - writesBefore, 2u) << "the new entry, the old one: no data";
  EXPECT_EQ(List("A.TXT"), std::vector<std::string>{});
  ASSERT_EQ(fat.MoveEntry("\\docs\\a.txt", "docs/b.dat"), 0);
  ASSERT_EQ(Cd("docs"), 0);
  EXPECT_EQ(List("*"), (std::vector<std::string>{".", "..", "B.DAT"}));
  EXPECT_EQ(d.Read("b.dat"), data);
  _FILE_FIND f;
  ASSERT_EQ(fat.FindFirstFileA(C("B.DAT"), &f), 1);
  EXPECT_EQ(f.time, 0x1234) << "the entry keeps its times";
  EXPECT_EQ(f.date, 0x5678);

  // A directory moved from below tree into docs (from docs, with ".."
  // paths), then up to the root: its ".." follows it each time.
  ASSERT_EQ(fat.MoveEntry("..\\tree\\leaf", "twig"), 0);
  EXPECT_EQ(Path(), "\\\\DOCS") << "the current directory stays";
  EXPECT_EQ(ParentOf(d, leaf), docs);
  ASSERT_EQ(fat.MoveEntry("twig", "\\twig"), 0);
  EXPECT_EQ(ParentOf(d, leaf), 0u);
  fat.ChangeRootDirectory();
  ASSERT_EQ(Cd("twig"), 0);
  EXPECT_EQ(d.Read("deep.txt"), "deep");
  ASSERT_EQ(Cd(".."), 0);
  EXPECT_EQ(Path(), "\\");

  // Refused: below itself, away from under the current directory, onto a
  // name that exists, the root, dot names, missing sources and folders.
  EXPECT_EQ(fat.MoveEntry("tree", "tree\\inner"), -1);
  EXPECT_EQ(fat.lastError, -11);
  ASSERT_EQ(fat.MoveEntry("twig", "tree\\twig"), 0);
  EXPECT_EQ(fat.MoveEntry("tree", "tree\\twig\\x"), -1);
  EXPECT_EQ(fat.lastError, -11);
  ASSERT_EQ(Cd("tree"), 0);
  ASSERT_EQ(Cd("twig"), 0);
  EXPECT_EQ(fat.MoveEntry("\\tree", "\\docs\\tree"), -1);
  EXPECT_EQ(fat.lastError, -11);
  fat.ChangeRootDirectory();
  const struct {
    const char* from;
    const char* to;
    int error;
  } refused[] = {{"docs\\b.dat", "tree", -8}, {"tree", "docs", -8},      {"\\", "x", -7},
                 {"docs\\..", "x", -7},       {"docs\\b.dat", "x.y.z", -7}, {"none", "x", -3},
                 {"docs\\b.dat", "nope\\x", -3}};
  for (const auto& r : refused) {
    EXPECT_EQ(fat.MoveEntry(r.from, r.to), -1) << r.from << " " << r.to;
    EXPECT_EQ(fat.lastError, r.error) << r.from << " " << r.to;
  }
  EXPECT_EQ(fat.MoveEntry("docs\\b.dat", "docs\\b.dat"), 0) << "onto itself: nothing to do";
  EXPECT_EQ(fat.PathAttributes("\\tree\\twig"), int(kAttrDirectory));
  EXPECT_EQ(fat.PathAttributes("docs/b.dat"), int(kAttrArchive));
  EXPECT_EQ(fat.PathAttributes("docs/none"), -1);

  // Replacing a file, when asked: the old chain is freed, nothing is lost.
  unsigned long freeBefore, freeAfter;
  ASSERT_EQ(d.Write("c.txt", Pattern(70000, 'c')), 70000);
  fat.SearchFreeByte(&freeBefore);
  EXPECT_EQ(fat.MoveEntry("docs\\b.dat", "c.txt", FAT_DEVICE::kMoveReplace), 0);
  fat.SearchFreeByte(&freeAfter);
  EXPECT_EQ(freeAfter - freeBefore, 5 * 16384ul) << "70000 bytes' clusters back";
  EXPECT_EQ(d.Read("c.txt"), data);
  EXPECT_EQ(fat.MoveEntry("c.txt", "tree", FAT_DEVICE::kMoveReplace), -1) << "never a directory";
  EXPECT_EQ(fat.lastError, -8);
  EXPECT_EQ(fat.curPart->currentDir, 0u);
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());
  auto again = d.Reopen();
  EXPECT_EQ(again->FileSize(C("c.txt")), 40000);
  (void)tree;
}

TEST_F(DirTest, MoveEntryEndsOnALoopOfParentEntries) {
  ASSERT_EQ(Md("a"), 0);
  ASSERT_EQ(Cd("a"), 0);
  unsigned a = fat.curPart->currentDir;
  ASSERT_EQ(Md("b"), 0);
  ASSERT_EQ(Cd("b"), 0);
  unsigned b = fat.curPart->currentDir;
  fat.ChangeRootDirectory();
  ASSERT_EQ(Md("x"), 0);
  // a's ".." made to name b: climbing from b never reaches the root.
  uint32_t s = (a - 2) * fat.curPart->sectorsPerCluster + fat.curPart->firstDataSector;
  d.dev.At(0, s)[32 + 26] = uint8_t(b);
  d.dev.At(0, s)[32 + 27] = uint8_t(b >> 8);
  fat.buf_pool();
  EXPECT_EQ(fat.MoveEntry("x", "a\\b\\x"), -1);
  EXPECT_EQ(fat.lastError, -3);
  EXPECT_EQ(List("X"), std::vector<std::string>{"X"});
}

TEST_F(DirTest, PathTextIsBoundedAndCutOnRequest) {
  // Each level adds 9 characters; the 12th would pass 110.
  int depth = 0;
  for (; depth < 20; ++depth) {
    if (Md("ABCDEFGH") != 0) break;
    if (Cd("ABCDEFGH") != 0) break;
  }
  EXPECT_EQ(depth, 12);
  EXPECT_EQ(Path().size(), 1u + 12 * 9);
  EXPECT_EQ(Cd("ABCDEFGH"), -1) << "a 13th level would overflow the path";
  EXPECT_EQ(Path().size(), 1u + 12 * 9);
  char small[4];
  EXPECT_STREQ(fat.GetCurrentDirectoryA(small, sizeof small), "\\\\A");
}

TEST_F(DirTest, NamesStartingWithE5AreStoredAs05) {
  const char gbk[] = {char(0xE5), char(0xAD), 'A', '.', 't', 'x', 't', 0};
  ASSERT_EQ(d.Write(gbk, "z"), 1);
  auto root = d.dev.Get(0, fat.curPart->startSector + 32 + 64);
  EXPECT_EQ(root[0], 0x05);
  EXPECT_EQ(d.Read(gbk), "z");
  auto names = List("*");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(uint8_t(names[0][0]), 0xE5);
  EXPECT_TRUE(CheckVolume(d.dev, fat.curPart->startSector).empty());
}

TEST_F(DirTest, ListingsFollowTheirOwnDirectory) {
  ASSERT_EQ(d.Write("notes.txt", "1"), 1);
  ASSERT_EQ(d.Write("notes", "2"), 1);
  ASSERT_EQ(d.Write("memo.doc", "3"), 1);
  ASSERT_EQ(Md("sub"), 0);
  ASSERT_EQ(d.Write("a.b", ""), 0);
  ASSERT_EQ(d.Write("ab.c", ""), 0);
  EXPECT_EQ(List("*.txt"), (std::vector<std::string>{"NOTES.TXT"}));
  EXPECT_EQ(List("*.TXT,*.DOC"), (std::vector<std::string>{"NOTES.TXT", "MEMO.DOC"}));
  EXPECT_TRUE(List(",,").empty());
  EXPECT_EQ(List("?.*"), (std::vector<std::string>{"A.B"}));
  EXPECT_TRUE(List(std::string(32, '*').c_str()).empty());

  _FILE_FIND f;
  ASSERT_EQ(fat.FindFirstFileA(C("*"), &f), 1);
  EXPECT_STREQ(f.name, "NOTES.TXT");
  EXPECT_EQ(f.size, 1u);
  EXPECT_EQ(f.attributes, 0x20u);
  ASSERT_EQ(Cd("sub"), 0);
  std::vector<std::string> rest;
  while (fat.FindNextFileA(&f) == 1) rest.push_back(f.name);
  EXPECT_EQ(rest, (std::vector<std::string>{"NOTES", "MEMO.DOC", "SUB", "A.B", "AB.C"}));
  EXPECT_EQ(Path(), "\\\\SUB") << "the listing left the current directory alone";
}

TEST(NamesTest, NormalizedForms) {
  auto engine = std::make_unique<FAT_DEVICE>(nullptr);
  FAT_DEVICE& fat = *engine;
  struct Case {
    const char* in;
    const char* out;  // null: refused
  } cases[] = {
      {"readme.txt", "README  TXT"}, {"a.b.c", nullptr},            {"..", "..         "},
      {".", ".          "},           {"abcdefgh", "ABCDEFGH   "}, {"", "           "},
      {"abcdefghi", nullptr},         {"a.text", nullptr},         {".x", nullptr},
      {"a..", nullptr},               {"a*b", nullptr},            {"a?", nullptr},
      {"a,b", nullptr},               {"a;b", nullptr},            {"x/y", nullptr},
      {"mixed.Ab", "MIXED   AB "},
      // Names that would list differently than they are stored.
      {".a.txt", nullptr},            {"my file.txt", nullptr},     {"a.b c", nullptr},
      {"tab\t", nullptr},             {"a\x01.txt", nullptr},       {"del\x7f", nullptr},
      {"abc.", "ABC        "},
  };
  for (const auto& c : cases) {
    char out[12] = {};
    int r = fat.NormalizeFileName(C(c.in), out);
    if (!c.out) {
      EXPECT_EQ(r, -1) << c.in;
      EXPECT_EQ(fat.lastError, -7);
    } else {
      EXPECT_EQ(r, 0) << c.in;
      EXPECT_EQ(std::string(out, 11), c.out) << c.in;
    }
  }
  // Only ASCII letters change; the trail byte of a GBK character stays.
  const char gbk[] = {char(0xB0), 'a', 'b', 0};
  char out[12] = {};
  ASSERT_EQ(fat.NormalizeFileName(C(gbk), out), 0);
  EXPECT_EQ(std::string(out, 3), (std::string{char(0xB0), 'a', 'B'}));
}

TEST(NamesTest, Patterns) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  } cases[] = {
      {"*", "README", true},        {"*.*", "README", false},     {"*.*", "A.TXT", true},
      {"*.txt", "NOTES.TXT", true}, {"?.*", "A.B", true},          {"?.*", "AB.C", false},
      {"a*b*c", "AXXBYYC", true},   {"a*b*c", "AXXCYYB", false},   {"*ab*ab", "XABAB", true},
      {"**a", "BA", true},          {"a?c", "ABC", true},          {"a?c", "AC", false},
      {"abc", "ABCD", false},       {"*cd", "ABCD", true},         {"a*a", "A", false},
      {"x,,y", "Y", true},          {",", "X", false},             {"*a?a*", "BAXA", true},
      {"*aab", "AAAB", true},       {"a*?", "A", false},
      // A GBK trail byte is no letter: 0x81 0x41 and 0x81 0x61 differ, and
      // a single-byte letter never matches a trail byte.
      {"\x81" "A.*", "\x81" "a.TXT", false},  {"\x81" "A.*", "\x81" "A.TXT", true},
      {"*a.txt", "\x81" "A.TXT", false},     {"*A.TXT", "\x81" "A.TXT", false},
      {"??.txt", "\x81" "a.TXT", true},      {"a\x81" "a", "A\x81" "a", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FAT_DEVICE::MatchPattern(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

}  // namespace
