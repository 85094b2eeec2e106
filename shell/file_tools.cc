// File commands beyond COPY and REN: MOVE (entries between directories),
// GET (device files to the PC), TYPE, COMP/FC, REPLACE and LABEL.
//
// Like the other file commands they are thin front ends over the FAT
// engine on the current partition: they check their words, call the
// engine and turn its last error into the shell's result codes through
// one table (EngineResult).

#include <cstring>
#include <string>

#include "command_shell.h"
#include "pc_files.h"
#include "tervlink/text.h"

namespace {

// The result code of a failed engine call, from its last error: the codes
// DEL, MD and COPY already give for the same causes.
int EngineResult(int lastError) {
  switch (lastError) {
    case -3: return -5;   // no such name (or a damaged chain)
    case -8: return -4;   // the name exists
    case -7: return -2;   // not a valid name
    case -11: return -2;  // a directory below itself
    case -10: return -9;  // the PC file could not give or take its bytes
    default: return -1;   // device failure, no space
  }
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

// MOVE source target: target names an existing directory (the entry moves
// into it, keeping its name) or a new name, in the same or another folder.
int CommandShell::CmdMove(int argc, char** argv) {
  if (argc != 3) return -2;
  std::string source = argv[1], target = argv[2];
  while (source.size() > 1 && IsPathSeparator(source.back())) source.pop_back();
  fat->lastError = 0;
  int attributes = fat->PathAttributes(target.c_str());
  if (attributes >= 0 && (attributes & kAttrDirectory)) {
    size_t cut = source.find_last_of("\\/");
    std::string leaf = cut == std::string::npos ? source : source.substr(cut + 1);
    if (!target.empty() && !IsPathSeparator(target.back())) target += '\\';
    target += leaf;
  } else if (attributes < 0 && fat->lastError == -1) {
    return -1;
  }
  if (fat->MoveEntry(source.c_str(), target.c_str()) == 0) return 1;
  if (fat->lastError == -11) Printf("不能把目录移到它自己之下, 也不能移走当前目录所在的目录\n");
  return EngineResult(fat->lastError);
}
