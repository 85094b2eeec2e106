// Times one small device request, GetTimeZoneInformation (a command block,
// a 172-byte data phase to the PC and the reply), made through the library
// against a running zelsim:
//
//   link_bench DEVICE_PATH COUNT
//
// prints the mean microseconds per request over COUNT requests (after a
// warm-up). Run it with TERVAN_LINK_KEEP=0 for the yardstick: the same
// frames over a fresh connection per request (bench/peers.sh runs both).

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tervlink/zel_device_io.h"

namespace {

// Microseconds of a monotonic-enough clock (<chrono> does not build with
// the GBK execution character set).
double NowUs() {
  timespec t{};
  std::timespec_get(&t, TIME_UTC);
  return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: link_bench DEVICE_PATH COUNT\n");
    return 2;
  }
  int count = atoi(argv[2]);
  if (count <= 0) return 2;
  ZEL_DEVICE_IO device(argv[1], 0);
  _ZEL_TIME_ZONE_INFORMATION zone;
  for (int i = 0; i < 100; ++i)
    if (device.GetTimeZoneInformation(&zone) < 0) {
      fprintf(stderr, "link_bench: the device does not answer\n");
      return 1;
    }
  double start = NowUs();
  for (int i = 0; i < count; ++i)
    if (device.GetTimeZoneInformation(&zone) < 0) return 1;
  printf("%.2f\n", (NowUs() - start) / count);
  return 0;
}
