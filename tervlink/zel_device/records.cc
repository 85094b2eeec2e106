// Codecs of the wire records (layouts in tervlink/records.h).

#include "tervlink/records.h"

#include <cstring>

#include "tervlink/bytes.h"

void _ZEL_REQUEST::SetParam32(size_t offset, uint32_t v) {
  if (offset >= kReqParams && offset + 4 <= kRequestBytes) bytes::Put32(&params[offset - kReqParams], v);
}
void _ZEL_REQUEST::SetParam16(size_t offset, uint16_t v) {
  if (offset >= kReqParams && offset + 2 <= kRequestBytes) bytes::Put16(&params[offset - kReqParams], v);
}
void _ZEL_REQUEST::SetParam8(size_t offset, uint8_t v) {
  if (offset >= kReqParams && offset < kRequestBytes) params[offset - kReqParams] = v;
}
uint32_t _ZEL_REQUEST::Param32(size_t offset) const {
  return (offset >= kReqParams && offset + 4 <= kRequestBytes) ? bytes::Get32(&params[offset - kReqParams]) : 0;
}
uint16_t _ZEL_REQUEST::Param16(size_t offset) const {
  return (offset >= kReqParams && offset + 2 <= kRequestBytes) ? bytes::Get16(&params[offset - kReqParams]) : 0;
}
uint8_t _ZEL_REQUEST::Param8(size_t offset) const {
  return (offset >= kReqParams && offset < kRequestBytes) ? params[offset - kReqParams] : 0;
}

std::array<uint8_t, kRequestBytes> EncodeRequest(const _ZEL_REQUEST& r) {
  std::array<uint8_t, kRequestBytes> b{};
  b[kReqCommand] = r.command;
  b[kReqDirection] = r.direction;
  bytes::Put16(&b[kReqDisk], r.disk);
  bytes::Put32(&b[kReqLength], r.length);
  memcpy(&b[kReqParams], r.params.data(), r.params.size());
  return b;
}

_ZEL_REQUEST DecodeRequest(std::span<const uint8_t> b) {
  _ZEL_REQUEST r;
  if (b.size() < kRequestBytes) return r;
  r.command = b[kReqCommand];
  r.direction = b[kReqDirection];
  r.disk = bytes::Get16(b, kReqDisk);
  r.length = bytes::Get32(b, kReqLength);
  memcpy(r.params.data(), &b[kReqParams], r.params.size());
  return r;
}

std::array<uint8_t, kReplyBytes> EncodeReply(const _ZEL_REPLY& r) {
  std::array<uint8_t, kReplyBytes> b{};
  bytes::Put32(&b[0], r.status);
  bytes::Put32(&b[4], uint32_t(r.value));
  return b;
}

_ZEL_REPLY DecodeReply(std::span<const uint8_t> b) {
  return _ZEL_REPLY{bytes::Get32(b, 0), int32_t(bytes::Get32(b, 4))};
}

std::array<uint8_t, kPartitionBytes> EncodePartition(const partition& p) {
  std::array<uint8_t, kPartitionBytes> b{};
  const uint32_t words[5] = {p.word0, p.word1, p.cylinders, p.heads, p.sectorsPerTrack};
  for (int i = 0; i < 5; ++i) bytes::Put32(&b[4 * i], words[i]);
  return b;
}

partition DecodePartition(std::span<const uint8_t> b) {
  return partition{bytes::Get32(b, 0), bytes::Get32(b, 4), bytes::Get32(b, 8),
                   bytes::Get32(b, 12), bytes::Get32(b, 16)};
}

std::array<uint8_t, kNandInfoBytes> EncodeNandInfo(const _ZEL_NANDINFO& n) {
  std::array<uint8_t, kNandInfoBytes> b{};
  const uint32_t words[9] = {n.Zones,  n.PageSize, n.PagePerBlock, n.BlockPerZone, n.ManuID,
                             n.DevID,  n.ThirdID,  n.FouthID,      n.FifthID};
  for (int i = 0; i < 9; ++i) bytes::Put32(&b[4 * i], words[i]);
  return b;
}

_ZEL_NANDINFO DecodeNandInfo(std::span<const uint8_t> b) {
  _ZEL_NANDINFO n;
  uint32_t* words[9] = {&n.Zones,  &n.PageSize, &n.PagePerBlock, &n.BlockPerZone, &n.ManuID,
                        &n.DevID,  &n.ThirdID,  &n.FouthID,      &n.FifthID};
  for (int i = 0; i < 9; ++i) *words[i] = bytes::Get32(b, 4 * i);
  return n;
}

std::array<uint8_t, kDeviceCapsBytes> EncodeDeviceCaps(const _ZELDEVICECAPS& c) {
  std::array<uint8_t, kDeviceCapsBytes> b{};
  bytes::Put32(&b[0], c.mask);
  for (size_t i = 0; i < c.fields.size(); ++i) bytes::Put16(&b[4 + 2 * i], c.fields[i]);
  return b;
}

_ZELDEVICECAPS DecodeDeviceCaps(std::span<const uint8_t> b) {
  _ZELDEVICECAPS c;
  c.mask = bytes::Get32(b, 0);
  for (size_t i = 0; i < c.fields.size(); ++i) c.fields[i] = bytes::Get16(b, 4 + 2 * i);
  return c;
}

std::array<uint8_t, kSystemTimeBytes> EncodeSystemTime(const _EZEL_SYSTEMTIME& t) {
  std::array<uint8_t, kSystemTimeBytes> b{};
  const uint16_t f[8] = {t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                         t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
  for (int i = 0; i < 8; ++i) bytes::Put16(&b[2 * i], f[i]);
  return b;
}

_EZEL_SYSTEMTIME MakeSystemTime(int year, int month, int dayOfWeek, int day, int hour, int minute,
                                int second, int milliseconds) {
  return _EZEL_SYSTEMTIME{uint16_t(year),   uint16_t(month),  uint16_t(dayOfWeek),
                          uint16_t(day),    uint16_t(hour),   uint16_t(minute),
                          uint16_t(second), uint16_t(milliseconds)};
}

_EZEL_SYSTEMTIME DecodeSystemTime(std::span<const uint8_t> b) {
  _EZEL_SYSTEMTIME t;
  uint16_t* f[8] = {&t.wYear, &t.wMonth,  &t.wDayOfWeek, &t.wDay,
                    &t.wHour, &t.wMinute, &t.wSecond,    &t.wMilliseconds};
  for (int i = 0; i < 8; ++i) *f[i] = bytes::Get16(b, 2 * i);
  return t;
}

std::array<uint8_t, kTimeZoneBytes> EncodeTimeZone(const _ZEL_TIME_ZONE_INFORMATION& z) {
  std::array<uint8_t, kTimeZoneBytes> b{};
  bytes::Put32(&b[0], uint32_t(z.Bias));
  memcpy(&b[4], z.rest.data(), z.rest.size());
  return b;
}

_ZEL_TIME_ZONE_INFORMATION DecodeTimeZone(std::span<const uint8_t> b) {
  _ZEL_TIME_ZONE_INFORMATION z;
  z.Bias = int32_t(bytes::Get32(b, 0));
  if (b.size() >= kTimeZoneBytes) memcpy(z.rest.data(), &b[4], z.rest.size());
  return z;
}

std::array<uint8_t, kAlarmBytes> EncodeAlarm(const _SYSTEMALARM& a) {
  std::array<uint8_t, kAlarmBytes> b{};
  bytes::Put16(&b[0], a.type);
  bytes::Put16(&b[2], a.validFields);
  b[4] = a.indicator;
  b[5] = a.day;
  b[6] = a.hour;
  b[7] = a.minute;
  return b;
}

_SYSTEMALARM DecodeAlarm(std::span<const uint8_t> b) {
  _SYSTEMALARM a;
  if (b.size() < kAlarmBytes) return a;
  a.type = bytes::Get16(b, 0);
  a.validFields = bytes::Get16(b, 2);
  a.indicator = b[4];
  a.day = b[5];
  a.hour = b[6];
  a.minute = b[7];
  return a;
}
