// The shell's service commands run in-process against zelsim's model,
// through the transport double: what they print and return.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "command_shell.h"
#include "tervlink/fat_device.h"
#include "transport_double.h"

class ShellOnModel : public ::testing::Test {
 protected:
  ShellOnModel()
      : dir_(FreshStateDir(::testing::UnitTest::GetInstance()->current_test_info()->name())),
        model_(Config(dir_)),
        t_(dev_) {
    t_.model = &model_;
    shell_.SetStreams(nullptr, &out_);
    // PC file names are given relative to the test's folder: a word that
    // starts with "/" is an option to the shell.
    oldDir_ = host::GetCurrentDir();
    host::SetCurrentDir(dir_.c_str());
  }
  ~ShellOnModel() override { host::SetCurrentDir(oldDir_.c_str()); }

  static ModelConfig Config(const std::string& dir) {
    ModelConfig c;
    c.stateDir = dir + "/state";
    c.stillClock = true;
    return c;
  }

  // Runs one command line; its result code. The output collects in out_.
  int Run(const std::string& line) {
    char buf[CommandShell::kLineBytes] = {};
    strncpy(buf, line.c_str(), sizeof buf - 1);
    char* words[CommandShell::kMaxWords];
    int n = CommandShell::SplitWords(buf, words);
    return shell_.Dispatch(shell_.LookupCommand(n, words), n, words);
  }
  // The output since the last call.
  std::string Take() {
    std::string s = out_.text;
    out_.text.clear();
    return s;
  }
  std::string WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    return name;
  }
  std::string ReadFile(const std::string& name) {
    std::ifstream f(dir_ + "/" + name, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

  std::string dir_;
  std::string oldDir_;
  DeviceModel model_;
  ZEL_DEVICE_IO dev_{"\\\\.\\lexon0", 0};
  TransportDouble t_;
  // The engine is megabytes: a member that large would put the parameter
  // part of a parameterised fixture beyond where UBSan's vptr check
  // believes a subobject can lie.
  std::unique_ptr<FAT_DEVICE> fat_ = std::make_unique<FAT_DEVICE>(&dev_);
  CommandShell shell_{fat_.get(), "."};
  host::StringOutput out_;
};
