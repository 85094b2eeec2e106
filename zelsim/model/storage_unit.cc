// The device's disks: selection, capacity and sector transfers.
//
// Each disk is a flat file of 512-byte sectors in the state folder
// ("disk<N>.img"); sectors never written read as erased flash (0xFF).
// Geometry as the shell expects of a NAND disk: cylinders = logical
// blocks (8000), heads = 1, sectors per track = sectors per block (32).

#include <cstdio>
#include <cstring>

#include "device_model.h"
#include "tervlink/host/host.h"

namespace {

constexpr uint32_t kCylinders = 8000;
constexpr uint32_t kHeads = 1;
constexpr uint32_t kSectorsPerTrack = 32;
constexpr uint32_t kDiskSectors = kCylinders * kHeads * kSectorsPerTrack;
constexpr int32_t kDiskKindSmallPage = 1;  // Switch's answer for 512-byte pages

class FlatDisk {
 public:
  ~FlatDisk() {
    if (file_) fclose(file_);
  }
  bool Open(const std::string& path) {
    file_ = host::OpenFile(path.c_str(), "r+b");
    if (!file_) file_ = host::OpenFile(path.c_str(), "w+b");
    return file_ != nullptr;
  }
  bool Read(uint32_t sector, uint32_t count, uint8_t* out) {
    memset(out, 0xFF, size_t(count) * kSectorBytes);
    if (fseek(file_, long(sector) * kSectorBytes, SEEK_SET) != 0) return false;
    // Past the end of the file the sectors were never written.
    fread(out, 1, size_t(count) * kSectorBytes, file_);
    clearerr(file_);
    return true;
  }
  bool Write(uint32_t sector, uint32_t count, const uint8_t* in) {
    if (fseek(file_, 0, SEEK_END) != 0) return false;
    long end = ftell(file_);
    long at = long(sector) * kSectorBytes;
    // Fill a gap before the written run with erased sectors.
    static const std::vector<uint8_t> erased(64 * kSectorBytes, 0xFF);
    while (end < at) {
      size_t n = size_t(std::min<long>(at - end, long(erased.size())));
      if (fwrite(erased.data(), 1, n, file_) != n) return false;
      end += long(n);
    }
    if (fseek(file_, at, SEEK_SET) != 0) return false;
    size_t bytes = size_t(count) * kSectorBytes;
    return fwrite(in, 1, bytes, file_) == bytes && fflush(file_) == 0;
  }

 private:
  FILE* file_ = nullptr;
};

class StorageUnit : public ModelUnit {
 public:
  StorageUnit(DeviceState& state, std::string& error) : state_(state) {
    for (int d = 0; d < state.config.disks; ++d) {
      std::string path = state.config.stateDir + "/disk" + std::to_string(d) + ".img";
      if (!disks_[d].Open(path)) {
        error = "cannot open " + path;
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
        if (block.disk >= state_.config.disks) {
          answer = DeviceAnswer::Refused();
        } else {
          state_.currentDisk = block.disk;
          answer = DeviceAnswer::Ok(kDiskKindSmallPage);
        }
        return true;
      case req::kRead:
      case req::kDirectRead:
        answer = ReadSectors(block);
        return true;
      case req::kWrite:
      case req::kDirectWrite:
        answer = WriteSectors(block, dataIn);
        return true;
      default:
        return false;
    }
  }

 private:
  DeviceAnswer Capacity(int disk) {
    if (disk >= state_.config.disks) return DeviceAnswer::Refused();
    partition p{kDiskSectors, kSectorBytes, kCylinders, kHeads, kSectorsPerTrack};
    auto raw = EncodePartition(p);
    DeviceAnswer a = DeviceAnswer::Ok(0);
    a.data.assign(raw.begin(), raw.end());
    return a;
  }

  // The sector run of a request, when it lies on the disk and matches the
  // data phase length.
  bool Run(const _ZEL_REQUEST& block, uint32_t& sector, uint32_t& count) {
    sector = block.Param32(8);
    count = block.Param16(12);
    return uint64_t(sector) + count <= kDiskSectors &&
           uint64_t(count) * kSectorBytes == block.length;
  }

  DeviceAnswer ReadSectors(const _ZEL_REQUEST& block) {
    uint32_t sector, count;
    if (!Run(block, sector, count)) return DeviceAnswer::Refused();
    DeviceAnswer a = DeviceAnswer::Ok(0);
    a.data.resize(size_t(count) * kSectorBytes);
    if (!disks_[state_.currentDisk].Read(sector, count, a.data.data())) return DeviceAnswer::Refused();
    return a;
  }

  DeviceAnswer WriteSectors(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn) {
    uint32_t sector, count;
    if (!Run(block, sector, count) || dataIn.size() != block.length) return DeviceAnswer::Refused();
    if (!disks_[state_.currentDisk].Write(sector, count, dataIn.data())) return DeviceAnswer::Refused();
    return DeviceAnswer::Ok(0);
  }

  DeviceState& state_;
  FlatDisk disks_[2];
};

}  // namespace

std::unique_ptr<ModelUnit> MakeStorageUnit(DeviceState& state, std::string& error) {
  auto unit = std::make_unique<StorageUnit>(state, error);
  return error.empty() ? std::move(unit) : nullptr;
}
