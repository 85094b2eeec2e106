// NAND maintenance and boot-area commands: BIOS, READBIOS, the ECC method
// and ROM, the factory bad-block record, NAND information, and raw block
// write, read, erase and multi-block read.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command_shell.h"
#include "tervlink/text.h"
#include "tervlink/bytes.h"

namespace {

// Boot area image: 32 sectors holding the loader, the BIOS and the user
// parameters.
constexpr size_t kBootBytes = 16384;
constexpr uint32_t kBootSectors = kBootBytes / 512;
constexpr size_t kLoaderOffset = 0;
constexpr size_t kLoaderBytes = 256;
constexpr size_t kBiosOffset = 512;          // NAND disk kind other than 2
constexpr size_t kBiosBytes = 13824;
constexpr size_t kBiosOffsetKind2 = 1024;    // NAND disk kind 2 (large pages)
constexpr size_t kBiosBytesKind2 = 12288;
constexpr size_t kUserOffset = 15872;
constexpr size_t kUserBytes = 512;

// The process-wide BIOS image: zero at start-up and never cleared, so what
// one BIOS command does not cover keeps what an earlier one put there.
uint8_t g_biosImage[kBootBytes];

const char kNeedSwitch[] = "请执行SWITCH命令选择当前NAND磁盘后再执行此命令\n";

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

File OpenPcFile(const char* name, const char* mode) {
  return File(host::OpenFile(name, mode), fclose);
}

long FileLength(FILE* f) {
  if (fseek(f, 0, SEEK_END) != 0) return -1;
  long n = ftell(f);
  return fseek(f, 0, SEEK_SET) == 0 ? n : -1;
}

// Parses a block number as decimal; false when the word is not a number.
bool ParseBlock(const char* word, int& block) { return sscanf(word, "%d", &block) == 1; }

// Writes data to the open PC file and closes it; false, with the reason
// naming the file, when a write, the flush or the close failed.
bool WriteAndClose(File f, const std::vector<uint8_t>& data, const char* name) {
  errno = 0;
  bool ok = fwrite(data.data(), 1, data.size(), f.get()) == data.size();
  int err = ok ? 0 : errno;
  ok = fclose(f.release()) == 0 && ok;
  if (!ok) host::SetFileReason("cannot write", name, err ? err : errno);
  return ok;
}

// Writes count bytes of data to a PC file, whole or not at all; false,
// with the reason set, when it cannot.
bool WriteWholeFile(const std::string& name, const uint8_t* data, size_t count) {
  host::PcFileWriter f;
  return f.Open(name.c_str()) && f.Write(data, count) && f.Commit();
}

}  // namespace

int CommandShell::CmdBios(int argc, char** argv) {
  if (argc != 4) return -2;
  if (nandDiskKind == 0) {
    Printf(kNeedSwitch);
    return -2;
  }
  File loader = OpenPcFile(argv[1], "rb");
  if (!loader) return -2;
  File bios = OpenPcFile(argv[2], "rb");
  if (!bios) return -2;
  File user = OpenPcFile(argv[3], "rb");
  if (!user) return -2;

  long loaderSize = FileLength(loader.get());
  if (loaderSize != long(kLoaderBytes)) {
    Printf("BIOS_LOADER定义文件(%s)的大小(%d)必须为256字节.\n", argv[1], int(loaderSize));
    return -2;
  }
  long biosSize = FileLength(bios.get());
  if (biosSize < 1 || biosSize > long(kBiosBytes)) {
    Printf("BIOS定义文件(%s)的大小(%d)必须不为0字节并且不大于13824字节.\n", argv[2],
           int(biosSize));
    return -2;
  }
  if (FileLength(user.get()) != long(kUserBytes)) {
    Printf("用户定义文件(%s)的大小必须是512字节\n", argv[3]);
    return -2;
  }

  size_t biosOffset = nandDiskKind == 2 ? kBiosOffsetKind2 : kBiosOffset;
  size_t biosRoom = nandDiskKind == 2 ? kBiosBytesKind2 : kBiosBytes;
  // The smaller layout holds at most 12288 bytes of BIOS: a longer file is
  // refused rather than cut short, since a cut BIOS would not boot.
  if (size_t(biosSize) > biosRoom) {
    Printf("BIOS定义文件(%s)的大小(%d)必须不为0字节并且不大于%d字节.\n", argv[2],
           int(biosSize), int(biosRoom));
    return -2;
  }
  if (fread(g_biosImage + kLoaderOffset, 1, kLoaderBytes, loader.get()) != kLoaderBytes ||
      fread(g_biosImage + biosOffset, 1, size_t(biosSize), bios.get()) != size_t(biosSize) ||
      fread(g_biosImage + kUserOffset, 1, kUserBytes, user.get()) != kUserBytes)
    return -2;
  loader.reset();
  bios.reset();
  user.reset();
  return Device()->WriteBIOS(kBootSectors, reinterpret_cast<char*>(g_biosImage)) == 1 ? 1 : -1;
}

int CommandShell::CmdReadBios(int argc, char** argv) {
  if (argc < 2) return -2;
  if (nandDiskKind == 0) {
    Printf(kNeedSwitch);
    return -2;
  }
  host::PcFileWriter out;
  if (!out.Open(argv[1])) return -2;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBootBytes]);
  if (!buffer) return -1;
  memset(buffer.get(), 0, kBootBytes);
  int answer = Device()->ReadBIOS(kBootSectors, reinterpret_cast<char*>(buffer.get()));
  // Every file is written whatever the others do; any that is not written
  // whole fails the command (its reason names it).
  bool written = out.Write(buffer.get(), kBootBytes) && out.Commit();
  std::string base = argv[1];
  written = WriteWholeFile(base + ".bios_loader.bin", buffer.get() + kLoaderOffset, kLoaderBytes) &&
            written;
  if (nandDiskKind == 2)
    written = WriteWholeFile(base + ".bios.bin", buffer.get() + kBiosOffsetKind2, kBiosBytesKind2) &&
              written;
  else
    written = WriteWholeFile(base + ".bios.bin", buffer.get() + kBiosOffset, kBiosBytes) && written;
  written = WriteWholeFile(base + ".user.bin", buffer.get() + kUserOffset, kUserBytes) && written;
  return written ? answer : -1;
}

int CommandShell::CmdSetEccMethod(int argc, char** argv) {
  if (argc != 2) return -2;
  int method;
  if (text::EqualNoCase(argv[1], "SLC"))
    method = kEccSlc;
  else if (text::EqualNoCase(argv[1], "MLC"))
    method = kEccMlc;
  else
    return -2;
  return Device()->SetEccMethod(method) == 0 ? 1 : -1;
}

int CommandShell::CmdGetEccMethod(int argc, char**) {
  if (argc != 1) return -2;
  int32_t method = -1;
  if (Device()->GetEccMethod(&method) != 0) return -1;
  if (method == kEccSlc)
    Printf("\n NFC应用的ECC方法是基于SmartMedia的SLC算法\n");
  else if (method == kEccMlc)
    Printf("\n NFC应用的ECC方法是基于EPSON MLC芯片(S1R83001)的Reed-Solomon ECC算法\n");
  else
    Printf("\n NFC应用的ECC方法(%d)未知\n", method);
  return 1;
}

int CommandShell::CmdSetEccRom(int argc, char** argv) {
  if (argc != 2) return -2;
  if (!OpenPcFile(argv[1], "rb")) {
    Printf("ECC ROM 文件(%s)无法打开\n", argv[1]);
    return -1;
  }
  return Device()->SetEccRom(argv[1]) == 0 ? 1 : -1;
}

int CommandShell::CmdGetEccRom(int argc, char** argv) {
  if (argc != 2) return -2;
  return Device()->GetEccRom(argv[1]) == 0 ? 1 : -1;
}

int CommandShell::CmdSetBadBlockInfo(int argc, char**) {
  if (argc != 1) return -2;
  return Device()->ExecuteSetFactoryBadInfo() == 0 ? 1 : -1;
}

int CommandShell::CmdGetBadBlockInfo(int argc, char**) {
  if (argc != 1) return -2;
  std::vector<uint8_t> record(kBadInfoBytes, 0);
  if (Device()->ExecuteGetFactoryBadInfo(record.data()) != 0) return -1;
  Printf("\n  原厂坏块标记信息\n");
  Printf("\n  --------------------------- \n");
  Printf("  ID = ");
  for (size_t i = 0; i < 8; ++i) Printf("%c", record[kBadInfoMagic + i]);
  Printf("\n");
  Printf("  ECC算法类型: 0x%08x\n", bytes::Get32(record, kBadInfoEccType));
  Printf("  版本       : 0x%08x\n", bytes::Get32(record, kBadInfoVersion));
  uint32_t count = bytes::Get32(record, kBadInfoCount);
  Printf("  坏块总个数 : %d\n", int(count));
  // A damaged record may claim more entries than the 4096 bytes hold; list
  // only those that are there.
  if (count > kBadInfoMaxEntries) count = kBadInfoMaxEntries;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = &record[kBadInfoEntries + 3 * i];
    Printf("  %03d,   Zone=%d, Block=%d\n", int(i), e[0], (e[1] << 8) | e[2]);
  }
  Printf("\n  --------------------------- \n");
  return 1;
}

int CommandShell::CmdNandInfo(int argc, char**) {
  if (argc != 1) return -2;
  _ZEL_NANDINFO info;
  if (Device()->NandInfo(&info) != 0) return -1;
  Printf("  NAND Information\n");
  Printf("    Zones = %d\n", int(info.Zones));
  Printf("    BlockPerZone = %d\n", int(info.BlockPerZone));
  Printf("    PagePerBlock = %d\n", int(info.PagePerBlock));
  Printf("    PageSize     = %d\n", int(info.PageSize));
  Printf("    ManuID       = %02x\n", info.ManuID);
  Printf("    DevID        = %02x\n", info.DevID);
  Printf("    ThirdID      = %02x\n", info.ThirdID);
  Printf("    FouthID      = %02x\n", info.FouthID);
  Printf("    FifthID      = %02x\n", info.FifthID);
  return 1;
}

// The raw block commands' common start: the NAND information, the range
// check of block and, when buffer is given, one block's data buffer (zeros).
// Returns 0 when ready; otherwise the result code to return (after its
// message).
int CommandShell::PrepareBlockIo(int block, std::vector<uint8_t>* buffer) {
  _ZEL_NANDINFO info;
  if (Device()->NandInfo(&info) != 0) return -1;
  if (uint32_t(block) >= info.Zones * info.BlockPerZone) {
    Printf("非法的物理块号(%d)\n", block);
    return -1;
  }
  if (!buffer) return 0;
  try {
    buffer->assign(size_t(info.PagePerBlock) * info.PageSize, 0);
  } catch (...) {
    Printf("内存分配失败\n");
    return -1;
  }
  return 0;
}

int CommandShell::CmdNandWrite(int argc, char** argv) {
  int block;
  if (argc != 3 || !ParseBlock(argv[1], block)) return -2;
  std::vector<uint8_t> data;
  if (int r = PrepareBlockIo(block, &data)) return r;
  File in = OpenPcFile(argv[2], "rb");
  if (!in) {
    Printf("文件(%s)打开失败\n", argv[2]);
    return -1;
  }
  // A shorter file leaves zeros behind its end.
  fread(data.data(), 1, data.size(), in.get());
  in.reset();
  return Device()->NandReadWrite(1, uint32_t(block), reinterpret_cast<char*>(data.data()),
                                 uint32_t(data.size())) == 0
             ? 1
             : -1;
}

int CommandShell::CmdNandRead(int argc, char** argv) {
  int block;
  if (argc != 3 || !ParseBlock(argv[1], block)) return -2;
  std::vector<uint8_t> data;
  if (int r = PrepareBlockIo(block, &data)) return r;
  File out = OpenPcFile(argv[2], "wb");
  if (!out) {
    Printf("文件(%s)打开失败\n", argv[2]);
    return -1;
  }
  if (Device()->NandReadWrite(0, uint32_t(block), reinterpret_cast<char*>(data.data()),
                              uint32_t(data.size())) != 0)
    return -1;
  return WriteAndClose(std::move(out), data, argv[2]) ? 1 : -1;
}

int CommandShell::CmdNandErase(int argc, char** argv) {
  int block;
  if (argc != 2 || !ParseBlock(argv[1], block)) return -2;
  if (int r = PrepareBlockIo(block, nullptr)) return r;
  if (Device()->NandErase(uint32_t(block)) != 0) {
    Printf("NAND 物理块(%d)擦除失败\n", block);
    return -1;
  }
  return 1;
}

int CommandShell::CmdNandMRead(int argc, char** argv) {
  int first, count;
  if (argc != 4 || !ParseBlock(argv[1], first) || !ParseBlock(argv[2], count)) return -2;
  _ZEL_NANDINFO info;
  if (Device()->NandInfo(&info) != 0) return -1;
  uint32_t blocks = info.Zones * info.BlockPerZone;
  if (uint32_t(first) >= blocks) {
    Printf("非法的物理块号(%d)\n", first);
    return -1;
  }
  if (count == 0 || uint64_t(uint32_t(first)) + uint32_t(count) > blocks) {
    Printf("非法的物理块号(%d)\n", count);
    return -1;
  }
  const char* folder = argv[3];
  host::FileInfo st = host::Stat(folder);
  if (st.exists && !st.isDir) {
    Printf("目录(%s)无法访问\n", folder);
    return -1;
  }
  if (!st.exists && host::MakeDir(folder) != 0) {
    Printf("目录(%s)创建失败\n", folder);
    return -1;
  }
  std::string full = host::FullPath(folder);
  std::vector<uint8_t> data;
  try {
    data.assign(size_t(info.PagePerBlock) * info.PageSize, 0);
  } catch (...) {
    Printf("内存分配失败\n");
    return -1;
  }
  for (uint32_t b = uint32_t(first); b < uint32_t(first) + uint32_t(count); ++b) {
    std::string name = full + host::kSep + std::to_string(b) + ".bin";
    File out = OpenPcFile(name.c_str(), "wb");
    if (!out) {
      Printf("文件(%s)写打开失败\n", name.c_str());
      return -1;
    }
    std::fill(data.begin(), data.end(), 0);
    Printf("正在写入(%s)\n", name.c_str());
    if (Device()->NandReadWrite(0, b, reinterpret_cast<char*>(data.data()),
                                uint32_t(data.size())) != 0)
      return -1;
    if (!WriteAndClose(std::move(out), data, name.c_str())) return -1;
  }
  return 1;
}
