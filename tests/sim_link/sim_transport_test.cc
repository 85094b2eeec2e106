// The PC side of the simulation link, against a scripted simulator on the
// real mailslots: link start, the packet handshakes and data toggles, bulk
// transfers, and whole requests of the device object byte for byte.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "test_support.h"
#include "tervlink/zel_device/sim_transport.h"

namespace {

const Bytes kHello = {0x00};
const Bytes kAck = {0x02};
const Bytes kNak = {0x0A};
const Bytes kStall = {0x0E};
const Bytes kPcAck = Hex("05 02");
const Bytes kInTokenReply = Hex("02 09 01 01");       // address 1, endpoint 2
const Bytes kInTokenControl = Hex("02 09 00 00");     // address 0, endpoint 0
const Bytes kTestBlock = Hex("10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
const Bytes kSetConfiguration = Hex("04 0D 00 00 03 00 09 01 00 00 00 00 00 00 00");
const Bytes kSetAddress = Hex("04 0D 00 00 03 00 05 01 00 00 00 00 00 00 00");
const char kDevicePath[] = "\\\\.\\lexon0";

Bytes HelloAnswer(int32_t state) { return Le32(uint32_t(state)); }

// The type-3 message carrying a command block in its wrapper, to address 1,
// endpoint 3, as data packet pid.
Bytes CommandMessage(uint8_t pid, const Bytes& block) {
  return Concat({Hex("03 01 81 01"), {pid}, Hex("AB 01 00 10"),
                 Bytes(block.begin() + 4, block.begin() + 8), block, Hex("00 00")});
}

// A data packet with the 12-byte status packet: status in byte 2, value in 4-7.
Bytes StatusPacket(uint8_t pid, uint8_t status, int32_t value) {
  return Concat({{pid, 0x00, 0x00, status, 0x00}, Le32(uint32_t(value)), Bytes(4 + 2, 0)});
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + 1);
  return b;
}

class SimTransportTest : public testing::Test {
 protected:
  void SetUp() override {
    runDir_ = FreshRunDir();
    InstallRecordingSleep();
    host::ClearFatalError();
  }
  void TearDown() override {
    device_.reset();
    SimCloseLink();
    RestoreSleep();
    host::ClearFatalError();
    std::filesystem::remove_all(runDir_);
  }
  // Starts the scripted simulator and brings the device object up over it.
  void StartDevice() {
    ASSERT_TRUE(peer_.Open());
    peer_.Start();
    device_ = std::make_unique<ZEL_DEVICE_IO>(kDevicePath, 1);
  }

  std::string runDir_;
  ScriptedPeer peer_;
  std::unique_ptr<ZEL_DEVICE_IO> device_;
};

// ---- link start ------------------------------------------------------------------

TEST_F(SimTransportTest, HelloAnswerFiveBringsLinkUpWithoutStandardRequests) {
  peer_.Expect(kHello).Send(HelloAnswer(5));
  ASSERT_TRUE(peer_.Open());
  peer_.Start();
  EXPECT_EQ(SimOpenLink(), 5);
  EXPECT_EQ(SimStartLink(5), 1);
  EXPECT_NE(SimCreateFile(kDevicePath, 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(RecordedSleeps().empty());
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, HelloAnswerZeroEnumeratesWithBothStandardRequests) {
  peer_.Expect(kHello).Send(HelloAnswer(0))
      .Expect(kSetConfiguration).Send(kAck)
      .Expect(kInTokenControl).Send(Hex("0B 00 00")).Expect(kPcAck)
      .Expect(kSetAddress).Send(kAck)
      .Expect(kInTokenControl).Send(Hex("0B 00 00")).Expect(kPcAck);
  ASSERT_TRUE(peer_.Open());
  peer_.Start();
  EXPECT_EQ(SimStartLink(SimOpenLink()), 1);
  EXPECT_EQ(RecordedSleeps(), (std::vector<uint32_t>{550, 1500, 1500}));
  EXPECT_NE(SimCreateFile(kDevicePath, 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, RefusedHelloLeavesEveryRequestFailingWithoutTraffic) {
  peer_.Expect(kHello).Send(HelloAnswer(-1));
  StartDevice();
  Bytes buffer(4096);
  EXPECT_EQ(device_->Test(0), -1);
  EXPECT_EQ(device_->Read(100, 8, reinterpret_cast<char*>(buffer.data())), -1);
  EXPECT_EQ(device_->Write(100, 8, reinterpret_cast<char*>(buffer.data())), -1);
  EXPECT_EQ(SimCreateFile(kDevicePath, 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(peer_.Finish(), "");  // nothing after the greeting
}

TEST_F(SimTransportTest, StalledSetConfigurationLeavesLinkDown) {
  peer_.Expect(kHello).Send(HelloAnswer(0)).Expect(kSetConfiguration).Send(kStall);
  StartDevice();
  EXPECT_EQ(device_->Test(0), -1);
  EXPECT_EQ(peer_.Finish(), "");  // no SET_ADDRESS, no request
}

TEST_F(SimTransportTest, StatusStageWithDataBytesFailsEnumeration) {
  peer_.Expect(kHello).Send(HelloAnswer(0))
      .Expect(kSetConfiguration).Send(kAck)
      .Expect(kInTokenControl).Send(Hex("0B 07 00 00")).Expect(kPcAck);
  ASSERT_TRUE(peer_.Open());
  peer_.Start();
  EXPECT_EQ(SimStartLink(SimOpenLink()), 0);
  EXPECT_EQ(peer_.Finish(), "");
}

ScriptedPeer* g_lateSimulator = nullptr;

// With no simulator yet the greeting says so plainly, once (which mailslot
// it waits for, and how to start zelsim; no fatal error), and then waits for
// the simulator's mailslot without polling; the simulator that comes (here
// during the 4 ms pause) is greeted.
TEST_F(SimTransportTest, GreetingWaitsForTheSimulatorAndSaysSoOnce) {
  peer_.Expect(kHello).Send(HelloAnswer(3));
  g_lateSimulator = &peer_;
  g_onSleep = [](size_t call) {
    if (call == 1) {
      ASSERT_TRUE(g_lateSimulator->Open());
      g_lateSimulator->Start();
    }
  };
  testing::internal::CaptureStderr();
  int state = SimOpenLink();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Tervan: ", 0), 0u) << err;
  EXPECT_EQ(err.find("Fatal Error"), std::string::npos) << err;
  EXPECT_NE(err.find(host::MailslotPath("c33_usb_snd_io")), std::string::npos) << err;
  EXPECT_NE(err.find("zelsim --state"), std::string::npos) << err;
  EXPECT_EQ(state, 3);
  EXPECT_EQ(RecordedSleeps(), std::vector<uint32_t>(1, 4));
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, ReceiveSlotHeldElsewhereFailsOpen) {
  auto other = host::CreateMailslot("c33_usb_rcv_io", host::kMaxMailslotMessage);
  ASSERT_NE(other, host::kInvalidMailslot);
  testing::internal::CaptureStderr();
  EXPECT_EQ(SimOpenLink(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Fatal Error: Can't Create USB transiver Simulation IO.\n");
  EXPECT_EQ(SimStartLink(-1), 0);
  host::CloseMailslot(other);
}

// ---- whole requests ----------------------------------------------------------------

TEST_F(SimTransportTest, EightSectorReadIsByteExactAndTogglesCarryOver) {
  const Bytes sectors = Pattern(4096);
  peer_.Expect(kHello).Send(HelloAnswer(1))
      // the read of 8 sectors from sector 100
      .Expect(Hex("03 01 81 01 03 AB 01 00 10 00 10 00 00 41 00 00 00 00 10 00 00"
                  " 64 00 00 00 08 00 00 00 00 00"))
      .Send(kAck)
      .Expect(Hex("06 01 01 40 03 00 10 00 00")).Send(Hex("00 10 00 00 03")).Send(sectors)
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 0, 8)).Expect(kPcAck)
      // the next request: endpoint 3 and endpoint 2 have both moved on to DATA1
      .Expect(CommandMessage(0x0B, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x0B, 0, 2)).Expect(kPcAck);
  StartDevice();
  Bytes buffer(4096);
  EXPECT_EQ(device_->Read(100, 8, reinterpret_cast<char*>(buffer.data())), 8);
  EXPECT_EQ(buffer, sectors);
  EXPECT_EQ(device_->Test(0), 2);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, EightSectorWriteSendsHeaderThenDataAsOneMessage) {
  const Bytes sectors = Pattern(4096);
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(Hex("03 01 81 01 03 AB 01 00 10 00 10 00 00 42 80 00 00 00 10 00 00"
                  " 64 00 00 00 08 00 00 00 00 00"))
      .Send(kAck)
      .Expect(Hex("07 81 01 40 0B 00 10 00 00")).Expect(sectors).Send(Hex("00 10 00 00 02"))
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 0, 0)).Expect(kPcAck);
  StartDevice();
  Bytes buffer = sectors;
  EXPECT_EQ(device_->Write(100, 8, reinterpret_cast<char*>(buffer.data())), 0);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, InTokenAnsweredNakThreeTimesThenData) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(kNak)
      .Expect(kInTokenReply).Send(kNak)
      .Expect(kInTokenReply).Send(kNak)
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 0, 2)).Expect(kPcAck);
  StartDevice();
  EXPECT_EQ(device_->Test(0), 2);
  EXPECT_EQ(RecordedSleeps(), (std::vector<uint32_t>{1, 1, 1}));
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, OutTokenAnsweredNakIsSentAgain) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kNak)
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 0, 2)).Expect(kPcAck);
  StartDevice();
  EXPECT_EQ(device_->Test(0), 2);
  EXPECT_EQ(RecordedSleeps(), (std::vector<uint32_t>{5}));
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, WrongToggleIsAcknowledgedButNotTakenAsReply) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x0B, 0, 2)).Expect(kPcAck)
      // endpoint 2 still expects DATA0
      .Expect(CommandMessage(0x0B, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 0, 2)).Expect(kPcAck);
  StartDevice();
  EXPECT_EQ(device_->Test(0), -1);
  EXPECT_EQ(device_->Test(0), 2);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, StalledCommandWrapperFailsRequestAndKeepsToggle) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kStall)
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 0, 2)).Expect(kPcAck);
  StartDevice();
  EXPECT_EQ(device_->Test(0), -1);  // no in token follows the stall
  EXPECT_EQ(device_->Test(0), 2);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, ReplyStatusAndValueComeFromStatusPacket) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x03, 1, 2)).Expect(kPcAck)
      .Expect(CommandMessage(0x0B, kTestBlock)).Send(kAck)
      .Expect(kInTokenReply).Send(StatusPacket(0x0B, 0, -190)).Expect(kPcAck);
  StartDevice();
  EXPECT_EQ(device_->Test(0), -1);    // the device did not carry it out
  EXPECT_EQ(device_->Test(0), -190);  // a negative answer passes through
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, ShortBulkInFailsRequestBeforeReply) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(Hex("03 01 81 01 03 AB 01 00 10 00 10 00 00 41 00 00 00 00 10 00 00"
                  " 64 00 00 00 08 00 00 00 00 00"))
      .Send(kAck)
      .Expect(Hex("06 01 01 40 03 00 10 00 00")).Send(Hex("00 08 00 00 03")).Send(Pattern(2048));
  StartDevice();
  Bytes buffer(4096);
  EXPECT_EQ(device_->Read(100, 8, reinterpret_cast<char*>(buffer.data())), -1);
  EXPECT_EQ(peer_.Finish(), "");  // no in token for the reply
}

TEST_F(SimTransportTest, SimulatorGoneMidRequestFailsInsteadOfHanging) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(CommandMessage(0x03, kTestBlock)).Send(kAck)
      .Vanish();
  StartDevice();
  EXPECT_EQ(device_->Test(0), -1);
  EXPECT_EQ(peer_.Finish(), "");
}

// ---- transport calls and packets -------------------------------------------------------

TEST_F(SimTransportTest, LinkDownCallsFailWithoutTraffic) {
  ASSERT_TRUE(peer_.Open());
  uint8_t block[16] = {0x10}, reply[8], data[64];
  uint32_t n = 7;
  EXPECT_EQ(SimCreateFile(kDevicePath, 0, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(SimDeviceIoControl(1, kIoctlSendRequest, block, 16, nullptr, 0, &n, nullptr), 0);
  EXPECT_EQ(SimDeviceIoControl(1, kIoctlFetchReply, nullptr, 0, reply, 8, &n, nullptr), 0);
  EXPECT_EQ(SimReadFile(1, data, sizeof data, &n, nullptr), 0);
  EXPECT_EQ(SimWriteFile(1, data, sizeof data, &n, nullptr), 0);
  EXPECT_EQ(SimCloseHandle(1), 1);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, ControlCallsWithWrongSizesOrCodesSendNothing) {
  peer_.Expect(kHello).Send(HelloAnswer(1));
  StartDevice();
  uint8_t block[16] = {0x10}, reply[12];
  uint32_t n = 0;
  EXPECT_EQ(SimDeviceIoControl(1, kIoctlSendRequest, block, 15, nullptr, 0, &n, nullptr), 0);
  EXPECT_EQ(SimDeviceIoControl(1, kIoctlSendRequest, nullptr, 16, nullptr, 0, &n, nullptr), 0);
  EXPECT_EQ(SimDeviceIoControl(1, kIoctlFetchReply, nullptr, 0, reply, 12, &n, nullptr), 0);
  EXPECT_EQ(SimDeviceIoControl(1, 0x222018, block, 16, reply, 8, &n, nullptr), 0);
  EXPECT_EQ(peer_.Finish(), "");
}

TEST_F(SimTransportTest, InPacketsUpTo63DataBytesAreTakenAndLongerOnesRefused) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(kInTokenReply).Send(Concat({{0x03}, Pattern(63), {0, 0}})).Expect(kPcAck)
      .Expect(kInTokenReply).Send(Concat({{0x0B}, Pattern(64), {0, 0}}))
      .Expect(kInTokenReply).Send({0x03});  // a packet too short for its check bytes
  StartDevice();
  uint8_t buffer[64] = {};
  uint32_t count = 0;
  EXPECT_EQ(SimIn(1, 2, kCurrentToggle, buffer, sizeof buffer, &count), 0x03);
  EXPECT_EQ(count, 63u);
  EXPECT_EQ(Bytes(buffer, buffer + 63), Pattern(63));
  EXPECT_EQ(SimIn(1, 2, kCurrentToggle, buffer, sizeof buffer, &count), -1);
  EXPECT_EQ(SimIn(1, 2, 0x03, buffer, sizeof buffer, &count), -1);
  EXPECT_EQ(peer_.Finish(), "");
}

// Bulk in of n bytes starting at DATA0: the toggle flips once for an odd
// number of 64-byte packets, which the next bulk in header shows.
struct BulkInCase {
  uint32_t bytes;
  uint8_t nextToggle;
};

void PrintTo(const BulkInCase& c, std::ostream* os) { *os << c.bytes << "_bytes"; }

class SimBulkInTest : public SimTransportTest, public testing::WithParamInterface<BulkInCase> {};

TEST_P(SimBulkInTest, ToggleFollowsPacketCount) {
  const BulkInCase c = GetParam();
  const Bytes data = Pattern(c.bytes);
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(Concat({Hex("06 01 01 40 03"), Le32(c.bytes)}))
      .Send(Concat({Le32(c.bytes), {0x03}})).Send(data)
      .Expect(Concat({Hex("06 01 01 40"), {c.nextToggle}, Le32(0)}))
      .Send(Hex("00 00 00 00 03")).Send({});
  StartDevice();
  Bytes buffer(c.bytes + 1, 0xEE);
  uint32_t got = 0;
  EXPECT_EQ(SimReadFile(1, buffer.data(), c.bytes, &got, nullptr), 1);
  EXPECT_EQ(got, c.bytes);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.bytes), data);
  EXPECT_EQ(buffer[c.bytes], 0xEE);
  EXPECT_EQ(SimReadFile(1, buffer.data(), 0, &got, nullptr), 1);
  EXPECT_EQ(peer_.Finish(), "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimBulkInTest,
                         testing::Values(BulkInCase{64, 0x0B}, BulkInCase{65, 0x03},
                                         BulkInCase{128, 0x03}, BulkInCase{1, 0x0B},
                                         BulkInCase{0, 0x03}),
                         [](const auto& info) { return std::to_string(info.param.bytes); });

TEST_F(SimTransportTest, BulkInFailsOnRefusedStatusOrShortData) {
  peer_.Expect(kHello).Send(HelloAnswer(1))
      .Expect(Hex("06 01 01 40 03 10 00 00 00")).Send(Hex("00 00 00 00 0E")).Send({})
      .Expect(Hex("06 01 01 40 03 10 00 00 00")).Send(Hex("10 00 00 00 03")).Send(Pattern(8));
  StartDevice();
  uint8_t buffer[16];
  uint32_t got = 0;
  EXPECT_EQ(SimReadFile(1, buffer, 16, &got, nullptr), 0);
  EXPECT_EQ(SimReadFile(1, buffer, 16, &got, nullptr), 0);
  EXPECT_EQ(peer_.Finish(), "");
}

}  // namespace
