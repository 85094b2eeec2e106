// PC files, folders, the current directory and the clock on Windows.
//
// Names are GBK inside and UTF-16 towards Windows (CreateFileW, _wfopen,
// FindFirstFileW ...), so any name GBK can spell works whatever the ANSI
// code page of the machine is. Both '\' and '/' separate folders; "C:",
// "\" and "\\server\share" begin absolute names.

#include "windows_api.h"
#include <io.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "tervlink/host/host.h"
#include "win32_text.h"

namespace host {
namespace {

using win32::GbkToWide;
using win32::WideToGbk;

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochOffset = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10000000LL;

int64_t FileTimeToEpoch(const FILETIME& ft) {
  int64_t ticks = (int64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - kEpochOffset) / kTicksPerSecond;
}

FILETIME EpochToFileTime(int64_t seconds) {
  uint64_t ticks = uint64_t(seconds * kTicksPerSecond + kEpochOffset);
  FILETIME ft;
  ft.dwLowDateTime = DWORD(ticks);
  ft.dwHighDateTime = DWORD(ticks >> 32);
  return ft;
}

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDirAttr(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring WideMode(const char* mode) {
  std::wstring m;
  for (const char* p = mode; p && *p; ++p) m.push_back(wchar_t(*p));
  return m;
}

LocalTime FromSystemTime(const SYSTEMTIME& st) {
  LocalTime lt;
  lt.year = st.wYear;
  lt.month = st.wMonth;
  lt.dayOfWeek = st.wDayOfWeek;
  lt.day = st.wDay;
  lt.hour = st.wHour;
  lt.minute = st.wMinute;
  lt.second = st.wSecond;
  lt.milliseconds = st.wMilliseconds;
  return lt;
}

}  // namespace

namespace {

const char* OpenAction(const char* mode) {
  return mode && (strchr(mode, 'w') || strchr(mode, 'a')) ? "cannot create" : "cannot open";
}

}  // namespace

FILE* OpenFile(const char* gbkName, const char* mode) {
  if (!gbkName || !*gbkName) {
    SetReason("no PC file name given");
    return nullptr;
  }
  std::wstring name = GbkToWide(gbkName);
  // A PC file is never a folder (the C library may refuse it differently).
  if (IsDirAttr(GetFileAttributesW(name.c_str()))) {
    SetFileReason(OpenAction(mode), gbkName, EISDIR);
    return nullptr;
  }
  FILE* f = _wfopen(name.c_str(), WideMode(mode).c_str());
  if (!f) SetFileReason(OpenAction(mode), gbkName, errno);
  return f;
}

FILE* CreateNewFile(const char* gbkName, bool text) {
  if (!gbkName || !*gbkName) {
    SetReason("no PC file name given");
    return nullptr;
  }
  std::wstring name = GbkToWide(gbkName);
  const int mode = _O_WRONLY | _O_CREAT | _O_EXCL | _O_NOINHERIT | (text ? _O_TEXT : _O_BINARY);
  int fd = _wopen(name.c_str(), mode, _S_IREAD | _S_IWRITE);
  FILE* f = fd >= 0 ? _wfdopen(fd, text ? L"w" : L"wb") : nullptr;
  if (!f) {
    int err = errno;
    if (fd >= 0) {
      _close(fd);
      _wremove(name.c_str());
    }
    if (err != EEXIST) SetFileReason("cannot create", gbkName, err);
    errno = err;
  }
  return f;
}

FILE* OpenPcFileToRead(const char* gbkName, uint64_t& length) {
  length = 0;
  if (gbkName && *gbkName && !SpellableInGbk(gbkName)) {
    SetReason("PC file name %s holds characters the device's character set (GBK) cannot spell",
              gbkName);
    return nullptr;
  }
  FILE* f = OpenFile(gbkName, "rb");
  if (!f) return nullptr;
  // A console, a pipe or a device has no size to copy.
  if (GetFileType(HANDLE(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK) {
    fclose(f);
    SetReason("PC file %s is not a regular file: not copied", gbkName);
    return nullptr;
  }
  if (!FileLength(f, length)) {
    SetFileReason("cannot read", gbkName, errno);
    fclose(f);
    return nullptr;
  }
  return f;
}

namespace detail {

bool ReadPcFileInto(const char* gbkName, char* into, uint64_t room, uint64_t& length) {
  FILE* f = OpenPcFileToRead(gbkName, length);
  bool ok = f && length <= room;
  if (ok && length > 0) {
    setvbuf(f, nullptr, _IONBF, 0);  // straight into place, as the engine's reads go
    ok = fread(into, 1, size_t(length), f) == length;
  }
  if (f) fclose(f);
  return ok;
}

}  // namespace detail

int RemoveFile(const char* gbkName) {
  return DeleteFileW(GbkToWide(gbkName).c_str()) ? 0 : -1;
}

int RenameFile(const char* from, const char* to) {
  // As rename() on Linux: an existing target is replaced.
  return MoveFileExW(GbkToWide(from).c_str(), GbkToWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING)
             ? 0
             : -1;
}

int MakeDir(const char* gbkName, bool* created) {
  std::wstring name = GbkToWide(gbkName);
  if (created) *created = false;
  if (CreateDirectoryW(name.c_str(), nullptr)) {
    if (created) *created = true;
    return 0;
  }
  DWORD err = GetLastError();
  if (IsDirAttr(GetFileAttributesW(name.c_str()))) return 0;
  SetReason("cannot create PC folder %s: %s", gbkName,
            err == ERROR_ALREADY_EXISTS ? "a file of that name exists"
            : err == ERROR_PATH_NOT_FOUND ? "its parent folder does not exist"
            : err == ERROR_ACCESS_DENIED  ? "access denied"
            : err == ERROR_DISK_FULL      ? "the disk is full"
                                          : "the system refused it");
  return -1;
}

bool MakeDirs(const std::string& path) {
  std::wstring wide = GbkToWide(path);
  if (wide.empty()) return false;
  // Skip what cannot be created: a drive ("C:\") or a share ("\\host\share\").
  size_t start = 0;
  if (wide.size() >= 2 && wide[1] == L':') {
    start = 2;
  } else if (wide.size() >= 2 && IsSep(wide[0]) && IsSep(wide[1])) {
    size_t host = wide.find_first_of(L"\\/", 2);
    start = host == std::wstring::npos ? wide.size() : wide.find_first_of(L"\\/", host + 1);
    if (start == std::wstring::npos) start = wide.size();
  }
  for (size_t i = start + 1; i <= wide.size(); ++i) {
    if (i == wide.size() || IsSep(wide[i])) {
      std::wstring part = wide.substr(0, i);
      if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
          !IsDirAttr(GetFileAttributesW(part.c_str())))
        return false;
    }
  }
  return IsDirAttr(GetFileAttributesW(wide.c_str()));
}

FileInfo Stat(const char* gbkName) {
  FileInfo info;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!gbkName || !GetFileAttributesExW(GbkToWide(gbkName).c_str(), GetFileExInfoStandard, &data))
    return info;
  info.exists = true;
  info.isDir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info.size = info.isDir ? 0 : (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info.mtime = FileTimeToEpoch(data.ftLastWriteTime);
  return info;
}

bool SetFileTime(const char* gbkName, int64_t mtime) {
  HANDLE h = CreateFileW(GbkToWide(gbkName).c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME ft = EpochToFileTime(mtime);
  bool ok = ::SetFileTime(h, nullptr, &ft, &ft) != 0;
  CloseHandle(h);
  return ok;
}

bool SetOpenFileTime(FILE*, int64_t) { return false; }

bool ListDir(const char* gbkDir, std::vector<DirEntry>& out) {
  out.clear();
  std::wstring pattern = GbkToWide(gbkDir ? gbkDir : "");
  if (!pattern.empty() && !IsSep(pattern.back()) && pattern.back() != L':') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; an empty drive root has none.
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    DirEntry entry;
    bool lossless = true;
    entry.name = win32::FromWide(win32::kGbkCodePage, name, &lossless);
    entry.unspellable = !lossless;
    entry.isDir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Junctions and symbolic links carry a reparse point; SYNC does not
    // follow a link to a folder.
    entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.size = entry.isDir ? 0 : (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.mtime = FileTimeToEpoch(data.ftLastWriteTime);
    out.push_back(std::move(entry));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

std::string GetCurrentDir() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return std::string();
  std::wstring buf(n, L'\0');
  n = GetCurrentDirectoryW(n, buf.data());
  buf.resize(n);
  return WideToGbk(buf);
}

bool SetCurrentDir(const char* gbkDir) {
  if (!gbkDir || !*gbkDir) return false;
  if (SetCurrentDirectoryW(GbkToWide(gbkDir).c_str())) return true;
  SetReason("cannot enter PC folder %s: %s", gbkDir,
            GetLastError() == ERROR_ACCESS_DENIED ? "access denied" : "no such folder");
  return false;
}

std::string FullPath(const char* gbkName) {
  std::wstring name = GbkToWide(gbkName ? gbkName : "");
  if (name.empty()) return GetCurrentDir();
  DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (n == 0) return gbkName;
  std::wstring buf(n, L'\0');
  n = GetFullPathNameW(name.c_str(), n, buf.data(), nullptr);
  buf.resize(n);
  return WideToGbk(buf);
}

bool SyncFile(FILE* f) {
  if (!f || fflush(f) != 0) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h);
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t length) {
  std::string tmp = path + ".tmp";
  FILE* f = _wfopen(GbkToWide(tmp).c_str(), L"wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, length, f) == length && SyncFile(f);
  ok = (fclose(f) == 0) && ok;
  if (!ok || !MoveFileExW(GbkToWide(tmp).c_str(), GbkToWide(path).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(GbkToWide(tmp).c_str());
    return false;
  }
  return true;
}

// ---- clock -----------------------------------------------------------------

LocalTime Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return FromSystemTime(st);
}

LocalTime ToLocal(int64_t epochSeconds) {
  // The C library's rules, as FromLocal uses them, so the two are inverses.
  __time64_t s = epochSeconds;
  tm t{};
  if (_localtime64_s(&t, &s) != 0) return {};
  LocalTime lt;
  lt.year = t.tm_year + 1900;
  lt.month = t.tm_mon + 1;
  lt.dayOfWeek = t.tm_wday;
  lt.day = t.tm_mday;
  lt.hour = t.tm_hour;
  lt.minute = t.tm_min;
  lt.second = t.tm_sec;
  return lt;
}

int64_t FromLocal(const LocalTime& lt) {
  // mktime normalises out-of-range fields as on Linux (day 0, month 13 ...).
  tm t{};
  t.tm_year = lt.year - 1900;
  t.tm_mon = lt.month - 1;
  t.tm_mday = lt.day;
  t.tm_hour = lt.hour;
  t.tm_min = lt.minute;
  t.tm_sec = lt.second;
  t.tm_isdst = -1;
  return int64_t(_mktime64(&t));
}

int64_t EpochNow() { return int64_t(_time64(nullptr)); }

uint64_t SteadyMs() { return uint64_t(GetTickCount64()); }

// ---- large files -------------------------------------------------------------

bool SeekFile(FILE* f, uint64_t offset) {
  if (!f || offset > uint64_t(INT64_MAX)) return false;
  return _fseeki64(f, int64_t(offset), SEEK_SET) == 0;
}

bool FileLength(FILE* f, uint64_t& length) {
  if (!f || fflush(f) != 0) return false;
  int64_t n = _filelengthi64(_fileno(f));
  if (n < 0) return false;
  length = uint64_t(n);
  return true;
}

// Positioned transfers on the stream's own handle: an OVERLAPPED with the
// offset makes a synchronous ReadFile/WriteFile start there.
namespace {
bool TransferAt(FILE* f, uint64_t offset, void* buffer, size_t length, bool write) {
  if (!f) return false;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  if (h == INVALID_HANDLE_VALUE) return false;
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    OVERLAPPED ov{};
    ov.Offset = DWORD(offset);
    ov.OffsetHigh = DWORD(offset >> 32);
    DWORD chunk = DWORD(std::min<size_t>(length, 1u << 30)), n = 0;
    BOOL ok = write ? WriteFile(h, p, chunk, &n, &ov) : ReadFile(h, p, chunk, &n, &ov);
    if (!ok || n == 0) return false;
    p += n, offset += n, length -= n;
  }
  return true;
}
}  // namespace

bool ReadAt(FILE* f, uint64_t offset, void* buffer, size_t length) {
  return TransferAt(f, offset, buffer, length, false);
}

bool WriteAt(FILE* f, uint64_t offset, const void* buffer, size_t length) {
  return TransferAt(f, offset, const_cast<void*>(buffer), length, true);
}

bool WritePiecesAt(FILE* f, uint64_t offset, const ConstPiece* pieces, size_t count) {
  std::vector<uint8_t> all;
  for (size_t i = 0; i < count; ++i) {
    auto* p = static_cast<const uint8_t*>(pieces[i].data);
    all.insert(all.end(), p, p + pieces[i].length);
  }
  return all.empty() || WriteAt(f, offset, all.data(), all.size());
}

bool ReadPiecesAt(FILE* f, uint64_t offset, const Piece* pieces, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += pieces[i].length;
  std::vector<uint8_t> all(total);
  if (total > 0 && !ReadAt(f, offset, all.data(), total)) return false;
  const uint8_t* from = all.data();
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i].length > 0) memcpy(pieces[i].data, from, pieces[i].length);
    from += pieces[i].length;
  }
  return true;
}

// Windows commits a buffer's pages as they are touched; nothing to ask.
void PopulateMemory(void*, size_t) {}

}  // namespace host
