// Failure reasons carried up from where a failure is known, the PC-file
// writer that names every failed write, the quiet whole-file read of SYNC's
// read-ahead and the work run while the device writes (both platforms).

#include <cerrno>
#include <cstring>

#include "tervlink/host/host.h"
#include "tervlink/host/host_internal.h"

namespace host {
namespace {

thread_local std::string t_reason;
// Per thread: the thread that sets it is the one whose requests run it.
thread_local DeviceWaitWork t_waitWork;

}  // namespace

DeviceWaitWork SetDeviceWaitWork(DeviceWaitWork work) {
  DeviceWaitWork before = t_waitWork;
  t_waitWork = work;
  return before;
}

void detail::RunDeviceWaitWork() {
  if (t_waitWork.work) t_waitWork.work(t_waitWork.context);
}

void SetReason(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  t_reason = detail::FormatLine(fmt, ap);
  va_end(ap);
  // A character GBK lacks is held as 0xFF (ConsoleToGbk); shown as "?".
  for (char& c : t_reason)
    if (uint8_t(c) == 0xFF) c = '?';
}

void SetFileReason(const char* action, const char* gbkPath, int err) {
  // The system's words are the locale's text; ASCII in the usual locales.
  SetReason("%s PC file %s: %s", action, gbkPath ? gbkPath : "",
            err ? ConsoleToGbk(strerror(err)).c_str() : "unknown error");
}

bool HasReason() { return !t_reason.empty(); }
std::string Reason() { return t_reason; }
void ClearReason() { t_reason.clear(); }

bool ShowReason() {
  if (t_reason.empty()) return false;
  std::string text = std::move(t_reason);
  t_reason.clear();
  PrintError("Tervan: %s", text.c_str());
  return true;
}

bool ReadWholePcFile(const char* gbkName, char* into, uint64_t room, uint64_t& length) {
  std::string before;
  before.swap(t_reason);
  bool ok = detail::ReadPcFileInto(gbkName, into, room, length);
  t_reason.swap(before);
  return ok;
}

bool SpellableInGbk(std::string_view text) {
  // GBK's lead bytes are 0x81-0xFE and its trail bytes 0x40-0xFE without
  // 0x7F; the console's conversion marks a character GBK lacks with 0xFF.
  for (size_t i = 0; i < text.size(); ++i) {
    uint8_t c = uint8_t(text[i]);
    if (c < 0x80) continue;
    if (c == 0x80 || c == 0xFF || i + 1 == text.size()) return false;
    uint8_t t = uint8_t(text[++i]);
    if (t < 0x40 || t == 0x7F || t == 0xFF) return false;
  }
  return true;
}

// ---- PcFileWriter ----------------------------------------------------------

PcFileWriter::~PcFileWriter() { Discard(); }

bool PcFileWriter::Open(const char* gbkName, bool text, const char* shown) {
  Discard();
  name_ = gbkName ? gbkName : "";
  shown_ = shown ? shown : name_;
  error_ = 0;
  keepTime_ = false;
  // Beside the file, so that the rename stays within one file system; no
  // 8.3 name (of a device file) ends this way. The temporary file is always
  // a new one: a file of that name already there (the user's, or another
  // run's) is never written over; the next number is taken instead.
  for (int n = 0; n < 100 && !f_; ++n) {
    temp_ = name_ + (n ? "." + std::to_string(n) : std::string()) + ".tervan-tmp";
    f_ = CreateNewFile(temp_.c_str(), text);
    if (!f_ && errno != EEXIST) break;
  }
  if (f_) {
    constexpr size_t kBufferBytes = 64 << 10;
    if (!buffer_) buffer_.reset(new char[kBufferBytes]);
    setvbuf(f_, buffer_.get(), _IOFBF, kBufferBytes);
  }
  if (!f_) {
    // The reason names the real file, which is what the user knows.
    SetFileReason("cannot create", shown_.c_str(), errno);
    temp_.clear();
    return false;
  }
  return true;
}

bool PcFileWriter::Write(const void* data, size_t length) {
  if (!f_) return false;
  if (length == 0 || fwrite(data, 1, length, f_) == length) return true;
  if (!error_) error_ = errno ? errno : EIO;
  SetFileReason("cannot write", shown_.c_str(), error_);
  return false;
}

bool PcFileWriter::Commit() {
  if (!f_) return false;
  errno = 0;
  bool flushed = fflush(f_) == 0;
  int flushError = errno;
  bool written = !ferror(f_) && !error_;
  int writeError = error_ ? error_ : flushError;
  // Dated while open where the host can (no second look-up of the name).
  bool dated = !keepTime_ || (written && flushed && SetOpenFileTime(f_, mtime_));
  bool closed = fclose(f_) == 0;
  int closeError = errno;
  f_ = nullptr;
  const char* action = nullptr;
  int err = 0;
  if (!written || !flushed) {
    action = "cannot write";
    err = writeError ? writeError : EIO;
  } else if (!closed) {
    action = "cannot close";
    err = closeError ? closeError : EIO;
  } else if (!dated && !SetFileTime(temp_.c_str(), mtime_)) {
    action = "cannot set the time of";
    err = errno;
  } else if (RenameFile(temp_.c_str(), name_.c_str()) != 0) {
    action = "cannot rename the finished file to";
    err = errno;
  }
  if (!action) {
    temp_.clear();
    return true;
  }
  SetFileReason(action, shown_.c_str(), err);
  RemoveFile(temp_.c_str());
  temp_.clear();
  return false;
}

void PcFileWriter::Discard() {
  if (f_) fclose(f_);
  f_ = nullptr;
  if (!temp_.empty()) RemoveFile(temp_.c_str());
  temp_.clear();
}

}  // namespace host
