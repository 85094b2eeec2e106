// Pieces the POSIX and the Win32 halves of the host layer share (not part of
// the library's interface): host/text_io.cc holds the platform-independent
// half of the console, each platform gives it the calls below.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

#include "tervlink/host/host.h"

namespace host::detail {

// Lines from a C stream (standard input or a batch file), converted from the
// console's set to GBK: a zero byte reads as a blank, a UTF-8 byte-order
// mark before the first line is dropped, a CR LF line end reads as LF.
class FileInput : public Input {
 public:
  FileInput(FILE* f, bool owned) : f_(f), owned_(owned) {}
  ~FileInput() override;
  bool ReadLine(char* buffer, int size) override;
  bool LineHadZero() const override { return zero_; }
  bool AtEnd() override;
  int ReadChar() override;
  bool IsTerminal() const override;

 private:
  FILE* f_;
  bool owned_;
  bool first_ = true;
  bool zero_ = false;
};

// The whole of a PC file, opened as OpenPcFileToRead opens one, into the
// room bytes at into (ReadWholePcFile, which keeps it quiet); length is set
// to its size. False when it cannot be opened or read, or does not fit.
bool ReadPcFileInto(const char* gbkName, char* into, uint64_t room, uint64_t& length);
// printf-style text of at most 1023 bytes (a message line or a reason).
std::string FormatLine(const char* fmt, va_list ap);
// True when the stream is a terminal or console a person types at.
bool StreamIsTerminal(FILE* f);
// Writes one line of GBK text, its "\n" included, to standard error in the
// console's character set (PrintError() has formatted it and flushed
// standard output).
void WriteErrorLine(std::string_view gbk);
// A file-system name in GBK; false when GBK cannot spell it (gbk then
// holds "?" for each character it lacks: a name to show, not to use).
bool FsNameToGbk(std::string_view name, std::string& gbk);
// The operating system's sleep (Sleep() adds TERVAN_NO_WAIT and the test
// hook around it).
void PlatformSleep(uint32_t ms);
// Runs the work SetDeviceWaitWork set, if any (the link, once a write has
// gone out).
void RunDeviceWaitWork();
// Milliseconds of the system's monotonic clock.
uint64_t MonotonicClockMs();
// Shows one fatal-error line ("Fatal Error: TEXT") where the platform shows
// them; ShowFatalError() has already dropped repeats.
void ShowFatalLine(const std::string& line);

}  // namespace host::detail
