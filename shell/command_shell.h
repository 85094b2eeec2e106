// CommandShell: the console program's one shell object.
//
// It reads a command line from its input, splits it into words, maps the
// first word to a command id through the command table and dispatches the
// id to its handler. Handlers print to the shell's output and return a
// result code:
//    1 done            0 leave the shell     -1 device or engine failure
//   -2 bad arguments or unmet precondition   -3 no handler for the id
//   -4 MD: name exists  -5 DEL/RD: no such name  -6 RD: not empty
//   -7 COPY: PC file cannot be opened  -8 COPY: no memory  -9 COPY: short read
//
// Each command group lives in its own source file (files.cc, sync.cc,
// disks.cc (with CHKDSK), settings.cc, registry.cc, media.cc, images.cc, nand.cc); the
// words-only commands are in builtins.cc and the help texts in help.cc.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "tervlink/fat_device.h"
#include "tervlink/records.h"
#include "tervlink/host/host.h"

// A PC file as the engine's data stream: a file opened to read (named, for
// the reason of a failed read) gives a device file's data; a PcFileWriter
// takes one. Unbuffered reads: the engine moves whole runs, and a stdio
// buffer would only add a copy. A failure sets the reason, naming the file.
class PcFileStream : public FileDataStream {
 public:
  PcFileStream(FILE* f, const char* name) : f_(f), name_(name) { setvbuf(f_, nullptr, _IONBF, 0); }
  explicit PcFileStream(host::PcFileWriter& writer) : writer_(&writer) {}
  bool Fill(char* into, uint32_t n) override;
  bool Take(const char* from, uint32_t n) override;

 private:
  FILE* f_ = nullptr;
  const char* name_ = "";
  host::PcFileWriter* writer_ = nullptr;
};

// The version line of --version and VER.
constexpr char kVersionLine[] = "Tervan v0.10 Date: May  8 2009\n";
// Every command name of docs/commands.md's "### " headings (the page that
// HELP <command> prints from), in page order.
std::vector<std::string> CommandDocNames();

class CommandShell {
 public:
  static constexpr int kMaxWords = 128;
  static constexpr int kLineBytes = 256;  // a line is read in pieces of 255 characters
  static constexpr int kPathBytes = 260;

  // fat: the engine (not owned); pcSyncDir: the default PC root of SYNC.
  CommandShell(FAT_DEVICE* fat, const char* pcSyncDir);
  virtual ~CommandShell();

  void SetStreams(host::Input* in, host::Output* out);
  // Reads one line (at most 255 characters) and splits it into words in
  // place. False at the end of the input. A longer line is reported (with
  // its line number in a batch) and read as an empty line: none of it runs.
  bool ReadCommandLine(int* count, char** words);
  // The command id of the first word; 0 for an empty line, -1 when unknown.
  int LookupCommand(int count, char** words);
  // Runs the handler of id; its result code (-3 when the id has none).
  // "COMMAND /?" prints the command's help instead. A command that needs a
  // file system fails (-1) on a partition without one, saying so; any
  // command but a disk or partition change leaves the user on the partition
  // where it started, even when it failed half way.
  int Dispatch(int id, int count, char** words);
  // True when partition part of the current disk (the current partition by
  // default) holds a FAT file system; otherwise false, with the reason set: what
  // it lacks and how to make it.
  bool HasFileSystem(int part = -1);
  // Prints "\n<disk>:<letter>:" and, once the engine is initialised, the
  // current directory and ">".
  void ShowPrompt();
  // The names of the command table, in table order (for completion).
  static std::vector<std::string> CommandNames();

  // Splits text in place into at most kMaxWords words: blanks and tabs
  // separate words; a carriage return or line feed where a word may start
  // begins an empty word. Returns the word count.
  static int SplitWords(char* text, char** words);

  // ---- command handlers: handler(count, words), words[0] the command ----
  // builtins.cc
  int CmdIdle(int argc, char** argv);
  int CmdEcho(int argc, char** argv);
  int CmdExit(int argc, char** argv);
  int CmdRem(int argc, char** argv);
  int CmdCls(int argc, char** argv);
  int CmdVerify(int argc, char** argv);
  // The one line of a command that is accepted and does nothing on this
  // device (on standard error, naming what); returns 1.
  int DoesNothingHere(const char* what);
  // help.cc
  int CmdHelp(int argc, char** argv);
  // The complete usage of the command named (any of its names), from
  // docs/commands.md; 1, or -2 after a message when no command has the name.
  int PrintCommandHelp(const char* name);
  // files.cc
  int CmdCd(int argc, char** argv);
  int CmdCopy(int argc, char** argv);
  int CmdDel(int argc, char** argv);
  int CmdDir(int argc, char** argv);
  int CmdMd(int argc, char** argv);
  int CmdRd(int argc, char** argv);
  int CmdRen(int argc, char** argv);
  int CmdDrive(int argc, char** argv);
  int CmdGetDir(int argc, char** argv);
  int CmdSetDir(int argc, char** argv);
  // file_tools.cc
  int CmdMove(int argc, char** argv);
  int CmdGet(int argc, char** argv);
  int CmdType(int argc, char** argv);
  int CmdComp(int argc, char** argv);
  int CmdReplace(int argc, char** argv);
  int CmdLabel(int argc, char** argv);
  // What GET brought and left behind; the device directories it has been
  // in (first clusters), so that a damaged disk's loop is walked once.
  struct GetCounts {
    unsigned files = 0;
    uint64_t bytes = 0;
    unsigned failed = 0;    // damaged, unreadable, unwritable
    unsigned existing = 0;  // PC files left as they were (no /Y)
    bool stopped = false;   // device failure or Ctrl-C
    std::vector<uint32_t> visited;
  };
  void GetFolder(const char* pattern, const std::string& folder, bool subdirs, bool overwrite,
                 GetCounts& counts);
  // sync.cc
  int CmdSync(int argc, char** argv);
  int SyncPartitions(int disk, const std::string& diskDir, bool toPc, unsigned flags);
  int SkippedResult(int skipped);
  // disks.cc
  int CmdSwitch(int argc, char** argv);
  int CmdPart(int argc, char** argv);
  int CmdChkdsk(int argc, char** argv);
  int CmdFormat(int argc, char** argv);
  int CmdLowFormat(int argc, char** argv);
  // Prints the question and reads the answer: Y or N, other keys ignored;
  // one key at a terminal, else the input's next characters. True for Y;
  // the end of the input or Ctrl-C answer N.
  bool Confirm(const char* question);
  int CmdShowTbl(int argc, char** argv);
  // settings.cc
  int CmdAlarm(int argc, char** argv);
  int CmdBeep(int argc, char** argv);
  int CmdCaps(int argc, char** argv);
  int CmdDate(int argc, char** argv);
  int CmdLocal(int argc, char** argv);
  int CmdReboot(int argc, char** argv);
  int CmdTimeZone(int argc, char** argv);
  int CmdTime(int argc, char** argv);
  int CmdVer(int argc, char** argv);
  void ShowClockTime(const _EZEL_SYSTEMTIME& t);
  // registry.cc
  int CmdRegedit(int argc, char** argv);
  // media.cc
  int CmdMci(int argc, char** argv);
  // images.cc
  int CmdBuildImage(int argc, char** argv);
  int CmdDownImage(int argc, char** argv);
  int CmdBuildSimuBin(int argc, char** argv);
  int CmdPakImage(int argc, char** argv);
  int CmdUnpakImage(int argc, char** argv);
  int CmdGetBlockTable(int argc, char** argv);
  int CmdUpdateImage(int argc, char** argv);
  // nand.cc
  int CmdBios(int argc, char** argv);
  int CmdReadBios(int argc, char** argv);
  int CmdSetEccMethod(int argc, char** argv);
  int CmdGetEccMethod(int argc, char** argv);
  int CmdSetEccRom(int argc, char** argv);
  int CmdGetEccRom(int argc, char** argv);
  int CmdSetBadBlockInfo(int argc, char** argv);
  int CmdGetBadBlockInfo(int argc, char** argv);
  int CmdNandInfo(int argc, char** argv);
  int CmdNandWrite(int argc, char** argv);
  int CmdNandRead(int argc, char** argv);
  int CmdNandErase(int argc, char** argv);
  int CmdNandMRead(int argc, char** argv);

  // nand.cc: the raw block commands' NAND information, block range check
  // and block buffer; 0 when ready, else the result code to return.
  int PrepareBlockIo(int block, std::vector<uint8_t>* buffer);
  // simubin.cc: true, after a message, when the output file is one of the
  // input files (the same file of the PC, however named); a command then
  // refuses before it touches any file.
  bool OutputIsInput(const char* output, std::initializer_list<const char*> inputs);
  // The same for the PC folder tree that SYNC copies from for the disk
  // (<PC sync dir>/Disk<n>): true, after a message, when the output file
  // lies inside it.
  bool OutputInSyncTree(const char* output, int disk);

  // printf-style output to the shell's output (GBK text).
  void Printf(const char* fmt, ...) TERVLINK_PRINTF(2, 3);
  // Text as it is (GBK, zero bytes included) to the shell's output.
  void Write(std::string_view gbk);
  // The device behind the engine.
  FAT_DEVICE_IO* Device() { return fat->pDevice; }

  // ---- members, in this order ----
  int batchMode = 0;     // 1 when the commands come from a batch file
  int nandDiskKind = 0;  // Switch's answer for the disk of the last good SWITCH
  char syncDiskDir[kPathBytes] = {};  // <PC dir>/Disk<n> while SYNC works
  char syncPartDir[kPathBytes] = {};  // <PC dir>/Disk<n>/<letter>
  char lineBuffer[kLineBytes] = {};
  uint8_t regBuffer[8192] = {};       // one registry value statement
  char pcSyncDir[kPathBytes] = {};    // default PC root of SYNC
  host::Input* input = nullptr;
  host::Output* output = nullptr;
  FAT_DEVICE* fat;
  int lineNumber = 0;  // lines read so far, for the message about a long line
  // --stop-on-error: the first failed command ends the run with status 1
  // (RunCommandLoop); a refused SWITCH in a batch then fails as well.
  bool stopOnError = false;
  // Commands of this run that failed (the loop counts them; a handler that
  // ends the run with a failure, as a refused SWITCH of a batch, adds one).
  int failures = 0;

 private:
  // Reads and drops the rest of a line cut at kLineBytes - 1 characters;
  // true when it held nothing but the line end.
  bool RestOfLineIsEmpty();
};
