// zelsim's service units in-process: persistence, restarts and the
// registry's own answers.

#include "shell_fixture.h"
#include "tervlink/service_records.h"

namespace {

using ModelServices = ShellOnModel;

TEST_F(ModelServices, StateSurvivesANewModel) {
  ASSERT_EQ(Run("TIMEZONE -5"), 1);
  ASSERT_EQ(Run("ALARM /CSET /H6 4"), 1);
  ASSERT_EQ(Run("CAPS /C12"), 1);
  ASSERT_EQ(Run("LOCAL x"), 1);
  ASSERT_EQ(Run("DATE 2010 1 2 3 4 5"), 1);
  ASSERT_EQ(Run("MCI /CLOAD \\a.mp3"), 1);
  DeviceModel again(Config(dir_));
  ASSERT_TRUE(again.Ok()) << again.Error();
  t_.model = &again;
  Take();
  ASSERT_EQ(Run("TIMEZONE"), 1);
  ASSERT_EQ(Run("ALARM"), 1);
  ASSERT_EQ(Run("LOCAL"), 1);
  ASSERT_EQ(Run("MCI /CENUM"), 1);
  std::string out = Take();
  EXPECT_NE(out.find("(GMT-05:00)"), std::string::npos);
  EXPECT_NE(out.find("系统ALARM事件1个"), std::string::npos);
  EXPECT_NE(out.find("SN000001"), std::string::npos);
  EXPECT_NE(out.find("total unitlist=1"), std::string::npos);
  _ZELDEVICECAPS caps;
  caps.mask = 1u << 5;
  ASSERT_EQ(dev_.GetDeviceCaps(&caps), 1);
  EXPECT_EQ(caps.fields[5], 12);
  t_.model = &model_;
}

TEST_F(ModelServices, RegistryKeepsOnlyWhatWasFlushed) {
  uint16_t k = 0;
  ASSERT_EQ(dev_.RegCreateKeyA(5, "Kept", &k), 0);
  ASSERT_EQ(dev_.RegFlushKey(k), 0);
  ASSERT_EQ(dev_.RegCreateKeyA(5, "Lost", &k), 0);
  DeviceModel again(Config(dir_));
  t_.model = &again;
  EXPECT_EQ(dev_.RegOpenKeyA(5, "kept", &k), 0);  // names match in any case
  EXPECT_EQ(dev_.RegOpenKeyA(5, "Lost", &k), kRegErrBadKey);
  t_.model = &model_;
}

TEST_F(ModelServices, RegistryAnswers) {
  uint16_t a = 0, b = 0;
  ASSERT_EQ(dev_.RegCreateKeyA(1, "A", &a), 0);
  EXPECT_GT(a, kHkeyLastRoot);
  ASSERT_EQ(dev_.RegCreateKeyA(a, "B", &b), 0);
  EXPECT_NE(a, b);
  char name[9] = {};
  EXPECT_EQ(dev_.RegEnumKeyA(a, 0, name, 8), 0);
  EXPECT_STREQ(name, "B");
  EXPECT_EQ(dev_.RegEnumKeyA(a, 1, name, 8), kRegErrNoMoreItems);
  EXPECT_EQ(dev_.RegEnumValueA(a, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            kRegErrNoMoreItems);
  uint8_t v = 1;
  EXPECT_EQ(dev_.RegSetValueExA(0x7777, "V", 0, 1, &v, 1), kRegErrBadKey);
  EXPECT_EQ(dev_.RegDeleteValueA(a, "V"), kRegErrBadKey);
  // Deleting a key ends the handles into its tree.
  EXPECT_EQ(dev_.RegDeleteKeyA(1, "A"), 0);
  EXPECT_EQ(dev_.RegSetValueExA(b, "V", 0, 1, &v, 1), kRegErrBadKey);
  EXPECT_EQ(dev_.RegCloseKey(a), kRegErrBadKey);
  // The fixed roots stay.
  EXPECT_EQ(dev_.RegDeleteKeyA(0, "APPS"), kRegErrBadKey);
  EXPECT_EQ(dev_.RegCloseKey(5), 0);
  // A value block naming more than 8 characters, sent past the library's check.
  RegValueBlock blk;
  blk.name = "NINECHARS";
  blk.type = 1;
  auto raw = EncodeRegValueBlock(blk);
  _ZEL_REQUEST rq;
  rq.command = req::kRegSetValueEx;
  rq.direction = kDirToDevice;
  rq.length = kRegBlockBytes;
  rq.SetParam16(8, 5);
  EXPECT_EQ(dev_.Request(rq, raw.data(), true), kRegErrNameTooLong);
}

TEST_F(ModelServices, RebootWithWantOsWaitsForTheSystem) {
  ModelConfig c = Config(dir_ + "/os");
  c.wantOs = true;
  DeviceModel m(c);
  t_.model = &m;
  EXPECT_EQ(dev_.Test(0), 1);
  ASSERT_EQ(dev_.Download("/dev/null"), -1);  // an empty file is refused
  m.State().osRunning = true;
  EXPECT_EQ(Run("BEEP"), 1);
  EXPECT_EQ(Run("REBOOT"), 1);
  EXPECT_EQ(dev_.Test(0), 1);
  EXPECT_EQ(Run("BEEP"), -1);  // the loader has no services
  t_.model = &model_;
}

TEST_F(ModelServices, RebootEmptiesThePlayerAndDropsUnflushedKeys) {
  ASSERT_EQ(Run("MCI /CLOAD +ASAP \\a.mp3"), 1);
  uint16_t k = 0;
  ASSERT_EQ(dev_.RegCreateKeyA(5, "Temp", &k), 0);
  ASSERT_EQ(Run("REBOOT"), 1);
  EXPECT_EQ(dev_.Test(0), 2);
  EXPECT_EQ(Run("MCI /CSTATE"), 1);
  EXPECT_EQ(Take(), "  MCI设备处于停止状态\n");
  EXPECT_EQ(dev_.RegOpenKeyA(5, "Temp", &k), kRegErrBadKey);
}

TEST(ModelStateFiles, CorruptFileStopsTheModel) {
  std::string dir = FreshStateDir("corrupt");
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/registry.bin") << "ZREG garbage";
  ModelConfig c;
  c.stateDir = dir;
  DeviceModel m(c);
  EXPECT_FALSE(m.Ok());
  EXPECT_NE(m.Error().find("registry.bin"), std::string::npos);
}

}  // namespace
