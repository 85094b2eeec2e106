// Command blocks and data phases of the service requests, byte for byte,
// against a recording transport; and the checks made before sending.

#include <gtest/gtest.h>

#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/service_records.h"
#include "transport_double.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Block(std::initializer_list<int> b) {
  Bytes out;
  for (int v : b) out.push_back(uint8_t(v));
  return out;
}

class ServiceRequestTest : public ::testing::Test {
 protected:
  ZEL_DEVICE_IO dev{"\\\\.\\lexon0", 0};
  TransportDouble t{dev};

  Bytes Sent() const { return Bytes(t.blocks.back().begin(), t.blocks.back().end()); }
};

// Requests without a data phase: the parameter bytes and the reply value.
TEST_F(ServiceRequestTest, BlocksWithoutData) {
  t.reply = {0, 1};
  EXPECT_EQ(dev.Beep(2000, 1000), 1);
  EXPECT_EQ(Sent(), Block({0x58, 0, 0, 0, 0, 0, 0, 0, 0xD0, 0x07, 0, 0, 0xE8, 0x03, 0, 0}));

  EXPECT_EQ(dev.KillAlarm(0xA5), 1);
  EXPECT_EQ(Sent(), Block({0x53, 0, 0, 0, 0, 0, 0, 0, 0xA5, 0, 0, 0, 0, 0, 0, 0}));

  t.reply = {0, 0};
  EXPECT_EQ(dev.ResetAlarm(), 0);
  EXPECT_EQ(Sent(), Block({0x54, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  EXPECT_EQ(dev.RegCloseKey(0x1234), 0);
  EXPECT_EQ(Sent(), Block({0x5F, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(dev.RegFlushKey(3), 0);
  EXPECT_EQ(Sent(), Block({0x64, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(t.writes.empty());
  EXPECT_TRUE(t.reads.empty());
  EXPECT_EQ(t.opens, t.closes);
}

TEST_F(ServiceRequestTest, AlarmRecordTravelsInTheParameterBytes) {
  _SYSTEMALARM a;
  a.type = 2;
  a.validFields = 7;
  a.indicator = 9;
  a.day = 3;
  a.hour = 7;
  a.minute = 45;
  EXPECT_EQ(dev.SetAlarm(&a), 1);
  EXPECT_EQ(Sent(), Block({0x52, 0, 0, 0, 0, 0, 0, 0, 2, 0, 7, 0, 9, 3, 7, 45}));
  EXPECT_TRUE(t.writes.empty());
}

TEST_F(ServiceRequestTest, EnumAlarmSendsCursorAndDecodesRecord) {
  t.reply = {0, 9};
  t.readData = {1, 0, 4, 0, 9, 0, 0, 30};
  _SYSTEMALARM a;
  EXPECT_EQ(dev.EnumAlarm(-1, &a), 9);
  EXPECT_EQ(Sent(), Block({0x55, 0, 0, 0, 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(a.type, 1);
  EXPECT_EQ(a.validFields, 4);
  EXPECT_EQ(a.indicator, 9);
  EXPECT_EQ(a.minute, 30);
}

// Records sent to the device: direction 0x80, length, the exact record.
TEST_F(ServiceRequestTest, RecordsToTheDevice) {
  _EZEL_SYSTEMTIME time{2009, 5, 5, 8, 14, 30, 0, 0};
  EXPECT_EQ(dev.SetLocalTime(&time), 1);
  EXPECT_EQ(Sent(), Block({0x50, 0x80, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(t.writes.back(), Block({0xD9, 0x07, 5, 0, 5, 0, 8, 0, 14, 0, 30, 0, 0, 0, 0, 0}));

  _ZEL_TIME_ZONE_INFORMATION zone;
  zone.Bias = -300;
  EXPECT_EQ(dev.SetTimeZoneInformation(&zone), 1);
  EXPECT_EQ(Sent()[0], 0x59);
  EXPECT_EQ(bytes::Get32(&Sent()[4]), 172u);
  ASSERT_EQ(t.writes.back().size(), 172u);
  EXPECT_EQ(bytes::Get32(t.writes.back().data()), uint32_t(-300));

  _ZELDEVICECAPS caps;
  caps.mask = 0x2021;
  caps.fields[5] = 40;
  caps.fields[13] = 1;
  EXPECT_EQ(dev.SetDeviceCaps(&caps), 1);
  EXPECT_EQ(Sent(), Block({0x56, 0x80, 0, 0, 68, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_EQ(t.writes.back().size(), 68u);
  EXPECT_EQ(bytes::Get32(t.writes.back().data()), 0x2021u);
  EXPECT_EQ(bytes::Get16(t.writes.back().data() + 14), 40);
  EXPECT_EQ(bytes::Get16(t.writes.back().data() + 30), 1);

  char sector[1024] = {};
  sector[600] = 'x';
  EXPECT_EQ(dev.WriteLocal(3, 2, sector), 1);
  EXPECT_EQ(Sent(), Block({0x49, 0x80, 0, 0, 0, 4, 0, 0, 3, 0, 2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(t.writes.back()[600], 'x');
}

TEST_F(ServiceRequestTest, RecordsFromTheDevice) {
  t.readData = {0xD9, 0x07, 5, 0, 5, 0, 8, 0, 14, 0, 30, 0, 7, 0, 0, 0};
  _EZEL_SYSTEMTIME time;
  EXPECT_EQ(dev.GetLocalTime(&time), 1);
  EXPECT_EQ(Sent(), Block({0x51, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(time.wYear, 2009);
  EXPECT_EQ(time.wSecond, 7);

  // GetDeviceCaps sends the mask as it was set and overwrites the record.
  t.readData.assign(68, 0);
  t.readData[0] = 0x01;
  t.readData[4 + 2 * 21] = 2;
  _ZELDEVICECAPS caps;
  caps.mask = 0x00200000;
  caps.fields[3] = 77;
  EXPECT_EQ(dev.GetDeviceCaps(&caps), 1);
  EXPECT_EQ(Sent(), Block({0x57, 0, 0, 0, 68, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0}));
  EXPECT_EQ(caps.mask, 1u);
  EXPECT_EQ(caps.fields[21], 2);
  EXPECT_EQ(caps.fields[3], 0);

  t.readData.assign(172, 0);
  bytes::Put32(t.readData.data(), uint32_t(-30));
  _ZEL_TIME_ZONE_INFORMATION zone;
  EXPECT_EQ(dev.GetTimeZoneInformation(&zone), 1);
  EXPECT_EQ(Sent()[0], 0x5A);
  EXPECT_EQ(zone.Bias, -30);

  t.readData.assign(512, 'k');
  char sector[512] = {};
  EXPECT_EQ(dev.ReadLocal(0, 1, sector), 1);
  EXPECT_EQ(Sent(), Block({0x48, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sector[511], 'k');
}

TEST_F(ServiceRequestTest, ShortDataPhaseOrRefusalIsMinusOne) {
  t.readData = {1, 2, 3};  // fewer than 16 bytes
  _EZEL_SYSTEMTIME time;
  EXPECT_EQ(dev.GetLocalTime(&time), -1);
  t.readData.assign(16, 0);
  t.reply = {1, 1};
  EXPECT_EQ(dev.GetLocalTime(&time), -1);
  t.failOpen = true;
  EXPECT_EQ(dev.Beep(1, 1), -1);
  EXPECT_EQ(t.opens, t.closes);
}

// ---- registry ----------------------------------------------------------------

TEST_F(ServiceRequestTest, RegistryNameFieldAndStoredHandle) {
  t.reply = {0, 0x12345};
  uint16_t key = 0;
  EXPECT_EQ(dev.RegOpenKeyA(5, "ABCDEFGH", &key), 0);
  EXPECT_EQ(key, 0x2345);
  EXPECT_EQ(Sent(), Block({0x5C, 0x80, 0, 0, 8, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(t.writes.back(), Block({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));

  EXPECT_EQ(dev.RegCreateKeyA(1, "In", &key), 0);
  EXPECT_EQ(Sent()[0], 0x5D);
  EXPECT_EQ(t.writes.back(), Block({'I', 'n', 0, 0, 0, 0, 0, 0}));

  t.reply = {0, -131};
  key = 99;
  EXPECT_EQ(dev.RegOpenKeyA(1, "none", &key), -131);
  EXPECT_EQ(key, 99);

  t.reply = {0, 0};
  EXPECT_EQ(dev.RegDeleteKeyA(2, "K"), 0);
  EXPECT_EQ(Sent()[0], 0x5E);
  EXPECT_EQ(dev.RegDeleteValueA(2, "V"), 0);
  EXPECT_EQ(Sent()[0], 0x61);
  EXPECT_EQ(t.writes.back(), Block({'V', 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ServiceRequestTest, RegistryChecksSendNothing) {
  uint16_t key = 0;
  uint8_t data[256] = {};
  EXPECT_EQ(dev.RegOpenKeyA(0, "ABCDEFGHI", &key), -1);
  EXPECT_EQ(dev.RegCreateKeyA(0, "ABCDEFGHI", &key), -1);
  EXPECT_EQ(dev.RegDeleteKeyA(0, "ABCDEFGHI"), -1);
  EXPECT_EQ(dev.RegDeleteValueA(0, "ABCDEFGHI"), -1);
  EXPECT_EQ(dev.RegSetValueExA(0, "ABCDEFGHI", 0, 1, data, 1), -1);
  EXPECT_EQ(dev.RegSetValueExA(0, "N", 0, 1, data, 256), -1);
  EXPECT_EQ(t.opens, 0);
  EXPECT_TRUE(t.blocks.empty());
}

TEST_F(ServiceRequestTest, ValueBlockOffsets) {
  t.reply = {0, 0};
  uint8_t data[255];
  for (int i = 0; i < 255; ++i) data[i] = uint8_t(i + 1);
  EXPECT_EQ(dev.RegSetValueExA(0x0102, "Table", 77, 3, data, 255), 0);
  EXPECT_EQ(Sent(), Block({0x60, 0x80, 0, 0, 0, 2, 0, 0, 2, 1, 0, 0, 0, 0, 0, 0}));
  const Bytes& b = t.writes.back();
  ASSERT_EQ(b.size(), 512u);
  EXPECT_EQ(bytes::Get32(&b[0]), 3u);
  EXPECT_EQ(bytes::Get32(&b[4]), 255u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[8])), "Table");
  EXPECT_EQ(b[13], 0);
  EXPECT_EQ(b[256], 1);
  EXPECT_EQ(b[510], 255);
  EXPECT_EQ(b[511], 0);
}

TEST_F(ServiceRequestTest, EnumKeyCopiesAtMostNameSize) {
  t.reply = {0, 0};
  t.readData = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'};
  char name[9];
  memset(name, '#', sizeof name);
  EXPECT_EQ(dev.RegEnumKeyA(4, 7, name, 8), 0);
  EXPECT_EQ(Sent(), Block({0x62, 0, 0, 0, 8, 0, 0, 0, 4, 0, 7, 0, 8, 0, 0, 0}));
  EXPECT_STREQ(name, "ABCDEFGH");
  memset(name, '#', sizeof name);
  EXPECT_EQ(dev.RegEnumKeyA(4, 0, name, 3), 0);
  EXPECT_STREQ(name, "ABC");
  EXPECT_EQ(name[4], '#');
}

TEST_F(ServiceRequestTest, EnumValueFillsOutParameters) {
  RegEnumBlock e;
  e.nameLength = 8;
  e.type = 1;
  e.dataSize = 17;
  memcpy(e.nameField.data(), "LONGNAME", 8);
  for (int i = 0; i < 17; ++i) e.data[i] = uint8_t(0xA0 + i);
  auto raw = EncodeRegEnumBlock(e);
  t.readData.assign(raw.begin(), raw.end());
  t.reply = {0, 0};
  char name[32];
  memset(name, '#', sizeof name);
  uint8_t data[512] = {};
  uint32_t nameLength = 0, type = 0, size = 127;
  EXPECT_EQ(dev.RegEnumValueA(6, 2, name, &nameLength, nullptr, &type, data, &size), 0);
  EXPECT_EQ(Sent(), Block({0x63, 0, 0, 0, 0, 2, 0, 0, 6, 0, 2, 0, 0, 0, 0, 0}));
  EXPECT_EQ(nameLength, 8u);
  EXPECT_EQ(type, 1u);
  EXPECT_EQ(size, 17u);
  EXPECT_STREQ(name, "LONGNAME");
  EXPECT_EQ(data[16], 0xB0);
  EXPECT_EQ(data[17], 0);
  // Every out-parameter may be absent.
  EXPECT_EQ(dev.RegEnumValueA(6, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
}

TEST_F(ServiceRequestTest, EnumValueNeverCopiesPastTheBlock) {
  RegEnumBlock e;
  e.dataSize = 100000;  // a device that lies about the size
  auto raw = EncodeRegEnumBlock(e);
  t.readData.assign(raw.begin(), raw.end());
  t.reply = {0, 0};
  std::vector<uint8_t> data(300, 0xEE);
  uint32_t size = 0;
  EXPECT_EQ(dev.RegEnumValueA(6, 0, nullptr, nullptr, nullptr, nullptr, data.data(), &size), 0);
  EXPECT_EQ(data[255], 0);
  EXPECT_EQ(data[256], 0xEE);
}

// ---- media player ------------------------------------------------------------

TEST_F(ServiceRequestTest, MciDataPhasesPerMessage) {
  t.reply = {0, 3};
  MciLoadRecord load;
  load.flags = 0x18;
  memcpy(load.path.data(), "\\MUSIC\\A.MP3", 12);
  auto raw = EncodeMciLoad(load);
  EXPECT_EQ(dev.MciSendCommand(0, kMciLoad, reinterpret_cast<uintptr_t>(raw.data())), 3);
  Bytes b = Sent();
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 12), Block({0x5B, 0x80, 0, 0, 58, 0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(t.writes.back(), Bytes(raw.begin(), raw.end()));

  uint8_t play[6] = {3, 0, 0, 0, 0, 0};
  EXPECT_EQ(dev.MciSendCommand(0, kMciPlay, reinterpret_cast<uintptr_t>(play)), 3);
  EXPECT_EQ(Sent()[1], 0x80);
  EXPECT_EQ(Sent()[4], 6);
  EXPECT_EQ(t.writes.back(), Block({3, 0, 0, 0, 0, 0}));

  uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(dev.MciSendCommand(0, 11, reinterpret_cast<uintptr_t>(eight)), 3);
  EXPECT_EQ(t.writes.back().size(), 8u);
  uint8_t twelve[12] = {};
  EXPECT_EQ(dev.MciSendCommand(0, 13, reinterpret_cast<uintptr_t>(twelve)), 3);
  EXPECT_EQ(t.writes.back().size(), 12u);

  // Plain messages: the parameter itself, no data phase.
  size_t writes = t.writes.size();
  for (uint32_t m : {4u, 5u, 6u, 8u, 9u, 10u, 14u, 15u}) {
    EXPECT_EQ(dev.MciSendCommand(0, m, uint32_t(-10)), 3);
    EXPECT_EQ(Sent(), Block({0x5B, 0, 0, 0, 0, 0, 0, 0, 0, 0, int(m), 0, 0xF6, 0xFF, 0xFF, 0xFF}));
  }
  EXPECT_EQ(t.writes.size(), writes);
  EXPECT_TRUE(t.reads.empty());
  EXPECT_EQ(t.opens, t.closes);
}

TEST_F(ServiceRequestTest, MciEnumSendsFirstFieldAndOverwritesRecord) {
  t.reply = {0, 0};
  t.readData.assign(274, 0x5A);
  uint8_t rec[276] = {};
  bytes::Put16(rec, 0xFFF5);
  bytes::Put16(rec + 2, 0x0102);
  rec[275] = 0x77;
  EXPECT_EQ(dev.MciSendCommand(0, kMciEnum, reinterpret_cast<uintptr_t>(rec)), 0);
  EXPECT_EQ(Sent(), Block({0x5B, 0, 0, 0, 0x12, 0x01, 0, 0, 0, 0, 7, 0, 0xF5, 0xFF, 2, 1}));
  EXPECT_EQ(t.reads.back(), 274u);
  EXPECT_EQ(rec[0], 0x5A);
  EXPECT_EQ(rec[273], 0x5A);
  EXPECT_EQ(rec[275], 0x77);
}

TEST_F(ServiceRequestTest, MciRefusalsSendNothingAndCloseTheDevice) {
  EXPECT_EQ(dev.MciSendCommand(0, 2, 0), -236);
  EXPECT_EQ(dev.MciSendCommand(0, 12, 0), -236);
  EXPECT_EQ(dev.MciSendCommand(0, 99, 0), -236);
  EXPECT_EQ(dev.MciSendCommand(1, kMciStop, 0), -1);
  EXPECT_TRUE(t.blocks.empty());
  EXPECT_EQ(t.opens, 4);
  EXPECT_EQ(t.closes, 4);
  // Without a device even an unknown message is a plain failure.
  t.failOpen = true;
  EXPECT_EQ(dev.MciSendCommand(0, 2, 0), -1);
}

}  // namespace
