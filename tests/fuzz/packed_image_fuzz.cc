// The packed-image reader: the fuzzer's image (see image_input.h), marked
// as packed, unpacked by UNPAKIMAGE and burnt by DOWNIMAGE. A failed
// unpacking leaves no output file; a finished one is the full-size image:
// data offset plus one 512 KB run per 128 bitmap bytes.

#include "fuzz_support.h"
#include "image_input.h"
#include "tervlink/zel_device_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFolder folder("packed");
  std::string& file = image_input::Expand(data, size);
  if (file.size() >= image::kHdrMarkerBytes) {
    memset(file.data(), 0, image::kHdrMarkerBytes);
    memcpy(file.data(), image::kPackedMarker, sizeof image::kPackedMarker);
  }
  std::string path = folder.Put("fuzz.pak", reinterpret_cast<const uint8_t*>(file.data()), file.size());
  std::string outPath = folder.File("fuzz.UNP");
  {
    host::StringOutput quiet;
    host::Output* previous = host::SetOut(&quiet);
    ZEL_DEVICE_IO dev("\\\\.\\lexon0", 0);
    int r = dev.UnPakImageFile(path.data());
    std::error_code ec;
    uintmax_t outSize = std::filesystem::file_size(outPath, ec);
    FUZZ_CHECK((r == 0) == !ec);
    if (r == 0) {
      const uint8_t* h = reinterpret_cast<const uint8_t*>(file.data());
      uint64_t dataAt = bytes::Get32(h + image::kHdrDataOffset);
      uint64_t bitmapBytes = dataAt - bytes::Get32(h + image::kHdrBitmapOffset) - image::kBitmapTrailer;
      FUZZ_CHECK(outSize == dataAt + bitmapBytes / image::kRunBitmapBytes * image::kRunBytes);
    }
    std::filesystem::remove(outPath, ec);
    host::SetOut(previous);
  }
  image_input::Burn(path, file);
  return 0;
}

std::vector<std::pair<std::string, std::string>> FuzzSeeds() {
  using image_input::Seed;
  return {
      {"empty.pak", Seed(image::kPackedMarker, {}, true, 0)},
      {"one-run.pak", Seed(image::kPackedMarker, {1}, true, 512)},
      {"two-runs.pak", Seed(image::kPackedMarker, {0, 1}, true, 1024)},
      {"truncated.pak", Seed(image::kPackedMarker, {0, 1}, true, 700)},
  };
}
