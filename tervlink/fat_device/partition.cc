// The disk's structures: master boot sector and partition table, partition
// boot sectors and the FATs read at start-up, the configuration file
// "Tervan.cfg", the partition layout rule, partitioning and the partition
// report.

#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"
#include "tervlink/host/host.h"

using namespace fatfmt;

namespace {

bool IsFatSystemId(uint8_t id) { return id == kSysFat12 || id == kSysFat16; }

// The FAT width of a boot sector: total sectors / sectors per cluster above
// 4085 is FAT16. A volume made elsewhere whose data cluster count is still a
// FAT12 count (at most 4084) and whose type text does not say "FAT16" is
// read as FAT12, as every other FAT implementation reads it; reading its
// packed table as 16-bit entries would destroy it on the first write.
uint32_t FatWidthOf(const BootParams& b, uint32_t dataClusters) {
  if (VolumeSectors(b) / b.sectorsPerCluster <= 4085) return 12;
  if (dataClusters > 4084) return 16;
  return memcmp(b.fsType, "FAT16   ", 8) == 0 ? 16 : 12;
}

}  // namespace

int FAT_DEVICE::DiskLoadMBS(BOOTSECT* buf, int disk) {
  _DISK_INFO& d = disks[disk];
  pendCount = 1;
  pendBuffer = reinterpret_cast<char*>(buf->bytes);
  pendStart = 0;
  if (ReadData() != 0) return -1;
  d.partCount = 0;
  if (bytes::Get16(buf->bytes + kMbrSignature) != kBootSignature) {
    lastError = -2;
    return -1;
  }
  PartitionEntry e[kFatParts];
  for (int s = 0; s < kFatParts; ++s) e[s] = DecodePartitionEntry(buf->bytes, s);
  if (disk == 0 && e[0].sectors == 0) {  // disk 0 must have a main partition
    lastError = -2;
    return -1;
  }
  d.partitioned = 1;
  for (int s = 0; s < kFatParts; ++s) {
    d.parts[s].startSector = e[s].firstSector;
    d.parts[s].sectorCount = e[s].sectors;
    d.parts[s].type = e[s].systemId;
  }
  auto take = [&](uint32_t n) {
    d.unpartitionedSectors = d.unpartitionedSectors > n ? d.unpartitionedSectors - n : 0;
  };
  for (int s = 0; s < kFatParts; ++s) {
    if (e[s].sectors != 0 && IsFatSystemId(e[s].systemId)) {
      ++d.partCount;
      take(e[s].sectors);
    }
  }
  if (e[kReservedSlot].sectors != 0) {
    ++d.partCount;
    take(e[kReservedSlot].sectors);
  }
  CheckPartitionRanges(disk);
  return 0;
}

void FAT_DEVICE::CheckPartitionRanges(int disk) {
  _DISK_INFO& d = disks[disk];
  for (int s = 0; s < kFatParts; ++s) {
    _PART_INFO& p = d.parts[s];
    uint64_t end = uint64_t(p.startSector) + p.sectorCount;
    // A disk of unknown size (no geometry) cannot be checked at its end.
    bool ok = s != kReservedSlot && p.sectorCount != 0 && p.startSector != 0 &&
              (d.totalSectors == 0 || end <= d.totalSectors);
    for (int o = 0; o < kFatParts && ok; ++o) {
      const _PART_INFO& q = d.parts[o];
      if (o == s || q.sectorCount == 0) continue;
      ok = end <= q.startSector || uint64_t(q.startSector) + q.sectorCount <= p.startSector;
    }
    p.usable = ok ? 1 : 0;
  }
}

bool FAT_DEVICE::WriteAllowed(uint32_t first, uint32_t count) {
  uint64_t end = uint64_t(first) + count;
  if (windowEnd_ != 0) return first >= windowFirst_ && end <= windowEnd_;
  const _PART_INFO* p = curPart;
  return p && p->usable && first >= p->startSector && end <= uint64_t(p->startSector) + p->sectorCount;
}

// Checks a boot sector against the partition it describes and fills the
// record from it. False when the values are invalid or would reach beyond
// the in-memory FAT or the partition.
bool FAT_DEVICE::DecodePartition(_PART_INFO* p, const uint8_t* s, int disk) {
  BootParams b = DecodeBootSector(s);
  if (b.signature != kBootSignature || b.bytesPerSector != 512 || b.sectorsPerFat > kMaxFatSectors)
    return false;
  if (b.sectorsPerCluster == 0 || b.sectorsPerFat == 0 || b.fatCount == 0 ||
      b.reservedSectors == 0)
    return false;
  // The partition must lie on the disk, past the master boot sector.
  uint64_t end = uint64_t(p->startSector) + p->sectorCount;
  uint32_t total = disks[disk].totalSectors;
  if (p->startSector == 0 || end > 0xFFFFFFFFull || (total != 0 && end > total)) return false;
  uint64_t rootSectors = uint64_t(b.rootEntries) * 32 / 512;
  uint64_t overhead = uint64_t(b.reservedSectors) + uint64_t(b.sectorsPerFat) * b.fatCount + rootSectors;
  // The volume is what its boot sector says, within its partition: clusters
  // past a smaller volume's end are not the file system's (another tool
  // counts them out), and a larger one is held to the partition.
  uint64_t volume = VolumeSectors(b);
  if (volume == 0 || volume > p->sectorCount) volume = p->sectorCount;
  if (overhead >= volume) return false;

  memset(p->bootCopy, 0, sizeof p->bootCopy);
  memcpy(p->bootCopy, s, kBootCopyFields);
  p->bootCopy[kBsDrvNum] = p->bootCopy[kBsReserved1] = p->bootCopy[kBsBootSig] = 0;
  bytes::Put16(p->bootCopy + kBootCopySignature, b.signature);
  p->sectorsPerCluster = b.sectorsPerCluster;
  p->reservedSectors = b.reservedSectors;
  p->fatCount = b.fatCount;
  p->rootEntries = b.rootEntries;
  p->sectorsPerFat = b.sectorsPerFat;

  uint32_t clusters = uint32_t((volume - overhead) / b.sectorsPerCluster);
  p->fatWidth = FatWidthOf(b, clusters);
  // Only clusters whose entries lie inside the FAT on the device, and below
  // the values that mean "bad" or "end", can be used.
  uint32_t fatBytes = uint32_t(b.sectorsPerFat) * 512;
  uint32_t entries = p->fatWidth == 16 ? fatBytes / 2 : fatBytes * 2 / 3;
  uint32_t limit = p->fatWidth == 16 ? 0xFFF6 : 0xFF6;  // last usable cluster number
  if (entries - 1 < limit) limit = entries - 1;
  if (clusters > limit - 1) clusters = limit - 1;
  p->dataClusters = clusters;
  p->currentDir = 0;
  strcpy(p->currentPath, "\\");
  p->firstDataSector = uint32_t(p->startSector + overhead);
  p->formatted = 1;
  return true;
}

int FAT_DEVICE::DiskLoadPBS(BOOTSECT* buf, int disk) {
  _DISK_INFO& d = disks[disk];
  for (int s = 0; s < kFatParts; ++s) {
    _PART_INFO& p = d.parts[s];
    // Slot 1 is the reserved area whatever its table entry says: it is never
    // read or written as a FAT volume.
    if (s == kReservedSlot || !IsFatSystemId(p.type)) {
      if (s == kReservedSlot) {
        p.formatted = 1;
        p.firstDataSector = 0;
        p.fatWidth = 0;
      } else {
        ClearPartition(&p);
        strcpy(p.currentPath, "\\");
        InitPartCache(&p);
      }
      continue;
    }
    pendCount = 1;
    pendBuffer = reinterpret_cast<char*>(buf->bytes);
    pendStart = p.startSector;
    if (ReadData() != 0) return -1;
    if (!DecodePartition(&p, buf->bytes, disk)) {
      lastError = -2;
      p.formatted = 0;
      p.fatWidth = 0;
      p.dataClusters = 0;
    }
  }
  ResetDirWalk();
  return 0;
}

int FAT_DEVICE::LoadDiskFats(int disk) {
  // Every formatted FAT slot is loaded. (Bounding the loop by the partition
  // count would leave the FAT of slot 2 unread on a disk with no reserved
  // partition, and the first save would then wipe that partition's table.)
  for (int s = 0; s < kFatParts; ++s) {
    _PART_INFO& p = disks[disk].parts[s];
    ClearFatImage(&p);
    memset(p.fatDirty, 0, sizeof p.fatDirty);
    p.fatWhole = 1;  // the first commit makes every copy equal to the image
    if (s == kReservedSlot || !p.formatted || (p.fatWidth != 12 && p.fatWidth != 16)) continue;
    NoteFatBytes(&p, size_t(p.sectorsPerFat) * 512);
    pendCount = p.sectorsPerFat;
    pendBuffer = reinterpret_cast<char*>(p.fat);
    pendStart = p.startSector + p.reservedSectors;
    if (ReadData() != 0) return -1;
  }
  return 0;
}

int FAT_DEVICE::DiskLoadFatTable(int disk) { return LoadDiskFats(disk); }

int FAT_DEVICE::ReadConfigFile() {
  memset(configTable, 0, sizeof configTable);
  configProblem[0] = '\0';
  FILE* f = host::OpenFile(configFile, "r");
  if (!f) return -1;
  int rows = diskCount < kFatDisks ? diskCount : kFatDisks;
  int lineOf[kFatDisks] = {};
  int line = 0;
  auto refuse = [&](int at, const char* what) {
    snprintf(configProblem, sizeof configProblem, "第%d行: %s", at, what);
    return -1;
  };
  char what[160];
  for (int d = 0; d < rows; ++d) {
    // One line per disk; a line longer than the buffer is read to its end.
    char text[256];
    bool got = false;
    while (!got && fgets(text, sizeof text, f)) {
      ++line;
      if (!strchr(text, '\n')) {
        int c;
        while ((c = fgetc(f)) != EOF && c != '\n') {
        }
      }
      got = strspn(text, " \t\r\n") != strlen(text);
    }
    if (!got) {
      fclose(f);
      snprintf(what, sizeof what, "文件在磁盘%d的一行之前结束 (每个磁盘一行: C D E F 分区的KB数)", d);
      return refuse(line + 1, what);
    }
    lineOf[d] = line;
    int* v = configTable[d];
    int n = sscanf(text, "%d %d %d %d", &v[0], &v[1], &v[2], &v[3]);
    if (n != 4) {
      fclose(f);
      snprintf(what, sizeof what, "应有4个整数 (C D E F 分区的KB数), 只读到%d个", n < 0 ? 0 : n);
      return refuse(line, what);
    }
  }
  fclose(f);
  for (int d = 0; d < rows; ++d) {
    const int* v = configTable[d];
    if (v[1] > 256) {
      snprintf(what, sizeof what, "保留分区D的大小%dKB超过256KB", v[1]);
      return refuse(lineOf[d], what);
    }
    int64_t sum = 0;
    bool rest = false;
    for (int s = 0; s < kFatParts; ++s) {
      if (s != kReservedSlot) {
        if (v[s] < -1 || (v[s] > 0 && v[s] < 1024)) {
          snprintf(what, sizeof what,
                   "分区%c的大小%d无效 (-1 是磁盘的其余部分, 0 是没有这个分区, 否则至少1024KB)",
                   char('C' + s), v[s]);
          return refuse(lineOf[d], what);
        }
        if (v[s] == -1) rest = true;
      }
      if (v[s] > 0) sum += v[s];
    }
    int64_t diskKb = disks[d].totalSectors / 2;
    if (sum > diskKb || (rest && sum + 1024 > diskKb)) {
      snprintf(what, sizeof what, "分区大小合计%lldKB%s超过磁盘%d的%lldKB", (long long)sum,
               rest ? "加上 -1 分区至少的1024KB" : "", d, (long long)diskKb);
      return refuse(lineOf[d], what);
    }
  }
  if (configTable[0][0] == 0) return refuse(lineOf[0], "磁盘0没有分区C (第一个数是0)");
  return 0;
}

int FAT_DEVICE::DiskCalcSects(int disk, unsigned long* main, unsigned long* reserved,
                              unsigned long* third, unsigned long* fourth) {
  const _DISK_INFO& d = disks[disk];
  const int* size = d.partSizes;
  uint64_t cyl = uint64_t(d.heads) * d.sectorsPerTrack;
  *main = *reserved = *third = *fourth = 0;
  // A disk without geometry, a negative reserved size or a reserved area
  // that does not fit cannot be laid out: nothing would fit in slot 0.
  if (cyl == 0 || size[kReservedSlot] < 0 ||
      uint64_t(d.totalSectors) < cyl + (uint64_t(size[kReservedSlot]) * 2 + cyl - 1) / cyl * cyl) {
    host::Print("Partition C arguments error!\r\n");
    return -1;
  }
  auto up = [cyl](uint64_t x) { return (x + cyl - 1) / cyl * cyl; };
  auto down = [cyl](uint64_t x) { return x / cyl * cyl; };
  // A negative size other than -1 can reach here only through a caller that
  // set the sizes itself; it is refused like a size that does not fit.
  auto kb = [](int v) { return v < 0 ? UINT64_MAX / 4 : uint64_t(v) * 2; };

  uint64_t res = up(uint64_t(size[kReservedSlot]) * 2);
  uint64_t remaining = d.totalSectors - cyl - res;
  *reserved = res;
  if (size[0] == -1) {
    *main = down(remaining);
    return 0;
  }
  uint64_t c = up(kb(size[0]));
  if (remaining < c) {
    host::Print("Partition C arguments error!\r\n");
    return -1;
  }
  *main = c;
  remaining -= c;
  if (size[2] == -1) {
    if (size[3] == -1) {
      host::Print("磁盘分区的E盘及F盘容量均设置为-1，磁盘配置文件错误!\n");
      return -1;
    }
    if (size[3] != 0) {
      uint64_t f = up(kb(size[3]));
      if (remaining < f) {
        host::Print("分区F的参数错误!\r\n");
        return -1;
      }
      *fourth = f;
      remaining -= f;
    }
    *third = down(remaining);
    return 0;
  }
  uint64_t e = up(kb(size[2]));
  if (remaining < e) {
    host::Print("Partition E arguments error!\r\n");
    return -1;
  }
  *third = e;
  remaining -= e;
  if (size[3] == -1) {
    *fourth = down(remaining);
    return 0;
  }
  uint64_t f = up(kb(size[3]));
  if (remaining < f) {
    host::Print("Partition F arguments error!\r\n");
    return -1;
  }
  *fourth = f;
  return 0;
}

int FAT_DEVICE::DiskPartition(int disk) {
  unsigned long sizes[kFatParts];
  if (DiskCalcSects(disk, &sizes[0], &sizes[1], &sizes[2], &sizes[3]) != 0) return -1;
  _DISK_INFO& d = disks[disk];
  d.tablesPending = 0;  // the table is written anew, not read
  uint32_t cyl = uint32_t(d.heads) * d.sectorsPerTrack;
  uint32_t first[kFatParts] = {cyl, uint32_t(d.totalSectors - sizes[1]), uint32_t(cyl + sizes[0]),
                               uint32_t(cyl + sizes[0] + sizes[2])};
  memset(&d.sector, 0, sizeof d.sector);
  uint32_t written = 0;
  for (int s = 0; s < kFatParts; ++s) {
    if (sizes[s] == 0) continue;
    PartitionEntry e;
    e.bootIndicator = s == 0 ? 0x80 : 0;
    // The type the logical format will give the partition.
    bool fat16 = memcmp(FormatParams(uint32_t(sizes[s]), 0, 0).fsType, "FAT16", 5) == 0;
    e.systemId = s == kReservedSlot ? kSysReserved : (fat16 ? kSysFat16 : kSysFat12);
    e.firstSector = first[s];
    e.sectors = uint32_t(sizes[s]);
    EncodePartitionEntry(e, d.sector.bytes, s);
    ++written;
  }
  bytes::Put16(d.sector.bytes + kMbrSignature, kBootSignature);
  // The table and the rest of the first cylinder are all this writes.
  windowFirst_ = 0;
  windowEnd_ = cyl;
  struct CloseWindow {
    uint64_t& end;
    ~CloseWindow() { end = 0; }
  } close{windowEnd_};
  pendCount = 1;
  pendBuffer = reinterpret_cast<char*>(d.sector.bytes);
  pendStart = 0;
  if (WriteData() != 0) return -1;

  d.partitioned = 1;
  for (auto& p : d.parts) {
    memset(&p, 0, sizeof p);
    strcpy(p.currentPath, "\\");
    InitPartCache(&p);  // the cleared record must not be used with null links
  }
  d.unpartitionedSectors = d.totalSectors;
  DiskLoadMBS(&d.sector, disk);
  uint64_t used = 0;
  for (int s = 0; s < kFatParts; ++s) {
    PartitionEntry e = DecodePartitionEntry(d.sector.bytes, s);
    d.parts[s].startSector = e.firstSector;
    d.parts[s].sectorCount = e.sectors;
    d.parts[s].type = e.systemId;
    d.parts[s].formatted = s == kReservedSlot ? 1 : 0;
    used += sizes[s];
  }
  d.unpartitionedSectors = used < d.totalSectors ? uint32_t(d.totalSectors - used) : 0;
  d.partCount = written;
  ResetDirWalk();

  uint8_t zero[512] = {};
  for (uint32_t s = 1; s < cyl; ++s) {
    pendCount = 1;
    pendBuffer = reinterpret_cast<char*>(zero);
    pendStart = s;
    if (WriteData() != 0) return -1;
  }
  return 0;
}

void FAT_DEVICE::Display_part_table() {
  for (int n = 0; n < diskCount && n < kFatDisks; ++n) {
    DiskTables(n);
    const _DISK_INFO& d = disks[n];
    host::Print("---------------------------------------------\r\n");
    if (d.partitioned)
      host::Print("Disk %d partition info: PARTITIONED\n", n);
    else
      host::Print("Disk %d partition info: NOT PARTITIONED\n", n);
    host::Print("\tDisk total size: %d KB\r\n", int(d.totalSectors / 2));
    for (int s = 0; s < kFatParts; ++s) {
      const _PART_INFO& p = d.parts[s];
      char letter = char('C' + s);
      if (p.sectorCount == 0) {
        host::Print("\tPartition %c not exists\r\n", letter);
        continue;
      }
      host::Print("\tPartition %c: %d KB, ", letter, int(p.sectorCount / 2));
      if (p.type == kSysFat16)
        host::Print(" FAT 16, ");
      else if (p.type == kSysFat12)
        host::Print(" FAT 12, ");
      else if (s == kReservedSlot)
        host::Print(" Reserved, ");
      else
        host::Print(" Unknown, ");
      host::Print(p.formatted ? "\t\t\tFormatted\r\n" : "\t\t\tNot Formatted\r\n");
      if (IsFatSystemId(p.type) && s != kReservedSlot && !p.usable)
        host::Print("\t分区%c:超出磁盘或与其他分区重叠，不能写入!\r\n", letter);
    }
    host::Print("\tReserved free disk size: %d KB\r\n", int(d.unpartitionedSectors / 2));
  }
}
