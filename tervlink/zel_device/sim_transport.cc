// The simulation transport over mailslots.
//
// One request over this link (the read of 8 sectors from sector 100, both
// toggles at DATA0):
//
//   PC -> sim   03 01 81 01 03 | AB 01 00 10 00 10 00 00 | <command block> | 00 00
//   sim -> PC   02                                   (ACK; endpoint 3 toggles)
//   PC -> sim   06 01 01 40 03 00 10 00 00           (bulk in, 4096 bytes)
//   sim -> PC   00 10 00 00 03, then 4096 bytes      (64 packets: no toggle)
//   PC -> sim   02 09 01 01                          (in token, endpoint 2)
//   sim -> PC   03 <12-byte status packet> 00 00     (DATA0)
//   PC -> sim   05 02                                (acknowledge; endpoint 2 toggles)

#include "sim_transport.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/host/host.h"

namespace {

constexpr char kReceiveSlot[] = "\\\\.\\mailslot\\c33_usb_rcv_io";  // ours; the simulator writes
constexpr char kSendSlot[] = "\\\\.\\mailslot\\c33_usb_snd_io";     // the simulator's
constexpr uint32_t kReceiveBufferBytes = 67;  // identifier, 64 data bytes, 2 check bytes
constexpr size_t kToggleEntries = 32;
constexpr size_t kBulkHeaderBytes = 9;
constexpr size_t kBulkAnswerBytes = 5;
constexpr uint8_t kBulkInOk = 3;
constexpr uint8_t kBulkOutOk = 2;
// While an answer is awaited, every this many ms the simulator's mailslot is
// checked: a simulator that has gone will never answer.
constexpr int kAnswerCheckMs = 250;

constexpr char kNoSimulatorSlot[] = "Can't Create USB receiver Simulation IO.";
constexpr char kNoReceiveSlot[] = "Can't Create USB Sender Simulation IO.";
constexpr char kCannotCreateSlot[] = "Can't Create USB transiver Simulation IO.";

// The standard requests that enumerate a fresh device.
constexpr uint8_t kSetConfiguration1[8] = {0x00, 0x09, 0x01, 0, 0, 0, 0, 0};
constexpr uint8_t kSetAddress1[8] = {0x00, 0x05, 0x01, 0, 0, 0, 0, 0};

struct SimLinkState {
  host::MailslotHandle receive = host::kInvalidMailslot;
  host::MailslotHandle send = host::kInvalidMailslot;
  int up = 0;
  uint8_t toggles[kToggleEntries];
  uint8_t received[kReceiveBufferBytes];
  std::vector<uint8_t> message;
};
SimLinkState g_link;

uint8_t& ToggleOf(uint8_t endpoint) { return g_link.toggles[endpoint % kToggleEntries]; }

// The toggle rule of every transfer: 0xFF takes the table's entry, any
// other value is stored there and used.
uint8_t UseToggle(uint8_t endpoint, uint8_t toggle) {
  if (toggle != kCurrentToggle) ToggleOf(endpoint) = toggle;
  return ToggleOf(endpoint);
}

void Flip(uint8_t endpoint) {
  uint8_t& t = ToggleOf(endpoint);
  t = t == kPidData0 ? kPidData1 : kPidData0;
}

// Flips the endpoint's toggle when an odd number of packets carried the bytes.
void FlipForPackets(uint8_t endpoint, uint8_t maxPacket, uint32_t bytes) {
  uint32_t size = maxPacket ? maxPacket : kSimMaxPacket;
  uint32_t packets = bytes / size + (bytes % size ? 1 : 0);
  if (packets % 2) Flip(endpoint);
}

// One message from the simulator into buffer: its length, or -1. Waits while
// the simulator runs; gives up when its mailslot has lost its server (the
// simulator stopped), so that a request fails instead of hanging.
int ReceiveInto(uint8_t* buffer, uint32_t capacity) {
  if (g_link.receive == host::kInvalidMailslot) {
    host::ShowFatalError(kNoReceiveSlot);
    return -1;
  }
  if (g_link.send == host::kInvalidMailslot) return -1;
  for (;;) {
    uint32_t got = 0;
    switch (host::ReadMailslot(g_link.receive, buffer, capacity, &got, kAnswerCheckMs)) {
      case host::MailslotRead::kOk: return int(got);
      case host::MailslotRead::kTimeout:
        if (!host::MailslotHasServer(kSendSlot)) return -1;
        break;
      default: return -1;
    }
  }
}

bool SendAck() {
  const uint8_t ack[2] = {kMsgAck, kPidAck};
  return SimSend(ack, sizeof ack);
}

// A standard request: the setup stage, the wait, and the status stage (an
// empty DATA1 packet from address 0, endpoint 0).
bool StandardRequest(const uint8_t request[8], uint32_t waitMs) {
  if (SimSetup(request) != 2) return false;
  host::Sleep(waitMs);
  uint8_t none[1];
  uint32_t count = 0;
  return SimIn(0, 0, kPidData1, none, 0, &count) == kPidData1 && count == 0;
}

}  // namespace

bool SimSend(const uint8_t* message, uint32_t length) {
  if (g_link.send == host::kInvalidMailslot) {
    g_link.send = host::OpenMailslot(kSendSlot);
    if (g_link.send == host::kInvalidMailslot) {
      host::ShowFatalError(kNoSimulatorSlot);
      return false;
    }
  }
  if (!host::WriteMailslot(g_link.send, message, length)) {
    // The simulator has gone: the next send opens its mailslot anew, so a
    // restarted simulator can be reached.
    host::CloseMailslot(g_link.send);
    g_link.send = host::kInvalidMailslot;
    return false;
  }
  host::ClearFatalError();
  return true;
}

int SimReceive() { return ReceiveInto(g_link.received, kReceiveBufferBytes); }

int SimSetup(const uint8_t request[8]) {
  uint8_t m[15] = {kMsgSetup, kPidSetup, 0x00, 0x00, kPidData0};
  memcpy(m + 5, request, 8);
  if (!SimSend(m, sizeof m)) return -1;
  if (SimReceive() < 1) return -1;
  return g_link.received[0] == kPidAck ? 2 : -1;
}

int SimIn(uint8_t address, uint8_t endpoint, uint8_t toggle, uint8_t* buffer, uint32_t capacity,
          uint32_t* count) {
  uint8_t expected = UseToggle(endpoint, toggle);
  uint8_t m[4] = {kMsgInToken, kPidIn};
  bytes::Put16(m + 2, TokenWord(address, endpoint));
  for (;;) {
    if (!SimSend(m, sizeof m)) return -1;
    int n = SimReceive();
    if (n < 1) return -1;
    uint8_t pid = g_link.received[0];
    if (pid == 0) return 0;
    if (pid == kPidNak) {
      host::Sleep(1);
      continue;
    }
    if (pid == expected) {
      int length = n - 3;  // identifier and two check bytes around the data
      if (length < 0 || length >= 64) return -1;
      if (buffer) memcpy(buffer, g_link.received + 1, std::min<uint32_t>(length, capacity));
      if (count) *count = uint32_t(length);
      if (!SendAck()) return -1;
      Flip(endpoint);
      return pid;
    }
    // A packet with the other toggle repeats one already taken; a stall or
    // anything else is no data either. Acknowledged, never used.
    if (!SendAck()) return -1;
    return pid;
  }
}

int SimOut(uint8_t address, uint8_t endpoint, uint8_t toggle, const uint8_t* data, uint32_t n) {
  if (n > 255) return -1;
  uint8_t pid = UseToggle(endpoint, toggle);
  g_link.message.assign(7 + n, 0);
  uint8_t* m = g_link.message.data();
  m[0] = kMsgOutToken;
  m[1] = kPidOut;
  bytes::Put16(m + 2, TokenWord(address, endpoint));
  m[4] = pid;
  if (n) memcpy(m + 5, data, n);
  for (;;) {
    if (!SimSend(g_link.message.data(), uint32_t(g_link.message.size()))) return -1;
    if (SimReceive() < 1) return -1;
    switch (g_link.received[0]) {
      case kPidNak: host::Sleep(5); continue;
      case kPidAck: Flip(endpoint); return 2;
      case kPidStall: return 14;
      case 0: return 0;
      default: return -1;
    }
  }
}

// Sends the header of a bulk transfer (its kind, the token word, the
// packet size, the data toggle's PID and the length); false when it cannot.
static bool SendBulkHeader(uint8_t kind, uint8_t address, uint8_t endpoint, uint8_t maxPacket,
                    uint8_t toggle, uint32_t length) {
  uint8_t h[kBulkHeaderBytes] = {kind};
  bytes::Put16(h + 1, TokenWord(address, endpoint));
  h[3] = maxPacket;
  h[4] = UseToggle(endpoint, toggle);
  bytes::Put32(h + 5, length);
  return SimSend(h, sizeof h);
}

int SimBulkIn(uint8_t address, uint8_t endpoint, uint8_t maxPacket, uint8_t toggle,
              uint8_t* buffer, uint32_t* length) {
  if (!SendBulkHeader(kMsgBulkIn, address, endpoint, maxPacket, toggle, *length)) return -1;
  if (SimReceive() < int(kBulkAnswerBytes)) return -1;
  uint32_t announced = bytes::Get32(g_link.received);
  uint8_t status = g_link.received[4];
  uint32_t want = std::min(announced, *length);
  int got = ReceiveInto(buffer, want);
  // Fewer bytes than announced would leave the caller's buffer part stale
  // while the count claims it full.
  if (got < 0 || uint32_t(got) != want) return -1;
  FlipForPackets(endpoint, maxPacket, uint32_t(got));
  *length = announced;
  return status;
}

int SimBulkOut(uint8_t address, uint8_t endpoint, uint8_t maxPacket, uint8_t toggle,
               const uint8_t* buffer, uint32_t* length) {
  if (!SendBulkHeader(kMsgBulkOut, address, endpoint, maxPacket, toggle, *length)) return -1;
  if (!SimSend(buffer, *length)) return -1;
  if (SimReceive() < int(kBulkAnswerBytes)) return -1;
  uint32_t taken = bytes::Get32(g_link.received);
  *length = taken;
  FlipForPackets(endpoint, maxPacket, taken);
  return g_link.received[4];
}

DeviceHandle SimCreateFile(const char*, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
  return g_link.up ? 1 : INVALID_HANDLE_VALUE;
}

int SimCloseHandle(DeviceHandle) { return 1; }

int SimDeviceIoControl(DeviceHandle, uint32_t code, const void* in, uint32_t inLength, void* out,
                       uint32_t outCapacity, uint32_t*, void*) {
  if (!g_link.up) return 0;
  if (code == kIoctlSendRequest) {
    if (!in || inLength != kRequestBytes) return 0;
    uint8_t wrapper[kCommandWrapperBytes] = {0xAB, 0x01, 0x00, uint8_t(kRequestBytes)};
    const auto* block = static_cast<const uint8_t*>(in);
    bytes::Put32(wrapper + 4, bytes::Get32(block + 4));  // the data phase's length
    memcpy(wrapper + 8, block, kRequestBytes);
    return SimOut(kSimAddress, kSimEndpointToDevice, kCurrentToggle, wrapper,
                  sizeof wrapper) == 2;
  }
  if (code == kIoctlFetchReply) {
    if (!out || outCapacity != kReplyBytes) return 0;
    uint8_t status[kStatusPacketBytes] = {};
    uint32_t count = 0;
    uint8_t expected = ToggleOf(kSimEndpointToPc);
    // Only a packet with the expected toggle carries the reply; one with the
    // other toggle is a repeat, and its bytes are not this reply.
    if (SimIn(kSimAddress, kSimEndpointToPc, kCurrentToggle, status, sizeof status, &count) !=
        expected)
      return 0;
    _ZEL_REPLY reply;
    reply.status = status[2];
    reply.value = int32_t(bytes::Get32(status + 4));
    auto encoded = EncodeReply(reply);
    memcpy(out, encoded.data(), kReplyBytes);
    return 1;
  }
  return 0;
}

int SimReadFile(DeviceHandle, void* buffer, uint32_t length, uint32_t* got, void*) {
  if (got) *got = 0;
  if (!g_link.up) return 0;
  uint32_t n = length;
  int status = SimBulkIn(kSimAddress, kSimEndpointToPc, kSimMaxPacket, kCurrentToggle,
                         static_cast<uint8_t*>(buffer), &n);
  if (status < 0) return 0;
  if (got) *got = n;
  return status == kBulkInOk;
}

int SimWriteFile(DeviceHandle, const void* buffer, uint32_t length, uint32_t* put, void*) {
  if (put) *put = 0;
  if (!g_link.up) return 0;
  uint32_t n = length;
  int status = SimBulkOut(kSimAddress, kSimEndpointToDevice, kSimMaxPacket, kCurrentToggle,
                          static_cast<const uint8_t*>(buffer), &n);
  if (status < 0) return 0;
  if (put) *put = n;
  return status == kBulkOutOk;
}

int SimOpenLink() {
  // A link opened again starts from nothing; the old handles are not leaked.
  SimCloseLink();
  std::fill(std::begin(g_link.toggles), std::end(g_link.toggles), kPidData0);
  g_link.receive = host::CreateMailslot(kReceiveSlot, host::kMaxMailslotMessage);
  if (g_link.receive == host::kInvalidMailslot) {
    host::ShowFatalError(kCannotCreateSlot);
    return -1;
  }
  // Greet until a simulator answers. One that is not up yet is waited for,
  // and said so plainly, once (the fatal error of a failed send is for a
  // simulator that was there); the greeting is repeated once its mailslot
  // has a reader again, and the wait in between sleeps instead of polling.
  bool told = false;
  for (;;) {
    const bool up = host::MailslotHasServer(kSendSlot);
    const uint8_t hello = kMsgHello;
    if (up && SimSend(&hello, 1) && SimReceive() >= 4) break;
    if (!up && !told) {
      host::PrintError("Tervan: 仿真器还没有启动 (没有程序打开邮槽 %s), 等待它启动 ...",
                       host::MailslotPath(kSendSlot).c_str());
      host::PrintError("        启动仿真器: zelsim --state 状态目录 --link usb");
      told = true;
    }
    host::Sleep(4);
    // Interrupted (Ctrl-C): the link stays down, the device test fails.
    if (!host::WaitForMailslotServer(kSendSlot, -1)) return -1;
  }
  return int32_t(bytes::Get32(g_link.received));
}

int SimStartLink(int state) {
  if (state < 0) return 0;
  if (state == 0) {
    if (!StandardRequest(kSetConfiguration1, 550)) return 0;
    host::Sleep(1500);
    if (!StandardRequest(kSetAddress1, 1500)) return 0;
  }
  g_link.up = 1;
  return 1;
}

void SimCloseLink() {
  g_link.up = 0;
  if (g_link.send != host::kInvalidMailslot) host::CloseMailslot(g_link.send);
  if (g_link.receive != host::kInvalidMailslot) host::CloseMailslot(g_link.receive);
  g_link.send = host::kInvalidMailslot;
  g_link.receive = host::kInvalidMailslot;
}
