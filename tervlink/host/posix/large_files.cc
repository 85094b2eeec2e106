// 64-bit positions in standard I/O streams (NAND files exceed 2 GB).

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

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

// pwritev or preadv of the pieces from offset on, at most IOV_MAX pieces a
// call; a short transfer goes on from where it ended. False on failure or,
// reading, at the end of the file.
template <typename PieceType, typename Transfer>
bool PiecesAt(FILE* f, uint64_t offset, const PieceType* pieces, size_t count, Transfer transfer) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  iovec iov[IOV_MAX];
  size_t next = 0, skip = 0;  // the first piece not yet done, and its bytes done
  for (;;) {
    while (next < count && pieces[next].length == skip) ++next, skip = 0;
    if (next == count) return true;
    int n = 0;
    for (size_t i = next; i < count && n < IOV_MAX; ++i, ++n) {
      size_t from = i == next ? skip : 0;
      iov[n].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(pieces[i].data) + from);
      iov[n].iov_len = pieces[i].length - from;
    }
    ssize_t done = transfer(fileno(f), iov, n, off_t(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    offset += uint64_t(done);
    size_t left = size_t(done);
    while (next < count && left >= pieces[next].length - skip) {
      left -= pieces[next].length - skip;
      ++next, skip = 0;
    }
    skip += left;
  }
}

bool WritePiecesAt(FILE* f, uint64_t offset, const ConstPiece* pieces, size_t count) {
  return PiecesAt(f, offset, pieces, count, pwritev);
}

bool ReadPiecesAt(FILE* f, uint64_t offset, const Piece* pieces, size_t count) {
  return PiecesAt(f, offset, pieces, count, preadv);
}

void PopulateMemory(void* p, size_t n) {
#ifdef MADV_POPULATE_WRITE
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t from = (uintptr_t(p) + page - 1) & ~(page - 1);
  const uintptr_t to = (uintptr_t(p) + n) & ~(page - 1);
  // A kernel before 5.14 refuses the advice: the pages then come as faults.
  if (page > 0 && to > from)
    madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)p, (void)n;
#endif
}

}  // namespace host
