// The records that travel between the PC and the device, and their codecs.
//
// In memory each record is a plain struct with named fields; on the wire it
// is the little-endian byte layout given beside each Encode/Decode pair. One
// function encodes a record and one decodes it, so the byte layout lives in
// exactly one place.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "tervlink/export.h"

// ---- command block and reply of every device request ----------------------

constexpr uint32_t kIoctlSendRequest = 0x222010;  // input: the 16-byte command block
constexpr uint32_t kIoctlFetchReply = 0x222014;   // output: the 8-byte reply

constexpr size_t kRequestBytes = 16;
constexpr size_t kReplyBytes = 8;

constexpr uint8_t kDirToDevice = 0x80;  // data phase PC -> device
constexpr uint8_t kDirToPc = 0x00;      // data phase device -> PC, or none

// _ZEL_REQUEST offsets
constexpr size_t kReqCommand = 0;    // request code (u8)
constexpr size_t kReqDirection = 1;  // 0x80 = data to the device (u8)
constexpr size_t kReqDisk = 2;       // disk number (u16)
constexpr size_t kReqLength = 4;     // data phase bytes (u32)
constexpr size_t kReqParams = 8;     // 8 request-specific bytes

// The 16-byte command block. The parameters are kept as raw bytes: each
// request names its own fields inside them.
struct _ZEL_REQUEST {
  uint8_t command = 0;
  uint8_t direction = 0;
  uint16_t disk = 0;
  uint32_t length = 0;
  std::array<uint8_t, 8> params{};

  void SetParam32(size_t offset, uint32_t v);  // offset counted in the block (8..12)
  void SetParam16(size_t offset, uint16_t v);  // offset counted in the block (8..14)
  void SetParam8(size_t offset, uint8_t v);
  uint32_t Param32(size_t offset) const;
  uint16_t Param16(size_t offset) const;
  uint8_t Param8(size_t offset) const;
};

TERVLINK_API std::array<uint8_t, kRequestBytes> EncodeRequest(const _ZEL_REQUEST& r);
TERVLINK_API _ZEL_REQUEST DecodeRequest(std::span<const uint8_t> b);  // b holds >= 16 bytes

// The 8-byte reply: status 0 = done; value = the request's result.
struct _ZEL_REPLY {
  uint32_t status = 0;
  int32_t value = 0;
};

TERVLINK_API std::array<uint8_t, kReplyBytes> EncodeReply(const _ZEL_REPLY& r);
TERVLINK_API _ZEL_REPLY DecodeReply(std::span<const uint8_t> b);  // b holds >= 8 bytes

// Request codes.
namespace req {
constexpr uint8_t kDownload = 0x01;
constexpr uint8_t kTest = 0x10;
constexpr uint8_t kReadCapacity = 0x40;
constexpr uint8_t kRead = 0x41;
constexpr uint8_t kWrite = 0x42;
constexpr uint8_t kLowFormat = 0x43;
constexpr uint8_t kReadBIOS = 0x44;
constexpr uint8_t kWriteBIOS = 0x45;
constexpr uint8_t kReadLocal = 0x48;
constexpr uint8_t kWriteLocal = 0x49;
constexpr uint8_t kSetLocalTime = 0x50;
constexpr uint8_t kGetLocalTime = 0x51;
constexpr uint8_t kSetAlarm = 0x52;
constexpr uint8_t kKillAlarm = 0x53;
constexpr uint8_t kResetAlarm = 0x54;
constexpr uint8_t kEnumAlarm = 0x55;
constexpr uint8_t kSetDeviceCaps = 0x56;
constexpr uint8_t kGetDeviceCaps = 0x57;
constexpr uint8_t kBeep = 0x58;
constexpr uint8_t kSetTimeZone = 0x59;
constexpr uint8_t kGetTimeZone = 0x5A;
constexpr uint8_t kMciSendCommand = 0x5B;
constexpr uint8_t kRegOpenKey = 0x5C;
constexpr uint8_t kRegCreateKey = 0x5D;
constexpr uint8_t kRegDeleteKey = 0x5E;
constexpr uint8_t kRegCloseKey = 0x5F;
constexpr uint8_t kRegSetValueEx = 0x60;
constexpr uint8_t kRegDeleteValue = 0x61;
constexpr uint8_t kRegEnumKey = 0x62;
constexpr uint8_t kRegEnumValue = 0x63;
constexpr uint8_t kRegFlushKey = 0x64;
constexpr uint8_t kReboot = 0x65;
constexpr uint8_t kSwitch = 0x66;
constexpr uint8_t kSetEccMethod = 0x67;
constexpr uint8_t kGetEccMethod = 0x68;
constexpr uint8_t kSetEccRom = 0x69;
constexpr uint8_t kGetEccRom = 0x6A;
constexpr uint8_t kSetFactoryBadInfo = 0x6B;
constexpr uint8_t kGetFactoryBadInfo = 0x6C;
constexpr uint8_t kNandInfo = 0x6D;
constexpr uint8_t kNandReadWrite = 0x6E;
constexpr uint8_t kNandErase = 0x6F;
constexpr uint8_t kDirectRead = 0x70;
constexpr uint8_t kDirectWrite = 0x71;
constexpr uint8_t kGetBlockTable = 0x72;
constexpr uint8_t kReadLog2PhyTbl = 0x99;
}  // namespace req

constexpr uint32_t kSectorBytes = 512;

// ---- storage records -------------------------------------------------------

// partition: capacity and geometry, 20 bytes, five u32 in this order.
struct partition {
  uint32_t word0 = 0;  // delivered by the device, not interpreted
  uint32_t word1 = 0;  // delivered by the device, not interpreted
  uint32_t cylinders = 0;
  uint32_t heads = 0;
  uint32_t sectorsPerTrack = 0;
};
constexpr size_t kPartitionBytes = 20;
TERVLINK_API std::array<uint8_t, kPartitionBytes> EncodePartition(const partition& p);
TERVLINK_API partition DecodePartition(std::span<const uint8_t> b);

// _ZEL_NANDINFO: NAND geometry and identity, 36 bytes, nine u32.
struct _ZEL_NANDINFO {
  uint32_t Zones = 0;
  uint32_t PageSize = 0;
  uint32_t PagePerBlock = 0;
  uint32_t BlockPerZone = 0;
  uint32_t ManuID = 0;
  uint32_t DevID = 0;
  uint32_t ThirdID = 0;
  uint32_t FouthID = 0;
  uint32_t FifthID = 0;
};
constexpr size_t kNandInfoBytes = 36;
TERVLINK_API std::array<uint8_t, kNandInfoBytes> EncodeNandInfo(const _ZEL_NANDINFO& n);
TERVLINK_API _ZEL_NANDINFO DecodeNandInfo(std::span<const uint8_t> b);

// _ZEL_BADBLOCKINFO: the factory bad-block record, 4096 bytes. Kept as its
// raw bytes; these offsets name its fields.
constexpr size_t kBadInfoBytes = 4096;
constexpr size_t kBadInfoMagic = 0;     // "BLCKINFO", 8 bytes, no terminator
constexpr size_t kBadInfoEccType = 8;   // 1 = SLC, 2 = MLC (u32)
constexpr size_t kBadInfoVersion = 12;  // record version (u32)
constexpr size_t kBadInfoCount = 16;    // number of entries (u32)
constexpr size_t kBadInfoEntries = 20;  // count x (zone u8, block u16 big-endian)
constexpr size_t kBadInfoMaxEntries = 1358;

constexpr int32_t kEccSlc = 1;
constexpr int32_t kEccMlc = 2;
constexpr size_t kEccRomBytes = 16384;

// ---- service records -------------------------------------------------------

// _ZELDEVICECAPS: a field mask and 32 u16 fields, 68 bytes. Mask bit n
// selects the field at byte offset 4 + 2n.
struct _ZELDEVICECAPS {
  uint32_t mask = 0;
  std::array<uint16_t, 32> fields{};
};
constexpr size_t kDeviceCapsBytes = 68;
constexpr uint32_t kCapsDiskCountBit = 21;  // number of disks (read only)
TERVLINK_API std::array<uint8_t, kDeviceCapsBytes> EncodeDeviceCaps(const _ZELDEVICECAPS& c);
TERVLINK_API _ZELDEVICECAPS DecodeDeviceCaps(std::span<const uint8_t> b);

// _EZEL_SYSTEMTIME: eight u16, 16 bytes.
struct _EZEL_SYSTEMTIME {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;
  uint16_t wDayOfWeek = 0;
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;
};
constexpr size_t kSystemTimeBytes = 16;
TERVLINK_API std::array<uint8_t, kSystemTimeBytes> EncodeSystemTime(const _EZEL_SYSTEMTIME& t);
// The record of a calendar time (the fields in the record's order).
TERVLINK_API _EZEL_SYSTEMTIME MakeSystemTime(int year, int month, int dayOfWeek, int day, int hour,
                                             int minute, int second, int milliseconds);
TERVLINK_API _EZEL_SYSTEMTIME DecodeSystemTime(std::span<const uint8_t> b);

// _ZEL_TIME_ZONE_INFORMATION: i32 bias in minutes east of GMT, then 168
// bytes the shell sends as zeros; 172 bytes.
struct _ZEL_TIME_ZONE_INFORMATION {
  int32_t Bias = 0;
  std::array<uint8_t, 168> rest{};
};
constexpr size_t kTimeZoneBytes = 172;
TERVLINK_API std::array<uint8_t, kTimeZoneBytes> EncodeTimeZone(const _ZEL_TIME_ZONE_INFORMATION& z);
TERVLINK_API _ZEL_TIME_ZONE_INFORMATION DecodeTimeZone(std::span<const uint8_t> b);

// _SYSTEMALARM: 8 bytes.
struct _SYSTEMALARM {
  uint16_t type = 0;         // 1 = one-time, 2 = forever
  uint16_t validFields = 0;  // bit 0 day, bit 1 hour, bit 2 minute
  uint8_t indicator = 0;     // alarm id
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
};
constexpr size_t kAlarmBytes = 8;
TERVLINK_API std::array<uint8_t, kAlarmBytes> EncodeAlarm(const _SYSTEMALARM& a);
TERVLINK_API _SYSTEMALARM DecodeAlarm(std::span<const uint8_t> b);

constexpr size_t kLocalSectorBytes = 512;
