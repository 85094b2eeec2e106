// FAT_DEVICE volume state: construction, Init, the partition sizes, the
// current disk and partition, and the state queries.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "tervlink/fat_device.h"
#include "tervlink/fat_device/dir_index.h"
#include "tervlink/host/host.h"

namespace {
constexpr int kDefaultSizes[kFatParts] = {93000, 256, -1, 0};  // KB per slot

// The engine most recently allocated by FAT_DEVICE's operator new: its
// memory is all zeros when its constructor runs.
const void* g_zeroedEngine = nullptr;
}  // namespace

void* FAT_DEVICE::operator new(size_t bytes) {
  void* p = calloc(1, bytes);  // fresh pages from the system are not written
  if (!p) throw std::bad_alloc();
  g_zeroedEngine = p;
  return p;
}

void FAT_DEVICE::operator delete(void* p) noexcept { free(p); }

void FAT_DEVICE::ClearFatImage(_PART_INFO* p) {
  memset(p->fat, 0, std::min<size_t>(p->fatExtent, sizeof p->fat));
  p->fatExtent = 0;
  NewFatImage(p);
}

void FAT_DEVICE::NewFatImage(_PART_INFO* p) {
  static uint64_t images = 0;
  p->fatImage = ++images;
}

void FAT_DEVICE::ClearPartition(_PART_INFO* p) {
  ClearFatImage(p);
  auto* b = reinterpret_cast<unsigned char*>(p);
  size_t fatEnd = offsetof(_PART_INFO, fat) + sizeof p->fat;
  memset(b, 0, offsetof(_PART_INFO, fat));
  memset(b + fatEnd, 0, sizeof *p - fatEnd);
}

void FAT_DEVICE::NoteFatBytes(_PART_INFO* p, size_t end) {
  end = std::min<size_t>(end, sizeof p->fat);
  if (end > p->fatExtent) p->fatExtent = uint32_t(end);
}

FAT_DEVICE::FAT_DEVICE(FAT_DEVICE_IO* io) : pDevice(io), dirs_(std::make_unique<fatdir::State>()) {
  fatInit = 0;
  verify = 0;
  if (this != g_zeroedEngine) memset(disks, 0, sizeof disks);
  g_zeroedEngine = nullptr;
  disksCleared_ = true;
  // savedDisks is written whole by SaveDiskInfo before anything reads it;
  // clearing it here would only touch another 4.5 MB at every start.
  memset(configTable, 0, sizeof configTable);
  memset(fileName, 0, sizeof fileName);
}

FAT_DEVICE::~FAT_DEVICE() = default;

int FAT_DEVICE::Init() {
  fatInit = 0;
  // An engine started again (a test or fuzz target reusing one) clears
  // only what its FAT images may hold, not megabytes of zeros.
  if (!disksCleared_)
    for (auto& d : disks) {
      for (auto& p : d.parts) ClearPartition(&p);
      auto* b = reinterpret_cast<unsigned char*>(&d);
      size_t partsEnd = offsetof(_DISK_INFO, parts) + sizeof d.parts;
      memset(b, 0, offsetof(_DISK_INFO, parts));
      memset(b + partsEnd, 0, sizeof d - partsEnd);
    }
  disksCleared_ = false;
  ResetDirWalk();
  for (auto& d : disks)
    for (auto& p : d.parts) strcpy(p.currentPath, "\\");
  // Until the caches are built no partition is current.
  buf_pool();
  file_system_switch_to(0, 0);

  host::Print("读取磁盘信息，请耐心等待......");
  for (auto& s : stale_) s = false;
  for (auto& l : lost_) l = false;
  losses_ = pDevice->DeviceLosses();
  // Only each disk's geometry is asked for now (the partition sizes are
  // checked against it); its partition table, boot sectors and FATs are
  // read when a command first needs them (DiskTables), so a run that
  // never touches a disk's files never reads them.
  for (int d = 0; d < diskCount && d < kFatDisks; ++d) {
    _DISK_INFO& disk = disks[d];
    partition cap{};
    if (pDevice->DiskReadCapacity(&cap, d) < 0) {
      lastError = -2;
      return -1;
    }
    disk.cylinders = uint16_t(cap.cylinders);
    disk.heads = uint8_t(cap.heads);
    disk.sectorsPerTrack = uint8_t(cap.sectorsPerTrack);
    // The product of the three 32-bit fields; a device that reports more
    // than 32 bits of sectors is held to the largest sector number.
    uint64_t total = uint64_t(cap.cylinders) * cap.heads * cap.sectorsPerTrack;
    disk.totalSectors = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total);
    disk.unpartitionedSectors = disk.totalSectors;
    memset(&disk.sector, 0, sizeof disk.sector);
    disk.tablesPending = 1;
  }
  host::Print("完毕\r\n");
  buf_pool();
  file_system_switch_to(0, 0);
  fatInit = 1;
  return 1;
}

int FAT_DEVICE::IsFatInit() { return fatInit; }

void FAT_DEVICE::init_part_params() {
  for (auto& d : disks) memset(d.partSizes, 0, sizeof d.partSizes);
  if (ReadConfigFile() != 0) {
    host::Print(
        "没有找到Tervan配置文件或配置文件错误，分区时，将用缺省参数进行设备分区！\n");
    if (configProblem[0])
      host::PrintError("Tervan: 配置文件 %s 有错, %s; 改正或删除它之前 PART do 不会分区",
                       host::FullPath(configFile).c_str(), configProblem);
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
  DiskTables(disk);
  return int(disks[disk].parts[part].fatWidth);
}

int FAT_DEVICE::IsPartFormattted(int disk, int part) {
  if (disk < 0 || disk >= kFatDisks || part < 0 || part >= kFatParts) return 0;
  DiskTables(disk);
  return int(disks[disk].parts[part].formatted);
}

// The cache links point into the disk blocks themselves, so a copy is only
// meaningful when it is put back into the same object, as here.
// The directories held belong to the disk blocks of before.
void FAT_DEVICE::SaveDiskInfo() {
  ForgetDirectories();
  memcpy(savedDisks, disks, sizeof disks);
}

void FAT_DEVICE::RestoreDiskInfo() {
  ForgetDirectories();
  memcpy(disks, savedDisks, sizeof disks);
  ResetDirWalk();
}

bool FAT_DEVICE::DeviceKept() {
  uint32_t now = pDevice->DeviceLosses();
  if (now == losses_) return true;
  losses_ = now;
  // A disk whose tables were never read is read from the device anyway.
  for (int d = 0; d < kFatDisks; ++d) {
    if (disks[d].tablesPending) continue;
    stale_[d] = true;
    lost_[d] = true;
  }
  return false;
}

bool FAT_DEVICE::Fresh() {
  DeviceKept();
  DiskTables(curDisk_);
  if (!stale_[curDisk_]) return true;
  if (RereadDisk(curDisk_, lost_[curDisk_]) != 0) {
    lastError = -1;
    return false;
  }
  stale_[curDisk_] = false;
  lost_[curDisk_] = false;
  return true;
}


// Reads a stale disk again. What the device now holds wins, with two
// exceptions that keep the session's own work: a partition whose table
// entry and boot sector are unchanged keeps its current directory, and
// keeps its FAT image when the device's first FAT differs from it only in
// sectors that a commit which failed was writing (that commit's half is
// then undone by the next commit, which writes the copies whole). After
// the device was lost (lost set) only the first holds, and only while the
// directory still exists; a difference from what the engine held is said
// on standard error. 0, or -1 with the disk as it was before, still stale,
// and its caches empty.
int FAT_DEVICE::RereadDisk(int disk, bool lost) {
  std::unique_ptr<_DISK_INFO> before(new (std::nothrow) _DISK_INFO);
  if (!before) return -1;
  memcpy(static_cast<void*>(before.get()), &disks[disk], sizeof(_DISK_INFO));
  // A device that went away comes back with disk 0 selected.
  if (disk != 0 && pDevice->Switch(disk) <= 0) return -1;
  if (ReloadDisk(disk) != 0) {
    memcpy(static_cast<void*>(&disks[disk]), before.get(), sizeof(_DISK_INFO));
    for (auto& p : disks[disk].parts) InitPartCache(&p);
    file_system_switch_to(disk, curPartIndex);
    return -1;
  }
  for (int s = 0; s < kFatParts; ++s) {
    _PART_INFO& now = disks[disk].parts[s];
    const _PART_INFO& was = before->parts[s];
    if (s == kReservedSlot || !now.formatted || !was.formatted || now.fatWidth == 0 ||
        now.fatWidth != was.fatWidth || now.startSector != was.startSector ||
        now.sectorCount != was.sectorCount || memcmp(now.bootCopy, was.bootCopy, sizeof now.bootCopy))
      continue;
    now.currentDir = was.currentDir;
    memcpy(now.currentPath, was.currentPath, sizeof now.currentPath);
    if (lost) continue;
    bool marked = false;
    for (uint8_t b : was.fatDirty) marked = marked || b != 0;
    if (!marked) continue;
    bool ours = true;
    for (uint32_t i = 0; i < now.sectorsPerFat && ours; ++i) {
      bool dirty = (was.fatDirty[i >> 3] >> (i & 7)) & 1;
      ours = dirty || memcmp(now.fat + size_t(i) * 512, was.fat + size_t(i) * 512, 512) == 0;
    }
    if (!ours) continue;
    memcpy(now.fat, was.fat, size_t(now.sectorsPerFat) * 512);
    NoteFatBytes(&now, size_t(now.sectorsPerFat) * 512);
    memcpy(now.fatDirty, was.fatDirty, sizeof now.fatDirty);
    now.fatWhole = 1;
    now.fatImage = was.fatImage;  // the same image, kept
  }
  int part = curPartIndex;
  if (lost) {
    bool changed = memcmp(&before->sector, &disks[disk].sector, sizeof before->sector) != 0;
    for (int s = 0; s < kFatParts; ++s) {
      _PART_INFO& now = disks[disk].parts[s];
      const _PART_INFO& was = before->parts[s];
      changed = changed || memcmp(now.bootCopy, was.bootCopy, sizeof now.bootCopy) != 0 ||
                now.sectorsPerFat != was.sectorsPerFat ||
                memcmp(now.fat, was.fat, size_t(now.sectorsPerFat) * 512) != 0;
      if (now.currentDir == 0) continue;
      file_system_switch_to(disk, s);
      if (!StillADirectory(now.currentDir)) ChangeRootDirectory();
    }
    if (changed)
      host::PrintError("Tervan: 磁盘%d在连接中断期间被改变, 已丢弃缓存的分区表和FAT, 按设备现在的内容继续",
                       disk);
  }
  file_system_switch_to(disk, part);
  return 0;
}
