// The device's loader and operating system state: the device test and the
// OS download.

#include "device_model.h"

namespace {

class CoreUnit : public ModelUnit {
 public:
  explicit CoreUnit(DeviceState& state) : state_(state) {}

  bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn,
               DeviceAnswer& answer) override {
    switch (block.command) {
      case req::kTest:
        // 1 while the loader waits for its OS, then 2 (one disk) or 3 (two).
        answer = DeviceAnswer::Ok(!state_.osRunning ? 1 : (state_.config.disks >= 2 ? 3 : 2));
        return true;
      case req::kDownload:
        if (dataIn.empty() || dataIn.size() != block.length) {
          answer = DeviceAnswer::Refused();
        } else {
          state_.osRunning = true;
          answer = DeviceAnswer::Ok(0);
        }
        return true;
      default:
        return false;
    }
  }

 private:
  DeviceState& state_;
};

}  // namespace

std::unique_ptr<ModelUnit> MakeCoreUnit(DeviceState& state, std::string&) {
  return std::make_unique<CoreUnit>(state);
}
