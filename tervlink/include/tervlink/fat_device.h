// FAT_DEVICE: the PC-side FAT12/FAT16 engine over the device's sectors.
//
// The engine talks to the device only through its FAT_DEVICE_IO, and of that
// interface only through DiskReadCapacity, Read, Write, Switch, Direct_Read
// and Direct_Write. It keeps the state of up to four disks with four
// partitions each in one fixed block of memory (partition table, boot
// sector values, the whole first FAT, a 40-sector cache and the current
// directory of every partition), so nothing is allocated after construction.
//
// Result convention: operations return 0, 1 or a count on success and -1 (or
// a stated negative code) on failure, and record a code in lastError:
//   -1 device transfer failed      -2 no/invalid partition table or boot sector
//   -3 name not found, chain ended  -4 not enough free space
//   -6 directory not empty         -7 invalid 8.3 name   -8 rename target exists
//   -9 stopped by the user (Ctrl-C) between the transfers of a file's data;
//      rolled back as a failed transfer is
//   -10 a file's data stream (the PC file) could not give or take its bytes;
//      rolled back as a failed transfer is, the device is not marked stale
//   -11 a directory would move below itself, or away from under the
//      current directory
//   -12 a write read back (verify on) differs from what was written;
//      handled as a failed transfer
// A damaged disk (looping or out-of-range chains, oversized boot sector
// values, directories longer than their chain) gives -1 with -2 or -3, never
// a hang, a read outside the in-memory FAT or a write outside the partition.
// A partition whose table entry runs past the disk or shares a sector with
// another partition is read but never written (-1, last error -2).
// After a failed device request the disk is stale: the next operation reads
// its partition table, boot sectors and FATs again first (and fails with
// last error -1 while that fails), and what the failed operation changed in
// the FAT image is put back from memory, never read from the device.
// A device that went away and came back (FAT_DEVICE_IO::DeviceLosses) may
// have been changed by another client meanwhile: every disk is then read
// again before anything is written, and where the device differs from
// what the engine held, the device wins whole (said on standard error).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tervlink/export.h"
#include "tervlink/fat_device_io.h"

constexpr int kFatDisks = 4;                // disks kept by the engine
constexpr int kFatParts = 4;                // partition slots per disk (C, D, E, F)
constexpr int kReservedSlot = 1;            // slot 1 (D:) is the reserved, non-FAT partition
constexpr int kCacheBuffers = 40;           // sector buffers per partition
constexpr int kCacheHashHeads = 64;         // hash chains per partition (sector & 63)
constexpr uint32_t kMaxFatSectors = 511;    // largest FAT kept in memory [sector]
constexpr uint32_t kFatImageBytes = kMaxFatSectors * 512;
constexpr uint32_t kEmptyBlock = 0xFFFFFFFF;  // cache buffer holds no sector
constexpr int kPathChars = 110;             // current path text, terminator not counted

// Directory entry attribute bits and the three search masks.
constexpr unsigned kAttrReadOnly = 0x01;
constexpr unsigned kAttrHidden = 0x02;
constexpr unsigned kAttrSystem = 0x04;
constexpr unsigned kAttrVolume = 0x08;
constexpr unsigned kAttrDirectory = 0x10;
constexpr unsigned kAttrArchive = 0x20;
constexpr unsigned kMaskDirs = 0x17;   // find directories
constexpr unsigned kMaskFiles = 0x27;  // find files
constexpr unsigned kMaskAny = 0x37;    // find both (rename)

namespace fatdir {
struct State;
struct Mirror;
}  // namespace fatdir

// One 512-byte sector seen as a master or a partition boot sector.
struct BOOTSECT {
  uint8_t bytes[512];
};

// One cache buffer. A free buffer sits on its partition's LRU list (front =
// next victim, rear = most recently released); a buffer holding a sector is
// also in hash chain block & 63.
struct _CACHE {
  uint8_t* data;     // the buffer's 512 bytes, in its partition's cacheData
  _CACHE* next;      // towards the most recently released end
  _CACHE* prev;      // towards the least recently used end
  _CACHE* hashNext;  // next buffer in the same hash chain
  uint32_t block;    // sector held, kEmptyBlock = none
  int dirty;         // write to the device when released
};

// One partition record.
struct _PART_INFO {
  uint8_t bootCopy[64];       // boot sector bytes 0..61 (drive number, reserved byte and
                              // extended signature left 0) and the signature at 62
  uint32_t startSector;       // absolute first sector (partition table)
  uint32_t sectorCount;       // sectors (partition table)
  uint8_t type;               // 1 FAT12, 6 FAT16, 0xFF reserved partition
  uint32_t dataClusters;      // usable data clusters: valid clusters are 2 .. dataClusters + 1
  uint32_t currentDir;        // first cluster of the current directory, 0 = root
  uint32_t fatWidth;          // 12 or 16; 0 when not loaded
  uint32_t firstDataSector;   // absolute sector of cluster 2
  uint32_t formatted;         // formatted flag
  uint32_t usable;            // 1 when writes may go to it: it lies on the disk past the
                              // master boot sector and shares no sector with another slot
  uint8_t fat[kFatImageBytes];  // the first FAT, as on the device
  // FAT sectors changed since the last commit, one bit each; a commit writes
  // only these to every copy, unless fatWhole asks for whole copies (after
  // a load, so that copies that differed become equal, and after a commit
  // that failed, which may have left the copies anything).
  uint8_t fatDirty[(kMaxFatSectors + 7) / 8];
  uint32_t fatWhole;
  // Bytes at the start of fat that may be non-zero; the rest is all zero.
  // Clearing the image touches only these: the engine comes from zeroed
  // memory, and reading or writing its untouched pages costs page faults.
  uint32_t fatExtent;
  // Which image fat holds: a new number each time it is cleared for a load
  // (so a change kept in memory knows whether it is still there).
  uint64_t fatImage;
  _CACHE cache[kCacheBuffers];
  _CACHE* lruFront;
  _CACHE* lruRear;
  _CACHE* hash[kCacheHashHeads];
  uint8_t* currentEntry;      // into dirSector: the entry the last directory operation stopped at
  uint8_t dirSector[512];     // one sector of the current directory
  char currentPath[kPathChars + 1];  // "\" for the root, "\NAME\SUB" below it

  // Boot sector values used on every access, decoded from bootCopy on load.
  uint32_t sectorsPerCluster;
  uint32_t reservedSectors;
  uint32_t fatCount;
  uint32_t rootEntries;
  uint32_t sectorsPerFat;
  // The cache buffers' sectors, apart from the buffers' links so that
  // setting up the caches touches a page per partition, not six.
  uint8_t cacheData[kCacheBuffers][512];
};

// One disk block.
struct _DISK_INFO {
  BOOTSECT sector;            // master boot sector, then each boot sector as read or built
  _PART_INFO parts[kFatParts];
  int partSizes[kFatParts];   // KB per slot: -1 = the rest of the disk, 0 = none
  uint32_t partCount;         // partitions counted in the table
  uint32_t partitioned;       // 1 once a valid table was read or written
  uint16_t cylinders;
  uint8_t heads;
  uint8_t sectorsPerTrack;
  uint32_t totalSectors;
  uint32_t unpartitionedSectors;
  // 1 from Init until a command first needs the disk: its partition table,
  // boot sectors and FATs are read then (DiskTables), not at start-up.
  uint32_t tablesPending;
};

// The state of one directory listing; the caller owns it.
struct _FILE_FIND {
  uint32_t attributes;
  uint16_t time;
  uint16_t date;
  uint32_t size;
  char name[14];        // "README", "A.TXT", ".", ".."
  uint32_t directory;   // first cluster of the listed directory, 0 = root
  uint32_t nextIndex;   // next entry to look at
  char pattern[32];
};

// A file's data moved piece by piece, in order, rather than out of or into
// one buffer holding it all: a PC file then goes to the device, and comes
// back, through the engine's transfer buffer, as a copy tool moves a file,
// instead of through fresh memory the size of the file (which costs more
// to fault in than the copy itself).
class TERVLINK_API FileDataStream {
 public:
  virtual ~FileDataStream() = default;
  // Fills into with the next n bytes of the data (writes to the device);
  // false when they cannot be had.
  virtual bool Fill(char* into, uint32_t n) = 0;
  // Takes the next n bytes of the data (reads from the device); false when
  // they cannot be kept.
  virtual bool Take(const char* from, uint32_t n) = 0;
};

// An open file as a file system front end holds it: where its entry lies,
// so that reads, writes and truncation reach the file without searching its
// directory again, and the entry's fields as the device holds them. It stays
// valid while the entry stays where it is; every update checks that the
// entry there still carries the handle's name (else -1, last error -3).
struct FatHandle {
  int disk = 0;
  int part = 0;
  uint32_t dir = 0;           // first cluster of the directory holding the entry, 0 = root
  uint32_t entrySector = 0;   // absolute sector of the entry
  uint32_t entryOffset = 0;   // its byte offset in that sector
  char name11[11] = {};       // the entry's name
  uint8_t attr = 0;
  uint16_t time = 0;
  uint16_t date = 0;
  uint32_t first = 0;         // first cluster, 0 for an empty file
  uint32_t size = 0;
  // Where the last access left the chain walk (cluster ordinal and number),
  // so that sequential access does not walk the chain from its start.
  uint32_t walkOrdinal = 0;
  uint32_t walkCluster = 0;
  // Deferred commits, for a front end that commits on close, fsync or a
  // timer (FAT_DEVICE::CommitHandle): with deferred set, WriteAt puts the
  // data on the device at once but keeps the chain's growth (pendingFat,
  // in the FAT image numbered pendingImage) and the entry's new fields
  // (pendingEntry) in memory; stored* are the entry's fields as the device
  // holds them.
  bool deferred = false;
  bool pendingFat = false;
  bool pendingEntry = false;
  uint64_t pendingImage = 0;
  uint32_t storedFirst = 0;
  uint32_t storedSize = 0;
  uint16_t storedTime = 0;
  uint16_t storedDate = 0;
  // A new file whose entry is not on the device yet (a deferred handle
  // made by the front end, not by OpenEntry): its first commit adds the
  // entry name11 to directory dir, the FAT first, so that a file created
  // and written costs one entry write, not two. entrySector and
  // entryOffset are set then.
  bool unborn = false;
};

class TERVLINK_API FAT_DEVICE {
 public:
  // Stores io (not owned); clears the initialised and verify flags. Init
  // must run before any other operation.
  explicit FAT_DEVICE(FAT_DEVICE_IO* io);
  ~FAT_DEVICE();
  // The engine holds two sets of disk blocks (some 9 MB). Made with new it
  // comes from zeroed memory, so a page is touched only when it is used.
  static void* operator new(size_t bytes);
  static void operator delete(void* p) noexcept;

  // ---- volume state (volume.cc) -------------------------------------------

  // Reads the partition tables, boot sectors and FATs of disks 0 ..
  // diskCount - 1. 1 on success; -1 (last error -2) when the device cannot
  // be switched to a disk. Unreadable or invalid disks are left without
  // partitions and do not make Init fail.
  int Init();
  // The initialised flag: 1 once Init has completed, else 0.
  int IsFatInit();
  // Loads every disk's partition sizes from the configuration file, or the
  // defaults 93000, 256, -1, 0 KB when the file is missing or invalid.
  void init_part_params();
  // Makes partition part (0..3) of disk (0..3) current; no device traffic.
  // The caller has switched the device to disk already.
  void file_system_switch_to(int disk, int part);
  // FAT width (12, 16, or 0 when the partition is not a loaded FAT volume).
  int GetPartitionMode(int disk, int part);
  // The partition's formatted flag.
  int IsPartFormattted(int disk, int part);
  // Copy all four disk blocks aside and back (image building).
  void SaveDiskInfo();
  void RestoreDiskInfo();
  // Retired operations: no effect, 0.
  int Partition(int) { return 0; }
  int LogicalFormat() { return 0; }
  void Set_PBSectData() {}
  void Set_MBSectData() {}
  int LoadMBS() { return 0; }
  int LoadPBS() { return 0; }
  int CheckPBS() { return 0; }
  int GetMainPartSize() { return 0; }

  // ---- sector cache and direct transfers (cache.cc) -----------------------

  // Empties and relinks the caches of all 16 partitions.
  void buf_pool();
  // A buffer holding sector block, taken off the LRU list; with noread the
  // sector is not read when newly assigned. Null on a read failure (last
  // error -1) or when every buffer is handed out.
  _CACHE* get_block(unsigned block, int noread);
  // Releases buf to the LRU rear and writes it when dirty. 0 for null or
  // clean, else the write result (512, or -1 with last error -1).
  int put_block(_CACHE* buf);
  // Unlinks buf from the LRU list.
  void rm_lru(_CACHE* buf);
  // One sector between the device and buf: 512, or -1 with last error -1.
  int rw_block(_CACHE* buf, int read);
  // The pending transfer through Read/Write/Direct_Read/Direct_Write.
  // 0 (also for a count of 0, without a device call), or -1 with last
  // error -1. Writes drop every cached copy of the sectors they cover.
  int ReadData();
  int WriteData();
  int DirectReadData();
  int DirectWriteData();
  // Read-ahead of file data, for a command that only reads the device
  // (SYNC /DZEL2PC): between BeginReadAhead and EndReadAhead, a small read
  // of a file's data reads a longer run of the partition's data area in
  // the same request, and later file reads inside that run are served from
  // memory; the run after it (1 MB after a big file's run) is sent for
  // while the caller serves this one. Any write the engine makes, any failure, a lost device, a
  // reload of the disk and ForgetDirectories (the shell's, before every
  // command) drop what was read; ForgetDirectories also ends it.
  void BeginReadAhead();
  void EndReadAhead();
  // Whether reads are read ahead now (a failed read turns it off).
  bool ReadingAhead() const { return readAhead_; }

  // ---- partition table, boot sectors, configuration (partition.cc) --------

  // Reads sector 0 into buf and fills the disk's partition records. 0, or
  // -1 (read error, last error -1; invalid table, last error -2).
  int DiskLoadMBS(BOOTSECT* buf, int disk);
  // Reads every FAT partition's boot sector into buf and completes the
  // records; an invalid boot sector marks that partition unformatted (last
  // error -2). 0, or -1 on a read error.
  int DiskLoadPBS(BOOTSECT* buf, int disk);
  int DiskCheckPBS(BOOTSECT*, int) { return 0; }
  // Reads the first FAT of every formatted FAT partition of the disk. 0 or -1.
  int DiskLoadFatTable(int disk);
  // Reads "Tervan.cfg" (configFile) into the configuration table, one line
  // per disk (blank lines skipped). 0, or -1 when the file is missing, short
  // or holds a size that is refused; a refused file's line and fault are
  // then in configProblem.
  int ReadConfigFile();
  // The disk's partition sizes as sector counts on cylinder boundaries. 0,
  // or -1 with a printed message when they do not fit.
  int DiskCalcSects(int disk, unsigned long* main, unsigned long* reserved,
                    unsigned long* third, unsigned long* fourth);
  // Writes a new partition table for the disk (device already switched to
  // it); the partitions are then unformatted. 0 or -1.
  int DiskPartition(int disk);
  // Prints the partition report of every disk.
  void Display_part_table();

  // ---- file allocation table (fat.cc) --------------------------------------

  // Reads the first FAT of the current partition into its image. 0 or -1.
  int LoadFatTable();
  // Brings every FAT copy in line with the image: the sectors changed since
  // the last commit, or the whole copies after a load or a failed commit.
  // 0, or -1 at the first failure.
  int SaveFatTable();
  // The table value of cluster (end of chain for a cluster outside the image).
  unsigned NextFatEntry(unsigned cluster);
  // Stores value (12 bits in FAT12) for cluster; ignored outside the image.
  void SetFatEntry(unsigned cluster, unsigned value);
  void MarkEndCluster(unsigned cluster);
  // -1 when value continues a chain, 0 when it ends one.
  int CheckEndCluster(unsigned value);
  // 0 when value continues a chain; -1 with last error -3 when it ends one.
  int CheckFatEnd(unsigned value);
  // 0 and the lowest free cluster, or -1 when none is free.
  int SearchBlankCluster(unsigned* cluster);
  // Allocates a chain for size bytes (one cluster at least) in the image. 0
  // and its first cluster; -1 (table reloaded) when the disk is full.
  int MakeFatChain(unsigned long size, unsigned* first);
  // Free bytes of the current partition.
  void SearchFreeByte(unsigned long* bytes);
  // Frees the chain starting at first in the image (not saved). 0, or -1
  // (last error -3) when the chain is damaged; what was freed stays freed.
  int FreeFatChain(unsigned first);
  // True for a cluster number inside 2 .. data clusters + 1.
  bool IsValidCluster(unsigned cluster);

  // ---- directories (dir.cc) ------------------------------------------------

  int LoadDirEntry(unsigned index);
  int UpdateEntry();
  int SearchFile(unsigned mask, char* name11);
  int AddDirEntry(unsigned attr, char* name11, unsigned long size, unsigned cluster);
  int CopyDirEntry(char* name11, unsigned cluster);
  int MakeNextDirEntry();
  int InitDirData(unsigned cluster);
  void ClearDirBuf();
  void SetNowTime();
  // The time now as an entry's time and date words.
  static void NowWords(uint16_t* time, uint16_t* date);
  int MakeDirectory(char* name11);
  int RemoveDirectoryA(char* name11);
  int CheckEmptyDirectory(char* name11);
  int Rename(char* oldName, char* newName);
  int ChangeAttribute(unsigned attr, char* name11);
  int SetFileTime(char* name, unsigned short time, unsigned short date);
  int ChangeDirectory(char* name11);
  int ChangeRootDirectory();
  void ChangeCurrentDir(char* name11);
  char* GetCurrentDirectoryA(char* dst, int size);

  // ---- held directories and file groups (dir_index.cc) ---------------------

  // The engine holds each directory it works in whole in memory, read once,
  // and keeps it right across its own changes. This forgets them all (after
  // committing an open file group), so that the next use reads each again:
  // the shell calls it before every command, since a command may change the
  // disk by other means (raw NAND requests, another program after a
  // reconnect). It also ends a read-ahead (BeginReadAhead).
  void ForgetDirectories();
  // Group commits. Between BeginFileGroup and EndFileGroup, the files that
  // WriteFile and its kin store on the current partition are committed a
  // group of files at a time: their data, kept in memory until then (up to
  // 1 MB of it; what is held is written ahead when a file would take it
  // past that, and a larger file as it is read), in one request per run of
  // contiguous clusters (the files' last clusters filled with zeros past
  // their ends), then the FAT once for the group, then the group's
  // directory sectors. A kill thus loses at most the files of the open
  // group and leaves lost clusters at most. A group is committed when it
  // holds 64 files or 4 MB (whole clusters), a quarter second after its
  // first file, before any other change (a new directory, a removal,
  // another partition) or read of a file, and by EndFileGroup. Without a
  // group every file is committed on its own.
  void BeginFileGroup();
  // Commits the open group and ends group mode: 0, or -1 (last error) when
  // the commit failed; TakeLostFiles then names the files it lost.
  int EndFileGroup();
  // Entry texts ("NAME.EXT") of the files that a failed commit or a device
  // failure took out of the open group since the last call: reported stored
  // by their WriteFile, they are not on the device (a file they replaced
  // keeps its old data).
  std::vector<std::string> TakeLostFiles();

  // ---- moving entries (move.cc) -------------------------------------------

  // Paths name entries of the current partition: components separated by
  // "\" (or "/"), from the root when the path starts with one, else from
  // the current directory; "." and ".." components step as CD does.
  //
  // Moves the file or directory at from to the path to (a new name, in the
  // same or another directory) by moving its entry: the entry keeps its
  // attributes, times, size and chain, no data is copied, and a directory's
  // ".." entry is made to name its new parent. The order keeps the disk
  // whole at every step: the moved directory's "..", the FAT (when the
  // target directory grows), the new entry, then the old entry removed; a
  // failure part way leaves at worst one chain named twice, never a name
  // without its data. Moving an entry onto itself does nothing. 0, or -1
  // with last error: -3 from, or a folder of either path, not found (or a
  // damaged tree); -7 an invalid name, the root, "." or ".."; -8 the target
  // name exists (unless kMoveReplace and both are files: the target file
  // is then replaced, its entry taking the moved one and its chain freed
  // afterwards); -11 a directory would move below itself or away from
  // under the current directory; -4 the target directory cannot grow; -1
  // a device failure. The current directory is as before the call.
  static constexpr unsigned kMoveReplace = 1;
  int MoveEntry(const char* from, const char* to, unsigned flags = 0);
  // The attribute byte of the entry at path (kAttrDirectory for the root),
  // or -1 (last error -3 not found, -7 invalid name, -1 device).
  int PathAttributes(const char* path);

  // ---- volume label (label.cc) ---------------------------------------------

  // The current partition's label: the root directory's label entry, or
  // the boot sector's label field when there is no entry, without its
  // trailing blanks, in label12 (12 bytes). 0, 1 when there is none
  // (label12 empty), or -1.
  int GetVolumeLabel(char* label12);
  // Sets the label (NormalizeLabel's rules) in the root directory's label
  // entry (made when missing) and in the boot sector's label field (whose
  // extended signature then says it is valid); a null label removes the
  // entry and leaves "NO NAME" in the field. 0, or -1 (last error -7 an
  // invalid label, -4 the root directory is full, -1 device).
  int SetVolumeLabel(const char* label);
  // label into its 11-byte blank-padded form: 1 to 11 bytes, GBK allowed,
  // ASCII letters upper-cased, no control byte, no leading blank and none
  // of " * + , . / : ; < = > ? [ \ ] |. 0, or -1 with last error -7.
  int NormalizeLabel(const char* label, char* out11);

  // ---- file data (file.cc) -------------------------------------------------

  // Stores size bytes as the file name in the current directory, replacing
  // a file of that name when the new data fits. size, 0 for an empty file,
  // or -1 (last error -7, -4, -1 ...). A failure leaves the partition
  // consistent: no entry names unsaved clusters and no cluster is lost.
  // A file replaced while the free space holds both keeps its data until
  // the new data and chain are on the device; otherwise it is removed first.
  int WriteFile(char* name, char* data, int size, FILE* file);
  // WriteFile whose entry carries the given time and date words instead of
  // the time now: the disk then holds what WriteFile and SetFileTime give,
  // with the directory sector written once. Results as WriteFile.
  int WriteFileDated(char* name, char* data, int size, unsigned short time, unsigned short date);
  // WriteFile with the size bytes taken from source as they are written
  // (last error -10, and nothing stored, when source fails); with when
  // (time and date words) the entry carries them, as WriteFileDated.
  int WriteFileFrom(char* name, FileDataStream& source, int size);
  int WriteFileFromDated(char* name, FileDataStream& source, int size, unsigned short time,
                         unsigned short date);
  // Reads up to size bytes of the file from its start: the count read, or -1.
  int ReadFile(char* name, char* data, int size, FILE* file);
  // ReadFile with the bytes handed to sink as they are read; -1 with last
  // error -10 when sink fails.
  int ReadFileTo(char* name, FileDataStream& sink, int size);
  // The file's size field, or -1 (invalid name, not found).
  int FileSize(char* name);
  // The same for a file just listed by FindFirstFileA/FindNextFileA in the
  // current directory, without searching for it again.
  int FileSize(const _FILE_FIND* found);
  // Deletes the file entry name11 and frees its chain. 0 or -1.
  int RemoveFile(char* name11);

  // ---- open files at an offset (handle.cc) ----------------------------------
  // For a file system front end: a file or directory entry held open, read
  // and written at any offset, truncated up and down. Each operation
  // switches to the handle's partition itself and keeps the engine's
  // order: data, then the FAT, then the entry; a failed step is rolled
  // back so that the device holds the file as before (lost clusters at most
  // after a device failure in the last step).

  // Fills h with the entry name11 (mask as SearchFile) of the current
  // directory. 0, or -1 (last error -3 when there is none).
  int OpenEntry(char* name11, unsigned mask, FatHandle* h);
  // Reads up to n bytes at offset into data: the count read (0 at or past
  // the end), or -1 (-1 device, -3 a chain shorter than the size).
  int ReadAt(FatHandle* h, uint64_t offset, char* data, uint32_t n);
  // Writes n bytes of data (zeros when data is null) at offset, growing the
  // file as needed; bytes between the old end and offset read as zeros.
  // n, or -1 (-4 not enough free space or past 4 GB, -1 device, -3 chain
  // or entry damaged or gone); the file is then as before.
  int WriteAt(FatHandle* h, uint64_t offset, const char* data, uint32_t n);
  // Sets the file's size: cut back (entry first, then the FAT) or grown
  // with zeros. 0, or -1 as WriteAt.
  int TruncateAt(FatHandle* h, uint64_t size);
  // Writes h's attribute, time and date into its entry. 0 or -1.
  int UpdateHandleEntry(FatHandle* h);
  // A deferred handle's changes onto the device: the FAT, then the entry
  // (added to its directory for an unborn handle; last error -8 when the
  // name is taken meanwhile, -4 when a full directory cannot grow).
  // 0 (also when nothing waits), or -1: the changes are then given back
  // (the clusters they took freed in memory, the handle as the device
  // holds the file) and the bytes written since the last commit are lost.
  int CommitHandle(FatHandle* h);
  // Makes the folder whose first cluster is cluster (0 = root) the current
  // directory without the path text (a front end that names every entry by
  // its own path); the next directory access checks the cluster.
  void SetCurrentDir(uint32_t cluster);

  // ---- logical format (format.cc) ------------------------------------------

  // Formats slot part (0, 2, 3) of disk, or every slot with part 4; slot 1
  // is never formatted. 0 or -1. The device is switched to disk already.
  int DiskLogicalFormat(int disk, int part);
  int DiskDoLogicalFormat(int disk, int part);

  // ---- names and listings (names.cc) ---------------------------------------

  // name into its 11-character entry form in out (11 bytes written). 0, or
  // -1 with last error -7.
  int NormalizeFileName(char* name, char* out);
  // -1 when one of the 11 characters (up to a zero) is forbidden, else 0.
  int StringCheckFileName(char* name11);
  // 1 with the first / next match in find, 0 when there is none.
  int FindFirstFileA(char* pattern, _FILE_FIND* find);
  int FindNextFileA(_FILE_FIND* find);
  // True when text matches one of the comma-separated alternatives.
  static bool MatchPattern(const char* pattern, const char* text);

  // ---- check and repair (check.cc) ------------------------------------------

  // CHKDSK: checks partition part of disk (the device is switched to disk
  // already) and prints one line per fault, with the path it concerns, and
  // a report of the space in files, folders, bad and lost clusters. It
  // checks the boot sector against the partition, that the FAT copies
  // agree, every chain (in range, ended, no loop, no cluster shared), every
  // file's size against its chain, every folder's "." and "..", names,
  // start clusters, folders reached twice, lost clusters. With repair the
  // faults are mended, keeping every byte that can be kept: lost chains
  // become files \FOUND.nnn\FILEnnnn.CHK, shared clusters are copied so
  // that each file has its own, damaged chains are cut, sizes set to what
  // the chains hold, bad names renamed FSCKnnnn.nnn, entries that cannot
  // be mended removed, and the FAT copies written equal; new data first,
  // then the FAT, then the entries. 1 when the partition is sound (after a
  // repair: checked again and found sound); -1 when faults were found
  // without repair, remain after it, or a device request failed (last
  // error -3, -2 for a partition without a FAT file system, -1).
  int CheckDisk(int disk, int part, bool repair);

  // ---- image building, packed images, ISO burn and update (image_ops.cc) ---

  // Selects the device object's image kind (0 system image, 1 simulator
  // NAND file). Returns 0.
  int SetImageMode(int kind);
  // Hands the simulated flash geometry to the device object. Returns 0.
  int SetSimuFlashParameter(int slc, unsigned blocksPerZone, unsigned logicalBlocksPerZone,
                            unsigned sectorsPerBlock, unsigned sectorsPerPage);
  // Starts building an image of sizeMb into path and saves the four disk
  // blocks. 0, or -1 when the device object cannot start the image.
  int SwitchToBuildingImageMode(int sizeMb, char* path);
  // Closes the image (its header records the disk blocks as the build left
  // them), then restores the disk blocks saved on entry. The close result:
  // 0, or -1. Without a build in progress the disk blocks stay as they are.
  int QuitBuildingImageMode(char* path);
  // Packs the system image path into path with "PAK" for its last three
  // characters, or unpacks a packed image into "UNP". 0 or -1.
  int BuildPakImage(char* path);
  int UnPakImage(char* path);
  // Burns a system image or a packed image into the NAND of the current
  // disk, run by run, each written, read back and compared (ten tries).
  // 0, or -1 after the failure's messages and a key press. Once anything
  // was written the disk's file systems are read again, so that later
  // commands see what was burnt (and never write stale FATs over it).
  int TransferImageFile(char* path);
  // Refreshes partition E of disk 0 in the system image path from the
  // device's NAND and rebuilds its checksum file. 0, or -1 (last error -1
  // for memory, block table or image failures, -2 when the NAND
  // information cannot be read).
  int UpdateIsoFromNand(char* path);

  // ---- block table dumps (block_table.cc) ---------------------------------

  // Prints every disk's geometry and partitions and writes each partition's
  // block table to "<prefix>_Disk<d>_<c..f>.txt". 0, or -1: last error -1
  // (memory, a failed block table request), -2 (a failed disk switch or
  // NAND information request, which ends the walk). The device is left on
  // disk 0 (on the disk reached after an early end), and the engine with it.
  int GetBlockTable(char* prefix);
  // Prints the logical-to-physical table of zones 0 and 1.
  void ShowLog2PhyTbl();
  // Reads the 4096-byte table of zones 0 and 1 into buffer. 0, or -1 when
  // the device refused it.
  int DiskLoadLog2PhyTbl(char* buffer);

  // ---- fields ----------------------------------------------------------------
  FAT_DEVICE_IO* pDevice;  // the device interface, not owned
  int diskCount = 0;       // disks in use (set by the program, at most 2)
  int curPartIndex = 0;    // current partition 0..3 (C..F)
  int verify = 0;          // read-back verify flag (set by the program): every write
                           // is read back and compared; a difference fails it (last
                           // error -12) after "写地址(扇区号 = N)回读校验失败"
  int quiet = 0;           // set: file reads and writes print no progress
  _DISK_INFO disks[kFatDisks];
  int lastError = 0;
  char fileName[12];       // entry form of the last normalised file name
  _CACHE** lruFront = nullptr;  // the current partition's LRU ends and hash heads
  _CACHE** lruRear = nullptr;
  _CACHE** hashTable = nullptr;
  _PART_INFO* curPart = nullptr;
  int fatInit = 0;
  int configTable[kFatDisks][kFatParts];
  _DISK_INFO savedDisks[kFatDisks];
  // The pending direct transfer.
  uint32_t pendCount = 0;
  char* pendBuffer = nullptr;
  uint32_t pendStart = 0;
  // Where the configuration file is read from.
  char configFile[256] = "Tervan.cfg";
  // Why the configuration file that exists was refused (GBK, "line N: ..."),
  // empty when it was read or is missing. PART do will not partition with
  // sizes it did not read while this is set.
  char configProblem[200] = "";

 private:
  friend class FatChecker;  // CHKDSK (check.cc)
  // A zeroed block table for one partition; null (after its message and
  // last error -1) when there is no memory for it.
  std::unique_ptr<int[]> NewBlockTable();
  int MatchDirEntry(_FILE_FIND* find);
  // True for a name11 that a new or renamed entry may carry: one that lists
  // as a text which names it again (no blank inside a part, no dot, no
  // control byte), not "." or "..", and no first byte that would end the
  // directory or mark the entry deleted.
  bool CreatableName(const char* name11);
  void InitPartCache(_PART_INFO* p);
  void DropCached(uint32_t first, uint32_t count);
  int Transfer(int kind);
  // A read of a file's data (the pending transfer): through the read-ahead
  // while it is on, else ReadData. 0 or -1 as ReadData. With inPlace, a
  // read served from the run read ahead points pendBuffer into that run
  // instead of copying it there: the caller takes the bytes from pendBuffer
  // before the engine's next read.
  int ReadFileData(bool inPlace = false);
  // Forgets the run read ahead and the one sent for (whose answer the
  // link still takes before its next request).
  void DropReadAhead() { aheadCount_ = postedCount_ = 0; }
  // Sends the read of the run after the one just read (the link answers it
  // while the caller serves this one).
  void PostNextRun(uint64_t dataEnd, uint32_t losses);
  // count sectors just written from data at first, read back and compared
  // (verify on): 0, or -1 (last error -12 and the sector named on a
  // difference, -1 when the read fails).
  int VerifyWritten(uint32_t first, uint32_t count, const char* data);
  bool DecodePartition(_PART_INFO* p, const uint8_t* sector, int disk);
  int FindFreeSlot();
  // Puts the directory sector buffer into the held current directory as
  // the sector pendStart, to be written when the open group is committed.
  // 0, or -1 when the directory is not held.
  int StageEntry();
  // Entry index of a directory scanned in order (a search, a listing): its
  // sector is loaded when the scan starts (first) or enters it, and stepped
  // through in the buffer otherwise, as nothing changes the directory
  // between the steps of one scan. As LoadDirEntry.
  int ScanDirEntry(unsigned index, bool first);
  int WalkDirCluster(unsigned ordinal, unsigned* cluster);
  int DirChain(unsigned* length, unsigned* last);
  void ResetDirWalk() {
    walkPart_ = nullptr;
    allocHint_ = 2;
  }
  bool Ready();
  // move.cc. Restores the current directory at the end of a walk.
  class DirKeeper;
  // Walks path's folders from the root or from the directory start: 0 with
  // the folder holding its last component and
  // that component's entry form (leaf11, 12 bytes), 1 when path names the
  // root itself (dir 0, leaf11 empty), -1 (last error -7, -3, -1). Leaves
  // the current directory changed: callers hold a DirKeeper.
  int ResolveParent(const char* path, uint32_t start, uint32_t* dir, char* leaf11);
  // 1 when directory dir is top or lies below it, 0 when not, -1 (last
  // error -3) when a ".." on the way up is missing, invalid or loops.
  int DirectoryBelow(uint32_t dir, uint32_t top);
  // Writes one 32-byte entry into a directory sector through the cache. 0 or -1.
  int WriteEntryAt(uint32_t sector, uint32_t offset, const uint8_t* entry);
  // label.cc: 1 with the current entry at the root's label entry, 0 when
  // there is none, -1 on a read failure. The current directory stays.
  int FindLabelEntry();
  int DeleteEntry(unsigned mask, char* name11);
  int CommitFat();
  void KeepUndo();
  // Puts the image back as KeepUndo saved it, from memory (the device may
  // be gone); the sectors it changes are committed with the next commit.
  void RollBackFat();
  // Puts image (the FAT of partition p as it was) back into p's FAT image,
  // marking the sectors it changes for the next commit.
  void RestoreFat(_PART_INFO* p, const uint8_t* image);
  void MarkFatDirty(size_t byte);
  // The entry check of an operation: a disk marked stale is read again
  // first (false, last error -1, when that fails), then the current
  // partition must be a loaded FAT volume (false, last error -2).
  bool Loaded();
  bool Fresh();
  // Writes go through these checks: the partition under work must be
  // usable, and every sector inside it (or inside the window that a format
  // or a new partition table opens). WritableHere prints why not.
  bool WritableHere();
  bool WriteAllowed(uint32_t first, uint32_t count);
  void CheckPartitionRanges(int disk);
  // After a device failure: nothing cached of the disk is trusted any more.
  void MarkStale();
  int RereadDisk(int disk, bool lost);
  // True when the device is the one last read (it has not gone away since).
  // Otherwise every disk is marked to be read again, as a device that may
  // have been changed, and false.
  bool DeviceKept();
  // True when cluster of the current partition still holds a directory:
  // in use, and its first entry is "." leading to itself.
  bool StillADirectory(unsigned cluster);
  // An entry's time and date words, when they are not the time now.
  struct EntryTime {
    uint16_t time;
    uint16_t date;
  };
  void FillEntry(unsigned attr, const char* name11, unsigned long size, unsigned cluster,
                 const EntryTime* when = nullptr);
  int CommitNewEntry(unsigned attr, const char* name11, unsigned long size, unsigned cluster,
                     const EntryTime* when = nullptr);
  // data, or the stream when data is null.
  int StoreFile(char* name, char* data, FileDataStream* stream, int size, const EntryTime* when);
  int LoadFile(char* name, char* data, FileDataStream* stream, int size);
  // Free clusters of the current partition, counted from the allocation
  // hint up to enough (the count is exact when it is below enough).
  uint32_t CountFreeClusters(uint32_t enough);
  // Writes the cluster's sectors in one transfer: the first sector from
  // curPart->dirSector, the others zero. 0 or -1.
  int WriteDirCluster(unsigned cluster);
  // Moves a file's bytes between data (or the stream, through stage_, when
  // data is null) and its chain. A write with hold puts the bytes there
  // instead, as they would lie in the chain's clusters, for the group's
  // commit to write.
  int DataLoop(unsigned first, char* data, FileDataStream* stream, uint32_t size, bool write,
               char* hold = nullptr);
  // Where the entry of a file being replaced is, and its old chain.
  struct OldEntry {
    uint32_t sector;  // the directory sector holding it
    uint32_t offset;  // its byte offset in that sector
    unsigned first;   // its first cluster
    uint32_t slot;    // its entry index
  };
  int ReplaceEntry(const OldEntry& old, uint32_t size, unsigned first, const EntryTime* when);
  // The grouped ending of StoreFile: the entry (a new one, or old's
  // switched to the new chain) staged in the held directory and the file
  // added to the group (with held, its data is the group's next, from
  // GroupHold), which is committed when that takes it to a bound. 0, or -1
  // with the file's chain given back.
  int StageFile(const OldEntry* old, const char* name11, uint32_t size, unsigned first,
                const EntryTime* when, bool held);
  uint32_t ClusterSector(unsigned cluster) const;
  // bytes rounded up to whole clusters of the current partition.
  uint64_t WholeClusters(uint64_t bytes) const;
  int LoadDiskFats(int disk);
  // Reads the disk's partition table, boot sectors and FATs into its block
  // (a disk without a valid table is left unpartitioned). 0, or -1 when a
  // read failed.
  int ReadDiskTables(int disk);
  // Reads the tables of a disk that Init left pending, the first time
  // something needs them; the device and the engine keep the disk and
  // partition they had selected. 0 when the tables are known, -1 when the
  // read failed (the disk is then stale, read again by the next command).
  int DiskTables(int disk);
  // Reads a disk's partition table, boot sectors and FATs afresh, as Init
  // does, after something other than the engine rewrote the disk. 0, or -1
  // when a read failed.
  int ReloadDisk(int disk);

  // handle.cc: the handle's partition made current and ready (false as Ready).
  bool HandleReady(FatHandle* h);
  // Gives back a deferred handle's uncommitted changes (see CommitHandle).
  void DropHandleChanges(FatHandle* h);
  // An unborn handle's first commit: its chain and its new entry. 0 or -1
  // (the changes given back).
  int AddHandleEntry(FatHandle* h);
  // The cluster of ordinal k (0-based) of h's chain, walked from h's walk
  // position or its start, bounded by k. 0, or -1 (last error -3).
  int HandleCluster(FatHandle* h, uint32_t k, unsigned* cluster);
  // Moves n bytes between data and h's chain at offset, all inside clusters
  // the chain has; write with null data writes zeros. sectorsValid: bytes
  // validBytes: the bytes of the file that hold data on the device (a
  // partial sector wholly past them is not read back before it is
  // written, its other bytes become zeros). 0 or -1.
  int MoveAt(FatHandle* h, uint64_t offset, char* data, uint32_t n, bool write,
             uint64_t validBytes);

  int curDisk_ = 0;
  // ---- held directories and the open file group (dir_index.cc) ----
  std::unique_ptr<fatdir::State> dirs_;
  // Changes made to any FAT image: a held directory checks its chain again
  // when this has moved since it last did.
  uint64_t fatStamp_ = 0;
  // The entry index that LoadDirEntry last loaded.
  uint32_t curSlot_ = 0;
  // The current directory's mirror: 1 with *out, 0 when it is not held (a
  // chain longer than a directory may be), -1 when reading it failed (last
  // error -1, or -3 for a first cluster outside the partition).
  int CurrentMirror(fatdir::Mirror** out);
  // A new mirror of the current directory, as CurrentMirror gives it: read
  // from the device, or, with known, made of those bytes (the one cluster
  // of a directory just written; 0 for a directory of more).
  int NewMirror(const uint8_t* known, fatdir::Mirror** out);
  int ReadMirror(fatdir::Mirror* m);
  // Holds the mirror of the directory just made at cluster from bytes, its
  // cluster as written, so that the command that made it (SYNC walks into
  // it next) does not read it back.
  void SeedMirror(unsigned cluster, const uint8_t* bytes);
  void IndexMirror(fatdir::Mirror* m);
  void IndexEntry(fatdir::Mirror* m, uint32_t slot, bool add);
  // The mirror of the current partition holding sector, with the sector's
  // index in it; null when none does.
  fatdir::Mirror* MirrorOfSector(uint32_t sector, uint32_t* index);
  // Puts 512 bytes into sector index of m, its entries re-indexed; staged
  // when the write is to wait for the group's commit.
  void PutMirrorSector(fatdir::Mirror* m, uint32_t index, const uint8_t* data, bool stage);
  // Drops the mirrors of disk (every disk for -1); an open group whose
  // entries they held is lost.
  void ForgetMirrors(int disk);
  void DropMirror(size_t i);
  // A direct write of [first, first + count) on the current disk: the
  // mirrors it overwrites are dropped.
  void MirrorsOverwritten(uint32_t first, uint32_t count);
  // Finds a slot with a plain (wildcard-free) pattern through the index:
  // 1 with the slot, 0 when none, -1 when the directory is not indexed.
  int FindIndexed(const char* pattern, uint32_t from, uint32_t* slot);
  // The distinct clusters of the chain from start, at most limit of them
  // (limit + 1 tells a longer chain); with clusters, their list.
  uint32_t ChainWalk(unsigned start, uint32_t limit, std::vector<uint32_t>* clusters,
                     unsigned* last);
  // The group: its commit (0 or -1, the lost files named), a commit before
  // anything else changes the partition (false when it failed), and its
  // loss after a device failure (the FAT image put back as last committed).
  int CommitGroup();
  bool SettleGroup();
  void LoseGroup();
  bool GroupOpen() const;
  // Commits the open group first when it is on another partition or a file
  // of size bytes would take it past its bounds. False when that failed.
  bool GroupRoomFor(uint64_t size);
  // Writes the staged sectors of every mirror of the group's partition in
  // runs of contiguous sectors; false at the first failure.
  bool WriteStaged();
  // Where the open group keeps the data of its next file, of size bytes in
  // bytes of whole clusters (zeroed past size): 0 with *at, null when the
  // file is too large to be held; -1 when writing what was held to make
  // room failed (the group is lost).
  int GroupHold(uint32_t size, uint64_t bytes, char** at);
  // Writes the group's held data, one request per run of contiguous
  // clusters; false at the first failure.
  bool WriteGroupData();
  // The transfer buffer of streamed file data (one run at most), and of the
  // multi-sector writes that a commit or a new folder assembles (a FAT
  // stretch, a directory cluster). Part of the engine's zeroed block.
  char stage_[2048 * 512];
  // Has the first bytes of stage_ made present (host::PopulateMemory)
  // before a file's data streams through them; a short file's few pages
  // are left to come as they are touched.
  void PopulateStage(uint64_t bytes);
  uint64_t stagePopulated_ = 0;
  // With verify on, the run after it, read from the stream while the
  // device writes the one in stage_ (made on first use; the two take
  // turns).
  std::unique_ptr<char[]> stageNext_;
  // Last cluster reached by a directory walk, so that sequential entry
  // loads do not walk the chain from its start every time.
  _PART_INFO* walkPart_ = nullptr;
  uint32_t walkDir_ = 0;
  uint32_t walkLength_ = 0;   // distinct clusters of that directory's chain
  uint32_t walkLast_ = 0;     // its last cluster
  uint32_t walkOrdinal_ = 0;
  uint32_t walkCluster_ = 0;
  uint32_t allocHint_ = 2;
  // Set while an image is being built: the disk blocks were saved on
  // entry and are to be put back when the build ends.
  bool buildingImage_ = false;
  // True from construction until the first Init: the disk blocks are still
  // as the constructor cleared them, so Init need not clear 4.5 MB again.
  bool disksCleared_ = false;
  // Zeroes a partition's FAT image (the part fatExtent says may be non-zero),
  // or the whole partition record.
  static void ClearFatImage(_PART_INFO* p);
  // Gives p's FAT image a new number (fatImage): what it held is gone.
  static void NewFatImage(_PART_INFO* p);
  static void ClearPartition(_PART_INFO* p);
  // Notes that fat[0, end) may now be non-zero.
  static void NoteFatBytes(_PART_INFO* p, size_t end);
  // A file's size field as FileSize gives it: -1 when larger than the
  // partition's data area could hold.
  int FileSize(uint32_t size);
  // The current partition's FAT as it was on the device before the
  // operation in progress, to put back when committing its changes fails.
  uint8_t fatUndo_[kFatImageBytes];
  std::unique_ptr<char[]> verifyBuffer_;
  // The read-ahead: on or off, its buffer (made on first use), the run it
  // holds (aheadCount_ 0: none) with the disk and device losses it was read
  // under, the length of the next run (grown while the reads go forward)
  // and where the last run ended.
  bool readAhead_ = false;
  std::unique_ptr<char[]> aheadBuffer_;
  uint32_t aheadStart_ = 0;
  uint32_t aheadCount_ = 0;
  int aheadDisk_ = 0;
  uint32_t aheadLosses_ = 0;
  uint32_t aheadWindow_ = 0;
  uint64_t aheadEnd_ = 0;
  // The next run, sent for ahead of its need (PostRead): its sectors
  // (postedCount_ 0: none wanted), disk and device losses, and the buffer
  // for the one after it (the link holds the one in flight).
  uint32_t postedStart_ = 0;
  uint32_t postedCount_ = 0;
  int postedDisk_ = 0;
  uint32_t postedLosses_ = 0;
  std::unique_ptr<char[]> aheadSpare_;
  // One bit per cluster number, to find where a looping chain closes.
  uint8_t seen_[65536 / 8];
  // Disks whose cached state may differ from the device (a request failed).
  bool stale_[kFatDisks] = {};
  // Disks to read again because the device went away: nothing the engine
  // held of them is kept over what the device holds.
  bool lost_[kFatDisks] = {};
  uint32_t losses_ = 0;  // the device's losses when it was last read
  // The write window of a format or a partition table write: [first, end);
  // end 0 = the current partition's range.
  uint32_t windowFirst_ = 0;
  uint64_t windowEnd_ = 0;
};
