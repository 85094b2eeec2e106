// Little-endian field access over byte buffers.
//
// Every wire and file record of the system (command blocks, replies, boot
// sectors, directory entries, image headers, spare areas ...) is read and
// written through these helpers: least significant byte first, never by
// casting a buffer to a struct. The span forms are bounds-checked and
// return 0 / do nothing when the field does not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace bytes {

inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// Bounds-checked forms: a field that does not lie wholly inside the span
// reads as 0 and is not written.
inline uint16_t Get16(std::span<const uint8_t> s, size_t off) {
  return off + 2 <= s.size() ? Get16(s.data() + off) : 0;
}
inline uint32_t Get32(std::span<const uint8_t> s, size_t off) {
  return off + 4 <= s.size() ? Get32(s.data() + off) : 0;
}
inline void Put16(std::span<uint8_t> s, size_t off, uint16_t v) {
  if (off + 2 <= s.size()) Put16(s.data() + off, v);
}
inline void Put32(std::span<uint8_t> s, size_t off, uint32_t v) {
  if (off + 4 <= s.size()) Put32(s.data() + off, v);
}

}  // namespace bytes
