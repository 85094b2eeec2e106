// 64-bit positions in standard I/O streams (NAND files exceed 2 GB).

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "tervlink/host/host.h"

namespace host {

bool SeekFile(FILE* f, uint64_t offset) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  return fseeko(f, off_t(offset), SEEK_SET) == 0;
}

bool FileLength(FILE* f, uint64_t& length) {
  if (!f || fflush(f) != 0) return false;
  struct stat st{};
  if (fstat(fileno(f), &st) != 0) return false;
  length = uint64_t(st.st_size);
  return true;
}

bool ReadAt(FILE* f, uint64_t offset, void* buffer, size_t length) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = pread(fileno(f), p, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, offset += uint64_t(n), length -= size_t(n);
  }
  return true;
}

bool WriteAt(FILE* f, uint64_t offset, const void* buffer, size_t length) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  auto* p = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = pwrite(fileno(f), p, length, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n, offset += uint64_t(n), length -= size_t(n);
  }
  return true;
}

bool ReadPiecesAt(FILE* f, uint64_t offset, const Piece* pieces, size_t count) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  // preadv takes at most IOV_MAX pieces; a short read resumes inside one.
  std::vector<iovec> v(std::min<size_t>(count, IOV_MAX));
  size_t next = 0, done = 0;  // the piece at hand, and its bytes already read
  while (next < count) {
    size_t n = 0;
    for (size_t i = next; i < count && n < v.size(); ++i, ++n) {
      size_t skip = i == next ? done : 0;
      v[n] = {static_cast<uint8_t*>(pieces[i].data) + skip, pieces[i].length - skip};
    }
    ssize_t got = preadv(fileno(f), v.data(), int(n), off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    offset += uint64_t(got);
    size_t left = size_t(got) + done;
    while (next < count && left >= pieces[next].length) left -= pieces[next++].length;
    done = left;
  }
  return true;
}

}  // namespace host
