// The simulation transport over mailslots.
//
// Until the mailslot link is built the link stays down: opening it fails and
// every request made over it fails with -1.

#include "sim_transport.h"

namespace {
bool g_linkUp = false;
}

DeviceHandle SimCreateFile(const char*, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
  return g_linkUp ? 1 : INVALID_HANDLE_VALUE;
}
int SimDeviceIoControl(DeviceHandle, uint32_t, const void*, uint32_t, void*, uint32_t,
                       uint32_t* returned, void*) {
  if (returned) *returned = 0;
  return 0;
}
int SimCloseHandle(DeviceHandle) { return 1; }
int SimReadFile(DeviceHandle, void*, uint32_t, uint32_t* got, void*) {
  if (got) *got = 0;
  return 0;
}
int SimWriteFile(DeviceHandle, const void*, uint32_t, uint32_t* put, void*) {
  if (put) *put = 0;
  return 0;
}
int SimOpenLink() { return -1; }
int SimStartLink(int) { return -1; }
void SimCloseLink() { g_linkUp = false; }
