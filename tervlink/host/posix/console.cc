// Standard output and error, keys from the terminal and the sleep.

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tervlink/host/host_internal.h"

namespace host {
namespace {

class StdOutput : public Output {
 public:
  void Write(std::string_view gbk) override {
    std::string text = GbkToConsole(gbk);
    fwrite(text.data(), 1, text.size(), stdout);
  }
  void Flush() override { fflush(stdout); }
};

}  // namespace

namespace detail {

void PlatformSleep(uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

void ShowFatalLine(const std::string& line) { PrintError("%s", line.c_str()); }

}  // namespace detail

Output& StdOut() {
  static StdOutput out;
  return out;
}

void PrintError(const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  fflush(stdout);
  std::string text = GbkToConsole(buf);
  fprintf(stderr, "%s\n", text.c_str());
  fflush(stderr);
}

Input& StdIn() {
  static detail::FileInput in(stdin, false);
  return in;
}

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

int KeyHit() {
  if (!StdinIsTerminal()) return 1;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, 0) > 0 ? 1 : 0;
}

int GetKey() {
  fflush(stdout);
  unsigned char c = 0;
  if (!StdinIsTerminal()) return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
  termios old{};
  tcgetattr(STDIN_FILENO, &old);
  termios raw = old;
  raw.c_lflag &= ~(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  ssize_t n = read(STDIN_FILENO, &c, 1);
  tcsetattr(STDIN_FILENO, TCSANOW, &old);
  return n == 1 ? c : -1;
}

}  // namespace host
