// Pieces the POSIX and the Win32 halves of the host layer share (not part of
// the library's interface).
#pragma once

#include <cstdio>
#include <string>

#include "tervlink/host/host.h"

namespace host::detail {

// Lines from a C stream, converted from the console's set to GBK; a CR LF
// line end reads as LF.
class FileInput : public Input {
 public:
  FileInput(FILE* f, bool owned) : f_(f), owned_(owned) {}
  ~FileInput() override;
  bool ReadLine(char* buffer, int size) override;
  bool AtEnd() override;
  int ReadChar() override;

 private:
  FILE* f_;
  bool owned_;
};

// The operating system's sleep (Sleep() adds TERVAN_NO_WAIT and the test
// hook around it).
void PlatformSleep(uint32_t ms);
// Shows one fatal-error line ("Fatal Error: TEXT") where the platform shows
// them; ShowFatalError() has already dropped repeats.
void ShowFatalLine(const std::string& line);

}  // namespace host::detail
