#include "usb_server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/zel_device/sim_transport.h"

namespace {

constexpr char kServerSlot[] = "\\\\.\\mailslot\\c33_usb_snd_io";  // ours; the PC writes
constexpr char kPcSlot[] = "\\\\.\\mailslot\\c33_usb_rcv_io";      // the PC's
// How often the serving loop looks at its stop flag.
constexpr int kStopCheckMs = 200;

// Greeting answers.
constexpr int32_t kStateReady = 1;
constexpr int32_t kStateFresh = 0;
constexpr int32_t kStateRefused = -1;

// Standard requests (bmRequestType 0, host to device).
constexpr uint8_t kSetAddress = 0x05;
constexpr uint8_t kSetConfiguration = 0x09;

// Bulk answers: 3 / 2 for a bulk in / out carried out; a stall otherwise.
constexpr uint8_t kBulkInOk = 3;
constexpr uint8_t kBulkOutOk = 2;
constexpr uint8_t kBulkRefused = kPidStall;

constexpr uint8_t kWrapperSignature[4] = {0xAB, 0x01, 0x00, 0x10};

std::vector<uint8_t> One(uint8_t b) { return {b}; }

std::vector<uint8_t> BulkAnswer(uint32_t length, uint8_t status) {
  std::vector<uint8_t> a(5);
  bytes::Put32(a.data(), length);
  a[4] = status;
  return a;
}

void DecodeToken(const uint8_t* p, uint8_t& address, uint8_t& endpoint) {
  uint16_t w = bytes::Get16(p);
  address = uint8_t(w & 0x7F);
  endpoint = uint8_t((w >> 7) & 0x0F);
}

void Trace(const _ZEL_REQUEST& block) {
  auto raw = EncodeRequest(block);
  char text[3 * kRequestBytes + 1] = {};
  for (size_t i = 0; i < raw.size(); ++i) snprintf(text + 3 * i, 4, "%02x ", raw[i]);
  text[3 * kRequestBytes - 1] = '\0';
  host::PrintError("zelsim: usb %s", text);
}

}  // namespace

UsbDevice::UsbDevice(DeviceModel& model, const UsbServerOptions& options)
    : model_(model), options_(options) {
  std::fill(std::begin(toggles_), std::end(toggles_), kPidData0);
  if (!options_.fresh) {
    address_ = kSimAddress;
    configured_ = true;
  }
}

void UsbDevice::Flip(uint8_t endpoint) {
  uint8_t& t = Toggle(endpoint);
  t = t == kPidData0 ? kPidData1 : kPidData0;
}

void UsbDevice::FlipForPackets(uint8_t endpoint, uint8_t maxPacket, uint32_t bytes) {
  uint32_t size = maxPacket ? maxPacket : kSimMaxPacket;
  uint32_t packets = bytes / size + (bytes % size ? 1 : 0);
  if (packets % 2) Flip(endpoint);
}

void UsbDevice::Execute(std::span<const uint8_t> dataIn) {
  if (!haveCommand_ || executed_) return;
  executed_ = true;
  std::unique_lock<std::mutex> lock;
  if (options_.modelLock) lock = std::unique_lock<std::mutex>(*options_.modelLock);
  answer_ = refusedClient_ ? DeviceAnswer::Refused() : model_.Execute(command_, dataIn);
}

std::vector<std::vector<uint8_t>> UsbDevice::Handle(std::span<const uint8_t> m) {
  if (bulkOut_.active) return BulkOutData(m);
  if (m.empty()) return {One(0)};
  switch (m[0]) {
    case kMsgHello: return Hello();
    case kMsgInToken: return InToken(m);
    case kMsgOutToken: return OutToken(m);
    case kMsgSetup: return Setup(m);
    case kMsgAck: return Acknowledge();
    case kMsgBulkIn: return BulkIn(m);
    case kMsgBulkOut:
      if (m.size() < 9) return {};
      DecodeToken(m.data() + 1, bulkOut_.address, bulkOut_.endpoint);
      bulkOut_.maxPacket = m[3];
      bulkOut_.toggle = m[4];
      bulkOut_.active = true;
      return {};
    default:
      // Nothing of ours; a plain 0 keeps a PC that waits for an answer from
      // waiting for ever.
      return {One(0)};
  }
}

// A greeting starts a new session, as if the device were plugged in anew.
UsbDevice::Answers UsbDevice::Hello() {
  std::fill(std::begin(toggles_), std::end(toggles_), kPidData0);
  haveCommand_ = executed_ = haveSetup_ = inPending_ = false;
  bulkOut_.active = false;
  int32_t state = kStateReady;
  // The PC side of the simulation link is the process holding its lock
  // file; while another process holds the device it is refused.
  long pc = options_.holder ? host::LockHolder(host::DeviceLockPath(nullptr, true)) : 0;
  refusedClient_ = options_.holder && !options_.holder->Allows(pc);
  if (refusedClient_)
    host::PrintError("zelsim: refused the simulation link of process %ld: the device is held by %s",
                     pc, options_.holder->Describe().c_str());
  if (options_.refuse || refusedClient_) {
    state = kStateRefused;
  } else if (options_.fresh) {
    address_ = 0;
    configured_ = false;
    state = kStateFresh;
  }
  std::vector<uint8_t> a(4);
  bytes::Put32(a.data(), uint32_t(state));
  return {a};
}

UsbDevice::Answers UsbDevice::Setup(std::span<const uint8_t> m) {
  if (m.size() < 13) return {One(kPidStall)};
  uint8_t address, endpoint;
  DecodeToken(m.data() + 2, address, endpoint);
  const uint8_t* request = m.data() + 5;
  bool known = request[0] == 0 && (request[1] == kSetAddress || request[1] == kSetConfiguration);
  if (address != 0 || endpoint != 0 || !known) return {One(kPidStall)};
  memcpy(setup_, request, sizeof setup_);
  haveSetup_ = true;
  if (inEndpoint_ == 0) inPending_ = false;
  // The status stage of a control transfer is always DATA1.
  Toggle(0) = kPidData1;
  return {One(kPidAck)};
}

UsbDevice::Answers UsbDevice::OutToken(std::span<const uint8_t> m) {
  if (m.size() < 7) return {One(kPidStall)};
  uint8_t address, endpoint;
  DecodeToken(m.data() + 2, address, endpoint);
  if (!configured_ || address != address_ || endpoint != kSimEndpointToDevice)
    return {One(kPidStall)};
  // A packet with the other toggle repeats one already taken: acknowledged
  // again and dropped.
  if (m[4] != Toggle(endpoint)) return {One(kPidAck)};
  std::span<const uint8_t> data = m.subspan(5, m.size() - 7);
  if (data.size() != kCommandWrapperBytes ||
      !std::equal(std::begin(kWrapperSignature), std::end(kWrapperSignature), data.begin()))
    return {One(kPidStall)};
  // A command that expected no data phase and whose status was never asked
  // for (the reboot) is carried out before the next one takes its place.
  if (haveCommand_ && !executed_ && command_.length == 0) Execute({});
  command_ = DecodeRequest(data.subspan(8));
  haveCommand_ = true;
  executed_ = false;
  inPending_ = false;
  if (options_.trace) Trace(command_);
  Flip(endpoint);
  return {One(kPidAck)};
}

UsbDevice::Answers UsbDevice::InToken(std::span<const uint8_t> m) {
  if (m.size() < 4) return {One(kPidStall)};
  uint8_t address, endpoint;
  DecodeToken(m.data() + 2, address, endpoint);
  if (inPending_ && inEndpoint_ == endpoint) return {inPacket_};  // not acknowledged: again
  std::vector<uint8_t> payload;
  if (address == 0 && endpoint == 0 && haveSetup_) {
    // The status stage: the standard request takes effect.
    if (setup_[1] == kSetConfiguration) configured_ = setup_[2] != 0;
    if (setup_[1] == kSetAddress) address_ = setup_[2] & 0x7F;
    haveSetup_ = false;
  } else if (configured_ && address == address_ && endpoint == kSimEndpointToPc) {
    if (!haveCommand_) return {One(0)};  // nothing to report
    Execute({});
    payload.assign(kStatusPacketBytes, 0);
    payload[2] = uint8_t(answer_.status);
    bytes::Put32(payload.data() + 4, uint32_t(answer_.value));
  } else {
    return {One(kPidStall)};
  }
  inPacket_.assign(1, Toggle(endpoint));
  inPacket_.insert(inPacket_.end(), payload.begin(), payload.end());
  inPacket_.push_back(0);  // two check bytes
  inPacket_.push_back(0);
  inPending_ = true;
  inEndpoint_ = endpoint;
  return {inPacket_};
}

UsbDevice::Answers UsbDevice::Acknowledge() {
  if (inPending_) {
    Flip(inEndpoint_);
    // The status packet arrived: the command is over.
    if (inEndpoint_ == kSimEndpointToPc) haveCommand_ = false;
    inPending_ = false;
  }
  return {};
}

UsbDevice::Answers UsbDevice::BulkIn(std::span<const uint8_t> m) {
  if (m.size() < 9) return {BulkAnswer(0, kBulkRefused), {}};
  uint8_t address, endpoint;
  DecodeToken(m.data() + 1, address, endpoint);
  uint8_t maxPacket = m[3];
  uint32_t wanted = bytes::Get32(m.data() + 5);
  bool ours = configured_ && address == address_ && endpoint == kSimEndpointToPc;
  std::vector<uint8_t> data;
  uint8_t status = kBulkRefused;
  if (ours && haveCommand_) {
    Execute({});
    size_t n = std::min<size_t>(wanted, answer_.data.size());
    data.assign(answer_.data.begin(), answer_.data.begin() + n);
    status = kBulkInOk;
  }
  // The PC's toggle is the one the transfer starts with; both sides then
  // flip once for an odd number of packets.
  Toggle(endpoint) = m[4];
  FlipForPackets(endpoint, maxPacket, uint32_t(data.size()));
  return {BulkAnswer(uint32_t(data.size()), status), data};
}

UsbDevice::Answers UsbDevice::BulkOutData(std::span<const uint8_t> data) {
  bulkOut_.active = false;
  bool ours = configured_ && bulkOut_.address == address_ &&
              bulkOut_.endpoint == kSimEndpointToDevice;
  uint32_t taken = 0;
  uint8_t status = kBulkRefused;
  if (ours && haveCommand_ && !executed_) {
    Execute(data);
    taken = uint32_t(data.size());
    status = kBulkOutOk;
  }
  Toggle(bulkOut_.endpoint) = bulkOut_.toggle;
  FlipForPackets(bulkOut_.endpoint, bulkOut_.maxPacket, taken);
  return {BulkAnswer(taken, status)};
}

// ---- the server ----------------------------------------------------------------

UsbServer::UsbServer(DeviceModel& model, const UsbServerOptions& options)
    : device_(model, options) {}

UsbServer::~UsbServer() {
  host::CloseMailslot(reply_);
  host::CloseMailslot(slot_);
}

std::string UsbServer::Open() {
  std::string path = host::MailslotPath(kServerSlot);
  if (host::MailslotHasServer(kServerSlot))
    return "the simulation link is already served by another zelsim (" + path + ")";
  slot_ = host::CreateMailslot(kServerSlot, host::kMaxMailslotMessage);
  if (slot_ == host::kInvalidMailslot) return "cannot create the mailslot " + path;
  return "";
}

void UsbServer::Answer(const std::vector<std::vector<uint8_t>>& answers) {
  for (const auto& a : answers) {
    if (reply_ == host::kInvalidMailslot) reply_ = host::OpenMailslot(kPcSlot);
    if (reply_ == host::kInvalidMailslot) return;  // no PC listens: nobody to answer
    if (!host::WriteMailslot(reply_, a.data(), uint32_t(a.size()))) {
      host::CloseMailslot(reply_);
      reply_ = host::kInvalidMailslot;
      return;
    }
  }
}

void UsbServer::Serve(const std::atomic<bool>* stop) {
  std::vector<uint8_t> message;
  while (!host::Stopping() && !(stop && *stop)) {
    host::MailslotRead r = host::ReadMailslotMessage(slot_, message, kStopCheckMs);
    if (r == host::MailslotRead::kTimeout) continue;
    if (r != host::MailslotRead::kOk) {
      // The stream is out of step (a writer died in a message): start over
      // with a new mailslot; the PC reopens it on its next send.
      host::CloseMailslot(slot_);
      slot_ = host::CreateMailslot(kServerSlot, host::kMaxMailslotMessage);
      if (slot_ == host::kInvalidMailslot) {
        host::PrintError("zelsim: the simulation link's mailslot was lost");
        return;
      }
      continue;
    }
    if (!device_.AwaitingBulkData() && !message.empty() && message[0] == kMsgHello) {
      // A new PC side: its mailslot may be a new one.
      host::CloseMailslot(reply_);
      reply_ = host::kInvalidMailslot;
    }
    Answer(device_.Handle(message));
  }
  host::CloseMailslot(reply_);
  reply_ = host::kInvalidMailslot;
  host::CloseMailslot(slot_);
  slot_ = host::kInvalidMailslot;
}
