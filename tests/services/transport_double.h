// A transport double for ZEL_DEVICE_IO, installed in its five function
// pointers. It records every call (command blocks, data phases, opens and
// closes) and answers either from a script or from a DeviceModel run
// in-process, the way zelsim's driver server does.
#pragma once

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "model/device_model.h"
#include "tervlink/host/host.h"
#include "tervlink/zel_device_io.h"
#include "../support/test_dir.h"

class TransportDouble {
 public:
  // Script: the reply and the bytes a read phase delivers.
  _ZEL_REPLY reply{0, 1};
  std::vector<uint8_t> readData;
  bool failOpen = false;
  // When set, requests run through the model instead of the script.
  DeviceModel* model = nullptr;

  // Records.
  std::vector<std::array<uint8_t, kRequestBytes>> blocks;
  std::vector<std::vector<uint8_t>> writes;
  std::vector<uint32_t> reads;
  int opens = 0, closes = 0;

  explicit TransportDouble(ZEL_DEVICE_IO& dev) {
    current = this;
    dev.pfnCreateFile = Create;
    dev.pfnDeviceIoControl = Ioctl;
    dev.pfnCloseHandle = Close;
    dev.pfnReadFile = ReadF;
    dev.pfnWriteFile = WriteF;
    dev.pfnExchange = nullptr;  // every call goes through the double
  }
  ~TransportDouble() { current = nullptr; }

  _ZEL_REQUEST LastBlock() const { return DecodeRequest(blocks.back()); }
  void Clear() {
    blocks.clear();
    writes.clear();
    reads.clear();
    opens = closes = 0;
  }

 private:
  static inline TransportDouble* current = nullptr;
  bool executed_ = false;
  DeviceAnswer answer_;

  void Run(std::span<const uint8_t> data) {
    if (executed_ || !model) return;
    answer_ = model->Execute(LastBlock(), data);
    executed_ = true;
  }

  static DeviceHandle Create(const char*, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
    if (current->failOpen) return INVALID_HANDLE_VALUE;
    ++current->opens;
    return 7;
  }
  static int Ioctl(DeviceHandle, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outCapacity, uint32_t* returned, void*) {
    TransportDouble& t = *current;
    if (code == kIoctlSendRequest) {
      std::array<uint8_t, kRequestBytes> b{};
      memcpy(b.data(), in, std::min<size_t>(inLength, kRequestBytes));
      t.blocks.push_back(b);
      t.executed_ = false;
      *returned = 0;
      return 1;
    }
    t.Run({});
    _ZEL_REPLY r = t.model ? _ZEL_REPLY{t.answer_.status, t.answer_.value} : t.reply;
    auto raw = EncodeReply(r);
    memcpy(out, raw.data(), std::min<size_t>(outCapacity, kReplyBytes));
    *returned = kReplyBytes;
    return 1;
  }
  static int Close(DeviceHandle) {
    TransportDouble& t = *current;
    // Like the driver server: a block without data runs even unanswered.
    if (!t.blocks.empty() && !t.executed_ && t.LastBlock().length == 0) t.Run({});
    ++t.closes;
    return 1;
  }
  static int ReadF(DeviceHandle, void* buffer, uint32_t length, uint32_t* got, void*) {
    TransportDouble& t = *current;
    t.reads.push_back(length);
    t.Run({});
    const std::vector<uint8_t>& src = t.model ? t.answer_.data : t.readData;
    *got = uint32_t(std::min<size_t>(length, src.size()));
    memcpy(buffer, src.data(), *got);
    return 1;
  }
  static int WriteF(DeviceHandle, const void* buffer, uint32_t length, uint32_t* put, void*) {
    TransportDouble& t = *current;
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    t.writes.emplace_back(p, p + length);
    t.Run(t.writes.back());
    *put = length;
    return 1;
  }
};

// A fresh, empty folder for a model's state.
inline std::string FreshStateDir(const std::string& name) {
  std::string dir = ProgramTestDir() / ("services-" + name);
  std::filesystem::remove_all(dir);
  return dir;
}
