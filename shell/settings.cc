// Device settings commands: DATE, TIMEZONE, ALARM, CAPS, BEEP, REBOOT and LOCAL.
//
// Each command parses its words into one fixed record, sends one service
// request of the device object and prints what the device answered.
// Argument errors give -2 without a message; a refused request gives -1.


#include <cstdio>
#include <cstring>

#include "command_shell.h"
#include "tervlink/text.h"
#include "tervlink/zel_device_io.h"
#include <string>

namespace {

const char* const kWeekDays[] = {"星期天", "星期一", "星期二", "星期三",
                                 "星期四", "星期五", "星期六"};

const char* const kLanguages[] = {
    "LANG_CHINESE_SIMPLIFIED", "LANG_CHINESE_TRADITIONAL", "LANG_CHINESE_HONGKONG",
    "LANG_ENGLISH",            "LANG_FRENCH",              "LANG_RUSSIAN",
    "LANG_SPANISH",            "LANG_JAPANESE",            "LANG_KOREAN",
    "LANG_ITALIAN",            "LANG_GERMAN",              "LANG_ARABIC",
    "LANG_MALAY",              "LANG_INDONESIAN",          "LANG_THAI"};

// "%d" as the commands read numbers: leading blanks and a sign allowed,
// anything after the digits ignored.
bool ParseDecimal(const char* text, int& out) { return sscanf(text, "%d", &out) == 1; }

// Day of week of a Gregorian date, 0 = Sunday.
uint16_t DayOfWeek(int year, int month, int day) {
  static const int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  return uint16_t((year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7);
}

// Fields of the settings record, by mask bit.
constexpr int kCapsAutoOff = 0, kCapsAutoOffTime = 1, kCapsSaver = 2, kCapsSaverTime = 3,
              kCapsVideo = 4, kCapsContrast = 5, kCapsRefresh = 6, kCapsBacklight = 7,
              kCapsKeyTone = 8, kCapsScanDelay = 9, kCapsRepeatDelay = 10, kCapsRepeatRate = 11,
              kCapsCursor = 12, kCapsBuzzer = 13, kCapsMainBattery = 14, kCapsBackupBattery = 15,
              kCapsCodePage = 16;

// Device information record offsets (one 512-byte sector).
constexpr size_t kLocalKey = 0;           // manufacturer key, 16 bytes
constexpr size_t kLocalManufacturer = 48;  // text
constexpr size_t kLocalSerial = 176;       // text
constexpr size_t kLocalHardware = 208;     // text

// "on" -> 1, "off" -> 0, anything else -> -1.
int OnOff(const char* text) {
  if (text::EqualNoCase(text, "on")) return 1;
  if (text::EqualNoCase(text, "off")) return 0;
  return -1;
}

}  // namespace

// DATE [/C] [year month day hour minute second]
int CommandShell::CmdDate(int argc, char** argv) {
  static const int kLow[6] = {2000, 1, 1, 0, 0, 0};
  static const int kHigh[6] = {2099, 12, 31, 23, 59, 59};
  bool fromPc = false;
  int values[6] = {};
  int given = 0;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if (w[0] == '/') {
      if (strcmp(w, "/C") != 0 && strcmp(w, "/c") != 0) return -2;
      fromPc = true;
      continue;
    }
    int v = 0;
    if (!ParseDecimal(w, v) || given >= 6) return -2;
    if (v < kLow[given] || v > kHigh[given]) return -2;
    values[given++] = v;
  }

  _EZEL_SYSTEMTIME t;
  if (fromPc) {
    host::LocalTime now = host::Now();
    t = MakeSystemTime(now.year, now.month, now.dayOfWeek, now.day, now.hour, now.minute,
                       now.second, now.milliseconds);
    return Device()->SetLocalTime(&t) != 0 ? 1 : -1;
  }
  if (given > 0) {
    if (given != 6) return -2;
    t.wYear = uint16_t(values[0]);
    t.wMonth = uint8_t(values[1]);
    t.wDay = uint8_t(values[2]);
    t.wHour = uint8_t(values[3]);
    t.wMinute = uint8_t(values[4]);
    t.wSecond = uint8_t(values[5]);
    t.wDayOfWeek = DayOfWeek(values[0], values[1], values[2]);
    return Device()->SetLocalTime(&t) == 1 ? 1 : -1;
  }
  if (Device()->GetLocalTime(&t) != 1) return -1;
  const char* weekDay = t.wDayOfWeek < 7 ? kWeekDays[t.wDayOfWeek] : "";
  Printf("当前日期：%04d-%02d-%02d %s\n", t.wYear, t.wMonth, t.wDay, weekDay);
  ShowClockTime(t);
  return 1;
}

void CommandShell::ShowClockTime(const _EZEL_SYSTEMTIME& t) {
  Printf("当前时间：%2d:%2d:%2d\n", t.wHour, t.wMinute, t.wSecond);
}

// TIME [hh:mm[:ss]]: the device clock's time, shown as DATE shows it, or
// set (the date stays).
int CommandShell::CmdTime(int argc, char** argv) {
  if (argc > 2) return -2;
  int h = 0, m = 0, s = 0;
  if (argc == 2) {
    // hh:mm or hh:mm:ss and nothing after it.
    int used = 0, usedAll = 0;
    if (sscanf(argv[1], "%d:%d%n:%d%n", &h, &m, &used, &s, &usedAll) < 2) return -2;
    size_t length = strlen(argv[1]);
    if (size_t(usedAll) != length && size_t(used) != length) return -2;
    if (size_t(usedAll) != length) s = 0;
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return -2;
  }
  _EZEL_SYSTEMTIME t;
  if (Device()->GetLocalTime(&t) != 1) return -1;
  if (argc == 1) {
    ShowClockTime(t);
    return 1;
  }
  t.wHour = uint8_t(h);
  t.wMinute = uint8_t(m);
  t.wSecond = uint8_t(s);
  t.wMilliseconds = 0;
  return Device()->SetLocalTime(&t) == 1 ? 1 : -1;
}

// VER: Tervan's version, the device's state and, where the device keeps
// one in its information record, its hardware version.
int CommandShell::CmdVer(int argc, char**) {
  if (argc != 1) return -2;
  Printf("%s", kVersionLine);
  auto* zel = dynamic_cast<ZEL_DEVICE_IO*>(Device());
  int state = zel ? zel->Test(0) : -1;
  Printf("ZEL设备状态: %d (%s)\n", state,
         state == 1 ? "等待操作系统" : (state == 2 || state == 3) ? "就绪" : "没有应答");
  char record[kLocalSectorBytes] = {};
  if (state >= 0 && Device()->ReadLocal(0, 1, record) == 1) {
    std::string hardware(record + kLocalHardware, strnlen(record + kLocalHardware,
                                                          kLocalSectorBytes - kLocalHardware));
    if (!hardware.empty()) Printf("ZEL硬件版本: %s\n", hardware.c_str());
  }
  return 1;
}

// TIMEZONE [hours]
int CommandShell::CmdTimeZone(int argc, char** argv) {
  _ZEL_TIME_ZONE_INFORMATION zone;
  if (argc == 1) {
    if (Device()->GetTimeZoneInformation(&zone) != 1) return -1;
    int h = zone.Bias / 60;
    if (h == 0)
      Printf("时区: (GMT) 格林威治标准时间");
    else if (h == 8)
      Printf("时区: (GMT+08:00) 中国标准时间");
    else if (h > 0)
      Printf("时区: (GMT+%02d:00)", h);
    else
      Printf("时区: (GMT-%02d:00)", -h);
    return 1;
  }
  if (argc != 2) return -2;
  int hours = 0;
  if (!ParseDecimal(argv[1], hours)) return -2;
  // No range check on the hours; the product is kept within 32 bits.
  if (hours > 1000000 || hours < -1000000) return -2;
  zone.Bias = hours * 60;
  return Device()->SetTimeZoneInformation(&zone) == 1 ? 1 : -1;
}

// ALARM [/C<SET|KILL|RESET|ENUM>] [/D<day>] [/H<hour>] [/M<minute>]
//       [/S<forever|onetime>] [indicator]
int CommandShell::CmdAlarm(int argc, char** argv) {
  enum Action { kNone, kSet, kKill, kReset, kEnum };
  Action action = kNone;
  int indicator = 255;  // none
  uint16_t type = 0;
  int day = 0, hour = 0, minute = 0;
  uint16_t valid = 0;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if (!*w) continue;
    int v = 0;
    if (w[0] != '/') {
      if (!ParseDecimal(w, v)) return -2;
      indicator = v;
      continue;
    }
    switch (w[1]) {
      case 'C': case 'c':
        if (text::EqualNoCase(w + 2, "SET")) action = kSet;
        else if (text::EqualNoCase(w + 2, "KILL")) action = kKill;
        else if (text::EqualNoCase(w + 2, "RESET")) action = kReset;
        else if (text::EqualNoCase(w + 2, "ENUM")) action = kEnum;
        else return -2;
        break;
      case 'D': case 'd':
        if (!ParseDecimal(w + 2, day)) return -2;
        valid |= 1;
        break;
      case 'H': case 'h':
        if (!ParseDecimal(w + 2, hour)) return -2;
        valid |= 2;
        break;
      case 'M': case 'm':
        if (!ParseDecimal(w + 2, minute)) return -2;
        valid |= 4;
        break;
      case 'S': case 's':
        if (text::EqualNoCase(w + 2, "forever")) type = 2;
        else if (text::EqualNoCase(w + 2, "onetime")) type = 1;
        else return -2;
        break;
      default:
        return -2;
    }
  }
  if (action == kNone) {
    if (argc != 1) return -2;
    action = kEnum;
  }

  switch (action) {
    case kSet: {
      if (indicator == 255 || valid == 0) return -2;
      _SYSTEMALARM a;
      a.type = type ? type : 1;
      a.validFields = valid;
      a.indicator = uint8_t(indicator);
      a.day = uint8_t(day);
      a.hour = uint8_t(hour);
      a.minute = uint8_t(minute);
      return Device()->SetAlarm(&a) == 1 ? 1 : -1;
    }
    case kKill:
      if (argc != 3 || indicator == 255) return -2;
      return Device()->KillAlarm(uint8_t(indicator)) == 1 ? 1 : -1;
    case kReset:
      if (argc != 2) return -2;
      return Device()->ResetAlarm() == 0 ? 1 : -1;
    default:
      break;
  }

  if (argc > 2) return -2;
  Printf("    ID  日期 小时:分钟  属性\n");
  Printf("    ------------------------\n");
  int count = 0;
  int32_t cursor = -1;
  for (;;) {
    _SYSTEMALARM a;
    int32_t r = Device()->EnumAlarm(cursor, &a);
    if (r == -190) break;
    if (r < 0) return -1;
    Printf("    %-3d ", a.indicator);
    if (a.validFields & 1) Printf("%-4d ", a.day); else Printf("     ");
    if (a.validFields & 2) Printf("  %2d ", a.hour); else Printf("     ");
    if (a.validFields & 4) Printf("%-2d    ", a.minute); else Printf("      ");
    Printf(a.type == 1 ? "Onetime Alarm\n" : "Forever Alarm\n");
    // An alarm id is one byte, so a list longer than 256 means a device
    // that repeats itself; stop rather than loop for ever.
    if (++count > 256) return -1;
    cursor = r;
  }
  Printf("\n           系统ALARM事件%d个\n", count);
  return 1;
}

// CAPS [options]: without options shows the settings record.
int CommandShell::CmdCaps(int argc, char** argv) {
  _ZELDEVICECAPS caps;
  if (argc == 1) {
    caps.mask = 0xFFFFFFFFu;
    if (Device()->GetDeviceCaps(&caps) != 1) return -1;
    const auto& f = caps.fields;
    auto state = [](uint16_t v) { return v ? "开" : "关"; };
    int autoOff = f[kCapsAutoOffTime] == 65535 ? 2147483647 : f[kCapsAutoOffTime];
    uint16_t lang = f[kCapsCodePage];
    Printf("ZEL设备配置信息\n");
    Printf("---------------------------\n");
    Printf("     自动关机时间         :  %d 秒\n", autoOff);
    Printf("     VIDEO状态            :  %s\n", state(f[kCapsVideo]));
    Printf("     VIDEO对比度值        :  %d\n", f[kCapsContrast]);
    Printf("     VIDEO刷新帧频        :  %d Hz\n", f[kCapsRefresh]);
    Printf("     背光状态             :  %s\n", state(f[kCapsBacklight]));
    Printf("     蜂鸣器状态           :  %s\n", state(f[kCapsBuzzer]));
    Printf("     键盘音状态           :  %s\n", state(f[kCapsKeyTone]));
    Printf("     键盘扫描延迟时间     :  %d 毫秒\n", f[kCapsScanDelay]);
    Printf("     键盘字符重复延迟时间 :  %d 毫秒\n", f[kCapsRepeatDelay]);
    Printf("     键盘字符重复率       :  %d 次/秒\n", f[kCapsRepeatRate]);
    Printf("     主电池测量电压       :  %d 毫伏\n", f[kCapsMainBattery]);
    Printf("     备份电池测量电压     :  %d 毫伏\n", f[kCapsBackupBattery]);
    Printf("     系统资源代码页       :  %s\n",
           lang >= 1 && lang <= 15 ? kLanguages[lang - 1] : "NULL");
    return 1;
  }

  auto set = [&caps](int bit, int value) {
    caps.mask |= 1u << bit;
    caps.fields[bit] = uint16_t(value);
  };
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if (!*w) continue;
    if (w[0] != '/') return -2;
    const char* v = w + 2;
    int n = 0;
    int on = OnOff(v);
    switch (w[1]) {
      case 'A': case 'a':
      case 'N': case 'n': {
        bool autoOff = w[1] == 'A' || w[1] == 'a';
        if (on >= 0) set(autoOff ? kCapsAutoOff : kCapsSaver, on);
        else if (ParseDecimal(v, n)) set(autoOff ? kCapsAutoOffTime : kCapsSaverTime, n);
        else return -2;
        break;
      }
      case 'V': case 'v': case 'B': case 'b': case 'T': case 't': case 'Z': case 'z': {
        if (on < 0) return -2;
        int bit = (w[1] | 0x20) == 'v'   ? kCapsVideo
                  : (w[1] | 0x20) == 'b' ? kCapsBacklight
                  : (w[1] | 0x20) == 't' ? kCapsKeyTone
                                         : kCapsBuzzer;
        set(bit, on);
        break;
      }
      case 'C': case 'c': case 'F': case 'f': case 'S': case 's': case 'D': case 'd':
      case 'R': case 'r': case 'U': case 'u': case 'P': case 'p': {
        if (!ParseDecimal(v, n)) return -2;
        int bit = 0;
        switch (w[1] | 0x20) {
          case 'c': bit = kCapsContrast; break;
          case 'f': bit = kCapsRefresh; break;
          case 's': bit = kCapsScanDelay; break;
          case 'd': bit = kCapsRepeatDelay; break;
          case 'r': bit = kCapsRepeatRate; break;
          case 'u': bit = kCapsCursor; break;
          default: bit = kCapsCodePage; break;
        }
        set(bit, n);
        break;
      }
      default:
        return -2;
    }
  }
  return Device()->SetDeviceCaps(&caps) == 1 ? 1 : -1;
}

// BEEP [/F<Hz>] [/D<ms>]
int CommandShell::CmdBeep(int argc, char** argv) {
  int frequency = 1000, duration = 1000;
  for (int i = 1; i < argc; ++i) {
    const char* w = argv[i];
    if (!*w) break;
    if (w[0] != '/') return -2;
    if (w[1] == 'F' || w[1] == 'f') {
      if (!ParseDecimal(w + 2, frequency)) return -2;
    } else if (w[1] == 'D' || w[1] == 'd') {
      if (!ParseDecimal(w + 2, duration)) return -2;
    } else {
      return -2;
    }
  }
  return Device()->Beep(uint32_t(frequency), uint32_t(duration)) == 1 ? 1 : -1;
}

// REBOOT: the device restarts; no reply is awaited.
int CommandShell::CmdReboot(int argc, char**) {
  if (argc != 1) return -2;
  return Device()->Reboot() == 0 ? 1 : -1;
}

// LOCAL shows the device information record; LOCAL <word> writes the
// default record (the word names an information file nobody reads).
int CommandShell::CmdLocal(int argc, char**) {
  uint8_t record[kLocalSectorBytes] = {};
  char* raw = reinterpret_cast<char*>(record);
  if (argc == 1) {
    if (Device()->ReadLocal(0, 1, raw) != 1) return -1;
    // Each text ends at a zero byte, and at the next field at the latest.
    auto text = [&](size_t offset, size_t end) {
      return std::string(raw + offset, strnlen(raw + offset, end - offset));
    };
    Printf("  厂家信息  :  %s\n  产品序列号:  %s\n  硬件版本  :  %s\n",
           text(kLocalManufacturer, kLocalSerial).c_str(),
           text(kLocalSerial, kLocalHardware).c_str(),
           text(kLocalHardware, kLocalSectorBytes).c_str());
    return 1;
  }
  if (argc != 2) return -2;
  auto put = [&](size_t offset, const char* text) { memcpy(record + offset, text, strlen(text)); };
  put(kLocalKey, "7c3e91a0d54f28b6");
  put(kLocalManufacturer, "澜星电子");
  put(kLocalSerial, "SN000001");
  put(kLocalHardware, "0101");
  return Device()->WriteLocal(0, 1, raw) == 1 ? 1 : -1;
}
