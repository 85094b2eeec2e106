// What the fuzz targets share: the entry point libFuzzer calls, the seed
// corpus each target builds, a check that aborts on a broken promise, and a
// private folder for targets whose readers take a file name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// The target's seed corpus: file names and contents. Only the standalone
// driver writes it (tests/fuzz/corpus/<target>/ holds the result).
std::vector<std::pair<std::string, std::string>> FuzzSeeds();

// Aborts with a message when a promise of the code under test is broken:
// libFuzzer then keeps the input, and the corpus run fails.
#define FUZZ_CHECK(cond)                                                    \
  do {                                                                      \
    if (!(cond)) {                                                          \
      fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #cond);    \
      abort();                                                              \
    }                                                                       \
  } while (0)

// A folder of this process's own under $TMPDIR, removed at exit.
class FuzzFolder {
 public:
  explicit FuzzFolder(const std::string& target) {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("tervan-fuzz-" + target + "-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~FuzzFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // Writes bytes as the file name; its path.
  std::string Put(const std::string& name, const uint8_t* data, size_t size) const {
    std::string p = File(name);
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
    return p;
  }

 private:
  std::filesystem::path path_;
};
