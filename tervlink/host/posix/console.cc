// Standard output and error, standard input (the line editor at a
// terminal), key reads, the terminal test, the sleep and the fatal-error
// line on POSIX; host/text_io.cc holds what both platforms share.

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "tervlink/host/host.h"
#include "tervlink/host/host_internal.h"
#include "tervlink/host/posix/line_editor.h"

namespace host {
namespace {

class StdOutput : public Output {
 public:
  void Write(std::string_view gbk) override {
    std::string text = GbkToConsole(gbk);
    fwrite(text.data(), 1, text.size(), stdout);
  }
  void Flush() override { fflush(stdout); }
  // Into a file or a pipe the messages go in large pieces, not one write each.
  void Pace() override {
    if (terminal_) fflush(stdout);
  }

 private:
  bool terminal_ = isatty(STDOUT_FILENO) == 1;
};

void OnInterrupt(int) { RequestInterrupt(); }

}  // namespace

namespace detail {

bool StreamIsTerminal(FILE* f) { return isatty(fileno(f)) == 1; }

void PlatformSleep(uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

uint64_t MonotonicClockMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000;
}

void WriteErrorLine(std::string_view gbk) {
  std::string text = GbkToConsole(gbk);
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

void ShowFatalLine(const std::string& line) { PrintError("%s", line.c_str()); }

}  // namespace detail

Output& StdOut() {
  static StdOutput out;
  return out;
}

Input& StdIn() {
  static std::unique_ptr<Input> in = [] {
    std::unique_ptr<Input> editor = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1
                                        ? MakeLineEditor()
                                        : nullptr;
    return editor ? std::move(editor) : std::unique_ptr<Input>(new detail::FileInput(stdin, false));
  }();
  return *in;
}

void InstallInterruptHandler() {
  struct sigaction sa{};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a read of the prompt returns at once
  sigaction(SIGINT, &sa, nullptr);
}

bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

void ClearTerminal() {
  if (isatty(STDOUT_FILENO) != 1) return;
  static const char kClear[] = "\033[H\033[2J";
  fflush(stdout);
  fwrite(kClear, 1, sizeof kClear - 1, stdout);
  fflush(stdout);
}

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
