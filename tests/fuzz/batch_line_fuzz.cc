// The batch file reader: the fuzzer's bytes as a batch file, read line by
// line the way Tervan runs one (words split, command looked up); ECHO and
// REM, which touch nothing, are also run. Each word must be a run of
// characters without blanks, and a line gives at most kMaxWords words.

#include <cstring>

#include "command_shell.h"
#include "fuzz_support.h"
#include "../support/fake_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFolder folder("batch");
  std::string path = folder.Put("run.bat", data, size);
  std::unique_ptr<host::Input> batch = host::OpenInputFile(path.c_str());
  FUZZ_CHECK(batch != nullptr);
  // One device, engine and shell serve every input; a batch starts at its
  // first line. The engine is megabytes.
  static FailingDevice dev;
  static FAT_DEVICE* const fat = new FAT_DEVICE(&dev);
  static CommandShell* const shell = new CommandShell(fat, ".");
  host::StringOutput quiet;
  shell->SetStreams(batch.get(), &quiet);
  shell->batchMode = 1;
  shell->lineNumber = 0;
  char* words[CommandShell::kMaxWords];
  int count = 0;
  size_t lines = 0;
  while (shell->ReadCommandLine(&count, words)) {
    FUZZ_CHECK(++lines <= size + 1);  // every line consumes input
    FUZZ_CHECK(count >= 0 && count <= CommandShell::kMaxWords);
    for (int i = 0; i < count; ++i) {
      FUZZ_CHECK(words[i] >= shell->lineBuffer && words[i] < shell->lineBuffer + CommandShell::kLineBytes);
      FUZZ_CHECK(!strpbrk(words[i], " \t"));
    }
    int id = shell->LookupCommand(count, words);
    FUZZ_CHECK(id >= -1 && id <= 70);
    if (id == 12 || id == 24) FUZZ_CHECK(shell->Dispatch(id, count, words) == 1);  // ECHO, REM
  }
  return 0;
}

std::vector<std::pair<std::string, std::string>> FuzzSeeds() {
  std::string longRem = "REM " + std::string(300, 'x') + " FORMAT\r\n";
  return {
      {"plain.bat", "REM a demo\r\nECHO hello world\r\nDIR\r\nCD \\SUB\r\nEXIT\r\n"},
      {"blanks.bat", "  \t ECHO   a\t\tb  \n\n\r\nECHO\n   \nQ"},
      {"long.bat", longRem + "ECHO after\n"},
      {"many.bat", "ECHO" + std::string(200, ' ') + "\nECHO a b c d e f g h i j k l m n o p q r s t u v w x y z\n"},
      {"gbk.bat", "ECHO \xD6\xD0\xCE\xC4\r\nREM \xB2\xE2\xCA\xD4\r\nSYNC /DZEL2PC\r\n"},
  };
}
