// The platform-independent half of the console: the process-wide output,
// printf-style printing, the line sources, the replaceable sleep and the
// fatal-error line. The platform halves (posix/, win32/) give standard
// output and error, keys, the terminal test and the real sleep.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tervlink/host/host_internal.h"

namespace host {
namespace {

Output* g_out = nullptr;
Output* g_err = nullptr;

void RealSleep(uint32_t ms) {
  if (SettlingWaitsSkipped()) return;
  detail::PlatformSleep(ms);
}
SleepFn g_sleep = RealSleep;

std::mutex g_fatalLock;
std::string g_lastFatal;
bool g_fatalShown = false;

}  // namespace

Output& Out() { return g_out ? *g_out : StdOut(); }

Output* SetOut(Output* out) {
  Output* old = g_out;
  g_out = out;
  return old;
}

void VPrintTo(Output& out, const char* fmt, va_list ap) {
  char small[1024];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return;
  if (size_t(n) < sizeof small) {
    out.Write(std::string_view(small, n));
  } else {
    std::string big(size_t(n) + 1, '\0');
    vsnprintf(big.data(), big.size(), fmt, ap);
    out.Write(std::string_view(big.data(), n));
  }
  // Keep the console in step with the device's progress (and with standard
  // error) as a line-buffered terminal would.
  out.Pace();
}

void PrintTo(Output& out, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VPrintTo(out, fmt, ap);
  va_end(ap);
}

void Print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  VPrintTo(Out(), fmt, ap);
  va_end(ap);
}

std::string detail::FormatLine(const char* fmt, va_list ap) {
  char buf[1024];
  vsnprintf(buf, sizeof buf, fmt, ap);
  return buf;
}

void PrintError(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string buf = detail::FormatLine(fmt, ap);
  va_end(ap);
  // The lines of standard output printed so far come first, in a log that
  // takes both.
  Out().Flush();
  fflush(stdout);
  if (g_err) {
    g_err->Write(buf + "\n");
    return;
  }
  detail::WriteErrorLine(buf + "\n");
}

Output* SetErr(Output* err) {
  Output* old = g_err;
  g_err = err;
  return old;
}

bool StringInput::ReadLine(char* buffer, int size) {
  if (pos_ >= text_.size()) {
    end_ = true;
    return false;
  }
  size_t n = 0;
  zero_ = false;
  while (pos_ < text_.size() && n + 1 < size_t(size)) {
    char c = text_[pos_++];
    zero_ = zero_ || c == '\0';
    buffer[n++] = c ? c : ' ';
    if (c == '\n') break;
  }
  buffer[n] = '\0';
  if (pos_ >= text_.size() && buffer[n - 1] != '\n') end_ = true;
  return true;
}

int StringInput::ReadChar() {
  if (pos_ >= text_.size()) {
    end_ = true;
    return -1;
  }
  return uint8_t(text_[pos_++]);
}

namespace detail {

FileInput::~FileInput() {
  if (owned_ && f_) fclose(f_);
}

bool FileInput::ReadLine(char* buffer, int size) {
  // As fgets, except that a zero byte reads as a blank, so that the text of
  // a line never hides behind one (the reader looks for the line end), and
  // is noted: the reader refuses such a line.
  // Whoever answers must have seen everything printed so far.
  Out().Flush();
  int got = 0;
  zero_ = false;
  for (int c; got + 1 < size && (c = getc(f_)) != EOF;) {
    zero_ = zero_ || c == 0;
    buffer[got++] = c ? char(c) : ' ';
    if (c == '\n') break;
  }
  if (got == 0 || ferror(f_)) {
    // Ctrl-C at a terminal's prompt (the plain reader) clears the line: an
    // empty line, and the prompt again.
    if (ferror(f_) && errno == EINTR && IsTerminal() && size >= 2) {
      clearerr(f_);
      ClearInterrupt();
      strcpy(buffer, "\n");
      return true;
    }
    return false;
  }
  buffer[got] = '\0';
  // A file saved by a Windows editor as UTF-8 starts with a byte-order mark;
  // it is no part of the first command.
  if (first_) {
    first_ = false;
    if (strncmp(buffer, "\xEF\xBB\xBF", 3) == 0) memmove(buffer, buffer + 3, strlen(buffer + 3) + 1);
  }
  // Text mode, as on the PC the batch files come from: a CR LF line end
  // reads as LF.
  size_t len = strlen(buffer);
  if (len >= 2 && buffer[len - 2] == '\r' && buffer[len - 1] == '\n') {
    buffer[len - 2] = '\n';
    buffer[len - 1] = '\0';
  }
  std::string text = ConsoleToGbk(buffer);
  // Conversion to GBK never makes UTF-8 text longer; keep within the buffer.
  size_t n = std::min(text.size(), size_t(size - 1));
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return true;
}

bool FileInput::AtEnd() { return feof(f_) != 0; }

int FileInput::ReadChar() {
  Out().Flush();
  int c = fgetc(f_);
  if (c == EOF && ferror(f_) && errno == EINTR) clearerr(f_);  // Ctrl-C: no answer
  return c == EOF ? -1 : c;
}

bool FileInput::IsTerminal() const { return StreamIsTerminal(f_); }

}  // namespace detail

std::string LastErrorReason() { return FsToGbk(strerror(errno)); }

std::unique_ptr<Input> OpenInputFile(const char* gbkName) {
  // A folder opens on some systems and reads as nothing at all.
  if (Stat(gbkName).isDir) {
    errno = EISDIR;
    return nullptr;
  }
  FILE* f = OpenFile(gbkName, "rb");
  if (!f) return nullptr;
  return std::make_unique<detail::FileInput>(f, true);
}

// TERVAN_NO_WAIT=1 skips the settling waits: zelsim needs none, and the
// end-to-end tests run many start-ups.
bool SettlingWaitsSkipped() {
  static const bool noWait = [] {
    const char* v = getenv("TERVAN_NO_WAIT");
    return v && *v && strcmp(v, "0") != 0;
  }();
  return noWait;
}

void Sleep(uint32_t ms) { g_sleep(ms); }

SleepFn SetSleep(SleepFn fn) {
  SleepFn old = g_sleep;
  g_sleep = fn ? fn : RealSleep;
  return old;
}

void ShowFatalError(const char* text) {
  std::string t = text ? text : "";
  {
    std::lock_guard<std::mutex> lock(g_fatalLock);
    if (g_fatalShown && t == g_lastFatal) return;
    g_lastFatal = t;
    g_fatalShown = true;
  }
  detail::ShowFatalLine("Fatal Error: " + t);
}

void ClearFatalError() {
  std::lock_guard<std::mutex> lock(g_fatalLock);
  g_fatalShown = false;
  g_lastFatal.clear();
}

}  // namespace host
