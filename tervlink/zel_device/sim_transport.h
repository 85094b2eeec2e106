// The simulation transport: the device link carried over two mailslots to a
// PC simulator of the device (zelsim --link usb), imitating USB at the
// packet level: tokens with a device address and an endpoint, data packets
// with alternating data toggles, handshakes, and bulk transfers carried as
// one message each way.
//
// The PC side creates "c33_usb_rcv_io" and reads the simulator's answers
// from it; it writes into the simulator's "c33_usb_snd_io". The link state,
// the two mailslot handles and the data toggle table are process-wide, so
// one simulated link exists per process; nothing here is thread-safe.
//
// The five Sim* transport calls have the shapes and result conventions of
// the driver calls they stand in for (nonzero = success,
// INVALID_HANDLE_VALUE = failed open); every request of ZEL_DEVICE_IO runs
// over them unchanged.
#pragma once

#include <cstdint>

#include "tervlink/export.h"
#include "tervlink/zel_device_io.h"

// Packet identifiers (USB values).
constexpr uint8_t kPidOut = 0x01;
constexpr uint8_t kPidAck = 0x02;
constexpr uint8_t kPidData0 = 0x03;
constexpr uint8_t kPidIn = 0x09;
constexpr uint8_t kPidNak = 0x0A;
constexpr uint8_t kPidData1 = 0x0B;
constexpr uint8_t kPidSetup = 0x0D;
constexpr uint8_t kPidStall = 0x0E;

// Message types from the PC side to the simulator (the first byte).
constexpr uint8_t kMsgHello = 0;
constexpr uint8_t kMsgInToken = 2;
constexpr uint8_t kMsgOutToken = 3;
constexpr uint8_t kMsgSetup = 4;
constexpr uint8_t kMsgAck = 5;
constexpr uint8_t kMsgBulkIn = 6;
constexpr uint8_t kMsgBulkOut = 7;

// A toggle argument that means "the endpoint's entry of the toggle table".
constexpr uint8_t kCurrentToggle = 0xFF;
// The simulated device after the link is started.
constexpr uint8_t kSimAddress = 1;
constexpr uint8_t kSimEndpointToDevice = 3;  // command wrappers, bulk out
constexpr uint8_t kSimEndpointToPc = 2;      // status packets, bulk in
constexpr uint8_t kSimMaxPacket = 64;
// The command wrapper that carries a command block, and the status packet
// that carries the reply back.
constexpr uint32_t kCommandWrapperBytes = 24;
constexpr uint32_t kStatusPacketBytes = 12;

// Token word: bits 0-6 device address, bits 7-10 endpoint number.
constexpr uint16_t TokenWord(uint8_t address, uint8_t endpoint) {
  return uint16_t((address & 0x7F) | ((endpoint & 0x0F) << 7));
}

// ---- the five transport calls ----------------------------------------------

// 1 while the link is up, else INVALID_HANDLE_VALUE; the arguments are ignored.
TERVLINK_API DeviceHandle SimCreateFile(const char* path, uint32_t access, uint32_t share,
                                        void* security, uint32_t disposition, uint32_t flags,
                                        void* templ);
// Sends a command block (0x222010) or fetches the reply (0x222014); nonzero
// on success. Never writes *returned.
TERVLINK_API int SimDeviceIoControl(DeviceHandle h, uint32_t code, const void* in,
                                    uint32_t inLength, void* out, uint32_t outCapacity,
                                    uint32_t* returned, void* overlapped);
// Returns 1 and does nothing: the link outlives the requests.
TERVLINK_API int SimCloseHandle(DeviceHandle h);
// Bulk in from endpoint 2; nonzero when the simulator's status was 3. *got
// is the length the simulator announced.
TERVLINK_API int SimReadFile(DeviceHandle h, void* buffer, uint32_t length, uint32_t* got,
                             void* overlapped);
// Bulk out to endpoint 3; nonzero when the simulator's status was 2. *put is
// the length the simulator took.
TERVLINK_API int SimWriteFile(DeviceHandle h, const void* buffer, uint32_t length,
                              uint32_t* put, void* overlapped);

// ---- the link ----------------------------------------------------------------

// Creates the PC side's mailslot and greets the simulator until it answers
// (for ever while none runs). Returns the simulator's state (negative =
// refuses, 0 = fresh device, positive = set up), or -1 when the mailslot
// cannot be created.
TERVLINK_API int SimOpenLink();
// Brings the link up given the greeting's answer, enumerating a fresh
// device first. 1 when the link is up, else 0 (it stays down).
TERVLINK_API int SimStartLink(int state);
// Marks the link down and closes both mailslots.
TERVLINK_API void SimCloseLink();

// ---- the steps (exposed for the transport's tests) ---------------------------

// One message to the simulator; false on failure.
TERVLINK_API bool SimSend(const uint8_t* message, uint32_t length);
// One answer of at most 67 bytes into the receive buffer; its length, or -1.
TERVLINK_API int SimReceive();
// Setup token with an 8-byte standard request to address 0, endpoint 0:
// 2 when acknowledged, else -1.
TERVLINK_API int SimSetup(const uint8_t request[8]);
// In token: the data packet's identifier when it carried the expected toggle
// (data copied, *count set, toggle flipped); 0 when the simulator had
// nothing; another answer's first byte (acknowledged, not used); -1 on a
// failed message or a packet of 64 data bytes or more.
TERVLINK_API int SimIn(uint8_t address, uint8_t endpoint, uint8_t toggle, uint8_t* buffer,
                       uint32_t capacity, uint32_t* count);
// Out token with one data packet of at most 255 bytes: 2 on ACK (toggle
// flipped), 14 on STALL, 0 on 0, -1 otherwise.
TERVLINK_API int SimOut(uint8_t address, uint8_t endpoint, uint8_t toggle, const uint8_t* data,
                        uint32_t n);
// Bulk in of *length bytes: the simulator's status (3 = success) with
// *length set to the length it announced, or -1.
TERVLINK_API int SimBulkIn(uint8_t address, uint8_t endpoint, uint8_t maxPacket, uint8_t toggle,
                           uint8_t* buffer, uint32_t* length);
// Bulk out of *length bytes: the simulator's status (2 = success) with
// *length set to the length it took, or -1.
TERVLINK_API int SimBulkOut(uint8_t address, uint8_t endpoint, uint8_t maxPacket, uint8_t toggle,
                            const uint8_t* buffer, uint32_t* length);
