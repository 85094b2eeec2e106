// The volume label of the current partition: the boot sector's label field
// and the root directory's label entry, kept equal as other FAT tools keep
// them (the entry is what DOS shows; the field is what the boot sector
// tells a reader that looks no further).

#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"

using namespace fatfmt;

namespace {

constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kExtendedBootSignature = 0x29;  // the label and serial fields are valid
const char kNoName[12] = "NO NAME    ";

}  // namespace

int FAT_DEVICE::FindLabelEntry() {
  uint32_t saved = curPart->currentDir;
  curPart->currentDir = 0;
  int result = -1;
  for (unsigned i = 0;; ++i) {
    if (ScanDirEntry(i, i == 0) != 0) {
      if (lastError == -3) result = 0;  // the end of the root area
      break;
    }
    const uint8_t* e = curPart->currentEntry;
    if (e[0] == kEntryEnd) {
      result = 0;
      break;
    }
    if (e[0] == kEntryDeleted || e[kDirAttr] == kAttrLongName) continue;
    if (e[kDirAttr] & kAttrVolume) {
      result = 1;
      break;
    }
  }
  curPart->currentDir = saved;
  return result;
}

int FAT_DEVICE::GetVolumeLabel(char* label12) {
  memset(label12, 0, 12);
  if (!Ready()) return -1;
  int found = FindLabelEntry();
  if (found < 0) return -1;
  if (found == 1) {
    memcpy(label12, curPart->currentEntry, 11);
  } else {
    // No entry: the boot sector's field, when the boot sector says it has one.
    _CACHE* b = get_block(curPart->startSector, 0);
    if (!b) return -1;
    if (b->data[kBsBootSig] == kExtendedBootSignature) memcpy(label12, b->data + kBsVolLab, 11);
    put_block(b);
    if (memcmp(label12, kNoName, 11) == 0) memset(label12, 0, 12);
  }
  if (uint8_t(label12[0]) == kEntryE5Stored) label12[0] = char(kEntryDeleted);
  int n = 11;
  while (n > 0 && (label12[n - 1] == ' ' || label12[n - 1] == 0)) label12[--n] = 0;
  return n > 0 ? 0 : 1;
}

int FAT_DEVICE::SetVolumeLabel(const char* label) {
  if (!Ready() || !WritableHere()) return -1;
  char field[11];
  if (label) {
    if (NormalizeLabel(label, field) != 0) return -1;
  } else {
    memcpy(field, kNoName, 11);
  }
  // The root entry first: it is the label DOS shows.
  int found = FindLabelEntry();
  if (found < 0) return -1;
  if (found == 1) {
    if (label) {
      memcpy(curPart->currentEntry, field, 11);
      SetNowTime();
    } else {
      curPart->currentEntry[0] = kEntryDeleted;
    }
    if (UpdateEntry() != 0) return -1;
  } else if (label) {
    uint32_t saved = curPart->currentDir;
    curPart->currentDir = 0;
    int r = AddDirEntry(kAttrVolume, field, 0, 0);
    curPart->currentDir = saved;
    if (r != 0) {
      if (lastError == -3) lastError = -4;  // the root directory is full
      return -1;
    }
  }
  // Then the boot sector's field, marked valid by the extended signature.
  _CACHE* b = get_block(curPart->startSector, 0);
  if (!b) return -1;
  b->data[kBsBootSig] = kExtendedBootSignature;
  memcpy(b->data + kBsVolLab, field, 11);
  b->dirty = 1;
  if (put_block(b) < 0) return -1;
  // The engine's copy of the boot sector follows (the signature byte stays
  // 0 there, as every load leaves it).
  memcpy(curPart->bootCopy + kBsVolLab, field, 11);
  return 0;
}
