// Whole-file data: placement, transfer sizes, replacement, and consistency
// after device failures in the middle of a write.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <regex>
#include <set>

#include "test_disk.h"
#include "tervlink/bytes.h"
#include "tervlink/host/host.h"

namespace {

char* C(const char* s) { return const_cast<char*>(s); }

class FileTest : public ::testing::Test {
 protected:
  TestDisk d;
  FAT_DEVICE& fat = *d.fat;
  static constexpr int kCluster = 32 * 512;
  uint32_t Data(unsigned cluster) { return (cluster - 2) * 32 + fat.curPart->firstDataSector; }
  std::vector<std::string> Problems() { return CheckVolume(d.dev, fat.curPart->startSector); }
};

TEST_F(FileTest, SizesRoundTripAndPlaceDataLowestFirst) {
  const int sizes[] = {0, 1, 511, 512, 513, kCluster, kCluster + 1, 3 * kCluster + 700};
  char name[16];
  for (int size : sizes) {
    snprintf(name, sizeof name, "S%d.BIN", size);
    std::string data = Pattern(size_t(size), char(size));
    ASSERT_EQ(d.Write(name, data), size) << size;
  }
  auto again = d.Reopen();
  TestDisk& t = d;
  t.fat.swap(again);
  for (int size : sizes) {
    snprintf(name, sizeof name, "S%d.BIN", size);
    EXPECT_EQ(d.Read(name), Pattern(size_t(size), char(size))) << size;
  }
  EXPECT_TRUE(Problems().empty());
}

TEST_F(FileTest, EmptyFileHasNoClusterAndOneByteMoreTakesASecondCluster) {
  ASSERT_EQ(d.Write("empty", ""), 0);
  std::string e = Entry(fat, "empty");
  ASSERT_EQ(fat.SearchFile(kMaskFiles, e.data()), 0);
  EXPECT_EQ(bytes::Get16(fat.curPart->currentEntry + 26), 0);
  EXPECT_EQ(fat.NextFatEntry(2), 0u);
  ASSERT_EQ(fat.RemoveFile(e.data()), 0);

  std::string data = Pattern(kCluster + 1, 9);
  ASSERT_EQ(d.Write("two", data), kCluster + 1);
  EXPECT_EQ(fat.NextFatEntry(2), 3u);
  EXPECT_EQ(fat.CheckEndCluster(fat.NextFatEntry(3)), 0);
  auto last = d.dev.Get(0, Data(3));
  EXPECT_EQ(last[0], uint8_t(data.back()));
  for (int i = 1; i < 512; ++i) ASSERT_EQ(last[i], 0) << "rest of the last sector is zeros";
}

TEST_F(FileTest, ContiguousThreeMegabytesMoveInThreeTransfers) {
  std::string data = Pattern(3 << 20, 3);
  d.dev.log.clear();
  ASSERT_EQ(d.Write("big.bin", data), 3 << 20);
  std::vector<MemDevice::Request> big;
  for (const auto& r : d.dev.log)
    if (r.op == 'W' && r.count > 1) big.push_back(r);
  ASSERT_EQ(big.size(), 3u + 1) << "three data transfers and one of both FAT copies";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(big[i].count, 2048u);
    EXPECT_EQ(big[i].sector, Data(2) + 2048u * i);
  }
  d.dev.log.clear();
  std::string back(data.size(), '\0');
  ASSERT_EQ(fat.ReadFile(C("big.bin"), back.data(), int(back.size()), nullptr), 3 << 20);
  EXPECT_EQ(back, data);
  size_t reads = 0;
  for (const auto& r : d.dev.log)
    if (r.count == 2048) ++reads;
  EXPECT_EQ(reads, 3u);
}

TEST_F(FileTest, FragmentedChainIsFollowedAndReadsStopAtItsEnd) {
  ASSERT_EQ(d.Write("a", Pattern(kCluster, 1)), kCluster);
  ASSERT_EQ(d.Write("b", Pattern(kCluster, 2)), kCluster);
  ASSERT_EQ(d.Write("c", Pattern(kCluster, 3)), kCluster);
  std::string b = Entry(fat, "b");
  ASSERT_EQ(fat.RemoveFile(b.data()), 0);
  std::string data = Pattern(3 * kCluster, 4);  // clusters 3, 5, 6
  ASSERT_EQ(d.Write("frag", data), 3 * kCluster);
  EXPECT_EQ(fat.NextFatEntry(3), 5u);
  EXPECT_EQ(d.Read("frag"), data);
  std::string more(4 * kCluster, '\0');
  EXPECT_EQ(fat.ReadFile(C("frag"), more.data(), int(more.size()), nullptr), 3 * kCluster);
  EXPECT_TRUE(Problems().empty());
}

// With read-ahead on, small files laid one after another are read in a few
// long requests and give the same bytes; no write (a direct one into the
// run read ahead, a replaced file, a directory sector), no lost device and
// no end of the read-ahead leaves a read served from what was read before.
TEST_F(FileTest, ReadAheadServesTheSameBytesInFewerRequestsAndHidesNoWrite) {
  constexpr int kFiles = 12;
  char name[16];
  auto content = [](int i) { return Pattern(size_t(4096 + 100 * i), char(i)); };
  for (int i = 0; i < kFiles; ++i) {
    snprintf(name, sizeof name, "F%d.BIN", i);
    ASSERT_EQ(d.Write(name, content(i)), 4096 + 100 * i);
  }
  // Reads every file, each checked against want(i); the reads it made.
  auto readAll = [&](const std::function<std::string(int)>& want) {
    size_t before = d.dev.CountOf('R');
    for (int i = 0; i < kFiles; ++i) {
      snprintf(name, sizeof name, "F%d.BIN", i);
      EXPECT_EQ(d.Read(name), want(i)) << name;
    }
    return d.dev.CountOf('R') - before;
  };
  const size_t plain = readAll(content);
  fat.BeginReadAhead();
  EXPECT_LE(readAll(content), plain / 4) << "runs of 64, 128 and 256 sectors cover 12 clusters";
  // The last run holds clusters 8 to 15: F6.BIN to F11.BIN and free ones.
  // A direct write of the first sector of F9.BIN (cluster 11):
  std::string sector = Pattern(512, 42);
  fat.pendStart = Data(11);
  fat.pendCount = 1;
  fat.pendBuffer = sector.data();
  ASSERT_EQ(fat.WriteData(), 0);
  EXPECT_EQ(d.Read("F9.BIN"), sector + content(9).substr(512));
  auto changed = [&](int i) { return i == 9 ? sector + content(9).substr(512) : content(i); };
  readAll(changed);
  // A replaced file, its new data in cluster 14, read ahead while free.
  ASSERT_EQ(d.Write("F7.BIN", Pattern(700, 77)), 700);
  EXPECT_EQ(d.Read("F7.BIN"), Pattern(700, 77));
  auto replaced = [&](int i) { return i == 7 ? Pattern(700, 77) : changed(i); };
  readAll(replaced);
  // A device that went away and came back is read again.
  d.dev.At(0, Data(8))[0] ^= 1;
  ++d.dev.losses;
  std::string f6 = content(6);
  f6[0] = char(f6[0] ^ 1);
  EXPECT_EQ(d.Read("F6.BIN"), f6);
  // ForgetDirectories ends the read-ahead: plain reads again.
  fat.ForgetDirectories();
  d.dev.At(0, Data(8))[0] ^= 1;  // behind the engine's back
  readAll(replaced);             // the folder is read again too
  EXPECT_EQ(readAll(replaced), plain);
}

TEST_F(FileTest, ReplacingUsesTheOldClustersAndAFileThatDoesNotFitChangesNothing) {
  unsigned long freeBytes;
  fat.SearchFreeByte(&freeBytes);
  int bigSize = int(freeBytes) - 2 * kCluster;
  ASSERT_EQ(d.Write("big", Pattern(size_t(bigSize), 1)), bigSize);
  ASSERT_EQ(d.Write("x", Pattern(kCluster, 2)), kCluster);
  // One free cluster left; the new "big" needs more but fits with the old one's clusters.
  std::string smaller = Pattern(size_t(bigSize) - 100, 3);
  ASSERT_EQ(d.Write("big", smaller), bigSize - 100);
  EXPECT_EQ(d.Read("big"), smaller);

  std::string tooBig = Pattern(size_t(bigSize) + 3 * kCluster, 4);
  d.dev.log.clear();
  EXPECT_EQ(d.Write("big", tooBig), -1);
  EXPECT_EQ(fat.lastError, -4);
  EXPECT_EQ(d.dev.CountOf('W'), 0u);
  EXPECT_EQ(d.Read("big"), smaller);
  host::ClearReason();
  EXPECT_EQ(d.Write("y", tooBig), -1);
  EXPECT_EQ(fat.lastError, -4);
  // The reason names the partition, what the file needs and what is free,
  // in kilobytes with thousands separated.
  fat.SearchFreeByte(&freeBytes);
  auto kb = [](uint64_t bytes) {
    std::string d = std::to_string((bytes + 1023) / 1024), out;
    for (size_t i = 0; i < d.size(); ++i) out += (i && (d.size() - i) % 3 == 0 ? "," : "") + d.substr(i, 1);
    return out + " KB";
  };
  uint64_t need = (tooBig.size() + kCluster - 1) / kCluster * kCluster;
  EXPECT_EQ(host::Reason(), "no space on C: needs " + kb(need) + ", " + kb(freeBytes) + " free");
  EXPECT_GT(need, 1024u * 1024) << "the separator is exercised";
  EXPECT_TRUE(Problems().empty());
}

TEST_F(FileTest, NamesOfDirectoriesAndInvalidNamesAreRefused) {
  std::string sub = Entry(fat, "sub");
  ASSERT_EQ(fat.MakeDirectory(sub.data()), 0);
  EXPECT_EQ(d.Write("sub", "x"), -1);
  EXPECT_EQ(d.Write("toolongname", "x"), -1);
  EXPECT_EQ(fat.lastError, -7);
  EXPECT_EQ(d.Write("", "x"), -1);
  EXPECT_EQ(d.Write("..", "x"), -1);
  EXPECT_EQ(fat.FileSize(C("missing")), -1);
  EXPECT_EQ(fat.lastError, -3);
  EXPECT_TRUE(Problems().empty());
}

TEST_F(FileTest, ProgressIndicator) {
  d.out.text.clear();
  ASSERT_EQ(d.Write("p", Pattern(3 * kCluster, 1)), 3 * kCluster);
  EXPECT_EQ(d.out.text, "%  \b\b100");
  d.out.text.clear();
  ASSERT_EQ(d.Write("q", Pattern(4 * 1024 * 1024 + 600, 1)), 4 * 1024 * 1024 + 600);
  EXPECT_EQ(d.out.text, "%  \b\b24\b\b49\b\b74\b\b99\b\b99\b\b100");
  // An empty file moves nothing: the progress ends at its "%  ", both ways.
  d.out.text.clear();
  ASSERT_EQ(d.Write("e", ""), 0);
  EXPECT_EQ(d.out.text, "%  ");
  d.out.text.clear();
  EXPECT_EQ(fat.ReadFile(C("e"), nullptr, 0, nullptr), 0);
  EXPECT_EQ(d.out.text, "%  ");
}

// A device that fails once at any point of a write leaves a volume that an
// independent check finds consistent: no entry names unsaved clusters, no
// cluster is lost, the FAT copies agree, and what was there before is
// intact. A device that stops writing altogether can at worst leave
// clusters allocated without an entry, never an entry without its clusters.
TEST_F(FileTest, ConsistentAfterAFailureAtEveryWrite) {
  ASSERT_EQ(d.Write("keep.txt", Pattern(5000, 7)), 5000);
  std::string sub = Entry(fat, "sub");
  ASSERT_EQ(fat.MakeDirectory(sub.data()), 0);
  ASSERT_EQ(fat.ChangeDirectory(sub.data()), 0);
  char name[16];
  for (int i = 0; i < 510; ++i) {  // the next entry grows the directory
    snprintf(name, sizeof name, "E%d", i);
    ASSERT_EQ(d.Write(name, ""), 0);
  }
  std::map<uint32_t, MemDevice::Sector> snapshot(d.dev.disks[0].sectors.begin(),
                                                 d.dev.disks[0].sectors.end());
  std::string data = Pattern(2 * kCluster + 10, 8);
  for (bool persistent : {false, true}) {
    int failAt = 0;
    for (;; ++failAt) {
      d.dev.disks[0].sectors = {snapshot.begin(), snapshot.end()};
      auto fresh = d.Reopen();
      d.fat.swap(fresh);
      ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
      (persistent ? d.dev.failWriteAfter : d.dev.failOneWriteAfter) = failAt;
      int r = d.Write("new.bin", data);
      bool failed = persistent ? d.dev.failWriteAfter == 0 : d.dev.failOneWriteAfter < 0;
      d.dev.failWriteAfter = d.dev.failOneWriteAfter = -1;
      for (const auto& p : CheckVolume(d.dev, d.fat->curPart->startSector)) {
        bool tolerated = persistent && (p.rfind("lost cluster", 0) == 0 || p == "FAT copies differ");
        EXPECT_TRUE(tolerated) << (persistent ? "persistent" : "one") << " failure at write "
                               << failAt << ": " << p;
      }
      auto after = d.Reopen();
      d.fat.swap(after);
      EXPECT_EQ(d.Read("keep.txt"), Pattern(5000, 7));
      ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
      if (r == int(data.size())) {
        EXPECT_EQ(d.Read("new.bin"), data) << failAt;
      } else {
        EXPECT_EQ(r, -1);
        EXPECT_EQ(d.Read("new.bin"), "<missing>") << failAt;
      }
      if (!failed) break;  // the write ran through without meeting the fault
      ASSERT_LT(failAt, 200);
    }
    EXPECT_GE(failAt, 5) << "data, directory cluster, two FAT copies and the entry were written";
  }
}

// A group of files (new ones and a replacement, in a folder and the root)
// stopped at every write, once (a fault) or for good (a kill): each file
// reported stored and not named lost reads back whole, every other one is
// missing or, replaced, still its old self; the disk holds nothing worse
// than lost clusters, and those only after a kill. Without a fault the
// group's FAT and entries are written once, after all of its data.
TEST_F(FileTest, AFileGroupLosesAtMostItsOpenFilesWhereverItStops) {
  const std::string old = Pattern(5000, 7);
  ASSERT_EQ(d.Write("old.txt", old), 5000);
  std::string sub = Entry(fat, "sub");
  ASSERT_EQ(fat.MakeDirectory(sub.data()), 0);
  ASSERT_EQ(fat.SearchFile(kMaskDirs, sub.data()), 0);
  const uint32_t subSector = Data(bytes::Get16(fat.curPart->currentEntry + 26));
  const uint32_t rootSector = fat.curPart->firstDataSector - 32, data = Data(2);
  std::map<uint32_t, MemDevice::Sector> snapshot(d.dev.disks[0].sectors.begin(),
                                                 d.dev.disks[0].sectors.end());
  struct File {
    const char* name;
    bool inSub;
    std::string data;
  };
  const std::vector<File> files = {{"a.txt", true, Pattern(100, 1)},
                                   {"b.txt", true, Pattern(kCluster + 1, 2)},
                                   {"c.txt", true, ""},
                                   {"old.txt", false, Pattern(3000, 3)},
                                   {"d.txt", false, Pattern(2 * kCluster, 4)}};
  for (bool kill : {false, true}) {
    int failAt = 0;
    for (;; ++failAt) {
      d.dev.disks[0].sectors = {snapshot.begin(), snapshot.end()};
      auto fresh = d.Reopen();
      d.fat.swap(fresh);
      (kill ? d.dev.failWriteAfter : d.dev.failOneWriteAfter) = failAt;
      d.dev.log.clear();
      d.fat->BeginFileGroup();
      std::set<std::string> stored;
      for (const File& f : files) {
        d.fat->ChangeRootDirectory();
        if (f.inSub) {
          ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
        }
        if (d.Write(f.name, f.data) == int(f.data.size())) stored.insert(f.name);
      }
      d.fat->EndFileGroup();
      for (const std::string& text : d.fat->TakeLostFiles()) {
        std::string name = text;
        for (char& c : name) c = char(tolower(c));
        EXPECT_EQ(stored.erase(name), 1u) << text << " lost but never stored";
      }
      bool failed = kill ? d.dev.failWriteAfter == 0 : d.dev.failOneWriteAfter < 0;
      d.dev.failWriteAfter = d.dev.failOneWriteAfter = -1;
      std::string order;  // data, FAT, entries
      for (const auto& r : d.dev.log)
        if (r.op == 'W') {
          bool entries = (r.sector >= rootSector && r.sector < data) || (r.sector >= subSector && r.sector < subSector + 32);
          order += entries ? 'E' : r.sector >= data ? 'D' : 'F';
        }
      if (!failed) {
        EXPECT_EQ(order.substr(order.find_first_not_of('D')).substr(0, 2), "FE") << order;
      }
      for (const auto& p : CheckVolume(d.dev, d.fat->curPart->startSector))
        EXPECT_TRUE(kill && p.rfind("lost cluster", 0) == 0)
            << (kill ? "kill" : "fault") << " at write " << failAt << ": " << p;
      auto after = d.Reopen();
      d.fat.swap(after);
      for (const File& f : files) {
        d.fat->ChangeRootDirectory();
        if (f.inSub) {
          ASSERT_EQ(d.fat->ChangeDirectory(sub.data()), 0);
        }
        std::string want = stored.count(f.name) ? f.data : f.name == std::string("old.txt") ? old : "<missing>";
        EXPECT_EQ(d.Read(f.name), want) << f.name << (kill ? " kill" : " fault") << " at write " << failAt;
      }
      if (!failed) break;  // the group ran through without meeting the fault
      ASSERT_LT(failAt, 100);
    }
    EXPECT_GE(failAt, 4) << "the group's data (one run), the FAT, the entries of two folders";
  }
}

// A file held open (FatHandle) written at an offset past its end, inside
// it, and truncated up and down: the results match a model of the bytes,
// and a failure at any single write leaves a sound volume holding the file
// as before (or as asked), its clusters given back. The same with the
// handle deferred (the FAT and entry written by CommitHandle): until the
// commit the device holds the file at its old size.
TEST_F(FileTest, HandleWritesAndTruncationsFailingAtAnyWriteLeaveTheFileAsBefore) {
  const std::string before = Pattern(kCluster + 100, 3);
  ASSERT_EQ(d.Write("f.bin", before), int(before.size()));
  std::map<uint32_t, MemDevice::Sector> snapshot(d.dev.disks[0].sectors.begin(),
                                                 d.dev.disks[0].sectors.end());
  const std::string piece = Pattern(kCluster + 7, 4);
  struct Step {
    const char* what;
    std::function<int(FAT_DEVICE&, FatHandle*)> run;
    std::string after;
  };
  std::string grown = before + std::string(2 * kCluster + 50 - before.size(), '\0') + piece;
  std::string inside = before;
  inside.replace(10, 600, piece.substr(0, 600));
  std::vector<Step> steps = {
      {"write past the end",
       [&](FAT_DEVICE& f, FatHandle* h) { return f.WriteAt(h, 2 * kCluster + 50, piece.data(), uint32_t(piece.size())); },
       grown},
      {"write inside", [&](FAT_DEVICE& f, FatHandle* h) { return f.WriteAt(h, 10, piece.data(), 600); }, inside},
      {"truncate up", [](FAT_DEVICE& f, FatHandle* h) { return f.TruncateAt(h, 3 * kCluster); },
       before + std::string(3 * kCluster - before.size(), '\0')},
      {"truncate down", [](FAT_DEVICE& f, FatHandle* h) { return f.TruncateAt(h, 50); }, before.substr(0, 50)},
  };
  std::string name11 = Entry(fat, "f.bin");
  for (const Step& step : steps) {
    for (int mode = 0; mode < 4; ++mode) {
      const bool persistent = mode & 1, deferred = mode & 2;
      for (int failAt = 0;; ++failAt) {
        d.dev.disks[0].sectors = {snapshot.begin(), snapshot.end()};
        auto fresh = d.Reopen();
        d.fat.swap(fresh);
        FatHandle h;
        ASSERT_EQ(d.fat->OpenEntry(name11.data(), kMaskFiles, &h), 0);
        h.deferred = deferred;
        (persistent ? d.dev.failWriteAfter : d.dev.failOneWriteAfter) = failAt;
        int r = step.run(*d.fat, &h);
        if (deferred && r >= 0 && step.after.size() > before.size()) {
          auto device = d.Reopen();
          device->ChangeRootDirectory();
          char name[] = "f.bin";
          EXPECT_EQ(device->FileSize(name), int(before.size())) << step.what << ": committed early";
        }
        if (deferred && r >= 0) r = d.fat->CommitHandle(&h);
        bool failed = persistent ? d.dev.failWriteAfter == 0 : d.dev.failOneWriteAfter < 0;
        d.dev.failWriteAfter = d.dev.failOneWriteAfter = -1;
        for (const auto& p : CheckVolume(d.dev, d.fat->curPart->startSector)) {
          // A device lost between a chain's FAT and its entry (two sectors
          // that FAT cannot write in one step) leaves the chain longer than
          // the size; fsck.fat trims it, and no byte of the file is lost.
          bool tolerated = persistent && (p.rfind("lost cluster", 0) == 0 || p == "FAT copies differ" ||
                                          p.find("chain length does not fit size") != std::string::npos);
          EXPECT_TRUE(tolerated) << step.what << ", failure at write " << failAt << " (result " << r << (persistent ? ", persistent" : "") << "): " << p;
        }
        auto after = d.Reopen();
        d.fat.swap(after);
        std::string got = d.Read("f.bin");
        if (r >= 0) {
          EXPECT_EQ(got, step.after) << step.what;
          std::string back(step.after.size(), '\0');
          ASSERT_EQ(d.fat->OpenEntry(name11.data(), kMaskFiles, &h), 0);
          EXPECT_EQ(d.fat->ReadAt(&h, 0, back.data(), uint32_t(back.size() + 99)), int(back.size()));
          EXPECT_EQ(back, step.after) << step.what << ": ReadAt";
        } else if (step.after.size() > before.size() && !persistent) {
          // A failed growth gives its clusters back: the old bytes and size.
          EXPECT_EQ(got, before) << step.what << ", failure at write " << failAt;
        } else {
          // Either as before or as asked (a cut whose entry was written
          // before the FAT failed), or, for a write in place, the old size.
          EXPECT_TRUE(got == before || got == step.after || got.size() == before.size())
              << step.what << ", failure at write " << failAt;
        }
        if (!failed) break;
        ASSERT_LT(failAt, 100);
      }
    }
  }
}

// A link that drops in the middle of a write and comes back in the same
// session: the aborted file's clusters are given back from memory (the
// device that would be read again is gone), the disk is read again by the
// next command, and the next write leaves no lost cluster. While the device
// is gone no cached listing passes for one.
TEST_F(FileTest, LinkDropInTheMiddleOfAWriteAndItsReturnLoseNoClusters) {
  ASSERT_EQ(d.Write("keep.txt", Pattern(5000, 7)), 5000);
  std::map<uint32_t, MemDevice::Sector> snapshot(d.dev.disks[0].sectors.begin(),
                                                 d.dev.disks[0].sectors.end());
  std::string data = Pattern(3 * kCluster + 10, 8), next = Pattern(2 * kCluster, 9);
  for (int dropAt = 0;; ++dropAt) {
    d.dev.disks[0].sectors = {snapshot.begin(), snapshot.end()};
    auto fresh = d.Reopen();
    d.fat.swap(fresh);
    d.dev.dropAfterWrites = dropAt;
    int r = d.Write("new.bin", data);
    bool dropped = d.dev.gone;
    if (dropped) {
      EXPECT_EQ(r, -1);
      _FILE_FIND f;
      d.fat->lastError = 0;
      EXPECT_EQ(d.fat->FindFirstFileA(C("*"), &f), 0) << dropAt;
      EXPECT_EQ(d.fat->lastError, -1);
      EXPECT_EQ(d.Write("other", "x"), -1);
    }
    d.dev.gone = false;
    d.dev.dropAfterWrites = -1;
    ASSERT_EQ(d.Write("next.bin", next), int(next.size())) << dropAt;
    EXPECT_EQ(CheckVolume(d.dev, d.fat->curPart->startSector), std::vector<std::string>{})
        << "drop at write " << dropAt;
    EXPECT_EQ(d.Read("keep.txt"), Pattern(5000, 7));
    EXPECT_EQ(d.Read("next.bin"), next);
    EXPECT_EQ(d.Read("new.bin"), r == int(data.size()) ? data : "<missing>") << dropAt;
    if (!dropped) break;
    ASSERT_LT(dropAt, 50);
  }
}

// A session whose device went away and came back changed by another
// client (a file written, the session's folder removed): nothing it writes
// comes from what it held before. The next command reads the disk again,
// says so, and leaves the root; a write whose operation began before the
// loss was noticed is refused whole.
TEST_F(FileTest, DeviceChangedWhileAwayIsReadAgainBeforeAnyWrite) {
  ASSERT_EQ(d.Write("a.txt", Pattern(3000, 1)), 3000);
  ASSERT_EQ(fat.MakeDirectory(C("SUB        ")), 0);
  ASSERT_EQ(fat.ChangeDirectory(C("SUB        ")), 0);
  auto other = d.Reopen();  // the other client
  ASSERT_EQ(other->WriteFile(C("B.BIN"), C(Pattern(5000, 2).c_str()), 5000, nullptr), 5000);
  ASSERT_EQ(other->RemoveDirectoryA(C("SUB        ")), 0);
  ++d.dev.losses;
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(d.Write("c.txt", Pattern(4000, 3)), 4000);
  EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("Tervan: ", 0), 0u) << "said so";
  char path[64];
  EXPECT_STREQ(fat.GetCurrentDirectoryA(path, sizeof path), "\\") << "SUB is gone";
  EXPECT_EQ(d.Read("B.BIN"), Pattern(5000, 2));
  EXPECT_EQ(d.Read("c.txt"), Pattern(4000, 3));
  EXPECT_EQ(CheckVolume(d.dev, fat.curPart->startSector), std::vector<std::string>{});
  // Noticed only at the write: refused, and the next command starts afresh.
  ASSERT_EQ(other->Init(), 1);
  ASSERT_EQ(other->WriteFile(C("D.BIN"), C(Pattern(700, 4).c_str()), 700, nullptr), 700);
  d.dev.lossAfterQueries = 1;  // the operation's entry check sees none
  EXPECT_EQ(d.Write("e.txt", Pattern(900, 5)), -1);
  EXPECT_EQ(d.Read("D.BIN"), Pattern(700, 4));
  EXPECT_EQ(d.Read("e.txt"), "<missing>");
  EXPECT_EQ(CheckVolume(d.dev, fat.curPart->startSector), std::vector<std::string>{});
}

// Replacing a file while the free space holds both: the new chain is
// written and committed before the entry switches to it, and the old chain
// is freed last, so a failure or a dropped link at any write leaves the old
// file or the new one, whole.
TEST_F(FileTest, ReplacingWritesTheNewFileBeforeTheOldOneIsFreed) {
  const std::string before = Pattern(2 * kCluster + 3, 1), after = Pattern(3 * kCluster + 5, 2);
  ASSERT_EQ(d.Write("file.bin", before), int(before.size()));
  std::map<uint32_t, MemDevice::Sector> snapshot(d.dev.disks[0].sectors.begin(),
                                                 d.dev.disks[0].sectors.end());
  // Without a failure: data, FAT with both chains, entry, FAT without the old.
  d.dev.log.clear();
  ASSERT_EQ(d.Write("file.bin", after), int(after.size()));
  const uint32_t root = fat.curPart->startSector + 32 + 64, fat1 = fat.curPart->startSector + 32;
  std::string order;
  for (const auto& r : d.dev.log)
    if (r.op == 'W') {
      char kind = r.sector >= Data(2) ? 'D' : r.sector == root ? 'E' : r.sector >= fat1 ? 'F' : '?';
      if (order.empty() || order.back() != kind) order += kind;
    }
  EXPECT_EQ(order, "DFEF");
  EXPECT_EQ(d.Read("file.bin"), after);
  EXPECT_EQ(fat.NextFatEntry(2), 0u) << "the old chain was freed";
  EXPECT_TRUE(Problems().empty());

  for (bool persistent : {false, true}) {
    int failAt = 0;
    for (;; ++failAt) {
      d.dev.disks[0].sectors = {snapshot.begin(), snapshot.end()};
      auto fresh = d.Reopen();
      d.fat.swap(fresh);
      (persistent ? d.dev.dropAfterWrites : d.dev.failOneWriteAfter) = failAt;
      int r = d.Write("file.bin", after);
      bool met = persistent ? d.dev.gone : d.dev.failOneWriteAfter < 0;
      d.dev.gone = false;
      d.dev.dropAfterWrites = d.dev.failOneWriteAfter = -1;
      auto again = d.Reopen();
      d.fat.swap(again);
      std::string now = d.Read("file.bin");
      EXPECT_TRUE(now == before || now == after) << failAt << " " << now.substr(0, 10);
      if (r == int(after.size())) {
        EXPECT_EQ(now, after);
      }
      for (const auto& p : CheckVolume(d.dev, d.fat->curPart->startSector)) {
        bool tolerated = persistent && (p.rfind("lost cluster", 0) == 0 || p == "FAT copies differ");
        EXPECT_TRUE(tolerated) << (persistent ? "drop" : "one failure") << " at write " << failAt << ": " << p;
      }
      if (!met) break;
      ASSERT_LT(failAt, 50);
    }
    EXPECT_GE(failAt, 5) << "two data writes, FAT, entry, FAT";
  }
}

// A PC file streamed through the engine's buffer: the same bytes and
// transfers as from a buffer. A stream that fails (a PC file cut short, a
// full PC disk) fails the file with -10: nothing is stored, a replaced
// file stays, and the volume is whole.
class StringStream : public FileDataStream {
 public:
  std::string bytes;
  size_t at = 0, failAfter = SIZE_MAX;
  bool Fill(char* into, uint32_t n) override {
    if (at + n > bytes.size() || at + n > failAfter) return false;
    memcpy(into, bytes.data() + at, n);
    at += n;
    return true;
  }
  bool Take(const char* from, uint32_t n) override {
    if (at + n > failAfter) return false;
    bytes.append(from, n), at += n;
    return true;
  }
};

TEST_F(FileTest, StreamedFilesMatchBufferedOnesAndAFailingStreamStoresNothing) {
  ASSERT_EQ(d.Write("first", "x"), 1);  // the first commit after the load writes whole copies
  for (int size : {0, 511, 3 * kCluster + 700, (2 << 20) + 513}) {
    StringStream source;
    source.bytes = Pattern(size_t(size), char(size));
    d.dev.log.clear();
    ASSERT_EQ(fat.WriteFileFrom(C("s.bin"), source, size), size) << size;
    auto streamed = d.dev.log;
    StringStream sink;
    ASSERT_EQ(fat.ReadFileTo(C("s.bin"), sink, size), size) << size;
    EXPECT_EQ(sink.bytes, source.bytes) << size;
    std::string e = Entry(fat, "s.bin");
    ASSERT_EQ(fat.RemoveFile(e.data()), 0);
    d.dev.log.clear();
    ASSERT_EQ(d.Write("s.bin", source.bytes), size);
    ASSERT_EQ(d.dev.log.size(), streamed.size()) << size;
    for (size_t i = 0; i < streamed.size(); ++i)
      EXPECT_TRUE(streamed[i].op == d.dev.log[i].op && streamed[i].count == d.dev.log[i].count)
          << size << " request " << i;
    ASSERT_EQ(fat.RemoveFile(e.data()), 0);
  }
  const std::string old = Pattern(kCluster + 9, 4);
  ASSERT_EQ(d.Write("s.bin", old), int(old.size()));
  for (size_t failAfter : {size_t(0), size_t(100), size_t(1) << 20, (size_t(2) << 20) + 512}) {
    for (const char* name : {"s.bin", "new.bin"}) {
      StringStream source;
      source.bytes = Pattern((2 << 20) + 513, 7);
      source.failAfter = failAfter;
      fat.lastError = 0;
      EXPECT_EQ(fat.WriteFileFrom(C(name), source, int(source.bytes.size())), -1) << failAfter;
      EXPECT_EQ(fat.lastError, -10);
      EXPECT_EQ(d.Read(name), name[0] == 's' ? old : "<missing>") << name << " " << failAfter;
      EXPECT_TRUE(Problems().empty()) << failAfter;
    }
  }
  // A source shorter than the size it was given fails the same way.
  StringStream shortSource;
  shortSource.bytes = Pattern(1000, 5);
  EXPECT_EQ(fat.WriteFileFrom(C("s.bin"), shortSource, 2000), -1);
  EXPECT_EQ(d.Read("s.bin"), old);
  StringStream sink;
  sink.failAfter = 512;
  EXPECT_EQ(fat.ReadFileTo(C("s.bin"), sink, int(old.size())), -1);
  EXPECT_EQ(fat.lastError, -10);
}

// A group's data waits in memory and goes to the device before its FAT,
// in one request per run of contiguous clusters: for a group laid out in
// one free stretch, one at the commit and one for each 1 MB held before,
// one per hole in a fragmented free space. Either way each file reads back
// byte for byte, past its end its last cluster holds zeros (not what the
// cluster held before), and with verify on every run is read back.
TEST_F(FileTest, AGroupsDataGoesAtItsCommitInOneRequestPerClusterRun) {
  struct Case {
    bool fragmented;
    bool verify;
  };
  for (const Case& c : {Case{false, false}, Case{false, true}, Case{true, false}}) {
    TestDisk t;
    FAT_DEVICE& f = *t.fat;
    SCOPED_TRACE(std::string(c.fragmented ? "fragmented" : "contiguous") + (c.verify ? ", verify" : ""));
    // Freed clusters still holding bytes; fragmented: every other one of
    // clusters 2 .. 81 stays in use.
    ASSERT_EQ(t.Write("junk", std::string(80 * kCluster, 'j')), 80 * kCluster);
    ASSERT_EQ(f.RemoveFile(const_cast<char*>(Entry(f, "junk").data())), 0);
    char name[32];
    if (c.fragmented) {
      for (int i = 0; i < 80; ++i) {
        snprintf(name, sizeof name, "K%d", i);
        ASSERT_EQ(t.Write(name, "k"), 1);
      }
      for (int i = 1; i < 80; i += 2) {
        snprintf(name, sizeof name, "K%d", i);
        ASSERT_EQ(f.RemoveFile(const_cast<char*>(Entry(f, name).data())), 0);
      }
    }
    std::vector<std::string> files;
    for (int size : {1, 511, 512, 513, kCluster - 1, kCluster, kCluster + 1, 3000, 2 * kCluster + 7})
      files.push_back(Pattern(size_t(size), char(size)));
    if (!c.fragmented) files.push_back(Pattern(size_t(60 * kCluster - 5), 60));  // past 1 MB held
    f.verify = c.verify;
    t.dev.log.clear();
    f.BeginFileGroup();
    uint32_t clusters = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      snprintf(name, sizeof name, "G%zu.BIN", i);
      int size = int(files[i].size());
      if (i % 2) {  // a streamed PC file is held alike
        StringStream source;
        source.bytes = files[i];
        ASSERT_EQ(f.WriteFileFrom(name, source, size), size) << name;
      } else {
        ASSERT_EQ(t.Write(name, files[i]), size) << name;
      }
      clusters += uint32_t((files[i].size() + kCluster - 1) / kCluster);
    }
    ASSERT_EQ(f.EndFileGroup(), 0);
    EXPECT_TRUE(f.TakeLostFiles().empty());
    // Each commit: its data, its FAT, its entries (a slow run may have
    // committed at the time bound, in two groups).
    const uint32_t data = f.curPart->firstDataSector;
    std::string order;
    uint32_t written = 0, reads = 0, readBack = 0, pieces = 0;
    for (const auto& r : t.dev.log) {
      if (r.op == 'W') order += r.sector >= data ? 'D' : r.sector >= data - 32 ? 'E' : 'F';
      if (r.op == 'W' && r.sector >= data) written += r.count, pieces += (r.count + 2047) / 2048;
      if (r.op == 'R' && r.sector >= data) ++reads, readBack += r.count;
    }
    size_t runs = 0, commits = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      runs += order[i] == 'D';
      commits += order[i] == 'D' && (i + 1 == order.size() || order[i + 1] != 'D');
    }
    EXPECT_TRUE(std::regex_match(order, std::regex("(D+F+E+)+"))) << order;
    EXPECT_EQ(written, clusters * 32);
    if (c.fragmented) {
      EXPECT_EQ(runs, size_t(clusters)) << order;
    } else {
      EXPECT_LE(runs, commits + clusters / 64) << order;
    }
    EXPECT_EQ(readBack, c.verify ? clusters * 32 : 0);
    EXPECT_EQ(reads, c.verify ? pieces : 0) << "read back in pieces of 2048 sectors";
    auto again = t.Reopen();
    t.fat.swap(again);
    for (size_t i = 0; i < files.size(); ++i) {
      snprintf(name, sizeof name, "G%zu.BIN", i);
      EXPECT_EQ(t.Read(name), files[i]) << name;
      ASSERT_EQ(t.fat->SearchFile(kMaskFiles, const_cast<char*>(Entry(*t.fat, name).data())), 0);
      unsigned last = bytes::Get16(t.fat->curPart->currentEntry + 26);
      for (size_t k = kCluster; k < files[i].size(); k += kCluster) last = t.fat->NextFatEntry(last);
      if (c.fragmented) {
        EXPECT_EQ(last % 2, 1u) << name << " lies in a hole";
      }
      const size_t tail = files[i].size() % kCluster;
      for (size_t b = tail ? tail : kCluster; b < kCluster; ++b)
        ASSERT_EQ(t.dev.Get(0, data + (last - 2) * 32 + uint32_t(b / 512))[b % 512], 0) << name << " byte " << b;
    }
    EXPECT_TRUE(CheckVolume(t.dev, t.fat->curPart->startSector).empty());
  }
}

// A data write failing in a group's commit loses that group alone, the way
// a failed FAT commit does: its files are named lost and are not on the
// disk, the file one of them replaced keeps its old data, the files of the
// groups committed before are whole, and the disk is sound.
TEST_F(FileTest, AFailedDataWriteInTheCommitLosesOnlyTheOpenGroup) {
  const std::string old = Pattern(5000, 7);
  ASSERT_EQ(d.Write("old.txt", old), 5000);
  std::vector<std::pair<std::string, std::string>> files;  // entry text, data
  for (int i = 0; i < 64; ++i)  // the 64th file commits the first group
    files.emplace_back("A" + std::to_string(i) + ".TXT", Pattern(size_t(100 + i), char(i)));
  files.emplace_back("B.TXT", Pattern(700, 1));
  files.emplace_back("OLD.TXT", Pattern(900, 2));
  files.emplace_back("C.TXT", Pattern(kCluster + 3, 3));
  fat.BeginFileGroup();
  for (const auto& [name, data] : files) ASSERT_EQ(d.Write(name.c_str(), data), int(data.size()));
  d.dev.log.clear();
  d.dev.failOneWriteAfter = 0;
  EXPECT_EQ(fat.EndFileGroup(), -1);
  ASSERT_FALSE(d.dev.log.empty());
  EXPECT_EQ(d.dev.log[0].op, 'W');
  EXPECT_GE(d.dev.log[0].sector, fat.curPart->firstDataSector) << "the data write failed";
  // The open group: the last files stored (B, OLD and C, unless a slow run
  // committed at the time bound in between).
  std::vector<std::string> lost = fat.TakeLostFiles();
  ASSERT_TRUE(!lost.empty() && lost.size() <= 64 && lost.back() == "C.TXT");
  const size_t open = files.size() - lost.size();
  for (size_t i = 0; i < lost.size(); ++i) EXPECT_EQ(lost[i], files[open + i].first);
  auto again = d.Reopen();
  d.fat.swap(again);
  for (size_t i = 0; i < files.size(); ++i) {
    const auto& [name, data] = files[i];
    EXPECT_EQ(d.Read(name.c_str()), i < open ? data : name == "OLD.TXT" ? old : "<missing>") << name;
  }
  EXPECT_TRUE(CheckVolume(d.dev, d.fat->curPart->startSector).empty());
}

// A commit writes only the FAT sectors that changed, to every copy, and the
// copies end exactly as whole-copy commits leave them: equal to the image.
// The first commit after a load writes the copies whole, so copies that
// differed on the device agree again. The copies' changed sectors are
// reached with one transfer of the stretch between them, which holds what
// the image holds, however far apart they lie (a large FAT too).
TEST(FatCommitTest, SmallWritesCommitOnlyTheChangedSectorsToEveryCopy) {
  for (bool large : {false, true}) {
    SCOPED_TRACE(large ? "large FAT" : "small FAT");
    // C: FAT16 of 70 MB (32 FAT sectors) or 400 MB (more than 64).
    TestDisk d(large ? 26000 : 5000, {large ? 409600 : 70000, 256, -1, 0});
    const uint32_t fat1 = d.fat->curPart->startSector + d.fat->curPart->reservedSectors;
    const uint32_t spf = d.fat->curPart->sectorsPerFat;
    ASSERT_EQ(spf > 64, large);
    using Writes = std::vector<std::pair<uint32_t, uint32_t>>;
    auto fatWrites = [&] {
      Writes w;
      for (const auto& r : d.dev.log)
        if (r.op == 'W' && r.sector >= fat1 && r.sector < fat1 + 2 * spf) w.push_back({r.sector, r.count});
      d.dev.log.clear();
      return w;
    };
    // What separate runs [sector, count) of the two copies are written as.
    auto expect = [&](Writes runs) {
      return Writes{{runs.front().first, runs.back().first + runs.back().second - runs.front().first}};
    };
    auto copiesAreTheImage = [&] {
      for (uint32_t copy = 0; copy < 2; ++copy)
        for (uint32_t i = 0; i < spf; ++i)
          if (memcmp(d.dev.Get(0, fat1 + copy * spf + i).data(), d.fat->curPart->fat + i * 512, 512) != 0)
            return false;
      return true;
    };
    const int cluster = int(d.fat->curPart->sectorsPerCluster) * 512;
    ASSERT_EQ(d.Write("big.bin", Pattern(300 * cluster, 1)), 300 * cluster);  // clusters 2..301
    EXPECT_EQ(fatWrites(), expect({{fat1, spf}, {fat1 + spf, spf}})) << "first commit after the load";
    ASSERT_EQ(d.Write("small.txt", "x"), 1);  // cluster 302: FAT sector 1
    EXPECT_EQ(fatWrites(), expect({{fat1 + 1, 1}, {fat1 + spf + 1, 1}}));
    EXPECT_TRUE(copiesAreTheImage());
    std::string big = Entry(*d.fat, "big.bin");
    ASSERT_EQ(d.fat->RemoveFile(big.data()), 0);  // frees entries in FAT sectors 0 and 1
    EXPECT_EQ(fatWrites(), expect({{fat1, 2}, {fat1 + spf, 2}}));
    EXPECT_TRUE(copiesAreTheImage());

    d.dev.At(0, fat1 + spf + 10)[7] = 0x5A;  // the second copy differs
    auto again = d.Reopen();
    d.fat.swap(again);
    ASSERT_EQ(d.Write("third.txt", "y"), 1);
    EXPECT_EQ(fatWrites(), expect({{fat1, spf}, {fat1 + spf, spf}}));
    EXPECT_TRUE(copiesAreTheImage());
    EXPECT_TRUE(CheckVolume(d.dev, d.fat->curPart->startSector).empty());
  }
}

}  // namespace
