// FAT_DEVICE_IO: the abstract device interface.
//
// Everything the system does to the device goes through these 57 operations,
// declared in their fixed slot order. The FAT engine uses only the sector
// operations; the shell calls the rest (services, NAND maintenance, image
// files) directly. Every operation returns a signed 32-bit result: -1 for a
// failure, otherwise the device's answer or the operation's own result.
#pragma once

#include <cstdint>
#include <memory>

#include "tervlink/export.h"
#include "tervlink/records.h"

class TERVLINK_API FAT_DEVICE_IO {
 public:
  FAT_DEVICE_IO() = default;
  FAT_DEVICE_IO(const FAT_DEVICE_IO&) = default;
  FAT_DEVICE_IO& operator=(const FAT_DEVICE_IO&) = default;

  /*  0 */ virtual int32_t DiskReadCapacity(partition* cap, int32_t disk) = 0;
  /*  1 */ virtual int32_t RegOpenKeyA(uint16_t key, const char* name, uint16_t* opened) = 0;
  /*  2 */ virtual int32_t RegCreateKeyA(uint16_t key, const char* name, uint16_t* created) = 0;
  /*  3 */ virtual int32_t RegDeleteKeyA(uint16_t key, const char* name) = 0;
  /*  4 */ virtual int32_t RegCloseKey(uint16_t key) = 0;
  /*  5 */ virtual int32_t RegSetValueExA(uint16_t key, const char* name, uint32_t reserved,
                                          uint32_t type, const uint8_t* data, uint32_t size) = 0;
  /*  6 */ virtual int32_t RegDeleteValueA(uint16_t key, const char* name) = 0;
  /*  7 */ virtual int32_t RegEnumKeyA(uint16_t key, uint32_t index, char* name,
                                       uint32_t nameSize) = 0;
  /*  8 */ virtual int32_t RegEnumValueA(uint16_t key, uint32_t index, char* name,
                                         uint32_t* nameLength, uint32_t* reserved,
                                         uint32_t* type, uint8_t* data, uint32_t* dataSize) = 0;
  /*  9 */ virtual int32_t RegFlushKey(uint16_t key) = 0;
  // The parameter is a plain number for most messages and the address of a
  // parameter record for LOAD, PLAY and ENUM; it is as wide as a pointer.
  /* 10 */ virtual int32_t MciSendCommand(uint32_t deviceId, uint32_t message,
                                          uintptr_t parameter) = 0;
  /* 11 */ virtual int32_t Beep(uint32_t frequency, uint32_t duration) = 0;
  /* 12 */ virtual int32_t SetDeviceCaps(_ZELDEVICECAPS* caps) = 0;
  /* 13 */ virtual int32_t GetDeviceCaps(_ZELDEVICECAPS* caps) = 0;
  /* 14 */ virtual int32_t SetTimeZoneInformation(const _ZEL_TIME_ZONE_INFORMATION* zone) = 0;
  /* 15 */ virtual int32_t GetTimeZoneInformation(_ZEL_TIME_ZONE_INFORMATION* zone) = 0;
  /* 16 */ virtual int32_t GetLocalTime(_EZEL_SYSTEMTIME* time) = 0;
  /* 17 */ virtual int32_t SetLocalTime(_EZEL_SYSTEMTIME* time) = 0;
  /* 18 */ virtual int32_t SetAlarm(_SYSTEMALARM* alarm) = 0;
  /* 19 */ virtual int32_t KillAlarm(uint8_t id) = 0;
  /* 20 */ virtual int32_t ResetAlarm() = 0;
  /* 21 */ virtual int32_t EnumAlarm(int32_t cursor, _SYSTEMALARM* alarm) = 0;
  /* 22 */ virtual int32_t ReadLocal(uint16_t first, uint16_t count, char* buffer) = 0;
  /* 23 */ virtual int32_t WriteLocal(uint16_t first, uint16_t count, char* buffer) = 0;
  /* 24 */ virtual int32_t Reserved24() = 0;
  /* 25 */ virtual int32_t Reserved25() = 0;
  /* 26 */ virtual int32_t Read(uint32_t sector, uint32_t count, char* buffer) = 0;
  /* 27 */ virtual int32_t Write(uint32_t sector, uint32_t count, char* buffer) = 0;
  /* 28 */ virtual int32_t ReadBIOS(uint32_t count, char* buffer) = 0;
  /* 29 */ virtual int32_t WriteBIOS(uint32_t count, char* buffer) = 0;
  /* 30 */ virtual int32_t LowFormat() = 0;
  /* 31 */ virtual int32_t Reboot() = 0;
  /* 32 */ virtual int32_t ReadCapacity(partition* cap) = 0;
  /* 33 */ virtual int32_t Switch(int32_t disk) = 0;
  /* 34 */ virtual int32_t ReadLog2PhyTbl(char* buffer) = 0;
  /* 35 */ virtual int32_t ReadFromImageFile(uint32_t sector, uint32_t count, char* buffer) = 0;
  /* 36 */ virtual int32_t WriteToImageFile(uint32_t sector, uint32_t count, char* buffer) = 0;
  /* 37 */ virtual int32_t CloseImageFile(void* diskBlocks, char* path) = 0;
  /* 38 */ virtual int32_t BuildImageFile(int32_t size, char* path) = 0;
  /* 39 */ virtual int32_t SetImageMode(int32_t kind) = 0;
  /* 40 */ virtual int32_t SetSimuFlashParameter(int32_t slc, uint32_t blocksPerZone,
                                                 uint32_t logicalBlocksPerZone,
                                                 uint32_t sectorsPerBlock,
                                                 uint32_t sectorsPerPage) = 0;
  /* 41 */ virtual int32_t SetEccMethod(int32_t method) = 0;
  /* 42 */ virtual int32_t GetEccMethod(int32_t* method) = 0;
  /* 43 */ virtual int32_t SetEccRom(char* fileName) = 0;
  /* 44 */ virtual int32_t GetEccRom(char* fileName) = 0;
  /* 45 */ virtual int32_t ExecuteSetFactoryBadInfo() = 0;
  /* 46 */ virtual int32_t ExecuteGetFactoryBadInfo(void* record) = 0;
  /* 47 */ virtual int32_t ExecuteSaveFactoryBadInfo() = 0;
  /* 48 */ virtual int32_t NandInfo(_ZEL_NANDINFO* info) = 0;
  /* 49 */ virtual int32_t NandErase(uint32_t block) = 0;
  /* 50 */ virtual int32_t NandReadWrite(int32_t write, uint32_t block, char* buffer,
                                         uint32_t size) = 0;
  /* 51 */ virtual int32_t Direct_Read(uint32_t sector, uint32_t count, char* buffer) = 0;
  /* 52 */ virtual int32_t Direct_Write(uint32_t sector, uint32_t count, char* buffer) = 0;
  /* 53 */ virtual int32_t BuildPakImageFile(char* path) = 0;
  /* 54 */ virtual int32_t UnPakImageFile(char* path) = 0;
  /* 55 */ virtual int32_t GetBlockTable(uint32_t first, uint32_t count, int* table,
                                         int32_t size) = 0;
  /* 56 */ virtual int32_t UpdateIsoFromNand(char* path, int* table, uint32_t partitionStart,
                                             uint32_t trackSectors, uint32_t sectorsPerStep,
                                             uint32_t blocksPerZone) = 0;

  // Not a request of the device: how many times the device went away
  // since this session claimed it (a device found behind the link again
  // may have been changed by someone else meanwhile). The engine reads the
  // disks again before it writes once this has moved. 0 when the link
  // cannot tell.
  virtual uint32_t DeviceLosses() { return 0; }

  // Not a request either: a sector read sent ahead of its need (the
  // engine's read-ahead of file data), so that the device reads while the
  // PC does something else. The device starts on sectors [sector, sector +
  // count) now, into buffer (count x 512 bytes), which the link holds
  // until the read is taken; any other request first waits for its answer.
  // False, with nothing sent and buffer given back, where the link cannot
  // part a request.
  virtual bool PostRead(uint32_t sector, uint32_t count, std::unique_ptr<char[]>& buffer) {
    (void)sector, (void)count, (void)buffer;
    return false;
  }
  // The answer of the read PostRead sent for exactly these sectors: Read's
  // result, its buffer handed back in buffer (also on failure). -2 when no
  // read was sent for them: any read sent is then answered and dropped,
  // its buffer handed back (TakeRead(0, 0, b) settles it).
  virtual int32_t TakeRead(uint32_t sector, uint32_t count, std::unique_ptr<char[]>& buffer) {
    (void)sector, (void)count, (void)buffer;
    return -2;
  }

  int32_t currentDisk = 0;  // the device disk selected now

 protected:
  // The owner destroys the object as its concrete class; nobody deletes it
  // through this interface.
  ~FAT_DEVICE_IO() = default;
};
