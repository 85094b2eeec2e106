// zelsim: our emulator of the ZEL device (its driver, firmware and storage),
// so that Tervan can be used and tested without the hardware.

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link/driver_server.h"
#include "link/usb_server.h"
#include "model/device_model.h"
#include "tervlink/host/host.h"

namespace {

const char kUsage[] =
    "usage: zelsim --state DIR [options]\n"
    "  --state DIR     folder holding the device's state (created when missing)\n"
    "  --device N      serve the device \\\\.\\lexon<N> (default 0)\n"
    "  --disks 1|2     one disk (dictionary) or two (programmer); default 1\n"
    "  --want-os       start in the loader, waiting for its operating system\n"
    "  --link KIND     driver (default): the device socket; usb: the simulation\n"
    "                  link over mailslots (Tervan -E); both: the two at once\n"
    "  --usb-fresh     on the simulation link, a fresh device that Tervan enumerates\n"
    "  --usb-refuse    on the simulation link, refuse every greeting (the link stays down)\n"
    "  --trace         print each command block (and the start of the data sent\n"
    "                  to the device) in hexadecimal on standard error\n"
    "  --still-clock   the device clock does not run (for scripted tests)\n"
    "%s"
    "  --help          this text\n"
    "  --version       the version\n"
    "The socket is $TERVAN_RUNDIR/lexon<N> (default ${XDG_RUNTIME_DIR:-/tmp}/tervan-$UID),\n"
    "the mailslots are the FIFOs $TERVAN_RUNDIR/mailslot/c33_usb_snd_io and c33_usb_rcv_io.\n";

int Usage(const char* problem) {
  if (problem) host::PrintError("zelsim: %s", problem);
  fprintf(stderr, kUsage, kStorageUsage);
  return 2;
}

bool ParseInt(const char* text, int& out) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end || v < 0 || v > 1000000) return false;
  out = int(v);
  return true;
}

// What no second zelsim may serve at the same time: the state folder
// (through its file zelsim.lock) and the NAND file of every disk, held until
// this process ends.
class StorageLocks {
 public:
  // Takes the lock of a file that exists (or of the state folder's lock
  // file). False, after a message naming it and its holder, when another
  // process holds it.
  bool Take(const std::string& path, const std::string& what) {
    if (taken_.count(path)) return true;
    long holder = 0;
    auto held = host::LockFileExclusive(path, holder);
    if (held) {
      locks_.push_back(std::move(held));
      taken_.insert(path);
      return true;
    }
    if (holder < 0) return true;  // cannot be opened: the model reports it
    std::string who = holder > 0 ? "process " + std::to_string(holder) : "another process";
    host::PrintError("zelsim: %s is in use by %s (another zelsim serves it); stop that one first",
                     what.c_str(), who.c_str());
    return false;
  }
  // The NAND files of the disks that exist now.
  bool TakeNandFiles(const ModelConfig& config) {
    for (int disk = 0; disk < config.disks; ++disk) {
      std::string path = DiskNandPath(config, disk);
      if (host::Stat(path.c_str()).exists && !Take(path, "the NAND file " + path)) return false;
    }
    return true;
  }

 private:
  std::vector<std::unique_ptr<host::HeldLock>> locks_;
  std::set<std::string> taken_;
};

}  // namespace

int main(int argc, char** argv) {
  ModelConfig config;
  DriverServerOptions server;
  UsbServerOptions usb;
  bool serveDriver = true, serveUsb = false;
  for (int i = 0; i < argc; ++i) config.args.push_back(argv[i]);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      printf(kUsage, kStorageUsage);
      return 0;
    } else if (arg == "--version") {
      printf("zelsim v0.10, the ZEL device emulator of Tervan v0.10\n");
      return 0;
    } else if (arg == "--state") {
      const char* v = value();
      if (!v || !*v) return Usage("--state needs a folder");
      config.stateDir = v;
    } else if (arg == "--device") {
      const char* v = value();
      if (!v || !ParseInt(v, server.device)) return Usage("--device needs a number");
    } else if (arg == "--disks") {
      const char* v = value();
      if (!v || !ParseInt(v, config.disks) || config.disks < 1 || config.disks > 2)
        return Usage("--disks takes 1 or 2");
    } else if (arg == "--want-os") {
      config.wantOs = true;
    } else if (arg == "--still-clock") {
      config.stillClock = true;
    } else if (arg == "--link") {
      const char* v = value();
      std::string kind = v ? v : "";
      if (kind == "driver") {
        serveDriver = true, serveUsb = false;
      } else if (kind == "usb") {
        serveDriver = false, serveUsb = true;
      } else if (kind == "both") {
        serveDriver = serveUsb = true;
      } else {
        return Usage("--link takes driver, usb or both");
      }
    } else if (arg == "--usb-fresh") {
      usb.fresh = true;
    } else if (arg == "--usb-refuse") {
      usb.refuse = true;
    } else if (arg == "--trace") {
      server.trace = true;
      usb.trace = true;
    } else {
      std::string error;
      int took = ParseStorageOption(argc, argv, i, config.nand, config.faults, error);
      if (took < 0) return Usage(error.c_str());
      if (took > 0) continue;
      return Usage(("unknown option " + arg).c_str());
    }
  }
  if (config.stateDir.empty()) return Usage("--state is required");

  // One zelsim per state: the folder and the NAND files are locked before
  // the model touches them; a NAND file the model has just made, after.
  StorageLocks locks;
  if (host::MakeDirs(config.stateDir) &&
      !locks.Take(config.stateDir + "/zelsim.lock", "the state folder " + config.stateDir))
    return 1;
  if (!locks.TakeNandFiles(config)) return 1;

  host::InstallStopSignals();
  DeviceModel model(config);
  if (!model.Ok()) {
    host::PrintError("zelsim: %s", model.Error().c_str());
    return 1;
  }
  if (!locks.TakeNandFiles(config)) return 1;
  // One client at a time, whichever link it comes by.
  DeviceHolder holder;
  server.holder = usb.holder = &holder;
  if (!serveUsb) return RunDriverServer(model, server);

  // With both links the model serves one request at a time, under this lock.
  std::mutex modelLock;
  if (serveDriver) usb.modelLock = server.modelLock = &modelLock;
  UsbServer usbServer(model, usb);
  if (std::string problem = usbServer.Open(); !problem.empty()) {
    host::PrintError("zelsim: %s", problem.c_str());
    return 1;
  }
  host::PrintError("zelsim: serving the simulation link at %s",
                   host::MailslotPath("c33_usb_snd_io").c_str());
  if (!serveDriver) {
    usbServer.Serve(nullptr);
    host::PrintError("zelsim: stopped");
    return 0;
  }
  // Both links: the USB side in a thread of its own, the driver socket here.
  // SIGINT and SIGTERM go to this thread, whose accept they interrupt; the
  // stop flag then ends the USB thread.
  std::atomic<bool> stop{false};
  std::thread usbThread([&] {
    host::BlockStopSignalsInThisThread();
    usbServer.Serve(&stop);
  });
  int result = RunDriverServer(model, server);
  stop = true;
  usbThread.join();
  return result;
}
