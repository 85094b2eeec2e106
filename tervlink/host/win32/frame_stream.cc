#include "frame_stream.h"
#include "tervlink/host/device_frames.h"

#include <cstring>
#include <vector>

#include "tervlink/bytes.h"

namespace host::pipe_frames {
namespace {

bool ReadStatusAndLength(Stream& s, uint8_t& ok, uint32_t& length) {
  uint8_t head[::frames::kAnswerHeadBytes];
  if (!s.Read(head, sizeof head)) return false;
  ok = head[0];
  length = bytes::Get32(head + 1);
  return true;
}

// One frame in one write: its head and its payload.
bool SendFrame(Stream& s, const uint8_t* head, size_t headLength, const void* data,
               uint32_t length) {
  std::vector<uint8_t> frame(headLength + length);
  memcpy(frame.data(), head, headLength);
  if (length) memcpy(frame.data() + headLength, data, length);
  return s.Write(frame.data(), frame.size());
}

}  // namespace

int IoControl(Stream& s, uint32_t code, const void* in, uint32_t inLength, void* out,
              uint32_t outCapacity, uint32_t* returned) {
  if (returned) *returned = 0;
  if (!in) inLength = 0;
  if (!out) outCapacity = 0;
  uint8_t head[::frames::kControlHeadBytes];
  ::frames::PutControlHead(head, code, inLength, outCapacity);
  if (!SendFrame(s, head, sizeof head, in, inLength)) return 0;
  uint8_t ok = 0;
  uint32_t n = 0;
  if (!ReadStatusAndLength(s, ok, n) || n > outCapacity) return 0;
  if (n && !s.Read(out, n)) return 0;
  if (returned) *returned = n;
  return ok ? 1 : 0;
}

int WriteData(Stream& s, const void* buffer, uint32_t length, uint32_t* put) {
  if (put) *put = 0;
  if (!buffer) length = 0;
  uint8_t head[::frames::kDataHeadBytes];
  ::frames::PutDataHead(head, ::frames::kWrite, length);
  if (!SendFrame(s, head, sizeof head, buffer, length)) return 0;
  uint8_t ok = 0;
  uint32_t taken = 0;
  if (!ReadStatusAndLength(s, ok, taken)) return 0;
  if (put) *put = taken;
  return ok ? 1 : 0;
}

int ReadData(Stream& s, void* buffer, uint32_t length, uint32_t* got) {
  if (got) *got = 0;
  if (!buffer) length = 0;
  uint8_t head[::frames::kDataHeadBytes];
  ::frames::PutDataHead(head, ::frames::kRead, length);
  if (!s.Write(head, sizeof head)) return 0;
  uint8_t ok = 0;
  uint32_t n = 0;
  if (!ReadStatusAndLength(s, ok, n) || n > length || n > kMaxFrame) return 0;
  if (n && !s.Read(buffer, n)) return 0;
  if (got) *got = n;
  return ok ? 1 : 0;
}

}  // namespace host::pipe_frames
