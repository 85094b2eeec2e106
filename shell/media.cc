// The media stream command MCI.
//
//   MCI /C<subcommand> [words]
//
// Each subcommand is one MciSendCommand request to the device's stream
// player (device 0). A negative answer is turned into a message by one
// table; argument errors give -2 before any request.


#include <cstdio>
#include <cstring>

#include "command_shell.h"
#include "tervlink/text.h"
#include "tervlink/bytes.h"
#include "tervlink/service_records.h"

namespace {

struct NamedValue {
  const char* name;
  uint16_t value;
};

constexpr NamedValue kPositions[] = {
    {"MCI_PLAYHEAD", kMciPlayHead}, {"MCI_PLAYTAIL", kMciPlayTail},
    {"MCI_UNITHEAD", kMciUnitHead}, {"MCI_UNITTAIL", kMciUnitTail},
    {"MCI_UNITLIST", kMciUnitList}, {"MCI_PLAYLIST", kMciPlayList},
    {"MCI_ACTIVEUNIT", kMciActiveUnit}};

// Handle words of PLAY, CANCEL and DELETE.
constexpr NamedValue kHandleNames[] = {
    {"MCI_UNITLIST", kMciUnitList}, {"MCI_PLAYLIST", kMciPlayList},
    {"MCI_ACTIVEUNIT", kMciActiveUnit}};

// The stream types /T accepts; midi is offered by the help text too.
constexpr NamedValue kTypes[] = {{"mp3", 4}, {"wave", 1}, {"g729", 6}, {"wma", 5}, {"midi", 3}};

constexpr NamedValue kFlags[] = {{"ENDDEL", kMciFlagEndDel}, {"ASAP", kMciFlagAsap},
                                 {"LOCK", kMciFlagLock},     {"LYRIC", kMciFlagLyric},
                                 {"ENDLOOP", kMciFlagEndLoop}};

const char* const kTypeNames[] = {"PCM", "WAVE", "ADPCM", "MIDI", "MP3", "WMA", "G729", "ZEL"};

struct ErrorText {
  int32_t code;
  const char* text;
};
constexpr ErrorText kErrors[] = {
    {-240, "无效MCI流类型或流解码器未安装\n"},
    {-238, "无效流文件(流文件打开失败)\n"},
    {-237, "无效流格式数据\n"},
    {-236, "无效MCI流命令\n"},
    {-235, "无效MCI流标志设置\n"},
    {-234, "无效MCI命令参数指针或参数设置\n"},
    {-233, "无效MCI流单元或位置\n"},
    {-232, "无效流设备\n"},
    {-224, "MCI内部资源分配失败\n"},
    {-223, "MCI设备忙，不能执行指定的命令\n"},
    {-222, "MCI设备处于空闲或停止状态\n"},
    {-221, "MCI流解码器内部状态错误\n"},
    {-208, "MCI流设备打开失败\n"},
    {-207, "MCI流设备读失败\n"},
    {-206, "MCI流设备写失败\n"},
    {-205, "MCI流设备定位失败\n"},
    {-204, "MCI流设备同步文本信息获取失败\n"},
    {-192, "WAVE设备忙\n"},
    {-191, "WAVE设备错误\n"},
};

template <size_t N>
const NamedValue* Find(const NamedValue (&table)[N], const char* word) {
  for (const NamedValue& e : table)
    if (text::EqualNoCase(word, e.name)) return &e;
  return nullptr;
}

bool ParseHex(const char* text, uint16_t& out) {
  unsigned v = 0;
  if (sscanf(text, "%x", &v) != 1) return false;
  out = uint16_t(v);
  return true;
}

// A handle word: one of the list names or a hexadecimal number.
bool ParseHandle(const char* text, uint16_t& out) {
  if (const NamedValue* e = Find(kHandleNames, text)) {
    out = e->value;
    return true;
  }
  return ParseHex(text, out);
}

// A handle passed as the 32-bit parameter itself is sign-extended, so
// MCI_PLAYLIST (0xFFF6) travels as -10.
uintptr_t HandleParameter(uint16_t handle) { return uint32_t(int32_t(int16_t(handle))); }

// Device paths are upper-cased as the device's file names are: ASCII
// letters only, and never the second byte of a GBK character.
void UpperPath(const char* in, uint8_t* out) {
  for (size_t i = 0; in[i]; ++i) {
    uint8_t c = uint8_t(in[i]);
    if (c >= 0x81 && in[i + 1]) {
      out[i] = c;
      out[i + 1] = uint8_t(in[i + 1]);
      ++i;
      continue;
    }
    out[i] = (c >= 'a' && c <= 'z') ? uint8_t(c - 'a' + 'A') : c;
  }
}

}  // namespace

int CommandShell::CmdMci(int argc, char** argv) {
  if (argc == 1) return 1;
  const char* w = argv[1];
  if (w[0] != '/' || (w[1] != 'C' && w[1] != 'c') || !w[2]) return -2;
  const char* sub = w + 2;
  FAT_DEVICE_IO* dev = Device();

  // A negative answer prints its message (when it has one) and gives -1.
  auto refused = [&](int32_t r) {
    for (const ErrorText& e : kErrors)
      if (e.code == r) Printf("%s", e.text);
    return -1;
  };
  auto simple = [&](uint32_t message, uintptr_t parameter) {
    int32_t r = dev->MciSendCommand(0, message, parameter);
    return r == 0 ? 1 : refused(r);
  };

  if (text::EqualNoCase(sub, "LOAD")) {
    MciLoadRecord rec;
    const char* path = nullptr;
    for (int i = 2; i < argc && argv[i][0]; ++i) {
      const char* a = argv[i];
      if (a[0] == '/') {
        int n = 0;
        switch (a[1]) {
          case 'T': case 't': {
            const NamedValue* t = Find(kTypes, a + 2);
            if (!t) return -2;
            rec.type = t->value;
            break;
          }
          case 'P': case 'p':
            if (const NamedValue* p = Find(kPositions, a + 2)) rec.position = p->value;
            else if (!ParseHex(a + 2, rec.position)) return -2;
            break;
          case 'L': case 'l':
          case 'M': case 'm':
          case 'N': case 'n':
            if (sscanf(a + 2, "%d", &n) != 1) return -2;
            ((a[1] | 0x20) == 'l' ? rec.loops : (a[1] | 0x20) == 'm' ? rec.loopGap : rec.endGap) =
                uint16_t(n);
            break;
          default:
            return -2;
        }
      } else if (a[0] == '+' || a[0] == '-') {
        const NamedValue* f = Find(kFlags, a + 1);
        if (!f) return -2;
        if (a[0] == '+') rec.flags |= f->value;
        else rec.flags &= uint16_t(~f->value);
      } else {
        if (strlen(a) >= kMciPathBytes) return -2;
        path = a;
      }
    }
    if (!path) return -2;
    UpperPath(path, rec.path.data());
    auto raw = EncodeMciLoad(rec);
    int32_t r = dev->MciSendCommand(0, kMciLoad, reinterpret_cast<uintptr_t>(raw.data()));
    return r < 0 ? refused(r) : 1;
  }

  if (text::EqualNoCase(sub, "PLAY")) {
    uint16_t handle = kMciActiveUnit;
    uint16_t atOnce = 1;
    for (int i = 2; i < argc && argv[i][0]; ++i) {
      const char* a = argv[i];
      if (a[0] != '/') {
        if (!ParseHandle(a, handle)) return -2;
        break;
      }
      if (a[1] != 'I' && a[1] != 'i') return -2;
      if (text::EqualNoCase(a + 2, "TRUE")) atOnce = 1;
      else if (text::EqualNoCase(a + 2, "FALSE")) atOnce = 0;
      else return -2;
    }
    uint8_t rec[kMciPlayBytes] = {};
    bytes::Put16(rec, handle);
    bytes::Put16(rec + 2, atOnce);
    return simple(kMciPlay, reinterpret_cast<uintptr_t>(rec));
  }

  if (text::EqualNoCase(sub, "STOP") || text::EqualNoCase(sub, "PAUSE")) {
    if (argc != 2) return -2;
    return simple(text::EqualNoCase(sub, "STOP") ? kMciStop : kMciPause, 0);
  }

  if (text::EqualNoCase(sub, "CANCEL") || text::EqualNoCase(sub, "DELETE") ||
      text::EqualNoCase(sub, "UNLOCK")) {
    uint16_t handle = kMciActiveUnit;
    bool unlock = text::EqualNoCase(sub, "UNLOCK");
    if (argc > 3) return -2;
    if (argc == 3 && !(unlock ? ParseHex(argv[2], handle) : ParseHandle(argv[2], handle)))
      return -2;
    uint32_t message = unlock ? kMciUnlock
                       : text::EqualNoCase(sub, "CANCEL") ? kMciCancel
                                                        : kMciDelete;
    return simple(message, HandleParameter(handle));
  }

  if (text::EqualNoCase(sub, "PREV")) return simple(kMciPrev, 0);
  if (text::EqualNoCase(sub, "NEXT")) return simple(kMciNext, 0);
  if (text::EqualNoCase(sub, "SEEK")) return DoesNothingHere("MCI /CSEEK");  // the player has no seek request

  if (text::EqualNoCase(sub, "STATE")) {
    static const char* const kStates[] = {"  MCI设备处于停止状态\n", "  MCI设备处于工作状态\n",
                                          "  MCI设备处于暂停状态\n"};
    int32_t r = dev->MciSendCommand(0, kMciState, 0);
    if (r < 0 || r > 2) return -1;
    Printf("%s", kStates[r]);
    return 1;
  }

  if (text::EqualNoCase(sub, "ENUM")) {
    Printf("    句柄    流类型 流状态(锁定)  标题\n");
    for (uint16_t list : {kMciUnitList, kMciPlayList}) {
      uint8_t rec[kMciEnumRecordBytes] = {};
      bytes::Put16(rec + kMciEnumCursor, list);
      int count = 0;
      // A list holds at most one entry per handle; a longer walk means a
      // device that repeats itself.
      while (count <= 0xFFFF) {
        int32_t r = dev->MciSendCommand(0, kMciEnum, reinterpret_cast<uintptr_t>(rec));
        if (r < 0) break;
        uint16_t handle = bytes::Get16(rec + kMciEnumHandle);
        uint16_t type = bytes::Get16(rec + kMciEnumType);
        Printf("  0x%04x   %s\n", handle, type < 8 ? kTypeNames[type] : "?");
        ++count;
        bytes::Put16(rec + kMciEnumCursor, handle);
      }
      Printf(list == kMciUnitList ? "    total unitlist=%d\n\n" : "    total playlist=%d\n\n",
             count);
    }
    return 1;
  }
  return -2;
}
