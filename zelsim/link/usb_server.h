// The simulator's side of the simulation link (Tervan -E): the device's USB
// side played over two mailslots. zelsim creates "c33_usb_snd_io" and reads
// the PC's messages from it; it answers into the PC's "c33_usb_rcv_io".
//
// UsbDevice holds the protocol (greeting, setup/out/in tokens with their
// handshakes and data toggles, bulk transfers, the command wrapper and the
// status packet) and runs each command block through the same DeviceModel
// as the driver socket; UsbServer carries its messages over the mailslots.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "link/device_holder.h"
#include "model/device_model.h"
#include "tervlink/host/host.h"

struct UsbServerOptions {
  bool fresh = false;    // greet with 0 (a fresh device the PC enumerates) instead of 1
  bool refuse = false;   // greet with -1: the PC leaves the link down
  bool trace = false;    // each command block in hexadecimal on standard error
  std::mutex* modelLock = nullptr;  // held around each request when the driver link runs too
  // Who holds the device: a greeting of another process is refused.
  DeviceHolder* holder = nullptr;
};

// The device's USB function. Handle() takes one message of the PC side and
// gives the messages to answer with, in order (none for an acknowledge or a
// bulk out header, two for a bulk in).
class UsbDevice {
 public:
  UsbDevice(DeviceModel& model, const UsbServerOptions& options);

  std::vector<std::vector<uint8_t>> Handle(std::span<const uint8_t> message);

  // True when the next message is the data of a bulk out, whatever its first byte.
  bool AwaitingBulkData() const { return bulkOut_.active; }
  uint8_t Address() const { return address_; }
  bool Configured() const { return configured_; }

 private:
  using Answers = std::vector<std::vector<uint8_t>>;
  Answers Hello();
  Answers Setup(std::span<const uint8_t> m);
  Answers OutToken(std::span<const uint8_t> m);
  Answers InToken(std::span<const uint8_t> m);
  Answers Acknowledge();
  Answers BulkIn(std::span<const uint8_t> m);
  Answers BulkOutData(std::span<const uint8_t> data);
  // Runs the pending command once, with the data phase towards the device.
  void Execute(std::span<const uint8_t> dataIn);
  uint8_t& Toggle(uint8_t endpoint) { return toggles_[endpoint % 32]; }
  void Flip(uint8_t endpoint);
  void FlipForPackets(uint8_t endpoint, uint8_t maxPacket, uint32_t bytes);

  DeviceModel& model_;
  UsbServerOptions options_;
  uint8_t address_ = 0;
  bool configured_ = false;
  uint8_t toggles_[32];  // the data identifier of the next packet per endpoint

  // The command of the last wrapper, until its status packet is acknowledged.
  bool refusedClient_ = false;  // greeted by a process other than the device's holder
  bool haveCommand_ = false;
  bool executed_ = false;
  _ZEL_REQUEST command_;
  DeviceAnswer answer_;

  // The standard request between its setup and status stages.
  bool haveSetup_ = false;
  uint8_t setup_[8] = {};

  // A data packet sent on an in token and not yet acknowledged: sent again
  // unchanged when the PC asks again.
  bool inPending_ = false;
  uint8_t inEndpoint_ = 0;
  std::vector<uint8_t> inPacket_;

  struct {
    bool active = false;
    uint8_t address = 0, endpoint = 0, maxPacket = 0, toggle = 0;
  } bulkOut_;
};

class UsbServer {
 public:
  UsbServer(DeviceModel& model, const UsbServerOptions& options);
  ~UsbServer();

  // Creates the simulator's mailslot. Returns an empty text, or what went
  // wrong (another zelsim serves it, the folder cannot be made ...).
  std::string Open();
  // Serves messages until stop is set or SIGINT/SIGTERM arrives; then
  // closes and removes the mailslot.
  void Serve(const std::atomic<bool>* stop);

 private:
  void Answer(const std::vector<std::vector<uint8_t>>& answers);

  UsbDevice device_;
  host::MailslotHandle slot_ = host::kInvalidMailslot;
  host::MailslotHandle reply_ = host::kInvalidMailslot;
};
