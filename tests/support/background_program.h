// A program the tests run in the background (zelsim), through the shell: a
// shell of its own starts it, writes its process id and, once it has ended,
// its exit status into a folder. So a test sees how the program ended, even
// when only a signal ended it: a zelsim stopped by SIGTERM ends with 0, and
// so would not a zelsim of the sanitizer build that made a report.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class BackgroundProgram {
 public:
  ~BackgroundProgram() { Stop("KILL"); }

  // Starts the command line (its words quoted as the shell needs) with the
  // files pid and status in the folder dir; false when the shell fails.
  bool Start(const std::string& command, const std::string& dir) {
    pidFile_ = dir + "/pid";
    statusFile_ = dir + "/status";
    std::filesystem::remove(pidFile_);
    std::filesystem::remove(statusFile_);
    std::string cmd = "{ " + command + " & echo $! >'" + pidFile_ + ".new'; mv '" + pidFile_ + ".new' '" +
                      pidFile_ + "'; wait $!; echo $? >'" + statusFile_ + ".new'; mv '" + statusFile_ +
                      ".new' '" + statusFile_ + "'; } </dev/null &";
    if (std::system(cmd.c_str()) != 0) return false;
    // No deadline: the shell writes the file as soon as a busy machine lets it.
    while (!(std::ifstream(pidFile_) >> pid_)) std::system("sleep 0.02");
    return true;
  }
  bool Running() const { return pid_ > 0 && !std::filesystem::exists(statusFile_); }
  long Pid() const { return pid_; }
  // Ends the program with the signal and waits until it is gone; its exit
  // status as the shell gives it (128 + N when signal N ended it), -1 when
  // none runs.
  int Stop(const char* signal = "TERM") {
    if (pid_ <= 0) return -1;
    std::string cmd = "kill -" + std::string(signal) + " " + std::to_string(pid_) +
                      " 2>/dev/null; while [ ! -f '" + statusFile_ + "' ]; do sleep 0.02; done";
    std::system(cmd.c_str());
    pid_ = 0;
    int status = -1;
    std::ifstream(statusFile_) >> status;
    return status;
  }

 private:
  std::string pidFile_, statusFile_;
  long pid_ = 0;
};
