// REGEDIT's data-file loader over the fuzzer's bytes as the file. The
// device answers every registry request with success (a key handle of 7),
// through the real request encoding; each value block sent must decode to
// what the statement asked for within the registry's limits.

#include <cstring>

#include "command_shell.h"
#include "fuzz_support.h"
#include "tervlink/records.h"
#include "tervlink/service_records.h"
#include "tervlink/zel_device_io.h"

namespace {

// A device link that accepts every request: the reply is "carried out,
// value 7" and a data phase from the device is zeros.
struct AcceptingLink {
  static DeviceHandle Create(const char*, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
    return 7;
  }
  static int Ioctl(DeviceHandle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outCapacity, uint32_t* returned, void*) {
    if (code == kIoctlSendRequest) {
      FUZZ_CHECK(inLength == kRequestBytes);
      memcpy(last.data(), in, kRequestBytes);
      *returned = 0;
      return 1;
    }
    auto raw = EncodeReply(_ZEL_REPLY{0, 7});
    memcpy(out, raw.data(), std::min<size_t>(outCapacity, kReplyBytes));
    *returned = kReplyBytes;
    return 1;
  }
  static int Close(DeviceHandle) { return 1; }
  static int Read(DeviceHandle, void* buffer, uint32_t length, uint32_t* got, void*) {
    memset(buffer, 0, length);
    *got = length;
    return 1;
  }
  static int Write(DeviceHandle, const void* buffer, uint32_t length, uint32_t* put, void*) {
    if (DecodeRequest(last).command == req::kRegSetValueEx) {
      FUZZ_CHECK(length == kRegBlockBytes);
      RegValueBlock v = DecodeRegValueBlock({static_cast<const uint8_t*>(buffer), length});
      FUZZ_CHECK(v.size <= kRegMaxData && v.data.size() == v.size);
      FUZZ_CHECK(!v.name.empty() && v.name.size() <= kRegNameBytes);
    }
    *put = length;
    return 1;
  }
  static inline std::array<uint8_t, kRequestBytes> last{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFolder folder("registry");
  std::string path = folder.Put("load.reg", data, size);
  // One device, engine and shell serve every input (REGEDIT keeps nothing
  // in them from one load to the next): the engine is megabytes.
  static ZEL_DEVICE_IO& dev = *[] {
    auto* d = new ZEL_DEVICE_IO("\\\\.\\lexon0", 0);
    d->pfnCreateFile = AcceptingLink::Create;
    d->pfnDeviceIoControl = AcceptingLink::Ioctl;
    d->pfnCloseHandle = AcceptingLink::Close;
    d->pfnReadFile = AcceptingLink::Read;
    d->pfnWriteFile = AcceptingLink::Write;
    d->pfnExchange = nullptr;  // every call goes through the double
    return d;
  }();
  static FAT_DEVICE* const fat = new FAT_DEVICE(&dev);
  static CommandShell* const shell = new CommandShell(fat, ".");
  host::StringOutput quiet;
  shell->SetStreams(nullptr, &quiet);
  char line[CommandShell::kLineBytes + CommandShell::kPathBytes] = {};
  snprintf(line, sizeof line, "REGEDIT /CLoad %s", path.c_str());
  char* words[CommandShell::kMaxWords];
  int n = CommandShell::SplitWords(line, words);
  int r = shell->Dispatch(shell->LookupCommand(n, words), n, words);
  FUZZ_CHECK(r == 1 || r == -1);
  return 0;
}

std::vector<std::pair<std::string, std::string>> FuzzSeeds() {
  return {
      {"values.reg",
       "[HKEY_APPS\\Input]\n"
       "\"Mode\"=dword:0000002A\n"
       "\"Title\"=\"a \"quoted\" b\"\n"
       "\"Table\"=hex:\\\n 0A , ff,\\\n01,\n"
       "\"Empty\"=hex:\n"
       "\"Odd\"=hex(9):01,02\n"
       "\"Text\"=\"\"\n"},
      {"tree.reg",
       "\n  \t\n[HKEY_ROOT\\HKEY_SYSTEM\\Fonts\\Big]  trailing\n\"Size\"=dword:10\n"
       "[HKEY_DICTS\\A\\B\\C\\D]\n[HKEY_TECHS]\n\"x\"=hex:00\r\n[hkey_apps\\Lower\\Case]\r\n"},
      {"faults.reg",
       "[HKEY_APPS\\Bad]\n\"NameTooLongHere\"=dword:1\n"},
      {"unclosed.reg", "[HKEY_APPS\\Open\n\"a\"=dword:1\n"},
      {"nokey.reg", "\"a\"=dword:1\n"},
      {"continued.reg", "[HKEY_APPS\\C]\n\"c\"=hex:01,\\\n"},
  };
}
