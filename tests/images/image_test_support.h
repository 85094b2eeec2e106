// Helpers of the image tests: a fixture with a fresh folder and the
// library's output captured, whole-file reads, and a checksum computation
// of the tests' own (not the library's) to hold checksum files against.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "../support/test_dir.h"
#include "tervlink/host/host.h"

inline std::string Slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void Spill(const std::filesystem::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data.data(), std::streamsize(data.size()));
}

// The checksum file of a data area: per 512-byte sector the sum of its 128
// little-endian words and the complement of the sum, both little-endian.
inline std::string IndependentChecksums(const std::string& data) {
  std::string out;
  out.reserve(data.size() / 64);
  for (size_t s = 0; s + 512 <= data.size(); s += 512) {
    uint32_t sum = 0;
    for (size_t w = 0; w < 128; ++w) {
      const auto* p = reinterpret_cast<const unsigned char*>(data.data() + s + 4 * w);
      sum += uint32_t(p[0]) + (uint32_t(p[1]) << 8) + (uint32_t(p[2]) << 16) + (uint32_t(p[3]) << 24);
    }
    uint32_t both[2] = {sum, ~sum};
    for (uint32_t v : both)
      for (int k = 0; k < 4; ++k) out.push_back(char((v >> (8 * k)) & 0xFF));
  }
  return out;
}

// A fresh folder per test (removed afterwards) and the library's printed
// text in out.
class ImageDirTest : public ::testing::Test {
 protected:
  ImageDirTest() {
    previous = host::SetOut(&out);
  }
  ~ImageDirTest() override {
    host::SetOut(previous);
  }
  std::string Path(const std::string& name) { return (dir / name).string(); }

  host::StringOutput out;
  host::Output* previous = nullptr;
  TestDir testDir{"tervan-image"};
  std::filesystem::path dir = testDir.path();
};
