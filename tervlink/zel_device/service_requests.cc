// System service requests: clock, time zone, alarms, settings record, beep,
// local data, registry and media player.
//
// Each operation is one device request. The registry requests and
// MciSendCommand check their arguments first and return -1 (or -236 for a
// message the player does not know) without opening the device.

#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/service_records.h"
#include "tervlink/zel_device_io.h"

namespace {

_ZEL_REQUEST Block(uint8_t code, uint8_t direction, uint32_t length) {
  _ZEL_REQUEST b;
  b.command = code;
  b.direction = direction;
  b.length = length;
  return b;
}

// Registry names travel as an 8-byte field: the characters, then zeros (no
// terminator for a name of 8). False for a missing or longer name.
bool NameField(const char* name, uint8_t (&field)[kRegNameBytes]) {
  if (!name) return false;
  size_t n = strnlen(name, kRegNameBytes + 1);
  if (n > kRegNameBytes) return false;
  memset(field, 0, sizeof field);
  memcpy(field, name, n);
  return true;
}

// A request whose only data is a name field sent to the device.
int32_t NameRequest(ZEL_DEVICE_IO& dev, uint8_t code, uint16_t key, const char* name) {
  uint8_t field[kRegNameBytes];
  if (!NameField(name, field)) return -1;
  _ZEL_REQUEST b = Block(code, kDirToDevice, kRegNameBytes);
  b.SetParam16(8, key);
  return dev.Request(b, field, true);
}

}  // namespace

// ---- local data --------------------------------------------------------------

int32_t ZEL_DEVICE_IO::ReadLocal(uint16_t first, uint16_t count, char* buffer) {
  if (!buffer && count) return -1;
  _ZEL_REQUEST b = Block(req::kReadLocal, kDirToPc, uint32_t(count) * kLocalSectorBytes);
  b.SetParam16(8, first);
  b.SetParam16(10, count);
  return Request(b, buffer, true);
}

int32_t ZEL_DEVICE_IO::WriteLocal(uint16_t first, uint16_t count, char* buffer) {
  if (!buffer && count) return -1;
  _ZEL_REQUEST b = Block(req::kWriteLocal, kDirToDevice, uint32_t(count) * kLocalSectorBytes);
  b.SetParam16(8, first);
  b.SetParam16(10, count);
  return Request(b, buffer, true);
}

// ---- clock and time zone -----------------------------------------------------

int32_t ZEL_DEVICE_IO::SetLocalTime(_EZEL_SYSTEMTIME* time) {
  if (!time) return -1;
  auto raw = EncodeSystemTime(*time);
  return Request(Block(req::kSetLocalTime, kDirToDevice, kSystemTimeBytes), raw.data(), true);
}

int32_t ZEL_DEVICE_IO::GetLocalTime(_EZEL_SYSTEMTIME* time) {
  if (!time) return -1;
  uint8_t raw[kSystemTimeBytes] = {};
  int32_t r = Request(Block(req::kGetLocalTime, kDirToPc, kSystemTimeBytes), raw, true);
  if (r != -1) *time = DecodeSystemTime(raw);
  return r;
}

int32_t ZEL_DEVICE_IO::SetTimeZoneInformation(const _ZEL_TIME_ZONE_INFORMATION* zone) {
  if (!zone) return -1;
  auto raw = EncodeTimeZone(*zone);
  return Request(Block(req::kSetTimeZone, kDirToDevice, kTimeZoneBytes), raw.data(), true);
}

int32_t ZEL_DEVICE_IO::GetTimeZoneInformation(_ZEL_TIME_ZONE_INFORMATION* zone) {
  if (!zone) return -1;
  uint8_t raw[kTimeZoneBytes] = {};
  int32_t r = Request(Block(req::kGetTimeZone, kDirToPc, kTimeZoneBytes), raw, true);
  if (r != -1) *zone = DecodeTimeZone(raw);
  return r;
}

// ---- alarms --------------------------------------------------------------------

int32_t ZEL_DEVICE_IO::SetAlarm(_SYSTEMALARM* alarm) {
  if (!alarm) return -1;
  // The whole record travels in the parameter bytes; there is no data phase.
  _ZEL_REQUEST b = Block(req::kSetAlarm, kDirToPc, 0);
  auto raw = EncodeAlarm(*alarm);
  memcpy(b.params.data(), raw.data(), kAlarmBytes);
  return Request(b, nullptr, false);
}

int32_t ZEL_DEVICE_IO::KillAlarm(uint8_t id) {
  _ZEL_REQUEST b = Block(req::kKillAlarm, kDirToPc, 0);
  b.SetParam8(8, id);
  return Request(b, nullptr, false);
}

int32_t ZEL_DEVICE_IO::ResetAlarm() {
  return Request(Block(req::kResetAlarm, kDirToPc, 0), nullptr, false);
}

int32_t ZEL_DEVICE_IO::EnumAlarm(int32_t cursor, _SYSTEMALARM* alarm) {
  if (!alarm) return -1;
  _ZEL_REQUEST b = Block(req::kEnumAlarm, kDirToPc, kAlarmBytes);
  b.SetParam32(8, uint32_t(cursor));
  uint8_t raw[kAlarmBytes] = {};
  int32_t r = Request(b, raw, true);
  if (r != -1) *alarm = DecodeAlarm(raw);
  return r;
}

// ---- settings and beep -----------------------------------------------------------

int32_t ZEL_DEVICE_IO::SetDeviceCaps(_ZELDEVICECAPS* caps) {
  if (!caps) return -1;
  auto raw = EncodeDeviceCaps(*caps);
  return Request(Block(req::kSetDeviceCaps, kDirToDevice, kDeviceCapsBytes), raw.data(), true);
}

int32_t ZEL_DEVICE_IO::GetDeviceCaps(_ZELDEVICECAPS* caps) {
  if (!caps) return -1;
  _ZEL_REQUEST b = Block(req::kGetDeviceCaps, kDirToPc, kDeviceCapsBytes);
  b.SetParam32(8, caps->mask);
  uint8_t raw[kDeviceCapsBytes] = {};
  int32_t r = Request(b, raw, true);
  if (r != -1) *caps = DecodeDeviceCaps(raw);
  return r;
}

int32_t ZEL_DEVICE_IO::Beep(uint32_t frequency, uint32_t duration) {
  _ZEL_REQUEST b = Block(req::kBeep, kDirToPc, 0);
  b.SetParam32(8, frequency);
  b.SetParam32(12, duration);
  return Request(b, nullptr, false);
}

// ---- registry --------------------------------------------------------------------

int32_t ZEL_DEVICE_IO::RegOpenKeyA(uint16_t key, const char* name, uint16_t* opened) {
  int32_t r = NameRequest(*this, req::kRegOpenKey, key, name);
  if (r < 0) return r;
  if (opened) *opened = uint16_t(r);
  return 0;
}

int32_t ZEL_DEVICE_IO::RegCreateKeyA(uint16_t key, const char* name, uint16_t* created) {
  int32_t r = NameRequest(*this, req::kRegCreateKey, key, name);
  if (r < 0) return r;
  if (created) *created = uint16_t(r);
  return 0;
}

int32_t ZEL_DEVICE_IO::RegDeleteKeyA(uint16_t key, const char* name) {
  return NameRequest(*this, req::kRegDeleteKey, key, name);
}

int32_t ZEL_DEVICE_IO::RegDeleteValueA(uint16_t key, const char* name) {
  return NameRequest(*this, req::kRegDeleteValue, key, name);
}

int32_t ZEL_DEVICE_IO::RegCloseKey(uint16_t key) {
  _ZEL_REQUEST b = Block(req::kRegCloseKey, kDirToPc, 0);
  b.SetParam16(8, key);
  return Request(b, nullptr, false);
}

int32_t ZEL_DEVICE_IO::RegSetValueExA(uint16_t key, const char* name, uint32_t, uint32_t type,
                                      const uint8_t* data, uint32_t size) {
  if (!name || strnlen(name, kRegNameBytes + 1) > kRegNameBytes) return -1;
  if (size > kRegMaxData || (size && !data)) return -1;
  RegValueBlock v;
  v.type = type;
  v.size = size;
  v.name = name;
  v.data.assign(data, data + size);
  auto raw = EncodeRegValueBlock(v);
  _ZEL_REQUEST b = Block(req::kRegSetValueEx, kDirToDevice, kRegBlockBytes);
  b.SetParam16(8, key);
  return Request(b, raw.data(), true);
}

int32_t ZEL_DEVICE_IO::RegEnumKeyA(uint16_t key, uint32_t index, char* name, uint32_t nameSize) {
  _ZEL_REQUEST b = Block(req::kRegEnumKey, kDirToPc, kRegNameBytes);
  b.SetParam16(8, key);
  b.SetParam16(10, uint16_t(index));
  b.SetParam16(12, uint16_t(nameSize));
  uint8_t field[kRegNameBytes] = {};
  int32_t r = Request(b, field, true);
  if (r == -1 || !name) return r;
  // The caller's buffer holds nameSize + 1 bytes.
  size_t n = nameSize < kRegNameBytes ? nameSize : kRegNameBytes;
  memcpy(name, field, n);
  name[n] = '\0';
  return r;
}

int32_t ZEL_DEVICE_IO::RegEnumValueA(uint16_t key, uint32_t index, char* name,
                                     uint32_t* nameLength, uint32_t*, uint32_t* type,
                                     uint8_t* data, uint32_t* dataSize) {
  _ZEL_REQUEST b = Block(req::kRegEnumValue, kDirToPc, kRegBlockBytes);
  b.SetParam16(8, key);
  b.SetParam16(10, uint16_t(index));
  uint8_t raw[kRegBlockBytes] = {};
  int32_t r = Request(b, raw, true);
  if (r == -1) return r;
  RegEnumBlock e = DecodeRegEnumBlock(raw);
  if (nameLength) *nameLength = e.nameLength;
  if (type) *type = e.type;
  if (dataSize) *dataSize = e.dataSize;
  if (name) {
    memcpy(name, e.nameField.data(), kRegNameBytes);
    name[kRegNameBytes] = '\0';
  }
  // The data buffer holds at least 256 bytes; never copy more than that.
  if (data) memcpy(data, e.data.data(), e.dataSize < kRegDataBytes ? e.dataSize : kRegDataBytes);
  return r;
}

int32_t ZEL_DEVICE_IO::RegFlushKey(uint16_t key) {
  _ZEL_REQUEST b = Block(req::kRegFlushKey, kDirToPc, 0);
  b.SetParam16(8, key);
  return Request(b, nullptr, false);
}

// ---- media player --------------------------------------------------------------

int32_t ZEL_DEVICE_IO::MciSendCommand(uint32_t deviceId, uint32_t message, uintptr_t parameter) {
  DeviceHandle h = pfnCreateFile(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  auto fail = [&](int32_t r) {
    pfnCloseHandle(h);
    return r;
  };
  MciShape shape = MciMessageShape(message);
  if (deviceId != 0) return fail(-1);
  if (!shape.supported) return fail(kMciErrInvalidCommand);
  // For LOAD, PLAY, ENUM and the two messages with data the parameter is the
  // address of the record that is the data phase.
  uint8_t* record = reinterpret_cast<uint8_t*>(parameter);
  if (shape.dataBytes && !record) return fail(-1);

  _ZEL_REQUEST b = Block(req::kMciSendCommand, shape.toDevice ? kDirToDevice : kDirToPc,
                         shape.dataBytes);
  b.SetParam16(8, uint16_t(deviceId));
  b.SetParam16(10, uint16_t(message));
  // ENUM sends the record's first 32-bit field; the others the parameter.
  b.SetParam32(12, message == kMciEnum ? bytes::Get32(record) : uint32_t(parameter));

  auto raw = EncodeRequest(b);
  uint32_t count = 0;
  if (!pfnDeviceIoControl(h, kIoctlSendRequest, raw.data(), kRequestBytes, nullptr, 0, &count,
                          nullptr))
    return fail(-1);
  if (shape.dataBytes) {
    count = 0;
    int ok = shape.toDevice ? pfnWriteFile(h, record, shape.dataBytes, &count, nullptr)
                            : pfnReadFile(h, record, shape.dataBytes, &count, nullptr);
    if (!ok || count != shape.dataBytes) return fail(-1);
  }
  uint8_t reply[kReplyBytes] = {};
  if (!pfnDeviceIoControl(h, kIoctlFetchReply, nullptr, 0, reply, kReplyBytes, &count, nullptr))
    return fail(-1);
  pfnCloseHandle(h);
  _ZEL_REPLY r = DecodeReply(reply);
  return r.status == 0 ? r.value : -1;
}
