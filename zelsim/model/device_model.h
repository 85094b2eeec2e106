// The emulated device: runs one command block (with its data phase) and
// gives the reply and any data for the PC.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tervlink/records.h"

struct DeviceAnswer {
  uint32_t status = 1;  // 0 = carried out
  int32_t value = 0;
  std::vector<uint8_t> data;  // data phase towards the PC
};

class DeviceModel {
 public:
  DeviceAnswer Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn);
};
