// The engine's failure reasons (reasons.h).

#include "tervlink/fat_device/reasons.h"

#include "tervlink/host/host.h"

namespace fatreason {

std::string EntryText(const char* name11) {
  std::string s;
  for (int i = 0; i < 8 && name11[i] != ' '; ++i) s += name11[i];
  if (!s.empty() && uint8_t(s[0]) == 0x05) s[0] = char(0xE5);
  if (name11[8] != ' ') {
    s += '.';
    for (int i = 8; i < 11 && name11[i] != ' '; ++i) s += name11[i];
  }
  return s;
}

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
