// What the commands that move files between the device and the PC share:
// DOS time words and PC times, the PC name a device entry becomes, and the
// copy of one device file into a PC file (SYNC /DZEL2PC, GET).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tervlink/host/host.h"

#include "tervlink/fat_device.h"

struct DosStamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

// A PC modification time as local DOS date and time words; times outside
// what the words can hold are held to 1980-01-01 or 2107-12-31.
DosStamp ToDos(int64_t mtime);
// DOS date and time words taken as local time, in seconds since the epoch.
int64_t FromDos(uint16_t date, uint16_t time);

// folder joined with name by the host's separator.
std::string JoinPc(const std::string& folder, const char* name);
// True when a device entry name can be used as one plain PC file or folder
// name: not empty, not only dots, no separator or control character.
bool SafePcName(const char* name);
// A name as printable text: control characters as \xNN.
std::string Printable(const char* name);
// True when the listed name leads back to this very entry: it is its own
// entry form again, and no entry listed before in the directory (names
// kept in listed) has the same name. A name that is not ("..      TXT"
// lists as "...TXT", a blank inside a name cuts it short) would reach
// another entry or none.
bool Addressable(FAT_DEVICE* fat, const char* name, std::set<std::string>& listed);

// Where the engine stands in the partition, so that a walk climbs back to
// the very directory it came from whatever a damaged ".." entry says.
struct DevicePlace {
  uint32_t dir;
  char path[sizeof(_PART_INFO::currentPath)];
};
DevicePlace Here(FAT_DEVICE* fat);
void GoBack(FAT_DEVICE* fat, const DevicePlace& p);

// The device entry forms of a PC folder's entries, or "" for a name that
// has no device name of its own: not 8.3, a blank or control byte (the
// stored entry would list as another name), or two PC names that give one
// device name (a.txt and A.TXT). Folders whose names begin with a dot are
// left out silently (as "").
std::vector<std::string> DeviceNames(FAT_DEVICE* fat, const std::vector<host::DirEntry>& entries);

// Stores a PC file as the device file name in the current directory, its
// entry carrying the time stamp (so that its directory sector is written
// once). held: the file's data when it was read already (SYNC's
// read-ahead); the file is then not opened again. False when the file
// cannot be opened or read, does not fit the engine's int sizes, or the
// engine fails.
bool WritePcFileToDevice(FAT_DEVICE* fat, const std::string& path, char* name, DosStamp stamp,
                         const std::string_view* held = nullptr);

// Copies the device file name (size bytes) of the engine's current
// directory to the PC file at path: written under a temporary name beside
// it as it is read, and renamed to path only when every byte is read and
// written, so a damaged chain or a failed write never leaves a short file
// under the real name (nor replaces a file that is there). The PC file
// then carries the time mtime. False when anything failed, with the reason
// set (the engine's last error tells a device failure, -1, from a damaged
// file, -3, and from the PC file's failure, -10 or 0). here, when given, is
// the file's name in the current folder, which is path's folder: the files
// are then made by that name (path still names the file in reasons).
bool CopyDeviceFileToPc(FAT_DEVICE* fat, char* name, int size, const std::string& path,
                        int64_t mtime, const char* here = nullptr);
