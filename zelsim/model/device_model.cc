#include "device_model.h"

DeviceAnswer DeviceModel::Execute(const _ZEL_REQUEST&, std::span<const uint8_t>) {
  return DeviceAnswer{};
}
