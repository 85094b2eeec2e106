// A folder of a test's own: a new folder with a unique name under $TMPDIR
// (the system's temporary folder when TMPDIR is not set), removed with all
// it holds when the object goes away, whether the test passed or failed.
// With TERVAN_KEEP_TEST_DIRS=1 in the environment it is kept, and its path
// is printed so that it can be looked at.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class TestDir {
 public:
  // prefix: the start of the folder's name (characters other than letters,
  // digits, '-' and '_' become '_').
  explicit TestDir(const std::string& prefix = "tervan-test") {
    std::string name;
    for (char c : prefix) name += (isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') ? c : '_';
    std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 random(uint64_t(seed()) << 32 ^ seed());
    // Making a folder that exists fails, so a name another run holds is
    // never shared.
    for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
      char suffix[20];
      snprintf(suffix, sizeof suffix, "-%012llx", static_cast<unsigned long long>(random() >> 16));
      std::filesystem::path p = base / (name + suffix);
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) path_ = p;
      else if (ec) throw std::filesystem::filesystem_error("cannot make a test folder", p, ec);
    }
    if (path_.empty()) throw std::filesystem::filesystem_error("no free test folder name", base, std::error_code());
  }
  ~TestDir() {
    const char* keep = getenv("TERVAN_KEEP_TEST_DIRS");
    if (keep && *keep && std::string(keep) != "0") {
      fprintf(stderr, "test folder kept: %s\n", path_.c_str());
      return;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of a name inside the folder.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// One folder for the whole test program, made on first use and removed when
// the program ends. CTest runs every test case in a program of its own, so
// this is one folder per test there too.
inline const TestDir& ProgramTestDir() {
  static TestDir dir("tervan-test");
  return dir;
}
