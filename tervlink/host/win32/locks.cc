// Exclusive locks (one session per device, one zelsim per state folder),
// the same-file test, Ctrl+C as the interrupt flag, and the wait for a
// mailslot's server, on Windows.

#include "windows_api.h"

#include <cstring>

#include "tervlink/host/host.h"
#include "win32_text.h"

namespace host {
namespace {

class FileLock : public HeldLock {
 public:
  explicit FileLock(HANDLE h) : h_(h) {}
  ~FileLock() override { CloseHandle(h_); }  // closing the handle releases the lock

 private:
  HANDLE h_;
};

BOOL WINAPI OnCtrlC(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  RequestInterrupt();
  return TRUE;
}

}  // namespace

std::unique_ptr<HeldLock> LockFileExclusive(const std::string& path, long& holder) {
  HANDLE h = CreateFileW(win32::GbkToWide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    holder = -1;
    return nullptr;
  }
  OVERLAPPED ov{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) {
    CloseHandle(h);
    holder = 0;  // Windows does not tell who holds a file lock
    return nullptr;
  }
  holder = 0;
  return std::make_unique<FileLock>(h);
}

long LockHolder(const std::string&) { return 0; }  // Windows does not tell

std::string DeviceLockPath(const char* devicePath, bool simulation) {
  std::string name = "simulation";
  if (!simulation) {
    name = devicePath ? devicePath : "";
    const std::string prefix = "\\\\.\\";
    if (name.compare(0, prefix.size(), prefix) == 0) name = name.substr(prefix.size());
    for (char& c : name)
      if (c == '\\' || c == '/' || c == ':') c = '_';
  }
  return RunDir() + "\\" + name + ".lock";
}

std::unique_ptr<HeldLock> AcquireDeviceLock(const char* devicePath, bool simulation,
                                            long& holder) {
  if (!MakeDirs(RunDir())) {
    holder = -1;
    return nullptr;
  }
  return LockFileExclusive(DeviceLockPath(devicePath, simulation), holder);
}

bool SameFile(const char* gbkA, const char* gbkB) {
  auto open = [](const char* name) {
    return CreateFileW(win32::GbkToWide(name ? name : "").c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  };
  HANDLE a = open(gbkA), b = open(gbkB);
  bool known = a != INVALID_HANDLE_VALUE && b != INVALID_HANDLE_VALUE;
  bool same = false;
  if (known) {
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    known = GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib);
    same = known && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
  }
  if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
  if (b != INVALID_HANDLE_VALUE) CloseHandle(b);
  if (known) return same;
  // Names on Windows are alike whatever their case.
  std::wstring fa = win32::GbkToWide(FullPath(gbkA)), fb = win32::GbkToWide(FullPath(gbkB));
  return CompareStringOrdinal(fa.c_str(), int(fa.size()), fb.c_str(), int(fb.size()), TRUE) ==
         CSTR_EQUAL;
}

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnCtrlC, TRUE); }

bool WaitForMailslotServer(const char* name, int timeoutMs) {
  ULONGLONG start = GetTickCount64();
  for (;;) {
    if (MailslotHasServer(name)) return true;
    if (InterruptRequested()) return false;
    if (timeoutMs >= 0 && GetTickCount64() - start >= ULONGLONG(timeoutMs)) return false;
    ::Sleep(10);
  }
}

}  // namespace host
