// Text conversion between GBK and the host's character sets (iconv).

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <mutex>

#include "tervlink/host/host.h"
#include "tervlink/host/host_internal.h"

namespace host {
namespace {

// One conversion descriptor per direction and thread, opened on first use
// and kept: opening one (iconv_open looks the sets up) costs more than
// converting a line, and a command prints and names files by the thousand.
class Converter {
 public:
  Converter(const char* to, const char* from) : to_(to), from_(from) {}
  ~Converter() {
    if (cd_ != kNone) iconv_close(cd_);
    cd_ = kNone;  // a late print (an exit handler's) opens it again
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  // The descriptor in its initial shift state, or kNone when the sets are
  // not known here.
  iconv_t Get() {
    if (cd_ == kNone)
      cd_ = iconv_open(to_, from_);
    else
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return cd_;
  }
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

 private:
  const char* to_;
  const char* from_;
  iconv_t cd_ = kNone;
};

enum class Way { kGbkToUtf8, kUtf8ToGbk };

// Converts text from one set to the other. Returns false when the text is
// not valid in the source set or cannot be expressed in the target.
bool Convert(Way way, std::string_view in, std::string& out) {
  thread_local Converter toUtf8("UTF-8", "GBK"), toGbk("GBK", "UTF-8");
  iconv_t cd = (way == Way::kGbkToUtf8 ? toUtf8 : toGbk).Get();
  if (cd == Converter::kNone) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return false;
  out.resize(out.size() - dstLeft);
  return true;
}

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// True when the locale's character set is a GBK one, so text passes as is.
bool ConsoleIsGbk() {
  static bool gbk = [] {
    setlocale(LC_CTYPE, "");
    const char* cs = nl_langinfo(CODESET);
    for (const char* name : {"GBK", "GB2312", "GB18030", "CP936", "EUC-CN"})
      if (cs && strcasecmp(cs, name) == 0) return true;
    return false;
  }();
  return gbk;
}

// GBK text with invalid bytes: convert what can be converted, byte by byte
// for the rest, so nothing printed is ever lost.
std::string GbkToUtf8Lenient(std::string_view gbk) {
  std::string out, piece;
  size_t i = 0;
  while (i < gbk.size()) {
    unsigned char c = gbk[i];
    size_t n = (c >= 0x81 && c <= 0xFE && i + 1 < gbk.size()) ? 2 : 1;
    if (c < 0x80) {
      out.push_back(char(c));
    } else if (c == 0xFF) {
      out.push_back('?');  // a character GBK lacks (ConsoleToGbk's mark)
    } else if (Convert(Way::kGbkToUtf8, gbk.substr(i, n), piece)) {
      out += piece;
    } else {
      out.append(gbk.substr(i, n));
    }
    i += n;
  }
  return out;
}

}  // namespace

std::string GbkToConsole(std::string_view gbk) {
  if (IsAscii(gbk) || ConsoleIsGbk()) return std::string(gbk);
  std::string out;
  if (Convert(Way::kGbkToUtf8, gbk, out)) return out;
  return GbkToUtf8Lenient(gbk);
}

// The length of the UTF-8 sequence at text[i], or 0 when none starts there.
static size_t Utf8Length(std::string_view text, size_t i) {
  uint8_t c = uint8_t(text[i]);
  size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((uint8_t(text[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

std::string ConsoleToGbk(std::string_view text) {
  if (IsAscii(text) || ConsoleIsGbk()) return std::string(text);
  std::string out;
  if (Convert(Way::kUtf8ToGbk, text, out)) return out;
  // Valid UTF-8 with characters GBK lacks (Korean, emoji): each of those
  // becomes the byte 0xFF, which no GBK text holds, so that a name with one
  // is refused (SpellableInGbk) instead of being taken for other bytes.
  std::string marked, piece;
  for (size_t i = 0; i < text.size();) {
    size_t n = Utf8Length(text, i);
    if (n == 0) return std::string(text);  // not UTF-8: a GBK batch file
    if (n == 1)
      marked.push_back(text[i]);
    else if (Convert(Way::kUtf8ToGbk, text.substr(i, n), piece))
      marked += piece;
    else
      marked.push_back('\xFF');
    i += n;
  }
  return marked;
}

std::string GbkToFs(std::string_view gbk) {
  if (IsAscii(gbk)) return std::string(gbk);
  std::string out;
  if (Convert(Way::kGbkToUtf8, gbk, out)) return out;
  return std::string(gbk);
}

std::string FsToGbk(std::string_view name) {
  std::string out;
  if (!detail::FsNameToGbk(name, out)) return std::string(name);
  return out;
}

namespace detail {

bool FsNameToGbk(std::string_view name, std::string& gbk) {
  if (IsAscii(name)) {
    gbk.assign(name);
    return true;
  }
  if (Convert(Way::kUtf8ToGbk, name, gbk)) return true;
  // For messages: what GBK can spell, and "?" for each character it cannot.
  gbk.clear();
  std::string piece;
  for (size_t i = 0; i < name.size();) {
    size_t n = Utf8Length(name, i);
    if (n == 0) n = 1;
    if (n == 1 && uint8_t(name[i]) < 0x80)
      gbk.push_back(name[i]);
    else if (n > 1 && Convert(Way::kUtf8ToGbk, name.substr(i, n), piece))
      gbk += piece;
    else
      gbk.push_back('?');
    i += n;
  }
  return false;
}

}  // namespace detail

}  // namespace host
