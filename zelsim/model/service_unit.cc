// The device's system services: the settings record.

#include "device_model.h"

namespace {

class ServiceUnit : public ModelUnit {
 public:
  explicit ServiceUnit(DeviceState& state) : state_(state) {
    // A plausible factory setting: power-off after 300 s, screen saver after
    // 60 s, video on at contrast 40 and 60 Hz, backlight, key tone and
    // buzzer on, keyboard 20/500 ms at 10 per second, cursor speed 5,
    // batteries at 3000/2900 mV, simplified Chinese.
    const uint16_t defaults[] = {1, 300, 1, 60, 1, 40, 60, 1, 1, 20, 500, 10, 5, 1, 3000, 2900, 1};
    for (size_t i = 0; i < std::size(defaults); ++i) settings_.fields[i] = defaults[i];
    settings_.fields[kCapsDiskCountBit] = uint16_t(state.config.disks);
  }

  bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t>, DeviceAnswer& answer) override {
    switch (block.command) {
      case req::kGetDeviceCaps: {
        // Only the fields the mask selects are filled.
        _ZELDEVICECAPS caps;
        caps.mask = block.Param32(8);
        for (uint32_t bit = 0; bit < 32; ++bit)
          if (caps.mask & (1u << bit)) caps.fields[bit] = settings_.fields[bit];
        auto raw = EncodeDeviceCaps(caps);
        answer = DeviceAnswer::Ok(1);
        answer.data.assign(raw.begin(), raw.end());
        return true;
      }
      default:
        return false;
    }
  }

 private:
  DeviceState& state_;
  _ZELDEVICECAPS settings_;
};

}  // namespace

std::unique_ptr<ModelUnit> MakeServiceUnit(DeviceState& state, std::string&) {
  return std::make_unique<ServiceUnit>(state);
}
