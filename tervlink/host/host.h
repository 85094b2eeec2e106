// The host layer: everything the programs ask of the operating system.
//
// Nothing outside tervlink/host includes an OS header; the shell, the
// library and zelsim call these functions instead. host/posix/ implements
// it for Linux, host/win32/ for Windows (docs/windows.md); host/ holds what
// both share.
//
// Text inside the programs is GBK. The host layer converts at its edges:
// printed text from GBK to the locale's character set, input lines from the
// locale's set to GBK, and PC file names between GBK and the host's
// file-name encoding (UTF-8 on Linux).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "tervlink/export.h"

// printf-style formats; mingw's printf family is the C99 one (with %zu).
#if defined(_WIN32)
#define TERVLINK_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define TERVLINK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

namespace host {

// ---- text encoding ---------------------------------------------------------

// GBK -> the locale's character set for printing (UTF-8 unless the locale is
// a GBK one, where the text passes unchanged). Bytes that are not GBK pass.
TERVLINK_API std::string GbkToConsole(std::string_view gbk);
// The locale's character set -> GBK, when the text is valid in it and can be
// converted; otherwise the text unchanged (a GBK batch file still runs).
TERVLINK_API std::string ConsoleToGbk(std::string_view text);
// GBK file names <-> the host's file-name encoding (UTF-8 on Linux).
TERVLINK_API std::string GbkToFs(std::string_view gbk);
TERVLINK_API std::string FsToGbk(std::string_view name);

// ---- output ----------------------------------------------------------------

// Where printed text goes. Every message of the programs goes through an
// Output, which receives GBK and does any conversion itself.
class TERVLINK_API Output {
 public:
  virtual ~Output() = default;
  virtual void Write(std::string_view gbk) = 0;
  virtual void Flush() {}
  // After each message: where someone watches the text as it comes (a
  // terminal) it goes out now; elsewhere it may wait for Flush, which
  // comes before any input is read, before standard error and at exit.
  virtual void Pace() { Flush(); }
};

// Standard output with GBK converted to the locale's character set.
TERVLINK_API Output& StdOut();
// Text kept in memory as GBK, for tests.
class TERVLINK_API StringOutput : public Output {
 public:
  void Write(std::string_view gbk) override { text.append(gbk); }
  std::string text;
};

// The process-wide output that the library and the shell print to; standard
// output unless a test swaps it. Returns the previous one.
TERVLINK_API Output& Out();
TERVLINK_API Output* SetOut(Output* out);

// printf-style printing of GBK text.
TERVLINK_API void Print(const char* fmt, ...) TERVLINK_PRINTF(1, 2);
TERVLINK_API void PrintTo(Output& out, const char* fmt, ...) TERVLINK_PRINTF(2, 3);
TERVLINK_API void VPrintTo(Output& out, const char* fmt, va_list ap);
// One line on standard error (not converted beyond GBK -> locale), after
// standard output has been flushed, so that a log taking both reads in order.
TERVLINK_API void PrintError(const char* fmt, ...) TERVLINK_PRINTF(1, 2);
// Where PrintError's lines go: standard error unless a test swaps in an
// Output (which then receives each line, its "\n" included). Returns the
// previous one (null: standard error).
TERVLINK_API Output* SetErr(Output* err);

// ---- why a failure happened ------------------------------------------------
//
// A failure's reason is built where the failure is known (the host layer
// knows errno and the PC path, the engine the partition and its free space,
// the device link its socket) and carried up to the front end, which prints
// it on its own line on standard error after its failure line. Like errno it
// is one per thread and the last one set is the one kept: a layer sets one
// only for a failure it decided itself, never over the reason of the layer
// below that made it fail. Front ends clear it before each command and take
// it when they report a failure.

// Sets the reason (GBK text, no line end), replacing any earlier one.
TERVLINK_API void SetReason(const char* fmt, ...) TERVLINK_PRINTF(1, 2);
// Sets "<action> PC file <path>: <the system's reason for err>", where err is
// an errno value (0: "unknown error").
TERVLINK_API void SetFileReason(const char* action, const char* gbkPath, int err);
TERVLINK_API bool HasReason();
// The reason, which stays set.
TERVLINK_API std::string Reason();
TERVLINK_API void ClearReason();
// Prints the reason, when there is one, as "Tervan: REASON" on its own line
// on standard error (PrintError) and clears it. True when one was printed.
TERVLINK_API bool ShowReason();

// ---- input -----------------------------------------------------------------

// Where command lines come from.
class TERVLINK_API Input {
 public:
  virtual ~Input() = default;
  // Reads at most size - 1 bytes, up to and including a newline, and
  // terminates them, as fgets does; the text is converted to GBK. False at
  // end of input or on a read error.
  virtual bool ReadLine(char* buffer, int size) = 0;
  // True when the line last read held a zero byte (given as a blank in the
  // buffer): such a line is refused whole, never run as the text around it.
  virtual bool LineHadZero() const { return false; }
  // True once a read has met the end of the input.
  virtual bool AtEnd() = 0;
  // One byte of the input as it stands (no conversion), for single-key
  // answers such as PART's confirmation; -1 at end of input.
  virtual int ReadChar() = 0;
  // True when a person types the lines (standard input is a terminal).
  virtual bool IsTerminal() const { return false; }
  // A line editor shows the prompt itself, since it redraws the line while
  // the user edits it: ShowsPrompt() is then true and ReadLine shows the
  // GBK text last given to SetPrompt (without line breaks).
  virtual bool ShowsPrompt() const { return false; }
  virtual void SetPrompt(std::string_view gbk) {}
  // The words a line editor completes at the start of a line (the command
  // names).
  virtual void SetCompletions(std::vector<std::string> words) {}
};

// Standard input: a line editor with history (~/.tervan_history) and
// completion when it is a terminal and the build has one, else plain lines.
TERVLINK_API Input& StdIn();
// A text file opened for reading; null when it cannot be opened or is a
// folder (LastErrorReason() then says why).
TERVLINK_API std::unique_ptr<Input> OpenInputFile(const char* gbkName);
// Lines from a string, for tests (the text is taken as GBK already).
class TERVLINK_API StringInput : public Input {
 public:
  explicit StringInput(std::string text) : text_(std::move(text)) {}
  bool ReadLine(char* buffer, int size) override;
  bool LineHadZero() const override { return zero_; }
  bool AtEnd() override { return end_; }
  int ReadChar() override;

 private:
  std::string text_;
  size_t pos_ = 0;
  bool end_ = false;
  bool zero_ = false;
};

// ---- console keys ----------------------------------------------------------

TERVLINK_API bool StdinIsTerminal();
// Clears the console or terminal that standard output is, cursor at the
// top left; nothing when standard output is a file or a pipe.
TERVLINK_API void ClearTerminal();
// Nonzero when a key is waiting (always nonzero when standard input is not
// a terminal, so a loop waiting for a key never blocks a script).
TERVLINK_API int KeyHit();
// One key without echo and without waiting for a newline; -1 at end of input.
TERVLINK_API int GetKey();

// ---- interrupt (Ctrl-C) ----------------------------------------------------

// From now on SIGINT does not end the program: it sets the interrupt flag,
// which long operations look at between steps that can be stopped safely
// (between files, between the transfers of a write that can be rolled
// back), and it cuts short a read of the prompt.
TERVLINK_API void InstallInterruptHandler();
TERVLINK_API bool InterruptRequested();
TERVLINK_API void ClearInterrupt();
// Sets the flag as SIGINT does (for tests and for callers that stop work).
TERVLINK_API void RequestInterrupt();

// ---- progress of long work (at a terminal) ---------------------------------
//
// At a terminal a transfer shows its progress as one segment of its line,
// redrawn in place a few times a second: the percentage, the bytes done of
// the total, the rate and the time left, and during a SYNC the file's
// number of the files and the bytes of the whole job. Off a terminal (or
// with TERVAN_PROGRESS=0) nothing of it is shown, and the described percent
// output stays as it is.

// True when standard output is a terminal that shows the progress segment.
TERVLINK_API bool ProgressOnTerminal();
// A job of several files starts (files and bytes in all; 0 files: none).
TERVLINK_API void ProgressJob(uint32_t files, uint64_t bytes);
// The next file of the job, of the given size, starts.
TERVLINK_API void ProgressNextFile(uint64_t bytes);
TERVLINK_API void ProgressEndJob();
// A transfer has moved done of its total bytes: redraws the segment when it
// is due (always at the end). Nothing off a terminal.
TERVLINK_API void ProgressBytes(uint64_t done, uint64_t total);
// Milliseconds of a clock that only goes forward.
TERVLINK_API uint64_t MonotonicMs();

// ---- time ------------------------------------------------------------------

// A replaceable sleep: tests install one that does not wait.
using SleepFn = void (*)(uint32_t ms);
TERVLINK_API void Sleep(uint32_t ms);
TERVLINK_API SleepFn SetSleep(SleepFn fn);  // returns the previous one
// True when TERVAN_NO_WAIT=1 skips the device's settling waits.
TERVLINK_API bool SettlingWaitsSkipped();
// A settling wait of the device (Sleep): at a terminal standard error first
// says what it waits for and how long, unless the waits are skipped.
TERVLINK_API void Settle(uint32_t ms, const char* what);

struct LocalTime {
  int year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0,
      milliseconds = 0;
};
TERVLINK_API LocalTime Now();
// Seconds since the epoch <-> local broken-down time.
TERVLINK_API LocalTime ToLocal(int64_t epochSeconds);
TERVLINK_API int64_t FromLocal(const LocalTime& t);
TERVLINK_API int64_t EpochNow();
// Milliseconds of a clock that only moves forward (not the time of day),
// for measuring how long something has taken.
TERVLINK_API uint64_t SteadyMs();

// ---- PC files and directories ----------------------------------------------

// The operating system's reason for the last failed call of this thread
// (strerror of errno), in GBK, for the reason line after a failure.
TERVLINK_API std::string LastErrorReason();

// fopen with a GBK name.
TERVLINK_API FILE* OpenFile(const char* gbkName, const char* mode);
// Creates gbkName for writing (in text mode when text is set) only if no file
// of that name exists: nullptr with errno EEXIST when one does (no reason
// set), or with the reason set for any other failure.
TERVLINK_API FILE* CreateNewFile(const char* gbkName, bool text);
TERVLINK_API int RemoveFile(const char* gbkName);  // 0 on success
TERVLINK_API int RenameFile(const char* from, const char* to);  // 0 on success
// 0 on success or when it exists as a folder; created (when given) tells
// whether this call made it.
TERVLINK_API int MakeDir(const char* gbkName, bool* created = nullptr);

struct FileInfo {
  bool exists = false;
  bool isDir = false;
  uint64_t size = 0;
  int64_t mtime = 0;  // seconds since the epoch
};
TERVLINK_API FileInfo Stat(const char* gbkName);
TERVLINK_API bool SetFileTime(const char* gbkName, int64_t mtime);
// The same for a file open for writing, whose data is all written out
// (flushed): nothing it does after sets the time again. False where the
// host sets times by name only (Windows, whose close may stamp the file
// again), or when the system refuses: SetFileTime after the close then.
TERVLINK_API bool SetOpenFileTime(FILE* f, int64_t mtime);

struct DirEntry {
  std::string name;  // GBK
  bool isDir = false;   // a folder, or a link that leads to one
  bool isLink = false;  // a symbolic link (or junction), whatever it leads to
  bool broken = false;  // a link that leads nowhere: its target is gone, or links loop
  // Neither a regular file nor a folder (a FIFO, a device, a socket): never
  // opened for its data, since a read of one may block for ever.
  bool isSpecial = false;
  // The name holds characters GBK cannot spell (Korean, emoji): name then
  // shows each of them as "?", to be shown, never used to reach the entry.
  bool unspellable = false;
  uint64_t size = 0;
  int64_t mtime = 0;
};
// The entries of a folder, without "." and "..", sorted by name (a link
// that leads nowhere is listed, marked broken, with its own time). False
// when the folder cannot be read.
TERVLINK_API bool ListDir(const char* gbkDir, std::vector<DirEntry>& out);

// Opens a PC file to read its data, as COPY and SYNC take one to the
// device: only a regular file is opened, and a FIFO, device or socket is
// refused without waiting on it. length is set to the file's size. A file
// the system reports empty but that gives data (a /proc file) is refused,
// since its size is not known before it is read. Null, with the reason set,
// when the file cannot be opened or is refused.
TERVLINK_API FILE* OpenPcFileToRead(const char* gbkName, uint64_t& length);
// The whole of a PC file, as OpenPcFileToRead would give it, into the room
// bytes at into; length is set to its size. Quiet: false, with no reason
// set (the one set before is kept), when the file cannot be opened or read,
// is refused, or does not fit: it is then read the usual way, which says why.
TERVLINK_API bool ReadWholePcFile(const char* gbkName, char* into, uint64_t room,
                                  uint64_t& length);

// True when the GBK text names a PC file exactly: every character of it is
// GBK (a command line whose text GBK cannot spell is kept in the console's
// set, and its bytes would name another file or be stored mangled).
TERVLINK_API bool SpellableInGbk(std::string_view text);

// A PC file written under a temporary name in its own folder and renamed to
// its name by Commit() once every byte is written, flushed and closed: a
// failed or interrupted write never leaves a short file under the real
// name, nor replaces a good one. Every failure sets the reason, naming the
// file and the system's cause; the temporary file is removed when the
// writer is not committed.
class TERVLINK_API PcFileWriter {
 public:
  PcFileWriter() = default;
  PcFileWriter(const PcFileWriter&) = delete;
  PcFileWriter& operator=(const PcFileWriter&) = delete;
  ~PcFileWriter();
  // Creates the temporary file for gbkName (in text mode when text is set:
  // line ends as the host writes them). False (reason set) when it cannot
  // be created. shown, when given, is the name reasons give the file: its
  // full path where gbkName is a name in the current folder.
  bool Open(const char* gbkName, bool text = false, const char* shown = nullptr);
  // Appends length bytes; false (reason set) when they were not all taken.
  bool Write(const void* data, size_t length);
  // The file gets the modification time mtime (seconds since the epoch)
  // before it is renamed.
  void KeepTime(int64_t mtime) {
    mtime_ = mtime;
    keepTime_ = true;
  }
  // The open stream, for text written with fprintf; its errors are found
  // by Commit.
  FILE* Stream() const { return f_; }
  // Flushes and closes the file and renames it to its name (an existing
  // file of that name is replaced). False (reason set, temporary removed)
  // when any write, the flush, the close or the rename failed.
  bool Commit();
  // Closes and removes the temporary file; the real name is left alone.
  void Discard();

 private:
  std::string name_, shown_, temp_;
  FILE* f_ = nullptr;
  // The stream's buffer, kept from file to file (a stream that makes its
  // own asks the system for the file's block size first).
  std::unique_ptr<char[]> buffer_;
  int error_ = 0;  // errno of the first failed write, 0 while none failed
  int64_t mtime_ = 0;
  bool keepTime_ = false;
};

// The PC path separator: '\\' on Windows, '/' elsewhere.
#if defined(_WIN32)
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif
// True where an absolute PC path begins with "/": there a command word that
// begins with "/" but is none of the command's options is a file name.
constexpr bool kSlashStartsAbsolutePath = kSep == '/';
TERVLINK_API std::string GetCurrentDir();  // GBK
TERVLINK_API bool SetCurrentDir(const char* gbkDir);
// The full path of a name: absolute names stay, others are joined to the
// current directory. The file need not exist.
TERVLINK_API std::string FullPath(const char* gbkName);

// ---- the device link (driver side) -----------------------------------------

// Folder of the device sockets and mailslots: $TERVAN_RUNDIR, else
// ${XDG_RUNTIME_DIR:-/tmp}/tervan-$UID.
TERVLINK_API std::string RunDir();
// "\\.\NAME" -> RunDir()/NAME; other paths unchanged.
TERVLINK_API std::string DeviceSocketPath(const char* devicePath);

// The client side of the driver socket, shaped as the Windows calls
// (nonzero = success, -1 = failed open). Frames as in docs/device-protocol.md.
TERVLINK_API intptr_t DeviceCreateFile(const char* path, uint32_t access, uint32_t share,
                                       void* security, uint32_t disposition, uint32_t flags,
                                       void* templ);
TERVLINK_API int DeviceIoControl(intptr_t h, uint32_t code, const void* in, uint32_t inLength,
                                 void* out, uint32_t outCapacity, uint32_t* returned,
                                 void* overlapped);
TERVLINK_API int DeviceCloseHandle(intptr_t h);
TERVLINK_API int DeviceReadFile(intptr_t h, void* buffer, uint32_t length, uint32_t* got,
                                void* overlapped);
TERVLINK_API int DeviceWriteFile(intptr_t h, const void* buffer, uint32_t length,
                                 uint32_t* put, void* overlapped);
// One whole request on an open handle: the command block (control
// 0x222010 with blockLength bytes), the data phase when hasData (length
// bytes towards the device when toDevice, else towards the PC into data),
// then the reply fetch (control 0x222014, at most replyLength bytes into
// reply). The same calls in the same order as the separate functions make,
// carried in as few system calls as the link allows (on a socket: one send
// and, in the usual case, one read). 1 when every step succeeded and the
// data phase moved whole, else 0.
TERVLINK_API int DeviceExchange(intptr_t h, const void* block, uint32_t blockLength, void* data,
                                uint32_t length, int hasData, int toDevice, void* reply,
                                uint32_t replyLength);
// The same request in two halves, for a read the engine sends ahead of its
// need: DeviceExchangeSend sends what DeviceExchange sends, and
// DeviceExchangeFinish later takes the answers (the handle carries nothing
// else in between; data must stay valid till then). 1, or 0 as
// DeviceExchange. A link that moves a request step by step (Windows)
// cannot part it: its DeviceExchangeSend returns -1 and sends nothing.
TERVLINK_API int DeviceExchangeSend(intptr_t h, const void* block, uint32_t blockLength,
                                    const void* data, uint32_t length, int hasData, int toDevice,
                                    uint32_t replyLength);
TERVLINK_API int DeviceExchangeFinish(intptr_t h, void* data, uint32_t length, int hasData,
                                      int toDevice, void* reply, uint32_t replyLength);

// Work for the PC while the device writes: once a request whose data goes
// to the device has gone out, the socket link runs work(context) before it
// waits for the answer, so that the device's writing and the PC's next job
// overlap (SYNC reads the next PC files meanwhile). The work must not use
// the device link, nor leave a reason behind. A link that moves a request
// step by step (Windows) runs none. SetDeviceWaitWork returns the work set
// before, to be set again when the caller is done.
struct DeviceWaitWork {
  void (*work)(void* context) = nullptr;
  void* context = nullptr;
};
TERVLINK_API DeviceWaitWork SetDeviceWaitWork(DeviceWaitWork work);
// A task (reading the next piece of PC data) armed for the device's next
// wait: while this object lives (and on), it is the wait work, the one set
// before put back at its end. Arm makes it run once, at the next wait;
// TakeRun tells whether it ran since, and its result.
class DeviceWaitTask {
 public:
  DeviceWaitTask(bool on, std::function<bool()> task) : on_(on), task_(std::move(task)) {
    if (on_) before_ = SetDeviceWaitWork({&DeviceWaitTask::Run, this});
  }
  ~DeviceWaitTask() {
    if (on_) SetDeviceWaitWork(before_);
  }
  DeviceWaitTask(const DeviceWaitTask&) = delete;
  DeviceWaitTask& operator=(const DeviceWaitTask&) = delete;
  bool On() const { return on_; }
  void Arm() { armed_ = true, ran_ = false; }
  void Disarm() { armed_ = false; }
  // True when the task ran since Arm (once: the next call says false until
  // it runs again), its result in ok.
  bool TakeRun(bool& ok) {
    if (!ran_) return false;
    ran_ = false;
    ok = ok_;
    return true;
  }

 private:
  static void Run(void* self) {
    auto* t = static_cast<DeviceWaitTask*>(self);
    if (!t->armed_) return;
    t->armed_ = false;
    t->ok_ = t->task_();
    t->ran_ = true;
  }
  bool on_;
  std::function<bool()> task_;
  DeviceWaitWork before_;
  bool armed_ = false, ran_ = false, ok_ = false;
};

// One client per device: a program claims the device it services for its
// lifetime, on a connection of its own that it keeps open (the device
// releases the claim when that connection closes, so a killed client
// blocks nobody). The device refuses the claim, and every request of
// another process, while another client holds it, whichever path or link
// reached it. Returns 1 when this process holds the device, 0 when no
// device answers at devicePath now (the claim is then made before the
// first request that reaches one), -1 when another client holds it:
// holderPid and holderProgram name it (pid 0 when the system cannot tell).
// program is this process's name as the device shows it to others.
TERVLINK_API int ClaimDevice(const char* devicePath, const char* program, long& holderPid,
                             std::string& holderProgram);
// How many times the claimed device at devicePath went away (its claim's
// connection closed: zelsim stopped, restarted or was killed) since the
// claim; each loss is noticed here or before the next request, and the
// claim is then made again on the device found there. What was read from
// the device before a loss may no longer hold. 0 for a path never claimed.
TERVLINK_API uint32_t DeviceLosses(const char* devicePath);

// ---- stream sockets for servers (zelsim) ------------------------------------

// A listening Unix stream socket at path. -1 on failure; -2 when another
// process already serves that path.
TERVLINK_API int ListenSocket(const std::string& path);
// Waits for a connection; -1 on failure or when interrupted (check Stopping()).
TERVLINK_API int AcceptSocket(int listener);
// The process at the other end of an accepted connection; 0 when the
// system cannot tell.
TERVLINK_API long PeerProcessId(int fd);
TERVLINK_API void CloseSocket(int fd);
// Exact reads and writes; false on failure or end of stream.
TERVLINK_API bool ReadExact(int fd, void* buffer, size_t length);
TERVLINK_API bool WriteExact(int fd, const void* buffer, size_t length);
// A stretch of bytes to send, one of several sent in order.
struct ConstPiece {
  const void* data;
  size_t length;
};
// A stretch of memory to fill, one of several filled in order.
struct Piece {
  void* data;
  size_t length;
};
// Writes the pieces one after another, in as few system calls as the
// socket takes (the bytes go from where they lie, gathered by the system).
TERVLINK_API bool WriteExactPieces(int fd, const ConstPiece* pieces, size_t count);
// Reads what has arrived (at least one byte, waiting for it), at most
// length: the count, 0 at the end of the stream, -1 on failure.
TERVLINK_API long ReadSome(int fd, void* buffer, size_t length);
// Waits until one of the sockets can be read or has been closed by its
// peer; ready[i] is then nonzero for each such fds[i]. False when a signal
// interrupted the wait (check Stopping()) or it failed.
TERVLINK_API bool WaitReadable(const std::vector<int>& fds, std::vector<uint8_t>& ready);
// SIGINT and SIGTERM set a flag instead of killing the process.
TERVLINK_API void InstallStopSignals();
TERVLINK_API bool Stopping();
// Makes a folder and its parents; true when it exists afterwards.
TERVLINK_API bool MakeDirs(const std::string& path);
// Writes a whole file through a temporary and a rename, and syncs it, so a
// kill leaves either the old or the new content.
TERVLINK_API bool WriteFileAtomic(const std::string& path, const void* data, size_t length);
TERVLINK_API bool SyncFile(FILE* f);  // fflush + fsync

// ---- mailslots (the simulation link) ----------------------------------------

// A mailslot "\\.\mailslot\NAME" is the named FIFO RunDir()/mailslot/NAME.
// Every message travels as a u32 length and its bytes, so message boundaries
// hold; a message carries at most kMaxMailslotMessage bytes. One server reads
// a slot; a client writes into it while the server holds it open.
constexpr uint32_t kMaxMailslotMessage = 16u << 20;
using MailslotHandle = intptr_t;
constexpr MailslotHandle kInvalidMailslot = -1;

// "\\.\mailslot\NAME" or a bare NAME -> RunDir()/mailslot/NAME.
TERVLINK_API std::string MailslotPath(const char* name);
// Server side: creates the slot (and its folders) and opens it for reading.
// Refused (kInvalidMailslot) while another server holds the slot. Messages
// longer than maxMessage are refused by the reads.
TERVLINK_API MailslotHandle CreateMailslot(const char* name, uint32_t maxMessage);
// Client side: opens the slot for writing; kInvalidMailslot when it does not
// exist or no server holds it open.
TERVLINK_API MailslotHandle OpenMailslot(const char* name);
// True while a server holds the slot open (a client open would succeed).
TERVLINK_API bool MailslotHasServer(const char* name);
// Waits, without spinning, until a server holds the slot open (or at most
// timeoutMs; < 0 waits for ever). True when one does. A signal that the
// interrupt flag (InterruptRequested) records ends the wait with false.
TERVLINK_API bool WaitForMailslotServer(const char* name, int timeoutMs);
// Writes one message whole; false when it cannot (server gone, too long).
TERVLINK_API bool WriteMailslot(MailslotHandle h, const void* data, uint32_t length);

enum class MailslotRead {
  kOk,        // one message read; *got holds its length
  kTimeout,   // no message began within the time-out
  kTooLong,   // a message longer than the buffer (or the slot's maximum): consumed, dropped
  kFailed,    // the slot is broken (bad handle, a message cut off)
};
// Reads one message into buffer. timeoutMs < 0 waits for ever for a message
// to begin; once one has begun, the rest is read as it arrives.
TERVLINK_API MailslotRead ReadMailslot(MailslotHandle h, void* buffer, uint32_t capacity,
                                       uint32_t* got, int timeoutMs);
// The same for a message of any length up to the slot's maximum.
TERVLINK_API MailslotRead ReadMailslotMessage(MailslotHandle h, std::vector<uint8_t>& message,
                                              int timeoutMs);
// Closes a handle; a server's handle also removes its slot.
TERVLINK_API void CloseMailslot(MailslotHandle h);

// ---- fatal errors ------------------------------------------------------------

// Shows "Fatal Error: TEXT" as one line on standard error. A run of identical
// failures (a retry loop) shows it once: the same text again is silent until
// ClearFatalError() or a different text.
TERVLINK_API void ShowFatalError(const char* text);
TERVLINK_API void ClearFatalError();

// Blocks SIGINT and SIGTERM in the calling thread, so that a server thread
// leaves them to the main thread (whose blocking calls they interrupt).
TERVLINK_API void BlockStopSignalsInThisThread();

}  // namespace host

// ---- large files (NAND files beyond 2 GB) ----------------------------------

namespace host {

// Moves a stream to a 64-bit byte offset; false on failure.
TERVLINK_API bool SeekFile(FILE* f, uint64_t offset);
// The length in bytes of an open stream (its position is kept); false on
// failure.
TERVLINK_API bool FileLength(FILE* f, uint64_t& length);
// Positioned transfers of exactly length bytes at a 64-bit offset, straight
// to the operating system (one call for the whole length where it takes
// it), leaving the stream's position alone. They bypass the stream's
// buffer: use them on a stream that has nothing buffered (flushed, or only
// ever used through these). A write is in the file (visible to every
// reader, kept when the process is killed) when it returns. False on
// failure or at the end of the file.
TERVLINK_API bool ReadAt(FILE* f, uint64_t offset, void* buffer, size_t length);
TERVLINK_API bool WriteAt(FILE* f, uint64_t offset, const void* buffer, size_t length);
// WriteAt of the pieces one after another from offset on: the bytes go from
// where they lie, gathered by the system (Windows: copied together first).
TERVLINK_API bool WritePiecesAt(FILE* f, uint64_t offset, const ConstPiece* pieces, size_t count);
// ReadAt into the pieces one after another from offset on: the system
// scatters the bytes where they go (Windows: read together, then copied).
TERVLINK_API bool ReadPiecesAt(FILE* f, uint64_t offset, const Piece* pieces, size_t count);
// Has the whole pages of [p, p + n), a buffer about to be filled, made
// present now, in one call, instead of one fault per page when each is
// first touched (a fault costs microseconds, many more on a virtual
// machine). A hint only: nothing happens where the system cannot.
TERVLINK_API void PopulateMemory(void* p, size_t n);
// n bytes for a transfer's data, present at once (PopulateMemory); null
// when there is no memory for them.
inline std::unique_ptr<char[]> NewTransferBuffer(size_t n) {
  std::unique_ptr<char[]> b(new (std::nothrow) char[n]);
  if (b) PopulateMemory(b.get(), n);
  return b;
}

}  // namespace host

// ---- exclusive locks (one user per device, one zelsim per state) -----------

namespace host {

// A lock this process holds until the handle is destroyed. The operating
// system releases it when the process ends, however it ends, so a killed
// holder never blocks the next one.
class TERVLINK_API HeldLock {
 public:
  virtual ~HeldLock() = default;
};

// Takes an exclusive lock on the file at path without waiting; the file is
// created (empty) when missing, an existing file is left as it is. Returns
// null when another process holds the lock, with holder set to its process
// id (0 when the system cannot tell), or when the file cannot be opened or
// created (holder -1).
TERVLINK_API std::unique_ptr<HeldLock> LockFileExclusive(const std::string& path, long& holder);
// The process that holds the lock on the file at path now; 0 when none
// does or the system cannot tell.
TERVLINK_API long LockHolder(const std::string& path);

// The lock that gives one Tervan session its device for the session's
// lifetime: devicePath "\\.\lexonN" for the driver link, or the simulation
// link when simulation is set. Here a file lock on RunDir()/NAME.lock beside
// the socket, or RunDir()/mailslot/simulation.lock (the folders are made
// when missing). Results as LockFileExclusive.
TERVLINK_API std::unique_ptr<HeldLock> AcquireDeviceLock(const char* devicePath, bool simulation,
                                                         long& holder);
// The file AcquireDeviceLock locks.
TERVLINK_API std::string DeviceLockPath(const char* devicePath, bool simulation);

// True when the two PC names lead to the same file: the same file of the
// file system when both exist (links and other spellings included), else the
// same full path.
TERVLINK_API bool SameFile(const char* gbkA, const char* gbkB);

}  // namespace host
