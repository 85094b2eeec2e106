// The request procedure shared by every device request.

#include "tervlink/zel_device_io.h"

#include "tervlink/host/host.h"

namespace {

// The reason of a request the link could not carry: which link, and whether
// it could not be opened or broke in the middle.
void LinkLost(const ZEL_DEVICE_IO& device, bool opened) {
  std::string link = device.simulation
                         ? "simulation link, mailslot " + host::MailslotPath("c33_usb_snd_io")
                         : "socket " + host::DeviceSocketPath(device.devicePath);
  if (opened)
    host::SetReason("device link lost (%s): the connection broke in the middle of a request", link.c_str());
  else
    host::SetReason("device link lost (%s): nothing answers there; is zelsim running?", link.c_str());
}

}  // namespace

int32_t ZEL_DEVICE_IO::Request(const _ZEL_REQUEST& block, void* data, bool hasData,
                               bool expectReply) {
  // A read sent ahead is answered first (the link carries one request at a
  // time); its data waits for TakeRead.
  AnswerPosted();
  DeviceHandle h = pfnCreateFile(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    LinkLost(*this, false);
    return -1;
  }
  auto fail = [&] {
    LinkLost(*this, true);
    pfnCloseHandle(h);
    return -1;
  };

  auto bytes = EncodeRequest(block);
  uint32_t count = 0;
  if (!expectReply) {
    // Reboot: the block alone, then the close.
    if (!pfnDeviceIoControl(h, kIoctlSendRequest, bytes.data(), kRequestBytes, nullptr, 0,
                            &count, nullptr))
      return fail();
    pfnCloseHandle(h);
    return 0;
  }

  uint8_t reply[kReplyBytes] = {};
  if (pfnExchange) {  // the same calls, carried together
    if (!pfnExchange(h, bytes.data(), kRequestBytes, data, block.length, hasData,
                     block.direction == kDirToDevice, reply, kReplyBytes))
      return fail();
  } else {
    if (!pfnDeviceIoControl(h, kIoctlSendRequest, bytes.data(), kRequestBytes, nullptr, 0,
                            &count, nullptr))
      return fail();
    // The whole data phase moves in one call, even when it is empty.
    if (hasData) {
      count = 0;
      int ok = block.direction == kDirToDevice
                   ? pfnWriteFile(h, data, block.length, &count, nullptr)
                   : pfnReadFile(h, data, block.length, &count, nullptr);
      if (!ok || count != block.length) return fail();
    }
    if (!pfnDeviceIoControl(h, kIoctlFetchReply, nullptr, 0, reply, kReplyBytes, &count, nullptr))
      return fail();
  }
  pfnCloseHandle(h);
  _ZEL_REPLY r = DecodeReply(reply);
  return r.status == 0 ? r.value : -1;
}

// ---- reads sent ahead -------------------------------------------------------

int32_t ZEL_DEVICE_IO::TakeRead(uint32_t sector, uint32_t count, std::unique_ptr<char[]>& buffer) {
  if (!posted_) return -2;
  AnswerPosted();
  std::unique_ptr<PostedRead> p = std::move(posted_);
  buffer = std::move(p->buffer);
  if (p->sector != sector || p->count != count || count == 0) return -2;  // dropped
  if (p->broke) LinkLost(*this, true);
  return p->result;
}

void ZEL_DEVICE_IO::AnswerPosted() {
  if (!posted_ || posted_->answered) return;
  PostedRead& p = *posted_;
  uint8_t reply[kReplyBytes] = {};
  p.broke = host::DeviceExchangeFinish(p.h, p.buffer.get(), p.count * kSectorBytes, 1, 0, reply,
                                       kReplyBytes) != 1;
  pfnCloseHandle(p.h);
  p.answered = true;
  _ZEL_REPLY r = DecodeReply(reply);
  p.result = !p.broke && r.status == 0 ? r.value : -1;
}
