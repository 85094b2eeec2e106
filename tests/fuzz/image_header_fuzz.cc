// The system image's header and bitmap reader: the fuzzer's image (see
// image_input.h) packed by PAKIMAGE and burnt by DOWNIMAGE. A conversion
// that fails leaves no output file; one that succeeds leaves a packed image
// with the same header layout and bitmap.

#include "fuzz_support.h"
#include "image_input.h"
#include "tervlink/zel_device_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzFolder folder("image");
  const std::string& file = image_input::Expand(data, size);
  std::string path = folder.Put("fuzz.iso", reinterpret_cast<const uint8_t*>(file.data()), file.size());
  std::string packedPath = folder.File("fuzz.PAK");
  {
    host::StringOutput quiet;
    host::Output* previous = host::SetOut(&quiet);
    ZEL_DEVICE_IO dev("\\\\.\\lexon0", 0);
    int r = dev.BuildPakImageFile(path.data());
    std::ifstream out(packedPath, std::ios::binary);
    FUZZ_CHECK((r == 0) == bool(out));
    if (r == 0) {
      // Only the header is checked: read no more of the file than that.
      char packed[image::kHeaderBytes];
      FUZZ_CHECK(out.read(packed, sizeof packed).gcount() == sizeof packed);
      FUZZ_CHECK(strncmp(packed, image::kPackedMarker, image::kHdrMarkerBytes) == 0);
      FUZZ_CHECK(memcmp(packed + image::kHdrMarkerBytes, file.data() + image::kHdrMarkerBytes,
                        image::kHeaderBytes - image::kHdrMarkerBytes) == 0);
    }
    std::filesystem::remove(packedPath);
    host::SetOut(previous);
  }
  image_input::Burn(path, file);
  return 0;
}

std::vector<std::pair<std::string, std::string>> FuzzSeeds() {
  using image_input::Seed;
  return {
      {"empty.img", Seed(image::kSystemMarker, {}, false, 0)},
      {"one-run.img", Seed(image::kSystemMarker, {0}, false, 512)},
      {"two-runs.img", Seed(image::kSystemMarker, {0, 1}, false, 1024)},
      {"truncated.img", Seed(image::kSystemMarker, {1}, false, 600)},
      {"packed.img", Seed(image::kPackedMarker, {1}, true, 512)},
  };
}
