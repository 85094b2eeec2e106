// zelsim's side of the simulation link: the USB function message by message,
// and the whole link (the PC side's transport against zelsim's server and
// device model) request by request.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "link/usb_server.h"
#include "test_support.h"
#include "tervlink/zel_device/sim_transport.h"

namespace {

const Bytes kTestBlock = Hex("10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
const Bytes kSwitchBlock = Hex("66 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

Bytes Wrapper(uint8_t pid, const Bytes& block, uint16_t token = 0x0181) {
  return Concat({{0x03, 0x01, uint8_t(token), uint8_t(token >> 8), pid}, Hex("AB 01 00 10"),
                 Bytes(block.begin() + 4, block.begin() + 8), block, Hex("00 00")});
}

Bytes StatusPacket(uint8_t pid, uint8_t status, int32_t value) {
  return Concat({{pid, 0x00, 0x00, status, 0x00}, Le32(uint32_t(value)), Bytes(6, 0)});
}

using Answers = std::vector<Bytes>;

class UsbDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = FreshRunDir();
    ModelConfig config;
    config.stateDir = dir_ + "/state";
    model_ = std::make_unique<DeviceModel>(config);
    ASSERT_TRUE(model_->Ok()) << model_->Error();
  }
  void TearDown() override {
    model_.reset();  // its NAND file is open (Windows cannot remove an open file)
    std::filesystem::remove_all(dir_);
  }
  Answers Handle(UsbDevice& d, const Bytes& m) { return d.Handle(m); }

  std::string dir_;
  std::unique_ptr<DeviceModel> model_;
};

TEST_F(UsbDeviceTest, GreetingTellsStateAndStartsSessionAtData0) {
  UsbServerOptions ready, fresh, refuse;
  fresh.fresh = true;
  refuse.refuse = true;
  UsbDevice a(*model_, ready), b(*model_, fresh), c(*model_, refuse);
  EXPECT_EQ(Handle(a, {0}), Answers{Le32(1)});
  EXPECT_EQ(Handle(b, {0}), Answers{Le32(0)});
  EXPECT_EQ(Handle(c, {0}), Answers{Le32(uint32_t(-1))});
  // A new greeting in the middle of a session resets the toggles.
  EXPECT_EQ(Handle(a, Wrapper(0x03, kTestBlock)), Answers{{0x02}});
  EXPECT_EQ(Handle(a, {0}), Answers{Le32(1)});
  EXPECT_EQ(Handle(a, Wrapper(0x03, kTestBlock)), Answers{{0x02}});
}

TEST_F(UsbDeviceTest, FreshDeviceAnswersAddressOneOnlyAfterEnumeration) {
  UsbServerOptions o;
  o.fresh = true;
  UsbDevice d(*model_, o);
  Handle(d, {0});
  EXPECT_EQ(Handle(d, Wrapper(0x03, kTestBlock)), Answers{{0x0E}});
  EXPECT_EQ(Handle(d, Hex("04 0D 00 00 03 00 09 01 00 00 00 00 00 00 00")), Answers{{0x02}});
  EXPECT_EQ(Handle(d, Hex("02 09 00 00")), Answers{Hex("0B 00 00")});
  EXPECT_EQ(Handle(d, Hex("05 02")), Answers{});
  EXPECT_EQ(Handle(d, Hex("04 0D 00 00 03 00 05 01 00 00 00 00 00 00 00")), Answers{{0x02}});
  EXPECT_EQ(d.Address(), 0);  // the new address holds after the status stage
  EXPECT_EQ(Handle(d, Hex("02 09 00 00")), Answers{Hex("0B 00 00")});
  Handle(d, Hex("05 02"));
  EXPECT_EQ(d.Address(), 1);
  EXPECT_TRUE(d.Configured());
  EXPECT_EQ(Handle(d, Wrapper(0x03, kTestBlock)), Answers{{0x02}});
  EXPECT_EQ(Handle(d, Hex("02 09 01 01")), Answers{StatusPacket(0x03, 0, 2)});
}

TEST_F(UsbDeviceTest, RepeatedOutPacketIsAcknowledgedAndDropped) {
  UsbDevice d(*model_, {});
  Handle(d, {0});
  EXPECT_EQ(Handle(d, Wrapper(0x03, kTestBlock)), Answers{{0x02}});
  // DATA0 again on endpoint 3, which now expects DATA1: a repeat, not a new command.
  EXPECT_EQ(Handle(d, Wrapper(0x03, kSwitchBlock)), Answers{{0x02}});
  EXPECT_EQ(Handle(d, Hex("02 09 01 01")), Answers{StatusPacket(0x03, 0, 2)});  // the test's answer
}

TEST_F(UsbDeviceTest, MalformedWrapperOrForeignTokenIsStalled) {
  UsbDevice d(*model_, {});
  Handle(d, {0});
  Bytes bad = Wrapper(0x03, kTestBlock);
  bad[5] = 0xAC;  // not a command wrapper
  EXPECT_EQ(Handle(d, bad), Answers{{0x0E}});
  EXPECT_EQ(Handle(d, Wrapper(0x03, kTestBlock, 0x0182)), Answers{{0x0E}});  // address 2
  EXPECT_EQ(Handle(d, Wrapper(0x03, kTestBlock, 0x0201)), Answers{{0x0E}});  // endpoint 4
  EXPECT_EQ(Handle(d, Hex("02 09 01 02")), Answers{{0x0E}});                 // in, endpoint 4
  // None of them moved endpoint 3's toggle.
  EXPECT_EQ(Handle(d, Wrapper(0x03, kTestBlock)), Answers{{0x02}});
}

TEST_F(UsbDeviceTest, StatusPacketRepeatsUntilAcknowledged) {
  UsbDevice d(*model_, {});
  Handle(d, {0});
  EXPECT_EQ(Handle(d, Hex("02 09 01 01")), Answers{{0x00}});  // no command yet: nothing
  Handle(d, Wrapper(0x03, kTestBlock));
  const Answers status = {StatusPacket(0x03, 0, 2)};
  EXPECT_EQ(Handle(d, Hex("02 09 01 01")), status);
  EXPECT_EQ(Handle(d, Hex("02 09 01 01")), status);
  EXPECT_EQ(Handle(d, Hex("05 02")), Answers{});
  EXPECT_EQ(Handle(d, Hex("02 09 01 01")), Answers{{0x00}});  // the command is over
}

TEST_F(UsbDeviceTest, BulkTransfersWithoutCommandAreRefused) {
  UsbDevice d(*model_, {});
  Handle(d, {0});
  EXPECT_EQ(Handle(d, Hex("06 01 01 40 03 00 02 00 00")), (Answers{Hex("00 00 00 00 0E"), {}}));
  EXPECT_EQ(Handle(d, Hex("07 81 01 40 03 04 00 00 00")), Answers{});
  EXPECT_TRUE(d.AwaitingBulkData());
  // The data message is taken as data even though it starts like a greeting.
  EXPECT_EQ(Handle(d, Hex("00 00 00 00")), Answers{Hex("00 00 00 00 0E")});
  EXPECT_FALSE(d.AwaitingBulkData());
}

// ---- the whole link --------------------------------------------------------------

class UsbLinkTest : public UsbDeviceTest {
 protected:
  void SetUp() override {
    UsbDeviceTest::SetUp();
    InstallRecordingSleep();
  }
  void TearDown() override {
    device_.reset();
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    server_.reset();
    RestoreSleep();
    UsbDeviceTest::TearDown();
  }
  void Serve(const UsbServerOptions& options) {
    server_ = std::make_unique<UsbServer>(*model_, options);
    ASSERT_EQ(server_->Open(), "");
    thread_ = std::thread([this] { server_->Serve(&stop_); });
    device_ = std::make_unique<ZEL_DEVICE_IO>("\\\\.\\lexon0", 1);
  }

  std::atomic<bool> stop_{false};
  std::unique_ptr<UsbServer> server_;
  std::thread thread_;
  std::unique_ptr<ZEL_DEVICE_IO> device_;
};

TEST_F(UsbLinkTest, SectorsWrittenOverLinkReadBackAndSettingsAnswer) {
  Serve({});
  EXPECT_EQ(device_->Test(0), 2);
  Bytes sectors(256 * 512);  // larger than a pipe holds
  for (size_t i = 0; i < sectors.size(); ++i) sectors[i] = uint8_t(i % 251);
  ASSERT_NE(device_->Write(40, 256, reinterpret_cast<char*>(sectors.data())), -1);
  Bytes back(sectors.size());
  ASSERT_NE(device_->Read(40, 256, reinterpret_cast<char*>(back.data())), -1);
  EXPECT_EQ(back, sectors);
  // A record of one packet flips endpoint 2's toggle on both sides; the
  // requests after it still meet.
  partition cap;
  EXPECT_NE(device_->ReadCapacity(&cap), -1);
  _ZELDEVICECAPS caps;
  caps.mask = 1u << kCapsDiskCountBit;
  EXPECT_EQ(device_->GetDeviceCaps(&caps), 1);
  EXPECT_EQ(caps.fields[kCapsDiskCountBit], 1u);
  EXPECT_EQ(device_->Test(0), 2);
  EXPECT_EQ(device_->Switch(5), -1);  // a refusal of the model arrives as -1
  EXPECT_EQ(device_->Test(0), 2);
}

TEST_F(UsbLinkTest, FreshDeviceIsEnumeratedThenServes) {
  UsbServerOptions o;
  o.fresh = true;
  Serve(o);
  EXPECT_EQ(RecordedSleeps(), (std::vector<uint32_t>{550, 1500, 1500}));
  EXPECT_EQ(device_->Test(0), 2);
}

TEST_F(UsbLinkTest, RefusingSimulatorLeavesEveryRequestFailing) {
  UsbServerOptions o;
  o.refuse = true;
  Serve(o);
  EXPECT_EQ(device_->Test(0), -1);
  _ZELDEVICECAPS caps;
  EXPECT_EQ(device_->GetDeviceCaps(&caps), -1);
}

}  // namespace
