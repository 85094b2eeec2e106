// FAT engine benchmarks on an in-memory device: whole-file writes and reads
// of 4 KB, 64 KB and 4 MB, 500 files created in one directory, and CHKDSK
// on a full disk (a check, and a repair of lost and shared clusters). Each
// reports the device requests per operation.

#include <benchmark/benchmark.h>

#include "test_disk.h"

namespace {

char* C(const char* s) { return const_cast<char*>(s); }

// A 125 MB disk with the default layout; C: is FAT16 with 16 KB clusters.
struct Disk {
  TestDisk d{8000, {93000, 256, -1, 0}};
  Disk() { d.dev.logging = true; }
  void Quiet() { d.out.text.clear(); }
};

void BM_WriteFile(benchmark::State& state) {
  Disk disk;
  std::string data = Pattern(size_t(state.range(0)), 1);
  size_t requests = 0, ops = 0;
  for (auto _ : state) {
    disk.d.dev.log.clear();
    int r = disk.d.Write("bench.bin", data);
    if (r != int(data.size())) state.SkipWithError("write failed");
    requests += disk.d.dev.log.size();
    ++ops;
    disk.Quiet();
  }
  state.SetBytesProcessed(int64_t(ops) * state.range(0));
  state.counters["requests/op"] = double(requests) / double(ops);
}

void BM_ReadFile(benchmark::State& state) {
  Disk disk;
  std::string data = Pattern(size_t(state.range(0)), 1);
  disk.d.Write("bench.bin", data);
  std::string back(data.size(), '\0');
  size_t requests = 0, ops = 0;
  for (auto _ : state) {
    disk.d.dev.log.clear();
    int r = disk.d.fat->ReadFile(C("bench.bin"), back.data(), int(back.size()), nullptr);
    if (r != int(data.size())) state.SkipWithError("read failed");
    requests += disk.d.dev.log.size();
    ++ops;
    disk.Quiet();
  }
  state.SetBytesProcessed(int64_t(ops) * state.range(0));
  state.counters["requests/op"] = double(requests) / double(ops);
}

void BM_Create500Files(benchmark::State& state) {
  size_t requests = 0, ops = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Disk disk;
    std::string sub = Entry(*disk.d.fat, "many");
    disk.d.fat->MakeDirectory(sub.data());
    disk.d.fat->ChangeDirectory(sub.data());
    disk.d.dev.log.clear();
    state.ResumeTiming();
    char name[16];
    for (int i = 0; i < 500; ++i) {
      snprintf(name, sizeof name, "F%03d.TXT", i);
      if (disk.d.Write(name, "x") != 1) state.SkipWithError("create failed");
    }
    state.PauseTiming();
    requests += disk.d.dev.log.size();
    ops += 500;
    state.ResumeTiming();
  }
  state.counters["requests/file"] = double(requests) / double(ops);
}

// CHKDSK on C: of the 125 MB disk filled to about 90 %: 20 folders of 100
// files (4 KB to 54 KB) and a file of 8 MB. With /F (range 1) the first
// folder's entry is gone, so its 100 files are lost chains that become
// \FOUND.000 files, and every file of the second folder shares its first
// cluster with a file of the third and gets copies; the damage is put
// back, untimed, before each run.
void BM_Chkdsk(benchmark::State& state) {
  Disk disk;
  FAT_DEVICE& fat = *disk.d.fat;
  char name[16];
  std::vector<unsigned> firstOf[3];
  for (int f = 0; f < 20; ++f) {
    snprintf(name, sizeof name, "DIR%02d", f);
    std::string dir = Entry(fat, name);
    fat.ChangeRootDirectory();
    fat.MakeDirectory(dir.data());
    fat.ChangeDirectory(dir.data());
    for (int i = 0; i < 100; ++i) {
      snprintf(name, sizeof name, "F%03d.BIN", i);
      if (disk.d.Write(name, Pattern(4096 + size_t(i) * 500, char(i))) < 0) state.SkipWithError("fill");
      std::string n = Entry(fat, name);
      if (f < 3 && fat.SearchFile(kMaskFiles, n.data()) == 0)
        firstOf[f].push_back(fat.curPart->currentEntry[26] | fat.curPart->currentEntry[27] << 8);
    }
  }
  fat.ChangeRootDirectory();
  disk.d.Write("LARGE.BIN", Pattern(size_t(8) << 20, 7));
  const bool repair = state.range(0) != 0;
  if (repair) {
    // The second folder's files start in the third folder's clusters.
    fat.ChangeRootDirectory();
    std::string second = Entry(fat, "DIR01");
    fat.ChangeDirectory(second.data());
    for (int i = 0; i < 100; ++i) {
      snprintf(name, sizeof name, "F%03d.BIN", i);
      std::string n = Entry(fat, name);
      if (fat.SearchFile(kMaskFiles, n.data()) != 0) continue;
      fat.curPart->currentEntry[26] = uint8_t(firstOf[2][size_t(i)]);
      fat.curPart->currentEntry[27] = uint8_t(firstOf[2][size_t(i)] >> 8);
      fat.UpdateEntry();
    }
    fat.ChangeRootDirectory();
    std::string first = Entry(fat, "DIR00");
    fat.SearchFile(kMaskDirs, first.data());
    fat.curPart->currentEntry[0] = 0xE5;
    fat.UpdateEntry();
  }
  const auto damaged = disk.d.dev.disks[0].sectors;
  size_t requests = 0, ops = 0;
  for (auto _ : state) {
    state.PauseTiming();
    disk.d.dev.disks[0].sectors = damaged;
    fat.Init();
    disk.d.dev.log.clear();
    disk.Quiet();
    state.ResumeTiming();
    int r = fat.CheckDisk(0, 0, repair);
    if (r != 1) state.SkipWithError("CHKDSK failed");
    requests += disk.d.dev.log.size();
    ++ops;
  }
  state.counters["requests/op"] = double(requests) / double(ops);
}

BENCHMARK(BM_WriteFile)->Arg(4 << 10)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_ReadFile)->Arg(4 << 10)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_Create500Files)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chkdsk)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
