// MCI against the model: the load record, handles, the player's answers
// and their messages.

#include "shell_fixture.h"
#include "tervlink/bytes.h"
#include "tervlink/service_records.h"

namespace {

using MediaShell = ShellOnModel;

TEST_F(MediaShell, LoadRecordBytes) {
  EXPECT_EQ(Run("MCI /CLOAD /Tmp3 +ASAP +LOCK \\music\\a.mp3"), 1);
  const std::vector<uint8_t>& rec = t_.writes.back();
  ASSERT_EQ(rec.size(), 58u);
  std::vector<uint8_t> want(58, 0);
  want[0] = 0x18;
  want[2] = 4;
  want[4] = 0xF2;
  want[5] = 0xFF;
  want[18] = 1;
  const char path[] = "\\MUSIC\\A.MP3";
  memcpy(&want[26], path, sizeof path - 1);
  EXPECT_EQ(rec, want);

  EXPECT_EQ(Run("MCI /cload /twave /Pmci_unithead /L3 /M20 /N40 +ENDLOOP -endloop +lyric x.wav y.wav"), 1);
  MciLoadRecord r = DecodeMciLoad(t_.writes.back());
  EXPECT_EQ(r.type, 1);
  EXPECT_EQ(r.position, kMciUnitHead);
  EXPECT_EQ(r.flags, kMciFlagLyric);
  EXPECT_EQ(r.loops, 3);
  EXPECT_EQ(r.loopGap, 20);
  EXPECT_EQ(r.endGap, 40);
  EXPECT_STREQ(reinterpret_cast<const char*>(r.path.data()), "Y.WAV");

  EXPECT_EQ(Run("MCI /CLOAD /Tmidi x.mid"), 1);  // midi is offered by the help text
  EXPECT_EQ(DecodeMciLoad(t_.writes.back()).type, 3);
}

TEST_F(MediaShell, ArgumentErrorsSendNothing) {
  t_.Clear();
  for (const char* line :
       {"MCI /CLOAD /Tmp3", "MCI /CLOAD /Togg a.ogg", "MCI /CLOAD /X1 a", "MCI /CLOAD +LOUD a",
        "MCI /CLOAD /Lx a", "MCI /CLOAD /Pnowhere a", "MCI /CLOAD 0123456789012345678901234567890123",
        "MCI /CSTOP now", "MCI /CPAUSE 1", "MCI /CPLAY /Imaybe", "MCI /CPLAY /X", "MCI /CPLAY zz",
        "MCI /CCANCEL 1 2", "MCI /CDELETE nothing", "MCI /CUNLOCK mci_activeunit", "MCI /C",
        "MCI /CJUMP", "MCI CLOAD"})
    EXPECT_EQ(Run(line), -2) << line;
  EXPECT_TRUE(t_.blocks.empty());
  EXPECT_EQ(Run("MCI"), 1);
  EXPECT_EQ(Run("MCI /CSEEK 100"), 1);
  EXPECT_TRUE(t_.blocks.empty());
}

TEST_F(MediaShell, HandlesAreSignExtendedParameters) {
  ASSERT_EQ(Run("MCI /CLOAD a.mp3"), 1);
  EXPECT_EQ(Run("MCI /CCANCEL mci_playlist"), 1);
  EXPECT_EQ(t_.LastBlock().Param32(12), uint32_t(-10));
  EXPECT_EQ(Run("MCI /CDELETE"), -1);  // no active unit
  EXPECT_EQ(t_.LastBlock().Param32(12), uint32_t(-9));
  EXPECT_EQ(Run("MCI /CDELETE 0x0001"), 1);
  EXPECT_EQ(t_.LastBlock().Param32(12), 1u);
  EXPECT_EQ(Take(), "无效MCI流单元或位置\n");
}

TEST_F(MediaShell, PlayStateEnumAndStop) {
  EXPECT_EQ(Run("MCI /CENUM"), 1);
  EXPECT_EQ(Take(), "    句柄    流类型 流状态(锁定)  标题\n    total unitlist=0\n\n"
                    "    total playlist=0\n\n");
  EXPECT_EQ(Run("MCI /CSTATE"), 1);
  EXPECT_EQ(Take(), "  MCI设备处于停止状态\n");
  ASSERT_EQ(Run("MCI /CLOAD /Tmp3 \\a.mp3"), 1);
  ASSERT_EQ(Run("MCI /CLOAD /Twma /PMCI_UNITTAIL \\b.wma"), 1);
  ASSERT_EQ(Run("MCI /CLOAD /Tg729 /PMCI_PLAYHEAD \\c.729"), 1);
  EXPECT_EQ(Run("MCI /CENUM"), 1);
  EXPECT_EQ(Take(), "    句柄    流类型 流状态(锁定)  标题\n"
                    "  0x0001   MP3\n  0x0002   WMA\n  0x0003   G729\n    total unitlist=3\n\n"
                    "  0x0003   G729\n  0x0001   MP3\n    total playlist=2\n\n");
  EXPECT_EQ(Run("MCI /CPLAY"), 1);
  EXPECT_EQ(Run("MCI /CSTATE"), 1);
  EXPECT_EQ(Take(), "  MCI设备处于工作状态\n");
  EXPECT_EQ(Run("MCI /CNEXT"), 1);
  EXPECT_EQ(Run("MCI /CNEXT"), -1);
  EXPECT_EQ(Take(), "无效MCI流单元或位置\n");
  EXPECT_EQ(Run("MCI /CPAUSE"), 1);
  EXPECT_EQ(Run("MCI /CSTATE"), 1);
  EXPECT_EQ(Take(), "  MCI设备处于暂停状态\n");
  EXPECT_EQ(Run("MCI /cplay /ifalse 0x0002"), 1);
  EXPECT_EQ(t_.writes.back(), (std::vector<uint8_t>{2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Run("MCI /CSTOP"), 1);
  EXPECT_EQ(Run("MCI /CSTOP"), -1);
  EXPECT_EQ(Take(), "MCI设备处于空闲或停止状态\n");
}

TEST_F(MediaShell, PlayerRefusals) {
  EXPECT_EQ(Run("MCI /CPLAY 0x0009"), -1);
  EXPECT_EQ(Take(), "无效MCI流单元或位置\n");
  ASSERT_EQ(Run("MCI /CLOAD +LOCK \\a.mp3"), 1);
  EXPECT_EQ(Run("MCI /CDELETE 1"), -1);
  EXPECT_EQ(Take(), "MCI设备忙，不能执行指定的命令\n");
  EXPECT_EQ(Run("MCI /CUNLOCK 1"), 1);
  EXPECT_EQ(Run("MCI /CDELETE 1"), 1);
  // A stream type without a decoder and flags the player does not know.
  MciLoadRecord r;
  r.type = 7;
  r.path[0] = 'A';
  auto raw = EncodeMciLoad(r);
  EXPECT_EQ(dev_.MciSendCommand(0, kMciLoad, reinterpret_cast<uintptr_t>(raw.data())), -240);
  r.type = 4;
  r.flags = 0x01;
  raw = EncodeMciLoad(r);
  EXPECT_EQ(dev_.MciSendCommand(0, kMciLoad, reinterpret_cast<uintptr_t>(raw.data())), -235);
  r.flags = 0;
  r.path.fill('A');  // no terminator
  raw = EncodeMciLoad(r);
  EXPECT_EQ(dev_.MciSendCommand(0, kMciLoad, reinterpret_cast<uintptr_t>(raw.data())), -234);
}

// An answer outside the message table prints nothing.
TEST_F(MediaShell, AnswerWithoutMessage) {
  t_.model = nullptr;
  t_.reply = {0, -239};
  EXPECT_EQ(Run("MCI /CSTOP"), -1);
  EXPECT_EQ(Run("MCI /CLOAD a.mp3"), -1);
  EXPECT_EQ(Take(), "");
  t_.reply = {0, 3};
  EXPECT_EQ(Run("MCI /CSTATE"), -1);
  EXPECT_EQ(Take(), "");
  t_.reply = {0, -236};
  EXPECT_EQ(Run("MCI /CNEXT"), -1);
  EXPECT_EQ(Take(), "无效MCI流命令\n");
}

}  // namespace
