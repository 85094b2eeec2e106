#include "device_model.h"

#include <algorithm>

#include "tervlink/host/host.h"

namespace {

// The sector run the engine moves in one request at most (its read-ahead
// and its stage): answers up to it reuse one buffer from the first.
constexpr size_t kDataBufferBytes = size_t(2048) * 512;

}  // namespace

std::vector<uint8_t> DeviceState::TakeDataBuffer(size_t bytes) {
  std::vector<uint8_t> data = std::move(spareData);
  spareData.clear();
  if (data.capacity() < bytes) {
    data = {};
    data.reserve(std::max(bytes, kDataBufferBytes));
    host::PopulateMemory(data.data(), data.capacity());
  }
  data.resize(bytes);
  return data;
}

DeviceModel::DeviceModel(ModelConfig config) {
  state_.config = std::move(config);
  state_.osRunning = !state_.config.wantOs;
  state_.faults = state_.config.faults;
  // Ready before the first PC connects, as a device's buffers are.
  state_.spareData = state_.TakeDataBuffer(0);
  if (!host::MakeDirs(state_.config.stateDir)) {
    error_ = "cannot create the state folder " + state_.config.stateDir;
    return;
  }
  for (auto make : {MakeCoreUnit, MakeStorageUnit, MakeServiceUnit, MakeRegistryUnit, MakeMediaUnit}) {
    std::unique_ptr<ModelUnit> unit = make(state_, error_);
    if (!error_.empty()) return;
    if (unit) units_.push_back(std::move(unit));
  }
}

DeviceModel::~DeviceModel() = default;

DeviceAnswer DeviceModel::Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn) {
  // Injected failures (--fail) come before any unit sees the request.
  if (state_.faults.ShouldFail(block)) return DeviceAnswer::Refused();
  DeviceAnswer answer;
  for (auto& unit : units_)
    if (unit->Execute(block, dataIn, answer)) return answer;
  return DeviceAnswer::Refused();
}
