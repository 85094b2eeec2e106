// System service requests: clock, time zone, alarms, settings record, beep,
// local data, registry and media player.

#include "tervlink/zel_device_io.h"

int32_t ZEL_DEVICE_IO::GetDeviceCaps(_ZELDEVICECAPS* caps) {
  if (!caps) return -1;
  _ZEL_REQUEST b;
  b.command = req::kGetDeviceCaps;
  b.direction = kDirToPc;
  b.length = kDeviceCapsBytes;
  b.SetParam32(8, caps->mask);
  uint8_t raw[kDeviceCapsBytes] = {};
  int32_t r = Request(b, raw, true);
  if (r != -1) *caps = DecodeDeviceCaps(raw);
  return r;
}

// Services still to be built answer as a failed request.
int32_t ZEL_DEVICE_IO::RegOpenKeyA(uint16_t, const char*, uint16_t*) { return -1; }
int32_t ZEL_DEVICE_IO::RegCreateKeyA(uint16_t, const char*, uint16_t*) { return -1; }
int32_t ZEL_DEVICE_IO::RegDeleteKeyA(uint16_t, const char*) { return -1; }
int32_t ZEL_DEVICE_IO::RegCloseKey(uint16_t) { return -1; }
int32_t ZEL_DEVICE_IO::RegSetValueExA(uint16_t, const char*, uint32_t, uint32_t, const uint8_t*,
                                      uint32_t) {
  return -1;
}
int32_t ZEL_DEVICE_IO::RegDeleteValueA(uint16_t, const char*) { return -1; }
int32_t ZEL_DEVICE_IO::RegEnumKeyA(uint16_t, uint32_t, char*, uint32_t) { return -1; }
int32_t ZEL_DEVICE_IO::RegEnumValueA(uint16_t, uint32_t, char*, uint32_t*, uint32_t*, uint32_t*,
                                     uint8_t*, uint32_t*) {
  return -1;
}
int32_t ZEL_DEVICE_IO::RegFlushKey(uint16_t) { return -1; }
int32_t ZEL_DEVICE_IO::MciSendCommand(uint32_t, uint32_t, uintptr_t) { return -1; }
int32_t ZEL_DEVICE_IO::Beep(uint32_t, uint32_t) { return -1; }
int32_t ZEL_DEVICE_IO::SetDeviceCaps(_ZELDEVICECAPS*) { return -1; }
int32_t ZEL_DEVICE_IO::SetTimeZoneInformation(const _ZEL_TIME_ZONE_INFORMATION*) { return -1; }
int32_t ZEL_DEVICE_IO::GetTimeZoneInformation(_ZEL_TIME_ZONE_INFORMATION*) { return -1; }
int32_t ZEL_DEVICE_IO::GetLocalTime(_EZEL_SYSTEMTIME*) { return -1; }
int32_t ZEL_DEVICE_IO::SetLocalTime(_EZEL_SYSTEMTIME*) { return -1; }
int32_t ZEL_DEVICE_IO::SetAlarm(_SYSTEMALARM*) { return -1; }
int32_t ZEL_DEVICE_IO::KillAlarm(uint8_t) { return -1; }
int32_t ZEL_DEVICE_IO::ResetAlarm() { return -1; }
int32_t ZEL_DEVICE_IO::EnumAlarm(int32_t, _SYSTEMALARM*) { return -1; }
int32_t ZEL_DEVICE_IO::ReadLocal(uint16_t, uint16_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::WriteLocal(uint16_t, uint16_t, char*) { return -1; }
