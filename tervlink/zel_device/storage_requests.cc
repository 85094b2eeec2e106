// Storage and NAND requests: sectors, capacity, disk selection, the boot
// area, the ECC method and ROM, the factory bad-block record, raw NAND
// blocks and the block tables.

#include <cstring>
#include <memory>

#include "tervlink/bytes.h"
#include "tervlink/host/host.h"
#include "tervlink/zel_device_io.h"

namespace {

// The process-wide ECC ROM buffer (32 sectors).
uint8_t g_eccRom[kEccRomBytes];

// The sector count travels as 16 bits: a larger count would reach the
// device as a different run than the data phase carries.
constexpr uint32_t kMaxSectorsPerRequest = 0xFFFF;

_ZEL_REQUEST Block(uint8_t code, uint8_t direction, uint32_t length) {
  _ZEL_REQUEST b;
  b.command = code;
  b.direction = direction;
  b.length = length;
  return b;
}

// The block of a sector request (Read, Write and their direct twins).
_ZEL_REQUEST SectorBlock(uint8_t code, uint32_t sector, uint32_t count) {
  bool toDevice = code == req::kWrite || code == req::kDirectWrite;
  _ZEL_REQUEST b = Block(code, toDevice ? kDirToDevice : kDirToPc, count * kSectorBytes);
  b.SetParam32(8, sector);
  b.SetParam16(12, uint16_t(count));
  b.SetParam16(14, 0);
  return b;
}

}  // namespace

uint8_t* EccRomBuffer() { return g_eccRom; }

int32_t ZEL_DEVICE_IO::SectorRequest(uint8_t code, uint32_t sector, uint32_t count,
                                     char* buffer) {
  if (count > kMaxSectorsPerRequest) return -1;
  return Request(SectorBlock(code, sector, count), buffer, true);
}

// A Read sent ahead (see FAT_DEVICE_IO::PostRead), answered by TakeRead.
bool ZEL_DEVICE_IO::PostRead(uint32_t sector, uint32_t count, std::unique_ptr<char[]>& buffer) {
  if (simulation || imageActive || !pfnExchange || !buffer || count == 0 ||
      count > kMaxSectorsPerRequest)
    return false;
  // A read sent before and never taken is dropped (the engine takes back
  // its buffer first with TakeRead(0, 0, b)).
  AnswerPosted();
  posted_.reset();
  DeviceHandle h = pfnCreateFile(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;  // the read made when needed tells why
  _ZEL_REQUEST b = SectorBlock(req::kRead, sector, count);
  auto bytes = EncodeRequest(b);
  if (host::DeviceExchangeSend(h, bytes.data(), kRequestBytes, buffer.get(), b.length, 1, 0,
                               kReplyBytes) != 1) {
    pfnCloseHandle(h);
    return false;
  }
  posted_.reset(new PostedRead{h, sector, count, std::move(buffer)});
  return true;
}

int32_t ZEL_DEVICE_IO::ReadCapacity(partition* cap) { return DiskReadCapacity(cap, 0); }

int32_t ZEL_DEVICE_IO::DiskReadCapacity(partition* cap, int32_t disk) {
  _ZEL_REQUEST b = Block(req::kReadCapacity, kDirToPc, kPartitionBytes);
  b.disk = uint16_t(disk);
  uint8_t raw[kPartitionBytes] = {};
  int32_t r = Request(b, raw, true);
  if (r != -1 && cap) *cap = DecodePartition(raw);
  return r;
}

int32_t ZEL_DEVICE_IO::Read(uint32_t sector, uint32_t count, char* buffer) {
  if (imageActive) return ReadFromImageFile(sector, count, buffer);
  return SectorRequest(req::kRead, sector, count, buffer);
}

int32_t ZEL_DEVICE_IO::Write(uint32_t sector, uint32_t count, char* buffer) {
  if (imageActive) return WriteToImageFile(sector, count, buffer);
  return SectorRequest(req::kWrite, sector, count, buffer);
}

int32_t ZEL_DEVICE_IO::Direct_Read(uint32_t sector, uint32_t count, char* buffer) {
  if (imageActive) return ReadFromImageFile(sector, count, buffer);
  return SectorRequest(req::kDirectRead, sector, count, buffer);
}

int32_t ZEL_DEVICE_IO::Direct_Write(uint32_t sector, uint32_t count, char* buffer) {
  if (imageActive) return WriteToImageFile(sector, count, buffer);
  return SectorRequest(req::kDirectWrite, sector, count, buffer);
}

int32_t ZEL_DEVICE_IO::LowFormat() { return Request(Block(req::kLowFormat, kDirToPc, 0), nullptr, false); }

int32_t ZEL_DEVICE_IO::ReadBIOS(uint32_t count, char* buffer) {
  if (count > kMaxSectorsPerRequest) return -1;
  _ZEL_REQUEST b = Block(req::kReadBIOS, kDirToPc, count * kSectorBytes);
  b.SetParam32(8, 0);
  b.SetParam16(12, uint16_t(count));
  return Request(b, buffer, true);
}

int32_t ZEL_DEVICE_IO::WriteBIOS(uint32_t count, char* buffer) {
  if (imageActive) return imageKind == 1 ? WriteBiosToBinFile(count, buffer) : -1;
  if (count > kMaxSectorsPerRequest) return -1;
  _ZEL_REQUEST b = Block(req::kWriteBIOS, kDirToDevice, count * kSectorBytes);
  b.SetParam32(8, 0);
  b.SetParam16(12, uint16_t(count));
  return Request(b, buffer, true);
}

int32_t ZEL_DEVICE_IO::Reboot() {
  return Request(Block(req::kReboot, kDirToPc, 0), nullptr, false, false);
}

int32_t ZEL_DEVICE_IO::Switch(int32_t disk) {
  _ZEL_REQUEST b = Block(req::kSwitch, kDirToPc, 0);
  b.disk = uint16_t(disk);
  int32_t r = Request(b, nullptr, false);
  if (r != -1 && trackDisk && r > 0) {
    currentDisk = disk;
    host::Print("当前操作磁盘: disk %d\r\n", disk);
  }
  return r;
}

int32_t ZEL_DEVICE_IO::SetEccMethod(int32_t method) {
  _ZEL_REQUEST b = Block(req::kSetEccMethod, kDirToPc, 0);
  b.SetParam32(8, uint32_t(method));
  return Request(b, nullptr, false);
}

int32_t ZEL_DEVICE_IO::GetEccMethod(int32_t* method) {
  if (method) *method = -1;
  int32_t r = Request(Block(req::kGetEccMethod, kDirToPc, 0), nullptr, false);
  if (r == -1) return -1;
  if (method) *method = r;
  return 0;
}

int32_t ZEL_DEVICE_IO::SetEccRom(char* fileName) {
  FILE* f = host::OpenFile(fileName, "rb");
  if (!f) return -1;
  std::unique_ptr<FILE, int (*)(FILE*)> file(f, fclose);
  if (fseek(f, 0, SEEK_END) != 0) return -1;
  long length = ftell(f);
  if (length < 0 || length > long(kEccRomBytes) || fseek(f, 0, SEEK_SET) != 0) return -1;
  memset(g_eccRom, 0, sizeof g_eccRom);
  if (fread(g_eccRom, 1, size_t(length), f) != size_t(length)) return -1;
  file.reset();
  if (imageActive)
    return imageKind == 1 ? WriteEccRomToBinFile(kEccRomBytes / kSectorBytes,
                                                 reinterpret_cast<char*>(g_eccRom))
                          : -1;
  return Request(Block(req::kSetEccRom, kDirToDevice, kEccRomBytes), g_eccRom, true);
}

int32_t ZEL_DEVICE_IO::GetEccRom(char* fileName) {
  memset(g_eccRom, 0, sizeof g_eccRom);
  if (Request(Block(req::kGetEccRom, kDirToPc, kEccRomBytes), g_eccRom, true) == -1) return -1;
  FILE* f = host::OpenFile(fileName, "wb");
  if (!f) {
    host::Print("Open file(%s) to write failed\n", fileName);
    return -1;
  }
  if (fwrite(g_eccRom, 1, kEccRomBytes, f) != kEccRomBytes) {
    host::Print("Write file(%s) failed\n", fileName);
    fclose(f);
    return -1;
  }
  if (fclose(f) != 0) {
    host::Print("Write file(%s) failed\n", fileName);
    return -1;
  }
  return 0;
}

int32_t ZEL_DEVICE_IO::ExecuteSetFactoryBadInfo() {
  return Request(Block(req::kSetFactoryBadInfo, kDirToPc, 0), nullptr, false);
}

int32_t ZEL_DEVICE_IO::ExecuteGetFactoryBadInfo(void* record) {
  return Request(Block(req::kGetFactoryBadInfo, kDirToPc, kBadInfoBytes), record, true);
}

// Saving the record is the device's own affair during a burn; nothing is sent.
int32_t ZEL_DEVICE_IO::ExecuteSaveFactoryBadInfo() { return 0; }

int32_t ZEL_DEVICE_IO::NandInfo(_ZEL_NANDINFO* info) {
  uint8_t raw[kNandInfoBytes] = {};
  int32_t r = Request(Block(req::kNandInfo, kDirToPc, kNandInfoBytes), raw, true);
  if (r != -1 && info) *info = DecodeNandInfo(raw);
  return r;
}

int32_t ZEL_DEVICE_IO::NandReadWrite(int32_t write, uint32_t block, char* buffer,
                                     uint32_t size) {
  _ZEL_REQUEST b = Block(req::kNandReadWrite, write ? kDirToDevice : kDirToPc, size);
  b.SetParam32(8, uint32_t(write));
  b.SetParam32(12, block);
  return Request(b, buffer, true);
}

int32_t ZEL_DEVICE_IO::NandErase(uint32_t block) {
  _ZEL_REQUEST b = Block(req::kNandErase, kDirToPc, 0);
  b.SetParam32(8, block);
  return Request(b, nullptr, false);
}

int32_t ZEL_DEVICE_IO::GetBlockTable(uint32_t first, uint32_t count, int* table,
                                     int32_t size) {
  // A negative size would announce a data phase of about 4 GB.
  if (size < 0) return -1;
  _ZEL_REQUEST b = Block(req::kGetBlockTable, kDirToPc, uint32_t(size));
  b.SetParam32(8, first);
  b.SetParam32(12, count);
  // The table arrives as little-endian 32-bit entries.
  std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[size_t(size) + 1]);
  if (!raw) return -1;
  int32_t r = Request(b, raw.get(), true);
  if (r != -1 && table)
    for (int32_t i = 0; i + 4 <= size; i += 4) table[i / 4] = int(bytes::Get32(raw.get() + i));
  return r;
}

int32_t ZEL_DEVICE_IO::ReadLog2PhyTbl(char* buffer) {
  _ZEL_REQUEST b = Block(req::kReadLog2PhyTbl, kDirToPc, 4096);
  // The device is sent the buffer's address; it does not use it.
  b.SetParam32(8, uint32_t(reinterpret_cast<uintptr_t>(buffer)));
  b.SetParam16(12, 1);
  b.SetParam16(14, 0);
  return Request(b, buffer, true);
}
