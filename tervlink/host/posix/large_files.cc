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

bool WritePiecesAt(FILE* f, uint64_t offset, const ConstPiece* pieces, size_t count) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  // At most IOV_MAX pieces a call; a short write goes on from where it ended.
  iovec iov[IOV_MAX];
  size_t next = 0, skip = 0;  // the first piece not yet written, and its bytes written
  for (;;) {
    while (next < count && pieces[next].length == skip) ++next, skip = 0;
    if (next == count) return true;
    int n = 0;
    for (size_t i = next; i < count && n < IOV_MAX; ++i, ++n) {
      size_t from = i == next ? skip : 0;
      iov[n].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(pieces[i].data) + from);
      iov[n].iov_len = pieces[i].length - from;
    }
    ssize_t put = pwritev(fileno(f), iov, n, off_t(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    offset += uint64_t(put);
    size_t left = size_t(put);
    while (next < count && left >= pieces[next].length - skip) {
      left -= pieces[next].length - skip;
      ++next, skip = 0;
    }
    skip += left;
  }
}

const uint8_t* MapFileToRead(FILE* f, uint64_t length) {
  if (!f || length == 0 || length > uint64_t(SIZE_MAX) || fflush(f) != 0) return nullptr;
  void* view = mmap(nullptr, size_t(length), PROT_READ, MAP_SHARED, fileno(f), 0);
  return view == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(view);
}

void UnmapFile(const uint8_t* view, uint64_t length) {
  if (view) munmap(const_cast<uint8_t*>(view), size_t(length));
}

void PopulateMemory(const void* p, size_t n, bool forWriting) {
#if defined(MADV_POPULATE_READ) && defined(MADV_POPULATE_WRITE)
  const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
  const uintptr_t from = (uintptr_t(p) + page - 1) & ~(page - 1);
  const uintptr_t to = (uintptr_t(p) + n) & ~(page - 1);
  // A kernel before 5.14 refuses the advice: the pages then come as faults.
  if (page > 0 && to > from)
    madvise(reinterpret_cast<void*>(from), to - from, forWriting ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
#else
  (void)p, (void)n, (void)forWriting;
#endif
}

}  // namespace host
