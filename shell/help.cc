// HELP: the command list (its entries in their print order, each printed
// followed by "\n", then one line naming the commands the list leaves out),
// and HELP <command> / <command> /?, which print the command's section of
// docs/commands.md. The page is compiled into the program (commands_doc.cc,
// made from it at build time), so what HELP says and what the page says
// are one text.

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "command_shell.h"
#include "tervlink/text.h"

extern const char kCommandsDoc[];

namespace {

const char* const kHelpEntries[] = {
    // ALARM
    "ALARM       ALARM 系统服务\n            ALARM /C[SET|KILL|RESET|ENUM] [/Dday] [/Hhour] [/Mminute]\n                  [/S[forever|onetime]] [indicator]\n            ALARM事件设置命令\n            ALARM /CSET [/Dday] [/Hhour] /Mminute\n                  [/S[forever|onetime]] indicator\n            ALARM事件清除命令\n            ALARM /CKILL indicator 删除指定indicator的ALARM事件\n            ALARM事件复位命令\n            ALARM /CRESET 清除所有ALARM事件\n            ALARM /CENUM 枚举所有活跃ALARM事件\n            ALARM 枚举所有活跃ALARM事件",
    // AT
    "AT          自动测试指令。\n            未实现",
    // BEEP
    "BEEP        BEEP指令.\n            BEEP /F频率(10Hz~10000Hz) /Dduration发音时间(1ms~5000ms)",
    // BIOS
    "BIOS        BIOS更新指令. \n            BIOS bios二进制文件名",
    // CAPS
    "CAPS        ZEL设备参数配置与获取. 无命令行参数时获取当前设备参数\n            CAPS [/A[自动关机时间|on|off]]\n                 [/N[屏幕保护时间|on|off]]\n                 [/V[on|off]Video开/关] [/C对比度设置值] [/Fvideo刷新速率]\n                 [/B[on|off]背光控制]\n                 [/Z[on|off]蜂鸣器输出开/关] [/T[on|off]键音开关]\n                 [/S键盘扫描延迟(ms)] [/D键盘字符重复延迟(ms)]\n                 [/R键盘字符重复率] [/U光标闪烁速度]\n                 [/P系统资源代码页\n",
    // CD/CHDIR
    "CD/CHDIR    显示当前目录的名称或将其更改.\n            CD .. 返回父目录\n            CD \\ 返回根目录\n            CD 目录名 进入子目录",
    // COPY
    "COPY        将至少一个文件复制到另一个位置\n            COPY PC文件名 ZEL文件名",
    // DIR
    "DIR         显示一个目录中的文件和子目录\n            DIR *.*\n            DIR *a.bin",
    // DATE
    "DATE        显示或设置ZEL日期",
    // DEL
    "DEL         删除至少一个文件\n            DEL a.bin",
    // ECHO
    "ECHO        显示消息，或将命令回显打开或关上\n            ECHO hello window 显示hello window",
    // EXIT
    "EXIT        关闭Tervan",
    // FORMAT
    "FORMAT      DOS逻辑格式化",
    // LOCAL
    "LOCAL       本机信息测试\n            1.  LOCAL 本机信息数据文件\n                设置本机信息(厂家信息,机器序列号,硬件版本,厂家超级密钥等)\n            2.  LOCAL\n                显示本机信息，测试用途\n",
    // MCI
    "MCI         MCI流媒体播放\n            MCI流句柄/位置定义: MCI_PLAYHEAD, MCI_PLAYTAIL, MCI_UNITHEAD,\n                                MCI_UNITTAIL, MCI_UNITLIST, MCI_PLAYLIST,\n                                MCI_ACTIVEUNIT\n            其他16进制数值(0x0000~0xFFFF).\n            1.  LOAD流文件播放\n                MCI /CLOAD /T[mp3|g729|wave|midi|wma] [/P流插入位置]\n                  [/L流播放循环次数] [/M流循环静音时间ms] [/N流结束静音时间ms]\n                  (+|-)ENDDEL 播放结束删除标志设置/清除\n                  (+|-)ASAP 立即播放标志设置/清除\n                  (+|-)LOCK 播放锁定标志设置/清除\n                  (+|-)LYRIC 自动歌词同步标志设置/清除\n                  (+|-)ENDLOOP 流循环播放标志设置/清除\n                  流文件路径名\n            2.  PLAY流播放\n                MCI /CPLAY [/I[TRUE|FALSE]] [流句柄]\n                  例如: MCI /CPLAY /ITRUE 0x0001 立即播放流句柄号为1的流\n            3.  STOP流停止\n                MCI /CSTOP\n            4.  PAUSE流暂停\n                MCI /CPAUSE\n            5.  CANCEL流取消\n                MCI /CCancel [流句柄] 未指定流句柄则取消当前流\n            6.  ENUM流枚举\n            7.  DELETE流删除\n                MCI /CDELETE [流句柄] 未指定流句柄则删除当前流\n            8.  MCI /CPREV 选择播放列表中前一个流播放\n            9.  MCI /CNEXT 选择播放列表中下一个流播放\n            10. SEEK流定位\n            11. MCI /CUNLOCK 流解锁\n            12. MCI /CSTATE 获取流设备状态\n",
    // MD/MKDIR
    "MD/MKDIR    创建目录\n            MD 目录名",
    // PART
    "PART        显示或重新建立当前磁盘的系统分区\n            1.  PART\n                显示系统分区大小\n            2.  PART do (+|-)Y \n                重新进行当前磁盘系统分区,所有数据均被删除\nRD/RMDIR    删除目录\n            RD 目录名",
    // REBOOT
    "REBOOT      系统重新启动\n",
    // REGEDIT
    "REGEDIT     注册库编辑\n            1.  REGEDIT\n                显示整个注册库内容\n            2.  REGEDIT /CLoad 注册库文件\n                将指定注册库文件中的数据加入到ZEL设备注册库中\n            3.  REGEDIT /CSave /K键名 注册库文件\n                将ZEL设备注册库中指定键的键数据写入到指定的PC文件中去\n",
    // REM
    "REM         批处理文件中的注释\n            REM 注释信息",
    // REN
    "REN         重命名文件\n            REN 源文件名 目标文件名",
    // SYNC
    "SYNC        文件同步\n            SYNC /D(PC2ZEL|ZEL2PC) /PPc目录名 /FZel目录名 (+|-)T (+|-)S (+|-)V\n            (+|-)T 允许/关闭文件修改时间同步模式\n            (+|-)S 允许/关闭文件大小同步模式\n            (+|-)V 允许/关闭文件版本同步模式\n            系统缺省允许所有同步模式\n            SYNC /DPC2ZEL /P\\sync /F\\  将PC的文件同步到ZEL硬件",
    // TIME
    "TIME        显示或设置ZEL系统时间",
    // TIMEZONE
    "TIMEZONE    时区显示或设置, 无命令行参数时获取当前设置时区\n            TIMEZONE [时区值(-12 ~ +13)]\n            0 格林威治标准时间\n            8 中国标准时间",
    // VER
    "VER         显示文件版本信息",
    // VERIFY
    "VERIFY      文件校验(版本,合法性检查)",
    // SWITCH
    "SWITCH      切换磁盘\n            SWITCH [切换的磁盘号(0-4)]",
    // LOWFORMAT
    "LOWFORMAT   低格当前的磁盘",
    // C:
    "C:          切换分区到C盘",
    // D:
    "D:          切换分区到D盘",
    // E:
    "E:          切换分区到E盘",
    // F:
    "F:          切换分区到F盘",
    // SHOWTBL
    "SHOWTBL\t\t 显示逻辑物理块表前两个zone",
    // BUILDIMAGE
    "BUILDIMAGE  创建系统镜像文件",
    // DOWNIMAGE
    "DOWNIMAGE   下载系统镜像文件到flash",
    // BUILDSIMUBIN
    "BUILDSIMUBIN   创建模拟器的NFLASH文件，并同步PC机文件到该文件",
    // SETECCMETHOD .. UPDATEIMAGE, one closing entry
    "SETECCMETHOD  设置NFC使用的ECC方法，NFC使用此方法读写Nand\n              SETECCMETHOD (SLC|MLC)\n"
    "GETECCMETHOD  获取NFC使用的ECC方法\n"
    "SETECCROM     向NandFlash写入Reed-Solomon算法的ROM\n              SETECCROM ROM文件\n"
    "GETECCROM     从NandFlash读取Reed-Solomon算法的ROM到指定的文件\n              GETECCROM ROM文件\n"
    "SETBADBLOCKINFO 构建原厂坏块信息\n"
    "GETBADBLOCKINFO 读取原厂坏块信息\n"
    "NANDINFO     读取NAND信息\n"
    "NANDWRITE    向指定的物理块中写入信息\n             NANDWRITE 物理块号 写入的数据文件名 \n"
    "NANDREAD     从指定的物理块读出整个物理块数据并写入到指定的文件\n             NANDREAD 物理块号  写入的数据文件名\n"
    "NANDERASE    擦除NAND块\n             NANDERASE 物理块号\n"
    "GETDIR       获取Tervan当前工作路径\n             GETDIR\nSETDIR       设置Tervan当前工作路径\n             SETDIR PC全路径名\n             例如: SETDIR /home/user/work\n"
    "NANDMREAD    从指定的物理块连续读出物理块数据并写入到指定的文件夹\n             NANDMREAD 起始物理块号 物理块个数 目标文件夹\n"
    "PAKIMAGE     压缩ISO镜像文件为PAK镜像压缩格式文件\n"
    "UNPAKIMAGE   解压PAK镜像压缩格式文件为ISO格式文件\n"
    "GETBLOCKTABLE 读取NandFlash的逻辑物理块表（基于每个逻辑分区）\n              GETBLOCKTABLE 块表名字\n"
    "UPDATEIMAGE 读取NandFlash的数据，并更新到ISO镜像中 \n",
};

// The names an entry describes: the first word of each of its lines that
// starts at the left margin, split at '/' ("CD/CHDIR" names CD and CHDIR).
std::set<std::string> DescribedNames() {
  std::set<std::string> names;
  for (const char* entry : kHelpEntries) {
    for (std::string_view rest = entry; !rest.empty();) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      if (line.empty() || line[0] == ' ') continue;
      std::string_view word = line.substr(0, line.find_first_of(" \t"));
      for (size_t at = 0; at <= word.size();) {
        size_t slash = std::min(word.find('/', at), word.size());
        names.insert(std::string(word.substr(at, slash - at)));
        at = slash + 1;
      }
    }
  }
  return names;
}

// One line of the page as HELP prints it: without the marks of the page's
// format (`code`, **bold**, [text](link) becomes text).
std::string PlainLine(std::string_view line) {
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '`') continue;
    if (c == '*' && i + 1 < line.size() && line[i + 1] == '*') {
      ++i;
      continue;
    }
    if (c == ']' && i + 1 < line.size() && line[i + 1] == '(') {
      size_t close = line.find(')', i);
      if (close != std::string_view::npos) {
        size_t open = out.rfind('[');
        if (open != std::string::npos) out.erase(open, 1);
        i = close;
        continue;
      }
    }
    out += c;
  }
  return out;
}

// True when the heading's names (comma-separated after "### ") hold name.
bool HeadingNames(std::string_view heading, const char* name) {
  for (std::string_view rest = heading; !rest.empty();) {
    size_t comma = rest.find(',');
    std::string one(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    one.erase(0, one.find_first_not_of(' '));
    one.erase(one.find_last_not_of(' ') + 1);
    if (text::EqualNoCase(one.c_str(), name)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> CommandDocNames() {
  std::vector<std::string> names;
  std::string_view doc = kCommandsDoc;
  bool fenced = false;
  for (size_t at = 0; at < doc.size();) {
    size_t end = std::min(doc.find('\n', at), doc.size());
    std::string_view line = doc.substr(at, end - at);
    at = end + 1;
    if (line.substr(0, 3) == "```") fenced = !fenced;
    if (fenced || line.substr(0, 4) != "### ") continue;
    for (std::string_view rest = line.substr(4); !rest.empty();) {
      size_t comma = rest.find(',');
      std::string one(rest.substr(0, comma));
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      one.erase(0, one.find_first_not_of(' '));
      one.erase(one.find_last_not_of(' ') + 1);
      names.push_back(one);
    }
  }
  return names;
}

int CommandShell::CmdHelp(int argc, char** argv) {
  if (argc == 2) return PrintCommandHelp(argv[1]);
  if (argc > 2) return -2;
  for (const char* entry : kHelpEntries) Printf("%s\n", entry);
  std::set<std::string> described = DescribedNames();
  std::set<std::string> missing;
  for (const std::string& name : CommandNames())
    if (!described.count(name)) missing.insert(name);
  std::string list;
  for (const std::string& name : missing) list += (list.empty() ? "" : " ") + name;
  Printf("上面没有列出的命令: %s; 任一命令的完整用法、结果码与例子: HELP 命令名 (或 命令名 /?)\n",
         list.c_str());
  return 1;
}

int CommandShell::PrintCommandHelp(const char* name) {
  std::string_view doc = kCommandsDoc;
  bool inside = false, fenced = false, comment = false;
  for (size_t at = 0; at < doc.size();) {
    size_t end = std::min(doc.find('\n', at), doc.size());
    std::string_view line = doc.substr(at, end - at);
    at = end + 1;
    if (!fenced && !comment && line.substr(0, 1) == "#") {
      if (inside) return 1;  // the next heading ends the section
      inside = line.substr(0, 4) == "### " && HeadingNames(line.substr(4), name);
      if (inside) Printf("%s\n", std::string(line.substr(4)).c_str());
      continue;
    }
    if (!inside) {
      if (line.substr(0, 3) == "```") fenced = !fenced;
      continue;
    }
    if (comment || line.substr(0, 4) == "<!--") {  // notes for the doc tests
      comment = line.find("-->") == std::string_view::npos;
      continue;
    }
    if (line.substr(0, 3) == "```") {
      fenced = !fenced;
      if (fenced && line.substr(3) == "bat") Printf("Example:\n");
      continue;
    }
    std::string text = fenced ? "    " + std::string(line) : PlainLine(line);
    Printf("%s\n", text.c_str());
  }
  if (inside) return 1;
  host::SetReason("没有名为 '%s' 的命令; HELP 列出所有命令", name);
  return -2;
}
