// The command reader, table and loop of CommandShell, run in-process with
// string streams and a device that fails everything.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "command_shell.h"
#include "support/fake_device.h"
#include "tervan_main.h"

namespace {

class CommandShellTest : public ::testing::Test {
 protected:
  CommandShellTest() : fat(&device), shell(&fat, "\\synchronize") {
    previous = host::SetOut(&out);
  }
  ~CommandShellTest() override { host::SetOut(previous); }

  // Runs the command loop over the lines; returns what it printed.
  std::string Run(const std::string& lines, bool batch = true) {
    host::StringInput in(lines);
    shell.batchMode = batch ? 1 : 0;
    shell.SetStreams(&in, &out);
    RunCommandLoop(shell);
    return out.text;
  }

  std::vector<std::string> Split(std::string text) {
    char buffer[1024];
    text.copy(buffer, text.size());
    buffer[text.size()] = '\0';
    char* words[CommandShell::kMaxWords];
    int n = CommandShell::SplitWords(buffer, words);
    return std::vector<std::string>(words, words + n);
  }

  int Lookup(std::vector<std::string> w) {
    std::vector<char*> words;
    for (auto& s : w) words.push_back(s.data());
    return shell.LookupCommand(int(words.size()), words.data());
  }

  FailingDevice device;
  FAT_DEVICE fat;
  CommandShell shell;
  host::StringOutput out;
  host::Output* previous = nullptr;
};

using Words = std::vector<std::string>;

TEST_F(CommandShellTest, SplitterSeparatesOnBlanksAndTabsOnly) {
  EXPECT_EQ(Split("DIR *.TXT\n"), (Words{"DIR", "*.TXT"}));
  EXPECT_EQ(Split("\tCOPY\ta.bin  B.BIN"), (Words{"COPY", "a.bin", "B.BIN"}));
  // No quoting: a double quote is an ordinary character.
  EXPECT_EQ(Split("DEL \"a b\"\n"), (Words{"DEL", "\"a", "b\""}));
  EXPECT_EQ(Split(""), Words{});
}

TEST_F(CommandShellTest, SplitterGivesTheEmptyLastWord) {
  // An empty or all-blank line is one empty word; blanks before the line
  // end add an empty last word that argument counts see.
  EXPECT_EQ(Split("\n"), Words{""});
  EXPECT_EQ(Split("   \t \n"), Words{""});
  EXPECT_EQ(Split("ECHO a  \n"), (Words{"ECHO", "a", ""}));
  EXPECT_EQ(Split("ECHO a\n"), (Words{"ECHO", "a"}));
  EXPECT_EQ(Split("a\r\n"), (Words{"a", ""}));
}

TEST_F(CommandShellTest, SplitterStopsAt128Words) {
  std::string line;
  for (int i = 0; i < 140; ++i) line += "w ";
  EXPECT_EQ(Split(line).size(), size_t(CommandShell::kMaxWords));
}

TEST_F(CommandShellTest, LookupIgnoresCaseButNotLength) {
  EXPECT_EQ(Lookup({"dir"}), 11);
  EXPECT_EQ(Lookup({"Dir"}), 11);
  EXPECT_EQ(Lookup({"DIR", "*.*"}), 11);
  EXPECT_EQ(Lookup({"DIRX"}), -1);
  EXPECT_EQ(Lookup({"DI"}), -1);
  EXPECT_EQ(Lookup({"d"}), 11);
  EXPECT_EQ(Lookup({"d:"}), 46);
  EXPECT_EQ(Lookup({"RENAME"}), 25);
  EXPECT_EQ(Lookup({"rmdir"}), 22);
  EXPECT_EQ(Lookup({"q"}), 13);
  EXPECT_EQ(Lookup({"UpdateImage"}), 70);
  EXPECT_EQ(Lookup({""}), 0);
  EXPECT_EQ(Lookup({}), 0);
  EXPECT_EQ(Lookup({"", "x"}), -1);
}

TEST_F(CommandShellTest, DispatchOfIdsWithoutNames) {
  char word[] = "X";
  char* words[] = {word};
  EXPECT_EQ(shell.Dispatch(73, 1, words), -3);
  EXPECT_EQ(shell.Dispatch(41, 1, words), -3);  // no command carries id 41
  EXPECT_EQ(shell.Dispatch(0, 1, words), 1);    // the empty line
  EXPECT_EQ(shell.Dispatch(13, 0, words), 1);   // no words: nothing to do
}

TEST_F(CommandShellTest, EchoPrintsEachWordWithABlank) {
  EXPECT_EQ(Run("ECHO  a   b\nECHO\necho on\n"), "a b \non \n");
}

TEST_F(CommandShellTest, ExitWithAnArgumentFailsAndTheShellGoesOn) {
  EXPECT_EQ(Run("EXIT now\nECHO after\nQ\nECHO never\n"),
            "'EXIT'执行失败, 错误码=-2\nafter \n");
}

TEST_F(CommandShellTest, UnknownWordsAndUnbuiltCommandsAreReported) {
  EXPECT_EQ(Run("foo bar\nFC one\nREM anything at all\n\n   \nAT x\nRTOS\nTEST 1 2\nVERIFY x\n"),
            "'foo'不是有效的内部命令\n'FC'执行失败, 错误码=-2\n'VERIFY'执行失败, 错误码=-2\n");
}

// A line is read 255 characters at a time, but none of a longer line's
// pieces may run as a command: a comment's tail could read FORMAT.
TEST_F(CommandShellTest, LineLongerThan255RunsNoneOfItsPieces) {
  std::string lines = "ECHO one\nREM " + std::string(251, 'x') + "FORMAT\nECHO " +
                      std::string(250, 'a') + "\nECHO " + std::string(295, 'b') + "\nECHO two";
  EXPECT_EQ(Run(lines), "one \n批处理文件第2行超过255个字符, 整行未执行.\n" + std::string(250, 'a') +
                            " \n批处理文件第4行超过255个字符, 整行未执行.\ntwo \n");
  out.text.clear();
  EXPECT_EQ(Run("ECHO " + std::string(300, 'c') + "\n", /*batch=*/false),
            "\n0:C:命令行超过255个字符, 整行未执行.\n\n0:C:");
}

// A zero byte is no blank: "DEL a\0 *.*" must not delete everything.
TEST_F(CommandShellTest, LineWithAZeroByteRunsNotAtAll) {
  using namespace std::string_literals;
  EXPECT_EQ(Run("ECHO one\nECHO a\0 FORMAT\n\0\nECHO two\n"s),
            "one \n批处理文件第2行含有零字节, 整行未执行.\n批处理文件第3行含有零字节, 整行未执行.\ntwo \n");
  out.text.clear();
  EXPECT_EQ(Run("ECHO b\0c\n"s, /*batch=*/false), "\n0:C:命令行含有零字节, 整行未执行.\n\n0:C:");
}

TEST_F(CommandShellTest, PromptWithoutFileSystemEndsAfterTheColon) {
  device.currentDisk = 1;
  fat.curPartIndex = 2;
  EXPECT_EQ(Run("ECHO x\n", /*batch=*/false), "\n1:E:x \n\n1:E:");
}

TEST_F(CommandShellTest, BatchModeHasNoPrompt) { EXPECT_EQ(Run("ECHO x\n"), "x \n"); }

// A line editor draws the prompt itself: the shell hands it the text after
// the prompt's line break.
TEST_F(CommandShellTest, PromptGoesToALineEditor) {
  struct Editor : host::StringInput {
    using StringInput::StringInput;
    bool ShowsPrompt() const override { return true; }
    void SetPrompt(std::string_view gbk) override { prompts.emplace_back(gbk); }
    std::vector<std::string> prompts;
  } in("ECHO x\n");
  device.currentDisk = 1;
  shell.SetStreams(&in, &out);
  EXPECT_EQ(RunCommandLoop(shell), 0);
  EXPECT_EQ(out.text, "\nx \n\n");
  EXPECT_EQ(in.prompts, (std::vector<std::string>{"1:C:", "1:C:"}));
}

// A script learns from the exit status whether every command succeeded: 0,
// or 1 when any failed or was unknown (the run goes on all the same). At a
// terminal the person saw each failure, and the status stays 0.
TEST_F(CommandShellTest, ExitStatusSaysWhetherEveryCommandSucceeded) {
  struct Terminal : host::StringInput {
    using StringInput::StringInput;
    bool IsTerminal() const override { return true; }
  };
  const struct {
    const char* lines;
    int batch, terminal, status;
  } cases[] = {
      {"ECHO a\nREM b\n\n", 1, 0, 0},
      {"ECHO a\nEXIT\n", 1, 0, 0},
      {"EXIT now\nECHO b\n", 1, 0, 1},
      {"NOPE\nECHO b\n", 1, 0, 1},
      {"EXIT now\nEXIT\n", 1, 0, 1},  // leaving after a failure is still a failed run
      {"EXIT now\n", 0, 0, 1},         // piped into standard input
      {"EXIT now\nNOPE\n", 0, 1, 0},  // typed at a terminal
  };
  for (const auto& c : cases) {
    CommandShell fresh(&fat, "\\synchronize");
    Terminal typed(c.lines);
    host::StringInput piped(c.lines);
    fresh.batchMode = c.batch;
    fresh.SetStreams(c.terminal ? &typed : &piped, &out);
    EXPECT_EQ(RunCommandLoop(fresh), c.status) << c.lines;
  }
}

TEST_F(CommandShellTest, StopOnErrorEndsTheRunAtTheFirstFailure) {
  // Without the option every line runs; the status says a command failed.
  host::StringInput all("ECHO a\nEXIT now\nECHO b\n");
  shell.batchMode = 1;
  shell.SetStreams(&all, &out);
  EXPECT_EQ(RunCommandLoop(shell), 1);
  EXPECT_EQ(out.text, "a \n'EXIT'执行失败, 错误码=-2\nb \n");
  // With it a failure or an unknown word ends a batch or a pipe with 1.
  shell.stopOnError = true;
  for (int batch : {1, 0}) {
    for (const char* bad : {"EXIT now", "NOPE"}) {
      out.text.clear();
      host::StringInput in(std::string("ECHO a\n") + bad + "\nECHO b\n");
      shell.batchMode = batch;
      shell.SetStreams(&in, &out);
      EXPECT_EQ(RunCommandLoop(shell), 1) << bad;
      EXPECT_EQ(out.text.find("b \n"), std::string::npos) << bad;
    }
  }
}

TEST_F(CommandShellTest, HelpPrintsEveryEntryInOrder) {
  Run("HELP\n");
  const char* heads[] = {"ALARM       ", "AT          ", "BEEP        ", "BIOS        ",
                         "CAPS        ", "CD/CHDIR    ", "COPY        ", "DIR         ",
                         "DATE        ", "DEL         ", "ECHO        ", "EXIT        ",
                         "FORMAT      ", "LOCAL       ", "MCI         ", "MD/MKDIR    ",
                         "PART        ", "RD/RMDIR    ", "REBOOT      ", "REGEDIT     ",
                         "REM         ", "REN         ", "SYNC        ", "TIME        ",
                         "TIMEZONE    ", "VER         ", "VERIFY      ", "SWITCH      ",
                         "LOWFORMAT   ", "C:          ", "D:          ", "E:          ",
                         "F:          ", "SHOWTBL\t\t ", "BUILDIMAGE  ", "DOWNIMAGE   ",
                         "BUILDSIMUBIN   ", "SETECCMETHOD  ", "GETECCMETHOD  ",
                         "SETECCROM     ", "GETECCROM     ", "SETBADBLOCKINFO ",
                         "GETBADBLOCKINFO ", "NANDINFO     ", "NANDWRITE    ", "NANDREAD     ",
                         "NANDERASE    ", "GETDIR       ", "SETDIR       ", "NANDMREAD    ",
                         "PAKIMAGE     ", "UNPAKIMAGE   ", "GETBLOCKTABLE ", "UPDATEIMAGE "};
  size_t at = 0;
  for (const char* head : heads) {
    // Each entry starts a line of its own.
    size_t found = out.text.find(std::string("\n") + head, at == 0 ? 0 : at);
    if (at == 0 && out.text.rfind(head, 0) == 0) found = 0;
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << head;
    at = found + 1;
  }
  // The closing entry ends in "\n", then one more; one added line follows,
  // naming the commands the list leaves out.
  size_t closing = out.text.rfind("\n\n");
  ASSERT_NE(closing, std::string::npos);
  std::string added = out.text.substr(closing + 2);
  EXPECT_EQ(added.find('\n'), added.size() - 1) << added;
  auto names = [&](const std::string& name) {
    return added.find(" " + name + " ") != std::string::npos ||
           added.find(" " + name + ";") != std::string::npos;
  };
  for (const char* left : {"READBIOS", "RENAME", "QUIT", "FC", "RTOS", "TEST", "HELP"})
    EXPECT_TRUE(names(left)) << left << " in " << added;
  for (const char* listed : {"COPY", "TIME", "GETDIR", "MKDIR", "TIMEZONE"})
    EXPECT_FALSE(names(listed)) << listed << " in " << added;
  EXPECT_NE(added.find("HELP 命令名"), std::string::npos);
  EXPECT_NE(out.text.find("            CD \\ 返回根目录\n"), std::string::npos);
}

// HELP <command> prints the command's section of docs/commands.md, which is
// compiled into the program: the page, the command table and HELP cover the
// same commands, each named in one section that gives its result codes and
// an example.
TEST_F(CommandShellTest, HelpOfACommandCoversTheTableAndThePage) {
  std::vector<std::string> table = CommandShell::CommandNames(), page = CommandDocNames();
  std::sort(table.begin(), table.end());
  std::sort(page.begin(), page.end());
  EXPECT_EQ(page, table) << "docs/commands.md's ### headings and the command table differ";
  EXPECT_EQ(std::adjacent_find(page.begin(), page.end()), page.end()) << "a name in two sections";
  for (const std::string& name : table) {
    out.text.clear();
    Run("HELP " + name + "\n");
    EXPECT_EQ(out.text.find("执行失败"), std::string::npos) << name;
    EXPECT_NE(out.text.find("Result"), std::string::npos) << name << ": no result codes";
    EXPECT_NE(out.text.find("\n    "), std::string::npos) << name << ": no example";
    EXPECT_EQ(out.text.find("```"), std::string::npos) << name;
    EXPECT_EQ(out.text.find("<!--"), std::string::npos) << name;
  }
  out.text.clear();
  std::string help = Run("HELP copy\n");
  out.text.clear();
  EXPECT_EQ(Run("COPY /?\n"), help);
  EXPECT_EQ(help.rfind("COPY\n", 0), 0u) << help;
  EXPECT_NE(help.find("COPY <PC file> <device name>"), std::string::npos) << help;
  out.text.clear();
  EXPECT_EQ(Run("HELP NOPE\nHELP A B\n"),
            "'HELP'执行失败, 错误码=-2\n'HELP'执行失败, 错误码=-2\n");
}

}  // namespace
