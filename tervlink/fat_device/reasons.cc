// The engine's failure reasons (reasons.h).

#include "tervlink/fat_device/reasons.h"

#include "tervlink/host/host.h"

namespace fatreason {

std::string Kilobytes(uint64_t bytes) {
  std::string digits = std::to_string((bytes + 1023) / 1024);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out + " KB";
}

void NoSpace(int partIndex, uint64_t needBytes, uint64_t freeBytes) {
  host::SetReason("no space on %c: needs %s, %s free", char('C' + partIndex),
                  Kilobytes(needBytes).c_str(), Kilobytes(freeBytes).c_str());
}

}  // namespace fatreason
