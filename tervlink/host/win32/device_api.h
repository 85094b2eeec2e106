// The Win32 calls of the device link, through a table a test can replace
// (tests/windows records them to show which calls the driver path makes).
#pragma once

#include <cstdint>
#include <string>

#include "tervlink/export.h"

namespace host::win32 {

// Shaped as the Win32 functions of the same names; handles are HANDLEs.
struct DeviceApi {
  void* (*CreateFileA)(const char* name, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t flags);
  int (*DeviceIoControl)(void* h, uint32_t code, const void* in, uint32_t inLength, void* out,
                         uint32_t outCapacity, uint32_t* returned);
  int (*WriteFile)(void* h, const void* buffer, uint32_t length, uint32_t* put);
  int (*ReadFile)(void* h, void* buffer, uint32_t length, uint32_t* got);
  int (*CloseHandle)(void* h);
  int (*WaitNamedPipeA)(const char* name, uint32_t timeoutMs);
  uint32_t (*GetLastError)();
};

// The real calls.
TERVLINK_API DeviceApi RealDeviceApi();
// Installs a table; returns the one before.
TERVLINK_API DeviceApi SetDeviceApi(const DeviceApi& api);

// The folder of named pipes: zelsim serves "\\.\lexon0" as
// "\\.\pipe\lexon0" (DeviceSocketPath).
constexpr char kPipePrefix[] = "\\\\.\\pipe\\";

// The private namespace of pipe and mailslot names while TERVAN_RUNDIR is
// set ("tervan-HASH\\"); empty otherwise.
TERVLINK_API std::string PrivateNamespace();

}  // namespace host::win32
