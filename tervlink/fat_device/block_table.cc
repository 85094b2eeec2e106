// Block table dumps: where the device's flash translation layer has put the
// logical blocks of each disk (GetBlockTable, to files per partition) and
// the logical-to-physical table of the first two zones (ShowLog2PhyTbl, to
// the console).
//
// In the geometry the engine keeps for a NAND disk, heads x sectors per
// track sectors (a "track") make one NAND block, and the device's block
// table is indexed by track.

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/image_file.h"
#include "tervlink/host/host.h"

namespace {

constexpr int kLog2PhyBytes = 4096;                 // two zones of 1024 u16 entries
constexpr int kLog2PhyPerZone = 1024;

// Writes one partition's dump file (whole, or not at all). False, with the
// reason set, when it cannot be created or written.
bool WriteDump(const char* path, const int* table, uint32_t firstTrack, uint32_t blockPerZone) {
  host::PcFileWriter file;
  if (!file.Open(path, /*text=*/true)) return false;
  std::string text = "逻辑块号   Zone   Sector  物理块号\n";
  for (int i = 0; i < int(image::kBlockTableEntries); ++i) {
    uint32_t e = uint32_t(table[i]);
    if (e == 0) continue;
    text += image::BlockEntryLine(firstTrack + uint32_t(i), image::DecodeBlockEntry(e, blockPerZone));
  }
  return file.Write(text.data(), text.size()) && file.Commit();
}

}  // namespace

std::unique_ptr<int[]> FAT_DEVICE::NewBlockTable() {
  std::unique_ptr<int[]> table(new (std::nothrow) int[image::kBlockTableEntries]());
  if (!table) {
    lastError = -1;
    host::Print("内存分配失败\n");
  }
  return table;
}

int FAT_DEVICE::GetBlockTable(char* prefix) {
  std::unique_ptr<int[]> table = NewBlockTable();
  if (!table) return -1;
  lastError = 0;
  const int engineDisk = curDisk_;
  int deviceDisk = engineDisk;
  // The device ends on another disk than the engine's: the engine follows it
  // to that disk's partition C, or its next transfer would reach the wrong disk.
  auto follow = [&](int result) {
    if (deviceDisk != engineDisk) file_system_switch_to(deviceDisk, 0);
    return result;
  };

  for (int d = 0; d < diskCount && d < kFatDisks; ++d) {
    host::Print("\n\n\n *** 磁盘%d的块表信息 ***\n", d);
    if (pDevice->Switch(d) < 0) {
      host::Print("设置活动磁盘%d失败\n", d);
      lastError = -2;
      return follow(-1);
    }
    deviceDisk = d;
    _ZEL_NANDINFO info;
    if (pDevice->NandInfo(&info) < 0) {
      host::Print("获取NAND磁盘信息失败\n");
      lastError = -2;
      return follow(-1);
    }
    DiskTables(d);
    const _DISK_INFO& disk = disks[d];
    host::Print(" \n*** NAND设备 DISK%d信息与NAND信息映射关系如下 ***\n\n", d);
    host::Print("   DISK磁道数(NAND逻辑块的个数)        %d\n", disk.cylinders);
    host::Print("   DISK磁头数(NAND每物理页扇区的个数)  %d\n", disk.heads);
    host::Print("   DISK扇区数(NAND每物理块页的个数)    %d\n", disk.sectorsPerTrack);
    if (!disk.partitioned) {
      host::Print("磁盘%d尚未分区, 无法获取其他块表信息\n", d);
      continue;
    }
    host::Print("  \n磁盘%d分区信息, 以一个扇区512B为基本单元\n", d);
    const uint32_t track = uint32_t(disk.heads) * disk.sectorsPerTrack;
    for (int p = 0; p < kFatParts; ++p) {
      const _PART_INFO& part = disk.parts[p];
      char letter = char('C' + p);
      host::Print("   逻辑分区%c 分区偏移=0x%08x 分区容量=0x%08x\n", letter, part.startSector,
                  part.sectorCount);
      if (track == 0 || part.startSector % track != 0 || part.sectorCount % track != 0) {
        host::Print(
            "  逻辑分区%c异常。分区不能跨柱面(以磁道为基本分配单元)，分区大小必须是此数的整数倍!!!\n",
            letter);
        continue;
      }
      memset(table.get(), 0, image::kBlockTableBytes);
      // The table holds 8192 tracks; a larger partition is dumped that far.
      uint32_t count = part.sectorCount / track;
      if (count > image::kBlockTableEntries) count = image::kBlockTableEntries;
      if (pDevice->GetBlockTable(part.startSector / track, count, table.get(), image::kBlockTableBytes) == -1) {
        host::Print("DeviceIO执行GetBlockTable异常\n");
        lastError = -1;
        continue;
      }
      char path[512];
      snprintf(path, sizeof path, "%s_Disk%d_%c.txt", prefix ? prefix : "", d, char('c' + p));
      if (!WriteDump(path, table.get(), part.startSector / track, info.BlockPerZone)) {
        host::Print("打开文件(%s)失败, 块信息写入失败\n", path);
        lastError = -10;  // the PC file's failure: the command fails
      }
    }
  }
  table.reset();
  host::Print("设置当前活动磁盘为0\n");
  if (pDevice->Switch(0) < 0) {
    host::Print("设置活动磁盘0失败\n");
    lastError = -2;
    return follow(-1);
  }
  deviceDisk = 0;
  host::Print(" \n\n** 当前活动磁盘恢复为磁盘0 **\n");
  return follow(lastError != 0 ? -1 : 0);
}

void FAT_DEVICE::ShowLog2PhyTbl() {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kLog2PhyBytes]);
  if (!buffer) return;
  memset(buffer.get(), 0, kLog2PhyBytes);
  DiskLoadLog2PhyTbl(buffer.get());  // a failed request shows an empty table
  const uint8_t* raw = reinterpret_cast<const uint8_t*>(buffer.get());
  bool printed = false;
  for (int i = 0; i < kLog2PhyBytes / 2; ++i) {
    if (i % kLog2PhyPerZone == 0) host::Print("\r\n zone = %d:\r\n", i / kLog2PhyPerZone);
    uint16_t e = bytes::Get16(raw + 2 * i);
    if (e != 0 && e != 0xFFFF) {
      host::Print("buf[%d]=%4x,\t", i % kLog2PhyPerZone, e);
      printed = true;
    }
    if (i % 64 == 0) {
      if (printed) host::Print("\r\n");
      printed = false;
    }
  }
}

int FAT_DEVICE::DiskLoadLog2PhyTbl(char* buffer) {
  // The device answers 1; 0 and -1 are failures.
  return pDevice->ReadLog2PhyTbl(buffer) <= 0 ? -1 : 0;
}
