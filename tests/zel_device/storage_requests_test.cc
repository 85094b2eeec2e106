// The storage and NAND requests of ZEL_DEVICE_IO against a recording
// transport: command block bytes, data phase direction and length, result,
// and -1 for every kind of transport failure.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "recording_transport.h"
#include "tervlink/bytes.h"
#include "tervlink/host/host.h"
#include "tervlink/zel_device_io.h"
#include "../support/test_dir.h"

namespace {

using Kind = RecordingTransport::Kind;

enum class Data { kNone, kToPc, kToDevice };

struct Row {
  const char* name;
  std::function<int32_t(ZEL_DEVICE_IO&)> call;
  std::string block;  // the 16 command block bytes in hexadecimal
  Data data;
  uint32_t length;    // data phase bytes
};

char g_buffer[32768];
partition g_capacity;
_ZEL_NANDINFO g_info;
int g_table[8192];
int32_t g_method;

std::string TempPath(const char* name) {
  return ProgramTestDir() / name;
}

std::string RomFile(size_t bytes, const char* name = "rom.bin") {
  std::string path = TempPath(name);
  std::ofstream f(path, std::ios::binary);
  for (size_t i = 0; i < bytes; ++i) f.put(char(i * 7 + 1));
  return path;
}

std::vector<Row> Rows() {
  return {
      {"ReadCapacity", [](ZEL_DEVICE_IO& d) { return d.ReadCapacity(&g_capacity); },
       "40 00 00 00 14 00 00 00 00 00 00 00 00 00 00 00", Data::kToPc, 20},
      {"DiskReadCapacity", [](ZEL_DEVICE_IO& d) { return d.DiskReadCapacity(&g_capacity, 1); },
       "40 00 01 00 14 00 00 00 00 00 00 00 00 00 00 00", Data::kToPc, 20},
      {"Read", [](ZEL_DEVICE_IO& d) { return d.Read(100, 8, g_buffer); },
       "41 00 00 00 00 10 00 00 64 00 00 00 08 00 00 00", Data::kToPc, 4096},
      {"Write", [](ZEL_DEVICE_IO& d) { return d.Write(100, 8, g_buffer); },
       "42 80 00 00 00 10 00 00 64 00 00 00 08 00 00 00", Data::kToDevice, 4096},
      {"LowFormat", [](ZEL_DEVICE_IO& d) { return d.LowFormat(); },
       "43 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", Data::kNone, 0},
      {"ReadBIOS", [](ZEL_DEVICE_IO& d) { return d.ReadBIOS(32, g_buffer); },
       "44 00 00 00 00 40 00 00 00 00 00 00 20 00 00 00", Data::kToPc, 16384},
      {"WriteBIOS", [](ZEL_DEVICE_IO& d) { return d.WriteBIOS(32, g_buffer); },
       "45 80 00 00 00 40 00 00 00 00 00 00 20 00 00 00", Data::kToDevice, 16384},
      {"Switch", [](ZEL_DEVICE_IO& d) { return d.Switch(1); },
       "66 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00", Data::kNone, 0},
      {"SetEccMethod", [](ZEL_DEVICE_IO& d) { return d.SetEccMethod(2); },
       "67 00 00 00 00 00 00 00 02 00 00 00 00 00 00 00", Data::kNone, 0},
      {"SetEccRom", [](ZEL_DEVICE_IO& d) {
         std::string f = RomFile(100);
         return d.SetEccRom(f.data());
       },
       "69 80 00 00 00 40 00 00 00 00 00 00 00 00 00 00", Data::kToDevice, 16384},
      {"ExecuteSetFactoryBadInfo", [](ZEL_DEVICE_IO& d) { return d.ExecuteSetFactoryBadInfo(); },
       "6b 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", Data::kNone, 0},
      {"ExecuteGetFactoryBadInfo", [](ZEL_DEVICE_IO& d) { return d.ExecuteGetFactoryBadInfo(g_buffer); },
       "6c 00 00 00 00 10 00 00 00 00 00 00 00 00 00 00", Data::kToPc, 4096},
      {"NandInfo", [](ZEL_DEVICE_IO& d) { return d.NandInfo(&g_info); },
       "6d 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00", Data::kToPc, 36},
      {"NandReadWrite write", [](ZEL_DEVICE_IO& d) { return d.NandReadWrite(1, 0x1234, g_buffer, 16384); },
       "6e 80 00 00 00 40 00 00 01 00 00 00 34 12 00 00", Data::kToDevice, 16384},
      {"NandReadWrite read", [](ZEL_DEVICE_IO& d) { return d.NandReadWrite(0, 7, g_buffer, 16384); },
       "6e 00 00 00 00 40 00 00 00 00 00 00 07 00 00 00", Data::kToPc, 16384},
      {"NandErase", [](ZEL_DEVICE_IO& d) { return d.NandErase(8191); },
       "6f 00 00 00 00 00 00 00 ff 1f 00 00 00 00 00 00", Data::kNone, 0},
      {"Direct_Read", [](ZEL_DEVICE_IO& d) { return d.Direct_Read(0x12345, 1024, g_buffer); },
       "70 00 00 00 00 00 08 00 45 23 01 00 00 04 00 00", Data::kToPc, 524288},
      {"Direct_Write", [](ZEL_DEVICE_IO& d) { return d.Direct_Write(0x12345, 2, g_buffer); },
       "71 80 00 00 00 04 00 00 45 23 01 00 02 00 00 00", Data::kToDevice, 1024},
      {"GetBlockTable", [](ZEL_DEVICE_IO& d) { return d.GetBlockTable(10, 20, g_table, 32768); },
       "72 00 00 00 00 80 00 00 0a 00 00 00 14 00 00 00", Data::kToPc, 32768},
  };
}

class StorageRequests : public ::testing::Test {
 protected:
  StorageRequests() : device_("\\\\.\\lexon0", 0), t_(device_) {}
  ZEL_DEVICE_IO device_;
  RecordingTransport t_;
};

// Direct_Read of 1024 sectors needs a bigger buffer than the shared one.
std::vector<char> g_big(524288);

TEST_F(StorageRequests, EveryRowSendsItsBlockMovesItsDataAndReturnsTheValue) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    t_.Clear();
    t_.reply = {0, 0x2A};
    int32_t r = std::string(row.name) == "Direct_Read" ? device_.Direct_Read(0x12345, 1024, g_big.data())
                                                       : row.call(device_);
    EXPECT_EQ(r, 0x2A);
    EXPECT_EQ(t_.Block(), Hex(row.block));
    ASSERT_EQ(t_.calls.front().kind, Kind::kOpen);
    EXPECT_EQ(t_.calls.front().path, "\\\\.\\lexon0");
    const auto* data = t_.DataCall();
    if (row.data == Data::kNone) {
      EXPECT_EQ(data, nullptr);
    } else {
      ASSERT_NE(data, nullptr);
      EXPECT_EQ(data->kind, row.data == Data::kToPc ? Kind::kRead : Kind::kWrite);
      EXPECT_EQ(data->length, row.length);
    }
    EXPECT_EQ(t_.Count(Kind::kFetch), 1u);
    EXPECT_EQ(t_.calls.back().kind, Kind::kClose);
    EXPECT_EQ(t_.Count(Kind::kClose), 1u);
  }
}

TEST_F(StorageRequests, EveryRowFailsWithMinusOneOnAnyTransportFault) {
  struct Fault {
    const char* name;
    std::function<void(RecordingTransport&)> set;
    bool needsData;
  };
  const Fault faults[] = {
      {"device absent", [](RecordingTransport& t) { t.failOpen = true; }, false},
      {"command block refused", [](RecordingTransport& t) { t.failSend = true; }, false},
      {"data call fails", [](RecordingTransport& t) { t.failData = true; }, true},
      {"short data phase", [](RecordingTransport& t) { t.shortBy = 1; }, true},
      {"reply not fetched", [](RecordingTransport& t) { t.failFetch = true; }, false},
      {"nonzero status", [](RecordingTransport& t) { t.reply = {1, 5}; }, false},
  };
  for (const Row& row : Rows()) {
    if (std::string(row.name) == "Direct_Read") continue;  // covered with its own buffer above
    for (const Fault& f : faults) {
      if (f.needsData && row.data == Data::kNone) continue;
      SCOPED_TRACE(std::string(row.name) + ": " + f.name);
      t_.Reset();
      f.set(t_);
      EXPECT_EQ(row.call(device_), -1);
      EXPECT_TRUE(t_.Balanced());
    }
  }
}

TEST_F(StorageRequests, RecordsAreDecodedFromTheDataPhase) {
  t_.readData = Hex("01 00 00 00 02 00 00 00 40 1f 00 00 01 00 00 00 20 00 00 00");
  ASSERT_EQ(device_.ReadCapacity(&g_capacity), 0);
  EXPECT_EQ(g_capacity.cylinders, 8000u);
  EXPECT_EQ(g_capacity.heads, 1u);
  EXPECT_EQ(g_capacity.sectorsPerTrack, 32u);

  t_.readData = Hex("08 00 00 00 00 02 00 00 20 00 00 00 00 04 00 00 98 00 00 00 79 00 00 00 ff 00 00 00");
  ASSERT_EQ(device_.NandInfo(&g_info), 0);
  EXPECT_EQ(g_info.Zones, 8u);
  EXPECT_EQ(g_info.PageSize, 512u);
  EXPECT_EQ(g_info.BlockPerZone, 1024u);
  EXPECT_EQ(g_info.DevID, 0x79u);

  // Block table entries arrive little-endian.
  t_.readData = Hex("05 03 01 00 00 ff ff 00");
  ASSERT_EQ(device_.GetBlockTable(0, 2, g_table, 8), 0);
  EXPECT_EQ(uint32_t(g_table[0]), 0x00010305u);
  EXPECT_EQ(uint32_t(g_table[1]), 0x00FFFF00u);
}

TEST_F(StorageRequests, ZeroSectorReadStillMakesAZeroByteDataCall) {
  EXPECT_EQ(device_.Read(5, 0, g_buffer), 0);
  EXPECT_EQ(t_.Block(), Hex("41 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00"));
  ASSERT_NE(t_.DataCall(), nullptr);
  EXPECT_EQ(t_.DataCall()->kind, Kind::kRead);
  EXPECT_EQ(t_.DataCall()->length, 0u);
}

TEST_F(StorageRequests, WriteSendsTheCallersSectors) {
  for (int i = 0; i < 1024; ++i) g_buffer[i] = char(i);
  ASSERT_EQ(device_.Write(3, 2, g_buffer), 0);
  ASSERT_NE(t_.DataCall(), nullptr);
  EXPECT_EQ(t_.DataCall()->bytes, std::vector<uint8_t>(g_buffer, g_buffer + 1024));
}

TEST_F(StorageRequests, SectorCountBeyondSixteenBitsIsRefusedBeforeAnyRequest) {
  // A 16-bit count field cannot carry 65,536 sectors: the device would move
  // a different run than the data phase announces.
  EXPECT_EQ(device_.Read(0, 65536, g_buffer), -1);
  EXPECT_EQ(device_.Direct_Write(0, 0x10001, g_buffer), -1);
  EXPECT_EQ(device_.ReadBIOS(0x10000, g_buffer), -1);
  EXPECT_TRUE(t_.calls.empty());
}

TEST_F(StorageRequests, NegativeBlockTableSizeIsRefusedBeforeAnyRequest) {
  EXPECT_EQ(device_.GetBlockTable(0, 1, g_table, -4), -1);
  EXPECT_TRUE(t_.calls.empty());
}

TEST_F(StorageRequests, RebootSendsItsBlockAndFetchesNoReply) {
  t_.reply = {1, 9};  // never fetched, so it cannot spoil the result
  EXPECT_EQ(device_.Reboot(), 0);
  EXPECT_EQ(t_.Block(), Hex("65 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(t_.Count(Kind::kFetch), 0u);
  EXPECT_EQ(t_.DataCall(), nullptr);
  EXPECT_EQ(t_.calls.back().kind, Kind::kClose);

  t_.Reset();
  t_.failOpen = true;
  EXPECT_EQ(device_.Reboot(), -1);
  t_.Reset();
  t_.failSend = true;
  EXPECT_EQ(device_.Reboot(), -1);
  EXPECT_TRUE(t_.Balanced());
}

TEST_F(StorageRequests, GetEccMethodStoresTheValueOrLeavesMinusOne) {
  t_.reply = {0, 2};
  g_method = 7;
  EXPECT_EQ(device_.GetEccMethod(&g_method), 0);
  EXPECT_EQ(g_method, 2);
  EXPECT_EQ(t_.Block(), Hex("68 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(t_.DataCall(), nullptr);

  t_.reply = {1, 2};
  g_method = 7;
  EXPECT_EQ(device_.GetEccMethod(&g_method), -1);
  EXPECT_EQ(g_method, -1);
}

TEST_F(StorageRequests, ReadLog2PhyTblSendsTheBufferAddressAndOne) {
  ASSERT_EQ(device_.ReadLog2PhyTbl(g_buffer), 0);
  auto block = t_.Block();
  ASSERT_EQ(block.size(), 16u);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 8), Hex("99 00 00 00 00 10 00 00"));
  EXPECT_EQ(bytes::Get32(&block[8]), uint32_t(reinterpret_cast<uintptr_t>(g_buffer)));
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 12, block.end()), Hex("01 00 00 00"));
  ASSERT_NE(t_.DataCall(), nullptr);
  EXPECT_EQ(t_.DataCall()->length, 4096u);
}

class SwitchTracking : public StorageRequests {
 protected:
  host::StringOutput out_;
  host::Output* saved_ = host::SetOut(&out_);
  ~SwitchTracking() override { host::SetOut(saved_); }
};

TEST_F(SwitchTracking, PositiveAnswerWithTrackingStoresTheDiskAndSaysSo) {
  device_.trackDisk = 1;
  device_.currentDisk = 0;
  t_.reply = {0, 2};
  EXPECT_EQ(device_.Switch(1), 2);
  EXPECT_EQ(device_.currentDisk, 1);
  EXPECT_EQ(out_.text, "当前操作磁盘: disk 1\r\n");
}

TEST_F(SwitchTracking, NoTrackingZeroAnswerOrFailureLeavesTheDiskAlone) {
  device_.currentDisk = 0;
  device_.trackDisk = 0;
  t_.reply = {0, 1};
  EXPECT_EQ(device_.Switch(1), 1);

  device_.trackDisk = 1;
  t_.reply = {0, 0};
  EXPECT_EQ(device_.Switch(1), 0);

  t_.reply = {1, 1};
  EXPECT_EQ(device_.Switch(1), -1);

  EXPECT_EQ(device_.currentDisk, 0);
  EXPECT_EQ(out_.text, "");
}

TEST_F(StorageRequests, SetEccRomSendsTheFilePaddedWithZeros) {
  std::string f = RomFile(10, "small.bin");
  ASSERT_EQ(device_.SetEccRom(f.data()), 0);
  const auto* data = t_.DataCall();
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(data->bytes.size(), 16384u);
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(data->bytes[i], uint8_t(i * 7 + 1));
  EXPECT_TRUE(std::all_of(data->bytes.begin() + 10, data->bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(StorageRequests, SetEccRomTakesExactly16384BytesAndRefusesMoreBeforeAnyRequest) {
  std::string full = RomFile(16384, "full.bin");
  EXPECT_EQ(device_.SetEccRom(full.data()), 0);
  ASSERT_NE(t_.DataCall(), nullptr);
  EXPECT_EQ(t_.DataCall()->bytes[16383], uint8_t(16383 * 7 + 1));

  t_.Clear();
  std::string over = RomFile(16385, "over.bin");
  EXPECT_EQ(device_.SetEccRom(over.data()), -1);
  std::string missing = TempPath("no-such-rom.bin");
  EXPECT_EQ(device_.SetEccRom(missing.data()), -1);
  EXPECT_TRUE(t_.calls.empty());
}

TEST_F(StorageRequests, SetEccRomOfAnEmptyFileSendsZeros) {
  std::string empty = RomFile(0, "empty.bin");
  ASSERT_EQ(device_.SetEccRom(empty.data()), 0);
  ASSERT_NE(t_.DataCall(), nullptr);
  EXPECT_EQ(t_.DataCall()->bytes, std::vector<uint8_t>(16384, 0));
}

TEST_F(StorageRequests, GetEccRomWritesTheRomToTheFile) {
  t_.readData.resize(16384);
  for (size_t i = 0; i < t_.readData.size(); ++i) t_.readData[i] = uint8_t(i ^ 0x5A);
  t_.reply = {0, 3};  // the reply's value is not the result
  std::string path = TempPath("got-rom.bin");
  EXPECT_EQ(device_.GetEccRom(path.data()), 0);
  EXPECT_EQ(t_.Block(), Hex("6a 00 00 00 00 40 00 00 00 00 00 00 00 00 00 00"));
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> got((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, t_.readData);
}

TEST_F(StorageRequests, GetEccRomFailures) {
  host::StringOutput out;
  host::Output* saved = host::SetOut(&out);
  std::string path = TempPath("never.bin");
  std::filesystem::remove(path);
  t_.reply = {1, 0};
  EXPECT_EQ(device_.GetEccRom(path.data()), -1);
  EXPECT_FALSE(std::filesystem::exists(path));  // nothing is created when the request fails

  t_.reply = {0, 0};
  std::string folder = TempPath("no-such-folder/rom.bin");
  EXPECT_EQ(device_.GetEccRom(folder.data()), -1);
  host::SetOut(saved);
  EXPECT_EQ(out.text, "Open file(" + folder + ") to write failed\n");
}

TEST_F(StorageRequests, ImageModeKeepsSectorTrafficAndBootWritesAwayFromTheDevice) {
  device_.imageActive = 1;
  device_.imageKind = 0;
  EXPECT_EQ(device_.Read(0, 1, g_buffer), -1);   // the image backend answers, not the device
  EXPECT_EQ(device_.Write(0, 1, g_buffer), -1);
  EXPECT_EQ(device_.Direct_Read(0, 1, g_buffer), -1);
  EXPECT_EQ(device_.Direct_Write(0, 1, g_buffer), -1);
  EXPECT_EQ(device_.WriteBIOS(32, g_buffer), -1);
  EXPECT_TRUE(t_.calls.empty());

  t_.reply = {0, 1};
  EXPECT_EQ(device_.DiskReadCapacity(&g_capacity, 0), 1);
  EXPECT_EQ(device_.Switch(0), 1);
  EXPECT_EQ(device_.ReadBIOS(1, g_buffer), 1);
  EXPECT_EQ(t_.Count(Kind::kOpen), 3u);
}

}  // namespace

// ---- the socket link: a request's frames together, bytes unchanged ----------

namespace {

// The pipelined exchange is the socket link's; the Windows pipe link sends
// the frames one by one and has its own tests (host_win32_tests).
#if !defined(_WIN32)
// A device on a Unix socket of the test's own that answers frame by frame,
// as zelsim does, and keeps every byte it received: one request on one
// connection, which it closes after the reply fetch or when the PC does;
// refuseData answers the data phase's frame with ok 0; shortData answers a
// read with one sector less than asked and then, as zelsim does, keeps the
// connection open until the PC closes it.
class WireDevice {
 public:
  WireDevice(const std::string& name, bool refuseData, bool shortData = false)
      : refuse_(refuseData), short_(shortData) {
    listener_ = host::ListenSocket(host::DeviceSocketPath(("\\\\.\\" + name).c_str()));
    thread_ = std::thread([this] { Serve(); });
  }
  ~WireDevice() {
    if (thread_.joinable()) thread_.join();
  }
  // Every byte received, once the device is done.
  std::vector<uint8_t> Received() {
    thread_.join();
    return received_;
  }

 private:
  bool Take(int fd, size_t n) {
    size_t at = received_.size();
    received_.resize(at + n);
    return host::ReadExact(fd, received_.data() + at, n);
  }
  bool Answer(int fd, uint8_t ok, uint32_t n, const uint8_t* data, size_t bytes) {
    std::vector<uint8_t> a = {ok, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    a.insert(a.end(), data, data + bytes);
    return host::WriteExact(fd, a.data(), a.size());
  }
  void Serve() {
    int fd = host::AcceptSocket(listener_);
    const uint8_t reply[8] = {0, 0, 0, 0, 0x2A, 0, 0, 0};
    std::vector<uint8_t> sectors(4096, 0x5A);
    for (;;) {
      size_t at = received_.size();
      if (!Take(fd, 1)) break;
      uint8_t type = received_[at];
      if (!Take(fd, type == 1 ? 12 : 4)) break;
      uint32_t n = bytes::Get32(received_.data() + at + (type == 1 ? 5 : 1));
      if (type == 1) {
        if (!Take(fd, n)) break;
        bool fetch = bytes::Get32(received_.data() + at + 1) == kIoctlFetchReply;
        Answer(fd, 1, fetch ? 8 : 0, reply, fetch ? 8 : 0);
        if (fetch && !short_) break;
      } else if (type == 2) {
        if (!Take(fd, n)) break;
        Answer(fd, refuse_ ? 0 : 1, refuse_ ? 0 : n, nullptr, 0);
      } else {
        if (short_) n -= 512;
        Answer(fd, refuse_ ? 0 : 1, refuse_ ? 0 : n, sectors.data(), refuse_ ? 0 : n);
      }
    }
    host::CloseSocket(fd);
    host::CloseSocket(listener_);
  }
  bool refuse_;
  bool short_;
  int listener_;
  std::thread thread_;
  std::vector<uint8_t> received_;
};

TEST(SocketLink, ARequestsFramesGoTogetherAsTheSeparateCallsSendThem) {
  setenv("TERVAN_RUNDIR", (ProgramTestDir() / "run").c_str(), 1);
  host::MakeDirs(host::RunDir());
  static char buffer[4096];
  struct Case {
    const char* name;
    std::function<int32_t(ZEL_DEVICE_IO&)> call;
    std::string frames;  // what the device receives, in hexadecimal
  };
  const std::string block = "01 10 20 22 00 10 00 00 00 00 00 00 00 ";
  const std::string fetch = " 01 14 20 22 00 00 00 00 00 08 00 00 00";
  std::string sector;
  for (int i = 0; i < 512; ++i) sector += " 33";
  const Case cases[] = {
      {"Read", [](ZEL_DEVICE_IO& d) { return d.Read(100, 8, buffer); },
       block + "41 00 00 00 00 10 00 00 64 00 00 00 08 00 00 00 03 00 10 00 00" + fetch},
      {"Write", [](ZEL_DEVICE_IO& d) { return d.Write(100, 1, buffer); },
       block + "42 80 00 00 00 02 00 00 64 00 00 00 01 00 00 00 02 00 02 00 00" + sector + fetch},
      // A read sent ahead and taken later goes as Read does, where the link
      // can part a request (else PostRead sends nothing, and Read is made).
      {"PostRead",
       [](ZEL_DEVICE_IO& d) {
         std::unique_ptr<char[]> b(new char[4096]);
         const char* sent = b.get();
         bool posted = d.PostRead(100, 8, b);
         EXPECT_EQ(posted, d.pfnExchange != nullptr);
         if (!posted) return d.Read(100, 8, buffer);
         EXPECT_EQ(b, nullptr);
         EXPECT_EQ(d.TakeRead(100, 9, b), -2);  // not what was sent for: dropped,
         EXPECT_EQ(b.get(), sent);               // its buffer handed back
         return d.TakeRead(100, 8, b);  // nothing left to take
       },
       block + "41 00 00 00 00 10 00 00 64 00 00 00 08 00 00 00 03 00 10 00 00" + fetch},
      {"PostRead taken",
       [](ZEL_DEVICE_IO& d) {
         std::unique_ptr<char[]> b(new char[4096]);
         if (!d.PostRead(100, 8, b)) return d.Read(100, 8, buffer);
         int32_t r = d.TakeRead(100, 8, b);
         EXPECT_NE(b, nullptr);
         if (b) memcpy(buffer, b.get(), sizeof buffer);
         return r;
       },
       block + "41 00 00 00 00 10 00 00 64 00 00 00 08 00 00 00 03 00 10 00 00" + fetch},
      {"Switch", [](ZEL_DEVICE_IO& d) { return d.Switch(1); },
       block + "66 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00" + fetch},
  };
  int port = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    memset(buffer, 0x33, sizeof buffer);
    std::vector<uint8_t> seen[2];
    for (int together = 0; together < 2; ++together) {
      std::string name = "wire" + std::to_string(port++);
      ZEL_DEVICE_IO device(("\\\\.\\" + name).c_str(), 0);
      if (!together) device.pfnExchange = nullptr;
      WireDevice wire(name, false);
      int32_t answer = c.call(device);
      if (std::string(c.name) != "PostRead" || !together) EXPECT_EQ(answer, 0x2A);
      else EXPECT_EQ(answer, -2);
      if (std::string(c.name) == "Read" || std::string(c.name) == "PostRead taken") {
        EXPECT_EQ(std::string(buffer, 4096), std::string(4096, 0x5A));
      }
      seen[together] = wire.Received();
    }
    EXPECT_EQ(seen[0], Hex(c.frames));
    EXPECT_EQ(seen[1], Hex(c.frames));
  }
  // A refused data phase fails the request at once, either way: nothing
  // waits for the data that will never come.
  for (int together = 0; together < 2; ++together) {
    std::string name = "wire" + std::to_string(port++);
    ZEL_DEVICE_IO device(("\\\\.\\" + name).c_str(), 0);
    if (!together) device.pfnExchange = nullptr;
    WireDevice wire(name, true);
    EXPECT_EQ(device.Read(100, 8, buffer), -1);
  }
  // So does a data phase shorter than asked, though the device goes on
  // answering and keeps the connection: -1 at once, not a wait for bytes.
  for (int together = 0; together < 2; ++together) {
    std::string name = "wire" + std::to_string(port++);
    ZEL_DEVICE_IO device(("\\\\.\\" + name).c_str(), 0);
    if (!together) device.pfnExchange = nullptr;
    WireDevice wire(name, false, true);
    EXPECT_EQ(device.Read(100, 8, buffer), -1) << together;
  }
}

#endif  // !_WIN32

}  // namespace
