// FAT_DEVICE: volume state, disks and partitions.

#include "tervlink/fat_device.h"

#include <cstring>

FAT_DEVICE::FAT_DEVICE(FAT_DEVICE_IO* io) : pDevice(io) {
  fatInit = 0;
  verify = 0;
}

FAT_DEVICE::~FAT_DEVICE() = default;

// The file system engine is not built yet: initialisation fails and the
// shell goes on without file systems.
int FAT_DEVICE::Init() {
  fatInit = 0;
  lastError = -2;
  return -1;
}

int FAT_DEVICE::IsFatInit() { return fatInit; }

void FAT_DEVICE::init_part_params() {}

void FAT_DEVICE::file_system_switch_to(int, int part) { curPartIndex = part; }

int FAT_DEVICE::GetCurrentDirectoryA(char* buffer, int size) {
  if (!buffer || size < 2) return 0;
  strcpy(buffer, "\\");
  return 1;
}
