#include "driver_server.h"

#include <cstdio>
#include <string>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/host/host.h"

namespace {

constexpr uint8_t kFrameIoctl = 1;
constexpr uint8_t kFrameWrite = 2;
constexpr uint8_t kFrameRead = 3;
// The largest data phase accepted (a run of 65,535 sectors and more).
constexpr uint32_t kMaxData = 64u << 20;

bool SendStatusAndData(int fd, bool ok, const uint8_t* data, uint32_t n) {
  uint8_t head[5];
  head[0] = ok ? 1 : 0;
  bytes::Put32(head + 1, n);
  return host::WriteExact(fd, head, sizeof head) && (n == 0 || host::WriteExact(fd, data, n));
}

void Trace(const _ZEL_REQUEST& block) {
  auto raw = EncodeRequest(block);
  char text[3 * kRequestBytes + 1] = {};
  for (size_t i = 0; i < raw.size(); ++i) snprintf(text + 3 * i, 4, "%02x ", raw[i]);
  text[3 * kRequestBytes - 1] = '\0';
  host::PrintError("zelsim: %s", text);
}

// The first bytes of a data phase sent to the device.
void TraceData(std::span<const uint8_t> data) {
  constexpr size_t kShown = 16;
  char text[3 * kShown + 1] = {};
  size_t n = std::min(data.size(), kShown);
  for (size_t i = 0; i < n; ++i) snprintf(text + 3 * i, 4, "%02x ", data[i]);
  if (n) text[3 * n - 1] = '\0';
  host::PrintError("zelsim:   data %zu bytes: %s%s", data.size(), text,
                   data.size() > kShown ? " ..." : "");
}

}  // namespace

void ServeConnection(int fd, DeviceModel& model, bool trace, std::mutex* modelLock) {
  _ZEL_REQUEST block;
  bool haveBlock = false;
  bool executed = false;
  DeviceAnswer answer;
  auto run = [&](std::span<const uint8_t> data) {
    if (!executed) {
      if (trace && haveBlock && !data.empty()) TraceData(data);
      std::unique_lock<std::mutex> lock;
      if (modelLock) lock = std::unique_lock<std::mutex>(*modelLock);
      answer = haveBlock ? model.Execute(block, data) : DeviceAnswer::Refused();
      executed = true;
    }
  };
  // A block without a data phase is carried out even when the PC closes
  // without fetching the reply: Reboot does just that.
  auto runPending = [&] {
    if (haveBlock && !executed && block.length == 0) run({});
  };

  for (;;) {
    uint8_t type = 0;
    if (!host::ReadExact(fd, &type, 1)) {
      runPending();
      return;
    }
    if (type == kFrameIoctl) {
      uint8_t head[12];
      if (!host::ReadExact(fd, head, sizeof head)) return;
      uint32_t code = bytes::Get32(head), inLength = bytes::Get32(head + 4),
               outCapacity = bytes::Get32(head + 8);
      if (inLength > 4096) return;
      std::vector<uint8_t> in(inLength);
      if (inLength && !host::ReadExact(fd, in.data(), inLength)) return;
      if (code == kIoctlSendRequest && inLength >= kRequestBytes) {
        runPending();
        block = DecodeRequest(in);
        haveBlock = true;
        executed = false;
        if (trace) Trace(block);
        if (!SendStatusAndData(fd, true, nullptr, 0)) return;
      } else if (code == kIoctlFetchReply && haveBlock) {
        run({});
        auto reply = EncodeReply(_ZEL_REPLY{answer.status, answer.value});
        uint32_t n = std::min<uint32_t>(kReplyBytes, outCapacity);
        if (!SendStatusAndData(fd, true, reply.data(), n)) return;
      } else {
        if (!SendStatusAndData(fd, false, nullptr, 0)) return;
      }
    } else if (type == kFrameWrite) {
      uint8_t head[4];
      if (!host::ReadExact(fd, head, sizeof head)) return;
      uint32_t length = bytes::Get32(head);
      if (length > kMaxData) return;
      std::vector<uint8_t> data(length);
      if (length && !host::ReadExact(fd, data.data(), length)) return;
      run(data);
      uint8_t reply[5] = {uint8_t(haveBlock ? 1 : 0)};
      bytes::Put32(reply + 1, haveBlock ? length : 0);
      if (!host::WriteExact(fd, reply, sizeof reply)) return;
    } else if (type == kFrameRead) {
      uint8_t head[4];
      if (!host::ReadExact(fd, head, sizeof head)) return;
      uint32_t length = bytes::Get32(head);
      run({});
      uint32_t n = std::min<uint32_t>(length, uint32_t(answer.data.size()));
      if (!SendStatusAndData(fd, haveBlock, answer.data.data(), n)) return;
    } else {
      return;
    }
  }
}

int RunDriverServer(DeviceModel& model, const DriverServerOptions& options) {
  std::string dir = host::RunDir();
  if (!host::MakeDirs(dir)) {
    host::PrintError("zelsim: cannot create the run folder %s", dir.c_str());
    return 1;
  }
  std::string device = "\\\\.\\lexon" + std::to_string(options.device);
  std::string path = host::DeviceSocketPath(device.c_str());
  int listener = host::ListenSocket(path);
  if (listener == -2) {
    host::PrintError("zelsim: device lexon%d is already served by another zelsim (%s)",
                     options.device, path.c_str());
    return 1;
  }
  if (listener < 0) {
    host::PrintError("zelsim: cannot serve %s", path.c_str());
    return 1;
  }
  host::PrintError("zelsim: serving \\\\.\\lexon%d at %s", options.device, path.c_str());
  while (!host::Stopping()) {
    int fd = host::AcceptSocket(listener);
    if (fd < 0) continue;
    ServeConnection(fd, model, options.trace, options.modelLock);
    host::CloseSocket(fd);
  }
  host::CloseSocket(listener);
  host::RemoveFile(path.c_str());
  host::PrintError("zelsim: stopped");
  return 0;
}
