// Standard output and error, keys (_kbhit/_getch), the console test, the
// sleep and the fatal-error line on Windows; host/text_io.cc holds what both
// platforms share.
//
// A console gets UTF-16 (WriteConsoleW). Redirected output is written
// unchanged byte for byte in the console's output code page (see
// encoding.cc), with "\n" line ends as on Linux, so a transcript taken on
// Windows compares with one taken on Linux.

#include "windows_api.h"
#include <conio.h>
#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <cstring>

#include "tervlink/host/host_internal.h"
#include "win32_text.h"

namespace host {
namespace {

bool IsConsole(DWORD which) {
  HANDLE h = GetStdHandle(which);
  DWORD mode = 0;
  return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

// Writes GBK text to standard output or error: UTF-16 to a console, the
// code page's bytes otherwise.
void WriteStd(DWORD which, FILE* stream, std::string_view gbk) {
  if (IsConsole(which)) {
    fflush(stream);
    std::wstring wide = win32::GbkToWide(gbk);
    const wchar_t* p = wide.data();
    size_t left = wide.size();
    while (left > 0) {
      DWORD n = 0;
      DWORD chunk = DWORD(left < 8192 ? left : 8192);
      if (!WriteConsoleW(GetStdHandle(which), p, chunk, &n, nullptr) || n == 0) break;
      p += n;
      left -= n;
    }
    return;
  }
  // Binary mode: "\n" stays "\n", as the Linux transcripts have it.
  static const bool binary = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
  }();
  (void)binary;
  std::string text = GbkToConsole(gbk);
  fwrite(text.data(), 1, text.size(), stream);
}

class StdOutput : public Output {
 public:
  void Write(std::string_view gbk) override { WriteStd(STD_OUTPUT_HANDLE, stdout, gbk); }
  void Flush() override { fflush(stdout); }
};

// True when someone sits at a desktop to answer a message box: the window
// station is an interactive one and standard error is a console (a script,
// a service or a test redirects it, and then the line is all they get).
bool DesktopUser() {
  if (!IsConsole(STD_ERROR_HANDLE)) return false;
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr))
    return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

namespace detail {

// A console (GetConsoleMode): the C runtime's _isatty also holds for NUL
// and other character devices, where nobody types and _getch would wait
// for ever.
bool StreamIsTerminal(FILE* f) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
}

void PlatformSleep(uint32_t ms) { ::Sleep(ms); }

uint64_t MonotonicClockMs() { return uint64_t(GetTickCount64()); }

void WriteErrorLine(std::string_view gbk) {
  WriteStd(STD_ERROR_HANDLE, stderr, gbk);
  fflush(stderr);
}

void ShowFatalLine(const std::string& line) {
  PrintError("%s", line.c_str());
  if (DesktopUser()) {
    std::wstring text = win32::GbkToWide(line);
    MessageBoxW(nullptr, text.c_str(), L"Tervan", MB_OK | MB_ICONERROR);
  }
}

}  // namespace detail

Output& StdOut() {
  static StdOutput out;
  return out;
}

Input& StdIn() {
  static detail::FileInput in(stdin, false);
  return in;
}

bool StdinIsTerminal() { return detail::StreamIsTerminal(stdin); }

void ClearTerminal() {
  HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!IsConsole(STD_OUTPUT_HANDLE) || !GetConsoleScreenBufferInfo(h, &info)) return;
  fflush(stdout);
  DWORD cells = DWORD(info.dwSize.X) * DWORD(info.dwSize.Y), done = 0;
  COORD home = {0, 0};
  FillConsoleOutputCharacterW(h, L' ', cells, home, &done);
  FillConsoleOutputAttribute(h, info.wAttributes, cells, home, &done);
  SetConsoleCursorPosition(h, home);
}

int KeyHit() {
  if (!StdinIsTerminal()) return 1;
  return _kbhit() ? 1 : 0;
}

int GetKey() {
  fflush(stdout);
  if (!StdinIsTerminal()) {
    unsigned char c = 0;
    return _read(_fileno(stdin), &c, 1) == 1 ? c : -1;
  }
  int c = _getch();
  // A function or arrow key comes as two codes; its second half is no answer.
  if (c == 0 || c == 0xE0) {
    _getch();
    return 0;
  }
  return c;
}

}  // namespace host
