// DATE, TIMEZONE, ALARM, CAPS, BEEP, REBOOT and LOCAL against the model.

#include "shell_fixture.h"
#include "tervlink/bytes.h"

namespace {

using SettingsShell = ShellOnModel;

TEST_F(SettingsShell, DateSetAndReadBackWithDerivedWeekDay) {
  EXPECT_EQ(Run("DATE 2009 5 8 14 30 0"), 1);
  // The day of week sent is computed from the date (a Friday).
  EXPECT_EQ(t_.writes.back(), (std::vector<uint8_t>{0xD9, 7, 5, 0, 5, 0, 8, 0, 14, 0, 30, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Run("DATE"), 1);
  EXPECT_EQ(Take(), "当前日期：2009-05-08 星期五\n当前时间：14:30: 0\n");
  EXPECT_EQ(Run("DATE 2000 2 29 23 59 59"), 1);
  EXPECT_EQ(Run("DATE"), 1);
  EXPECT_EQ(Take(), "当前日期：2000-02-29 星期二\n当前时间：23:59:59\n");
}

TEST_F(SettingsShell, DateRefusals) {
  t_.Clear();
  for (const char* line : {"DATE 1999 5 8 14 30 0", "DATE 2009 13 8 14 30 0", "DATE 2009 5 8 14 30",
                           "DATE 2009 5 8 14 30 0 1", "DATE /X", "DATE /C x", "DATE 2009 5 8 24 0 0"})
    EXPECT_EQ(Run(line), -2) << line;
  EXPECT_TRUE(t_.blocks.empty());
  // A day the month does not have is refused by the device.
  EXPECT_EQ(Run("DATE 2009 2 30 1 1 1"), -1);
  EXPECT_EQ(Run("DATE /c"), 1);
  EXPECT_EQ(t_.LastBlock().command, req::kSetLocalTime);
}

TEST_F(SettingsShell, TimeZone) {
  EXPECT_EQ(Run("TIMEZONE"), 1);
  EXPECT_EQ(Take(), "时区: (GMT+08:00) 中国标准时间");
  EXPECT_EQ(Run("TIMEZONE -5"), 1);
  EXPECT_EQ(int32_t(bytes::Get32(t_.writes.back().data())), -300);
  EXPECT_EQ(Run("TIMEZONE"), 1);
  EXPECT_EQ(Take(), "时区: (GMT-05:00)");
  EXPECT_EQ(Run("TIMEZONE 3"), 1);
  EXPECT_EQ(Run("TIMEZONE"), 1);
  EXPECT_EQ(Take(), "时区: (GMT+03:00)");
  EXPECT_EQ(Run("TIMEZONE 0"), 1);
  EXPECT_EQ(Run("TIMEZONE"), 1);
  EXPECT_EQ(Take(), "时区: (GMT) 格林威治标准时间");
  EXPECT_EQ(Run("TIMEZONE x"), -2);
  EXPECT_EQ(Run("TIMEZONE 1 2"), -2);
}

TEST_F(SettingsShell, TimeZoneHalfHourTruncates) {
  _ZEL_TIME_ZONE_INFORMATION z;
  z.Bias = -30;
  ASSERT_EQ(dev_.SetTimeZoneInformation(&z), 1);
  EXPECT_EQ(Run("TIMEZONE"), 1);
  EXPECT_EQ(Take(), "时区: (GMT) 格林威治标准时间");
}

TEST_F(SettingsShell, AlarmLifecycle) {
  EXPECT_EQ(Run("ALARM"), 1);
  EXPECT_EQ(Take(),
            "    ID  日期 小时:分钟  属性\n    ------------------------\n\n"
            "           系统ALARM事件0个\n");
  EXPECT_EQ(Run("ALARM /CSET /M30 5"), 1);
  EXPECT_EQ(Run("alarm /cset /d12 /h7 /m5 /sFOREVER 9"), 1);
  EXPECT_EQ(Run("ALARM /CSET /H23 3"), 1);
  EXPECT_EQ(Run("ALARM /CENUM"), 1);
  EXPECT_EQ(Take(),
            "    ID  日期 小时:分钟  属性\n    ------------------------\n"
            "    3          23       Onetime Alarm\n"
            "    5             30    Onetime Alarm\n"
            "    9   12      7 5     Forever Alarm\n"
            "\n           系统ALARM事件3个\n");
  EXPECT_EQ(Run("ALARM /CKILL 5"), 1);
  EXPECT_EQ(Run("ALARM /CKILL 5"), -1);  // gone already
  EXPECT_EQ(Run("ALARM /CRESET"), 1);
  EXPECT_EQ(Run("ALARM"), 1);
  EXPECT_NE(Take().find("系统ALARM事件0个"), std::string::npos);
}

TEST_F(SettingsShell, AlarmArgumentRules) {
  t_.Clear();
  for (const char* line : {"ALARM /CSET 5", "ALARM /CSET /M30", "ALARM /CKILL", "ALARM /CKILL 1 2",
                           "ALARM /CRESET 1", "ALARM /CENUM 1", "ALARM /CSTOP", "ALARM /S 1",
                           "ALARM /Sdaily /M1 1", "ALARM /Mx 1", "ALARM /Q1", "ALARM 5", "ALARM x"})
    EXPECT_EQ(Run(line), -2) << line;
  EXPECT_TRUE(t_.blocks.empty());
  // The device refuses a minute it cannot have.
  EXPECT_EQ(Run("ALARM /CSET /M75 1"), -1);
}

TEST_F(SettingsShell, CapsSetsOnlyTheMaskedFields) {
  EXPECT_EQ(Run("CAPS /Aoff /C40 /zon"), 1);
  ASSERT_EQ(t_.writes.back().size(), 68u);
  EXPECT_EQ(bytes::Get32(t_.writes.back().data()), 0x2021u);
  EXPECT_EQ(Run("CAPS /A65535 /C7 /Zoff /Toff /P4 /S33 /D250 /R12 /F50 /Boff /Voff"), 1);
  EXPECT_EQ(Run("CAPS"), 1);
  EXPECT_EQ(Take(),
            "ZEL设备配置信息\n---------------------------\n"
            "     自动关机时间         :  2147483647 秒\n"
            "     VIDEO状态            :  关\n"
            "     VIDEO对比度值        :  7\n"
            "     VIDEO刷新帧频        :  50 Hz\n"
            "     背光状态             :  关\n"
            "     蜂鸣器状态           :  关\n"
            "     键盘音状态           :  关\n"
            "     键盘扫描延迟时间     :  33 毫秒\n"
            "     键盘字符重复延迟时间 :  250 毫秒\n"
            "     键盘字符重复率       :  12 次/秒\n"
            "     主电池测量电压       :  3000 毫伏\n"
            "     备份电池测量电压     :  2900 毫伏\n"
            "     系统资源代码页       :  LANG_ENGLISH\n");
  for (const char* line : {"CAPS /X1", "CAPS /Von1", "CAPS /C", "CAPS x", "CAPS /Aonx"})
    EXPECT_EQ(Run(line), -2) << line;
  EXPECT_EQ(Run("CAPS /P99"), 1);
  EXPECT_EQ(Run("CAPS"), 1);
  EXPECT_NE(Take().find("系统资源代码页       :  NULL\n"), std::string::npos);
}

TEST_F(SettingsShell, CapsCannotChangeReadOnlyFields) {
  _ZELDEVICECAPS caps;
  caps.mask = (1u << 14) | (1u << 21) | (1u << 9);
  caps.fields[14] = 1;
  caps.fields[21] = 4;
  caps.fields[9] = 99;
  ASSERT_EQ(dev_.SetDeviceCaps(&caps), 1);
  _ZELDEVICECAPS got;
  got.mask = 0xFFFFFFFF;
  ASSERT_EQ(dev_.GetDeviceCaps(&got), 1);
  EXPECT_EQ(got.fields[14], 3000);
  EXPECT_EQ(got.fields[21], 1);  // one disk
  EXPECT_EQ(got.fields[9], 99);
  // A query fills only the fields its mask selects.
  got = {};
  got.mask = 1u << 21;
  ASSERT_EQ(dev_.GetDeviceCaps(&got), 1);
  EXPECT_EQ(got.fields[21], 1);
  EXPECT_EQ(got.fields[9], 0);
}

TEST_F(SettingsShell, BeepAndReboot) {
  EXPECT_EQ(Run("BEEP /F2000"), 1);
  EXPECT_EQ(t_.LastBlock().Param32(8), 2000u);
  EXPECT_EQ(t_.LastBlock().Param32(12), 1000u);
  EXPECT_EQ(Run("BEEP /f440 /d20"), 1);
  EXPECT_EQ(Run("BEEP /F5"), -1);  // below what the beeper plays
  EXPECT_EQ(Run("BEEP /X1"), -2);
  EXPECT_EQ(Run("BEEP 100"), -2);
  EXPECT_EQ(Run("REBOOT now"), -2);
  EXPECT_EQ(Run("REBOOT"), 1);
  EXPECT_EQ(t_.LastBlock().command, req::kReboot);
}

TEST_F(SettingsShell, LocalWritesDefaultsAndShowsThem) {
  EXPECT_EQ(Run("LOCAL"), 1);
  EXPECT_EQ(Take(), "  厂家信息  :  \n  产品序列号:  \n  硬件版本  :  \n");
  EXPECT_EQ(Run("LOCAL anything"), 1);
  const std::vector<uint8_t>& rec = t_.writes.back();
  ASSERT_EQ(rec.size(), 512u);
  EXPECT_EQ(std::string(rec.begin(), rec.begin() + 16), "7c3e91a0d54f28b6");
  EXPECT_EQ(rec[16], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec[176])), "SN000001");
  EXPECT_EQ(Run("LOCAL"), 1);
  EXPECT_EQ(Take(), "  厂家信息  :  澜星电子\n  产品序列号:  SN000001\n  硬件版本  :  0101\n");
  EXPECT_EQ(Run("LOCAL a b"), -2);
}

TEST_F(SettingsShell, LocalTextsAreBoundedByTheirFields) {
  // A record without any zero byte must not be read past its fields.
  std::vector<char> full(512, 'Z');
  ASSERT_EQ(dev_.WriteLocal(0, 1, full.data()), 1);
  EXPECT_EQ(Run("LOCAL"), 1);
  EXPECT_EQ(Take(), "  厂家信息  :  " + std::string(128, 'Z') + "\n  产品序列号:  " +
                        std::string(32, 'Z') + "\n  硬件版本  :  " + std::string(304, 'Z') + "\n");
}

}  // namespace
