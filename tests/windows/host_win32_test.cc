// The Win32 host layer (run under Wine by the Windows build): the device
// link's Win32 calls, zelsim's named pipe, GBK file names, the clock.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <random>
#include <thread>

#include "recording_transport.h"  // Hex()
#include "tervlink/bytes.h"
#include "tervlink/host/host.h"
#include "tervlink/host/win32/device_api.h"
#include "tervlink/records.h"
#include "tervlink/zel_device_io.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---- the device link's Win32 calls, recorded ----------------------------------

// Records every call of the device link's table. Handles: 0x10 is the
// driver's device, 0x20 zelsim's pipe. Without a device the open fails with
// ERROR_FILE_NOT_FOUND; the pipe answers the frames queued in pipeReplies.
struct Win32Record {
  std::vector<std::string> calls;  // "CreateFileA \\.\lexon3", "DeviceIoControl 222010 16" ...
  std::vector<Bytes> pipeWrites;
  bool deviceThere = true;
  bool pipeThere = true;
  _ZEL_REPLY reply{0, 0};
  Bytes readData;
  std::deque<uint8_t> pipeReplies;
  uint32_t lastError = 0;
};
Win32Record* g_rec = nullptr;

constexpr uint32_t kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
void* const kInvalid = reinterpret_cast<void*>(intptr_t(-1));
void* const kDevice = reinterpret_cast<void*>(0x10);
void* const kPipe = reinterpret_cast<void*>(0x20);

void* RecCreateFileA(const char* name, uint32_t access, uint32_t, uint32_t disposition, uint32_t) {
  g_rec->calls.push_back(std::string("CreateFileA ") + name);
  EXPECT_EQ(access, uint32_t(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(disposition, uint32_t(OPEN_EXISTING));
  bool pipe = strncmp(name, "\\\\.\\pipe\\", 9) == 0;
  if (pipe ? g_rec->pipeThere : g_rec->deviceThere) return pipe ? kPipe : kDevice;
  g_rec->lastError = kErrorFileNotFound;
  return kInvalid;
}
int RecDeviceIoControl(void* h, uint32_t code, const void*, uint32_t inLength, void* out,
                       uint32_t outCapacity, uint32_t* returned) {
  char text[64];
  snprintf(text, sizeof text, "DeviceIoControl %x %u %u", code, inLength, outCapacity);
  g_rec->calls.push_back(text);
  EXPECT_EQ(h, kDevice);
  *returned = 0;
  if (code == kIoctlFetchReply && outCapacity >= kReplyBytes) {
    bytes::Put32(static_cast<uint8_t*>(out), g_rec->reply.status);
    bytes::Put32(static_cast<uint8_t*>(out) + 4, g_rec->reply.value);
    *returned = kReplyBytes;
  }
  return 1;
}
int RecWriteFile(void* h, const void* buffer, uint32_t length, uint32_t* put) {
  g_rec->calls.push_back((h == kPipe ? "WriteFile pipe " : "WriteFile ") + std::to_string(length));
  if (h == kPipe) {
    auto* p = static_cast<const uint8_t*>(buffer);
    g_rec->pipeWrites.emplace_back(p, p + length);
  }
  *put = length;
  return 1;
}
int RecReadFile(void* h, void* buffer, uint32_t length, uint32_t* got) {
  g_rec->calls.push_back((h == kPipe ? "ReadFile pipe " : "ReadFile ") + std::to_string(length));
  auto* p = static_cast<uint8_t*>(buffer);
  uint32_t n = 0;
  if (h == kPipe) {
    for (; n < length && !g_rec->pipeReplies.empty(); ++n) {
      p[n] = g_rec->pipeReplies.front();
      g_rec->pipeReplies.pop_front();
    }
  } else {
    for (; n < length; ++n) p[n] = n < g_rec->readData.size() ? g_rec->readData[n] : 0;
  }
  *got = n;
  return n > 0 || length == 0;
}
int RecCloseHandle(void*) {
  g_rec->calls.push_back("CloseHandle");
  return 1;
}
int RecWaitNamedPipeA(const char*, uint32_t) { return 1; }
uint32_t RecGetLastError() { return g_rec->lastError; }

class Win32Calls : public testing::Test {
 protected:
  void SetUp() override {
    g_rec = &rec_;
    old_ = host::win32::SetDeviceApi({RecCreateFileA, RecDeviceIoControl, RecWriteFile,
                                      RecReadFile, RecCloseHandle, RecWaitNamedPipeA,
                                      RecGetLastError});
  }
  void TearDown() override {
    host::win32::SetDeviceApi(old_);
    g_rec = nullptr;
  }
  Win32Record rec_;
  host::win32::DeviceApi old_{};
};

TEST_F(Win32Calls, DriverPathIsDeviceIoControlOnLexonWithReadAndWriteFileForData) {
  ZEL_DEVICE_IO device("\\\\.\\lexon3", 0);
  rec_.reply = {0, 2};
  EXPECT_EQ(device.Test(0), 2);
  char sectors[1024];
  rec_.reply = {0, 0};
  rec_.readData = Bytes(1024, 0x5A);
  EXPECT_EQ(device.Read(100, 2, sectors), 0);
  EXPECT_EQ(uint8_t(sectors[1023]), 0x5A);
  EXPECT_EQ(device.Write(100, 2, sectors), 0);
  const std::vector<std::string> want = {
      "CreateFileA \\\\.\\lexon3", "DeviceIoControl 222010 16 0", "DeviceIoControl 222014 0 8",
      "CloseHandle",
      "CreateFileA \\\\.\\lexon3", "DeviceIoControl 222010 16 0", "ReadFile 1024",
      "DeviceIoControl 222014 0 8", "CloseHandle",
      "CreateFileA \\\\.\\lexon3", "DeviceIoControl 222010 16 0", "WriteFile 1024",
      "DeviceIoControl 222014 0 8", "CloseHandle"};
  EXPECT_EQ(rec_.calls, want);
  EXPECT_TRUE(rec_.pipeWrites.empty());
}

TEST_F(Win32Calls, WithoutTheDeviceTheRequestGoesAsFramesToZelsimsPipe) {
  rec_.deviceThere = false;
  // The answers of zelsim: the block taken, then the reply {0, 3}.
  for (uint8_t b : Hex("01 00 00 00 00  01 08 00 00 00 00 00 00 00 03 00 00 00"))
    rec_.pipeReplies.push_back(b);
  ZEL_DEVICE_IO device("\\\\.\\lexon0", 0);
  EXPECT_EQ(device.Test(0), 3);
  ASSERT_GE(rec_.calls.size(), 3u);
  EXPECT_EQ(rec_.calls[0], "CreateFileA \\\\.\\lexon0");
  EXPECT_EQ(rec_.calls[1], "CreateFileA \\\\.\\pipe\\lexon0");
  EXPECT_EQ(rec_.calls.back(), "CloseHandle");
  ASSERT_EQ(rec_.pipeWrites.size(), 2u);
  // Each call is one frame in one write: the control code, the lengths, the block.
  EXPECT_EQ(Bytes(rec_.pipeWrites[0].begin(), rec_.pipeWrites[0].begin() + 13),
            Hex("01 10 20 22 00 10 00 00 00 00 00 00 00"));
  EXPECT_EQ(rec_.pipeWrites[0].size(), 13u + kRequestBytes);
  EXPECT_EQ(rec_.pipeWrites[1], Hex("01 14 20 22 00 00 00 00 00 08 00 00 00"));
  for (const std::string& c : rec_.calls) EXPECT_EQ(c.find("DeviceIoControl"), std::string::npos);
}

TEST_F(Win32Calls, NeitherDeviceNorPipeFailsTheRequest) {
  rec_.deviceThere = rec_.pipeThere = false;
  ZEL_DEVICE_IO device("\\\\.\\lexon0", 0);
  EXPECT_EQ(device.Test(0), -1);
  EXPECT_EQ(rec_.calls.size(), 2u);
}

// ---- zelsim's side: a real named pipe -------------------------------------------

class TempFolder : public testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 rng{std::random_device{}()};
    dir_ = fs::temp_directory_path() / ("tervan-win32-" + std::to_string(rng()));
    fs::create_directories(dir_);
    _putenv_s("TERVAN_RUNDIR", dir_.string().c_str());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    _putenv_s("TERVAN_RUNDIR", "");
  }
  fs::path dir_;
};

using PipeLink = TempFolder;

TEST_F(PipeLink, ControlCallCrossesThePipeAndASecondServerIsRefused) {
  std::string name = host::DeviceSocketPath("\\\\.\\lexon7");
  EXPECT_EQ(name.rfind("\\\\.\\pipe\\tervan-", 0), 0u) << name;
  int listener = host::ListenSocket(name);
  ASSERT_GE(listener, 0);
  EXPECT_EQ(host::ListenSocket(name), -2);
  std::thread server([&] {
    int fd = host::AcceptSocket(listener);
    ASSERT_GE(fd, 0);
    uint8_t frame[13 + 3];
    ASSERT_TRUE(host::ReadExact(fd, frame, sizeof frame));
    EXPECT_EQ(Bytes(frame, frame + sizeof frame),
              Hex("01 10 20 22 00 03 00 00 00 08 00 00 00 61 62 63"));
    Bytes answer = Hex("01 08 00 00 00 11 22 33 44 55 66 77 88");
    ASSERT_TRUE(host::WriteExact(fd, answer.data(), answer.size()));
    // As zelsim: the connection ends when the client closes it (closing
    // first would drop an answer not yet read).
    uint8_t more;
    EXPECT_FALSE(host::ReadExact(fd, &more, 1));
    host::CloseSocket(fd);
  });
  intptr_t h = host::DeviceCreateFile("\\\\.\\lexon7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, -1);
  uint8_t out[8] = {};
  uint32_t n = 0;
  EXPECT_EQ(host::DeviceIoControl(h, kIoctlSendRequest, "abc", 3, out, sizeof out, &n, nullptr), 1);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(Bytes(out, out + 8), Hex("11 22 33 44 55 66 77 88"));
  host::DeviceCloseHandle(h);
  server.join();
  host::CloseSocket(listener);
  EXPECT_EQ(host::DeviceCreateFile("\\\\.\\lexon7", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr),
            -1);
}

// ---- PC files ----------------------------------------------------------------------

using PcFiles = TempFolder;

TEST_F(PcFiles, GbkNamesAreUtf16OnDiskAndComeBackAsGbk) {
  EXPECT_EQ(host::kSep, '\\');
  std::string dir = host::FsToGbk(reinterpret_cast<const char*>(dir_.u8string().c_str()));
  std::string name = dir + "\\中文.txt";  // GBK: narrow literals are compiled to GBK
  ASSERT_EQ(std::string("中").size(), 2u);
  FILE* f = host::OpenFile(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fputs("abc", f);
  fclose(f);
  EXPECT_TRUE(fs::exists(dir_ / L"中文.txt"));  // the UTF-16 name Windows shows

  EXPECT_EQ(host::MakeDir((dir + "\\子目录").c_str()), 0);
  EXPECT_EQ(host::MakeDir((dir + "\\子目录").c_str()), 0);  // already there
  EXPECT_EQ(host::MakeDir(name.c_str()), -1);              // a file
  std::vector<host::DirEntry> entries;
  ASSERT_TRUE(host::ListDir(dir.c_str(), entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "中文.txt");
  EXPECT_EQ(entries[0].size, 3u);
  EXPECT_FALSE(entries[0].isDir);
  EXPECT_EQ(entries[1].name, "子目录");
  EXPECT_TRUE(entries[1].isDir);
  EXPECT_FALSE(host::ListDir((dir + "\\nothing").c_str(), entries));

  int64_t when = host::FromLocal({2009, 5, 0, 8, 10, 20, 30, 0});
  ASSERT_TRUE(host::SetFileTime(name.c_str(), when));
  host::FileInfo info = host::Stat(name.c_str());
  EXPECT_TRUE(info.exists);
  EXPECT_EQ(info.mtime, when);
  host::LocalTime back = host::ToLocal(when);
  EXPECT_EQ(back.year * 10000 + back.month * 100 + back.day, 20090508);
  EXPECT_EQ(back.hour * 10000 + back.minute * 100 + back.second, 102030);
  EXPECT_EQ(host::OpenFile((dir + "\\子目录").c_str(), "rb"), nullptr);  // a folder is no file

  std::string other = dir + "\\other.txt";
  FILE* g = host::OpenFile(other.c_str(), "wb");
  ASSERT_NE(g, nullptr);
  fclose(g);
  EXPECT_EQ(host::RenameFile(other.c_str(), name.c_str()), 0);  // replaces, as on Linux
  EXPECT_EQ(host::Stat(name.c_str()).size, 0u);
  EXPECT_EQ(host::RemoveFile(name.c_str()), 0);
  EXPECT_FALSE(host::Stat(name.c_str()).exists);
}

TEST_F(PcFiles, CurrentFolderFullPathsAndNestedFolders) {
  std::string old = host::GetCurrentDir();
  std::string dir = host::FsToGbk(reinterpret_cast<const char*>(dir_.u8string().c_str()));
  ASSERT_TRUE(host::MakeDirs(dir + "\\a/b\\c"));
  ASSERT_TRUE(host::SetCurrentDir((dir + "\\a").c_str()));
  EXPECT_EQ(host::FullPath("b\\x.txt"), dir + "\\a\\b\\x.txt");
  EXPECT_EQ(host::FullPath((dir + "\\y").c_str()), dir + "\\y");
  // "\x" is the root of the current drive.
  EXPECT_EQ(host::FullPath("\\synchronize"), dir.substr(0, 2) + "\\synchronize");
  EXPECT_TRUE(host::SetCurrentDir(old.c_str()));
  EXPECT_TRUE(host::Stat((dir + "\\a\\b\\c").c_str()).isDir);
  std::string data = "state";
  EXPECT_TRUE(host::WriteFileAtomic(dir + "\\a\\state.bin", data.data(), data.size()));
  EXPECT_TRUE(host::WriteFileAtomic(dir + "\\a\\state.bin", data.data(), 2));
  EXPECT_EQ(host::Stat((dir + "\\a\\state.bin").c_str()).size, 2u);
}

using Win32Text = TempFolder;

// A batch file as a Windows editor saves it: a UTF-8 byte-order mark, CR LF
// line ends, UTF-8 and GBK lines mixed, and a stray zero byte that must not
// hide the rest of its line.
TEST_F(Win32Text, Utf8BatchLinesBecomeGbkAndGbkLinesStay) {
  const char8_t* utf8 = u8"COPY 中文.TXT";
  EXPECT_EQ(host::ConsoleToGbk(reinterpret_cast<const char*>(utf8)), "COPY 中文.TXT");
  EXPECT_EQ(host::ConsoleToGbk("COPY 中文.TXT"), "COPY 中文.TXT");
  EXPECT_EQ(host::FsToGbk(host::GbkToFs("中文")), "中文");

  std::string name = host::FsToGbk(reinterpret_cast<const char*>(dir_.u8string().c_str())) +
                     "\\job.bat";
  FILE* f = host::OpenFile(name.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::string text = std::string("\xEF\xBB\xBF") + reinterpret_cast<const char*>(utf8) +
                     "\r\nDEL 中文.TXT\r\nECHO a" + std::string(1, '\0') + "b\n";
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  std::unique_ptr<host::Input> in = host::OpenInputFile(name.c_str());
  ASSERT_NE(in, nullptr);
  char line[256];
  std::vector<std::string> lines;
  while (in->ReadLine(line, sizeof line)) lines.push_back(line);
  EXPECT_EQ(lines, (std::vector<std::string>{"COPY 中文.TXT\n", "DEL 中文.TXT\n", "ECHO a b\n"}));
  EXPECT_TRUE(in->AtEnd());
  EXPECT_FALSE(in->IsTerminal());
}

}  // namespace
