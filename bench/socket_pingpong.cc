// The yardstick of one small device request: a plain Unix stream socket
// ping-pong between two processes, with nothing of Tervan in it. The client
// sends the bytes of one small request (GetTimeZoneInformation: the command
// block's frame with the data phase's head, and the reply fetch's frame,
// 47 bytes in one send), the server reads them and answers with as many
// bytes as zelsim does (195: three answer heads, 172 bytes of data and the
// 8-byte reply) in one send. Both sides wait for the other in a blocking
// read, as a program does that does not busy-wait.
//
//   socket_pingpong COUNT
//
// prints the mean microseconds per round trip over COUNT round trips
// (after a warm-up). bench/peers.sh sets it beside bench/link_bench.

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "socket_io.h"

namespace {

using yardstick::ReadAll;
using yardstick::WriteAll;

constexpr size_t kAsk = 47;      // what the PC sends for one small request
constexpr size_t kAnswer = 195;  // what the device sends back
constexpr int kWarmUp = 100;

double NowUs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || atoi(argv[1]) <= 0) {
    fprintf(stderr, "usage: socket_pingpong COUNT\n");
    return 2;
  }
  const int count = atoi(argv[1]);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 1;
  pid_t server = fork();
  if (server < 0) return 1;
  if (server == 0) {
    close(fds[0]);
    char ask[kAsk], answer[kAnswer] = {};
    while (ReadAll(fds[1], ask, sizeof ask) && WriteAll(fds[1], answer, sizeof answer)) {
    }
    _exit(0);
  }
  close(fds[1]);
  char ask[kAsk] = {}, answer[kAnswer];
  double start = 0;
  for (int i = 0; i < kWarmUp + count; ++i) {
    if (i == kWarmUp) start = NowUs();
    if (!WriteAll(fds[0], ask, sizeof ask) || !ReadAll(fds[0], answer, sizeof answer)) return 1;
  }
  double us = (NowUs() - start) / count;
  close(fds[0]);
  waitpid(server, nullptr, 0);
  printf("%.2f\n", us);
  return 0;
}
