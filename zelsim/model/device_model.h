// The emulated device: the firmware behind the driver and the USB link.
//
// A DeviceModel runs one command block with its data phase and gives the
// reply and any data for the PC. The firmware is split into units, each
// serving some request codes (core: device test and OS download; storage:
// disks, sectors, boot area and NAND; services: settings, clock, registry,
// media player ...). All state lives in the state folder and is written
// before the reply is given, so the device survives a restart and a kill.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "nand_options.h"
#include "tervlink/host/host.h"
#include "tervlink/records.h"

// The reply of one request, with the data phase towards the PC.
struct DeviceAnswer {
  uint32_t status = 1;  // 0 = carried out; anything else = refused
  int32_t value = 0;
  std::vector<uint8_t> data;

  static DeviceAnswer Ok(int32_t value = 0) { return DeviceAnswer{0, value, {}}; }
  static DeviceAnswer Refused() { return DeviceAnswer{1, 0, {}}; }
};

// How the device is set up (zelsim's command line).
struct ModelConfig {
  std::string stateDir;          // where the device keeps its state
  int disks = 1;                 // 1 (dictionary) or 2 (programmer)
  bool wantOs = false;           // the loader waits for its operating system
  bool stillClock = false;       // the device clock stands still (scripted tests)
  std::vector<std::string> args; // the whole command line, for units with options of their own
  NandOptions nand;              // the disks' NAND chips and files
  FaultPlan faults;              // requests made to fail, sector reads made wrong
};

// The NAND file that serves a disk: its --nandN file, or diskN.nand in the
// state folder.
std::string DiskNandPath(const ModelConfig& config, int disk);

// State shared by the units.
struct DeviceState {
  ModelConfig config;
  bool osRunning = true;  // false while the loader waits for its OS
  int currentDisk = 0;    // the disk that sector requests address
  int boots = 0;          // counts restarts; units drop what a restart loses
  FaultPlan faults;       // the faults still to inject (from config.faults)
  // The data buffer of an answer already sent, handed back by the link for
  // the next answer to reuse (its size is whatever the last answer's was).
  std::vector<uint8_t> spareData;
  // spareData sized to bytes for the next answer, taken out of the state.
  // A buffer too small for them is replaced, not grown: by one of at least
  // a PC's longest sector run, its pages present at once (a page touched
  // first costs a fault, many microseconds on a virtual machine), and
  // nothing of the old one copied.
  std::vector<uint8_t> TakeDataBuffer(size_t bytes);
};

// One part of the firmware.
class ModelUnit {
 public:
  virtual ~ModelUnit() = default;
  // Serves the request when it is one of this unit's; false otherwise.
  virtual bool Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn,
                       DeviceAnswer& answer) = 0;
};

class DeviceModel {
 public:
  // Opens (or creates) the device's state in config.stateDir. Check Ok().
  explicit DeviceModel(ModelConfig config);
  ~DeviceModel();

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // Runs one request; a request no unit serves is refused.
  DeviceAnswer Execute(const _ZEL_REQUEST& block, std::span<const uint8_t> dataIn);

  DeviceState& State() { return state_; }

 private:
  DeviceState state_;
  std::vector<std::unique_ptr<ModelUnit>> units_;
  std::string error_;
};

// Unit factories (one source file each). They report a setup failure
// through error and may return null then.
std::unique_ptr<ModelUnit> MakeCoreUnit(DeviceState& state, std::string& error);
std::unique_ptr<ModelUnit> MakeStorageUnit(DeviceState& state, std::string& error);
std::unique_ptr<ModelUnit> MakeServiceUnit(DeviceState& state, std::string& error);
std::unique_ptr<ModelUnit> MakeRegistryUnit(DeviceState& state, std::string& error);
std::unique_ptr<ModelUnit> MakeMediaUnit(DeviceState& state, std::string& error);
