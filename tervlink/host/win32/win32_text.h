// Text conversions of the Win32 host layer: GBK (code page 936) and UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace host::win32 {

constexpr unsigned kGbkCodePage = 936;

// GBK -> UTF-16. Bytes that are not GBK become U+FFFD one by one, so
// nothing printed is lost silently.
std::wstring GbkToWide(std::string_view gbk);
// UTF-16 -> GBK; characters GBK lacks become '?'.
std::string WideToGbk(std::wstring_view wide);
// The same with another code page (CP_UTF8 included).
std::wstring ToWide(unsigned codePage, std::string_view text, bool strict, bool* ok = nullptr);
std::string FromWide(unsigned codePage, std::wstring_view wide, bool* lossless = nullptr);

}  // namespace host::win32
