// The partition layout of the engine's disk blocks, as a system image's
// header records it.

#include "tervlink/image_file.h"

// The engine's disk blocks are not built yet: no disk counts as partitioned.
image::DiskLayout image::DescribeDiskBlocks(const void*) { return DiskLayout{}; }
