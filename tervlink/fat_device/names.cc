// File names: the 8.3 entry form, wildcard patterns, and the find-first /
// find-next listing of a directory.

#include <cctype>
#include <cstring>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"

using namespace fatfmt;

namespace {

constexpr uint8_t kAttrLongName = 0x0F;  // a long-name fragment, not a file

bool IsGbkLead(uint8_t c) { return c >= 0x81 && c <= 0xFE; }

// Copies n bytes of src into dst, upper-casing ASCII letters only; the
// second byte of a double-byte character is copied as it is.
void CopyUpper(char* dst, const char* src, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = uint8_t(src[i]);
    if (IsGbkLead(c) && i + 1 < n) {
      dst[i] = src[i];
      dst[i + 1] = src[i + 1];
      ++i;
      continue;
    }
    dst[i] = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : char(c);
  }
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool CharMatches(char p, char t) { return p == '?' || Lower(p) == Lower(t); }

// True when text[0..n) equals pattern piece p[0..m) ('?' matches anything).
bool PieceAt(const char* p, size_t m, const char* text) {
  for (size_t i = 0; i < m; ++i)
    if (!CharMatches(p[i], text[i])) return false;
  return true;
}

// One alternative against the whole text: '*' any run, '?' one character.
// Pieces between stars are matched at their leftmost occurrence, which is
// enough: a later occurrence never lets more of the pattern match.
bool MatchOne(const char* p, size_t plen, const char* t, size_t tlen) {
  const char* star = static_cast<const char*>(memchr(p, '*', plen));
  if (!star) return plen == tlen && PieceAt(p, plen, t);
  size_t head = size_t(star - p);
  if (head > tlen || !PieceAt(p, head, t)) return false;
  size_t pos = head;
  size_t i = head;
  // The tail after the last star must match the end of the text.
  size_t lastStar = plen;
  while (lastStar > 0 && p[lastStar - 1] != '*') --lastStar;
  size_t tail = plen - lastStar;
  while (i < lastStar) {
    while (i < lastStar && p[i] == '*') ++i;
    size_t j = i;
    while (j < lastStar && p[j] != '*') ++j;
    size_t m = j - i;
    if (m > 0) {
      bool found = false;
      for (; pos + m + tail <= tlen; ++pos) {
        if (PieceAt(p + i, m, t + pos)) {
          found = true;
          break;
        }
      }
      if (!found) return false;
      pos += m;
    }
    i = j;
  }
  if (pos + tail > tlen) return false;
  return PieceAt(p + lastStar, tail, t + tlen - tail);
}

// The text form of an entry's name: "NAME.EXT", "NAME", ".", "..".
void EntryText(const uint8_t* e, char* out) {
  size_t n = 0;
  for (size_t i = 0; i < 8 && e[i] != ' '; ++i) out[n++] = char(e[i]);
  if (n > 0 && uint8_t(out[0]) == kEntryE5Stored) out[0] = char(kEntryDeleted);
  size_t dot = n;
  out[n++] = '.';
  for (size_t i = 8; i < 11 && e[i] != ' '; ++i) out[n++] = char(e[i]);
  if (n == dot + 1) n = dot;
  out[n] = 0;
}

}  // namespace

int FAT_DEVICE::StringCheckFileName(char* name11) {
  static const char kForbidden[] = "\"*,/:;<>?\\|";
  for (int i = 0; i < 11 && name11[i]; ++i)
    if (strchr(kForbidden, name11[i])) return -1;
  return 0;
}

int FAT_DEVICE::NormalizeFileName(char* name, char* out) {
  memset(out, ' ', 11);
  auto invalid = [&] {
    lastError = -7;
    return -1;
  };
  if (!name) return invalid();
  size_t len = strlen(name);
  const char* dot = strrchr(name, '.');
  if (dot == name) {
    if (len != 1) return invalid();
    out[0] = '.';
  } else if (dot && dot[-1] == '.') {
    // Only ".." itself is the parent entry; "A.." is no 8.3 name.
    if (len != 2) return invalid();
    out[0] = out[1] = '.';
  } else if (dot) {
    size_t base = size_t(dot - name), ext = len - base - 1;
    if (base > 8 || ext > 3) return invalid();
    CopyUpper(out, name, base);
    CopyUpper(out + 8, dot + 1, ext);
  } else {
    if (len > 8) return invalid();
    CopyUpper(out, name, len);
  }
  if (StringCheckFileName(out) != 0) return invalid();
  // A live name that starts with 0xE5 (a GBK lead byte) is stored as 0x05,
  // or it would read as a deleted entry.
  if (uint8_t(out[0]) == kEntryDeleted) out[0] = char(kEntryE5Stored);
  return 0;
}

bool FAT_DEVICE::MatchPattern(const char* pattern, const char* text) {
  size_t tlen = strlen(text);
  const char* p = pattern;
  for (;;) {
    const char* comma = strchr(p, ',');
    size_t plen = comma ? size_t(comma - p) : strlen(p);
    if (plen > 0 && MatchOne(p, plen, text, tlen)) return true;
    if (!comma) return false;
    p = comma + 1;
  }
}

int FAT_DEVICE::MatchDirEntry(_FILE_FIND* find) {
  for (;;) {
    if (LoadDirEntry(find->nextIndex) != 0) return 0;
    ++find->nextIndex;
    const uint8_t* e = curPart->currentEntry;
    if (e[0] == kEntryEnd) return 0;
    if (e[0] == kEntryDeleted || e[kDirAttr] == kAttrLongName) continue;
    char text[14];
    EntryText(e, text);
    if (!MatchPattern(find->pattern, text)) continue;
    DirEntry d = DecodeDirEntry(e);
    find->attributes = d.attr;
    find->time = d.time;
    find->date = d.date;
    find->size = d.size;
    memcpy(find->name, text, sizeof find->name);
    return 1;
  }
}

int FAT_DEVICE::FindFirstFileA(char* pattern, _FILE_FIND* find) {
  if (!pattern || !find || strlen(pattern) >= sizeof find->pattern) return 0;
  if (!Ready()) return 0;
  memset(find, 0, sizeof *find);
  strcpy(find->pattern, pattern);
  find->nextIndex = 0;
  find->directory = curPart->currentDir;
  return MatchDirEntry(find);
}

int FAT_DEVICE::FindNextFileA(_FILE_FIND* find) {
  if (!find || !Ready()) return 0;
  uint32_t saved = curPart->currentDir;
  curPart->currentDir = find->directory;
  int r = MatchDirEntry(find);
  curPart->currentDir = saved;
  return r;
}
