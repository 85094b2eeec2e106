// The device link over Unix stream sockets.
//
// A device path "\\.\NAME" names the socket RunDir()/NAME. The control, read
// and write calls are the frames of device_frames.h; each frame goes out in
// one system call and each answer comes in with one in the usual case.
//
// CreateFile connects and CloseHandle closes, as far as the caller can see.
// For speed, a connection whose last exchange was a complete reply fetch is
// kept (one per device path) and handed to the next CreateFile of the same
// path instead of a new connect; the frames on it are the same. A kept
// connection whose device went away (zelsim restarted, stopped or killed)
// refuses the first frame of the next request at once (EPIPE: nothing of
// the request reached anyone); the request then goes over a new
// connection, so a device that came back is reached transparently. Any
// other connection (a failed exchange, a block sent without fetching its
// reply, as Reboot does) is really closed, so the device sees the close.
//
// A claimed device (ClaimDevice) is held on one more connection that
// carries nothing after the claim; before each request, and whenever the
// engine asks whether the device went away, a poll of it tells whether
// the device is still the one claimed. A poll that found it open stands
// for kHoldRecheckMicros (a device cannot be stopped and another started
// in its place that fast); and a kept connection that turns out broken
// makes the hold be polled at once: when the device went away, the
// request is not sent to the one found in its place, since the caller
// still knows the old one (it sees the loss in DeviceLosses instead).

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/host/device_frames.h"
#include "tervlink/host/host.h"
#include "tervlink/host/host_internal.h"
#include "tervlink/records.h"

namespace host {
namespace {

// No reply of the device is ever larger than a data phase the host asked for;
// this only guards against a peer that sends nonsense.
constexpr uint32_t kMaxFrame = 256u << 20;

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A data phase of a sector run (up to a few MB) fits the socket whole, so
// that it moves in one call rather than in turns of the two processes
// (best effort: the system may hold the size lower).
constexpr int kSocketBuffer = 4 << 20;

void WidenSendBuffer(int fd) {
  int size = kSocketBuffer;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

int Connect(const std::string& socketPath) {
  sockaddr_un addr;
  if (!FillAddress(socketPath, addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  WidenSendBuffer(fd);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// ---- the device's claim -------------------------------------------------------

// A claimed device: the connection its claim lives on, which nothing else
// uses and the device never writes to (so anything readable on it, an end
// of stream above all, means the device went away), and the losses so far.
struct Hold {
  int fd = -1;  // -1: not held now (no device answered, or it refused)
  std::string program;
  uint32_t losses = 0;
  int64_t openSeen = 0;  // when a poll last found fd open (NowMicros)
};

// How long a poll that found the hold open stands: a thousand requests
// make a few polls instead of a thousand (each a system call).
constexpr int64_t kHoldRecheckMicros = 1000;

int64_t NowMicros();

// Sends a claim on a new connection to socketPath. 1 with fd the held
// connection, 0 when no device answers, -1 when refused (holder filled in).
int SendClaim(const std::string& socketPath, const std::string& program, int& fd, long& holderPid,
              std::string& holderProgram) {
  fd = Connect(socketPath);
  if (fd < 0) return 0;
  std::string name = program.substr(0, frames::kMaxClaimName);
  uint8_t head[frames::kDataHeadBytes];
  frames::PutDataHead(head, frames::kClaim, uint32_t(name.size()));
  uint8_t answer[frames::kAnswerHeadBytes + 4 + frames::kMaxClaimName];
  const ConstPiece claim[2] = {{head, sizeof head}, {name.data(), name.size()}};
  bool sent = WriteExactPieces(fd, claim, 2) &&
              ReadExact(fd, answer, frames::kAnswerHeadBytes);
  uint32_t n = sent ? bytes::Get32(answer + 1) : 0;
  if (!sent || n > sizeof answer - frames::kAnswerHeadBytes ||
      !ReadExact(fd, answer + frames::kAnswerHeadBytes, n)) {
    close(fd);
    fd = -1;
    return 0;  // a device that does not take claims (or went away at once)
  }
  if (answer[0] == 1) return 1;
  close(fd);
  fd = -1;
  frames::ReadClaimHolder(answer + frames::kAnswerHeadBytes, n, holderPid, holderProgram);
  return -1;
}

// True while the hold's connection is open: the device never sends on it,
// so a readable or hung-up connection was closed by a device that went away.
// A poll that found it open within kHoldRecheckMicros stands.
bool HoldOpen(Hold& h) {
  if (h.fd < 0) return false;
  const int64_t now = NowMicros();
  if (h.openSeen != 0 && now - h.openSeen < kHoldRecheckMicros) return true;
  pollfd p{h.fd, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) != 0) return false;
  h.openSeen = now;
  return true;
}

// ---- connections ------------------------------------------------------------

struct Connection {
  std::string socketPath;
  bool fresh = true;       // no frame sent yet on it since it was handed out
  bool reused = false;     // taken from the kept connections
  bool inStep = true;      // every exchange so far completed
  bool replyFetched = false;  // the last exchange was a complete reply fetch
};

// TERVAN_LINK_KEEP=0 turns the keeping off: one connection per request, as
// the driver has one handle per request (for comparison and diagnosis).
bool KeepConnections() {
  static const bool keep = [] {
    const char* v = getenv("TERVAN_LINK_KEEP");
    return !(v && strcmp(v, "0") == 0);
  }();
  return keep;
}

// A request is a round trip between two processes. A process that sleeps
// for the answer pays the wake-up on top, which on an idle virtual machine
// is tens of microseconds (65 against 6 when polling, measured on 2
// processors: four times the speed of a job of many small files); but on a
// busy machine a polling process takes the processor from the one that
// would answer (at a load of 8 to 10, 200 microseconds of polling made one
// small request take 430 microseconds against 55 without, and polling that
// kept finding its answer still made it take 1,300). So each side polls
// for up to kAutoSpinMicros (yielding the processor at every turn) only
// while the system's count of runnable tasks (/proc/loadavg, looked at
// every kLoadCheckMicros) leaves no task waiting for a processor, and while
// polling keeps finding the answer: after kMissesToRest polls in a row
// that found nothing (long requests) it sleeps at once for the next
// kRestWaits waits, then tries again.
// TERVAN_LINK_SPIN=<microseconds> fixes the polling time instead (0: never
// poll). Only with more than one processor online.
constexpr int kLoadCheckMicros = 20000;
constexpr int kAutoSpinMicros = 50;
constexpr int kMissesToRest = 4;
constexpr int kRestWaits = 256;

// Set by SIGTERM and SIGINT in a server (zelsim); the handler also writes
// a byte to the stop pipe, which every wait of the server watches, so a
// stop that comes between a check of the flag and the wait ends the wait.
std::atomic<bool> g_stopping{false};
int g_stopPipe[2] = {-1, -1};

long Processors() {
  static const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online;
}

// The polling time in microseconds; -1 for the adaptive polling.
int SpinMicros() {
  static const int micros = [] {
    if (Processors() < 2) return 0;
    const char* v = getenv("TERVAN_LINK_SPIN");
    return v && *v ? std::clamp(atoi(v), 0, 100000) : -1;
  }();
  return micros;
}

// Whether every runnable task has a processor (this one counted, as it runs
// while it looks): polling then takes no processor from anyone.
bool ProcessorsToSpare() {
  thread_local int64_t checked = INT64_MIN / 2;  // long before any now
  thread_local bool spare = false;
  const int64_t now = NowMicros();
  if (now - checked < kLoadCheckMicros) return spare;
  checked = now;
  spare = false;
  char text[128];
  int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return spare;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return spare;
  text[n] = '\0';
  double one, five, fifteen;
  int running = 0, total = 0;
  if (sscanf(text, "%lf %lf %lf %d/%d", &one, &five, &fifteen, &running, &total) == 5)
    spare = running <= Processors();
  return spare;
}

int64_t NowMicros() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Returns once one of the sockets is readable (true, with the revents of
// fds filled in), the spin time is over or a server is asked to stop (a
// stop that came while it spun must not be followed by a wait that nothing
// would end).
bool SpinUntilReadable(pollfd* fds, size_t count) {
  const int fixed = SpinMicros();
  thread_local int misses = 0, resting = 0;
  if (fixed == 0) return false;
  if (fixed < 0 && resting > 0) {
    --resting;
    return false;
  }
  if (fixed < 0 && !ProcessorsToSpare()) return false;
  int64_t end = NowMicros() + (fixed < 0 ? kAutoSpinMicros : fixed);
  for (;;) {
    if (g_stopping) return false;
    int n = poll(fds, count, 0);
    if (n != 0) {
      misses = 0;
      return n > 0;
    }
    if (NowMicros() >= end) break;
    sched_yield();
  }
  if (fixed < 0 && ++misses >= kMissesToRest) {
    misses = 0;
    resting = kRestWaits;
  }
  return false;
}

std::mutex g_mutex;
std::map<int, Connection> g_open;        // handed out: fd -> its state
std::map<std::string, int> g_kept;       // socket path -> an idle connection
std::map<std::string, Hold> g_holds;     // socket path -> the claim on its device

// Under g_mutex: notes a claimed device that went away (its claim's
// connection closed) and claims the device found there now; with pollNow,
// an earlier poll that found the hold open does not stand. A refused or
// unanswered claim leaves the hold empty, to be tried again before the
// next request; the device refuses that request meanwhile. True when the
// device went away since the last look.
bool RenewHold(const std::string& socketPath, bool pollNow = false) {
  auto it = g_holds.find(socketPath);
  if (it == g_holds.end()) return false;
  Hold& h = it->second;
  if (pollNow) h.openSeen = 0;
  if (HoldOpen(h)) return false;
  const bool lost = h.fd >= 0;
  if (lost) {
    close(h.fd);
    h.fd = -1;
    ++h.losses;
  }
  h.openSeen = 0;
  long pid = 0;
  std::string program;
  SendClaim(socketPath, h.program, h.fd, pid, program);
  return lost;
}

Connection* Find(int fd) {
  auto it = g_open.find(fd);
  return it == g_open.end() ? nullptr : &it->second;
}

// The most pieces one sendmsg takes (IOV_MAX on Linux).
constexpr int kMaxPiecesPerCall = 1024;

// Sends all of the pieces, in one call where the socket takes them.
bool SendPieces(int fd, iovec* at, int left, int* error = nullptr) {
  while (left > 0 && at->iov_len == 0) ++at, --left;
  while (left > 0) {
    msghdr m{};
    m.msg_iov = at;
    m.msg_iovlen = size_t(std::min(left, kMaxPiecesPerCall));
    ssize_t n = sendmsg(fd, &m, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (error) *error = n < 0 ? errno : 0;
      return false;
    }
    size_t done = size_t(n);
    while (left > 0 && done >= at->iov_len) done -= at->iov_len, ++at, --left;
    if (left > 0) {
      at->iov_base = static_cast<uint8_t*>(at->iov_base) + done;
      at->iov_len -= done;
    }
  }
  return true;
}

bool SendPair(int fd, const void* a, size_t aLength, const void* b, size_t bLength,
              int* error = nullptr) {
  iovec v[2] = {{const_cast<void*>(a), aLength}, {const_cast<void*>(b), bLength}};
  return SendPieces(fd, v, 2, error);
}

// Sends the first frames of a call (the pieces). On a kept connection
// whose device went away they are refused at once; the connection is then
// replaced by a new one to the same socket and the frames sent there.
// False when they cannot be sent.
bool SendFirst(int& fd, iovec* pieces, int count) {
  Connection* c = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    c = Find(fd);
  }
  // A failed send may have moved the pieces' start; the retry needs them whole.
  iovec again[4];
  if (count > 4) return false;
  memcpy(again, pieces, sizeof(iovec) * size_t(count));
  int error = 0;
  if (SendPieces(fd, pieces, count, &error)) {
    if (c) c->fresh = false;
    return true;
  }
  if (!c || !c->fresh || !c->reused || (error != EPIPE && error != ECONNRESET)) return false;
  {
    // The kept connection's device went away: the request goes to the
    // device found there now only when it is still the one claimed.
    std::lock_guard<std::mutex> lock(g_mutex);
    if (RenewHold(c->socketPath, /*pollNow=*/true)) return false;
  }
  int fresh = Connect(c->socketPath);
  if (fresh < 0) return false;
  // The handle the caller holds keeps its number: the new connection takes
  // the old one's place.
  if (dup3(fresh, fd, O_CLOEXEC) < 0) {
    close(fresh);
    return false;
  }
  close(fresh);
  c->reused = false;
  if (!SendPieces(fd, again, count)) return false;
  c->fresh = false;
  return true;
}

bool SendFrame(int& fd, const void* head, size_t headLength, const void* data, size_t length) {
  iovec v[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(data), length}};
  return SendFirst(fd, v, 2);
}

// Reads an answer: its head and at most capacity bytes that follow into
// out, in one call in the usual case. False when the stream breaks or the
// device announces more than capacity.
bool ReadAnswer(int fd, uint8_t& ok, uint32_t& length, void* out, uint32_t capacity) {
  uint8_t head[frames::kAnswerHeadBytes];
  iovec v[2] = {{head, sizeof head}, {out, out ? capacity : 0}};
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = got == 0 ? readv(fd, v, v[1].iov_len ? 2 : 1) : read(fd, head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += size_t(n);
  }
  ok = head[0];
  length = bytes::Get32(head + 1);
  size_t have = got - sizeof head;  // bytes of the answer's data already in out
  if (length > capacity || length > kMaxFrame || have > length) return false;
  return length == have || ReadExact(fd, static_cast<uint8_t*>(out) + have, length - have);
}

// Reads the five bytes of a write's answer: ok and the bytes taken.
bool ReadTaken(int fd, uint8_t& ok, uint32_t& taken) {
  uint8_t head[frames::kAnswerHeadBytes];
  if (!ReadExact(fd, head, sizeof head)) return false;
  ok = head[0];
  taken = bytes::Get32(head + 1);
  return true;
}

// Notes the end of a call on fd: whether it kept the stream in step and
// whether it completed a reply fetch.
void EndCall(int fd, bool inStep, bool replyFetched) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (Connection* c = Find(fd)) {
    c->inStep = c->inStep && inStep;
    c->replyFetched = replyFetched;
  }
}

void OnStopSignal(int) {
  int saved = errno;
  g_stopping = true;
  if (g_stopPipe[1] >= 0) {
    char one = 1;
    (void)!write(g_stopPipe[1], &one, 1);  // a full pipe already wakes every wait
  }
  errno = saved;
}

}  // namespace

std::string RunDir() {
  if (const char* d = getenv("TERVAN_RUNDIR"); d && *d) return d;
  const char* base = getenv("XDG_RUNTIME_DIR");
  std::string dir = (base && *base) ? base : "/tmp";
  return dir + "/tervan-" + std::to_string(getuid());
}

std::string DeviceSocketPath(const char* devicePath) {
  std::string p = devicePath ? devicePath : "";
  const std::string prefix = "\\\\.\\";
  if (p.compare(0, prefix.size(), prefix) == 0) return RunDir() + "/" + p.substr(prefix.size());
  return p;
}

bool ReadExact(int fd, void* buffer, size_t length) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = read(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

bool WriteExact(int fd, const void* buffer, size_t length) {
  return length == 0 || SendPair(fd, buffer, length, nullptr, 0);
}

bool WriteExactPieces(int fd, const ConstPiece* pieces, size_t count) {
  std::vector<iovec> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = {const_cast<void*>(pieces[i].data), pieces[i].length};
  return count == 0 || SendPieces(fd, v.data(), int(count));
}

long ReadSome(int fd, void* buffer, size_t length) {
  for (;;) {
    ssize_t n = read(fd, buffer, length);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : long(n);
  }
}

int ClaimDevice(const char* devicePath, const char* program, long& holderPid,
                std::string& holderProgram) {
  std::string socketPath = DeviceSocketPath(devicePath);
  std::lock_guard<std::mutex> lock(g_mutex);
  Hold& h = g_holds[socketPath];
  h.program = program ? program : "";
  if (HoldOpen(h)) return 1;
  if (h.fd >= 0) close(h.fd), h.fd = -1;
  int r = SendClaim(socketPath, h.program, h.fd, holderPid, holderProgram);
  if (r < 0) g_holds.erase(socketPath);  // not ours to claim again later
  return r;
}

uint32_t DeviceLosses(const char* devicePath) {
  std::string socketPath = DeviceSocketPath(devicePath);
  std::lock_guard<std::mutex> lock(g_mutex);
  RenewHold(socketPath);
  auto it = g_holds.find(socketPath);
  return it == g_holds.end() ? 0 : it->second.losses;
}

intptr_t DeviceCreateFile(const char* path, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                          void*) {
  std::string socketPath = DeviceSocketPath(path);
  std::lock_guard<std::mutex> lock(g_mutex);
  // A request on a new connection (none kept) has no broken connection to
  // tell of a device that went away: the hold is polled afresh.
  RenewHold(socketPath, /*pollNow=*/!g_kept.count(socketPath));
  Connection c;
  c.socketPath = socketPath;
  int fd = -1;
  if (auto it = g_kept.find(socketPath); it != g_kept.end()) {
    fd = it->second;
    g_kept.erase(it);
    c.reused = true;
  } else {
    fd = Connect(socketPath);
    if (fd < 0) return -1;
  }
  g_open[fd] = c;
  return fd;
}

int DeviceCloseHandle(intptr_t h) {
  if (h < 0) return 0;
  int fd = int(h);
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_open.find(fd);
  if (it != g_open.end()) {
    Connection c = it->second;
    g_open.erase(it);
    if (c.inStep && c.replyFetched && KeepConnections() && !g_kept.count(c.socketPath)) {
      g_kept[c.socketPath] = fd;
      return 1;
    }
  }
  return close(fd) == 0 ? 1 : 0;
}

int DeviceIoControl(intptr_t h, uint32_t code, const void* in, uint32_t inLength, void* out,
                    uint32_t outCapacity, uint32_t* returned, void*) {
  int fd = int(h);
  if (returned) *returned = 0;
  if (!in) inLength = 0;
  if (!out) outCapacity = 0;
  uint8_t head[frames::kControlHeadBytes];
  frames::PutControlHead(head, code, inLength, outCapacity);
  uint8_t ok = 0;
  uint32_t n = 0;
  if (!SendFrame(fd, head, sizeof head, in, inLength) ||
      !ReadAnswer(fd, ok, n, out, outCapacity)) {
    EndCall(fd, false, false);
    return 0;
  }
  EndCall(fd, true, code == kIoctlFetchReply);
  if (returned) *returned = n;
  return ok ? 1 : 0;
}

int DeviceWriteFile(intptr_t h, const void* buffer, uint32_t length, uint32_t* put, void*) {
  int fd = int(h);
  if (put) *put = 0;
  uint8_t head[frames::kDataHeadBytes];
  frames::PutDataHead(head, frames::kWrite, length);
  uint8_t ok = 0;
  uint32_t taken = 0;
  if (length && !buffer) return 0;
  if (!SendFrame(fd, head, sizeof head, buffer, length) || !ReadTaken(fd, ok, taken)) {
    EndCall(fd, false, false);
    return 0;
  }
  EndCall(fd, true, false);
  if (put) *put = taken;
  return ok ? 1 : 0;
}

int DeviceReadFile(intptr_t h, void* buffer, uint32_t length, uint32_t* got, void*) {
  int fd = int(h);
  if (got) *got = 0;
  uint8_t head[frames::kDataHeadBytes];
  frames::PutDataHead(head, frames::kRead, length);
  uint8_t ok = 0;
  uint32_t n = 0;
  if (length && !buffer) return 0;
  if (!SendFrame(fd, head, sizeof head, nullptr, 0) ||
      !ReadAnswer(fd, ok, n, buffer, length)) {
    EndCall(fd, false, false);
    return 0;
  }
  EndCall(fd, true, false);
  if (got) *got = n;
  return ok ? 1 : 0;
}

// The whole request in one send and, in the usual case, its answers in one
// read: the block's frame, the data phase's frame and the reply fetch's
// frame go out together, exactly the bytes the separate calls send, and the
// device answers each in turn. The answers are checked as they arrive, so a
// device that refuses a step (or moves a shorter data phase) ends the
// exchange without waiting for bytes it will never send.
int DeviceExchangeSend(intptr_t h, const void* block, uint32_t blockLength, const void* data,
                       uint32_t length, int hasData, int toDevice, uint32_t replyLength) {
  int fd = int(h);
  if (blockLength > frames::kMaxControlInput || (hasData && length && !data)) return 0;
  bool write = hasData && toDevice;
  uint8_t lead[frames::kControlHeadBytes + frames::kMaxControlInput + frames::kDataHeadBytes];
  frames::PutControlHead(lead, kIoctlSendRequest, blockLength, 0);
  memcpy(lead + frames::kControlHeadBytes, block, blockLength);
  size_t leadLength = frames::kControlHeadBytes + blockLength;
  if (hasData) {
    frames::PutDataHead(lead + leadLength, write ? frames::kWrite : frames::kRead, length);
    leadLength += frames::kDataHeadBytes;
  }
  uint8_t fetch[frames::kControlHeadBytes];
  frames::PutControlHead(fetch, kIoctlFetchReply, 0, replyLength);
  iovec out[3] = {{lead, leadLength}, {write ? const_cast<void*>(data) : nullptr, write ? length : 0},
                  {fetch, sizeof fetch}};
  if (!SendFirst(fd, out, 3)) {
    EndCall(fd, false, false);
    return 0;
  }
  return 1;
}

int DeviceExchangeFinish(intptr_t h, void* data, uint32_t length, int hasData, int toDevice,
                         void* reply, uint32_t replyLength) {
  int fd = int(h);
  bool read = hasData && !toDevice;
  // The answers as they come when every step succeeds: the block's (no
  // output), the data phase's head (and the data of a read), the reply's.
  uint8_t blockAnswer[frames::kAnswerHeadBytes], dataAnswer[frames::kAnswerHeadBytes],
      replyAnswer[frames::kAnswerHeadBytes];
  iovec in[5];
  int pieces = 0;
  in[pieces++] = {blockAnswer, sizeof blockAnswer};
  if (hasData) in[pieces++] = {dataAnswer, sizeof dataAnswer};
  if (read) in[pieces++] = {data, length};
  in[pieces++] = {replyAnswer, sizeof replyAnswer};
  const size_t replyRoom = reply ? replyLength : 0;
  in[pieces++] = {reply, replyRoom};
  size_t dataHeadEnd = sizeof blockAnswer + (hasData ? sizeof dataAnswer : 0);
  size_t replyHeadEnd = dataHeadEnd + (read ? length : 0) + sizeof replyAnswer;
  size_t total = replyHeadEnd + replyRoom;
  size_t got = 0;
  bool ok = true;
  iovec* at = in;
  int left = pieces;
  while (ok && got < total) {
    while (left > 0 && at->iov_len == 0) ++at, --left;
    pollfd ready{fd, POLLIN, 0};
    SpinUntilReadable(&ready, 1);
    ssize_t n = readv(fd, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    size_t before = got;
    got += size_t(n);
    size_t done = size_t(n);
    while (left > 0 && done >= at->iov_len) done -= at->iov_len, ++at, --left;
    if (left > 0) {
      at->iov_base = static_cast<uint8_t*>(at->iov_base) + done;
      at->iov_len -= done;
    }
    // Each head is checked once it is in.
    if (before < sizeof blockAnswer && got >= sizeof blockAnswer)
      ok = blockAnswer[0] == 1 && bytes::Get32(blockAnswer + 1) == 0;
    if (ok && hasData && before < dataHeadEnd && got >= dataHeadEnd)
      ok = dataAnswer[0] == 1 && bytes::Get32(dataAnswer + 1) == length;
    if (ok && before < replyHeadEnd && got >= replyHeadEnd) {
      uint32_t m = bytes::Get32(replyAnswer + 1);
      ok = replyAnswer[0] == 1 && m <= replyRoom;
      // A shorter reply ends the answer there.
      if (ok) total = replyHeadEnd + m;
      ok = ok && got <= total;
    }
  }
  EndCall(fd, ok, ok);
  return ok ? 1 : 0;
}

int DeviceExchange(intptr_t h, const void* block, uint32_t blockLength, void* data,
                   uint32_t length, int hasData, int toDevice, void* reply, uint32_t replyLength) {
  if (!DeviceExchangeSend(h, block, blockLength, data, length, hasData, toDevice, replyLength))
    return 0;
  if (hasData && toDevice && length > 0) detail::RunDeviceWaitWork();
  return DeviceExchangeFinish(h, data, length, hasData, toDevice, reply, replyLength);
}

// ---- server side -----------------------------------------------------------

int ListenSocket(const std::string& path) {
  sockaddr_un addr;
  if (!FillAddress(path, addr)) return -1;
  // A socket file whose server still answers is a running instance; a stale
  // one (left by a killed server) is removed.
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    bool alive = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(probe);
    if (alive) return -2;
  }
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // The socket is bound under a name of its own and renamed into place once
  // it listens: a client that sees the socket file can always connect (a
  // busy machine may stop a server between its bind and its listen).
  std::string temporary = path + ".new";
  sockaddr_un bound;
  bool renamed = FillAddress(temporary, bound);
  if (!renamed) bound = addr;
  if (renamed) unlink(temporary.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 || listen(fd, 16) != 0 ||
      (renamed && rename(temporary.c_str(), path.c_str()) != 0)) {
    if (renamed) unlink(temporary.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

bool WaitReadable(const std::vector<int>& fds, std::vector<uint8_t>& ready) {
  // The sockets and, last, the stop pipe: a stop signal that comes at any
  // time before or during the wait makes it readable, so the wait ends
  // (without masking the signals around every wait).
  thread_local std::vector<pollfd> p;
  p.resize(fds.size() + 1);
  for (size_t i = 0; i < fds.size(); ++i) p[i] = pollfd{fds[i], POLLIN, 0};
  p[fds.size()] = pollfd{g_stopPipe[0], POLLIN, 0};
  if (!SpinUntilReadable(p.data(), fds.size())) {
    if (g_stopping) return false;
    int n = poll(p.data(), p.size(), -1);
    if (n <= 0 || g_stopping) return false;
  }
  ready.assign(fds.size(), 0);
  for (size_t i = 0; i < fds.size(); ++i) ready[i] = p[i].revents != 0;
  return true;
}

int AcceptSocket(int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      WidenSendBuffer(fd);
      return fd;
    }
    if (errno == EINTR && !g_stopping) continue;
    return -1;
  }
}

long PeerProcessId(int fd) {
  ucred who{};
  socklen_t length = sizeof who;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &who, &length) != 0) return 0;
  return long(who.pid);
}

void CloseSocket(int fd) {
  if (fd >= 0) close(fd);
}

void InstallStopSignals() {
  if (g_stopPipe[0] < 0 && pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    g_stopPipe[0] = g_stopPipe[1] = -1;
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked accept returns EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool Stopping() { return g_stopping; }

}  // namespace host
