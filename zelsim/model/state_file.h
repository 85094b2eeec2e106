// Small helpers for the service units' files in the state folder.
//
// Each service keeps its state in one file, rewritten whole (through a
// temporary and a rename) before the reply to the request that changed it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device_model.h"

// The path of a state file of the device.
std::string StatePath(const DeviceState& state, const char* name);
// Reads a whole file. False when it does not exist or cannot be read.
bool ReadStateFile(const std::string& path, std::vector<uint8_t>& out);
// Replaces a file atomically; false on failure.
bool WriteStateFile(const std::string& path, const std::vector<uint8_t>& data);
