// Mailslots of the simulation link on Windows: the system's own
// (CreateMailslotA, CreateFileA on "\\.\mailslot\NAME", WriteFile, ReadFile).
//
// A read waits with the slot's read time-out (SetMailslotInfo) into a
// buffer as large as the slot's largest message, so every message arrives
// whole and its boundaries hold; one too long for the caller is dropped.
// Wine differs in two ways that this copes with: an empty message reads as
// a failure with ERROR_BROKEN_PIPE (a mailslot has no pipe to break), and
// its messages cannot exceed about 200 KB (docs/windows.md).
//
// A mailslot lives on while a client still holds a handle to it, and
// writes into it succeed with nobody reading; a server cannot create it
// again meanwhile. So a client handle here is only the slot's name: each
// message opens the slot, writes and closes it. A write then fails once the
// server has gone, as on Linux, and a restarted server (zelsim, or Tervan's
// own receiving slot) finds its name free.

#include "windows_api.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "device_api.h"
#include "tervlink/host/host.h"

namespace host {
namespace {

constexpr char kSlotPrefix[] = "\\\\.\\mailslot\\";

struct ServerSlot {
  uint32_t maxMessage = kMaxMailslotMessage;
  std::unique_ptr<uint8_t[]> buffer;  // maxMessage bytes, made at the first read
  int timeoutMs = -2;                 // the read time-out set last (-2: none yet)
};

std::mutex g_slotsLock;
std::map<intptr_t, ServerSlot> g_servers;  // server handles -> their slots

// Client handles: odd numbers (system handles are multiples of 4) naming
// the slot they write to.
std::map<intptr_t, std::string> g_clients;
intptr_t g_nextClient = 1;

HANDLE Handle(MailslotHandle h) { return reinterpret_cast<HANDLE>(h); }

HANDLE OpenForWriting(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads the next message of a server handle into its buffer: kOk with its
// length, kTimeout, or kFailed. One thread reads a slot at a time.
MailslotRead ReadNext(MailslotHandle h, int timeoutMs, const uint8_t*& data, DWORD& length) {
  ServerSlot* slot = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_slotsLock);
    auto it = g_servers.find(h);
    if (it == g_servers.end()) return MailslotRead::kFailed;
    slot = &it->second;
  }
  if (!slot->buffer) slot->buffer.reset(new (std::nothrow) uint8_t[slot->maxMessage + 1]);
  if (!slot->buffer) return MailslotRead::kFailed;
  if (slot->timeoutMs != timeoutMs) {
    DWORD wait = timeoutMs < 0 ? MAILSLOT_WAIT_FOREVER : DWORD(timeoutMs);
    if (!SetMailslotInfo(Handle(h), wait)) return MailslotRead::kFailed;
    slot->timeoutMs = timeoutMs;
  }
  length = 0;
  data = slot->buffer.get();
  if (ReadFile(Handle(h), slot->buffer.get(), slot->maxMessage + 1, &length, nullptr))
    return length > slot->maxMessage ? MailslotRead::kFailed : MailslotRead::kOk;
  DWORD error = GetLastError();
  if (error == ERROR_SEM_TIMEOUT) return MailslotRead::kTimeout;
  if (length == 0 && (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF))
    return MailslotRead::kOk;  // an empty message, as Wine reports one
  return MailslotRead::kFailed;
}

}  // namespace

std::string MailslotPath(const char* name) {
  std::string n = name ? name : "";
  if (n.compare(0, strlen(kSlotPrefix), kSlotPrefix) == 0) n = n.substr(strlen(kSlotPrefix));
  return kSlotPrefix + win32::PrivateNamespace() + n;
}

MailslotHandle CreateMailslot(const char* name, uint32_t maxMessage) {
  uint32_t max = std::min(std::max(maxMessage, 1u), kMaxMailslotMessage);
  // A slot held by another server is refused by the system itself.
  std::string path = MailslotPath(name);
  HANDLE h = ::CreateMailslotA(path.c_str(), max, MAILSLOT_WAIT_FOREVER, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kInvalidMailslot;
  std::lock_guard<std::mutex> lock(g_slotsLock);
  g_servers[reinterpret_cast<intptr_t>(h)].maxMessage = max;
  return reinterpret_cast<intptr_t>(h);
}

MailslotHandle OpenMailslot(const char* name) {
  std::string path = MailslotPath(name);
  HANDLE h = OpenForWriting(path);
  if (h == INVALID_HANDLE_VALUE) return kInvalidMailslot;
  CloseHandle(h);
  std::lock_guard<std::mutex> lock(g_slotsLock);
  intptr_t id = g_nextClient;
  g_nextClient += 2;
  g_clients[id] = path;
  return id;
}

bool MailslotHasServer(const char* name) {
  HANDLE h = OpenForWriting(MailslotPath(name));
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

bool WriteMailslot(MailslotHandle h, const void* data, uint32_t length) {
  if (h == kInvalidMailslot || length > kMaxMailslotMessage || (length && !data)) return false;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_slotsLock);
    auto it = g_clients.find(h);
    if (it == g_clients.end()) return false;
    path = it->second;
  }
  HANDLE slot = OpenForWriting(path);
  if (slot == INVALID_HANDLE_VALUE) return false;  // the server has gone
  DWORD put = 0;
  static const uint8_t kNothing = 0;
  bool ok = WriteFile(slot, length ? data : &kNothing, length, &put, nullptr) && put == length;
  CloseHandle(slot);
  return ok;
}

MailslotRead ReadMailslot(MailslotHandle h, void* buffer, uint32_t capacity, uint32_t* got,
                          int timeoutMs) {
  if (got) *got = 0;
  const uint8_t* data = nullptr;
  DWORD length = 0;
  MailslotRead r = ReadNext(h, timeoutMs, data, length);
  if (r != MailslotRead::kOk) return r;
  if (length > capacity) return MailslotRead::kTooLong;
  if (length) memcpy(buffer, data, length);
  if (got) *got = length;
  return MailslotRead::kOk;
}

MailslotRead ReadMailslotMessage(MailslotHandle h, std::vector<uint8_t>& message, int timeoutMs) {
  message.clear();
  const uint8_t* data = nullptr;
  DWORD length = 0;
  MailslotRead r = ReadNext(h, timeoutMs, data, length);
  if (r == MailslotRead::kOk) message.assign(data, data + length);
  return r;
}

void CloseMailslot(MailslotHandle h) {
  if (h == kInvalidMailslot) return;
  {
    std::lock_guard<std::mutex> lock(g_slotsLock);
    if (g_clients.erase(h)) return;
    g_servers.erase(h);
  }
  CloseHandle(Handle(h));
}

}  // namespace host
