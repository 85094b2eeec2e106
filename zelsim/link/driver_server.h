// The driver side of the device link: serves the socket lexon<N> in the run
// folder, one request per connection, and runs each command block through
// the device model.
#pragma once

#include <mutex>
#include <string>

#include "model/device_model.h"

struct DriverServerOptions {
  int device = 0;      // serves \\.\lexon<device>
  bool trace = false;  // each command block in hexadecimal on standard error
  std::mutex* modelLock = nullptr;  // held around each request when the USB link runs too
};

// Serves until SIGINT or SIGTERM; removes its socket at the end. Returns 0
// after a clean stop, 1 when the socket cannot be served (message printed).
int RunDriverServer(DeviceModel& model, const DriverServerOptions& options);

// Handles one connection: frames in, frames out, until the peer closes.
void ServeConnection(int fd, DeviceModel& model, bool trace, std::mutex* modelLock = nullptr);
