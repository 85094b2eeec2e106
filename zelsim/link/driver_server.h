// The driver side of the device link: serves the socket lexon<N> in the run
// folder (any number of connections, each carrying one request after
// another) and runs each command block through the device model.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "link/device_holder.h"
#include "model/device_model.h"

struct DriverServerOptions {
  int device = 0;      // serves \\.\lexon<device>
  bool trace = false;  // each command block in hexadecimal on standard error
  std::mutex* modelLock = nullptr;  // held around each request when the USB link runs too
  DeviceHolder* holder = nullptr;   // who holds the device (shared with the USB link)
};

// A read buffer kept ready for the connections: made, its pages present,
// when the server starts, taken by the first connection whose data phases
// outgrow its first read buffer (a PC's writes of up to 1 MB), and given
// back when that connection closes, so that no job pays for growing one.
struct SpareInput {
  std::unique_ptr<uint8_t[]> buffer;
  size_t capacity = 0;
};

// Serves until SIGINT or SIGTERM; removes its socket at the end. Returns 0
// after a clean stop, 1 when the socket cannot be served (message printed).
int RunDriverServer(DeviceModel& model, const DriverServerOptions& options);

// The device's side of one connection: the command block it carries, the
// answer, and the bytes read ahead of the frame at hand.
class DriverConnection {
 public:
  // peer: the process at the other end (0 when unknown); holder: the
  // device's claim, which this connection may carry.
  DriverConnection(int fd, DeviceModel& model, bool trace, std::mutex* modelLock,
                   DeviceHolder& holder, long peer, SpareInput& spare);
  ~DriverConnection();
  int Fd() const { return fd_; }
  // Reads one frame (waiting for it) and answers it. False when the
  // connection is over: the peer closed it (a pending block without data
  // phase is then carried out) or sent something that is not a frame.
  bool Serve();
  // True when bytes of a next frame were read with the last one.
  bool Buffered() const { return have_ > 0; }

 private:
  bool ServeFrame();
  // Queues an answer: its head (ok, n) and, unless data is null (a write's
  // answer, whose n is the count taken), its n bytes. A large data phase
  // goes out at once with what is queued. False when sending failed.
  bool Answer(bool ok, uint32_t n, const uint8_t* data);
  // Sends the queued answers. False when that failed.
  bool Flush();
  // True when a whole frame (or a byte that starts no frame) is buffered.
  bool WholeFrame() const;
  void Run(std::span<const uint8_t> data);
  // Answers a claim frame (name: the claiming program's).
  bool ServeClaim(std::span<const uint8_t> name);
  void Closed();
  void Reserve(size_t length);
  bool Take(size_t length);

  int fd_;
  DeviceModel& model_;
  bool trace_;
  std::mutex* modelLock_;
  DeviceHolder& holder_;
  long peer_;
  SpareInput& spare_;
  _ZEL_REQUEST block_;
  bool haveBlock_ = false;
  bool executed_ = false;
  DeviceAnswer answer_;
  // Bytes read: have_ of them from at_ (the next frame's start) on, in
  // capacity_.
  std::unique_ptr<uint8_t[]> in_;
  size_t capacity_ = 0;
  size_t at_ = 0;
  size_t have_ = 0;
  std::vector<uint8_t> out_;  // answers not yet sent
};

