// BUILDSIMUBIN's parameters of the simulated chip (simubin.cc).
#pragma once

#include <cstdint>

#include "tervlink/nand_layout.h"

// What SetSimuFlashParameter and the build get. The defaults are those of a
// 128 MB NAND with 512-byte pages.
struct SimuBinParams {
  bool slc = true;
  uint32_t blocksPerZone = 1024;
  uint32_t logicalBlocksPerZone = 1000;
  uint32_t sectorsPerBlock = 32;
  uint32_t sectorsPerPage = 1;
  int sizeMb = 128;
};

// The parameters of a chip of the table (the defaults without one), with
// the image size in MB taken from the chip's blocks and sectors per block.
SimuBinParams SimuBinParamsOf(const nand::NandChip* chip, bool slc);
