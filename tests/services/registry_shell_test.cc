// REGEDIT against the model: the data-file grammar, its messages, and the
// round trip through a saved file.

#include "shell_fixture.h"
#include "tervlink/service_records.h"

namespace {

class RegistryShell : public ShellOnModel {
 protected:
  // Loads text as a data file; the result code.
  int Load(const std::string& text) {
    std::string path = WriteFile("load.reg", text);
    return Run("REGEDIT /CLoad " + path);
  }
  // The value of key/name as the device has it; false when missing.
  bool Value(const char* path, const char* name, uint32_t& type, std::vector<uint8_t>& data) {
    uint16_t key = 5;  // HKEY_APPS
    std::vector<uint16_t> opened;
    std::string p = path;
    size_t start = 0;
    while (start < p.size()) {
      size_t cut = p.find('\\', start);
      std::string part = p.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
      if (dev_.RegOpenKeyA(key, part.c_str(), &key) != 0) return false;
      opened.push_back(key);
      start = cut == std::string::npos ? p.size() : cut + 1;
    }
    bool found = false;
    for (uint32_t i = 0;; ++i) {
      char n[32] = {};
      uint8_t d[512] = {};
      uint32_t size = 0;
      if (dev_.RegEnumValueA(key, i, n, nullptr, nullptr, &type, d, &size) != 0) break;
      if (strcmp(n, name) == 0) {
        data.assign(d, d + size);
        found = true;
        break;
      }
    }
    for (uint16_t h : opened) dev_.RegCloseKey(h);
    return found;
  }
  int Flushes() {
    int n = 0;
    for (auto& b : t_.blocks) n += b[0] == req::kRegFlushKey;
    return n;
  }
};

TEST_F(RegistryShell, EveryValueKindLoads) {
  std::string data255;
  for (int i = 0; i < 255; ++i) data255 += (i % 16 == 0 ? "\\\n" : "") + std::string(i ? "," : "") + "7e";
  ASSERT_EQ(Load("\n  \t\n[HKEY_APPS\\Input]  trailing text\n"
                 "\"Mode\"=dword:0000002A\n"
                 "  \"Title\" \t= \t\"a \"quoted\" b\"\n"
                 "\"Table\"=HEX:\\\n 0A , ff,\\\n01,\n"
                 "\"Empty\"=hex:\n"
                 "\"Big\"=hex:" + data255 + "\n"
                 "\"Odd\"=hex(9):01,02\n"
                 "[hkey_apps\\Input\\Deeper]\n\"S\"=\"\"\n"),
            1);
  EXPECT_EQ(Take(), "");
  EXPECT_EQ(Flushes(), 1);
  uint32_t type = 0;
  std::vector<uint8_t> d;
  ASSERT_TRUE(Value("Input", "Mode", type, d));
  EXPECT_EQ(type, kRegDword);
  EXPECT_EQ(d, (std::vector<uint8_t>{0x2A, 0, 0, 0}));
  ASSERT_TRUE(Value("Input", "Title", type, d));
  EXPECT_EQ(type, kRegString);
  EXPECT_EQ(std::string(d.begin(), d.end()), "a \"quoted\" b");
  ASSERT_TRUE(Value("Input", "Table", type, d));
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(d, (std::vector<uint8_t>{0x0A, 0xFF, 0x01}));
  ASSERT_TRUE(Value("Input", "Empty", type, d));
  EXPECT_TRUE(d.empty());
  ASSERT_TRUE(Value("Input", "Big", type, d));
  EXPECT_EQ(d, std::vector<uint8_t>(255, 0x7e));
  ASSERT_TRUE(Value("Input", "Odd", type, d));
  EXPECT_EQ(type, 9u);
  ASSERT_TRUE(Value("Input\\Deeper", "S", type, d));
  EXPECT_TRUE(d.empty());
}

TEST_F(RegistryShell, KeyOnlyFileFlushesOnce) {
  EXPECT_EQ(Load("[hkey_apps]\n"), 1);
  EXPECT_EQ(Flushes(), 1);
}

struct BadFile {
  const char* text;
  const char* message;
};

class RegistryBadFile : public RegistryShell, public ::testing::WithParamInterface<BadFile> {};

// Each malformed statement prints its message, stops the load (no flush)
// and keeps what was sent before it.
TEST_P(RegistryBadFile, PrintsItsMessageAndStops) {
  std::string text = std::string("[HKEY_APPS\\Before]\n\"Kept\"=dword:1\n") + GetParam().text +
                     "\n[HKEY_APPS\\After]\n\"Never\"=dword:2\n";
  EXPECT_EQ(Load(text), -1);
  EXPECT_EQ(Take(), GetParam().message);
  EXPECT_EQ(Flushes(), 0);
  uint32_t type = 0;
  std::vector<uint8_t> d;
  EXPECT_TRUE(Value("Before", "Kept", type, d));
  EXPECT_FALSE(Value("After", "Never", type, d));
}

// A statement failure also reports the key whose section it stopped.
#define KEY_ERROR(code, key) \
  "Registry file key definition error\n\tError code (" #code ") when open following key\n\t" key "\n"

INSTANTIATE_TEST_SUITE_P(
    Grammar, RegistryBadFile,
    ::testing::Values(
        BadFile{"[HKEY_SYSTEM\\ABCDEFGHI]", KEY_ERROR(-133, "[HKEY_SYSTEM\\ABCDEFGHI")},
        BadFile{"[HKEY_OTHER]", KEY_ERROR(-131, "[HKEY_OTHER")},
        BadFile{"[]", KEY_ERROR(-131, "[")},
        BadFile{"[HKEY_APPS\\A\\\\B]", KEY_ERROR(-131, "[HKEY_APPS\\A\\\\B")},
        BadFile{"  [HKEY_APPS\\X",
                "Registry file key definition error\n\tCan't match ']' on following key "
                "string\n\t[HKEY_APPS\\X\n"},
        BadFile{"[HKEY_APPS]\n\"ABCDEFGHI\"=dword:1",
                "value name (ABCDEFGHI) too long\n\t=dword:1\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"\"=dword:1",
                "Invalid value name of following value statement\n\t\"=dword:1\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N=dword:1",
                "Invalid value name of following value statement\n\tN=dword:1\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\" dword:1",
                "Invalid value data statement of following statement\n\tdword:1\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=  ",
                "Invalid value data statement of following statement\n\tN\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=\"open",
                "Invalid REG_SZ value data definition of following statement\n\topen\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=hex:0g",
                "Invalid REG_BINARY value data definition of following statement\n\t0g\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=hex:01;02",
                "Invalid REG_BINARY value data definition of following statement\n\t01;02\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=hex:01,,02",
                "Invalid REG_BINARY value data definition of following statement\n\t01,,02\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=dword:",
                "Invalid value data statement of following statement\n\t\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=dword:123456789",
                "Invalid value data statement of following statement\n\t123456789\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=qword:1",
                "Invalid value data statement of following statement\n\tqword:1\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\n\"N\"=hex(zz):01",
                "Invalid value data statement of following statement\n\thex(zz):01\n" KEY_ERROR(-1, "[HKEY_APPS")},
        BadFile{"[HKEY_APPS]\nMode=1", KEY_ERROR(-1, "[HKEY_APPS")}));

TEST_F(RegistryShell, ValueBeforeAnyKeyLine) {
  EXPECT_EQ(Load("\n  \"Loose\"=dword:1\n[HKEY_APPS]\n"), -1);
  EXPECT_EQ(Take(), "Invalid format of following statement\n\t\"Loose\"=dword:1\n");
  EXPECT_EQ(Flushes(), 0);
}

TEST_F(RegistryShell, TooLongData) {
  std::string list;
  for (int i = 0; i < 256; ++i) list += "01,";
  EXPECT_EQ(Load("[HKEY_APPS]\n\"N\"=hex:" + list + "\n"), -1);
  EXPECT_EQ(Take(), "Too long of value data of following statement\n\thex:" + list + "\n" +
                        KEY_ERROR(-1, "[HKEY_APPS"));
  std::string text(256, 'x');
  EXPECT_EQ(Load("[HKEY_APPS]\n\"N\"=\"" + text + "\"\n"), -1);
  EXPECT_EQ(Take().substr(0, 46), "Too long of value data of following statement\n");
}

TEST_F(RegistryShell, TooManyContinuationLines) {
  std::string text = "[HKEY_APPS]\n\"N\"=hex:\\\n";
  for (int i = 0; i < 200; ++i) text += "01,02,03,04,05,06,07,\\\n";
  EXPECT_EQ(Load(text + "\n"), -1);
  EXPECT_EQ(Take(), "Too many value data of registry\n" KEY_ERROR(-1, "[HKEY_APPS"));
}

TEST_F(RegistryShell, ArgumentsAndMissingFile) {
  EXPECT_EQ(Run("REGEDIT /CLoad"), -2);
  EXPECT_EQ(Run("REGEDIT /CLoad a b"), -2);
  EXPECT_EQ(Run("REGEDIT /Cdump"), -2);
  EXPECT_EQ(Run("REGEDIT /X"), -2);
  EXPECT_EQ(Run("REGEDIT /CSave /KHKEY_APPS"), -2);
  EXPECT_EQ(Run("REGEDIT /CSave out.reg"), -2);
  EXPECT_EQ(Run("REGEDIT /CSave /Q1 out.reg"), -2);
  EXPECT_EQ(Run("REGEDIT /CLoad none.reg"), -1);
  EXPECT_EQ(Take(), "Can't open registry data file \"none.reg\"\n");
}

TEST_F(RegistryShell, DumpFormats) {
  std::string seventeen = "hex:";
  for (int i = 0; i < 17; ++i) seventeen += (i ? "," : "") + std::string("a") + char('0' + i % 10);
  ASSERT_EQ(Load("[HKEY_APPS\\Dump]\n\"Bin\"=" + seventeen + "\n\"Sixteen\"=hex:" +
                 "00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f\n\"None\"=hex:\n"
                 "\"Num\"=dword:ABC\n\"Text\"=\"hi there\"\n\"Odd\"=hex(1f):05\n"),
            1);
  Take();
  std::string path = "dump.reg";
  EXPECT_EQ(Run("REGEDIT /CSave /Khkey_apps\\dump " + path), 1);
  EXPECT_EQ(ReadFile(path),
            "[HKEY_APPS\\dump]\n"
            "\"Bin\"=hex:\\\na0,a1,a2,a3,a4,a5,a6,a7,a8,a9,a0,a1,a2,a3,a4,a5,\\\na6,\n"
            "\"Sixteen\"=hex:\\\n00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,\\\n\n"
            "\"None\"=hex:\n\n"
            "\"Num\"=dword:00000abc\n"
            "\"Text\"=\"hi there\"\n"
            "\"Odd\"=hex(1f):\\\n05,\n"
            "\n");
  EXPECT_EQ(Run("REGEDIT /CSave /KHKEY_APPS\\Missing " + path), -1);
  EXPECT_EQ(Run("REGEDIT /CSave /KHKEY_APPS\\ABCDEFGHI " + path), -1);
  EXPECT_EQ(Run("REGEDIT /CSave /KNOWHERE " + path), -1);
}

// A saved tree loads into an empty device and saves again identically.
TEST_F(RegistryShell, SaveLoadSaveRoundTrip) {
  ASSERT_EQ(Load("[HKEY_APPS\\Game]\n\"Level\"=dword:7\n\"Name\"=\"Zel \"x\" 1\"\n"
                 "[HKEY_APPS\\Game\\Keys]\n\"Map\"=hex:01,02,03\n"
                 "[HKEY_APPS\\Game\\Keys\\Alt]\n\"E\"=hex:\n[HKEY_APPS\\Other]\n"),
            1);
  std::string first = "first.reg", second = "second.reg";
  ASSERT_EQ(Run("REGEDIT /CSave " + first + " /KHKEY_APPS"), 1);

  ModelConfig c = Config(dir_ + "/fresh");
  DeviceModel fresh(c);
  t_.model = &fresh;
  EXPECT_EQ(Run("REGEDIT /CLoad " + first), 1);
  // An absolute path begins with "/" here: a file name, not an unknown option.
  EXPECT_EQ(Run("REGEDIT /CSave /KHKEY_APPS " + dir_ + "/" + second), 1);
  t_.model = &model_;
  EXPECT_EQ(ReadFile(first), ReadFile(second));
  EXPECT_NE(ReadFile(first).find("[HKEY_APPS\\Game\\Keys\\Alt]\n\"E\"=hex:\n"), std::string::npos);
}

TEST_F(RegistryShell, PlainDumpShowsTheWholeRegistry) {
  ASSERT_EQ(Load("[HKEY_SYSTEM\\Input]\n\"Mode\"=dword:2\n"), 1);
  Take();
  t_.Clear();
  EXPECT_EQ(Run("REGEDIT"), 1);
  EXPECT_EQ(Take(),
            "[HKEY_ROOT]\n\n[HKEY_ROOT\\SYSTEM]\n\n[HKEY_ROOT\\SYSTEM\\Input]\n"
            "\"Mode\"=dword:00000002\n\n[HKEY_ROOT\\FONTS]\n\n[HKEY_ROOT\\DICTS]\n\n"
            "[HKEY_ROOT\\TECHS]\n\n[HKEY_ROOT\\APPS]\n\n");
  // Every handle the dump opened was given back.
  int opens = 0, closes = 0;
  for (auto& b : t_.blocks) {
    opens += b[0] == req::kRegOpenKey;
    closes += b[0] == req::kRegCloseKey && (b[8] | b[9] << 8) > kHkeyLastRoot;
  }
  EXPECT_EQ(opens, closes);
}

}  // namespace
