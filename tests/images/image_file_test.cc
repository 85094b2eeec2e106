// System image files and packed images built through the device object's
// image mode, checked byte by byte.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image_test_support.h"
#include "tervlink/bytes.h"
#include "tervlink/host/host.h"
#include "tervlink/image_file.h"
#include "tervlink/zel_device_io.h"

namespace fs = std::filesystem;

namespace {

class ImageFileTest : public ImageDirTest {
 protected:
  ImageFileTest() : device("\\\\.\\no-such-device", 0) {}

  // Builds a system image of sizeMb with the given sectors written (each
  // filled with its own number's low byte) and closes it.
  std::string BuildImage(const std::string& name, int sizeMb, std::vector<uint32_t> sectors) {
    std::string path = Path(name);
    device.SetImageMode(0);
    EXPECT_EQ(device.BuildImageFile(sizeMb, path.data()), 0);
    for (uint32_t s : sectors) {
      std::vector<char> data(512, char(s & 0xFF));
      EXPECT_EQ(device.Write(s, 1, data.data()), 1);
    }
    EXPECT_EQ(device.CloseImageFile(nullptr, path.data()), 0);
    return path;
  }

  ZEL_DEVICE_IO device;
};

TEST_F(ImageFileTest, OneMegabyteImageLayout) {
  std::string path = BuildImage("one.iso", 1, {5});
  std::string file = Slurp(path);
  ASSERT_EQ(file.size(), 1082624u);
  auto* b = reinterpret_cast<const uint8_t*>(file.data());
  EXPECT_STREQ(file.c_str(), image::kSystemMarker);
  EXPECT_EQ(bytes::Get32(b + image::kHdrSizeMb), 1u);
  EXPECT_EQ(bytes::Get32(b + image::kHdrBitmapOffset), 32768u);
  EXPECT_EQ(bytes::Get32(b + image::kHdrDataOffset), 34048u);
  EXPECT_EQ(bytes::Get32(b + image::kHdrDiskCount), 0u);
  EXPECT_EQ(b[200], 0xFF);               // filler after the header
  EXPECT_EQ(b[32768], 0x20);             // sector 5 assigned: bit 5 of byte 0
  EXPECT_EQ(b[32769], 0x00);
  EXPECT_EQ(b[32768 + 256], 0xFF);       // trailer after the 256-byte bitmap
  EXPECT_EQ(b[34048 + 5 * 512], 5);      // the sector's data
  EXPECT_EQ(b[34048 + 4 * 512], 0xFF);   // never written

  std::string crc = Slurp(Path("one.crc"));
  ASSERT_EQ(crc.size(), 16384u);
  auto* c = reinterpret_cast<const uint8_t*>(crc.data());
  EXPECT_EQ(bytes::Get32(c), 0xFFFFFF80u);
  EXPECT_EQ(bytes::Get32(c + 4), 0x0000007Fu);
  EXPECT_EQ(bytes::Get32(c + 5 * 8), 0x05050505u * 128u);
  EXPECT_EQ(bytes::Get32(c + 5 * 8 + 4), ~(0x05050505u * 128u));
  EXPECT_NE(out.text.find("创建扇区CheckSum数据成功\n"), std::string::npos);
  EXPECT_EQ(device.imageActive, 0);
}

TEST_F(ImageFileTest, ChecksumFileNames) {
  EXPECT_EQ(image::ChecksumFileName("/x/a.b.iso"), "/x/a.b.crc");
  EXPECT_EQ(image::ChecksumFileName("/x/noext"), "/x/noext.crc");
  EXPECT_EQ(image::ChecksumFileName("/x.y/img"), "/x.y/img.crc");
  EXPECT_EQ(image::ConvertedImageName("image.iso", "PAK"), "image.PAK");
  EXPECT_EQ(image::ConvertedImageName("ab", "PAK"), "");
}

TEST_F(ImageFileTest, SectorTrafficStaysInsideTheImage) {
  std::string path = Path("small.iso");
  device.SetImageMode(0);
  ASSERT_EQ(device.BuildImageFile(1, path.data()), 0);
  std::vector<char> data(1024, 'x');
  EXPECT_EQ(device.Write(2047, 1, data.data()), 1);
  EXPECT_EQ(device.Write(2047, 2, data.data()), -1);  // would run past sector 2047
  EXPECT_EQ(device.Direct_Write(2048, 1, data.data()), -1);
  std::vector<char> back(512);
  EXPECT_EQ(device.Read(2047, 1, back.data()), 1);
  EXPECT_EQ(back[0], 'x');
  EXPECT_EQ(device.Direct_Read(2048, 1, back.data()), -1);
  EXPECT_EQ(device.CloseImageFile(nullptr, path.data()), 0);
  EXPECT_EQ(fs::file_size(path), 1082624u);
  // Closing again with no image being built changes nothing.
  EXPECT_EQ(device.CloseImageFile(nullptr, path.data()), 0);
  // An unknown image kind builds nothing.
  device.SetImageMode(7);
  EXPECT_EQ(device.BuildImageFile(1, path.data()), -1);
}

TEST_F(ImageFileTest, PackAndUnpackRoundTrip) {
  // 2 MB: four runs; runs 0 and 3 hold data.
  std::string iso = BuildImage("disk.iso", 2, {0, 3 * 1024 + 7});
  ASSERT_EQ(device.BuildPakImageFile(iso.data()), 0);
  std::string pak = Slurp(Path("disk.PAK"));
  uint32_t dataOffset = 32768 + 512 + 1024;
  ASSERT_EQ(pak.size(), dataOffset + 2 * image::kRunBytes);
  EXPECT_STREQ(pak.c_str(), image::kPackedMarker);
  EXPECT_EQ(uint8_t(pak[dataOffset]), 0);                               // sector 0 of run 0
  EXPECT_EQ(uint8_t(pak[dataOffset + image::kRunBytes + 7 * 512]), 7);  // run 3 follows at once

  std::string pakPath = Path("disk.PAK");
  ASSERT_EQ(device.UnPakImageFile(pakPath.data()), 0);
  EXPECT_EQ(Slurp(Path("disk.UNP")), Slurp(iso));

  // A plain image is not a packed one.
  out.text.clear();
  EXPECT_EQ(device.UnPakImageFile(iso.data()), -1);
  EXPECT_EQ(out.text, "Sorry, this file is not pak-image file, please check and try again.\r\n");
  EXPECT_FALSE(fs::exists(Path("disk.UNP")) && fs::file_size(Path("disk.UNP")) == 0);
}

TEST_F(ImageFileTest, EmptyImagePacksToItsDataOffset) {
  std::string iso = BuildImage("empty.iso", 4, {});
  ASSERT_EQ(device.BuildPakImageFile(iso.data()), 0);
  EXPECT_EQ(fs::file_size(Path("empty.PAK")), 32768u + 1024 + 1024);
}

TEST_F(ImageFileTest, TruncatedImageDoesNotPack) {
  std::string iso = BuildImage("cut.iso", 2, {3 * 1024});
  fs::resize_file(iso, fs::file_size(iso) - 1000);
  EXPECT_EQ(device.BuildPakImageFile(iso.data()), -1);
  EXPECT_FALSE(fs::exists(Path("cut.PAK")));
  char shortName[] = "ab";
  EXPECT_EQ(device.BuildPakImageFile(shortName), -1);
}

}  // namespace

namespace {

TEST_F(ImageFileTest, ConversionNeverEmptiesItsOwnInput) {
  // "disk.PAK" packs to "disk.PAK": creating the output would empty the
  // image before it is read, so the conversion is refused and the file kept.
  std::string iso = BuildImage("disk.iso", 2, {0});
  ASSERT_EQ(device.BuildPakImageFile(iso.data()), 0);
  std::string pak = Path("disk.PAK");
  std::string packed = Slurp(pak);
  out.text.clear();
  EXPECT_EQ(device.BuildPakImageFile(pak.data()), -1);
  EXPECT_TRUE(Slurp(pak) == packed);
  EXPECT_NE(out.text.find("would overwrite the image file"), std::string::npos);

  // A packed image under another name is not packed again either.
  fs::copy_file(pak, Path("copy.bin"));
  std::string copy = Path("copy.bin");
  out.text.clear();
  EXPECT_EQ(device.BuildPakImageFile(copy.data()), -1);
  EXPECT_EQ(out.text, "映像文件(" + copy + ")格式不正确.\r\n");
  EXPECT_FALSE(fs::exists(Path("copy.PAK")));

  // An image that is not there leaves no output behind.
  std::string missing = Path("none.iso");
  out.text.clear();
  EXPECT_EQ(device.UnPakImageFile(missing.data()), -1);
  EXPECT_EQ(out.text, "sorry, cannot open image file\r\n");
  EXPECT_FALSE(fs::exists(Path("none.UNP")));
}

TEST_F(ImageFileTest, UnpackedRunsGoBackToTheirPlaces) {
  // Runs 0 and 5 of a 4 MB image; unpacking puts run 5 back at data
  // offset + 5 x 512 KB and fills runs 1-4 with 0xFF.
  std::string iso = BuildImage("five.iso", 4, {3, 5 * 1024 + 1});
  ASSERT_EQ(device.BuildPakImageFile(iso.data()), 0);
  std::string pak = Slurp(Path("five.PAK"));
  uint32_t dataOffset = 32768 + 1024 + 1024;
  ASSERT_EQ(pak.size(), dataOffset + 2 * image::kRunBytes);
  EXPECT_EQ(uint8_t(pak[dataOffset + image::kRunBytes + 512]), 1);  // sector 5121 = run 5 + 1
  std::string pakPath = Path("five.PAK");
  ASSERT_EQ(device.UnPakImageFile(pakPath.data()), 0);
  std::string unp = Slurp(Path("five.UNP"));
  ASSERT_EQ(unp.size(), dataOffset + 4u * 1048576);
  EXPECT_EQ(uint8_t(unp[dataOffset + 5 * image::kRunBytes + 512]), 1);
  EXPECT_EQ(unp.substr(dataOffset + image::kRunBytes, 4 * image::kRunBytes - image::kRunBytes),
            std::string(3 * image::kRunBytes, '\xFF'));
  EXPECT_STREQ(unp.c_str(), image::kSystemMarker);
  EXPECT_TRUE(unp == Slurp(iso));
}

}  // namespace
