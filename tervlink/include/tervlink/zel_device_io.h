// ZEL_DEVICE_IO: the one implementation of FAT_DEVICE_IO.
//
// Each operation is served by a device request (a command block, an optional
// data phase and a reply carried by the transport), by an image file while
// the image mode is on, or locally. The transport is chosen at construction
// by filling five function pointers; every request reaches the device only
// through them, so the same request code drives the driver link and the
// simulation link.
//
// The implementation is split by subject:
//   zel_device_io.cc      construction, copy, destruction, Test, Download
//   request.cc            the request procedure
//   storage_requests.cc   sector, capacity, disk, boot area, ECC and NAND requests
//   service_requests.cc   clock, alarms, settings, beep, local data, registry, media player
//   image_mode.cc         image files (system image, simulator NAND file, packed image, ISO update)
//   sim_transport.cc      the simulation transport over mailslots
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tervlink/export.h"
#include "tervlink/fat_device_io.h"

// A transport handle: a socket, a mailslot link or a test double's token.
using DeviceHandle = intptr_t;
constexpr DeviceHandle INVALID_HANDLE_VALUE = -1;
constexpr uint32_t GENERIC_READ = 0x80000000u;
constexpr uint32_t GENERIC_WRITE = 0x40000000u;
constexpr uint32_t OPEN_EXISTING = 3;

// The five transport calls, shaped after the Windows calls they replace:
// nonzero = success, INVALID_HANDLE_VALUE = failed open.
using PfnCreateFile = DeviceHandle (*)(const char* path, uint32_t access, uint32_t share,
                                       void* security, uint32_t disposition, uint32_t flags,
                                       void* templ);
using PfnDeviceIoControl = int (*)(DeviceHandle h, uint32_t code, const void* in,
                                   uint32_t inLength, void* out, uint32_t outCapacity,
                                   uint32_t* returned, void* overlapped);
using PfnCloseHandle = int (*)(DeviceHandle h);
using PfnReadFile = int (*)(DeviceHandle h, void* buffer, uint32_t length, uint32_t* got,
                            void* overlapped);
using PfnWriteFile = int (*)(DeviceHandle h, const void* buffer, uint32_t length,
                             uint32_t* put, void* overlapped);
// An optional sixth call: one whole request (block, data phase, reply
// fetch) on an open handle, for a link that carries the same calls in fewer
// system calls (host::DeviceExchange). Nonzero when every step succeeded.
using PfnExchange = int (*)(DeviceHandle h, const void* block, uint32_t blockLength, void* data,
                            uint32_t length, int hasData, int toDevice, void* reply,
                            uint32_t replyLength);

// _IMAGE_HEADER: the 164-byte header of system image and packed image files,
// kept as raw bytes (its fields are named by the image code).
constexpr size_t kImageHeaderBytes = 164;

class TERVLINK_API ZEL_DEVICE_IO : public FAT_DEVICE_IO {
 public:
  // devicePath: at most 254 characters (longer text is cut there).
  // simulation: nonzero selects the simulation transport, which opens and
  // starts the mailslot link here.
  ZEL_DEVICE_IO(const char* devicePath, int32_t simulation);
  ZEL_DEVICE_IO(const ZEL_DEVICE_IO&) = default;
  ZEL_DEVICE_IO& operator=(const ZEL_DEVICE_IO&) = default;
  // Closes the simulation link when there is one; nothing else.
  virtual ~ZEL_DEVICE_IO();

  // Device test (request 0x10 with n as its parameter): the device's state,
  // or -1. With n = 0: 1 = loader waits for its OS, 2 = dictionary (one
  // disk), 3 = programmer (two disks).
  int32_t Test(int32_t n);
  // Sends the PC file as the device's operating system (request 0x01):
  // the reply value, or -1 (also for an empty or unreadable file).
  int32_t Download(const char* fileName);

  int32_t DiskReadCapacity(partition* cap, int32_t disk) override;
  int32_t RegOpenKeyA(uint16_t key, const char* name, uint16_t* opened) override;
  int32_t RegCreateKeyA(uint16_t key, const char* name, uint16_t* created) override;
  int32_t RegDeleteKeyA(uint16_t key, const char* name) override;
  int32_t RegCloseKey(uint16_t key) override;
  int32_t RegSetValueExA(uint16_t key, const char* name, uint32_t reserved, uint32_t type,
                         const uint8_t* data, uint32_t size) override;
  int32_t RegDeleteValueA(uint16_t key, const char* name) override;
  int32_t RegEnumKeyA(uint16_t key, uint32_t index, char* name, uint32_t nameSize) override;
  int32_t RegEnumValueA(uint16_t key, uint32_t index, char* name, uint32_t* nameLength,
                        uint32_t* reserved, uint32_t* type, uint8_t* data,
                        uint32_t* dataSize) override;
  int32_t RegFlushKey(uint16_t key) override;
  int32_t MciSendCommand(uint32_t deviceId, uint32_t message, uintptr_t parameter) override;
  int32_t Beep(uint32_t frequency, uint32_t duration) override;
  int32_t SetDeviceCaps(_ZELDEVICECAPS* caps) override;
  int32_t GetDeviceCaps(_ZELDEVICECAPS* caps) override;
  int32_t SetTimeZoneInformation(const _ZEL_TIME_ZONE_INFORMATION* zone) override;
  int32_t GetTimeZoneInformation(_ZEL_TIME_ZONE_INFORMATION* zone) override;
  int32_t GetLocalTime(_EZEL_SYSTEMTIME* time) override;
  int32_t SetLocalTime(_EZEL_SYSTEMTIME* time) override;
  int32_t SetAlarm(_SYSTEMALARM* alarm) override;
  int32_t KillAlarm(uint8_t id) override;
  int32_t ResetAlarm() override;
  int32_t EnumAlarm(int32_t cursor, _SYSTEMALARM* alarm) override;
  int32_t ReadLocal(uint16_t first, uint16_t count, char* buffer) override;
  int32_t WriteLocal(uint16_t first, uint16_t count, char* buffer) override;
  int32_t Reserved24() override;
  int32_t Reserved25() override;
  int32_t Read(uint32_t sector, uint32_t count, char* buffer) override;
  int32_t Write(uint32_t sector, uint32_t count, char* buffer) override;
  int32_t ReadBIOS(uint32_t count, char* buffer) override;
  int32_t WriteBIOS(uint32_t count, char* buffer) override;
  int32_t LowFormat() override;
  int32_t Reboot() override;
  int32_t ReadCapacity(partition* cap) override;
  int32_t Switch(int32_t disk) override;
  int32_t ReadLog2PhyTbl(char* buffer) override;
  int32_t ReadFromImageFile(uint32_t sector, uint32_t count, char* buffer) override;
  int32_t WriteToImageFile(uint32_t sector, uint32_t count, char* buffer) override;
  int32_t CloseImageFile(void* diskBlocks, char* path) override;
  int32_t BuildImageFile(int32_t size, char* path) override;
  int32_t SetImageMode(int32_t kind) override;
  int32_t SetSimuFlashParameter(int32_t slc, uint32_t blocksPerZone,
                                uint32_t logicalBlocksPerZone, uint32_t sectorsPerBlock,
                                uint32_t sectorsPerPage) override;
  int32_t SetEccMethod(int32_t method) override;
  int32_t GetEccMethod(int32_t* method) override;
  int32_t SetEccRom(char* fileName) override;
  int32_t GetEccRom(char* fileName) override;
  int32_t ExecuteSetFactoryBadInfo() override;
  int32_t ExecuteGetFactoryBadInfo(void* record) override;
  int32_t ExecuteSaveFactoryBadInfo() override;
  int32_t NandInfo(_ZEL_NANDINFO* info) override;
  // The driver link's count (host::DeviceLosses) when its device was
  // claimed; 0 on the simulation link.
  uint32_t DeviceLosses() override;
  // A read sent ahead on a link that can part a request (the socket link's
  // host::DeviceExchangeSend): false on the simulation link, in image
  // mode, and where pfnExchange is cleared (a test double).
  bool PostRead(uint32_t sector, uint32_t count, std::unique_ptr<char[]>& buffer) override;
  int32_t TakeRead(uint32_t sector, uint32_t count, std::unique_ptr<char[]>& buffer) override;

  int32_t NandErase(uint32_t block) override;
  int32_t NandReadWrite(int32_t write, uint32_t block, char* buffer, uint32_t size) override;
  int32_t Direct_Read(uint32_t sector, uint32_t count, char* buffer) override;
  int32_t Direct_Write(uint32_t sector, uint32_t count, char* buffer) override;
  int32_t BuildPakImageFile(char* path) override;
  int32_t UnPakImageFile(char* path) override;
  int32_t GetBlockTable(uint32_t first, uint32_t count, int* table, int32_t size) override;
  int32_t UpdateIsoFromNand(char* path, int* table, uint32_t partitionStart,
                            uint32_t trackSectors, uint32_t sectorsPerStep,
                            uint32_t blocksPerZone) override;

  // ---- fields, in this order ----
  int32_t trackDisk = 0;     // nonzero: a successful Switch updates currentDisk and says so
  char devicePath[255] = {}; // "\\.\lexon%d" for the driver link
  int32_t simulation = 0;    // 0 = driver transport, else the simulation transport
  PfnDeviceIoControl pfnDeviceIoControl = nullptr;
  PfnCreateFile pfnCreateFile = nullptr;
  PfnCloseHandle pfnCloseHandle = nullptr;
  PfnReadFile pfnReadFile = nullptr;
  PfnWriteFile pfnWriteFile = nullptr;
  // The driver transport's whole-request call; null for the simulation
  // transport, and to be cleared by anything that replaces the five calls
  // above (a test double), so that the request procedure makes them.
  PfnExchange pfnExchange = nullptr;
  int32_t slcLayout = 1;     // simulator NAND file layout: 1 = SLC, 0 = MLC

  // image-mode state (the image files use these)
  int32_t imageActive = 0;
  FILE* imageFile = nullptr;
  uint8_t* sectorBitmap = nullptr;
  uint64_t imageBytes = 0;
  uint32_t bitmapBytes = 0;
  int32_t imageKind = 0;
  uint8_t imageHeader[kImageHeaderBytes] = {};

  // The request procedure: opens the device, sends the command block, moves
  // the data phase (when hasData; its direction is the block's direction
  // byte and its length the block's length field), fetches the reply and
  // closes. Returns the reply's value, or -1 for any failure. With
  // expectReply false no reply is fetched and 0 is returned once the block
  // was accepted.
  int32_t Request(const _ZEL_REQUEST& block, void* data, bool hasData,
                  bool expectReply = true);

  // Boot-area writes into the simulator NAND file while it is being built:
  // the result of the file operation, -1 on failure.
  int32_t WriteBiosToBinFile(uint32_t count, char* buffer);
  int32_t WriteEccRomToBinFile(uint32_t count, char* buffer);

 private:
  // One sector request (Read, Write and their direct twins).
  int32_t SectorRequest(uint8_t code, uint32_t sector, uint32_t count, char* buffer);

  // The system image file (image kind 0); image_mode.cc.
  int32_t BuildSysImageFile(int32_t sizeMb, char* path);
  int32_t ReadFromSysImageFile(uint32_t sector, uint32_t count, char* buffer);
  int32_t WriteToSysImageFile(uint32_t sector, uint32_t count, char* buffer);
  void SetBit(uint32_t sector);
  int32_t CloseSystemImageFile(void* diskBlocks, char* path);
  // Releases the image file and the bitmap and leaves the image mode.
  void ReleaseImageState();

  // The simulator NAND file (image kind 1); simu_image.cc.
  int32_t BuildSimuBinFile(int32_t sizeMb, char* path);
  int32_t ReadFromSimuBinFile(uint32_t sector, uint32_t count, char* buffer);
  int32_t WriteToSimuBinFile(uint32_t sector, uint32_t count, char* buffer);
  int32_t CloseSimuBinFile(void* diskBlocks, char* path);
  // 512 data bytes or 16 spare bytes of a physical sector, at the place of
  // the current layout: 0, or -1 when the seek or the transfer fails.
  int32_t WriteSectorDataToSimuBinFile(uint64_t physicalSector, const uint8_t* data);
  int32_t ReadSectorDataFromSimuBinFile(uint64_t physicalSector, uint8_t* data);
  int32_t WriteSectorRedtToSimuBinFile(uint64_t physicalSector, const uint8_t* spare);
  int32_t ReadSectorRedtFromSimuBinFile(uint64_t physicalSector, uint8_t* spare);
  // True when a zone is within the mapping tables and the file.
  bool SimuZoneUsable(uint32_t zone) const;
  // The physical sector of a logical sector: 0, or -1 when its logical
  // block is not assigned or its zone cannot be held.
  int32_t GetPhySectorID(uint32_t logicalSector, uint64_t* physicalSector);
  // Gives the sector's logical block a free block of its zone, labels the
  // block's spares and returns 0 with the physical sector; -1 when the zone
  // has no free block or cannot be held, or the file fails.
  int32_t AssignFreePhyBlock(uint32_t logicalSector, uint64_t* physicalSector);
  // Puts the block address word of the sector's logical block into a spare
  // (unchanged for a zone of 8 or more); returns 0.
  int32_t CalculateBlockID(uint32_t logicalSector, uint8_t* spare);
  // The spare of one sector as the file gets it; returns 0.
  int32_t SetupRedundant(uint32_t logicalSector, uint8_t* spare);
  // Boot pieces: count sectors at physical sectors first..., each labelled
  // by its own number. 0, or -1.
  int32_t WriteSimuBootSectors(uint32_t first, uint32_t count, const uint8_t* buffer);

  // The word sum of every sector of the system image being built, kept as
  // the sectors are written; empty when it is not known (the close then
  // reads the image back).
  std::vector<uint32_t> sectorSums_;

  // The read PostRead sent, until it is taken or dropped: the handle it
  // holds while unanswered, its sectors, the buffer its data goes to and,
  // once answered (before another request, which the link carries after
  // it), Read's result.
  struct PostedRead {
    DeviceHandle h;
    uint32_t sector = 0, count = 0;
    std::unique_ptr<char[]> buffer;
    bool answered = false;
    bool broke = false;  // the link broke while it was answered
    int32_t result = -1;
  };
  std::unique_ptr<PostedRead> posted_;
  // Takes the answer of the posted read, if not yet taken, and frees its
  // handle.
  void AnswerPosted();
};

// The process-wide 16,384-byte ECC ROM buffer shared by SetEccRom and GetEccRom.
TERVLINK_API uint8_t* EccRomBuffer();
