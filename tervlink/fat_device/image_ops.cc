// The engine's image operations: entering and leaving image building, the
// packed-image conversions, the ISO burn into the device's NAND and the
// refresh of an ISO image from it.
//
// The file work itself is the device object's (image_mode.cc); here the
// engine saves and restores its disk blocks around a build and drives the
// burn with its pending direct transfers.

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"
#include "tervlink/image_file.h"
#include "tervlink/zel_device_io.h"

// ---- image building ----------------------------------------------------------

int FAT_DEVICE::SetImageMode(int kind) {
  pDevice->SetImageMode(kind);
  return 0;
}

int FAT_DEVICE::SetSimuFlashParameter(int slc, unsigned blocksPerZone,
                                      unsigned logicalBlocksPerZone, unsigned sectorsPerBlock,
                                      unsigned sectorsPerPage) {
  pDevice->SetSimuFlashParameter(slc, blocksPerZone, logicalBlocksPerZone, sectorsPerBlock,
                                 sectorsPerPage);
  return 0;
}

int FAT_DEVICE::SwitchToBuildingImageMode(int sizeMb, char* path) {
  // What is saved and put back afterwards is the device's own state, read
  // from the device before the image takes its place.
  for (int d = 0; d < diskCount && d < kFatDisks; ++d) DiskTables(d);
  if (pDevice->BuildImageFile(sizeMb, path) == -1) return -1;
  SaveDiskInfo();
  buildingImage_ = true;
  return 0;
}

int FAT_DEVICE::QuitBuildingImageMode(char* path) {
  // The close reads the disk blocks as the build left them (the image's
  // header records that partitioning); only then is the device's own
  // state put back. Nothing is put back when no build was started: the
  // saved copy would be stale (or never taken).
  int result = pDevice->CloseImageFile(disks, path);
  if (buildingImage_) RestoreDiskInfo();
  buildingImage_ = false;
  return result;
}

// ---- packed images -------------------------------------------------------------

int FAT_DEVICE::BuildPakImage(char* path) { return pDevice->BuildPakImageFile(path) == -1 ? -1 : 0; }

int FAT_DEVICE::UnPakImage(char* path) { return pDevice->UnPakImageFile(path) == -1 ? -1 : 0; }

// ---- the ISO burn ----------------------------------------------------------------

namespace {

constexpr uint32_t kTransferBytes = 1u << 20;  // transfer and verify buffers, 1 MB each
constexpr int kTries = 10;                     // writes of one run before it counts as bad
constexpr int kHardwareDictionary = 2;         // Test(0): one NAND chip
constexpr int kHardwareProgrammer = 3;         // Test(0): two NAND chips
constexpr int kReportSuccess = 0x50;           // Test(n): the outcome of a burn
constexpr int kReportFailure = 0x51;
constexpr uint32_t kSettleMs = 2000;           // after a successful burn

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

// How a burn ends when it does not succeed.
enum class Ending {
  kFailure,  // banner, failure report to the device, then the cleanup
  kCleanup,  // the cleanup only (the device link itself failed)
};

}  // namespace

int FAT_DEVICE::ReloadDisk(int disk) {
  _DISK_INFO& d = disks[disk];
  // The geometry and the configured sizes stay; the rest is read again.
  uint16_t cylinders = d.cylinders;
  uint8_t heads = d.heads, sectorsPerTrack = d.sectorsPerTrack;
  uint32_t total = d.totalSectors;
  int sizes[kFatParts];
  memcpy(sizes, d.partSizes, sizeof sizes);
  memset(&d, 0, sizeof d);
  d.cylinders = cylinders;
  d.heads = heads;
  d.sectorsPerTrack = sectorsPerTrack;
  d.totalSectors = d.unpartitionedSectors = total;
  memcpy(d.partSizes, sizes, sizeof d.partSizes);
  for (auto& p : d.parts) strcpy(p.currentPath, "\\");
  ResetDirWalk();
  // Every cache is emptied: none may serve a sector from before the burn.
  buf_pool();
  int r = ReadDiskTables(disk);
  file_system_switch_to(disk, curPartIndex);
  if (r == 0) stale_[disk] = false;
  return r;
}

int FAT_DEVICE::ReadDiskTables(int disk) {
  _DISK_INFO& d = disks[disk];
  if (DiskLoadMBS(&d.sector, disk) != 0) {
    int r = lastError == -1 ? -1 : 0;  // unread, not merely without a table
    memset(&d.sector, 0, sizeof d.sector);
    return r;
  }
  return DiskLoadPBS(&d.sector, disk) != 0 || DiskLoadFatTable(disk) != 0 ? -1 : 0;
}

int FAT_DEVICE::DiskTables(int disk) {
  if (disk < 0 || disk >= kFatDisks || !disks[disk].tablesPending) return 0;
  disks[disk].tablesPending = 0;
  // The reads go to the disk's sectors: another disk selected on the device
  // is left for them and selected again afterwards, without the notice a
  // tracked switch prints (nothing the user asked for changes disk).
  const int engineDisk = curDisk_, enginePart = curPartIndex;
  const int deviceDisk = pDevice->currentDisk;
  auto* zel = dynamic_cast<ZEL_DEVICE_IO*>(pDevice);
  const int32_t tracking = zel ? zel->trackDisk : 0;
  if (zel) zel->trackDisk = 0;
  const bool away = disk != deviceDisk;
  int r = away && pDevice->Switch(disk) < 0 ? -1 : 0;
  file_system_switch_to(disk, 0);  // a failed read marks this disk stale
  if (r == 0) r = ReadDiskTables(disk);
  if (away) pDevice->Switch(deviceDisk);
  if (zel) zel->trackDisk = tracking;
  file_system_switch_to(engineDisk, enginePart);
  if (r != 0) stale_[disk] = true;
  return r;
}

int FAT_DEVICE::TransferImageFile(char* path) {
  // Test is the device object's request, not part of the interface; a
  // device of another kind (a test double) is simply not asked.
  auto* zel = dynamic_cast<ZEL_DEVICE_IO*>(pDevice);
  auto test = [zel](int n) { return zel ? zel->Test(n) : -1; };

  int disk = pDevice->currentDisk;
  bool wrote = false;
  File file(nullptr, fclose);
  // The burn's end when it fails: releases what is held, waits for a key
  // press at a terminal and answers -1.
  auto fail = [&](Ending ending) {
    if (wrote) ReloadDisk(disk);
    if (ending == Ending::kFailure) {
      host::Print("\n\nNandFlash ISO镜像烧写失败... \r\n");
      test(kReportFailure);
    }
    file.reset();
    // Keys typed during the burn are discarded, then one press ends it. A
    // standard input that is not a terminal (a script) holds the next
    // commands, not key presses: nothing is read from it.
    host::Print("\n按任意键退出\n");
    if (host::StdinIsTerminal()) {
      while (host::KeyHit()) host::GetKey();
      host::GetKey();
    }
    return -1;
  };

  int hardware = test(0);
  if (hardware == kHardwareDictionary)
    host::Print("\n *** 当前下载的RTOS是支持单片NandFlash的字典机硬件版本 ***\n\n");
  else if (hardware == kHardwareProgrammer)
    host::Print("\n *** 当前下载的RTOS是支持双片NandFlash的烧写器硬件版本 ***\n\n");

  file.reset(host::OpenFile(path, "rb"));
  if (!file) {
    host::Print("映像文件打开失败，请确认ISO文件(%s)是否存在\n", path);
    return fail(Ending::kFailure);
  }
  uint8_t header[image::kHeaderBytes] = {};
  const char* marker = reinterpret_cast<const char*>(header);
  bool read = fread(header, 1, sizeof header, file.get()) == sizeof header;
  bool plain = read && strncmp(marker, image::kSystemMarker, image::kHdrMarkerBytes) == 0;
  bool packed = read && strncmp(marker, image::kPackedMarker, image::kHdrMarkerBytes) == 0;
  if (!plain && !packed) {
    host::Print("映像文件(%s)格式不正确.\r\n", path);
    return fail(Ending::kFailure);
  }

  uint32_t sizeMb = bytes::Get32(header + image::kHdrSizeMb);
  uint32_t diskCount = bytes::Get32(header + image::kHdrDiskCount);
  host::Print("ISO映像对应的NandFlash大小为 %d MB,", int(sizeMb));
  if (diskCount == 0) {
    host::Print("ISO映像文件(%s)磁盘分区异常.\r\n", path);
    return fail(Ending::kFailure);
  }
  host::Print("ISO镜像磁盘分区信息如下:\r\n");
  for (uint32_t i = 0; i < diskCount && i < uint32_t(image::kMaxDiskEntries); ++i) {
    const uint8_t* e = header + image::kHdrDisks + i * image::kDiskEntryBytes;
    host::Print("Disk %d\r\n\t C: %d KB, D: %d KB, E: %d KB, F:%d KB\r\n", int(bytes::Get32(e)),
                int(bytes::Get32(e + 4)), int(bytes::Get32(e + 8)), int(bytes::Get32(e + 12)),
                int(bytes::Get32(e + 16)));
  }
  host::Print("\n");

  // The NAND of the current disk must be the one the image was built for:
  // a 128 MB image fits a disk of 256,000 sectors (1000 logical blocks of
  // 128 KB per zone).
  uint32_t totalSectors = disk >= 0 && disk < kFatDisks ? disks[disk].totalSectors : 0;
  if ((totalSectors / 2) / 1000 != sizeMb) {
    host::Print("ISO镜像文件(%s)的容量与正在烧写的NandFlash容量不匹配.\r\n", path);
    return fail(Ending::kFailure);
  }

  // The bitmap: one bit per sector of the image, size x 256 bytes.
  uint32_t bitmapAt = bytes::Get32(header + image::kHdrBitmapOffset);
  uint64_t dataAt = bytes::Get32(header + image::kHdrDataOffset);
  std::vector<uint8_t> bitmap;
  if (sizeMb == 0 || sizeMb > image::kMaxImageMb || dataAt < uint64_t(bitmapAt) + sizeMb * 256) {
    host::Print("ISO镜像文件(%s)格式非法.\r\n", path);
    return fail(Ending::kFailure);
  }
  bitmap.assign(size_t(sizeMb) * 256, 0);
  if (!host::SeekFile(file.get(), bitmapAt) ||
      fread(bitmap.data(), 1, bitmap.size(), file.get()) != bitmap.size()) {
    host::Print("读取ISO镜像文件(%s)的扇区分配标志数据错误.\r\n", path);
    return fail(Ending::kFailure);
  }

  std::unique_ptr<char[]> data = host::NewTransferBuffer(kTransferBytes);
  std::unique_ptr<char[]> verify = host::NewTransferBuffer(kTransferBytes);
  std::unique_ptr<char[]> ahead = host::NewTransferBuffer(kTransferBytes);
  if (!data || !verify || !ahead) {
    host::Print("内存分配失败，请关闭其他程序后重试\r\n");
    return fail(Ending::kFailure);
  }

  uint32_t bitmapBytes = uint32_t(bitmap.size());
  uint32_t runs = (bitmapBytes + image::kRunBitmapBytes - 1) / image::kRunBitmapBytes;
  double total = 0, done = 0;
  // The file must hold every sector the bitmap promises before anything is
  // written: a truncated image would otherwise burn part of the disk and
  // leave it half old, half new.
  uint64_t needed = dataAt, packedSectors = 0;
  for (uint32_t r = 0; r < runs; ++r) {
    if (!image::RunUsed(bitmap.data(), bitmapBytes, r)) continue;
    total += 1;
    uint32_t count = 8 * std::min(image::kRunBitmapBytes, bitmapBytes - r * image::kRunBitmapBytes);
    packedSectors += count;
    if (plain) needed = dataAt + (uint64_t(r) * image::kRunSectors + count) * 512;
  }
  if (packed) needed = dataAt + packedSectors * 512;
  uint64_t length = 0;
  if (!host::FileLength(file.get(), length) || length < needed) {
    host::Print("ISO镜像文件(%s)不完整: 应有%llu字节, 实有%llu字节.\r\n", path,
                (unsigned long long)needed, (unsigned long long)length);
    return fail(Ending::kFailure);
  }

  // A packed image stores its used runs back to back from the data offset.
  if (packed && !host::SeekFile(file.get(), dataAt)) {
    host::Print("\r\n无法读取镜像文件(%s)的数据.\r\n", path);
    return fail(Ending::kFailure);
  }
  // The sectors of used run r, as the image holds them (a packed image's
  // runs follow one another from where the last one ended).
  auto runCount = [&](uint32_t r) {
    return 8 * std::min(image::kRunBitmapBytes, bitmapBytes - r * image::kRunBitmapBytes);
  };
  auto readRun = [&](uint32_t r, char* into) {
    return file && (!plain || host::SeekFile(file.get(), dataAt + uint64_t(r) * image::kRunSectors * 512)) &&
           fread(into, 512, runCount(r), file.get()) == runCount(r);
  };
  // The next used run is read from the file while the device writes this
  // one (the link's wait work; once per run, whatever the retries), into a
  // buffer of its own.
  uint32_t nextRun = 0;
  host::DeviceWaitTask next(true, [&] { return readRun(nextRun, ahead.get()); });
  // At a terminal the burn's line shows bytes, rate and time left.
  const bool terminal = host::ProgressOnTerminal();
  uint64_t doneBytes = 0;
  if (terminal) host::Print("NandFlash ISO镜像烧写进行中...");
  for (uint32_t r = 0; r < runs; ++r) {
    if (!image::RunUsed(bitmap.data(), bitmapBytes, r)) continue;
    uint32_t first = r * image::kRunSectors;
    uint32_t count = runCount(r);
    bool ok = false;
    if (next.TakeRun(ok) && nextRun == r)
      data.swap(ahead);
    else
      ok = readRun(r, data.get());
    if (!ok) {
      host::Print("\r\n无法读取镜像文件(%s)的数据.\r\n", path);
      return fail(Ending::kFailure);
    }
    next.Disarm();
    for (uint32_t n = r + 1; n < runs; ++n)
      if (image::RunUsed(bitmap.data(), bitmapBytes, n)) {
        nextRun = n;
        next.Arm();
        break;
      }
    int tries = kTries;
    while (tries > 0) {
      pendCount = count;
      pendBuffer = data.get();
      pendStart = first;
      wrote = true;
      if (DirectWriteData() != 0) {
        host::Print(
            "\r\n将镜像数据写入字典机(或烧录器)失败，请确认USB连接是否存在异常，然后重新开始.\r\n");
        return fail(Ending::kCleanup);
      }
      pendCount = count;
      pendBuffer = verify.get();
      pendStart = first;
      if (DirectReadData() != 0) {
        --tries;
        host::Print("\n回读地址(扇区号 = %d)的块数据失败，重新开始写入.\n", int(first));
        continue;
      }
      if (memcmp(data.get(), verify.get(), size_t(count) * 512) != 0) {
        --tries;
        host::Print("\n写地址(扇区号 = %d)校验检查失败，重新开始写入.\n", int(first));
        continue;
      }
      done += 1;
      doneBytes += uint64_t(count) * 512;
      if (terminal)
        host::ProgressBytes(doneBytes, packedSectors * 512);
      else
        host::Print("NandFlash ISO镜像烧写进行中... %d%%\r", int(done / total * 100));
      break;
    }
    if (tries == 0) {
      host::Print(
          "\n写NandFlash逻辑地址(扇区号 = %d)连续%d次校验检查失败，连续发现%d个物理坏块。"
          "请检查NandFlash芯片\r\n",
          int(first), kTries, kTries);
      return fail(Ending::kFailure);
    }
  }
  if (terminal)
    host::Print("\r\n");
  else
    host::Print("NandFlash ISO镜像烧写进行中... 100%%\r");
  next.Disarm();
  data.reset();
  verify.reset();
  ahead.reset();

  if (pDevice->ExecuteSaveFactoryBadInfo() != 0) {
    host::Print("\n更新坏块信息表失败 \n");
    return fail(Ending::kFailure);
  }
  if (wrote) ReloadDisk(disk);
  host::Print("\n更新坏块信息表成功 \n");
  host::Print("\n\nNandFlash ISO镜像烧写成功... \r\n");
  test(kReportSuccess);
  file.reset();
  host::Sleep(kSettleMs);
  return 0;
}

// ---- refreshing an ISO image from the NAND ---------------------------------------

namespace {

constexpr int kUpdatedSlot = 2;           // partition E
constexpr int kUpdatedDisk = 0;

}  // namespace

int FAT_DEVICE::UpdateIsoFromNand(char* path) {
  std::unique_ptr<int[]> table = NewBlockTable();
  if (!table) return -1;
  lastError = 0;
  _ZEL_NANDINFO info;
  if (pDevice->NandInfo(&info) < 0) {
    host::Print("获取NAND磁盘信息失败\n");
    lastError = -2;
    return -1;
  }

  DiskTables(kUpdatedDisk);
  const _DISK_INFO& d = disks[kUpdatedDisk];
  const _PART_INFO& p = d.parts[kUpdatedSlot];
  char letter = char('C' + kUpdatedSlot);
  host::Print("   逻辑分区%c 分区偏移=0x%08x 分区容量=0x%08x\n", letter, p.startSector, p.sectorCount);
  uint32_t track = uint32_t(d.heads) * d.sectorsPerTrack;
  if (track == 0 || p.sectorCount == 0 || p.startSector % track != 0 ||
      p.sectorCount % track != 0) {
    // Nothing was refreshed: the command fails rather than report success.
    host::Print(
        "  逻辑分区%c异常。分区不能跨柱面(以磁道为基本分配单元)，分区大小必须是此数的整数倍!!!\n",
        letter);
    lastError = -2;
    return -1;
  }

  memset(table.get(), 0, image::kBlockTableBytes);
  if (pDevice->GetBlockTable(p.startSector / track, p.sectorCount / track, table.get(),
                             image::kBlockTableBytes) == -1) {
    host::Print("DeviceIO执行GetBlockTable异常\n");
    lastError = -1;
  } else if (pDevice->UpdateIsoFromNand(path, table.get(), p.startSector, track, track,
                                        info.BlockPerZone) == -1) {
    // Each step moves one logical block, that is one track of the disk
    // (one NAND block), so that logical block L is read from and written
    // to sectors L x track onwards whatever the chip's block size.
    lastError = -1;
  }
  return lastError != 0 ? -1 : 0;
}
