#include "device_model.h"

#include "tervlink/host/host.h"

DeviceModel::DeviceModel(ModelConfig config) {
  state_.config = std::move(config);
  state_.osRunning = !state_.config.wantOs;
  state_.faults = state_.config.faults;
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
