// Image mode: sector traffic into image files instead of the device, and the
// image files built, packed and refreshed from it.
//
// Until the image files are built every image operation fails with -1 and
// the image mode stays off.

#include "tervlink/zel_device_io.h"

int32_t ZEL_DEVICE_IO::ReadFromImageFile(uint32_t, uint32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::WriteToImageFile(uint32_t, uint32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::CloseImageFile(void*, char*) { return imageActive ? -1 : 0; }
int32_t ZEL_DEVICE_IO::BuildImageFile(int32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::SetImageMode(int32_t kind) {
  imageKind = kind;
  return 0;
}
int32_t ZEL_DEVICE_IO::SetSimuFlashParameter(int32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
  return -1;
}
int32_t ZEL_DEVICE_IO::BuildPakImageFile(char*) { return -1; }
int32_t ZEL_DEVICE_IO::UnPakImageFile(char*) { return -1; }
int32_t ZEL_DEVICE_IO::UpdateIsoFromNand(char*, int*, uint32_t, uint32_t, uint32_t, uint32_t) {
  return -1;
}
int32_t ZEL_DEVICE_IO::WriteBiosToBinFile(uint32_t, char*) { return -1; }
int32_t ZEL_DEVICE_IO::WriteEccRomToBinFile(uint32_t, char*) { return -1; }
