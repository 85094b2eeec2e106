// The simulator NAND file (image kind 1).
//
// Not built yet: building, reading, writing and closing it fail with -1, as
// do the boot-area writers and the flash parameters.

#include "tervlink/zel_device_io.h"

int32_t ZEL_DEVICE_IO::SetSimuFlashParameter(int32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
  return -1;
}
int32_t ZEL_DEVICE_IO::BuildSimuBinFile(int32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::ReadFromSimuBinFile(uint32_t, uint32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::WriteToSimuBinFile(uint32_t, uint32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::CloseSimuBinFile(void*, char*) { return -1; }
int32_t ZEL_DEVICE_IO::WriteBiosToBinFile(uint32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::WriteEccRomToBinFile(uint32_t, char*) { return -1; }
