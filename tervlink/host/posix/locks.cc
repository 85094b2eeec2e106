// Exclusive locks that the kernel drops with their process: flock on a lock
// file. A second process is refused at once and told who holds the lock
// (Linux lists flock holders in /proc/locks).

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "tervlink/host/host.h"

namespace host {

namespace {

class FileLock : public HeldLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {}
  ~FileLock() override { close(fd_); }  // closing the last descriptor drops the lock

 private:
  int fd_;
};

// The process holding a flock on the file open as fd; 0 when unknown.
long FlockHolder(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return 0;
  std::ifstream locks("/proc/locks");
  std::string line;
  // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:5308852 0 EOF"; waiters carry "->".
  while (std::getline(locks, line)) {
    std::istringstream words(line);
    std::string id, kind, advisory, mode, file;
    long pid = 0;
    if (!(words >> id >> kind) || kind == "->" || kind != "FLOCK") continue;
    if (!(words >> advisory >> mode >> pid >> file)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (inode == st.st_ino && major == major(st.st_dev) && minor == minor(st.st_dev)) return pid;
  }
  return 0;
}

}  // namespace

std::unique_ptr<HeldLock> LockFileExclusive(const std::string& path, long& holder) {
  holder = -1;
  // An existing file (a NAND file) is opened without write access, so that
  // a read-only file can be locked too; it is never changed.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  int r;
  do r = flock(fd, LOCK_EX | LOCK_NB);
  while (r != 0 && errno == EINTR);
  if (r != 0) {
    holder = errno == EWOULDBLOCK ? FlockHolder(fd) : -1;
    close(fd);
    return nullptr;
  }
  holder = 0;
  return std::make_unique<FileLock>(fd);
}

long LockHolder(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  long pid = FlockHolder(fd);
  close(fd);
  return pid;
}

std::string DeviceLockPath(const char* devicePath, bool simulation) {
  return simulation ? RunDir() + "/mailslot/simulation.lock" : DeviceSocketPath(devicePath) + ".lock";
}

std::unique_ptr<HeldLock> AcquireDeviceLock(const char* devicePath, bool simulation,
                                            long& holder) {
  std::string path = DeviceLockPath(devicePath, simulation);
  MakeDirs(path.substr(0, path.rfind('/')));
  return LockFileExclusive(path, holder);
}

bool SameFile(const char* gbkA, const char* gbkB) {
  struct stat a{}, b{};
  bool hasA = stat(GbkToFs(gbkA ? gbkA : "").c_str(), &a) == 0;
  bool hasB = stat(GbkToFs(gbkB ? gbkB : "").c_str(), &b) == 0;
  if (hasA && hasB) return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  if (hasA || hasB) return false;
  return FullPath(gbkA) == FullPath(gbkB);
}

}  // namespace host
