// Who holds the device: one client at a time, whichever link reaches it.
//
// A client claims the device on a connection of the driver link (a claim
// frame carrying its program's name; the process is the connection's
// peer) and holds it until that connection closes, which the system does
// when the client ends however it ends. While it is held, a claim or a
// request of another process is refused, and the refusal names the
// holder. A process the system cannot name (id 0) is not told apart.
// Shared by the driver link and the simulation link (under its own lock:
// each link serves from its own thread).
#pragma once

#include <mutex>
#include <string>

class DeviceHolder {
 public:
  // Gives the device to process pid (program) on the connection owner.
  // True when pid holds it now (it may have held it already); false when
  // another process holds it, with holderPid and holderProgram set.
  bool Claim(long pid, const std::string& program, const void* owner, long& holderPid,
             std::string& holderProgram) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!owner_ || pid_ == pid) {
      if (!owner_) owner_ = owner, pid_ = pid, program_ = program;
      return true;
    }
    holderPid = pid_;
    holderProgram = program_;
    return false;
  }
  // The connection owner closed: a claim it carried ends.
  void Release(const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (owner_ == owner) owner_ = nullptr, pid_ = 0, program_.clear();
  }
  // True when process pid may send requests: nobody holds the device, pid
  // does, or either process is unknown.
  bool Allows(long pid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !owner_ || pid == 0 || pid_ == 0 || pid == pid_;
  }
  // "process 1234 (Tervan)" for the holder, for zelsim's own messages.
  std::string Describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return "process " + std::to_string(pid_) + " (" + program_ + ")";
  }

 private:
  mutable std::mutex mutex_;
  const void* owner_ = nullptr;
  long pid_ = 0;
  std::string program_;
};
