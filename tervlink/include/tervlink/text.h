// Small text helpers for the system's ASCII words (command names, option
// words): comparisons that ignore the case of ASCII letters only, so GBK
// bytes are compared as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace text {

inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// True when a and b are equal ignoring the case of ASCII letters.
inline bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (UpperAscii(*a) != UpperAscii(*b)) return false;
  return *a == *b;
}

// True when the first n characters of a and b are equal ignoring case (both
// must have at least n characters, or end at the same place).
inline bool EqualNoCaseN(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}

// The text of an 11-character directory entry form ("NAME    EXT" ->
// "NAME.EXT", "NAME       " -> "NAME"), as the engine's listing shows it.
inline std::string EntryText(const char* name11) {
  std::string s;
  for (int i = 0; i < 8 && name11[i] != ' '; ++i) s += name11[i];
  if (!s.empty() && uint8_t(s[0]) == 0x05) s[0] = char(0xE5);
  if (name11[8] != ' ') {
    s += '.';
    for (int i = 8; i < 11 && name11[i] != ' '; ++i) s += name11[i];
  }
  return s;
}

}  // namespace text
