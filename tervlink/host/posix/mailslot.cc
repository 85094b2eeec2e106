// Mailslots as named FIFOs.
//
// The mailslot "\\.\mailslot\NAME" is the FIFO RunDir()/mailslot/NAME. The
// server creates it and opens it read-write, so that it counts as a reader
// (a client open succeeds) and its reads never see an end of file: a read
// waits until a message comes. A client opens it write-only and
// non-blocking, which fails with ENXIO while no server holds it: the
// "server not there" of a mailslot client. Each message is framed as a u32
// length (little-endian) and its bytes. A slot has one writer at a time, so
// a long message is never interleaved with another.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "tervlink/bytes.h"
#include "tervlink/host/host.h"

namespace host {
namespace {

// Once a message has begun, its rest must follow within this time; a writer
// that died half-way through a message would otherwise block the reader.
constexpr int kRestOfMessageMs = 10000;
constexpr size_t kFrameHeader = 4;

struct ServerSlot {
  std::string path;
  uint32_t maxMessage = kMaxMailslotMessage;
  dev_t dev = 0;
  ino_t ino = 0;
};

std::mutex g_slotsLock;
std::map<int, ServerSlot> g_servers;  // server handles -> their slots

uint32_t MaxMessageOf(int fd) {
  std::lock_guard<std::mutex> lock(g_slotsLock);
  auto it = g_servers.find(fd);
  return it == g_servers.end() ? kMaxMailslotMessage : it->second.maxMessage;
}

// Waits until fd is readable. 1 = readable, 0 = time-out (or a signal while
// a finite wait runs, so the caller can look at its stop flag), -1 = error.
int WaitReadable(int fd, int timeoutMs) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, timeoutMs);
    if (n > 0) return (p.revents & (POLLIN | POLLHUP)) ? 1 : -1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
    if (timeoutMs >= 0) return 0;
  }
}

// Reads exactly length bytes of a message that has begun; false when the
// slot fails or the bytes stop coming.
bool ReadRest(int fd, uint8_t* p, size_t length) {
  while (length > 0) {
    pollfd q{fd, POLLIN, 0};
    int ready = poll(&q, 1, kRestOfMessageMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = read(fd, p, length);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

// Reads and drops length bytes, keeping the message boundaries in step.
bool Discard(int fd, size_t length) {
  uint8_t sink[4096];
  while (length > 0) {
    size_t n = std::min(length, sizeof sink);
    if (!ReadRest(fd, sink, n)) return false;
    length -= n;
  }
  return true;
}

// Reads the length word of the next message, waiting up to timeoutMs for it
// to begin.
MailslotRead ReadLength(int fd, int timeoutMs, uint32_t& length) {
  if (fd < 0) return MailslotRead::kFailed;
  int ready = WaitReadable(fd, timeoutMs);
  if (ready == 0) return MailslotRead::kTimeout;
  if (ready < 0) return MailslotRead::kFailed;
  uint8_t head[kFrameHeader];
  if (!ReadRest(fd, head, sizeof head)) return MailslotRead::kFailed;
  length = bytes::Get32(head);
  // Our writers never frame more than the maximum; a larger length means the
  // stream is out of step, and nothing after it can be trusted.
  if (length > MaxMessageOf(fd)) return MailslotRead::kFailed;
  return MailslotRead::kOk;
}

void IgnoreBrokenPipes() {
  // A write to a slot whose server has gone must fail, not end the program.
  struct sigaction old{};
  if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

std::string MailslotPath(const char* name) {
  std::string n = name ? name : "";
  const std::string prefix = "\\\\.\\mailslot\\";
  if (n.compare(0, prefix.size(), prefix) == 0) n = n.substr(prefix.size());
  return RunDir() + "/mailslot/" + n;
}

bool MailslotHasServer(const char* name) {
  int fd = open(MailslotPath(name).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  bool fifo = fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
  close(fd);
  return fifo;
}

bool WaitForMailslotServer(const char* name, int timeoutMs) {
  std::string path = MailslotPath(name);
  std::string folder = path.substr(0, path.rfind('/'));
  // A server creates its FIFO and opens it: both are events of the folder.
  // The watch is set before the look, so no server slips in between; a
  // folder made (or made anew) later is caught by the look every second.
  MakeDirs(folder);
  int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (watch >= 0) inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_OPEN | IN_MOVED_TO);
  constexpr int kLookMs = 1000;
  int left = timeoutMs;
  bool found = false;
  for (;;) {
    if (MailslotHasServer(name)) {
      found = true;
      break;
    }
    if (InterruptRequested() || left == 0) break;
    int slice = left < 0 || left > kLookMs ? kLookMs : left;
    if (watch >= 0) {
      pollfd p{watch, POLLIN, 0};
      if (poll(&p, 1, slice) > 0) {
        char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
      }
    } else {
      usleep(unsigned(slice) * 1000u);
    }
    if (left > 0) left -= slice;
  }
  if (watch >= 0) close(watch);
  return found;
}

MailslotHandle CreateMailslot(const char* name, uint32_t maxMessage) {
  std::string path = MailslotPath(name);
  if (!MakeDirs(path.substr(0, path.rfind('/')))) return kInvalidMailslot;
  // A slot still read by another server is taken: two readers would steal
  // each other's messages. A slot left behind by a server that died is
  // replaced.
  if (MailslotHasServer(name)) return kInvalidMailslot;
  unlink(path.c_str());
  if (mkfifo(path.c_str(), 0600) != 0) return kInvalidMailslot;
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    unlink(path.c_str());
    return kInvalidMailslot;
  }
  struct stat st{};
  fstat(fd, &st);
  ServerSlot slot;
  slot.path = path;
  slot.maxMessage = std::min(maxMessage, kMaxMailslotMessage);
  slot.dev = st.st_dev;
  slot.ino = st.st_ino;
  std::lock_guard<std::mutex> lock(g_slotsLock);
  g_servers[fd] = slot;
  return fd;
}

MailslotHandle OpenMailslot(const char* name) {
  IgnoreBrokenPipes();
  int fd = open(MailslotPath(name).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidMailslot;
  struct stat st{};
  int flags = fcntl(fd, F_GETFL);
  // Writes of long messages wait for the reader to make room.
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || flags < 0 ||
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return kInvalidMailslot;
  }
  return fd;
}

bool WriteMailslot(MailslotHandle h, const void* data, uint32_t length) {
  if (h < 0 || length > kMaxMailslotMessage || (length && !data)) return false;
  uint8_t head[kFrameHeader];
  bytes::Put32(head, length);
  iovec parts[2] = {{head, sizeof head}, {const_cast<void*>(data), length}};
  int count = length ? 2 : 1;
  iovec* iov = parts;
  while (count > 0) {
    ssize_t n = writev(int(h), iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    size_t done = size_t(n);
    while (count > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return true;
}

MailslotRead ReadMailslot(MailslotHandle h, void* buffer, uint32_t capacity, uint32_t* got,
                          int timeoutMs) {
  if (got) *got = 0;
  uint32_t length = 0;
  MailslotRead r = ReadLength(int(h), timeoutMs, length);
  if (r != MailslotRead::kOk) return r;
  if (length > capacity) return Discard(int(h), length) ? MailslotRead::kTooLong : MailslotRead::kFailed;
  if (length && !ReadRest(int(h), static_cast<uint8_t*>(buffer), length))
    return MailslotRead::kFailed;
  if (got) *got = length;
  return MailslotRead::kOk;
}

MailslotRead ReadMailslotMessage(MailslotHandle h, std::vector<uint8_t>& message, int timeoutMs) {
  message.clear();
  uint32_t length = 0;
  MailslotRead r = ReadLength(int(h), timeoutMs, length);
  if (r != MailslotRead::kOk) return r;
  message.resize(length);
  if (length && !ReadRest(int(h), message.data(), length)) {
    message.clear();
    return MailslotRead::kFailed;
  }
  return MailslotRead::kOk;
}

void CloseMailslot(MailslotHandle h) {
  if (h < 0) return;
  ServerSlot slot;
  bool server = false;
  {
    std::lock_guard<std::mutex> lock(g_slotsLock);
    auto it = g_servers.find(int(h));
    if (it != g_servers.end()) {
      slot = it->second;
      server = true;
      g_servers.erase(it);
    }
  }
  // Remove the slot only when the name still is ours: a newer server may
  // have replaced a slot it found without a reader.
  if (server) {
    struct stat st{};
    if (stat(slot.path.c_str(), &st) == 0 && st.st_dev == slot.dev && st.st_ino == slot.ino)
      unlink(slot.path.c_str());
  }
  close(int(h));
}

void BlockStopSignalsInThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace host
