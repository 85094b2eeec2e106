// The real zelsim binary under the library's driver link: what is written
// survives a kill and a restart, and the NAND file it keeps can be read by
// anyone who knows the layout.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "../support/background_program.h"
#include "nand_test_support.h"
#include "tervlink/host/host.h"
#include "tervlink/zel_device_io.h"

namespace {

const char kDevicePath[] = "\\\\.\\lexon9";

// One zelsim process serving lexon9 (or another device, so that tests can
// run side by side), started through the shell.
class Zelsim {
 public:
  explicit Zelsim(std::string state, int device = 9)
      : state_(std::move(state)), device_(device),
        path_("\\\\.\\lexon" + std::to_string(device)) {}
  ~Zelsim() { Stop(); }

  // Starts zelsim and waits until it serves its socket (it says so on its
  // log); false when it ends first (its standard error is in log()). The
  // wait makes no request, so a connection the library kept from before a
  // restart is still there for the test's own next request. There is no
  // deadline: the first start fills a 138 MB NAND file, which takes as long
  // as a busy machine needs (CTest's timeout ends a zelsim that hangs).
  bool Start(const std::string& options = "") {
    setenv("TERVAN_RUNDIR", (ProgramTestDir() / "run").c_str(), 1);
    host::MakeDirs(host::RunDir());
    std::string device = std::to_string(device_);
    std::filesystem::remove(host::RunDir() + "/lexon" + device);  // left by a killed zelsim
    std::string cmd = std::string("'") + ZELSIM_PATH + "' --state '" + state_ + "' --device " +
                      device + " " + options + " 2>>'" + Log() + "'";
    size_t served = Served();
    if (!program_.Start(cmd, state_)) return false;
    while (Served() == served) {
      if (!program_.Running()) return false;
      host::Sleep(50);
    }
    return true;
  }
  // How many times the log says a start served the socket.
  size_t Served() const {
    std::ifstream log(Log());
    std::string line;
    size_t n = 0;
    while (std::getline(log, line)) n += line.rfind("zelsim: serving", 0) == 0;
    return n;
  }
  long Pid() const { return program_.Pid(); }
  // Ends zelsim with the signal and waits until it is gone; its exit status
  // (0 for SIGTERM, which it handles).
  int Stop(const char* signal = "TERM") { return program_.Stop(signal); }
  std::string Log() const { return state_ + "/zelsim.log"; }

 private:
  std::string state_;
  int device_;
  std::string path_;
  BackgroundProgram program_;
};

TEST(ZelsimBinary, SectorsSurviveAKillAndTheFileCarriesTheBlockAddressWords) {
  std::string state = FreshDir("binary");
  Zelsim sim(state);
  ASSERT_TRUE(sim.Start()) << "see " << sim.Log();
  ZEL_DEVICE_IO device(kDevicePath, 0);

  // Every write that was answered must be there after a kill -9, wherever
  // the kill falls: zelsim is killed after the third and after the last
  // write, and the disk is compared with what was acknowledged. The writes
  // give out blocks (logical blocks 0, 3 and 1000, that is block 0 of zone
  // 1), run over two blocks, and overwrite part of a block already written.
  struct Write {
    uint32_t sector, count;
    uint8_t seed;
  };
  const Write writes[] = {
      {0, 2, 0x33}, {3 * 32 + 1, 2, 0x33}, {1000 * 32 + 2, 2, 0x33},
      {998 * 32 + 20, 30, 0x44}, {998 * 32 + 10, 12, 0x55}, {1, 1, 0x66},
  };
  std::map<uint32_t, std::vector<uint8_t>> acknowledged;  // sector -> its bytes
  auto verify = [&] {
    for (auto& [s, bytes] : acknowledged) {
      std::vector<uint8_t> back(512);
      ASSERT_EQ(device.Read(s, 1, reinterpret_cast<char*>(back.data())), 0) << s;
      EXPECT_EQ(back, bytes) << s;
    }
  };
  int done = 0;
  for (const Write& w : writes) {
    auto data = Pattern(w.sector, w.count, w.seed);
    ASSERT_EQ(device.Write(w.sector, w.count, reinterpret_cast<char*>(data.data())), 0) << w.sector;
    for (uint32_t i = 0; i < w.count; ++i)
      acknowledged[w.sector + i].assign(data.begin() + i * 512, data.begin() + (i + 1) * 512);
    if (++done == 3 || done == int(std::size(writes))) {
      sim.Stop("KILL");
      // The library's kept connection died with zelsim: the next request
      // (the first since the restart: the start waits without one) reaches
      // the new one without anyone noticing.
      ASSERT_TRUE(sim.Start("--trace")) << "see " << sim.Log();
      verify();
    }
  }

  partition cap;
  ASSERT_EQ(device.DiskReadCapacity(&cap, 0), 0);
  EXPECT_EQ(cap.cylinders * cap.heads * cap.sectorsPerTrack, 256000u);
  EXPECT_EQ(device.Switch(0), 1);
  _ZEL_NANDINFO info;
  ASSERT_EQ(device.NandInfo(&info), 0);
  EXPECT_EQ(info.Zones, 8u);
  EXPECT_EQ(info.BlockPerZone, 1024u);
  EXPECT_EQ(info.ManuID, 0x98u);
  EXPECT_EQ(device.LowFormat(), -10001);
  EXPECT_EQ(sim.Stop(), 0);

  // Read by the layout alone: 528-byte sectors, block address words in
  // spare bytes 6-7 and 11-12.
  std::string file = state + "/disk0.nand";
  EXPECT_EQ(std::filesystem::file_size(file), 262144ull * 528);
  struct Expect {
    uint64_t physicalSector;
    uint16_t word;
  };
  const Expect expects[] = {
      {4 * 32, 0x1001},            // logical block 0 in zone 0, block 4
      {5 * 32 + 31, 0x1007},       // logical block 3 in zone 0, block 5
      {(1024 + 1) * 32, 0x1001},   // logical block 1000 in zone 1, block 1
  };
  for (const Expect& e : expects) {
    uint16_t w = SlcSpareWord(file, e.physicalSector);
    EXPECT_EQ(w, e.word) << e.physicalSector;
    EXPECT_TRUE(EvenParity(w)) << e.physicalSector;
  }
  EXPECT_EQ(FileBytes(file, (5 * 32 + 1) * 528, 512), Pattern(3 * 32 + 1, 1, 0x33));
  // The trace shows the command blocks of the runs after the kills.
  std::ifstream log(sim.Log());
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("41 00 00 00 00 02 00 00 00 00 00 00 01 00 00 00"), std::string::npos);
}

// Two zelsims on one state (through other sockets) would each write the
// same files from their own view: the second is refused, naming what is
// held and by whom, until the first is gone, killed or not.
TEST(ZelsimBinary, ASecondZelsimOnTheSameStateOrNandFileIsRefused) {
  std::string state = FreshDir("locked");
  std::string other = FreshDir("locked-other");
  Zelsim sim(state, 8);
  ASSERT_TRUE(sim.Start()) << "see " << sim.Log();
  long pid = sim.Pid();
  auto second = [&](const std::string& options, std::string& said) {
    // A refused zelsim ends at once; one that serves is stopped (status 124).
    std::string cmd = "TERVAN_RUNDIR='" + other + "/run' timeout 120 '" + ZELSIM_PATH + "' " +
                      options + " --device 8 2>'" + other + "/said'; echo $? >'" + other + "/rc'";
    std::system(cmd.c_str());
    std::ifstream in(other + "/said");
    said.assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int rc = -1;
    std::ifstream(other + "/rc") >> rc;
    return rc;
  };
  std::string said;
  EXPECT_EQ(second("--state '" + state + "'", said), 1) << said;
  EXPECT_NE(said.find("the state folder " + state + " is in use by process " + std::to_string(pid)),
            std::string::npos) << said;
  EXPECT_EQ(second("--state '" + other + "' --nand0 '" + state + "/disk0.nand'", said), 1) << said;
  EXPECT_NE(said.find("the NAND file " + state + "/disk0.nand is in use by process"),
            std::string::npos) << said;
  sim.Stop("KILL");
  ASSERT_TRUE(sim.Start()) << "see " << sim.Log();
  EXPECT_EQ(sim.Stop(), 0);
  std::filesystem::remove_all(state);
  std::filesystem::remove_all(other);
}

TEST(ZelsimBinary, RefusesAnUnknownChipAndABadFailSpec) {
  std::string state = FreshDir("options");
  for (const char* opts : {"--chip NOPE", "--fail 0x42@9-3", "--bad-blocks x", "--nand0"}) {
    std::string cmd = std::string("'") + ZELSIM_PATH + "' --state '" + state + "' " + opts +
                      " 2>/dev/null; echo $? >'" + state + "/rc'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    int rc = -1;
    std::ifstream(state + "/rc") >> rc;
    EXPECT_EQ(rc, 2) << opts;
  }
  // --help and --version print on standard output and succeed, with no state.
  for (const char* opt : {"--help", "--version"}) {
    std::string cmd = std::string("'") + ZELSIM_PATH + "' " + opt + " >'" + state + "/out'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << opt;
    std::ifstream out(state + "/out");
    std::string first;
    std::getline(out, first);
    EXPECT_TRUE(first.rfind("zelsim", 0) == 0 || first.rfind("usage: zelsim", 0) == 0) << opt;
  }
}

}  // namespace
