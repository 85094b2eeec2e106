// A recording transport for tests of device requests.
//
// Installed in a ZEL_DEVICE_IO's five pfn* transport pointers, it records
// every call (open, both control calls with their bytes, the data phase
// with its direction and length, close) and plays a scripted reply: the
// reply record, the bytes a read data phase receives, and failures of any
// single step. One instance is active at a time (the transport calls are
// plain function pointers without a context).
//
//   ZEL_DEVICE_IO device("\\\\.\\lexon0", 0);
//   RecordingTransport t(device);
//   t.reply = {0, 7};
//   EXPECT_EQ(device.LowFormat(), 7);
//   EXPECT_EQ(t.Block(), Hex("43 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tervlink/records.h"
#include "tervlink/zel_device_io.h"

// "41 00 10" -> bytes.
inline std::vector<uint8_t> Hex(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(uint8_t(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    i += 2;
  }
  return out;
}

class RecordingTransport {
 public:
  enum class Kind { kOpen, kSend, kFetch, kWrite, kRead, kClose };
  struct Call {
    Kind kind;
    std::string path;            // kOpen
    uint32_t code = 0;           // kSend, kFetch: the control code
    std::vector<uint8_t> bytes;  // kSend: the command block; kWrite: the data written
    uint32_t length = 0;         // kWrite, kRead: the length asked for; kFetch: output capacity
  };

  // ---- the script ----
  bool failOpen = false;    // the device is absent
  bool failSend = false;    // the control call with the command block fails
  bool failData = false;    // the data phase call fails
  bool failFetch = false;   // the control call for the reply fails
  uint32_t shortBy = 0;     // the data phase moves this many bytes fewer than asked
  _ZEL_REPLY reply{0, 0};   // the reply played
  std::vector<uint8_t> readData;  // what a read data phase receives (zeros past its end)

  // ---- the record ----
  std::vector<Call> calls;

  explicit RecordingTransport(ZEL_DEVICE_IO& device) {
    current_ = this;
    device.pfnCreateFile = Open;
    device.pfnDeviceIoControl = Control;
    device.pfnCloseHandle = Close;
    device.pfnReadFile = ReadData;
    device.pfnWriteFile = WriteData;
    device.pfnExchange = nullptr;  // every call goes through the double
  }
  ~RecordingTransport() { current_ = nullptr; }
  RecordingTransport(const RecordingTransport&) = delete;
  RecordingTransport& operator=(const RecordingTransport&) = delete;

  // The command block of the last request (empty when none was sent).
  std::vector<uint8_t> Block() const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
      if (it->kind == Kind::kSend) return it->bytes;
    return {};
  }
  size_t Count(Kind kind) const {
    return size_t(std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.kind == kind; }));
  }
  // The data phase call of the last request, or null.
  const Call* DataCall() const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
      if (it->kind == Kind::kWrite || it->kind == Kind::kRead) return &*it;
    return nullptr;
  }
  // True when every handle opened was closed exactly once.
  bool Balanced() const {
    size_t opened = 0;
    for (const Call& c : calls)
      if (c.kind == Kind::kOpen && !failOpen) ++opened;
    return opened == Count(Kind::kClose);
  }
  void Clear() { calls.clear(); }
  // Back to a transport that answers everything with {0, 0} and has recorded nothing.
  void Reset() {
    failOpen = failSend = failData = failFetch = false;
    shortBy = 0;
    reply = {0, 0};
    readData.clear();
    calls.clear();
  }

 private:
  static constexpr DeviceHandle kHandle = 0x5A;

  static DeviceHandle Open(const char* path, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
    current_->calls.push_back({Kind::kOpen, path ? path : "", 0, {}, 0});
    return current_->failOpen ? INVALID_HANDLE_VALUE : kHandle;
  }

  static int Control(DeviceHandle h, uint32_t code, const void* in, uint32_t inLength, void* out,
                     uint32_t outCapacity, uint32_t* returned, void*) {
    RecordingTransport& t = *current_;
    if (h != kHandle) return 0;
    if (code == kIoctlSendRequest) {
      const uint8_t* p = static_cast<const uint8_t*>(in);
      t.calls.push_back({Kind::kSend, "", code, std::vector<uint8_t>(p, p + inLength), 0});
      if (returned) *returned = 0;
      return t.failSend ? 0 : 1;
    }
    t.calls.push_back({Kind::kFetch, "", code, {}, outCapacity});
    if (t.failFetch || code != kIoctlFetchReply || outCapacity < kReplyBytes) return 0;
    auto raw = EncodeReply(t.reply);
    std::copy(raw.begin(), raw.end(), static_cast<uint8_t*>(out));
    if (returned) *returned = kReplyBytes;
    return 1;
  }

  static int Close(DeviceHandle h) {
    current_->calls.push_back({Kind::kClose, "", 0, {}, 0});
    return h == kHandle;
  }

  static int ReadData(DeviceHandle h, void* buffer, uint32_t length, uint32_t* got, void*) {
    RecordingTransport& t = *current_;
    t.calls.push_back({Kind::kRead, "", 0, {}, length});
    if (h != kHandle || t.failData) return 0;
    uint32_t n = length > t.shortBy ? length - t.shortBy : 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < n; ++i) out[i] = i < t.readData.size() ? t.readData[i] : 0;
    *got = n;
    return 1;
  }

  static int WriteData(DeviceHandle h, const void* buffer, uint32_t length, uint32_t* put, void*) {
    RecordingTransport& t = *current_;
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    t.calls.push_back({Kind::kWrite, "", 0, std::vector<uint8_t>(p, p + length), length});
    if (h != kHandle || t.failData) return 0;
    *put = length > t.shortBy ? length - t.shortBy : 0;
    return 1;
  }

  static inline RecordingTransport* current_ = nullptr;
};
