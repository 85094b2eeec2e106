// Records of the registry and media player services, and their codecs.
//
// Like records.h: each record is a plain struct in memory and a
// little-endian byte layout on the wire; the offsets below name its fields
// and one function encodes and one decodes it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tervlink/export.h"
#include "tervlink/records.h"

// ---- registry records --------------------------------------------------------

// Registry names travel as an 8-byte field (no terminator for 8 characters).
constexpr size_t kRegNameBytes = 8;
constexpr uint32_t kRegMaxData = 255;  // largest value data accepted
constexpr size_t kRegBlockBytes = 512;  // value block and enumerated value block
constexpr size_t kRegDataBytes = 256;   // data area of both blocks

// The six roots have fixed handles and are never opened or created.
constexpr uint16_t kHkeyRoot = 0;
constexpr uint16_t kHkeyLastRoot = 5;  // HKEY_SYSTEM 1, FONTS 2, DICTS 3, TECHS 4, APPS 5

// Value types.
constexpr uint32_t kRegBinary = 1;
constexpr uint32_t kRegDword = 2;
constexpr uint32_t kRegString = 3;

// The registry's own answers.
constexpr int32_t kRegErrBadKey = -131;      // no such key or handle, or a bad key path
constexpr int32_t kRegErrNameTooLong = -133; // a name or data longer than allowed
constexpr int32_t kRegErrNoMoreItems = -136; // the normal end of an enumeration

// Value block: the data phase of RegSetValueExA.
constexpr size_t kRegValType = 0;    // value type (u32)
constexpr size_t kRegValSize = 4;    // data size in bytes (u32)
constexpr size_t kRegValName = 8;    // value name, zero-terminated (up to 248 bytes)
constexpr size_t kRegValData = 256;  // data (256 bytes)
constexpr size_t kRegValNameMax = kRegValData - kRegValName - 1;

struct RegValueBlock {
  uint32_t type = 0;
  uint32_t size = 0;          // as sent; data holds min(size, 256) bytes
  std::string name;           // at most 247 characters are kept
  std::vector<uint8_t> data;
};
TERVLINK_API std::array<uint8_t, kRegBlockBytes> EncodeRegValueBlock(const RegValueBlock& v);
TERVLINK_API RegValueBlock DecodeRegValueBlock(std::span<const uint8_t> b);

// Enumerated value block: the data phase RegEnumValueA receives.
constexpr size_t kRegEnumNameLength = 0;  // length of the value name (u32)
constexpr size_t kRegEnumType = 4;        // value type (u32)
constexpr size_t kRegEnumSize = 8;        // data size in bytes (u32)
constexpr size_t kRegEnumName = 12;       // name field (8 bytes)
constexpr size_t kRegEnumData = 256;      // data (256 bytes)

struct RegEnumBlock {
  uint32_t nameLength = 0;
  uint32_t type = 0;
  uint32_t dataSize = 0;
  std::array<uint8_t, kRegNameBytes> nameField{};
  std::array<uint8_t, kRegDataBytes> data{};
};
TERVLINK_API std::array<uint8_t, kRegBlockBytes> EncodeRegEnumBlock(const RegEnumBlock& e);
TERVLINK_API RegEnumBlock DecodeRegEnumBlock(std::span<const uint8_t> b);

// ---- media player records -------------------------------------------------------

// Messages of MciSendCommand.
constexpr uint32_t kMciLoad = 1;
constexpr uint32_t kMciPlay = 3;
constexpr uint32_t kMciStop = 4;
constexpr uint32_t kMciPause = 5;
constexpr uint32_t kMciCancel = 6;
constexpr uint32_t kMciEnum = 7;
constexpr uint32_t kMciDelete = 8;
constexpr uint32_t kMciPrev = 9;
constexpr uint32_t kMciNext = 10;
constexpr uint32_t kMciUnlock = 14;
constexpr uint32_t kMciState = 15;

// The data phase of each message; unsupported messages are never sent.
struct MciShape {
  bool supported = false;
  bool toDevice = false;
  uint32_t dataBytes = 0;
};
constexpr MciShape MciMessageShape(uint32_t message) {
  switch (message) {
    case 1: return {true, true, 58};
    case 3: return {true, true, 6};
    case 7: return {true, false, 274};
    case 11: return {true, true, 8};
    case 13: return {true, true, 12};
    case 4: case 5: case 6: case 8: case 9: case 10: case 14: case 15: return {true, false, 0};
    default: return {};
  }
}

// Fixed positions and lists, in place of a stream handle.
constexpr uint16_t kMciPlayHead = 0xFFF1;
constexpr uint16_t kMciPlayTail = 0xFFF2;
constexpr uint16_t kMciUnitHead = 0xFFF3;
constexpr uint16_t kMciUnitTail = 0xFFF4;
constexpr uint16_t kMciUnitList = 0xFFF5;
constexpr uint16_t kMciPlayList = 0xFFF6;
constexpr uint16_t kMciActiveUnit = 0xFFF7;

// Load record flags.
constexpr uint16_t kMciFlagEndDel = 0x04;
constexpr uint16_t kMciFlagAsap = 0x08;
constexpr uint16_t kMciFlagLock = 0x10;
constexpr uint16_t kMciFlagLyric = 0x40;
constexpr uint16_t kMciFlagEndLoop = 0x80;

// The player's answers.
constexpr int32_t kMciErrBadType = -240;
constexpr int32_t kMciErrBadFile = -238;
constexpr int32_t kMciErrBadFormat = -237;
constexpr int32_t kMciErrInvalidCommand = -236;
constexpr int32_t kMciErrBadFlags = -235;
constexpr int32_t kMciErrBadParameter = -234;
constexpr int32_t kMciErrBadUnit = -233;
constexpr int32_t kMciErrBadDevice = -232;
constexpr int32_t kMciErrNoResource = -224;
constexpr int32_t kMciErrBusy = -223;
constexpr int32_t kMciErrIdle = -222;
constexpr int32_t kMciErrEndOfList = -176;

// Load record (58 bytes).
constexpr size_t kMciLoadBytes = 58;
constexpr size_t kMciLoadFlags = 0;      // flags (u16)
constexpr size_t kMciLoadType = 2;       // stream type (u16)
constexpr size_t kMciLoadPosition = 4;   // insert position (u16)
constexpr size_t kMciLoadLoops = 18;     // loop count (u16)
constexpr size_t kMciLoadLoopGap = 20;   // silence between loops, ms (u16)
constexpr size_t kMciLoadEndGap = 22;    // silence at the end, ms (u16)
constexpr size_t kMciLoadPath = 26;      // stream path, zero-terminated (32 bytes)
constexpr size_t kMciPathBytes = 32;

struct MciLoadRecord {
  uint16_t flags = 0;
  uint16_t type = 4;  // MP3
  uint16_t position = kMciPlayTail;
  uint16_t loops = 1;
  uint16_t loopGap = 0;
  uint16_t endGap = 0;
  std::array<uint8_t, kMciPathBytes> path{};
};
TERVLINK_API std::array<uint8_t, kMciLoadBytes> EncodeMciLoad(const MciLoadRecord& r);
TERVLINK_API MciLoadRecord DecodeMciLoad(std::span<const uint8_t> b);

// Play record (6 bytes): handle (u16), play at once (u16: 1 or 0), zero (u16).
constexpr size_t kMciPlayBytes = 6;

// Enumeration record: the 274 bytes that come back (the shell provides 276).
constexpr size_t kMciEnumBytes = 274;
constexpr size_t kMciEnumRecordBytes = 276;
constexpr size_t kMciEnumCursor = 0;  // in: a list name or the last handle (u16)
constexpr size_t kMciEnumList = 2;    // the list being walked, kept by the device (u16)
constexpr size_t kMciEnumHandle = 4;  // out: the stream handle (u16)
constexpr size_t kMciEnumType = 6;    // out: the stream type (u16)
constexpr size_t kMciEnumFlags = 8;   // out: the load flags, lock included (u16)
constexpr size_t kMciEnumState = 10;  // out: 0 waiting, 1 playing, 2 paused (u16)
constexpr size_t kMciEnumPath = 12;   // out: the stream path (32 bytes)
