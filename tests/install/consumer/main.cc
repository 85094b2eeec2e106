// Uses the installed library: the FAT engine's name rule, and the device
// object answering -1 where there is no device. Exit status 0 when both
// answer as they should.
#include <cstdio>
#include <cstring>

#include "tervlink/fat_device.h"
#include "tervlink/zel_device_io.h"

int main() {
  ZEL_DEVICE_IO device("\\\\.\\lexon7", 0);
  FAT_DEVICE* fat = new FAT_DEVICE(&device);  // large: not on the stack
  char name[] = "readme.txt";
  char entry[12] = {};
  bool named = fat->NormalizeFileName(name, entry) == 0 && strcmp(entry, "README  TXT") == 0;
  bool absent = device.Test(0) == -1;
  printf("entry form \"%s\", device test %s\n", entry, absent ? "-1" : "answered");
  delete fat;
  return named && absent ? 0 : 1;
}
