// FAT_DEVICE volume state: construction, Init, the partition sizes, the
// current disk and partition, and the state queries.

#include <cstring>

#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"

namespace {
constexpr int kDefaultSizes[kFatParts] = {93000, 256, -1, 0};  // KB per slot
}  // namespace

FAT_DEVICE::FAT_DEVICE(FAT_DEVICE_IO* io) : pDevice(io) {
  fatInit = 0;
  verify = 0;
  memset(disks, 0, sizeof disks);
  disksCleared_ = true;
  // savedDisks is written whole by SaveDiskInfo before anything reads it;
  // clearing it here would only touch another 4.5 MB at every start.
  memset(configTable, 0, sizeof configTable);
  memset(fileName, 0, sizeof fileName);
}

FAT_DEVICE::~FAT_DEVICE() = default;

int FAT_DEVICE::Init() {
  fatInit = 0;
  if (!disksCleared_) memset(disks, 0, sizeof disks);
  disksCleared_ = false;
  ResetDirWalk();
  for (auto& d : disks)
    for (auto& p : d.parts) strcpy(p.currentPath, "\\");
  // Until the caches are built no partition is current.
  buf_pool();
  file_system_switch_to(0, 0);

  host::Print("读取磁盘信息，请耐心等待......");
  for (int d = 0; d < diskCount && d < kFatDisks; ++d) {
    if (pDevice->Switch(d) < 0) {
      lastError = -2;
      return -1;
    }
    _DISK_INFO& disk = disks[d];
    partition cap;
    pDevice->DiskReadCapacity(&cap, d);
    disk.cylinders = uint16_t(cap.cylinders);
    disk.heads = uint8_t(cap.heads);
    disk.sectorsPerTrack = uint8_t(cap.sectorsPerTrack);
    // The product of the three 32-bit fields; a device that reports more
    // than 32 bits of sectors is held to the largest sector number.
    uint64_t total = uint64_t(cap.cylinders) * cap.heads * cap.sectorsPerTrack;
    disk.totalSectors = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total);
    disk.unpartitionedSectors = disk.totalSectors;

    memset(&disk.sector, 0, sizeof disk.sector);
    if (DiskLoadMBS(&disk.sector, d) != 0) {
      memset(&disk.sector, 0, sizeof disk.sector);
      continue;
    }
    if (DiskLoadPBS(&disk.sector, d) != 0) continue;
    DiskLoadFatTable(d);
  }
  host::Print("完毕\r\n");
  buf_pool();
  file_system_switch_to(0, 0);
  pDevice->Switch(0);
  fatInit = 1;
  return 1;
}

int FAT_DEVICE::IsFatInit() { return fatInit; }

void FAT_DEVICE::init_part_params() {
  for (auto& d : disks) memset(d.partSizes, 0, sizeof d.partSizes);
  if (ReadConfigFile() != 0) {
    host::Print(
        "没有找到Tervan配置文件或配置文件错误，分区时，将用缺省参数进行设备分区！\n");
    for (auto& d : disks) memcpy(d.partSizes, kDefaultSizes, sizeof d.partSizes);
    return;
  }
  for (int d = 0; d < kFatDisks; ++d)
    memcpy(disks[d].partSizes, configTable[d], sizeof disks[d].partSizes);
}

void FAT_DEVICE::file_system_switch_to(int disk, int part) {
  // Out-of-range numbers would point outside the disk blocks; they are held
  // to the last disk and partition instead.
  if (disk < 0) disk = 0;
  if (disk >= kFatDisks) disk = kFatDisks - 1;
  if (part < 0) part = 0;
  if (part >= kFatParts) part = kFatParts - 1;
  curDisk_ = disk;
  curPart = &disks[disk].parts[part];
  lruFront = &curPart->lruFront;
  lruRear = &curPart->lruRear;
  hashTable = curPart->hash;
  curPartIndex = part;
  ResetDirWalk();
}

int FAT_DEVICE::GetPartitionMode(int disk, int part) {
  if (disk < 0 || disk >= kFatDisks || part < 0 || part >= kFatParts) return 0;
  return int(disks[disk].parts[part].fatWidth);
}

int FAT_DEVICE::IsPartFormattted(int disk, int part) {
  if (disk < 0 || disk >= kFatDisks || part < 0 || part >= kFatParts) return 0;
  return int(disks[disk].parts[part].formatted);
}

// The cache links point into the disk blocks themselves, so a copy is only
// meaningful when it is put back into the same object, as here.
void FAT_DEVICE::SaveDiskInfo() { memcpy(savedDisks, disks, sizeof disks); }

void FAT_DEVICE::RestoreDiskInfo() {
  memcpy(disks, savedDisks, sizeof disks);
  ResetDirWalk();
}
