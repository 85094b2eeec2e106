// The device link on Windows.
//
// A request opens the device with CreateFileA on "\\.\lexonN", sends the
// command block and fetches the reply with DeviceIoControl, moves its data
// phase with WriteFile or ReadFile, and closes the handle: the kernel
// driver of the device does the rest.
//
// When no such device exists (no driver, no device plugged in), the same
// path is tried as the named pipe "\\.\pipe\lexonN" that zelsim.exe serves.
// Over the pipe every call is a frame of docs/device-protocol.md, exactly as
// over zelsim's Unix socket on Linux: one pipe connection per request.
// With TERVAN_RUNDIR set (tests), the pipes and mailslots of a run live in
// a namespace of their own, "\\.\pipe\tervan-HASH\lexonN", so runs beside
// each other never meet.
//
// A claimed device (ClaimDevice) is held, as on Linux, on one more pipe
// connection that carries nothing after the claim: zelsim.exe then refuses
// every other process, whichever link it comes by. Before each request,
// and whenever the engine asks whether the device went away, a look at that
// connection tells whether the device is still the one claimed.

#include "windows_api.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>
#include <set>
#include <string>

#include "device_api.h"
#include "frame_stream.h"
#include "tervlink/host/device_frames.h"
#include "tervlink/host/host.h"
#include "tervlink/records.h"

namespace host {
namespace win32 {
namespace {

// A busy pipe (zelsim between two requests) is waited for this long at most.
constexpr DWORD kPipeBusyWaitMs = 5000;
constexpr int kPipeBusyTries = 20;

void* RealCreateFileA(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                      uint32_t flags) {
  return ::CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
}
int RealDeviceIoControl(void* h, uint32_t code, const void* in, uint32_t inLength, void* out,
                        uint32_t outCapacity, uint32_t* returned) {
  DWORD n = 0;
  BOOL ok = ::DeviceIoControl(h, code, const_cast<void*>(in), inLength, out, outCapacity, &n,
                              nullptr);
  if (returned) *returned = n;
  return ok ? 1 : 0;
}
int RealWriteFile(void* h, const void* buffer, uint32_t length, uint32_t* put) {
  DWORD n = 0;
  BOOL ok = ::WriteFile(h, buffer, length, &n, nullptr);
  if (put) *put = n;
  return ok ? 1 : 0;
}
int RealReadFile(void* h, void* buffer, uint32_t length, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = ::ReadFile(h, buffer, length, &n, nullptr);
  if (got) *got = n;
  return ok ? 1 : 0;
}
int RealCloseHandle(void* h) { return ::CloseHandle(h) ? 1 : 0; }
int RealWaitNamedPipeA(const char* name, uint32_t timeoutMs) {
  return ::WaitNamedPipeA(name, timeoutMs) ? 1 : 0;
}
uint32_t RealGetLastError() { return ::GetLastError(); }

std::mutex g_lock;
DeviceApi g_api = RealDeviceApi();
std::set<intptr_t> g_pipes;  // open handles that are zelsim's pipe, not the driver

DeviceApi Api() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_api;
}

bool IsPipe(intptr_t h) {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_pipes.count(h) != 0;
}

// A pipe handle as a frame stream: the exact reads and writes loop over
// partial transfers.
class PipeStream : public pipe_frames::Stream {
 public:
  PipeStream(const DeviceApi& api, void* h) : api_(api), h_(h) {}
  bool Read(void* buffer, size_t length) override {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
      uint32_t n = 0;
      uint32_t chunk = uint32_t(length < (1u << 20) ? length : (1u << 20));
      if (!api_.ReadFile(h_, p, chunk, &n) || n == 0) return false;
      p += n;
      length -= n;
    }
    return true;
  }
  bool Write(const void* buffer, size_t length) override {
    auto* p = static_cast<const uint8_t*>(buffer);
    while (length > 0) {
      uint32_t n = 0;
      uint32_t chunk = uint32_t(length < (1u << 20) ? length : (1u << 20));
      if (!api_.WriteFile(h_, p, chunk, &n) || n == 0) return false;
      p += n;
      length -= n;
    }
    return true;
  }

 private:
  DeviceApi api_;
  void* h_;
};

// Opens a connection of zelsim's pipe, waiting while all its instances are
// busy; INVALID_HANDLE_VALUE when nobody serves it.
void* OpenPipe(const DeviceApi& api, const std::string& pipe) {
  for (int tries = 0; tries < kPipeBusyTries; ++tries) {
    void* h = api.CreateFileA(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    if (h != INVALID_HANDLE_VALUE) return h;
    if (api.GetLastError() != ERROR_PIPE_BUSY) break;
    if (!api.WaitNamedPipeA(pipe.c_str(), kPipeBusyWaitMs) &&
        api.GetLastError() != ERROR_FILE_NOT_FOUND)
      break;
  }
  return INVALID_HANDLE_VALUE;
}

struct Hold {
  void* h = INVALID_HANDLE_VALUE;  // not held now (no device answered, or it refused)
  std::string program;
  uint32_t losses = 0;
};

std::mutex g_holdLock;  // taken before g_lock, never inside it
std::map<std::string, Hold> g_holds;  // pipe name -> the claim on its device

// Sends a claim on a new connection of the pipe. 1 with the connection
// held in h, 0 when no device answers, -1 when refused (holder filled in).
int SendClaim(const DeviceApi& api, const std::string& pipe, Hold& h, long& holderPid,
              std::string& holderProgram) {
  void* p = OpenPipe(api, pipe);
  if (p == INVALID_HANDLE_VALUE) return 0;
  std::string name = h.program.substr(0, frames::kMaxClaimName);
  std::vector<uint8_t> frame(frames::kDataHeadBytes + name.size());
  frames::PutDataHead(frame.data(), frames::kClaim, uint32_t(name.size()));
  memcpy(frame.data() + frames::kDataHeadBytes, name.data(), name.size());
  uint8_t answer[frames::kAnswerHeadBytes + 4 + frames::kMaxClaimName];
  PipeStream s(api, p);
  bool sent = s.Write(frame.data(), frame.size()) && s.Read(answer, frames::kAnswerHeadBytes);
  uint32_t n = sent ? bytes::Get32(answer + 1) : 0;
  if (!sent || n > sizeof answer - frames::kAnswerHeadBytes ||
      !s.Read(answer + frames::kAnswerHeadBytes, n)) {
    api.CloseHandle(p);
    return 0;  // a device that does not take claims (or went away at once)
  }
  if (answer[0] == 1) {
    h.h = p;
    return 1;
  }
  api.CloseHandle(p);
  frames::ReadClaimHolder(answer + frames::kAnswerHeadBytes, n, holderPid, holderProgram);
  return -1;
}

// True while the hold's connection is open: the device never sends on it,
// so bytes waiting or a broken pipe mean a device that went away.
bool HoldOpen(const Hold& h) {
  DWORD avail = 0;
  return h.h != INVALID_HANDLE_VALUE &&
         ::PeekNamedPipe(h.h, nullptr, 0, nullptr, &avail, nullptr) && avail == 0;
}

void DropHold(const DeviceApi& api, Hold& h) {
  if (h.h == INVALID_HANDLE_VALUE) return;
  api.CloseHandle(h.h);
  h.h = INVALID_HANDLE_VALUE;
}

// Notes a claimed device that went away (its claim's connection closed)
// and claims the device found there now. A refused or unanswered claim
// leaves the hold empty, to be tried again before the next request; the
// device refuses that request meanwhile.
void RenewHold(const DeviceApi& api, const std::string& pipe) {
  std::lock_guard<std::mutex> lock(g_holdLock);
  auto it = g_holds.find(pipe);
  if (it == g_holds.end()) return;
  Hold& h = it->second;
  if (HoldOpen(h)) return;
  if (h.h != INVALID_HANDLE_VALUE) {
    DropHold(api, h);
    ++h.losses;
  }
  long pid = 0;
  std::string program;
  SendClaim(api, pipe, h, pid, program);
}

}  // namespace

DeviceApi RealDeviceApi() {
  return DeviceApi{RealCreateFileA, RealDeviceIoControl, RealWriteFile,  RealReadFile,
                   RealCloseHandle, RealWaitNamedPipeA,  RealGetLastError};
}

DeviceApi SetDeviceApi(const DeviceApi& api) {
  std::lock_guard<std::mutex> lock(g_lock);
  DeviceApi old = g_api;
  g_api = api;
  return old;
}

}  // namespace win32

std::string RunDir() {
  if (const char* d = getenv("TERVAN_RUNDIR"); d && *d) return d;
  const char* temp = getenv("TEMP");
  return std::string(temp && *temp ? temp : ".") + "\\tervan";
}

namespace win32 {

std::string PrivateNamespace() {
  const char* d = getenv("TERVAN_RUNDIR");
  if (!d || !*d) return std::string();
  // FNV-1a of the folder's name: short, and the same in every process.
  uint32_t hash = 2166136261u;
  for (const char* p = d; *p; ++p) hash = (hash ^ uint8_t(*p)) * 16777619u;
  char tag[32];
  snprintf(tag, sizeof tag, "tervan-%08x\\", unsigned(hash));
  return tag;
}

}  // namespace win32

std::string DeviceSocketPath(const char* devicePath) {
  std::string p = devicePath ? devicePath : "";
  const std::string prefix = "\\\\.\\";
  if (p.compare(0, prefix.size(), prefix) == 0 &&
      p.compare(0, strlen(win32::kPipePrefix), win32::kPipePrefix) != 0)
    return win32::kPipePrefix + win32::PrivateNamespace() + p.substr(prefix.size());
  return p;
}

int ClaimDevice(const char* devicePath, const char* program, long& holderPid,
                std::string& holderProgram) {
  std::string pipe = DeviceSocketPath(devicePath);
  if (pipe == (devicePath ? devicePath : "")) return 0;
  win32::DeviceApi api = win32::Api();
  std::lock_guard<std::mutex> lock(win32::g_holdLock);
  win32::Hold& h = win32::g_holds[pipe];
  h.program = program ? program : "";
  if (win32::HoldOpen(h)) return 1;
  win32::DropHold(api, h);
  int r = win32::SendClaim(api, pipe, h, holderPid, holderProgram);
  if (r < 0) win32::g_holds.erase(pipe);  // not ours to claim again later
  return r;
}

uint32_t DeviceLosses(const char* devicePath) {
  std::string pipe = DeviceSocketPath(devicePath);
  win32::DeviceApi api = win32::Api();
  win32::RenewHold(api, pipe);
  std::lock_guard<std::mutex> lock(win32::g_holdLock);
  auto it = win32::g_holds.find(pipe);
  return it == win32::g_holds.end() ? 0 : it->second.losses;
}

intptr_t DeviceCreateFile(const char* path, uint32_t access, uint32_t share, void*,
                          uint32_t disposition, uint32_t flags, void*) {
  win32::DeviceApi api = win32::Api();
  void* h = api.CreateFileA(path, access, share, disposition, flags);
  if (h != INVALID_HANDLE_VALUE) return reinterpret_cast<intptr_t>(h);
  uint32_t error = api.GetLastError();
  if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return -1;
  // No such device: zelsim's pipe, if it serves one.
  std::string pipe = DeviceSocketPath(path);
  if (pipe == (path ? path : "")) return -1;
  win32::RenewHold(api, pipe);
  h = win32::OpenPipe(api, pipe);
  if (h == INVALID_HANDLE_VALUE) return -1;
  std::lock_guard<std::mutex> lock(win32::g_lock);
  win32::g_pipes.insert(reinterpret_cast<intptr_t>(h));
  return reinterpret_cast<intptr_t>(h);
}

int DeviceCloseHandle(intptr_t h) {
  if (h == -1) return 0;
  {
    std::lock_guard<std::mutex> lock(win32::g_lock);
    win32::g_pipes.erase(h);
  }
  return win32::Api().CloseHandle(reinterpret_cast<void*>(h));
}

int DeviceIoControl(intptr_t h, uint32_t code, const void* in, uint32_t inLength, void* out,
                    uint32_t outCapacity, uint32_t* returned, void*) {
  win32::DeviceApi api = win32::Api();
  if (win32::IsPipe(h)) {
    win32::PipeStream s(api, reinterpret_cast<void*>(h));
    return pipe_frames::IoControl(s, code, in, inLength, out, outCapacity, returned);
  }
  return api.DeviceIoControl(reinterpret_cast<void*>(h), code, in, inLength, out, outCapacity,
                             returned);
}

int DeviceWriteFile(intptr_t h, const void* buffer, uint32_t length, uint32_t* put, void*) {
  win32::DeviceApi api = win32::Api();
  if (win32::IsPipe(h)) {
    win32::PipeStream s(api, reinterpret_cast<void*>(h));
    return pipe_frames::WriteData(s, buffer, length, put);
  }
  return api.WriteFile(reinterpret_cast<void*>(h), buffer, length, put);
}

int DeviceReadFile(intptr_t h, void* buffer, uint32_t length, uint32_t* got, void*) {
  win32::DeviceApi api = win32::Api();
  if (win32::IsPipe(h)) {
    win32::PipeStream s(api, reinterpret_cast<void*>(h));
    return pipe_frames::ReadData(s, buffer, length, got);
  }
  return api.ReadFile(reinterpret_cast<void*>(h), buffer, length, got);
}

// The driver takes the calls one by one, and so does zelsim's pipe here.
int DeviceExchange(intptr_t h, const void* block, uint32_t blockLength, void* data,
                   uint32_t length, int hasData, int toDevice, void* reply, uint32_t replyLength) {
  uint32_t count = 0;
  if (!DeviceIoControl(h, kIoctlSendRequest, block, blockLength, nullptr, 0, &count, nullptr))
    return 0;
  if (hasData) {
    count = 0;
    int ok = toDevice ? DeviceWriteFile(h, data, length, &count, nullptr)
                      : DeviceReadFile(h, data, length, &count, nullptr);
    if (!ok || count != length) return 0;
  }
  return DeviceIoControl(h, kIoctlFetchReply, nullptr, 0, reply, replyLength, &count, nullptr);
}

// The driver's calls cannot be parted: the request is made whole, later.
int DeviceExchangeSend(intptr_t, const void*, uint32_t, const void*, uint32_t, int, int, uint32_t) {
  return -1;
}

int DeviceExchangeFinish(intptr_t, void*, uint32_t, int, int, void*, uint32_t) { return 0; }

}  // namespace host
