// The device's storage: disk selection, capacity, sector transfers, the
// boot area, the ECC method and ROM, the factory bad-block record, the low
// format, raw NAND blocks and the block tables.
//
// Each disk is a NandDisk (nand_disk.h) kept as "disk<N>.nand" in the state
// folder, or an existing NAND file given with --nand<N>; the controller's
// ECC method of disk N is kept in "disk<N>.ecc". Geometry as the shell
// expects of a NAND disk: cylinders = logical blocks, heads = sectors per
// page, sectors per track = pages per block (8000, 1, 32 for the default
// chip). Requests other than capacity and Switch address the current disk.

#include <cstring>

#include "device_model.h"
#include "nand_disk.h"
#include "tervlink/bytes.h"

namespace {

constexpr int32_t kDiskKindSmallPage = 1;  // Switch's answer for 512-byte pages
constexpr int32_t kDiskKindLargePage = 2;  // ... and for larger pages
constexpr int32_t kBootWriteDone = 1;      // WriteBIOS and ReadBIOS answer 1
constexpr int32_t kTableDone = 1;          // ReadLog2PhyTbl answers 1
constexpr uint32_t kLog2PhyZones = 2;      // ReadLog2PhyTbl covers zones 0 and 1 ...
constexpr uint32_t kLog2PhyPerZone = 1024; // ... with 1024 16-bit entries each
constexpr uint32_t kIllegalEntry = 0xFFFFFFFF;  // block table entry past the disk
// The largest block table answered (entries of 4 bytes).
constexpr uint32_t kMaxTableBytes = 1u << 20;

}  // namespace

std::string DiskNandPath(const ModelConfig& config, int disk) {
  const std::string& given = config.nand.nandFile[disk];
  return given.empty() ? config.stateDir + "/disk" + std::to_string(disk) + ".nand" : given;
}

namespace {

class StorageUnit : public ModelUnit {
 public:
  StorageUnit(DeviceState& state, std::string& error) : state_(state) {
    const NandOptions& o = state.config.nand;
    for (int d = 0; d < state.config.disks && d < kMaxDisks; ++d) {
      std::string base = state.config.stateDir + "/disk" + std::to_string(d);
      bool own = o.nandFile[d].empty();
      if (!disks_[d].Open(DiskNandPath(state.config, d), own, o.chip[d], o.mlc, o.badBlocks, base + ".ecc", error)) {
        error = "disk " + std::to_string(d) + ": " + error;
        return;
      }
    }
  }

  bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn,
               DeviceAnswer& answer) override {
    switch (block.command) {
      case req::kReadCapacity:
        answer = Capacity(block.disk);
        return true;
      case req::kSwitch:
        answer = Switch(block.disk);
        return true;
      case req::kRead:
      case req::kDirectRead:
        answer = ReadSectors(block);
        return true;
      case req::kWrite:
      case req::kDirectWrite:
        answer = WriteSectors(block, dataIn);
        return true;
      case req::kLowFormat:
        answer = LowFormat();
        return true;
      case req::kReadBIOS:
      case req::kWriteBIOS:
        answer = Boot(block, dataIn);
        return true;
      case req::kSetEccMethod:
        answer = Disk().SetEccMethod(int32_t(block.Param32(8))) ? DeviceAnswer::Ok(0)
                                                                : DeviceAnswer::Refused();
        return true;
      case req::kGetEccMethod:
        answer = DeviceAnswer::Ok(Disk().EccMethod());
        return true;
      case req::kSetEccRom:
      case req::kGetEccRom:
        answer = EccRom(block, dataIn);
        return true;
      case req::kSetFactoryBadInfo:
        answer = Disk().BuildBadBlockInfo() ? DeviceAnswer::Ok(0) : DeviceAnswer::Refused();
        return true;
      case req::kGetFactoryBadInfo:
        answer = GetBadInfo(block);
        return true;
      case req::kNandInfo:
        answer = NandInfo(block);
        return true;
      case req::kNandReadWrite:
        answer = RawBlock(block, dataIn);
        return true;
      case req::kNandErase:
        answer = Disk().EraseBlock(block.Param32(8)) ? DeviceAnswer::Ok(0) : DeviceAnswer::Refused();
        return true;
      case req::kGetBlockTable:
        answer = BlockTable(block);
        return true;
      case req::kReadLog2PhyTbl:
        answer = Log2PhyTable(block);
        return true;
      default:
        return false;
    }
  }

 private:
  NandDisk& Disk() { return disks_[state_.currentDisk]; }

  static DeviceAnswer WithData(int32_t value, std::vector<uint8_t> data) {
    DeviceAnswer a = DeviceAnswer::Ok(value);
    a.data = std::move(data);
    return a;
  }

  DeviceAnswer Capacity(int disk) {
    if (disk >= state_.config.disks) return DeviceAnswer::Refused();
    const nand::NandChip& chip = disks_[disk].Chip();
    const nand::Geometry& g = disks_[disk].Geometry();
    partition p{uint32_t(g.LogicalSectors()), kSectorBytes, g.LogicalBlocks(), chip.sectorsPerPage,
                chip.pagesPerBlock};
    auto raw = EncodePartition(p);
    return WithData(0, {raw.begin(), raw.end()});
  }

  DeviceAnswer Switch(int disk) {
    if (disk >= state_.config.disks) return DeviceAnswer::Refused();
    state_.currentDisk = disk;
    return DeviceAnswer::Ok(disks_[disk].Chip().pageBytes == 512 ? kDiskKindSmallPage
                                                                 : kDiskKindLargePage);
  }

  // The sector run of a request, when it lies on the disk and matches the
  // data phase length.
  bool Run(const _ZEL_REQUEST& block, uint32_t& sector, uint32_t& count) {
    sector = block.Param32(8);
    count = block.Param16(12);
    return uint64_t(sector) + count <= Disk().Geometry().LogicalSectors() &&
           uint64_t(count) * kSectorBytes == block.length;
  }

  DeviceAnswer ReadSectors(const _ZEL_REQUEST& block) {
    uint32_t sector, count;
    if (!Run(block, sector, count)) return DeviceAnswer::Refused();
    bool corrupt = state_.faults.TakeCorruptRead(block);
    // The buffer of the last answer, reused (the read fills it all).
    std::vector<uint8_t> data = state_.TakeDataBuffer(size_t(count) * kSectorBytes);
    if (!Disk().ReadSectors(sector, count, data.data())) return DeviceAnswer::Refused();
    if (corrupt)
      for (size_t at = 0; at < data.size(); at += kSectorBytes) data[at] ^= 0xFF;
    return WithData(0, std::move(data));
  }

  DeviceAnswer WriteSectors(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn) {
    uint32_t sector, count;
    if (!Run(block, sector, count) || dataIn.size() != block.length) return DeviceAnswer::Refused();
    return Disk().WriteSectors(sector, count, dataIn.data()) ? DeviceAnswer::Ok(0)
                                                              : DeviceAnswer::Refused();
  }

  DeviceAnswer LowFormat() {
    int32_t r = Disk().LowFormat();
    return r == -1 ? DeviceAnswer::Refused() : DeviceAnswer::Ok(r);
  }

  DeviceAnswer Boot(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn) {
    uint32_t count = block.Param16(12);
    if (count > nand::kBootSectors || count * kSectorBytes != block.length)
      return DeviceAnswer::Refused();
    if (block.command == req::kWriteBIOS) {
      if (dataIn.size() != block.length) return DeviceAnswer::Refused();
      return Disk().WriteBoot(count, dataIn.data()) ? DeviceAnswer::Ok(kBootWriteDone)
                                                    : DeviceAnswer::Refused();
    }
    std::vector<uint8_t> data(block.length);
    if (!Disk().ReadBoot(count, data.data())) return DeviceAnswer::Refused();
    return WithData(kBootWriteDone, std::move(data));
  }

  DeviceAnswer EccRom(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn) {
    if (block.length != kEccRomBytes) return DeviceAnswer::Refused();
    if (block.command == req::kSetEccRom) {
      if (dataIn.size() != kEccRomBytes) return DeviceAnswer::Refused();
      return Disk().WriteEccRom(dataIn.data()) ? DeviceAnswer::Ok(0) : DeviceAnswer::Refused();
    }
    std::vector<uint8_t> data(kEccRomBytes);
    if (!Disk().ReadEccRom(data.data())) return DeviceAnswer::Refused();
    return WithData(0, std::move(data));
  }

  DeviceAnswer GetBadInfo(const _ZEL_REQUEST& block) {
    if (block.length != kBadInfoBytes) return DeviceAnswer::Refused();
    std::vector<uint8_t> data(kBadInfoBytes);
    // Without a record there is nothing to give.
    if (!Disk().ReadBadBlockInfo(data.data())) return DeviceAnswer::Refused();
    return WithData(0, std::move(data));
  }

  DeviceAnswer NandInfo(const _ZEL_REQUEST& block) {
    if (block.length != kNandInfoBytes) return DeviceAnswer::Refused();
    const nand::NandChip& c = Disk().Chip();
    _ZEL_NANDINFO info{c.zones, c.pageBytes, c.pagesPerBlock, c.blocksPerZone, c.id[0],
                       c.id[1], c.id[2],     c.id[3],         c.id[4]};
    auto raw = EncodeNandInfo(info);
    return WithData(0, {raw.begin(), raw.end()});
  }

  DeviceAnswer RawBlock(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn) {
    uint32_t write = block.Param32(8), number = block.Param32(12);
    // One whole block's data moves, nothing less or more.
    if (block.length != Disk().BlockDataBytes()) return DeviceAnswer::Refused();
    if (write) {
      if (dataIn.size() != block.length) return DeviceAnswer::Refused();
      return Disk().WriteBlock(number, dataIn.data()) ? DeviceAnswer::Ok(0)
                                                      : DeviceAnswer::Refused();
    }
    std::vector<uint8_t> data(block.length);
    if (!Disk().ReadBlock(number, data.data())) return DeviceAnswer::Refused();
    return WithData(0, std::move(data));
  }

  // Entries for the logical blocks (tracks) first, first + 1 ...: zone << 24
  // | physical block << 8 | sector field (0); the physical block is 0xFFFF
  // while the logical block is not mapped; past the disk 0xFFFFFFFF; past
  // count 0.
  DeviceAnswer BlockTable(const _ZEL_REQUEST& block) {
    if (block.length > kMaxTableBytes) return DeviceAnswer::Refused();
    uint32_t first = block.Param32(8), count = block.Param32(12);
    const nand::Geometry& g = Disk().Geometry();
    std::vector<uint8_t> data(block.length, 0);
    for (uint32_t i = 0; i < count && (uint64_t(i) + 1) * 4 <= data.size(); ++i) {
      uint64_t lb = uint64_t(first) + i;
      uint32_t entry = kIllegalEntry;
      if (lb < g.LogicalBlocks()) {
        uint32_t zone = uint32_t(lb / g.logicalBlocksPerZone);
        uint16_t phys = Disk().MappedBlock(zone, uint32_t(lb % g.logicalBlocksPerZone));
        entry = zone << 24 | uint32_t(phys) << 8;
      }
      bytes::Put32(&data[size_t(i) * 4], entry);
    }
    return WithData(0, std::move(data));
  }

  DeviceAnswer Log2PhyTable(const _ZEL_REQUEST& block) {
    constexpr uint32_t kBytes = kLog2PhyZones * kLog2PhyPerZone * 2;
    if (block.length != kBytes) return DeviceAnswer::Refused();
    std::vector<uint8_t> data(kBytes);
    for (uint32_t z = 0; z < kLog2PhyZones; ++z)
      for (uint32_t i = 0; i < kLog2PhyPerZone; ++i)
        bytes::Put16(&data[(z * kLog2PhyPerZone + i) * 2], Disk().MappedBlock(z, i));
    return WithData(kTableDone, std::move(data));
  }

  DeviceState& state_;
  NandDisk disks_[kMaxDisks];
};

}  // namespace

std::unique_ptr<ModelUnit> MakeStorageUnit(DeviceState& state, std::string& error) {
  auto unit = std::make_unique<StorageUnit>(state, error);
  return error.empty() ? std::move(unit) : nullptr;
}
