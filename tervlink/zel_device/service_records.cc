// Codecs of the registry and media player records (layouts in
// tervlink/service_records.h).

#include "tervlink/service_records.h"

#include <algorithm>
#include <cstring>

#include "tervlink/bytes.h"

std::array<uint8_t, kRegBlockBytes> EncodeRegValueBlock(const RegValueBlock& v) {
  std::array<uint8_t, kRegBlockBytes> b{};
  bytes::Put32(&b[kRegValType], v.type);
  bytes::Put32(&b[kRegValSize], v.size);
  size_t n = std::min(v.name.size(), kRegValNameMax);
  memcpy(&b[kRegValName], v.name.data(), n);
  // An empty value (hex:) has no data buffer at all: nothing to copy.
  if (!v.data.empty()) memcpy(&b[kRegValData], v.data.data(), std::min(v.data.size(), kRegDataBytes));
  return b;
}

RegValueBlock DecodeRegValueBlock(std::span<const uint8_t> b) {
  RegValueBlock v;
  if (b.size() < kRegBlockBytes) return v;
  v.type = bytes::Get32(b, kRegValType);
  v.size = bytes::Get32(b, kRegValSize);
  const char* name = reinterpret_cast<const char*>(&b[kRegValName]);
  v.name.assign(name, strnlen(name, kRegValNameMax));
  size_t n = std::min<size_t>(v.size, kRegDataBytes);
  v.data.assign(&b[kRegValData], &b[kRegValData] + n);
  return v;
}

std::array<uint8_t, kRegBlockBytes> EncodeRegEnumBlock(const RegEnumBlock& e) {
  std::array<uint8_t, kRegBlockBytes> b{};
  bytes::Put32(&b[kRegEnumNameLength], e.nameLength);
  bytes::Put32(&b[kRegEnumType], e.type);
  bytes::Put32(&b[kRegEnumSize], e.dataSize);
  memcpy(&b[kRegEnumName], e.nameField.data(), kRegNameBytes);
  memcpy(&b[kRegEnumData], e.data.data(), kRegDataBytes);
  return b;
}

RegEnumBlock DecodeRegEnumBlock(std::span<const uint8_t> b) {
  RegEnumBlock e;
  if (b.size() < kRegBlockBytes) return e;
  e.nameLength = bytes::Get32(b, kRegEnumNameLength);
  e.type = bytes::Get32(b, kRegEnumType);
  e.dataSize = bytes::Get32(b, kRegEnumSize);
  memcpy(e.nameField.data(), &b[kRegEnumName], kRegNameBytes);
  memcpy(e.data.data(), &b[kRegEnumData], kRegDataBytes);
  return e;
}

std::array<uint8_t, kMciLoadBytes> EncodeMciLoad(const MciLoadRecord& r) {
  std::array<uint8_t, kMciLoadBytes> b{};
  bytes::Put16(&b[kMciLoadFlags], r.flags);
  bytes::Put16(&b[kMciLoadType], r.type);
  bytes::Put16(&b[kMciLoadPosition], r.position);
  bytes::Put16(&b[kMciLoadLoops], r.loops);
  bytes::Put16(&b[kMciLoadLoopGap], r.loopGap);
  bytes::Put16(&b[kMciLoadEndGap], r.endGap);
  memcpy(&b[kMciLoadPath], r.path.data(), kMciPathBytes);
  return b;
}

MciLoadRecord DecodeMciLoad(std::span<const uint8_t> b) {
  MciLoadRecord r;
  if (b.size() < kMciLoadBytes) return r;
  r.flags = bytes::Get16(b, kMciLoadFlags);
  r.type = bytes::Get16(b, kMciLoadType);
  r.position = bytes::Get16(b, kMciLoadPosition);
  r.loops = bytes::Get16(b, kMciLoadLoops);
  r.loopGap = bytes::Get16(b, kMciLoadLoopGap);
  r.endGap = bytes::Get16(b, kMciLoadEndGap);
  memcpy(r.path.data(), &b[kMciLoadPath], kMciPathBytes);
  return r;
}
