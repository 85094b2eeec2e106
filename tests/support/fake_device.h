// A FAT_DEVICE_IO for tests in which every operation fails with -1. Test
// doubles derive from it and override what they serve.
#pragma once

#include "tervlink/fat_device_io.h"

class FailingDevice : public FAT_DEVICE_IO {
 public:
  virtual ~FailingDevice() = default;
  int32_t DiskReadCapacity(partition*, int32_t) override { return -1; }
  int32_t RegOpenKeyA(uint16_t, const char*, uint16_t*) override { return -1; }
  int32_t RegCreateKeyA(uint16_t, const char*, uint16_t*) override { return -1; }
  int32_t RegDeleteKeyA(uint16_t, const char*) override { return -1; }
  int32_t RegCloseKey(uint16_t) override { return -1; }
  int32_t RegSetValueExA(uint16_t, const char*, uint32_t, uint32_t, const uint8_t*, uint32_t) override { return -1; }
  int32_t RegDeleteValueA(uint16_t, const char*) override { return -1; }
  int32_t RegEnumKeyA(uint16_t, uint32_t, char*, uint32_t) override { return -1; }
  int32_t RegEnumValueA(uint16_t, uint32_t, char*, uint32_t*, uint32_t*, uint32_t*, uint8_t*, uint32_t*) override { return -1; }
  int32_t RegFlushKey(uint16_t) override { return -1; }
  int32_t MciSendCommand(uint32_t, uint32_t, uintptr_t) override { return -1; }
  int32_t Beep(uint32_t, uint32_t) override { return -1; }
  int32_t SetDeviceCaps(_ZELDEVICECAPS*) override { return -1; }
  int32_t GetDeviceCaps(_ZELDEVICECAPS*) override { return -1; }
  int32_t SetTimeZoneInformation(const _ZEL_TIME_ZONE_INFORMATION*) override { return -1; }
  int32_t GetTimeZoneInformation(_ZEL_TIME_ZONE_INFORMATION*) override { return -1; }
  int32_t GetLocalTime(_EZEL_SYSTEMTIME*) override { return -1; }
  int32_t SetLocalTime(_EZEL_SYSTEMTIME*) override { return -1; }
  int32_t SetAlarm(_SYSTEMALARM*) override { return -1; }
  int32_t KillAlarm(uint8_t) override { return -1; }
  int32_t ResetAlarm() override { return -1; }
  int32_t EnumAlarm(int32_t, _SYSTEMALARM*) override { return -1; }
  int32_t ReadLocal(uint16_t, uint16_t, char*) override { return -1; }
  int32_t WriteLocal(uint16_t, uint16_t, char*) override { return -1; }
  int32_t Reserved24() override { return -1; }
  int32_t Reserved25() override { return -1; }
  int32_t Read(uint32_t, uint32_t, char*) override { return -1; }
  int32_t Write(uint32_t, uint32_t, char*) override { return -1; }
  int32_t ReadBIOS(uint32_t, char*) override { return -1; }
  int32_t WriteBIOS(uint32_t, char*) override { return -1; }
  int32_t LowFormat() override { return -1; }
  int32_t Reboot() override { return -1; }
  int32_t ReadCapacity(partition*) override { return -1; }
  int32_t Switch(int32_t) override { return -1; }
  int32_t ReadLog2PhyTbl(char*) override { return -1; }
  int32_t ReadFromImageFile(uint32_t, uint32_t, char*) override { return -1; }
  int32_t WriteToImageFile(uint32_t, uint32_t, char*) override { return -1; }
  int32_t CloseImageFile(void*, char*) override { return -1; }
  int32_t BuildImageFile(int32_t, char*) override { return -1; }
  int32_t SetImageMode(int32_t) override { return -1; }
  int32_t SetSimuFlashParameter(int32_t, uint32_t, uint32_t, uint32_t, uint32_t) override { return -1; }
  int32_t SetEccMethod(int32_t) override { return -1; }
  int32_t GetEccMethod(int32_t*) override { return -1; }
  int32_t SetEccRom(char*) override { return -1; }
  int32_t GetEccRom(char*) override { return -1; }
  int32_t ExecuteSetFactoryBadInfo() override { return -1; }
  int32_t ExecuteGetFactoryBadInfo(void*) override { return -1; }
  int32_t ExecuteSaveFactoryBadInfo() override { return -1; }
  int32_t NandInfo(_ZEL_NANDINFO*) override { return -1; }
  int32_t NandErase(uint32_t) override { return -1; }
  int32_t NandReadWrite(int32_t, uint32_t, char*, uint32_t) override { return -1; }
  int32_t Direct_Read(uint32_t, uint32_t, char*) override { return -1; }
  int32_t Direct_Write(uint32_t, uint32_t, char*) override { return -1; }
  int32_t BuildPakImageFile(char*) override { return -1; }
  int32_t UnPakImageFile(char*) override { return -1; }
  int32_t GetBlockTable(uint32_t, uint32_t, int*, int32_t) override { return -1; }
  int32_t UpdateIsoFromNand(char*, int*, uint32_t, uint32_t, uint32_t, uint32_t) override { return -1; }
};
