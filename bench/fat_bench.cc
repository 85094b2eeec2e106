// FAT engine benchmarks on an in-memory device: whole-file writes and reads
// of 4 KB, 64 KB and 4 MB, and 500 files created in one directory. Each
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

BENCHMARK(BM_WriteFile)->Arg(4 << 10)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_ReadFile)->Arg(4 << 10)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_Create500Files)->Unit(benchmark::kMillisecond);

}  // namespace
