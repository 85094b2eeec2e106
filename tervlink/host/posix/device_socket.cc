// The device link over Unix stream sockets.
//
// A device path "\\.\NAME" names the socket RunDir()/NAME. One connection
// carries one request: CreateFile connects, CloseHandle closes, and the
// control, read and write calls are the frames of device_frames.h
// (docs/device-protocol.md).

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tervlink/host/device_frames.h"
#include "tervlink/host/host.h"

namespace host {
namespace {

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A connected socket as a frame stream.
class SocketStream : public frames::Stream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  bool Read(void* buffer, size_t length) override { return ReadExact(fd_, buffer, length); }
  bool Write(const void* buffer, size_t length) override {
    return WriteExact(fd_, buffer, length);
  }

 private:
  int fd_;
};

std::atomic<bool> g_stopping{false};

void OnStopSignal(int) { g_stopping = true; }

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
  auto* p = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

intptr_t DeviceCreateFile(const char* path, uint32_t, uint32_t, void*, uint32_t, uint32_t,
                          void*) {
  sockaddr_un addr;
  if (!FillAddress(DeviceSocketPath(path), addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int DeviceCloseHandle(intptr_t h) {
  if (h < 0) return 0;
  return close(int(h)) == 0 ? 1 : 0;
}

int DeviceIoControl(intptr_t h, uint32_t code, const void* in, uint32_t inLength, void* out,
                    uint32_t outCapacity, uint32_t* returned, void*) {
  SocketStream s{int(h)};
  return frames::IoControl(s, code, in, inLength, out, outCapacity, returned);
}

int DeviceWriteFile(intptr_t h, const void* buffer, uint32_t length, uint32_t* put, void*) {
  SocketStream s{int(h)};
  return frames::WriteData(s, buffer, length, put);
}

int DeviceReadFile(intptr_t h, void* buffer, uint32_t length, uint32_t* got, void*) {
  SocketStream s{int(h)};
  return frames::ReadData(s, buffer, length, got);
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
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int AcceptSocket(int listener) {
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno == EINTR && !g_stopping) continue;
    return -1;
  }
}

void CloseSocket(int fd) {
  if (fd >= 0) close(fd);
}

void InstallStopSignals() {
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
