// Runs a fuzz target without libFuzzer: every input file named on the
// command line, and every file of each folder named, goes through
// LLVMFuzzerTestOneInput once, in name order. A fault aborts the run (so
// the corpus is a regression test); 0 when at least one input ran.
//
//   <target>_fuzz <corpus folder or file>...
//   <target>_fuzz --write-seeds <folder>    writes the target's seed corpus

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

int WriteSeeds(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  int n = 0;
  for (const auto& [name, bytes] : FuzzSeeds()) {
    std::ofstream f(folder / name, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    if (!f) {
      fprintf(stderr, "cannot write %s\n", (folder / name).c_str());
      return 1;
    }
    ++n;
  }
  printf("%d seeds written to %s\n", n, folder.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-seeds") return WriteSeeds(argv[2]);
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& e : fs::directory_iterator(argv[i]))
        if (e.is_regular_file()) inputs.push_back(e.path());
    } else {
      inputs.push_back(argv[i]);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& p : inputs) {
    std::ifstream f(p, std::ios::binary);
    if (!f) {
      fprintf(stderr, "cannot read %s\n", p.c_str());
      return 1;
    }
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    printf("%s (%zu bytes)\n", p.filename().c_str(), bytes.size());
    fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  printf("%zu inputs ran\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
