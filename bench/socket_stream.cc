// The yardstick of a big transfer over a device link: a file's bytes
// between two processes over a plain Unix stream socket, 1 MiB a request,
// with nothing of Tervan in it (no FAT, no NAND layout, no frames). The
// "device" process reads or writes a disk image with pread/pwrite, the
// "PC" process reads or writes the PC file. bench/peers.sh times it beside
// mcopy of the same bytes out of or into an image: what the socket's two
// extra copies of every byte cost, below which no socket link can go.
//
//   socket_stream out IMAGE BYTES PCFILE   BYTES from IMAGE's start into PCFILE
//   socket_stream in PCFILE IMAGE          PCFILE into IMAGE from its start
//
// Out: the PC asks for each run (an 8-byte length), the device reads it
// and answers with it. In: the PC sends each run after its length, the
// device writes it and answers with one byte. Each side waits for the
// other in a blocking read.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "socket_io.h"

namespace {

using yardstick::ReadAll;
using yardstick::WriteAll;

constexpr size_t kRun = 1u << 20;

// The device side: serves the PC's runs until it hangs up.
int Device(int link, int image, bool out) {
  std::vector<char> buf(kRun);
  uint64_t at = 0, length = 0;
  while (ReadAll(link, &length, sizeof length)) {
    if (length > kRun) return 1;
    if (out) {
      if (pread(image, buf.data(), length, off_t(at)) != ssize_t(length)) return 1;
      if (!WriteAll(link, buf.data(), length)) return 1;
    } else {
      char ok = 1;
      if (!ReadAll(link, buf.data(), length)) return 1;
      if (pwrite(image, buf.data(), length, off_t(at)) != ssize_t(length)) ok = 0;
      if (!WriteAll(link, &ok, 1) || !ok) return 1;
    }
    at += length;
  }
  return 0;
}

// The PC side: moves total bytes (out) or the whole PC file (in), with
// the PC's work on one run done while the device works on the next (out:
// the next run is asked for before this one is written; in: the next run
// is read while the device writes this one), as a link that keeps the
// device busy does.
bool Pc(int link, int file, bool out, uint64_t total) {
  std::vector<char> buf(kRun), next(kRun);
  if (out) {
    uint64_t asked = 0;
    auto ask = [&](uint64_t* length) {
      *length = total - asked < kRun ? total - asked : kRun;
      asked += *length;
      return *length == 0 || WriteAll(link, length, sizeof *length);
    };
    uint64_t length = 0, following = 0;
    if (!ask(&length)) return false;
    while (length > 0) {
      if (!ReadAll(link, buf.data(), length) || !ask(&following)) return false;
      if (!WriteAll(file, buf.data(), length)) return false;
      length = following;
    }
    return true;
  }
  ssize_t got = read(file, buf.data(), kRun);
  while (got > 0) {
    uint64_t length = uint64_t(got);
    char ok = 0;
    if (!WriteAll(link, &length, sizeof length) || !WriteAll(link, buf.data(), length)) return false;
    got = read(file, next.data(), kRun);
    if (!ReadAll(link, &ok, 1) || !ok) return false;
    buf.swap(next);
  }
  return got == 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool out = argc == 5 && strcmp(argv[1], "out") == 0;
  bool in = argc == 4 && strcmp(argv[1], "in") == 0;
  if (!out && !in) {
    fprintf(stderr, "usage: socket_stream out IMAGE BYTES PCFILE | in PCFILE IMAGE\n");
    return 2;
  }
  const char* imagePath = out ? argv[2] : argv[3];
  const char* pcPath = out ? argv[4] : argv[2];
  int image = open(imagePath, out ? O_RDONLY : O_WRONLY);
  int pc = out ? open(pcPath, O_WRONLY | O_CREAT | O_TRUNC, 0644) : open(pcPath, O_RDONLY);
  if (image < 0 || pc < 0) {
    perror("socket_stream");
    return 1;
  }
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 1;
  pid_t device = fork();
  if (device < 0) return 1;
  if (device == 0) {
    close(fds[0]);
    _exit(Device(fds[1], image, out));
  }
  close(fds[1]);
  bool ok = Pc(fds[0], pc, out, out ? strtoull(argv[3], nullptr, 10) : 0);
  close(fds[0]);
  int status = 1;
  waitpid(device, &status, 0);
  if (close(pc) != 0) ok = false;
  if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "socket_stream: the transfer failed\n");
    return 1;
  }
  return 0;
}
