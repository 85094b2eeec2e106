// Logical format: a fresh FAT12 or FAT16 file system in a partition that the
// partition table describes. The cluster size and table sizes follow from
// the partition size alone; 4,194,304 sectors or more would need FAT32 and
// are refused.

#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"
#include "tervlink/host/host.h"

using namespace fatfmt;

namespace {

constexpr uint32_t kLargeVolume = 2097152;  // from here 64 sectors per cluster [sector]
constexpr uint32_t kFat32Volume = 4194304;  // from here FAT16 cannot hold it [sector]
constexpr uint32_t kFat16MinClusters = 4085;  // fewest data clusters of a FAT16 volume

}  // namespace

namespace fatfmt {

BootParams FormatParams(uint32_t s, uint16_t sectorsPerTrack, uint16_t heads) {
  BootParams b;
  const uint8_t jump[3] = {0xE9, 0x00, 0x00};
  memcpy(b.jump, jump, 3);
  memcpy(b.oemName, "ZEL  FAT", 8);
  bool large = s >= kLargeVolume;
  b.bytesPerSector = 512;
  b.sectorsPerCluster = large ? 64 : 32;
  b.reservedSectors = large ? 64 : 32;
  b.fatCount = 2;
  b.rootEntries = large ? 1024 : 512;
  b.totalSectors16 = s <= 65535 ? uint16_t(s) : 0;
  b.media = 0xF8;
  uint32_t n = s / b.sectorsPerCluster;
  auto fatSectors = [&](bool fat16) {
    uint32_t spf = (fat16 ? n * 4 : n * 3) / 1024 + 1;
    return (spf + b.sectorsPerCluster - 1) / b.sectorsPerCluster * b.sectorsPerCluster;
  };
  // The FAT type follows the data cluster count, as every FAT reader
  // decides it: FAT16 from 4,085 clusters on, FAT12 below. Sizing by the
  // whole partition alone (n > 4085) would make partitions of 130,752 to
  // 130,847 sectors FAT16 volumes with a FAT12 cluster count.
  bool fat16 = false;
  if (n > 4085) {
    uint32_t overhead = b.reservedSectors + 2 * fatSectors(true) + b.rootEntries * 32u / 512;
    fat16 = s > overhead && (s - overhead) / b.sectorsPerCluster >= kFat16MinClusters;
  }
  b.sectorsPerFat = uint16_t(fatSectors(fat16));
  b.sectorsPerTrack = sectorsPerTrack;
  b.heads = heads;
  b.hiddenSectors = 0;
  b.totalSectors32 = s > 65535 ? s : 0;
  memcpy(b.label, "ZEL VANTLE\0", 11);
  memcpy(b.fsType, fat16 ? "FAT16   " : "FAT12   ", 8);
  b.signature = kBootSignature;
  return b;
}

}  // namespace fatfmt

int FAT_DEVICE::DiskDoLogicalFormat(int disk, int part) {
  if (part == kReservedSlot) return 0;
  _DISK_INFO& d = disks[disk];
  const _PART_INFO& p = d.parts[part];
  memset(&d.sector, 0, sizeof d.sector);
  uint32_t s = p.sectorCount;
  if (s >= kFat32Volume) {
    host::Print("分区容量的扇区总数%d超出FAT16最大范围(65536*64), 需使用FAT32文件系统。\n", int(s));
    host::Print("Tervan 暂时不支持FAT32系统格式化， 系统逻辑格式化失败\n");
    return -1;
  }
  BootParams b = FormatParams(s, d.sectorsPerTrack, d.heads);
  // A slot without a partition, or one too small for its own tables and one
  // cluster, would be written over the master boot sector or past its end;
  // one that runs past the disk or into another partition is not usable.
  uint64_t overhead = uint64_t(b.reservedSectors) + 2ull * b.sectorsPerFat + b.rootEntries * 32 / 512;
  if (!p.usable || overhead + b.sectorsPerCluster > s) {
    lastError = -2;
    const char letter = char('C' + part);
    if (s == 0)
      host::SetReason("disk %d has no partition %c: (PART do makes the partitions)", disk, letter);
    else if (!p.usable)
      host::SetReason("partition %c: runs past the end of disk %d or into another partition", letter,
                      disk);
    else
      host::SetReason("partition %c: has %u sectors, too few for a FAT file system", letter,
                      unsigned(s));
    return -1;
  }
  EncodeBootSector(b, d.sector.bytes);
  // Every write below lands inside the partition, and only there.
  windowFirst_ = p.startSector;
  windowEnd_ = uint64_t(p.startSector) + s;
  struct CloseWindow {
    uint64_t& end;
    ~CloseWindow() { end = 0; }
  } close{windowEnd_};

  uint8_t zero[512] = {};
  uint8_t fatHead[512] = {0xF8, 0xFF, 0xFF, 0xFF};
  if (memcmp(b.fsType, "FAT12", 5) == 0) fatHead[3] = 0;  // F8 FF FF: entries 0 and 1 of FAT12
  uint32_t at = p.startSector;
  auto put = [&](const uint8_t* data) {
    pendCount = 1;
    pendBuffer = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
    pendStart = at++;
    return WriteData() == 0;
  };
  if (!put(d.sector.bytes)) return -1;
  for (uint32_t i = 1; i < b.reservedSectors; ++i)
    if (!put(zero)) return -1;
  for (int f = 0; f < 2; ++f) {
    if (!put(fatHead)) return -1;
    for (uint32_t i = 1; i < b.sectorsPerFat; ++i)
      if (!put(zero)) return -1;
  }
  for (uint32_t i = 0; i < uint32_t(b.rootEntries) * 32 / 512; ++i)
    if (!put(zero)) return -1;
  return 0;
}

// Re-reads the disk's boot sectors and FATs after a format and starts every
// cache afresh.
static void Reload(FAT_DEVICE* fat, int disk) {
  fat->DiskLoadPBS(&fat->disks[disk].sector, disk);
  fat->DiskLoadFatTable(disk);
  fat->buf_pool();
}

int FAT_DEVICE::DiskLogicalFormat(int disk, int part) {
  if (disk < 0 || disk >= kFatDisks) return -1;
  if (part == kReservedSlot) return 0;
  DiskTables(disk);
  // A partition that runs past the disk or into another one is named
  // before its progress line; its format then fails without a write.
  auto warn = [&](int s) {
    const _PART_INFO& p = disks[disk].parts[s];
    if (p.sectorCount != 0 && !p.usable)
      host::Print("分区%c:超出磁盘或与其他分区重叠，不能写入!\n", char('C' + s));
  };
  if (part >= 0 && part < kFatParts) {
    warn(part);
    host::Print("正在格式化(磁盘 %d 分区 %c:)......", disk, char('C' + part));
    if (DiskDoLogicalFormat(disk, part) != 0) {
      host::Print("失败");
      return -1;
    }
    host::Print("成功");
    Reload(this, disk);
    return 0;
  }
  if (part != kFatParts) return -1;
  for (int s = 0; s < kFatParts; ++s) {
    if (disks[disk].parts[s].sectorCount == 0) continue;
    if (s != kReservedSlot) warn(s);
    host::Print("正在格式化(磁盘 %d 分区 %c:)......", disk, char('C' + s));
    if (DiskDoLogicalFormat(disk, s) != 0) {
      host::Print("失败\r\n");
      return -1;
    }
    host::Print("成功\r\n");
  }
  Reload(this, disk);
  return 0;
}
