// Start-up, the command loop and teardown of the Tervan program.

#include "tervan_main.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command_shell.h"
#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"
#include "tervlink/text.h"
#include "tervlink/zel_device_io.h"

namespace {

constexpr size_t kSettingChars = 259;  // start-up texts hold 259 characters

// Process-wide start-up settings, filled by the argument parser.
struct Settings {
  // The synchronize folder at the root of the file system, written with
  // the host's separator (a backslash would name a file in the current
  // folder on this host).
  std::string syncDir = std::string(1, host::kSep) + "synchronize";
  std::string osFile = "rtos.sys";
  std::string batchFile;  // empty: interactive mode
  int deviceNumber = 0;
  int simulation = 0;
  int verify = 0;
  bool osFileGiven = false;   // -D was given (the default name is looked up in any case)
  bool stopOnError = false;   // --stop-on-error
  bool help = false;          // --help
  bool version = false;       // --version
};

const char kBadArgument[] = "无效命令参数.";
const char kBadDeviceNumber[] = "ZEL设备号错误.";

void PrintBannerAndUsage() {
  host::Print("%s", kVersionLine);
  host::Print("    ZEL设备维护控制台 (字典机与烧写器)\n");
  host::Print("    Tervan开发组 版权所有\n");
  host::Print(" 命令参数 :\n");
  host::Print("    -Sxxx 定义PC缺省同步目录 (缺省为当前盘根目录下的synchronize子目录)\n");
  host::Print("    -Dxxx 指定下载到目标硬件或仿真器的OS文件 (缺省为当前目录下的RTOS.SYS)\n");
  host::Print("    -E    与软件仿真器建立仿真USB连接, 不能与-F同时使用\n");
  host::Print("    -F    与ZEL硬件建立物理USB连接 (缺省连接方式, 不能与-E同时使用)\n");
  host::Print("    -Bxxx 指定执行的脚本文件 (若未定义,进入命令行工作模式)\n");
  host::Print("    -Nxxx 指定与ZEL硬件通信时使用的设备序号 (缺省为设备0)\n");
  host::Print("    -H    显示帮助信息.\n");
  host::Print("    -V    指定写过程是否执行回读校验 (缺省不执行回读校验)\n");
}

// The usage exit: banner, usage text and the message; the exit code -1.
int UsageExit(const char* message) {
  PrintBannerAndUsage();
  if (message) host::Print("%s\n", message);
  host::Out().Flush();
  return -1;
}

// The long options, beside the one-letter options of the usage text; --help
// prints this after the usage text.
void PrintLongOptions() {
  host::Print(" 长选项 :\n");
  host::Print("    --stop-on-error  第一条失败的命令结束运行, 退出码为1 (脚本与管道输入)\n");
  host::Print("    --help           显示本帮助信息并退出 (退出码0)\n");
  host::Print("    --version        显示版本并退出 (退出码0)\n");
  host::Print(" 环境变量 :\n");
  host::Print("    TERVAN_NO_WAIT=1 跳过启动时的等待 (仿真器zelsim不需要)\n");
  host::Print("    TERVAN_RUNDIR    设备套接字与邮槽所在的目录\n");
  host::Print("    TERVAN_PROGRESS=0 终端上也不显示进度行 (只显示百分比)\n");
}

// Why an option was refused, in the user's terms.
const char* RefusalReason(const char* arg) {
  if (arg[1] == '-') return "没有这个长选项 (见 --help)";
  switch (arg[1]) {
    case 'S': case 'D': case 'B':
      return arg[2] ? "值超过259个字符" : "缺少值 (值紧跟在字母之后, 如 -Bjob.bat)";
    case 'E': case 'F': return "这个选项不带值";
    case 'N': return "设备号必须是十进制数 (如 -N0)";
    default: return "没有这个选项 (见 --help)";
  }
}

// Parses the options left to right. Returns nullptr when they are good,
// else the message of the usage exit ("" for -H, which has none); *refused
// is then the option refused (null for -H).
const char* ParseArguments(int argc, char** argv, Settings& s, const char** refused) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    *refused = arg;
    if (arg[0] != '-') {
      // A stray word changes nothing; say so, since a batch file named
      // without -B would otherwise turn silently into an interactive session.
      host::PrintError("Tervan: 参数 '%s' 被忽略; 执行脚本文件请用 -B%s (值紧跟在 -B 之后)", arg,
                       arg);
      continue;
    }
    if (arg[1] == '-') {
      if (strcmp(arg, "--help") == 0) {
        s.help = true;
        return nullptr;
      }
      if (strcmp(arg, "--version") == 0) {
        s.version = true;
        return nullptr;
      }
      if (strcmp(arg, "--stop-on-error") == 0) {
        s.stopOnError = true;
        continue;
      }
      return kBadArgument;
    }
    const char* value = arg + 2;
    char letter = arg[1];
    auto text = [&](std::string& field) -> const char* {
      if (*value == '\0' || strlen(value) > kSettingChars) return kBadArgument;
      field = value;
      return nullptr;
    };
    const char* refusal = nullptr;
    switch (letter) {
      case 'S': refusal = text(s.syncDir); break;
      case 'D':
        refusal = text(s.osFile);
        s.osFileGiven = true;
        break;
      case 'B': refusal = text(s.batchFile); break;
      case 'E':
        if (*value) return kBadArgument;
        s.simulation = 1;
        break;
      case 'F':
        if (*value) return kBadArgument;
        s.simulation = 0;
        break;
      case 'N':
        if (sscanf(value, "%d", &s.deviceNumber) != 1) return kBadDeviceNumber;
        break;
      case 'H':
      case 'h': *refused = nullptr; return "";
      case 'V': s.verify = 1; break;
      default: return kBadArgument;
    }
    if (refusal) return refusal;
  }
  return nullptr;
}

// The folder part of a batch file name, up to and including its last
// separator; empty when the name has none.
std::string BatchFolder(const std::string& name) {
  size_t cut = name.rfind(host::kSep);
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// The default OS file is looked up whatever its case, as on the PC the
// name came from: the first name of the current folder that equals it
// ignoring case, else the name unchanged.
std::string FindOsFile(const std::string& name) {
  if (host::Stat(name.c_str()).exists) return name;
  std::vector<host::DirEntry> entries;
  if (host::ListDir(".", entries))
    for (const host::DirEntry& e : entries)
      if (!e.isDir && !e.broken && text::EqualNoCase(e.name.c_str(), name.c_str())) return e.name;
  return name;
}

// Why the device test failed, on standard error beside the usage exit.
void ExplainNoDevice(const char* devicePath, int deviceNumber, int simulation, int state) {
  if (simulation) {
    host::PrintError("Tervan: 仿真器拒绝了仿真USB连接, 或连接未能建立 (邮槽 %s)",
                     host::MailslotPath("c33_usb_snd_io").c_str());
    host::PrintError("        启动仿真器: zelsim --state 状态目录 --link usb");
    return;
  }
  std::string socket = host::DeviceSocketPath(devicePath);
  if (state == -1) {
    host::PrintError("Tervan: 无法打开设备 %s (%s): %s", devicePath, socket.c_str(),
                     host::Stat(socket.c_str()).exists
                         ? "套接字在, 但设备测试没有得到应答 (仿真器已停止或出错)"
                         : "没有这个套接字, 没有仿真器或设备在服务它");
    host::PrintError("        启动仿真器: zelsim --state 状态目录 --device %d", deviceNumber);
  } else {
    host::PrintError("Tervan: 设备 %s (%s) 报告的状态为 %d, 不是可用的状态 1, 2 或 3", devicePath,
                     socket.c_str(), state);
  }
}

}  // namespace

int RunCommandLoop(CommandShell& shell) {
  char* words[CommandShell::kMaxWords];
  int count = 0;
  // A person at a terminal may stop a command with Ctrl-C and go on; a
  // script or a pipe ends there.
  const bool typed = !shell.batchMode && shell.input && shell.input->IsTerminal();
  // Whatever ends the run before its input does says so on a line of its own.
  auto stopAtFailure = [&](const char* word) {
    host::PrintError("Tervan: 命令 '%s' 失败, --stop-on-error 在此结束运行 (第%d行)", word,
                     shell.lineNumber);
    return kFailedStatus;
  };
  for (;;) {
    if (!shell.batchMode) shell.ShowPrompt();
    if (!shell.ReadCommandLine(&count, words)) {
      if (typed) shell.Printf("\n");  // Ctrl-D: the shell's next line starts clean
      break;
    }
    host::ClearInterrupt();
    host::ClearReason();
    int id = shell.LookupCommand(count, words);
    if (id == -1) {
      shell.Printf("'%s'不是有效的内部命令\n", words[0]);
      ++shell.failures;
      if (shell.stopOnError) return stopAtFailure(words[0]);
      continue;
    }
    int result = shell.Dispatch(id, count, words);
    if (result == 0) break;
    if (result != 1) {
      shell.Printf("'%s'执行失败, 错误码=%d\n", words[0], result);
      // Why, on its own line of standard error after the failure line.
      host::ShowReason();
      ++shell.failures;
    }
    if (host::InterruptRequested()) {
      host::ClearInterrupt();
      host::PrintError("Tervan: 命令 '%s' 被 Ctrl-C 中断", words[0]);
      if (!typed) {
        host::PrintError("Tervan: 运行因 Ctrl-C 在第%d行结束", shell.lineNumber);
        return kInterruptedStatus;
      }
    }
    if (result != 1 && shell.stopOnError) return stopAtFailure(words[0]);
  }
  // At a terminal the person saw each failure; a script learns of them from
  // the exit status.
  return shell.failures > 0 && !typed ? kFailedStatus : 0;
}

int RunTervan(int argc, char** argv) {
  Settings settings;
  const char* refused = nullptr;
  if (const char* refusal = ParseArguments(argc, argv, settings, &refused)) {
    int code = UsageExit(*refusal ? refusal : nullptr);
    if (refused) host::PrintError("Tervan: 选项 '%s' 被拒绝: %s", refused, RefusalReason(refused));
    return code;
  }
  if (settings.help || settings.version) {
    if (settings.help) {
      PrintBannerAndUsage();
      PrintLongOptions();
    } else {
      host::Print("%s", kVersionLine);
    }
    host::Out().Flush();
    return 0;
  }

  // The batch file is opened before the device is needed: a misspelt name
  // costs no device start-up and says which file and why.
  std::unique_ptr<host::Input> batch;
  if (!settings.batchFile.empty()) {
    batch = host::OpenInputFile(settings.batchFile.c_str());
    if (!batch) {
      std::string reason = host::LastErrorReason();
      int code = UsageExit("\n打开Bacth文件失败.\n");
      host::PrintError("Tervan: 批处理文件 %s: %s",
                       host::FullPath(settings.batchFile.c_str()).c_str(), reason.c_str());
      return code;
    }
  }

  char devicePath[64];
  snprintf(devicePath, sizeof devicePath, "\\\\.\\lexon%d", settings.deviceNumber);

  // One session per device: a second Tervan would interleave its requests
  // with ours, each with its own cached FAT. The lock lives as long as this
  // call (the system drops it when a killed session ends).
  long holder = 0;
  std::unique_ptr<host::HeldLock> deviceLock =
      host::AcquireDeviceLock(devicePath, settings.simulation != 0, holder);
  if (!deviceLock && holder >= 0) {
    const char* link = settings.simulation ? "仿真USB连接" : devicePath;
    if (holder > 0)
      host::Print("ZEL设备(%s)正被另一个Tervan使用 (进程%ld), 同一设备同时只能打开一个Tervan.\n",
                  link, holder);
    else
      host::Print("ZEL设备(%s)正被另一个Tervan使用, 同一设备同时只能打开一个Tervan.\n", link);
    host::Out().Flush();
    return -1;
  }
  // The device itself admits one client, however it is reached (another
  // run folder's link to the socket, the other link of a zelsim serving
  // both, zelmount): it names the one holding it. With -E the claim goes
  // to the driver link of the same device when one is served.
  long holderPid = 0;
  std::string holderProgram;
  if (host::ClaimDevice(devicePath, "Tervan", holderPid, holderProgram) < 0) {
    const char* link = settings.simulation ? "仿真USB连接" : devicePath;
    host::Print("ZEL设备(%s)正被%s使用 (进程%ld), 同一设备同时只能由一个程序使用.\n", link,
                holderProgram.empty() ? "另一个程序" : holderProgram.c_str(), holderPid);
    host::Out().Flush();
    return -1;
  }

  auto* device = new ZEL_DEVICE_IO(devicePath, settings.simulation);
  auto* fat = new FAT_DEVICE(device);
  fat->verify = settings.verify;
  auto* shell = new CommandShell(fat, settings.syncDir.c_str());
  shell->stopOnError = settings.stopOnError;
  auto destroyDeviceAndEngine = [&] {
    delete shell;
    delete fat;
    delete device;
  };

  int state = device->Test(0);
  device->currentDisk = 0;
  if (state == 1) {
    std::string osFile = settings.osFileGiven ? settings.osFile : FindOsFile(settings.osFile);
    if (device->Download(osFile.c_str()) < 0) {
      destroyDeviceAndEngine();
      host::Print("download os failed.\n");
      host::Out().Flush();
      host::FileInfo info = host::Stat(osFile.c_str());
      host::PrintError("Tervan: OS文件 %s %s", host::FullPath(osFile.c_str()).c_str(),
                       !info.exists  ? "不存在 (用 -D 指定OS文件)"
                       : info.isDir  ? "是一个目录 (用 -D 指定OS文件)"
                       : !info.size  ? "是空文件"
                                     : "未能送到设备");
      return -1;
    }
    host::Settle(2000, "设备正在启动刚收到的操作系统");
  } else if (state != 2 && state != 3) {
    destroyDeviceAndEngine();
    // The reason first: which socket, whether zelsim serves it, how to
    // start it; then the usage exit, and nothing after it.
    ExplainNoDevice(devicePath, settings.deviceNumber, settings.simulation, state);
    return UsageExit("\nZEL设备打开失败.\n");
  }
  host::Settle(4000, "设备正在准备就绪");

  _ZELDEVICECAPS caps;
  caps.mask = 1u << kCapsDiskCountBit;
  device->GetDeviceCaps(&caps);
  int disks = caps.fields[kCapsDiskCountBit];
  if (disks > 2) disks = 2;
  host::Print("当前ZEL设备支持的磁盘数: %d\n", disks);
  fat->diskCount = disks;

  device->trackDisk = 0;
  int init = fat->Init();
  device->trackDisk = 1;
  if (init == -1) host::Print("ZEL设备文件系统初始化失败.\n");

  device->Switch(0);
  fat->init_part_params();

  if (batch) {
    shell->batchMode = 1;
    std::string folder = BatchFolder(settings.batchFile);
    if (!folder.empty()) host::SetCurrentDir(folder.c_str());
  }
  shell->SetStreams(batch ? batch.get() : &host::StdIn(), &host::Out());
  if (!batch) host::StdIn().SetCompletions(CommandShell::CommandNames());
  // From here Ctrl-C stops the command at a safe point instead of killing
  // Tervan half way through a write.
  host::InstallInterruptHandler();

  int status = RunCommandLoop(*shell);

  destroyDeviceAndEngine();
  batch.reset();
  host::Out().Flush();
  return status;
}
