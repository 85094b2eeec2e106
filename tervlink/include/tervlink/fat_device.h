// FAT_DEVICE: the PC-side FAT12/FAT16 engine over the device's sectors.
//
// The engine talks to the device only through its FAT_DEVICE_IO. It keeps
// the state of up to four disks with four partitions each in memory.
#pragma once

#include <cstdint>

#include "tervlink/export.h"
#include "tervlink/fat_device_io.h"

class TERVLINK_API FAT_DEVICE {
 public:
  // Stores io (not owned); clears the initialised and verify flags.
  explicit FAT_DEVICE(FAT_DEVICE_IO* io);
  ~FAT_DEVICE();

  // Reads the partition tables, boot sectors and FATs of every disk:
  // 1 on success, -1 on failure.
  int Init();
  // 1 once Init has completed.
  int IsFatInit();
  // Loads the partition sizes from "Tervan.cfg" or the defaults.
  void init_part_params();
  // Makes partition part of disk disk current (no device traffic).
  void file_system_switch_to(int disk, int part);
  // The current directory path ("\" at the root) into buffer; its length.
  int GetCurrentDirectoryA(char* buffer, int size);

  // ---- fields, in this order ----
  FAT_DEVICE_IO* pDevice;  // the device interface, not owned
  int diskCount = 0;       // disks in use (set by the program, at most 2)
  int curPartIndex = 0;    // current partition 0..3 (C..F)
  int verify = 0;          // read-back verify flag (set by the program)
  int lastError = 0;
  int fatInit = 0;
};
