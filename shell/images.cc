// Image commands: BUILDIMAGE, DOWNIMAGE, PAKIMAGE, UNPAKIMAGE and UPDATEIMAGE.
//
// BUILDIMAGE puts the engine into image mode and runs the ordinary PART,
// FORMAT and SYNC handlers against the image with made-up word lists; a
// build that fails after the image was started leaves no file behind. The
// other commands are front ends of one engine operation each (the image
// formats and the burn are the library's).
//
// Results: 1 done, -1 the engine failed, -2 wrong arguments.

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_shell.h"
#include "tervlink/image_file.h"

namespace {

constexpr int kSystemImageKind = 0;

// A made-up command line for a nested handler: the words live in the
// object, so the handler may change them as it would a typed line.
class Words {
 public:
  Words(std::initializer_list<std::string> words) {
    for (const auto& w : words) {
      text_.emplace_back(w.begin(), w.end());
      text_.back().push_back('\0');
    }
    for (auto& t : text_) pointers_.push_back(t.data());
  }
  int Count() const { return int(pointers_.size()); }
  char** Argv() { return pointers_.data(); }

 private:
  std::vector<std::vector<char>> text_;
  std::vector<char*> pointers_;
};

}  // namespace

// BUILDIMAGE <MB> <image file> [<PC folder>]
int CommandShell::CmdBuildImage(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    Printf("该命令格式为: BuildImage  XXXX  ImageFileName ,其中XXXX为正整数，表示NFlash的大小，单位为MB.\r\n");
    return -2;
  }
  long sizeMb = strtol(argv[1], nullptr, 10);
  if (sizeMb <= 0) {
    Printf("该命令参数必须为正整数，表示NFlash的大小，单位为MB.\r\n");
    return -2;
  }
  // SYNC copies the disk's PC folder tree into the image: the image must
  // not lie inside it.
  if (OutputInSyncTree(argv[2], Device()->currentDisk)) return -2;
  // SYNC changes the PC current directory: the image and the folder are
  // named by their full paths before it runs, and the current directory is
  // put back when the build ends.
  std::string image = host::FullPath(argv[2]);
  std::string folder = argc == 4 ? host::FullPath(argv[3]) : std::string();
  std::string startDir = host::GetCurrentDir();

  fat->SetImageMode(kSystemImageKind);
  if (sizeMb > long(image::kMaxImageMb) ||
      fat->SwitchToBuildingImageMode(int(sizeMb), image.data()) != 0)
    return -1;

  Words part{"PART", "do", "-y"};
  Words format{"FORMAT", "-Y"};
  Words sync{"SYNC"};
  bool ok = CmdPart(part.Count(), part.Argv()) == 1 && CmdFormat(format.Count(), format.Argv()) == 1 &&
            CmdSync(sync.Count(), sync.Argv()) == 1;
  if (ok && !folder.empty()) {
    Words back{"SYNC", "/DZEL2PC", "/F\\", "/P" + folder};
    ok = CmdSync(back.Count(), back.Argv()) == 1;
  }
  host::SetCurrentDir(startDir.c_str());

  int closed = fat->QuitBuildingImageMode(image.data());
  if (!ok) {
    // Closing wrote the checksum file as well: neither may stay behind.
    host::RemoveFile(image.c_str());
    host::RemoveFile(image::ChecksumFileName(image).c_str());
    return -1;
  }
  if (closed != 0) return -1;
  Printf("Build system image file success.\r\n");
  return 1;
}

// DOWNIMAGE <image file> [ignored words]
int CommandShell::CmdDownImage(int argc, char** argv) {
  if (argc < 2) {
    Printf("sorry, you enter error parameters for this command. it acts as: downloadimage "
           "sector_assigned_file_name system_image_file_name\r\n");
    return -2;
  }
  if (fat->TransferImageFile(argv[1]) < 0) {
    Printf("sorry, download system image file failed.\r\n");
    return -1;
  }
  Printf("\r\ndownload system image file success.\r\n");
  return 1;
}

// PAKIMAGE <ISO file>
int CommandShell::CmdPakImage(int argc, char** argv) {
  if (argc != 2) {
    Printf("该命令格式为: PakImage  ImageFileName.\r\n");
    return -2;
  }
  if (fat->BuildPakImage(argv[1]) != 0) return -1;
  Printf("Pak image file success.\r\n");
  return 1;
}

// UNPAKIMAGE <PAK file>
int CommandShell::CmdUnpakImage(int argc, char** argv) {
  if (argc != 2) {
    Printf("该命令格式为: UnPakImage  ImageFileName.\r\n");
    return -2;
  }
  if (fat->UnPakImage(argv[1]) != 0) return -1;
  Printf("UnPak image file success.\r\n");
  return 1;
}

// UPDATEIMAGE <ISO file>
int CommandShell::CmdUpdateImage(int argc, char** argv) {
  if (argc != 2) {
    Printf("命令格式: UpdateImage ImageName\n");
    return -2;
  }
  if (fat->UpdateIsoFromNand(argv[1]) != 0) {
    Printf("命令UpdateImage失败\n");
    return -1;
  }
  return 1;
}
