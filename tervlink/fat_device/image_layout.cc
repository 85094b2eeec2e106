// The partition layout of the engine's disk blocks, as a system image's
// header records it.

#include "tervlink/fat_device.h"
#include "tervlink/image_file.h"

image::DiskLayout image::DescribeDiskBlocks(const void* diskBlocks) {
  DiskLayout layout;
  const auto* disks = static_cast<const _DISK_INFO*>(diskBlocks);
  for (int d = 0; d < kFatDisks && d < 4; ++d) {
    layout.partitioned[d] = disks[d].partitioned != 0;
    for (int k = 0; k < kFatParts && k < 4; ++k) layout.sizesKb[d][k] = uint32_t(disks[d].partSizes[k]);
  }
  return layout;
}
