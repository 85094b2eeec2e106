// The server side of zelsim's device link on Windows: named pipe instances
// in place of the listening Unix socket, and Ctrl+C / Ctrl+Break / closing
// the console in place of SIGINT and SIGTERM.
//
// ListenSocket creates the first instance of the pipe (refused when another
// process already has one: another zelsim serves that device). AcceptSocket
// waits for a client on the waiting instance, hands it over as the
// connection and makes a fresh instance for the next client. The "socket"
// numbers are small indexes into a table of handles.

#include "windows_api.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "device_api.h"
#include "tervlink/host/host.h"

namespace host {
namespace {

constexpr DWORD kPipeBuffer = 64 * 1024;

struct Entry {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string name;  // listeners: the pipe's name, for the next instance
  bool listener = false;
  // Listeners: a connect started by WaitReadable and not yet taken by
  // AcceptSocket (its event is set once a client is there).
  OVERLAPPED* connect = nullptr;
};

std::mutex g_lock;
std::vector<Entry> g_entries;  // index = the number handed out
std::atomic<bool> g_stopping{false};
HANDLE g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

int Add(const Entry& e) {
  std::lock_guard<std::mutex> lock(g_lock);
  for (size_t i = 0; i < g_entries.size(); ++i) {
    if (g_entries[i].handle == INVALID_HANDLE_VALUE) {
      g_entries[i] = e;
      return int(i);
    }
  }
  g_entries.push_back(e);
  return int(g_entries.size() - 1);
}

Entry Get(int fd) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (fd < 0 || size_t(fd) >= g_entries.size()) return Entry{};
  return g_entries[size_t(fd)];
}

void Set(int fd, HANDLE h) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (fd >= 0 && size_t(fd) < g_entries.size()) g_entries[size_t(fd)].handle = h;
}

void SetConnect(int fd, OVERLAPPED* ov) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (fd >= 0 && size_t(fd) < g_entries.size()) g_entries[size_t(fd)].connect = ov;
}

HANDLE NewInstance(const std::string& name, bool first) {
  DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  return CreateNamedPipeA(name.c_str(), openMode,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                              PIPE_REJECT_REMOTE_CLIENTS,
                          PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, nullptr);
}

// Waits for an overlapped call on h; false when it fails or the process is
// asked to stop while the call waits.
bool Finish(HANDLE h, OVERLAPPED& ov, DWORD& n, bool stoppable) {
  HANDLE events[2] = {ov.hEvent, g_stopEvent};
  DWORD which = WaitForMultipleObjects(stoppable ? 2 : 1, events, FALSE, INFINITE);
  if (which != WAIT_OBJECT_0) {
    CancelIoEx(h, &ov);
    GetOverlappedResult(h, &ov, &n, TRUE);
    return false;
  }
  return GetOverlappedResult(h, &ov, &n, FALSE) != 0;
}

// One read or write on a pipe opened for overlapped I/O, waited for.
bool Transfer(HANDLE h, void* buffer, DWORD length, DWORD& n, bool write) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!ov.hEvent) return false;
  n = 0;
  BOOL ok = write ? WriteFile(h, buffer, length, &n, &ov) : ReadFile(h, buffer, length, &n, &ov);
  bool done = ok || (GetLastError() == ERROR_IO_PENDING && Finish(h, ov, n, false));
  CloseHandle(ov.hEvent);
  return done;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      g_stopping = true;
      SetEvent(g_stopEvent);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

int ListenSocket(const std::string& path) {
  std::string name = DeviceSocketPath(path.c_str());
  if (name.compare(0, strlen(win32::kPipePrefix), win32::kPipePrefix) != 0) return -1;
  // A pipe of that name already there is another server's. The system
  // refuses a first instance then too; the look beforehand also covers
  // systems that do not (Wine).
  if (WaitNamedPipeA(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND) return -2;
  HANDLE h = NewInstance(name, true);
  if (h == INVALID_HANDLE_VALUE)
    return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY ? -2 : -1;
  return Add(Entry{h, name, true});
}

int AcceptSocket(int listener) {
  Entry e = Get(listener);
  if (!e.listener || g_stopping) return -1;
  if (e.handle == INVALID_HANDLE_VALUE) {
    // The last new instance failed: try again, without spinning.
    e.handle = NewInstance(e.name, false);
    Set(listener, e.handle);
    if (e.handle == INVALID_HANDLE_VALUE) {
      WaitForSingleObject(g_stopEvent, 100);
      return -1;
    }
  }
  bool connected = false;
  if (e.connect) {
    // WaitReadable started the connect: finish it.
    DWORD n = 0;
    connected = Finish(e.handle, *e.connect, n, true);
    CloseHandle(e.connect->hEvent);
    delete e.connect;
    SetConnect(listener, nullptr);
  } else {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return -1;
    connected = ConnectNamedPipe(e.handle, &ov) != 0;
    if (!connected) {
      DWORD error = GetLastError();
      DWORD n = 0;
      connected = error == ERROR_PIPE_CONNECTED ||
                  (error == ERROR_IO_PENDING && Finish(e.handle, ov, n, true));
    }
    CloseHandle(ov.hEvent);
  }
  if (!connected) {
    // A client that came and went before we saw it leaves the instance
    // broken: start it over.
    DisconnectNamedPipe(e.handle);
    return -1;
  }
  // The connected instance becomes the connection; a new one waits.
  HANDLE next = NewInstance(e.name, false);
  Set(listener, next);
  return Add(Entry{e.handle, std::string(), false});
}

long PeerProcessId(int fd) {
  ULONG pid = 0;
  Entry e = Get(fd);
  if (e.handle == INVALID_HANDLE_VALUE || !GetNamedPipeClientProcessId(e.handle, &pid)) return 0;
  return long(pid);
}

void CloseSocket(int fd) {
  Entry e = Get(fd);
  if (e.handle == INVALID_HANDLE_VALUE) return;
  if (!e.listener) DisconnectNamedPipe(e.handle);
  CloseHandle(e.handle);
  std::lock_guard<std::mutex> lock(g_lock);
  g_entries[size_t(fd)] = Entry{};
}

bool ReadExact(int fd, void* buffer, size_t length) {
  HANDLE h = Get(fd).handle;
  if (h == INVALID_HANDLE_VALUE) return false;
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    DWORD n = 0;
    DWORD chunk = DWORD(length < kPipeBuffer ? length : kPipeBuffer);
    if (!Transfer(h, p, chunk, n, false) || n == 0) return false;
    p += n;
    length -= n;
  }
  return true;
}

bool WriteExact(int fd, const void* buffer, size_t length) {
  HANDLE h = Get(fd).handle;
  if (h == INVALID_HANDLE_VALUE) return false;
  auto* p = static_cast<uint8_t*>(const_cast<void*>(buffer));
  while (length > 0) {
    DWORD n = 0;
    DWORD chunk = DWORD(length < kPipeBuffer ? length : kPipeBuffer);
    if (!Transfer(h, p, chunk, n, true) || n == 0) return false;
    p += n;
    length -= n;
  }
  return true;
}

bool WriteExactPieces(int fd, const ConstPiece* pieces, size_t count) {
  // One write of the whole frame, so the peer reads it in one piece.
  std::vector<uint8_t> frame;
  for (size_t i = 0; i < count; ++i) {
    const auto* p = static_cast<const uint8_t*>(pieces[i].data);
    frame.insert(frame.end(), p, p + pieces[i].length);
  }
  return WriteExact(fd, frame.data(), frame.size());
}

long ReadSome(int fd, void* buffer, size_t length) {
  HANDLE h = Get(fd).handle;
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (length == 0) return 0;
  DWORD n = 0;
  DWORD chunk = DWORD(length < kPipeBuffer ? length : kPipeBuffer);
  if (!Transfer(h, buffer, chunk, n, false)) {
    DWORD error = GetLastError();
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? 0 : -1;
  }
  return long(n);
}

// Pipes have no poll(): a listener is ready once a connect it started has a
// client, a connection once bytes wait in it or its client has gone. The
// look is repeated every millisecond until something is ready or zelsim is
// asked to stop.
bool WaitReadable(const std::vector<int>& fds, std::vector<uint8_t>& ready) {
  ready.assign(fds.size(), 0);
  for (;;) {
    bool any = false;
    for (size_t i = 0; i < fds.size(); ++i) {
      Entry e = Get(fds[i]);
      if (e.handle == INVALID_HANDLE_VALUE) {
        ready[i] = e.listener ? 0 : 1;
      } else if (e.listener) {
        if (!e.connect) {
          auto* ov = new OVERLAPPED{};
          ov->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
          if (!ConnectNamedPipe(e.handle, ov)) {
            DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
              // A client came before the connect: it is there already.
              ov->Internal = 0;
              ov->InternalHigh = 0;
              SetEvent(ov->hEvent);
            } else if (error != ERROR_IO_PENDING) {
              // A client that came and went: start the instance over.
              CloseHandle(ov->hEvent);
              delete ov;
              DisconnectNamedPipe(e.handle);
              continue;
            }
          }
          SetConnect(fds[i], ov);
          e.connect = ov;
        }
        ready[i] = WaitForSingleObject(e.connect->hEvent, 0) == WAIT_OBJECT_0;
      } else {
        DWORD avail = 0;
        ready[i] = !PeekNamedPipe(e.handle, nullptr, 0, nullptr, &avail, nullptr) || avail > 0;
      }
      any = any || ready[i];
    }
    if (any) return true;
    if (WaitForSingleObject(g_stopEvent, 1) == WAIT_OBJECT_0 || g_stopping) return false;
  }
}

void InstallStopSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool Stopping() { return g_stopping; }

// Console events come in a thread of their own; nothing to block.
void BlockStopSignalsInThisThread() {}

}  // namespace host
