// The registry command REGEDIT and the registry data file.
//
//   REGEDIT                          dump the registry below HKEY_ROOT
//   REGEDIT /CLoad <file>            load a registry data file into the device
//   REGEDIT /CSave /K<path> <file>   dump the tree below a key into a file
//
// The data file is text: key lines "[ROOT\key\key]" followed by value
// statements "name"="text", "name"=dword:1234abcd, "name"=hex:01,02 (and
// hex(N): for other types), a statement continued on the next line by a
// trailing "\". A dump is itself a valid data file. The registry is reached
// only through the device object's registry requests.


#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "command_shell.h"
#include "tervlink/text.h"
#include "tervlink/bytes.h"
#include "tervlink/service_records.h"

namespace {

constexpr size_t kLineChars = 2047;       // a data file is read this many characters at a time
constexpr size_t kStatementChars = 4095;  // a statement with its continuations

struct RootKey {
  const char* name;
  uint16_t handle;
};
constexpr RootKey kRoots[] = {{"HKEY_ROOT", 0},  {"HKEY_SYSTEM", 1}, {"HKEY_FONTS", 2},
                              {"HKEY_DICTS", 3}, {"HKEY_TECHS", 4},  {"HKEY_APPS", 5}};

const RootKey* FindRoot(const std::string& name) {
  for (const RootKey& r : kRoots)
    if (text::EqualNoCase(name.c_str(), r.name)) return &r;
  return nullptr;
}

// The data file, read by lines and, inside a value section, by characters.
class RegFile {
 public:
  explicit RegFile(FILE* f) : f_(f) {}
  ~RegFile() { fclose(f_); }
  // One line of at most 2047 characters without its line end; false at the end.
  bool ReadLine(std::string& line) {
    char buf[kLineChars + 1];
    if (!fgets(buf, sizeof buf, f_)) return false;
    line = buf;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return true;
  }
  int Get() { return getc(f_); }
  void Unget(int c) { ungetc(c, f_); }

 private:
  FILE* f_;
};

// Where a dump is written: the shell's output or a PC file (whose writer
// keeps the first failure for its Commit).
class FileOutput : public host::Output {
 public:
  explicit FileOutput(host::PcFileWriter& file) : file_(file) {}
  void Write(std::string_view gbk) override { file_.Write(gbk.data(), gbk.size()); }

 private:
  host::PcFileWriter& file_;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses a byte list "01, 02,ff," into out; false at the first fault.
bool ParseHexList(const char* p, std::vector<uint8_t>& out) {
  for (;;) {
    p = SkipBlanks(p);
    if (!*p) return true;
    int hi = HexDigit(p[0]);
    if (hi < 0) return false;
    int lo = HexDigit(p[1]);
    if (lo < 0) return false;
    out.push_back(uint8_t(hi << 4 | lo));
    p = SkipBlanks(p + 2);
    if (!*p) return true;
    if (*p != ',') return false;
    ++p;
  }
}

// The context of one load or dump.
class Registry {
 public:
  Registry(CommandShell& shell, FAT_DEVICE_IO& dev) : shell_(shell), dev_(dev) {}

  int Load(const char* fileName);
  int Dump(const char* path, host::Output& out);

 private:
  int ProcessKeyPath(std::string path, bool root, uint16_t parent, RegFile& file);
  int ReadValueSection(uint16_t key, RegFile& file);
  int ValueStatement(uint16_t key, RegFile& file);
  int OpenKeyPath(std::string path, bool root, uint16_t parent, std::string shown);
  int StepKeyPath(const std::string& path, bool root, uint16_t parent, bool create,
                  uint16_t& key, std::string& rest, std::string& shown);
  int DumpKey(uint16_t key, std::string& path);
  int DumpValues(uint16_t key);
  void Emit(const char* fmt, ...) TERVLINK_PRINTF(2, 3);

  CommandShell& shell_;
  FAT_DEVICE_IO& dev_;
  host::Output* out_ = nullptr;
};

void Registry::Emit(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  host::VPrintTo(*out_, fmt, ap);
  va_end(ap);
}

// ---- loading ------------------------------------------------------------------

int Registry::Load(const char* fileName) {
  FILE* f = host::OpenFile(fileName, "r");
  if (!f) {
    shell_.Printf("Can't open registry data file \"%s\"\n", fileName);
    return -1;
  }
  RegFile file(f);
  std::string line;
  while (file.ReadLine(line)) {
    const char* p = SkipBlanks(line.c_str());
    if (!*p) continue;
    if (*p != '[') {
      shell_.Printf("Invalid format of following statement\n\t%s\n", p);
      return -1;
    }
    std::string key = p;
    size_t close = key.rfind(']');
    if (close == std::string::npos) {
      shell_.Printf("Registry file key definition error\n\tCan't match ']' on following key "
                    "string\n\t%s\n", key.c_str());
      return -1;
    }
    key.resize(close);
    int r = ProcessKeyPath(key.substr(1), true, 0, file);
    if (r < 0) {
      shell_.Printf("Registry file key definition error\n\tError code (%d) when open "
                    "following key\n\t%s\n", r, key.c_str());
      return -1;
    }
  }
  int r = dev_.RegFlushKey(0);
  if (r < 0) {
    shell_.Printf("Registry Flush exception (0x%08x)\n", unsigned(r));
    return -1;
  }
  return 1;
}

// Takes the first component of path: a root key's name when root is set,
// else a key below parent, created or opened. Gives its handle, the rest of
// the path and the path shown in key lines. 0, or a negative code.
int Registry::StepKeyPath(const std::string& path, bool root, uint16_t parent, bool create,
                          uint16_t& key, std::string& rest, std::string& shown) {
  if (path.empty()) return kRegErrBadKey;
  size_t cut = path.find('\\');
  std::string name = path.substr(0, cut);
  rest = cut == std::string::npos ? "" : path.substr(cut + 1);
  if (root) {
    const RootKey* r = FindRoot(name);
    if (!r) return kRegErrBadKey;
    key = r->handle;
    shown = r->name;
    return 0;
  }
  // An empty component ("A\\B") names no key.
  if (name.empty()) return kRegErrBadKey;
  if (name.size() > kRegNameBytes) return kRegErrNameTooLong;
  int r = create ? dev_.RegCreateKeyA(parent, name.c_str(), &key)
                 : dev_.RegOpenKeyA(parent, name.c_str(), &key);
  if (r < 0) return r;
  shown += "\\" + name;
  return 0;
}

// Creates or opens each key of the path below parent, then reads the value
// section of the deepest one. The key's close answer, or a negative code.
int Registry::ProcessKeyPath(std::string path, bool root, uint16_t parent, RegFile& file) {
  std::string rest, shown;
  uint16_t key = 0;
  if (int r = StepKeyPath(path, root, parent, /*create=*/true, key, rest, shown); r < 0) return r;
  if (!rest.empty()) {
    int r = ProcessKeyPath(rest, false, key, file);
    if (r < 0) {
      dev_.RegCloseKey(key);
      return r;
    }
  }
  int r = ReadValueSection(key, file);
  int closed = dev_.RegCloseKey(key);
  return r < 0 ? r : closed;
}

// Reads value statements up to the next key line or the end of the file:
// 0, or the failure code of the statement that stopped it.
int Registry::ReadValueSection(uint16_t key, RegFile& file) {
  for (;;) {
    int c = file.Get();
    if (c == EOF) return 0;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '[') {
      file.Unget(c);
      return 0;
    }
    if (c != '"') return -1;
    int r = ValueStatement(key, file);
    if (r < 0) return r;
  }
}

// One value statement, its opening double quote already read.
int Registry::ValueStatement(uint16_t key, RegFile& file) {
  char* buf = reinterpret_cast<char*>(shell_.regBuffer);
  std::string line;
  file.ReadLine(line);
  std::string text = line;
  while (!text.empty() && text.back() == '\\') {
    text.pop_back();
    if (!file.ReadLine(line)) line.clear();
    if (text.size() + line.size() > kStatementChars) {
      shell_.Printf("Too many value data of registry\n");
      return -1;
    }
    text += line;
    if (line.empty()) break;
  }
  if (text.size() > kStatementChars) {
    shell_.Printf("Too many value data of registry\n");
    return -1;
  }
  memcpy(buf, text.c_str(), text.size() + 1);

  char* quote = strchr(buf, '"');
  if (!quote || quote == buf) {
    shell_.Printf("Invalid value name of following value statement\n\t%s\n", buf);
    return -1;
  }
  std::string name(buf, quote);
  const char* p = quote + 1;
  if (name.size() > kRegNameBytes) {
    shell_.Printf("value name (%s) too long\n\t%s\n", name.c_str(), p);
    return -1;
  }
  p = SkipBlanks(p);
  if (*p != '=') {
    shell_.Printf("Invalid value data statement of following statement\n\t%s\n", p);
    return -1;
  }
  p = SkipBlanks(p + 1);
  if (!*p) {
    shell_.Printf("Invalid value data statement of following statement\n\t%s\n", name.c_str());
    return -1;
  }

  uint32_t type = 0;
  std::vector<uint8_t> data;
  if (*p == '"') {
    const char* last = strrchr(p + 1, '"');
    if (!last) {
      shell_.Printf("Invalid REG_SZ value data definition of following statement\n\t%s\n", p + 1);
      return -1;
    }
    type = kRegString;
    data.assign(p + 1, last);
  } else if (text::EqualNoCaseN(p, "hex:", 4) || text::EqualNoCaseN(p, "hex(", 4)) {
    type = kRegBinary;
    const char* list = p + 4;
    if (p[3] == '(') {
      // hex(N): a value of any other type N, written in hexadecimal digits.
      type = 0;
      int digits = 0;
      for (; HexDigit(*list) >= 0 && digits < 8; ++list, ++digits)
        type = type << 4 | uint32_t(HexDigit(*list));
      if (digits == 0 || list[0] != ')' || list[1] != ':') {
        shell_.Printf("Invalid value data statement of following statement\n\t%s\n", p);
        return -1;
      }
      list += 2;
    }
    if (!ParseHexList(list, data)) {
      shell_.Printf("Invalid REG_BINARY value data definition of following statement\n\t%s\n",
                    list);
      return -1;
    }
  } else if (text::EqualNoCaseN(p, "dword:", 6)) {
    const char* digits = p + 6;
    uint32_t v = 0;
    int n = 0;
    for (; HexDigit(digits[n]) >= 0 && n < 8; ++n) v = v << 4 | uint32_t(HexDigit(digits[n]));
    // Up to 8 digits and nothing but blanks after them: a ninth digit or
    // other text would otherwise be dropped without a word.
    if (n == 0 || *SkipBlanks(digits + n)) {
      shell_.Printf("Invalid value data statement of following statement\n\t%s\n", digits);
      return -1;
    }
    type = kRegDword;
    data.resize(4);
    bytes::Put32(data.data(), v);
  } else {
    shell_.Printf("Invalid value data statement of following statement\n\t%s\n", p);
    return -1;
  }
  if (data.size() > kRegMaxData) {
    shell_.Printf("Too long of value data of following statement\n\t%s\n", p);
    return -1;
  }
  int r = dev_.RegSetValueExA(key, name.c_str(), 0, type, data.data(), uint32_t(data.size()));
  return r < 0 ? r : 0;
}

// ---- dumping --------------------------------------------------------------------

int Registry::Dump(const char* path, host::Output& out) {
  out_ = &out;
  return OpenKeyPath(path, true, 0, "");
}

// Opens each existing key of the path and dumps the deepest one. The key
// lines carry the full path from the root, so the dump loads back where it
// came from.
int Registry::OpenKeyPath(std::string path, bool root, uint16_t parent, std::string shown) {
  std::string rest;
  uint16_t key = 0;
  if (int r = StepKeyPath(path, root, parent, /*create=*/false, key, rest, shown); r < 0) return r;
  int r = rest.empty() ? DumpKey(key, shown) : OpenKeyPath(rest, false, key, shown);
  dev_.RegCloseKey(key);
  return r;
}

// Writes the key line, the values and then each subkey. 0 or the first
// registry error. The caller closes the key.
int Registry::DumpKey(uint16_t key, std::string& path) {
  Emit("[%s]\n", path.c_str());
  int r = DumpValues(key);
  if (r < 0) {
    shell_.Printf("Registry exception(0x%08x) during dump value\n", unsigned(r));
    return r;
  }
  Emit("\n");
  for (uint32_t i = 0;; ++i) {
    char name[kRegNameBytes + 1] = {};
    r = dev_.RegEnumKeyA(key, i, name, kRegNameBytes);
    if (r == kRegErrNoMoreItems) return 0;
    if (r != 0) {
      shell_.Printf("\nError = %d", r);
      return r;
    }
    uint16_t sub = 0;
    r = dev_.RegOpenKeyA(key, name, &sub);
    if (r < 0) return r;
    size_t keep = path.size();
    path += "\\";
    path += name;
    r = DumpKey(sub, path);
    path.resize(keep);
    dev_.RegCloseKey(sub);
    if (r < 0) return r;
  }
}

int Registry::DumpValues(uint16_t key) {
  for (uint32_t i = 0;; ++i) {
    char name[32] = {};
    uint8_t data[512] = {};
    uint32_t nameLength = kRegNameBytes, type = 0, size = 127;
    int r = dev_.RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &size);
    if (r != 0) return r == kRegErrNoMoreItems ? 0 : r;
    name[nameLength < kRegNameBytes ? nameLength : kRegNameBytes] = '\0';
    if (size > kRegDataBytes) size = kRegDataBytes;
    data[size] = 0;
    Emit("\"%s\"=", name);
    if (type == kRegString) {
      Emit("\"%s\"\n", reinterpret_cast<char*>(data));
      continue;
    }
    if (type == kRegDword) {
      Emit("dword:%08x\n", bytes::Get32(data));
      continue;
    }
    // Binary data, and any other type as hex(N): so that it loads back.
    if (type == 0 || type == kRegBinary)
      Emit(size ? "hex:\\\n" : "hex:\n");
    else
      Emit(size ? "hex(%x):\\\n" : "hex(%x):\n", type);
    for (uint32_t b = 0; b < size; ++b) {
      Emit("%02x,", data[b]);
      if ((b + 1) % 16 == 0) Emit("\\\n");
    }
    Emit("\n");
  }
}

}  // namespace

int CommandShell::CmdRegedit(int argc, char** argv) {
  Registry registry(*this, *Device());
  if (argc == 1) {
    host::Output& out = output ? *output : host::Out();
    return registry.Dump("HKEY_ROOT", out) < 0 ? -1 : 1;
  }
  const char* w = argv[1];
  if (w[0] != '/' || (w[1] != 'C' && w[1] != 'c')) return -2;
  if (text::EqualNoCase(w + 2, "LOAD")) {
    if (argc != 3 || !argv[2][0]) return -2;
    return registry.Load(argv[2]) < 0 ? -1 : 1;
  }
  if (!text::EqualNoCase(w + 2, "SAVE")) return -2;

  const char* keyPath = nullptr;
  const char* fileName = nullptr;
  for (int i = 2; i < argc && argv[i][0]; ++i) {
    const char* a = argv[i];
    if (a[0] == '/' && (a[1] == 'K' || a[1] == 'k')) {
      keyPath = a + 2;
    } else if (a[0] == '/' && !host::kSlashStartsAbsolutePath) {
      return -2;  // no other option
    } else {
      fileName = a;  // here "/home/me/apps.reg" is a file, not an option
    }
  }
  if (!keyPath || !*keyPath || !fileName) return -2;
  // A dump that fails leaves no file, and an earlier file of that name as
  // it was.
  host::PcFileWriter file;
  if (!file.Open(fileName, /*text=*/true)) return -1;
  FileOutput out(file);
  if (registry.Dump(keyPath, out) < 0) return -1;
  return file.Commit() ? 1 : -1;
}
