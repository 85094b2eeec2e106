// Small text helpers for the system's ASCII words (command names, option
// words): comparisons that ignore the case of ASCII letters only, so GBK
// bytes are compared as they are.
#pragma once

#include <cstddef>

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

}  // namespace text
