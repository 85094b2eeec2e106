// The client side of the device frames (docs/device-protocol.md) over a
// byte stream: zelsim's named pipe on Windows. The frame heads themselves
// are built by tervlink/host/device_frames.h, shared with the Linux socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace host::pipe_frames {

// No reply of the device is ever larger than a data phase the host asked
// for; this only guards against a peer that sends nonsense.
constexpr uint32_t kMaxFrame = 256u << 20;

// A byte stream: exact reads and writes, false on failure or end of stream.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual bool Read(void* buffer, size_t length) = 0;
  virtual bool Write(const void* buffer, size_t length) = 0;
};

// The three calls, with the results of the Windows calls (1 = success).
int IoControl(Stream& s, uint32_t code, const void* in, uint32_t inLength, void* out,
              uint32_t outCapacity, uint32_t* returned);
int WriteData(Stream& s, const void* buffer, uint32_t length, uint32_t* put);
int ReadData(Stream& s, void* buffer, uint32_t length, uint32_t* got);

}  // namespace host::pipe_frames
