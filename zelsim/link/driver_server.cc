#include "driver_server.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/host/device_frames.h"
#include "tervlink/host/host.h"

namespace {

// The largest data phase accepted (a run of 65,535 sectors and more).
constexpr uint32_t kMaxData = 64u << 20;
// What one read takes at most while a frame head is awaited: a whole small
// frame, or the head and the first part of a data phase.
constexpr size_t kReadChunk = 64u << 10;
// A larger read buffer (left by a large data phase) is given back when idle.
constexpr size_t kKeptBuffer = 4u << 20;
// The spare read buffer (SpareInput): a 1 MB data phase with its frames.
constexpr size_t kSpareInputBytes = (1u << 20) + 2 * kReadChunk;
// Answers wait to go out together up to this size; a larger data phase goes
// out at once, straight from the model's answer.
constexpr size_t kQueuedData = 64u << 10;

void Trace(const _ZEL_REQUEST& block) {
  auto raw = EncodeRequest(block);
  char text[3 * kRequestBytes + 1] = {};
  for (size_t i = 0; i < raw.size(); ++i) snprintf(text + 3 * i, 4, "%02x ", raw[i]);
  text[3 * kRequestBytes - 1] = '\0';
  host::PrintError("zelsim: %s", text);
}

// The first bytes of a data phase sent to the device.
// A read buffer of n bytes, its pages present (a page touched first costs
// a fault, many microseconds on a virtual machine).
std::unique_ptr<uint8_t[]> NewReadBuffer(size_t n) {
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(n);
  host::PopulateMemory(buffer.get(), n);
  return buffer;
}

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

DriverConnection::DriverConnection(int fd, DeviceModel& model, bool trace, std::mutex* modelLock,
                                   DeviceHolder& holder, long peer, SpareInput& spare)
    : fd_(fd),
      model_(model),
      trace_(trace),
      modelLock_(modelLock),
      holder_(holder),
      peer_(peer),
      spare_(spare) {}

DriverConnection::~DriverConnection() {
  holder_.Release(this);
  if (!spare_.buffer && capacity_ >= kSpareInputBytes) {
    spare_.buffer = std::move(in_);
    spare_.capacity = capacity_;
  }
}

bool DriverConnection::ServeClaim(std::span<const uint8_t> name) {
  std::string program(reinterpret_cast<const char*>(name.data()), name.size());
  long pid = 0;
  std::string who;
  if (holder_.Claim(peer_, program, this, pid, who)) return Answer(true, 0, nullptr);
  host::PrintError("zelsim: refused process %ld (%s): the device is held by %s", peer_,
                   program.c_str(), holder_.Describe().c_str());
  std::vector<uint8_t> answer(4);
  bytes::Put32(answer.data(), uint32_t(pid));
  answer.insert(answer.end(), who.begin(), who.end());
  // Queued with its bytes (Answer's data form), as a read's answer is.
  return Answer(false, uint32_t(answer.size()), answer.data());
}

void DriverConnection::Run(std::span<const uint8_t> data) {
  if (executed_) return;
  if (trace_ && haveBlock_ && !data.empty()) TraceData(data);
  std::unique_lock<std::mutex> lock;
  if (modelLock_) lock = std::unique_lock<std::mutex>(*modelLock_);
  // The last answer's data has been sent (or queued as a copy) by now.
  model_.State().spareData = std::move(answer_.data);
  answer_ = haveBlock_ ? model_.Execute(block_, data) : DeviceAnswer::Refused();
  executed_ = true;
}

void DriverConnection::Closed() {
  // A block without a data phase is carried out even when the PC closes
  // without fetching the reply: Reboot does just that.
  if (haveBlock_ && !executed_ && block_.length == 0) Run({});
}

void DriverConnection::Reserve(size_t length) {
  if (at_ + length <= capacity_) return;
  if (length <= capacity_) {
    // Room once the frame's bytes read so far move to the front: only a
    // frame that is still coming in moves, never a whole data phase.
    if (have_) memmove(in_.get(), in_.get() + at_, have_);
    at_ = 0;
    return;
  }
  // Grown with room for a small frame ahead of the next one this long: a
  // block and its data phase read together then fit where they lie.
  size_t grown = length + kReadChunk;
  std::unique_ptr<uint8_t[]> bigger;
  if (spare_.buffer && spare_.capacity >= grown) {
    bigger = std::move(spare_.buffer);
    grown = spare_.capacity;
  } else {
    bigger = NewReadBuffer(grown);
  }
  if (have_) memcpy(bigger.get(), in_.get() + at_, have_);
  in_ = std::move(bigger);
  capacity_ = grown;
  at_ = 0;
}

bool DriverConnection::Answer(bool ok, uint32_t n, const uint8_t* data) {
  size_t at = out_.size();
  out_.resize(at + frames::kAnswerHeadBytes);
  frames::PutAnswerHead(out_.data() + at, ok, n);
  // A write's answer: the count taken, no bytes.
  if (!data) return true;
  if (n <= kQueuedData) {
    out_.insert(out_.end(), data, data + n);
    return true;
  }
  // Straight from where the bytes lie, behind what is queued.
  const host::ConstPiece send[] = {{out_.data(), out_.size()}, {data, n}};
  bool sent = host::WriteExactPieces(fd_, send, 2);
  out_.clear();
  return sent;
}

bool DriverConnection::Flush() {
  if (out_.empty()) return true;
  bool sent = host::WriteExact(fd_, out_.data(), out_.size());
  out_.clear();
  if (out_.capacity() > kQueuedData * 2) out_.shrink_to_fit();
  return sent;
}

bool DriverConnection::WholeFrame() const {
  if (have_ == 0) return false;
  const uint8_t* in = in_.get() + at_;
  size_t head = frames::HeadBytes(in[0]);
  if (head == 0 || have_ < head) return head == 0;  // a bad frame ends the connection at once
  if (in[0] == frames::kRead) return true;
  uint64_t body = bytes::Get32(in + (in[0] == frames::kControl ? 5 : 1));
  return have_ >= head + body;
}

bool DriverConnection::Take(size_t length) {
  // The bytes of the frame at hand: those already read, then the rest
  // straight from the socket (the answers waiting go out first, for a PC
  // that waits for them before it sends more).
  if (have_ < length) {
    if (!Flush()) return false;
    Reserve(length);
    if (!host::ReadExact(fd_, in_.get() + at_ + have_, length - have_)) return false;
    have_ = length;
  }
  return true;
}

bool DriverConnection::Serve() {
  // Answers go out together once no whole frame is left to serve: a PC that
  // sends a request's frames at once gets their answers at once.
  bool open = ServeFrame();
  bool sent = WholeFrame() && open ? true : Flush();
  return open && sent;
}

bool DriverConnection::ServeFrame() {
  if (have_ == 0) {
    at_ = 0;
    if (capacity_ > kKeptBuffer) in_.reset(), capacity_ = 0;
    Reserve(kReadChunk);
    long n = host::ReadSome(fd_, in_.get(), capacity_);
    if (n <= 0) {
      Closed();
      return false;
    }
    have_ = size_t(n);
  }
  // One frame; bytes beyond it (a PC that does not wait for the answer)
  // stay for the next one.
  uint8_t type = in_[at_];
  size_t headBytes = frames::HeadBytes(type);
  if (headBytes == 0 || !Take(headBytes)) return false;
  const uint8_t* in = in_.get() + at_;  // Take may have moved the bytes
  size_t frameBytes = headBytes;
  bool ok = true;
  if (type == frames::kControl) {
    uint32_t code = bytes::Get32(in + 1), inLength = bytes::Get32(in + 5),
             outCapacity = bytes::Get32(in + 9);
    if (inLength > frames::kMaxControlInput || !Take(headBytes + inLength)) return false;
    frameBytes += inLength;
    std::span<const uint8_t> input(in_.get() + at_ + headBytes, inLength);
    if (code == kIoctlSendRequest && inLength >= kRequestBytes) {
      Closed();
      // Another process's request while the device is held goes nowhere:
      // its block is refused, and so is everything up to the next block.
      haveBlock_ = holder_.Allows(peer_);
      executed_ = false;
      if (!haveBlock_) {
        host::PrintError("zelsim: refused a request of process %ld: the device is held by %s",
                         peer_, holder_.Describe().c_str());
        ok = Answer(false, 0, nullptr);
      } else {
        block_ = DecodeRequest(input);
        if (trace_) Trace(block_);
        ok = Answer(true, 0, nullptr);
      }
    } else if (code == kIoctlFetchReply && haveBlock_) {
      Run({});
      auto reply = EncodeReply(_ZEL_REPLY{answer_.status, answer_.value});
      uint32_t n = std::min<uint32_t>(kReplyBytes, outCapacity);
      ok = Answer(true, n, reply.data());
    } else {
      ok = Answer(false, 0, nullptr);
    }
  } else if (type == frames::kClaim) {
    uint32_t length = bytes::Get32(in + 1);
    if (length > frames::kMaxClaimName || !Take(headBytes + length)) return false;
    frameBytes += length;
    ok = ServeClaim(std::span<const uint8_t>(in_.get() + at_ + headBytes, length));
  } else if (type == frames::kWrite) {
    uint32_t length = bytes::Get32(in + 1);
    if (length > kMaxData || !Take(headBytes + length)) return false;
    frameBytes += length;
    // The write is in the model (and its files) before its answer exists.
    Run(std::span<const uint8_t>(in_.get() + at_ + headBytes, length));
    ok = Answer(haveBlock_, haveBlock_ ? length : 0, nullptr);
  } else {
    uint32_t length = bytes::Get32(in + 1);
    Run({});
    uint32_t n = uint32_t(std::min<size_t>(length, answer_.data.size()));
    ok = Answer(haveBlock_, n, answer_.data.data());
  }
  // Bytes beyond the frame are served where they lie: moving them to the
  // front would copy a large data phase that came in with its block.
  have_ -= frameBytes;
  at_ = have_ ? at_ + frameBytes : 0;
  return ok;
}

int RunDriverServer(DeviceModel& model, const DriverServerOptions& options) {
  std::string dir = host::RunDir();
  if (!host::MakeDirs(dir)) {
    host::PrintError("zelsim: cannot create the run folder %s", dir.c_str());
    return 1;
  }
  std::string device = "\\\\.\\lexon" + std::to_string(options.device);
  std::string path = host::DeviceSocketPath(device.c_str());
  // Ready before the socket is there for a PC to connect.
  SpareInput spare{NewReadBuffer(kSpareInputBytes), kSpareInputBytes};
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
  // Every connection stays open as long as its PC keeps it (the host layer
  // keeps one across requests); a frame is served whenever one arrives, so
  // an idle connection never holds up another. The connections already
  // open are served before a new one is accepted: a PC that closes one
  // connection and opens the next sees the first one's close (a Reboot's
  // pending block) carried out before the new one's requests.
  DeviceHolder ownHolder;
  DeviceHolder& holder = options.holder ? *options.holder : ownHolder;
  std::vector<std::unique_ptr<DriverConnection>> connections;
  std::vector<int> fds;
  std::vector<uint8_t> ready;
  while (!host::Stopping()) {
    fds.assign(1, listener);
    for (auto& c : connections) fds.push_back(c->Fd());
    if (!host::WaitReadable(fds, ready)) continue;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!ready[i]) continue;
      auto& c = connections[i - 1];
      bool open = c->Serve();
      while (open && c->Buffered()) open = c->Serve();
      if (!open) {
        host::CloseSocket(c->Fd());
        c.reset();
      }
    }
    std::erase(connections, nullptr);
    if (ready[0]) {
      int fd = host::AcceptSocket(listener);
      if (fd >= 0)
        connections.push_back(std::make_unique<DriverConnection>(
            fd, model, options.trace, options.modelLock, holder, host::PeerProcessId(fd), spare));
    }
  }
  for (auto& c : connections) host::CloseSocket(c->Fd());
  connections.clear();
  host::CloseSocket(listener);
  host::RemoveFile(path.c_str());
  host::PrintError("zelsim: stopped");
  return 0;
}
