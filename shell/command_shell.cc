// The command reader, the command table and the dispatcher.

#include "command_shell.h"
#include "tervlink/text.h"

#include <cerrno>
#include <cstring>

namespace {

// One row of the command table: the upper-case name, its length and the id.
struct CommandEntry {
  const char* name;
  uint8_t length;
  uint8_t id;
};

constexpr CommandEntry kCommands[] = {
    {"ALARM", 5, 36},        {"AT", 2, 1},             {"BEEP", 4, 38},
    {"BIOS", 4, 2},          {"CAPS", 4, 37},          {"CD", 2, 3},
    {"CHDIR", 5, 4},         {"CHKDSK", 6, 5},         {"CLS", 3, 6},
    {"COMP", 4, 7},          {"COPY", 4, 8},           {"D", 1, 11},
    {"DATE", 4, 9},          {"DEL", 3, 10},           {"DIR", 3, 11},
    {"ECHO", 4, 12},         {"EXIT", 4, 13},          {"FC", 2, 14},
    {"FORMAT", 6, 15},       {"H", 1, 16},             {"HELP", 4, 16},
    {"LABEL", 5, 17},        {"LOCAL", 5, 42},         {"MCI", 3, 40},
    {"MD", 2, 18},           {"MKDIR", 5, 19},         {"MOVE", 4, 20},
    {"PART", 4, 21},         {"Q", 1, 13},             {"QUIT", 4, 13},
    {"RD", 2, 22},           {"REBOOT", 6, 43},        {"REGEDIT", 7, 23},
    {"REM", 3, 24},          {"REN", 3, 25},           {"RENAME", 6, 25},
    {"REPLACE", 7, 27},      {"RMDIR", 5, 22},         {"RTOS", 4, 29},
    {"SYNC", 4, 30},         {"LOWFORMAT", 9, 31},     {"TEST", 4, 32},
    {"TIME", 4, 33},         {"TIMEZONE", 8, 39},      {"VER", 3, 34},
    {"VERIFY", 6, 35},       {"SWITCH", 6, 44},        {"C:", 2, 45},
    {"D:", 2, 46},           {"E:", 2, 47},            {"F:", 2, 48},
    {"READBIOS", 8, 49},     {"SHOWTBL", 7, 50},       {"BUILDIMAGE", 10, 51},
    {"DOWNIMAGE", 9, 52},    {"BUILDSIMUBIN", 12, 53}, {"SETECCMETHOD", 12, 54},
    {"GETECCMETHOD", 12, 55}, {"SETECCROM", 9, 56},    {"GETECCROM", 9, 57},
    {"SETBADBLOCKINFO", 15, 58}, {"GETBADBLOCKINFO", 15, 59}, {"NANDINFO", 8, 60},
    {"NANDWRITE", 9, 61},    {"NANDREAD", 8, 62},      {"NANDERASE", 9, 63},
    {"GETDIR", 6, 64},       {"SETDIR", 6, 65},        {"NANDMREAD", 9, 66},
    {"PAKIMAGE", 8, 67},     {"UNPAKIMAGE", 10, 68},   {"GETBLOCKTABLE", 13, 69},
    {"UPDATEIMAGE", 11, 70}, {"GET", 3, 71},           {"TYPE", 4, 72},
};

using Handler = int (CommandShell::*)(int, char**);
constexpr int kMaxId = 72;

// Handlers by command id. Ids 26 and 28, which no name carries, reach the
// REN and RD handlers.
struct HandlerTable {
  Handler byId[kMaxId + 1] = {};
  constexpr HandlerTable() {
    // Id 0 is the empty line; the others are accepted and do nothing.
    for (int id : {0, 1, 29, 32}) byId[id] = &CommandShell::CmdIdle;
    byId[2] = &CommandShell::CmdBios;
    byId[3] = byId[4] = &CommandShell::CmdCd;
    byId[5] = &CommandShell::CmdChkdsk;
    byId[6] = &CommandShell::CmdCls;
    byId[7] = byId[14] = &CommandShell::CmdComp;
    byId[8] = &CommandShell::CmdCopy;
    byId[9] = &CommandShell::CmdDate;
    byId[10] = &CommandShell::CmdDel;
    byId[11] = &CommandShell::CmdDir;
    byId[12] = &CommandShell::CmdEcho;
    byId[13] = &CommandShell::CmdExit;
    byId[15] = &CommandShell::CmdFormat;
    byId[16] = &CommandShell::CmdHelp;
    byId[18] = byId[19] = &CommandShell::CmdMd;
    byId[17] = &CommandShell::CmdLabel;
    byId[20] = &CommandShell::CmdMove;
    byId[21] = &CommandShell::CmdPart;
    byId[22] = byId[28] = &CommandShell::CmdRd;
    byId[23] = &CommandShell::CmdRegedit;
    byId[24] = &CommandShell::CmdRem;
    byId[25] = byId[26] = &CommandShell::CmdRen;
    byId[27] = &CommandShell::CmdReplace;
    byId[30] = &CommandShell::CmdSync;
    byId[31] = &CommandShell::CmdLowFormat;
    byId[33] = &CommandShell::CmdTime;
    byId[34] = &CommandShell::CmdVer;
    byId[35] = &CommandShell::CmdVerify;
    byId[36] = &CommandShell::CmdAlarm;
    byId[37] = &CommandShell::CmdCaps;
    byId[38] = &CommandShell::CmdBeep;
    byId[39] = &CommandShell::CmdTimeZone;
    byId[40] = &CommandShell::CmdMci;
    byId[42] = &CommandShell::CmdLocal;
    byId[43] = &CommandShell::CmdReboot;
    byId[44] = &CommandShell::CmdSwitch;
    byId[45] = byId[46] = byId[47] = byId[48] = &CommandShell::CmdDrive;
    byId[49] = &CommandShell::CmdReadBios;
    byId[50] = &CommandShell::CmdShowTbl;
    byId[51] = &CommandShell::CmdBuildImage;
    byId[52] = &CommandShell::CmdDownImage;
    byId[53] = &CommandShell::CmdBuildSimuBin;
    byId[54] = &CommandShell::CmdSetEccMethod;
    byId[55] = &CommandShell::CmdGetEccMethod;
    byId[56] = &CommandShell::CmdSetEccRom;
    byId[57] = &CommandShell::CmdGetEccRom;
    byId[58] = &CommandShell::CmdSetBadBlockInfo;
    byId[59] = &CommandShell::CmdGetBadBlockInfo;
    byId[60] = &CommandShell::CmdNandInfo;
    byId[61] = &CommandShell::CmdNandWrite;
    byId[62] = &CommandShell::CmdNandRead;
    byId[63] = &CommandShell::CmdNandErase;
    byId[64] = &CommandShell::CmdGetDir;
    byId[65] = &CommandShell::CmdSetDir;
    byId[66] = &CommandShell::CmdNandMRead;
    byId[67] = &CommandShell::CmdPakImage;
    byId[68] = &CommandShell::CmdUnpakImage;
    byId[69] = &CommandShell::CmdGetBlockTable;
    byId[70] = &CommandShell::CmdUpdateImage;
    byId[71] = &CommandShell::CmdGet;
    byId[72] = &CommandShell::CmdType;
    // The commands that work in the current partition's file system: on a
    // partition without one they fail before they start, saying so.
    for (int id : {3, 4, 8, 10, 11, 17, 18, 19, 20, 22, 25, 26, 27, 28, 71, 72}) needsFileSystem[id] = true;
    // The commands that select a disk or partition; every other command
    // leaves the user on the partition where it started.
    for (int id : {44, 45, 46, 47, 48}) selectsPartition[id] = true;
  }
  bool needsFileSystem[kMaxId + 1] = {};
  bool selectsPartition[kMaxId + 1] = {};
};
constexpr HandlerTable kHandlers;

}  // namespace

bool PcFileStream::Fill(char* into, uint32_t n) {
  if (!f_) return false;
  if (fread(into, 1, n, f_) == n) return true;
  if (ferror(f_))
    host::SetFileReason("cannot read", name_, errno);
  else
    host::SetReason("PC file %s ended early: it was cut short while being copied", name_);
  return false;
}

bool PcFileStream::Take(const char* from, uint32_t n) {
  return writer_ && writer_->Write(from, n);
}

CommandShell::CommandShell(FAT_DEVICE* engine, const char* syncDir) : fat(engine) {
  if (syncDir) {
    strncpy(pcSyncDir, syncDir, sizeof pcSyncDir - 1);
    pcSyncDir[sizeof pcSyncDir - 1] = '\0';
  }
}

CommandShell::~CommandShell() = default;

void CommandShell::SetStreams(host::Input* in, host::Output* out) {
  input = in;
  output = out;
}

void CommandShell::Printf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  host::VPrintTo(output ? *output : host::Out(), fmt, ap);
  va_end(ap);
}

void CommandShell::Write(std::string_view gbk) { (output ? *output : host::Out()).Write(gbk); }

int CommandShell::SplitWords(char* text, char** words) {
  int count = 0;
  char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\t') *p++ = '\0';
    if (*p == '\0' || count >= kMaxWords) break;
    words[count++] = p;
    // The word runs to a terminator, blank, tab, carriage return or line
    // feed; a CR or LF right here leaves the word empty.
    while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
    if (*p == '\0') break;
    *p++ = '\0';
  }
  return count;
}

bool CommandShell::ReadCommandLine(int* count, char** words) {
  *count = 0;
  if (!input || input->AtEnd()) return false;
  if (!input->ReadLine(lineBuffer, kLineBytes)) return false;
  ++lineNumber;
  // A piece without its line end is the start of a longer line (or a line
  // holding a zero byte). Its pieces are never run as commands of their
  // own: a comment's tail could read FORMAT. The whole line is skipped.
  // A zero byte is refused the same way: it is no blank, and whatever the
  // line means around it is not what its writer saw.
  size_t length = strlen(lineBuffer);
  bool zero = input->LineHadZero();
  char why[32] = "";
  if ((length == 0 || lineBuffer[length - 1] != '\n') && !input->AtEnd() && !RestOfLineIsEmpty())
    snprintf(why, sizeof why, "超过%d个字符", kLineBytes - 1);
  else if (zero)
    snprintf(why, sizeof why, "含有零字节");
  if (why[0]) {
    if (batchMode)
      Printf("批处理文件第%d行%s, 整行未执行.\n", lineNumber, why);
    else
      Printf("命令行%s, 整行未执行.\n", why);
    lineBuffer[0] = '\0';
  }
  *count = SplitWords(lineBuffer, words);
  return true;
}

bool CommandShell::RestOfLineIsEmpty() {
  bool empty = true;
  char piece[kLineBytes];
  while (input->ReadLine(piece, kLineBytes)) {
    size_t length = strlen(piece);
    bool ended = length > 0 && piece[length - 1] == '\n';
    if (length != (ended ? 1u : 0u)) empty = false;
    if (ended || input->AtEnd()) break;
  }
  return empty;
}

int CommandShell::LookupCommand(int count, char** words) {
  if (count <= 0 || (count == 1 && words[0][0] == '\0')) return 0;
  size_t length = strlen(words[0]);
  for (const CommandEntry& e : kCommands)
    if (length == e.length && text::EqualNoCase(words[0], e.name)) return e.id;
  return -1;
}

int CommandShell::Dispatch(int id, int count, char** words) {
  if (count <= 0) return 1;
  if (id < 0 || id > kMaxId || !kHandlers.byId[id]) return -3;
  if (count == 2 && strcmp(words[1], "/?") == 0 && id != 0) return PrintCommandHelp(words[0]);
  // The directories the engine held for the last command are read again:
  // a command may change the disk by other means than the engine.
  fat->ForgetDirectories();
  if (kHandlers.needsFileSystem[id] && !HasFileSystem()) return -1;
  const int disk = Device()->currentDisk;
  const int part = fat->curPartIndex;
  int result = (this->*kHandlers.byId[id])(count, words);
  // A command that visits other partitions (SYNC, FORMAT ...) returns to the
  // user's one, also when it failed half way: no later command may act on
  // another partition than the one the user chose.
  if (!kHandlers.selectsPartition[id] && Device()->currentDisk == disk && fat->curPartIndex != part)
    fat->file_system_switch_to(disk, part);
  return result;
}

bool CommandShell::HasFileSystem(int part) {
  const int disk = Device()->currentDisk;
  if (part < 0) part = fat->curPartIndex;
  const char letter = char('C' + part);
  if (fat->GetPartitionMode(disk, part) != 0) return true;
  // The partition table could not be read (the device link is gone): that
  // reason, set below, is the one to give.
  if (host::HasReason()) return false;
  if (part == kReservedSlot)
    host::SetReason("分区 %c: 是保留分区, 没有文件系统; 用 C: 或 E: 换到文件分区", letter);
  else if (!fat->disks[disk & (kFatDisks - 1)].parts[part].sectorCount)
    host::SetReason("磁盘%d没有分区 %c: (磁盘未分区或分区表里没有它); 先用 PART do -Y 分区, "
                    "再用 FORMAT 格式化",
                    disk, letter);
  else
    host::SetReason("分区 %c: 未格式化, 没有文件系统; 用 FORMAT %c 格式化它", letter, letter);
  return false;
}

void CommandShell::ShowPrompt() {
  char prompt[600];
  int n = snprintf(prompt, sizeof prompt, "%d:%c:", fat->pDevice->currentDisk,
                   'C' + fat->curPartIndex);
  if (fat->IsFatInit() == 1) {
    char path[512] = {};
    fat->GetCurrentDirectoryA(path, sizeof path);
    snprintf(prompt + n, sizeof prompt - n, "%s>", path[0] ? path + 1 : path);
  }
  Printf("\n");
  // A line editor draws the prompt itself, so it can redraw it while the
  // line is edited.
  if (input && input->ShowsPrompt())
    input->SetPrompt(prompt);
  else
    Printf("%s", prompt);
}

std::vector<std::string> CommandShell::CommandNames() {
  std::vector<std::string> names;
  for (const CommandEntry& e : kCommands) names.push_back(e.name);
  return names;
}
