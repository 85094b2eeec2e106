// The whole program in-process against a real zelsim: the start-up waits in
// their order (with a sleep that only records), the OS download, and the
// exit status.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../support/background_program.h"
#include "../support/test_dir.h"
#include "tervan_main.h"
#include "tervlink/host/host.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint32_t> g_sleeps;
void RecordSleep(uint32_t ms) { g_sleeps.push_back(ms); }

class StartupTest : public ::testing::Test {
 protected:
  StartupTest() {
    setenv("TERVAN_RUNDIR", (dir / "run").c_str(), 1);
    g_sleeps.clear();
    previousSleep = host::SetSleep(RecordSleep);
    previousOut = host::SetOut(&out);
    oldCwd = fs::current_path();
  }
  ~StartupTest() override {
    fs::current_path(oldCwd);
    host::SetSleep(previousSleep);
    host::SetOut(previousOut);
  }
  // A zelsim started by the test ends well when stopped (and is gone
  // before its folder is removed).
  void TearDown() override {
    if (zelsim.Pid() > 0) {
      EXPECT_EQ(zelsim.Stop(), 0) << "zelsim's exit status";
    }
  }

  // Starts zelsim with the options and waits for its socket, as long as
  // zelsim runs (no deadline: a busy machine is slow, not wrong).
  // Its standard error (the --trace lines) goes to errors, or nowhere.
  void StartZelsim(const std::string& options, const std::string& errors = "/dev/null") {
    std::string cmd = std::string(ZELSIM_PATH) + " --state " + (dir / "state").string() + " " +
                      options + " 2>" + errors;
    ASSERT_TRUE(zelsim.Start(cmd, dir.string()));
    std::string wait = "while [ ! -S " + (dir / "run" / "lexon0").string() + " ] && [ ! -f " +
                       (dir / "status").string() + " ]; do sleep 0.02; done";
    std::system(wait.c_str());  // <chrono> does not compile with GBK literals
    ASSERT_TRUE(fs::exists(dir / "run" / "lexon0"));
  }

  int Run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return RunTervan(int(argv.size()), argv.data());
  }

  std::string Batch(const std::string& text) {
    std::string path = (dir / "job.bat").string();
    std::ofstream(path) << text;
    return "-B" + path;
  }

  TestDir testDir{"tervan-startup"};
  fs::path dir = testDir.path(), oldCwd;
  BackgroundProgram zelsim;
  host::StringOutput out;
  host::SleepFn previousSleep = nullptr;
  host::Output* previousOut = nullptr;
};

TEST_F(StartupTest, RunningDeviceWaitsOnlyBeforeTheCapabilityQuery) {
  StartZelsim("--disks 2");
  EXPECT_EQ(Run({"Tervan", Batch("ECHO up\n")}), 0);
  EXPECT_EQ(g_sleeps, std::vector<uint32_t>{4000});
  EXPECT_EQ(out.text.rfind("当前ZEL设备支持的磁盘数: 2\n", 0), 0u);
  EXPECT_NE(out.text.find("up \n"), std::string::npos);
}

// Start-up asks the device only what every run needs: its state, its
// disk count, each disk's geometry and the selection of disk 0. Partition
// tables, boot sectors and FATs wait for the first command that uses them.
TEST_F(StartupTest, AnEmptyBatchMakesAtMostFiveRequests) {
  std::string trace = (dir / "trace.txt").string();
  StartZelsim("--disks 2 --trace", trace);
  EXPECT_EQ(Run({"Tervan", Batch("")}), 0);
  ASSERT_EQ(zelsim.Stop(), 0);
  std::ifstream in(trace);
  int requests = 0, sectorReads = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.size() != 8 + 3 * 16 - 1 || line.rfind("zelsim: ", 0) != 0) continue;  // a command block
    ++requests;
    sectorReads += line.compare(8, 2, "41") == 0;
  }
  EXPECT_LE(requests, 5);
  EXPECT_GE(requests, 4);  // the trace was read
  EXPECT_EQ(sectorReads, 0);
  EXPECT_NE(out.text.find("当前操作磁盘: disk 0"), std::string::npos) << out.text;
}

TEST_F(StartupTest, LoaderGetsItsOsThenBothWaitsFollow) {
  StartZelsim("--want-os");
  std::string os = (dir / "rtos.bin").string();
  std::ofstream(os) << "an operating system";
  EXPECT_EQ(Run({"Tervan", "-D" + os, Batch("ECHO up\n")}), 0);
  EXPECT_EQ(g_sleeps, (std::vector<uint32_t>{2000, 4000}));
  EXPECT_NE(out.text.find("up \n"), std::string::npos);
}

TEST_F(StartupTest, EmptyOsFileIsAFailedDownload) {
  StartZelsim("--want-os");
  std::string os = (dir / "empty.bin").string();
  std::ofstream{os};
  EXPECT_EQ(Run({"Tervan", "-D" + os, Batch("ECHO never\n")}), -1);
  EXPECT_EQ(out.text, "download os failed.\n");
  EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(StartupTest, UsageExitTouchesNoDevice) {
  // No zelsim at all: -h must not even try the device.
  EXPECT_EQ(Run({"Tervan", "-h"}), -1);
  EXPECT_EQ(out.text.rfind("Tervan v0.10 Date: May  8 2009\n", 0), 0u);
  EXPECT_EQ(out.text.find("ZEL设备打开失败"), std::string::npos);
  EXPECT_TRUE(g_sleeps.empty());
  out.text.clear();
  EXPECT_EQ(Run({"Tervan", "-N"}), -1);
  EXPECT_NE(out.text.find("\nZEL设备号错误.\n"), std::string::npos);
  out.text.clear();
  EXPECT_EQ(Run({"Tervan", "-S"}), -1);
  EXPECT_NE(out.text.find("\n无效命令参数.\n"), std::string::npos);
  out.text.clear();
  EXPECT_EQ(Run({"Tervan", "-B" + std::string(260, 'x')}), -1);  // longer than 259 characters
  EXPECT_NE(out.text.find("\n无效命令参数.\n"), std::string::npos);
}

TEST_F(StartupTest, LongOptionsPrintAndSucceedWithoutTheDevice) {
  EXPECT_EQ(Run({"Tervan", "--version"}), 0);
  EXPECT_EQ(out.text, "Tervan v0.10 Date: May  8 2009\n");
  out.text.clear();
  EXPECT_EQ(Run({"Tervan", "--help"}), 0);
  EXPECT_EQ(out.text.rfind("Tervan v0.10 Date: May  8 2009\n", 0), 0u);
  EXPECT_NE(out.text.find("    --stop-on-error "), std::string::npos);
  EXPECT_EQ(out.text.find("ZEL设备打开失败"), std::string::npos);
  EXPECT_TRUE(g_sleeps.empty());
  out.text.clear();
  EXPECT_EQ(Run({"Tervan", "--stop"}), -1);  // an unknown long option is a bad option
  EXPECT_NE(out.text.find("\n无效命令参数.\n"), std::string::npos);
}

// The described messages stay on standard output; the reasons go beside
// them on standard error.
TEST_F(StartupTest, FailuresSayWhyOnStandardError) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"Tervan", "job.bat"}), -1);  // no -B, and no device either
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(out.text.ends_with("\nZEL设备打开失败.\n\n"));
  EXPECT_NE(err.find("'job.bat'"), std::string::npos) << err;
  EXPECT_NE(err.find("-Bjob.bat"), std::string::npos) << err;
  EXPECT_NE(err.find((dir / "run" / "lexon0").string()), std::string::npos) << err;
  EXPECT_NE(err.find("zelsim --state"), std::string::npos) << err;

  StartZelsim("--want-os");
  out.text.clear();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"Tervan", "-D" + (dir / "none.sys").string(), Batch("ECHO never\n")}), -1);
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.text, "download os failed.\n");
  EXPECT_NE(err.find((dir / "none.sys").string()), std::string::npos) << err;
}

// The default OS file is found whatever its case; a batch saved with a
// UTF-8 byte-order mark runs its first line; a line holding a zero byte runs
// not at all; a run with a failure goes on and ends with status 1;
// --stop-on-error ends the run at the first failure.
TEST_F(StartupTest, DefaultOsFileInAnyCaseBomAndStopOnError) {
  StartZelsim("--want-os");
  fs::current_path(dir);
  std::ofstream(dir / "Rtos.SYS") << "an operating system";
  using namespace std::string_literals;
  EXPECT_EQ(Run({"Tervan", Batch("\xEF\xBB\xBF" "ECHO first\nNOPE\nECHO x\0FORMAT\nECHO after\n"s)}), 1);
  EXPECT_NE(out.text.find("\nfirst \n'NOPE'不是有效的内部命令\n批处理文件第3行含有零字节, 整行未执行.\n"
                          "after \n"),
            std::string::npos)
      << out.text;
  out.text.clear();
  EXPECT_EQ(Run({"Tervan", "--stop-on-error", Batch("ECHO first\nEXIT now\nECHO after\n")}), 1);
  EXPECT_TRUE(out.text.ends_with("first \n'EXIT'执行失败, 错误码=-2\n")) << out.text;
}

}  // namespace
