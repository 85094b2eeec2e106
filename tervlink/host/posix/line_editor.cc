// The prompt's line editor over libedit (see line_editor.h).
//
// The editor reads the terminal itself; what the shell gets is the typed
// line converted to GBK, as from any Input. Ctrl-C while a line is typed
// (the interrupt flag set by SIGINT, whose handler lets the read return)
// drops the line and asks again; Ctrl-D on an empty line ends the input.

#include "tervlink/host/posix/line_editor.h"

#ifdef TERVAN_HAVE_LIBEDIT

#include <histedit.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tervlink/text.h"

namespace host {
namespace {

constexpr int kHistoryLines = 1000;

class LineEditor : public Input {
 public:
  LineEditor() {
    el_ = el_init("Tervan", stdin, stdout, stderr);
    if (!el_) return;
    history_ = history_init();
    HistEvent ev;
    if (history_) {
      history(history_, &ev, H_SETSIZE, kHistoryLines);
      history(history_, &ev, H_SETUNIQUE, 1);
      if (const char* home = getenv("HOME"); home && *home) {
        historyFile_ = std::string(home) + "/.tervan_history";
        history(history_, &ev, H_LOAD, historyFile_.c_str());
      }
      el_set(el_, EL_HIST, history, history_);
    }
    el_set(el_, EL_EDITOR, "emacs");
    el_set(el_, EL_CLIENTDATA, this);
    el_set(el_, EL_PROMPT, &LineEditor::Prompt);
    el_set(el_, EL_ADDFN, "tervan-complete", "complete a command name", &LineEditor::Complete);
    el_set(el_, EL_BIND, "^I", "tervan-complete", nullptr);
    el_source(el_, nullptr);  // the user's ~/.editrc, if any
  }
  ~LineEditor() override {
    if (history_) history_end(history_);
    if (el_) el_end(el_);
  }
  bool Ok() const { return el_ != nullptr; }

  bool ReadLine(char* buffer, int size) override {
    if (size <= 0) return false;
    if (pending_.empty()) {
      if (!NextLine(true)) return false;
    }
    // A line longer than the buffer arrives in pieces, as from a file.
    size_t n = std::min(pending_.size(), size_t(size - 1));
    memcpy(buffer, pending_.data(), n);
    buffer[n] = '\0';
    pending_.erase(0, n);
    return true;
  }
  bool AtEnd() override { return end_ && pending_.empty(); }
  int ReadChar() override {
    if (pending_.empty() && !NextLine(false)) return -1;
    int c = uint8_t(pending_[0]);
    pending_.erase(0, 1);
    return c;
  }
  bool IsTerminal() const override { return true; }
  bool ShowsPrompt() const override { return true; }
  void SetPrompt(std::string_view gbk) override { prompt_ = GbkToConsole(gbk); }
  void SetCompletions(std::vector<std::string> words) override { words_ = std::move(words); }

 private:
  static LineEditor* Self(EditLine* el) {
    void* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return static_cast<LineEditor*>(self);
  }
  static char* Prompt(EditLine* el) { return const_cast<char*>(Self(el)->prompt_.c_str()); }

  // Reads one line into pending_ (GBK, with its newline). Ctrl-C drops what
  // was typed and asks again; false at Ctrl-D on an empty line or on a
  // read error.
  // An answer (ReadChar) is read without the prompt, and Ctrl-C gives no
  // answer at all (false, as at the end of the input, but the input goes on).
  bool NextLine(bool command) {
    if (end_) return false;
    std::string savedPrompt;
    if (!command) savedPrompt.swap(prompt_);
    struct Restore {
      std::string& to;
      std::string& from;
      bool on;
      ~Restore() {
        if (on) to.swap(from);
      }
    } restore{prompt_, savedPrompt, !command};
    for (;;) {
      int count = 0;
      ClearInterrupt();
      errno = 0;
      const char* line = el_gets(el_, &count);
      if (!line || count <= 0) {
        if (InterruptRequested() || errno == EINTR) {
          ClearInterrupt();
          // The typed text is dropped; a fresh prompt on the next line.
          fputs("^C\n", stdout);
          fflush(stdout);
          if (command) continue;
          return false;
        }
        end_ = true;
        return false;
      }
      std::string text(line, size_t(count));
      if (command) {
        std::string entry = text;
        while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.pop_back();
        if (!entry.empty() && history_) {
          HistEvent ev;
          history(history_, &ev, H_ENTER, entry.c_str());
          // Saved at once: a session that is killed keeps its history.
          if (!historyFile_.empty()) history(history_, &ev, H_SAVE, historyFile_.c_str());
        }
      }
      pending_ = ConsoleToGbk(text);
      if (pending_.empty() || pending_.back() != '\n') pending_ += '\n';
      return true;
    }
  }

  // Tab: completes the first word of the line from the command names; with
  // several candidates it adds their common part, or lists them.
  static unsigned char Complete(EditLine* el, int) {
    LineEditor* self = Self(el);
    const LineInfo* li = el_line(el);
    std::string before(li->buffer, li->cursor);
    if (before.find_first_of(" \t") != std::string::npos) return CC_ERROR;  // not the first word
    std::vector<std::string> matches;
    for (const std::string& w : self->words_)
      if (w.size() >= before.size() && text::EqualNoCaseN(w.c_str(), before.c_str(), before.size()))
        matches.push_back(w);
    if (matches.empty()) return CC_ERROR;
    // The common part of the candidates, ignoring case.
    size_t common = matches[0].size();
    for (const std::string& m : matches) {
      size_t i = 0;
      while (i < common && i < m.size() &&
             text::UpperAscii(m[i]) == text::UpperAscii(matches[0][i]))
        ++i;
      common = i;
    }
    // Typed in lower case, completed in lower case.
    bool lower = !before.empty() && before.back() >= 'a' && before.back() <= 'z';
    std::string add = matches[0].substr(before.size(), common - before.size());
    if (lower)
      for (char& c : add) c = char(tolower(uint8_t(c)));
    if (matches.size() == 1) add += ' ';
    if (!add.empty()) {
      el_insertstr(el, add.c_str());
      return CC_REFRESH;
    }
    fputc('\n', stdout);
    for (const std::string& m : matches) fprintf(stdout, "%s  ", m.c_str());
    fputc('\n', stdout);
    return CC_REDISPLAY;
  }

  EditLine* el_ = nullptr;
  History* history_ = nullptr;
  std::string historyFile_;
  std::string prompt_;
  std::vector<std::string> words_;
  std::string pending_;
  bool end_ = false;
};

}  // namespace

std::unique_ptr<Input> MakeLineEditor() {
  auto editor = std::make_unique<LineEditor>();
  if (!editor->Ok()) return nullptr;
  return editor;
}

}  // namespace host

#else  // no libedit in this build: the plain reader

namespace host {
std::unique_ptr<Input> MakeLineEditor() { return nullptr; }
}  // namespace host

#endif
