// The simulation transport: the device link carried over two mailslots to a
// PC simulator of the device. The five Sim* calls have the shapes and
// result conventions of the driver calls they stand in for.
#pragma once

#include "tervlink/zel_device_io.h"

DeviceHandle SimCreateFile(const char* path, uint32_t access, uint32_t share, void* security,
                           uint32_t disposition, uint32_t flags, void* templ);
int SimDeviceIoControl(DeviceHandle h, uint32_t code, const void* in, uint32_t inLength,
                       void* out, uint32_t outCapacity, uint32_t* returned, void* overlapped);
int SimCloseHandle(DeviceHandle h);
int SimReadFile(DeviceHandle h, void* buffer, uint32_t length, uint32_t* got, void* overlapped);
int SimWriteFile(DeviceHandle h, const void* buffer, uint32_t length, uint32_t* put,
                 void* overlapped);

// Opens the PC side's mailslot and waits until a simulator answers the
// hello; returns the simulator's answer, or -1 when the link cannot be made.
int SimOpenLink();
// Brings the link up given the hello answer; -1 leaves the link down.
int SimStartLink(int helloAnswer);
// Marks the link down and closes both mailslots.
void SimCloseLink();
