// ZEL_DEVICE_IO: construction, destruction, the device test and the OS
// download.

#include "tervlink/zel_device_io.h"

#include <cstring>
#include <memory>
#include <vector>

#include "sim_transport.h"
#include "tervlink/host/host.h"

ZEL_DEVICE_IO::ZEL_DEVICE_IO(const char* path, int32_t simulationFlag) {
  if (path) {
    strncpy(devicePath, path, sizeof devicePath - 1);
    devicePath[sizeof devicePath - 1] = '\0';
  }
  simulation = simulationFlag;
  slcLayout = 1;
  if (simulation) {
    pfnDeviceIoControl = SimDeviceIoControl;
    pfnCreateFile = SimCreateFile;
    pfnCloseHandle = SimCloseHandle;
    pfnReadFile = SimReadFile;
    pfnWriteFile = SimWriteFile;
    // Waits until a simulator answers. A refusal or a failed enumeration
    // leaves the link down: the object is usable, every request fails with
    // -1, and the caller learns of it from the device test.
    SimStartLink(SimOpenLink());
  } else {
    pfnDeviceIoControl = host::DeviceIoControl;
    pfnCreateFile = host::DeviceCreateFile;
    pfnCloseHandle = host::DeviceCloseHandle;
    pfnReadFile = host::DeviceReadFile;
    pfnWriteFile = host::DeviceWriteFile;
    pfnExchange = host::DeviceExchange;
  }
  imageActive = 0;
  imageFile = nullptr;
  sectorBitmap = nullptr;
  imageBytes = 0;
  bitmapBytes = 0;
}

ZEL_DEVICE_IO::~ZEL_DEVICE_IO() {
  // A read sent ahead and never taken: its connection is closed unread.
  if (posted_ && !posted_->answered) pfnCloseHandle(posted_->h);
  if (simulation) SimCloseLink();
}

int32_t ZEL_DEVICE_IO::Test(int32_t n) {
  _ZEL_REQUEST block;
  block.command = req::kTest;
  block.SetParam32(8, uint32_t(n));
  return Request(block, nullptr, false);
}

int32_t ZEL_DEVICE_IO::Download(const char* fileName) {
  AnswerPosted();
  DeviceHandle h = pfnCreateFile(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto fail = [&] {
    pfnCloseHandle(h);
    return -1;
  };
  FILE* f = host::OpenFile(fileName, "rb");
  if (!f) return fail();
  std::unique_ptr<FILE, int (*)(FILE*)> file(f, fclose);
  if (fseek(f, 0, SEEK_END) != 0) return fail();
  long length = ftell(f);
  if (length <= 0 || length > long(UINT32_MAX) || fseek(f, 0, SEEK_SET) != 0) return fail();
  std::vector<uint8_t> image;
  try {
    image.resize(size_t(length));
  } catch (...) {
    return fail();
  }
  if (fread(image.data(), 1, image.size(), f) != image.size()) return fail();
  file.reset();

  _ZEL_REQUEST block;
  block.command = req::kDownload;
  block.direction = kDirToDevice;
  block.length = uint32_t(length);
  auto bytes = EncodeRequest(block);
  uint32_t count = 0;
  if (!pfnDeviceIoControl(h, kIoctlSendRequest, bytes.data(), kRequestBytes, nullptr, 0, &count,
                          nullptr))
    return fail();
  if (!pfnWriteFile(h, image.data(), block.length, &count, nullptr) || count != block.length)
    return fail();
  image.clear();
  uint8_t reply[kReplyBytes] = {};
  if (!pfnDeviceIoControl(h, kIoctlFetchReply, nullptr, 0, reply, kReplyBytes, &count, nullptr))
    return fail();
  pfnCloseHandle(h);
  _ZEL_REPLY r = DecodeReply(reply);
  return r.status == 0 ? r.value : -1;
}

// Slots 24 and 25 are reserved; nothing calls them.
int32_t ZEL_DEVICE_IO::Reserved24() { return -1; }
int32_t ZEL_DEVICE_IO::Reserved25() { return -1; }

uint32_t ZEL_DEVICE_IO::DeviceLosses() {
  return simulation ? 0 : host::DeviceLosses(devicePath);
}
