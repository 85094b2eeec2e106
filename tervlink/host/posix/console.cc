// Console output and input, the line sources, key reads and the sleep.

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tervlink/host/host.h"
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
};

Output* g_out = nullptr;

// Lines from a C stream, converted from the console's set to GBK.
class FileInput : public Input {
 public:
  FileInput(FILE* f, bool owned) : f_(f), owned_(owned) {}
  ~FileInput() override {
    if (owned_ && f_) fclose(f_);
  }
  bool ReadLine(char* buffer, int size) override {
    // As fgets, except that a zero byte reads as a blank, so that the text
    // of a line never hides behind one (the reader looks for the line end).
    int got = 0;
    for (int c; got + 1 < size && (c = getc(f_)) != EOF;) {
      buffer[got++] = c ? char(c) : ' ';
      if (c == '\n') break;
    }
    if (got == 0 || ferror(f_)) {
      // Ctrl-C at a terminal's prompt (the plain reader) clears the line:
      // an empty line, and the prompt again.
      if (ferror(f_) && errno == EINTR && IsTerminal() && size >= 2) {
        clearerr(f_);
        ClearInterrupt();
        strcpy(buffer, "\n");
        return true;
      }
      return false;
    }
    buffer[got] = '\0';
    // A file saved by a Windows editor as UTF-8 starts with a byte-order
    // mark; it is no part of the first command.
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
  bool AtEnd() override { return feof(f_) != 0; }
  int ReadChar() override {
    int c = fgetc(f_);
    if (c == EOF && ferror(f_) && errno == EINTR) clearerr(f_);  // Ctrl-C: no answer
    return c == EOF ? -1 : c;
  }
  bool IsTerminal() const override { return isatty(fileno(f_)) == 1; }

 private:
  FILE* f_;
  bool owned_;
  bool first_ = true;
};

void OnInterrupt(int) { RequestInterrupt(); }

void RealSleep(uint32_t ms) {
  // TERVAN_NO_WAIT=1 skips the settling waits: zelsim needs none, and the
  // end-to-end tests run many start-ups.
  static const bool noWait = [] {
    const char* v = getenv("TERVAN_NO_WAIT");
    return v && *v && strcmp(v, "0") != 0;
  }();
  if (noWait) return;
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}
SleepFn g_sleep = RealSleep;

}  // namespace

Output& StdOut() {
  static StdOutput out;
  return out;
}

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
  out.Flush();
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

bool StringInput::ReadLine(char* buffer, int size) {
  if (pos_ >= text_.size()) {
    end_ = true;
    return false;
  }
  size_t n = 0;
  while (pos_ < text_.size() && n + 1 < size_t(size)) {
    char c = text_[pos_++];
    buffer[n++] = c;
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

Input& StdIn() {
  static std::unique_ptr<Input> in = [] {
    std::unique_ptr<Input> editor = isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1
                                        ? MakeLineEditor()
                                        : nullptr;
    return editor ? std::move(editor) : std::unique_ptr<Input>(new FileInput(stdin, false));
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


std::unique_ptr<Input> OpenInputFile(const char* gbkName) {
  FILE* f = OpenFile(gbkName, "r");
  if (!f) return nullptr;
  return std::make_unique<FileInput>(f, true);
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

void Sleep(uint32_t ms) { g_sleep(ms); }

SleepFn SetSleep(SleepFn fn) {
  SleepFn old = g_sleep;
  g_sleep = fn ? fn : RealSleep;
  return old;
}

}  // namespace host
