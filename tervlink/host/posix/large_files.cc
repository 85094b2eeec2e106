// 64-bit positions in standard I/O streams (NAND files exceed 2 GB).

#include <sys/stat.h>
#include <sys/types.h>

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

}  // namespace host
