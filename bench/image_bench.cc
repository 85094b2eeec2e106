// Image benchmarks: BUILDIMAGE of a 128 MB image from a PC tree of 50 MB
// of files, PAKIMAGE and UNPAKIMAGE of it, DOWNIMAGE of it into a running
// zelsim, and the checksum pass alone; each beside `cp` of the same image
// file in the same run, so that the ratio to a plain copy is the figure.
//
// Every benchmark works in one temporary folder made at the first use; the
// image is built once by BUILDIMAGE and reused. zelsim is started for the
// DOWNIMAGE benchmark with a state folder of its own and device number 7,
// and stopped by its process id at the end.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "command_shell.h"
#include "tervlink/fat_device.h"
#include "tervlink/host/host.h"
#include "tervlink/image_file.h"
#include "tervlink/zel_device_io.h"

namespace fs = std::filesystem;

namespace {

constexpr int kImageMb = 128;
constexpr int kFilesOnC = 40;     // 1 MB each
constexpr int kFilesOnE = 10;
constexpr size_t kFileBytes = 1u << 20;

class Discard : public host::Output {
 public:
  void Write(std::string_view) override {}
};

// The burn's 2-second pause after success is not work: the benchmarks
// replace the host's sleep, and keep the real one for their own waits.
void NoSleep(uint32_t) {}
host::SleepFn realSleep = nullptr;

std::string Quoted(const fs::path& p) { return "'" + p.string() + "'"; }

// The folder, the PC tree, the engine in image mode and the built image.
struct Workspace {
  fs::path dir;
  fs::path sync;
  std::string image;
  Discard quiet;
  ZEL_DEVICE_IO device{"\\\\.\\no-such-device", 0};
  std::unique_ptr<FAT_DEVICE> fat;
  std::unique_ptr<CommandShell> shell;

  Workspace() {
    host::SetOut(&quiet);
    realSleep = host::SetSleep(NoSleep);
    dir = fs::temp_directory_path() / "tervan-image-bench";
    fs::remove_all(dir);
    sync = dir / "sync";
    for (const char* part : {"C", "E", "F"}) fs::create_directories(sync / "Disk0" / part);
    std::string data(kFileBytes, '\0');
    uint32_t x = 1;
    for (auto& c : data) {
      x = x * 1103515245u + 12345u;
      c = char(x >> 16);
    }
    for (int i = 0; i < kFilesOnC + kFilesOnE; ++i) {
      data[0] = char(i);
      fs::path f = sync / "Disk0" / (i < kFilesOnC ? "C" : "E") / ("FILE" + std::to_string(i) + ".BIN");
      std::ofstream(f, std::ios::binary).write(data.data(), std::streamsize(data.size()));
    }
    image = (dir / "sys.img").string();

    // The engine as start-up leaves it for zelsim's default disk: 8000
    // cylinders x 1 head x 32 sectors, default partition sizes.
    fat = std::make_unique<FAT_DEVICE>(&device);
    memset(fat->disks, 0, sizeof fat->disks);
    int sizes[4] = {93000, 256, -1, 0};
    for (auto& d : fat->disks) {
      d.cylinders = 8000;
      d.heads = 1;
      d.sectorsPerTrack = 32;
      d.totalSectors = d.unpartitionedSectors = 256000;
      memcpy(d.partSizes, sizes, sizeof sizes);
      for (auto& p : d.parts) strcpy(p.currentPath, "\\");
    }
    fat->diskCount = 1;
    fat->buf_pool();
    fat->file_system_switch_to(0, 0);
    shell = std::make_unique<CommandShell>(fat.get(), sync.string().c_str());
    shell->SetStreams(nullptr, &quiet);
  }
  ~Workspace() { fs::remove_all(dir); }

  int BuildImage() {
    char w0[] = "BUILDIMAGE", w1[] = "128";
    char* argv[] = {w0, w1, image.data()};
    return shell->CmdBuildImage(3, argv);
  }
  bool Cp(const std::string& from, const std::string& to) {
    return std::system(("cp " + Quoted(from) + " " + Quoted(to)).c_str()) == 0;
  }
  // The image, built on first use.
  bool Ready() {
    static bool built = BuildImage() == 1;
    return built;
  }
};

Workspace& Ws() {
  static Workspace ws;
  return ws;
}

int64_t ImageBytes() { return int64_t(32768 + kImageMb * 256 + 1024) + (int64_t(kImageMb) << 20); }

void BM_BuildImage(benchmark::State& state) {
  Workspace& ws = Ws();
  for (auto _ : state)
    if (ws.BuildImage() != 1) state.SkipWithError("BUILDIMAGE failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * ImageBytes());
}

void BM_CpImage(benchmark::State& state) {
  Workspace& ws = Ws();
  if (!ws.Ready()) return state.SkipWithError("no image");
  std::string copy = (ws.dir / "copy.img").string();
  for (auto _ : state)
    if (!ws.Cp(ws.image, copy)) state.SkipWithError("cp failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * ImageBytes());
}

void BM_PakImage(benchmark::State& state) {
  Workspace& ws = Ws();
  if (!ws.Ready()) return state.SkipWithError("no image");
  for (auto _ : state)
    if (ws.fat->BuildPakImage(ws.image.data()) != 0) state.SkipWithError("PAKIMAGE failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * ImageBytes());
  state.counters["pak_MB"] = double(fs::file_size(ws.dir / "sys.PAK")) / 1048576.0;
}

void BM_UnPakImage(benchmark::State& state) {
  Workspace& ws = Ws();
  if (!ws.Ready() || ws.fat->BuildPakImage(ws.image.data()) != 0) return state.SkipWithError("no image");
  std::string pak = (ws.dir / "sys.PAK").string();
  for (auto _ : state)
    if (ws.fat->UnPakImage(pak.data()) != 0) state.SkipWithError("UNPAKIMAGE failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * ImageBytes());
}

// The checksum pass alone, over the image as it lies in the page cache.
void BM_ChecksumPass(benchmark::State& state) {
  Workspace& ws = Ws();
  if (!ws.Ready()) return state.SkipWithError("no image");
  FILE* f = host::OpenFile(ws.image.c_str(), "rb");
  uint32_t dataOffset = 32768 + kImageMb * 256 + 1024;
  for (auto _ : state)
    if (!image::WriteChecksumFile(f, dataOffset, kImageMb * 2048, ws.image.c_str()))
      state.SkipWithError("checksum failed");
  fclose(f);
  state.SetBytesProcessed(int64_t(state.iterations()) * (int64_t(kImageMb) << 20));
}

// zelsim on device number 7 with a fresh state folder, for DOWNIMAGE.
struct Simulator {
  std::string pid;
  bool up = false;
  explicit Simulator(const fs::path& dir) {
    fs::path pidFile = dir / "zelsim.pid";
    std::string cmd = std::string(TERVAN_ZELSIM) + " --state " + Quoted(dir / "state") +
                      " --device 7 >/dev/null 2>&1 & echo $! >" + Quoted(pidFile);
    if (std::system(cmd.c_str()) != 0) return;
    std::ifstream(pidFile) >> pid;
    std::string socket = host::DeviceSocketPath("\\\\.\\lexon7");
    for (int i = 0; i < 200 && !up; ++i) {
      up = fs::exists(socket);
      if (!up) realSleep(50);
    }
  }
  ~Simulator() {
    if (!pid.empty()) std::system(("kill " + pid).c_str());
  }
};

void DownImage(benchmark::State& state, bool packed) {
  Workspace& ws = Ws();
  if (!ws.Ready() || ws.fat->BuildPakImage(ws.image.data()) != 0) return state.SkipWithError("no image");
  Simulator sim(ws.dir);
  if (!sim.up) return state.SkipWithError("zelsim did not start");
  ZEL_DEVICE_IO device("\\\\.\\lexon7", 0);
  auto fat = std::make_unique<FAT_DEVICE>(&device);
  fat->diskCount = 1;
  if (fat->Init() != 1) return state.SkipWithError("no device");
  std::string path = packed ? (ws.dir / "sys.PAK").string() : ws.image;
  for (auto _ : state)
    if (fat->TransferImageFile(path.data()) != 0) state.SkipWithError("DOWNIMAGE failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * ImageBytes());
}

void BM_DownImage(benchmark::State& state) { DownImage(state, false); }
void BM_DownPakImage(benchmark::State& state) { DownImage(state, true); }

}  // namespace

BENCHMARK(BM_BuildImage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CpImage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PakImage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_UnPakImage)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ChecksumPass)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_DownImage)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_DownPakImage)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
