// File names: the 8.3 entry form, wildcard patterns, and the find-first /
// find-next listing of a directory.

#include <cctype>
#include <cstring>
#include <vector>

#include "tervlink/bytes.h"
#include "tervlink/fat_device.h"
#include "tervlink/fat_device/fat_layout.h"

using namespace fatfmt;

namespace {

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

// The role of each byte of a GBK text: 0 a single-byte character, 1 the
// lead byte of a double-byte character, 2 its trail byte. A trail byte can
// be an ASCII letter (丄 is 0x81 0x41), so case folds only kind 0.
void ByteKinds(const char* s, size_t n, uint8_t* kinds) {
  for (size_t i = 0; i < n; ++i) {
    if (IsGbkLead(uint8_t(s[i])) && i + 1 < n) {
      kinds[i] = 1;
      kinds[i + 1] = 2;
      ++i;
    } else {
      kinds[i] = 0;
    }
  }
}

// A text with the kinds of its bytes.
struct Run {
  const char* s;
  const uint8_t* k;
  Run at(size_t i) const { return {s + i, k + i}; }
};

// '?' matches any one byte; other bytes match a byte of the same kind,
// single-byte letters without regard to case, lead and trail bytes exactly.
bool CharMatches(Run p, Run t) {
  if (*p.s == '?' && *p.k == 0) return true;
  if (*p.k != *t.k) return false;
  return *p.k == 0 ? Lower(*p.s) == Lower(*t.s) : *p.s == *t.s;
}

// True when text[0..m) matches pattern piece p[0..m).
bool PieceAt(Run p, size_t m, Run text) {
  for (size_t i = 0; i < m; ++i)
    if (!CharMatches(p.at(i), text.at(i))) return false;
  return true;
}

// One alternative against the whole text: '*' any run, '?' one byte.
// Pieces between stars are matched at their leftmost occurrence, which is
// enough: a later occurrence never lets more of the pattern match.
bool MatchOne(const char* pattern, size_t plen, const char* text, size_t tlen) {
  // Listings match short names against short patterns: no allocation then.
  uint8_t pShort[64], tShort[64];
  std::vector<uint8_t> pLong, tLong;
  uint8_t* pk = plen < sizeof pShort ? pShort : (pLong.resize(plen), pLong.data());
  uint8_t* tk = tlen < sizeof tShort ? tShort : (tLong.resize(tlen), tLong.data());
  ByteKinds(pattern, plen, pk);
  ByteKinds(text, tlen, tk);
  const Run p{pattern, pk}, t{text, tk};
  const char* star = static_cast<const char*>(memchr(pattern, '*', plen));
  if (!star) return plen == tlen && PieceAt(p, plen, t);
  size_t head = size_t(star - pattern);
  if (head > tlen || !PieceAt(p, head, t)) return false;
  size_t pos = head;
  size_t i = head;
  // The tail after the last star must match the end of the text.
  size_t lastStar = plen;
  while (lastStar > 0 && pattern[lastStar - 1] != '*') --lastStar;
  size_t tail = plen - lastStar;
  while (i < lastStar) {
    while (i < lastStar && pattern[i] == '*') ++i;
    size_t j = i;
    while (j < lastStar && pattern[j] != '*') ++j;
    size_t m = j - i;
    if (m > 0) {
      bool found = false;
      for (; pos + m + tail <= tlen; ++pos) {
        if (PieceAt(p.at(i), m, t.at(pos))) {
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
  return PieceAt(p.at(lastStar), tail, t.at(tlen - tail));
}

}  // namespace

namespace fatfmt {

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

void FoldCase(char* text, size_t n) { CopyUpper(text, text, n); }

}  // namespace fatfmt

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
  // Blanks and control bytes have no place in an 8.3 name: an entry "MY FILE"
  // would list as "MY" and could not be named again.
  for (size_t i = 0; i < len; ++i) {
    uint8_t c = uint8_t(name[i]);
    if (c <= ' ' || c == 0x7F) return invalid();
  }
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
    // One dot only: "A.B     C  " is no 8.3 name (and fsck.fat says so).
    if (base > 8 || ext > 3 || memchr(name, '.', base)) return invalid();
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

int FAT_DEVICE::NormalizeLabel(const char* text, char* out11) {
  static const char kForbidden[] = "\"*+,./:;<=>?[\\]|";
  size_t len = text ? strlen(text) : 0;
  if (len == 0 || len > 11 || text[0] == ' ') {
    lastError = -7;
    return -1;
  }
  uint8_t kinds[11];
  ByteKinds(text, len, kinds);
  for (size_t i = 0; i < len; ++i) {
    uint8_t c = uint8_t(text[i]);
    // A lead byte without its trail byte would leave half a character.
    if ((c < ' ' || c == 0x7F) || (kinds[i] == 0 && strchr(kForbidden, c)) ||
        (i + 1 == len && IsGbkLead(c) && kinds[i] == 0)) {
      lastError = -7;
      return -1;
    }
  }
  memset(out11, ' ', 11);
  CopyUpper(out11, text, len);
  if (uint8_t(out11[0]) == kEntryDeleted) out11[0] = char(kEntryE5Stored);
  return 0;
}

bool FAT_DEVICE::CreatableName(const char* name11) {
  uint8_t first = uint8_t(name11[0]);
  if (first == ' ' || first == kEntryEnd || first == kEntryDeleted || first == '.') return false;
  for (int i = 0; i < 11; ++i) {
    uint8_t c = uint8_t(name11[i]);
    if ((c < ' ' && !(i == 0 && c == kEntryE5Stored)) || c == 0x7F) return false;
  }
  // The name must come back from its own listing text: no blank inside a
  // part, no dot, nothing the name rules would change.
  char text[14], again[12] = {};
  EntryText(reinterpret_cast<const uint8_t*>(name11), text);
  int saved = lastError;
  bool same = NormalizeFileName(text, again) == 0 && memcmp(again, name11, 11) == 0;
  lastError = saved;
  return same;
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
  // A plain name in a held directory is looked up, not searched for: the
  // walk below then starts at the entry found.
  uint32_t slot;
  int indexed = FindIndexed(find->pattern, find->nextIndex, &slot);
  if (indexed == 0) return 0;
  if (indexed == 1) find->nextIndex = slot;
  // The caller may have used the directory buffer since the last call: the
  // first entry is loaded afresh.
  for (bool first = true;; first = false) {
    if (ScanDirEntry(find->nextIndex, first) != 0) return 0;
    ++find->nextIndex;
    const uint8_t* e = curPart->currentEntry;
    if (e[0] == kEntryEnd) return 0;
    // Long-name fragments and the volume label are no files.
    if (e[0] == kEntryDeleted || (e[kDirAttr] & kAttrVolume)) continue;
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
