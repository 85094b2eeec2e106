// Whole reads and writes on a descriptor, for the socket yardsticks
// (socket_pingpong, socket_stream), which use nothing of Tervan's.
#pragma once

#include <unistd.h>

#include <cstddef>

namespace yardstick {

// Reads exactly n bytes: false at the end of the stream or on an error.
inline bool ReadAll(int fd, void* to, size_t n) {
  char* p = static_cast<char*>(to);
  while (n > 0) {
    ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= size_t(got);
  }
  return true;
}

// Writes exactly n bytes: false on an error.
inline bool WriteAll(int fd, const void* from, size_t n) {
  const char* p = static_cast<const char*>(from);
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put <= 0) return false;
    p += put;
    n -= size_t(put);
  }
  return true;
}

}  // namespace yardstick
