// The frames of the device link, shared by both of its ends: the host
// layer's client (posix/device_socket.cc, and the named-pipe twin on
// Windows) and zelsim's driver server. Pure byte work, no OS calls.
//
// Frames, little-endian (docs/device-protocol.md):
//
//   control  PC -> u8 1, u32 code, u32 input length, u32 output capacity, input
//            <- u8 ok, u32 output length, output
//   write    PC -> u8 2, u32 length, bytes
//            <- u8 ok, u32 bytes taken
//   read     PC -> u8 3, u32 length
//            <- u8 ok, u32 length n, n bytes
//   claim    PC -> u8 4, u32 length, the program's name
//            <- u8 ok, u32 length, the holder: u32 process id, its program's name
//
// Every frame opens with a fixed head whose size its first byte tells, so
// each side reads a head in one call and then the bytes it announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tervlink/bytes.h"

namespace frames {

constexpr uint8_t kControl = 1;
constexpr uint8_t kWrite = 2;
constexpr uint8_t kRead = 3;
// Claims the device for the sending process for as long as the connection
// stays open; refused (with the holder) while another process holds it.
constexpr uint8_t kClaim = 4;
// The longest program name a claim carries.
constexpr uint32_t kMaxClaimName = 64;

constexpr size_t kControlHeadBytes = 13;  // type, code, input length, output capacity
constexpr size_t kDataHeadBytes = 5;      // type, length (write and read frames)
constexpr size_t kAnswerHeadBytes = 5;    // ok, length (every answer)
// The largest control input either side accepts (a command block is 16).
constexpr uint32_t kMaxControlInput = 4096;

// The head size of a frame of the given type; 0 for an unknown type.
inline size_t HeadBytes(uint8_t type) {
  return type == kControl ? kControlHeadBytes
         : (type == kWrite || type == kRead || type == kClaim) ? kDataHeadBytes
                                                               : 0;
}

inline void PutControlHead(uint8_t* head, uint32_t code, uint32_t inLength, uint32_t outCapacity) {
  head[0] = kControl;
  bytes::Put32(head + 1, code);
  bytes::Put32(head + 5, inLength);
  bytes::Put32(head + 9, outCapacity);
}

inline void PutDataHead(uint8_t* head, uint8_t type, uint32_t length) {
  head[0] = type;
  bytes::Put32(head + 1, length);
}

inline void PutAnswerHead(uint8_t* head, bool ok, uint32_t length) {
  head[0] = ok ? 1 : 0;
  bytes::Put32(head + 1, length);
}

// The holder a refused claim's answer names: its n bytes are the process id
// and the program's name (fewer than 4: nobody the device can name).
inline void ReadClaimHolder(const uint8_t* who, uint32_t n, long& pid, std::string& program) {
  pid = n >= 4 ? long(bytes::Get32(who)) : 0;
  program.assign(reinterpret_cast<const char*>(who) + (n >= 4 ? 4 : 0), n >= 4 ? n - 4 : 0);
}

}  // namespace frames
