// Text conversion between GBK, UTF-16 and the console's code page.
//
// Printed text goes to a console as UTF-16 (WriteConsoleW), so Chinese shows
// whatever the console's code page is; redirected output is written in the
// console's output code page (GetConsoleOutputCP, the one `chcp` sets; the
// ANSI code page when there is no console). File names are UTF-16 on
// Windows: GbkToFs/FsToGbk give and take UTF-8, and the file calls convert
// GBK to UTF-16 themselves.

#include "windows_api.h"

#include "tervlink/host/host.h"
#include "win32_text.h"

namespace host {
namespace win32 {

std::wstring ToWide(unsigned codePage, std::string_view text, bool strict, bool* ok) {
  if (ok) *ok = true;
  if (text.empty()) return std::wstring();
  DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  int n = MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), nullptr, 0);
  if (n <= 0) {
    if (ok) *ok = false;
    return std::wstring();
  }
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), int(text.size()), out.data(), n);
  return out;
}

std::string FromWide(unsigned codePage, std::wstring_view wide, bool* lossless) {
  if (lossless) *lossless = true;
  if (wide.empty()) return std::string();
  // UTF-8 and UTF-7 refuse the "default character used" flag.
  bool unicode = codePage == CP_UTF8 || codePage == CP_UTF7;
  BOOL usedDefault = FALSE;
  BOOL* used = unicode ? nullptr : &usedDefault;
  int n = WideCharToMultiByte(codePage, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr,
                              used);
  if (n <= 0) {
    if (lossless) *lossless = false;
    return std::string();
  }
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, used);
  if (lossless && usedDefault) *lossless = false;
  return out;
}

std::wstring GbkToWide(std::string_view gbk) {
  bool ok = false;
  std::wstring out = ToWide(kGbkCodePage, gbk, true, &ok);
  if (ok) return out;
  // Convert character by character so that one bad byte costs one mark.
  out.clear();
  size_t i = 0;
  while (i < gbk.size()) {
    unsigned char c = gbk[i];
    size_t n = (c >= 0x81 && c <= 0xFE && i + 1 < gbk.size()) ? 2 : 1;
    if (c < 0x80) {
      out.push_back(wchar_t(c));
    } else {
      std::wstring piece = ToWide(kGbkCodePage, gbk.substr(i, n), true, &ok);
      out += ok ? piece : std::wstring(1, L'\xFFFD');
    }
    i += n;
  }
  return out;
}

std::string WideToGbk(std::wstring_view wide) { return FromWide(kGbkCodePage, wide); }

}  // namespace win32

namespace {

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// The code page text read from or written to redirected standard streams is in.
unsigned StreamCodePage() {
  UINT cp = GetConsoleOutputCP();
  return cp ? cp : GetACP();
}

}  // namespace

std::string GbkToConsole(std::string_view gbk) {
  unsigned cp = StreamCodePage();
  if (IsAscii(gbk) || cp == win32::kGbkCodePage) return std::string(gbk);
  return win32::FromWide(cp, win32::GbkToWide(gbk));
}

std::string ConsoleToGbk(std::string_view text) {
  if (IsAscii(text)) return std::string(text);
  // Text that is valid UTF-8 (a batch file saved as UTF-8, as on Linux) or
  // valid in the console's code page is converted; anything else is taken
  // as GBK already.
  for (unsigned cp : {unsigned(CP_UTF8), StreamCodePage()}) {
    if (cp == win32::kGbkCodePage) return std::string(text);
    bool ok = false, lossless = false;
    std::wstring wide = win32::ToWide(cp, text, true, &ok);
    if (!ok) continue;
    std::string gbk = win32::FromWide(win32::kGbkCodePage, wide, &lossless);
    if (lossless) return gbk;
  }
  return std::string(text);
}

std::string GbkToFs(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  return win32::FromWide(CP_UTF8, win32::GbkToWide(gbk));
}

std::string FsToGbk(std::string_view name) {
  if (IsAscii(name)) return std::string(name);
  bool ok = false;
  std::wstring wide = win32::ToWide(CP_UTF8, name, true, &ok);
  return ok ? win32::WideToGbk(wide) : std::string(name);
}

}  // namespace host
