// The engine's image operations: entering and leaving image building, the
// packed-image conversions, the ISO burn into the device's NAND and the
// refresh of an ISO image from it.
//
// The file work itself is the device object's (image_mode.cc); here the
// engine saves and restores its disk blocks around a build and drives the
// burn with its pending direct transfers.

#include "tervlink/fat_device.h"

// ---- image building ----------------------------------------------------------

int FAT_DEVICE::SetImageMode(int kind) {
  pDevice->SetImageMode(kind);
  return 0;
}

int FAT_DEVICE::SetSimuFlashParameter(int slc, unsigned blocksPerZone,
                                      unsigned logicalBlocksPerZone, unsigned sectorsPerBlock,
                                      unsigned sectorsPerPage) {
  pDevice->SetSimuFlashParameter(slc, blocksPerZone, logicalBlocksPerZone, sectorsPerBlock,
                                 sectorsPerPage);
  return 0;
}

int FAT_DEVICE::SwitchToBuildingImageMode(int sizeMb, char* path) {
  if (pDevice->BuildImageFile(sizeMb, path) == -1) return -1;
  SaveDiskInfo();
  buildingImage_ = true;
  return 0;
}

int FAT_DEVICE::QuitBuildingImageMode(char* path) {
  // The close reads the disk blocks as the build left them (the image's
  // header records that partitioning); only then is the device's own
  // state put back. Nothing is put back when no build was started: the
  // saved copy would be stale (or never taken).
  int result = pDevice->CloseImageFile(disks, path);
  if (buildingImage_) RestoreDiskInfo();
  buildingImage_ = false;
  return result;
}
