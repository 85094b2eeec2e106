// PC files, folders, the current directory and the clock.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include <cstring>

#include "tervlink/host/host.h"
#include "tervlink/host/host_internal.h"

namespace host {

namespace {

// What OpenFile was asked to do, for its reason.
const char* OpenAction(const char* mode) {
  return mode && (strchr(mode, 'w') || strchr(mode, 'a')) ? "cannot create" : "cannot open";
}

}  // namespace

FILE* OpenFile(const char* gbkName, const char* mode) {
  if (!gbkName || !*gbkName) {
    SetReason("no PC file name given");
    return nullptr;
  }
  std::string name = GbkToFs(gbkName);
  FILE* f = fopen(name.c_str(), mode);
  if (!f) {
    SetFileReason(OpenAction(mode), gbkName, errno);
    return nullptr;
  }
  // fopen happily opens a folder for reading; a PC file is never one.
  struct stat st{};
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f);
    SetFileReason(OpenAction(mode), gbkName, EISDIR);
    return nullptr;
  }
  return f;
}

FILE* CreateNewFile(const char* gbkName, bool text) {
  if (!gbkName || !*gbkName) {
    SetReason("no PC file name given");
    return nullptr;
  }
  // "x": created only when no file has the name (O_EXCL); "e": O_CLOEXEC.
  FILE* f = fopen(GbkToFs(gbkName).c_str(), text ? "wxe" : "wbxe");
  if (!f) {
    int err = errno;
    if (err != EEXIST) SetFileReason("cannot create", gbkName, err);
    errno = err;
  }
  return f;
}

namespace {

// The checks of OpenPcFileToRead on a descriptor, opened without waiting
// (O_NONBLOCK stays set): a descriptor of a regular file, or -1 with the
// reason set.
int OpenPcFd(const char* gbkName, uint64_t& length) {
  length = 0;
  if (!gbkName || !*gbkName) {
    SetReason("no PC file name given");
    return -1;
  }
  if (!SpellableInGbk(gbkName)) {
    SetReason("PC file name %s holds characters the device's character set (GBK) cannot spell",
              gbkName);
    return -1;
  }
  // Opened without waiting, so that a FIFO without a writer (or a device)
  // cannot hold the open; it is refused below before any read.
  int fd = open(GbkToFs(gbkName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetFileReason("cannot open", gbkName, errno);
    return -1;
  }
  struct stat st{};
  if (fstat(fd, &st) != 0) {
    SetFileReason("cannot open", gbkName, errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISDIR(st.st_mode)    ? "a folder"
                       : S_ISFIFO(st.st_mode) ? "a FIFO"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                                      : "not a regular file";
    SetReason("PC file %s is %s, not a regular file: not copied", gbkName, kind);
    close(fd);
    return -1;
  }
  if (st.st_size == 0) {
    // A file of the kernel's (/proc, /sys) says 0 and has data: its size
    // is only known after it has been read, and the engine needs it before.
    char probe;
    ssize_t n;
    while ((n = read(fd, &probe, 1)) < 0 && errno == EINTR) {
    }
    if (n != 0) {
      if (n < 0)
        SetFileReason("cannot read", gbkName, errno);
      else
        SetReason("PC file %s reports a size of 0 but holds data (a system file such as "
                  "/proc's): copy it to a regular file first", gbkName);
      close(fd);
      return -1;
    }
  }
  length = uint64_t(st.st_size);
  return fd;
}

}  // namespace

FILE* OpenPcFileToRead(const char* gbkName, uint64_t& length) {
  int fd = OpenPcFd(gbkName, length);
  if (fd < 0) return nullptr;
  // Reads wait again (O_NONBLOCK was for the open only); F_SETFL changes
  // none of the other flags the file was opened with.
  fcntl(fd, F_SETFL, 0);
  FILE* f = fdopen(fd, "rb");
  if (!f) {
    SetFileReason("cannot open", gbkName, errno);
    close(fd);
    length = 0;
    return nullptr;
  }
  return f;
}

namespace detail {

bool ReadPcFileInto(const char* gbkName, char* into, uint64_t room, uint64_t& length) {
  // Straight from the descriptor into place: no stream, and O_NONBLOCK is
  // left on. A regular file's read does not heed it; should a file system
  // answer EAGAIN all the same, the read fails and the caller reads the
  // file the usual way.
  int fd = OpenPcFd(gbkName, length);
  bool ok = fd >= 0 && length <= room;
  for (uint64_t got = 0; ok && got < length;) {
    ssize_t n = read(fd, into + got, size_t(length - got));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) got += uint64_t(n);
  }
  if (fd >= 0) close(fd);
  return ok;
}

}  // namespace detail

int RemoveFile(const char* gbkName) { return unlink(GbkToFs(gbkName).c_str()) == 0 ? 0 : -1; }

int RenameFile(const char* from, const char* to) {
  return rename(GbkToFs(from).c_str(), GbkToFs(to).c_str()) == 0 ? 0 : -1;
}

int MakeDir(const char* gbkName, bool* created) {
  std::string name = GbkToFs(gbkName);
  if (created) *created = false;
  if (mkdir(name.c_str(), 0777) == 0) {
    if (created) *created = true;
    return 0;
  }
  int err = errno;
  struct stat st{};
  if (err == EEXIST && stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  SetReason("cannot create PC folder %s: %s", gbkName,
            ConsoleToGbk(strerror(err == EEXIST ? ENOTDIR : err)).c_str());
  return -1;
}

bool MakeDirs(const std::string& path) {
  if (path.empty()) return false;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileInfo Stat(const char* gbkName) {
  FileInfo info;
  struct stat st{};
  if (stat(GbkToFs(gbkName).c_str(), &st) != 0) return info;
  info.exists = true;
  info.isDir = S_ISDIR(st.st_mode);
  info.size = uint64_t(st.st_size);
  info.mtime = int64_t(st.st_mtime);
  return info;
}

namespace {
// Access and modification time both mtime (seconds since the epoch).
struct FileTimes {
  explicit FileTimes(int64_t mtime) : t{{time_t(mtime), 0}, {time_t(mtime), 0}} {}
  timespec t[2];
};
}  // namespace

bool SetFileTime(const char* gbkName, int64_t mtime) {
  return utimensat(AT_FDCWD, GbkToFs(gbkName).c_str(), FileTimes(mtime).t, 0) == 0;
}

bool SetOpenFileTime(FILE* f, int64_t mtime) {
  return f && futimens(fileno(f), FileTimes(mtime).t) == 0;
}

bool ListDir(const char* gbkDir, std::vector<DirEntry>& out) {
  out.clear();
  std::string dir = GbkToFs(gbkDir);
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // One stat per entry, relative to the open folder; only an entry whose
    // type the listing does not tell may be a link and needs lstat too.
    struct stat st{};
    DirEntry entry;
    if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) {
      // A link whose target is gone or that loops is still an entry the
      // caller must hear of; anything else vanished since the listing.
      if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
        continue;
      entry.unspellable = !detail::FsNameToGbk(name, entry.name);
      entry.isLink = entry.broken = true;
      entry.mtime = int64_t(st.st_mtime);
      out.push_back(std::move(entry));
      continue;
    }
    entry.unspellable = !detail::FsNameToGbk(name, entry.name);
    entry.isDir = S_ISDIR(st.st_mode);
    entry.isSpecial = !entry.isDir && !S_ISREG(st.st_mode);
    struct stat lst{};
    entry.isLink = e->d_type == DT_LNK ||
                   (e->d_type == DT_UNKNOWN &&
                    fstatat(dirfd(d), e->d_name, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode));
    entry.size = uint64_t(st.st_size);
    entry.mtime = int64_t(st.st_mtime);
    out.push_back(std::move(entry));
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return true;
}

std::string GetCurrentDir() {
  char buf[PATH_MAX];
  if (!getcwd(buf, sizeof buf)) return std::string();
  return FsToGbk(buf);
}

bool SetCurrentDir(const char* gbkDir) {
  if (!gbkDir || !*gbkDir) return false;
  if (chdir(GbkToFs(gbkDir).c_str()) == 0) return true;
  SetReason("cannot enter PC folder %s: %s", gbkDir, ConsoleToGbk(strerror(errno)).c_str());
  return false;
}

std::string FullPath(const char* gbkName) {
  std::string name = gbkName ? gbkName : "";
  if (!name.empty() && name[0] == '/') return name;
  std::string cwd = GetCurrentDir();
  if (name.empty()) return cwd;
  if (!cwd.empty() && cwd.back() != '/') cwd += '/';
  return cwd + name;
}

bool SyncFile(FILE* f) {
  if (!f || fflush(f) != 0) return false;
  return fsync(fileno(f)) == 0;
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t length) {
  std::string tmp = path + ".tmp";
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) return false;
  // An empty file may come with no buffer (an empty vector's data()).
  bool ok = (length == 0 || fwrite(data, 1, length, f) == length) && SyncFile(f);
  ok = (fclose(f) == 0) && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

// ---- clock -----------------------------------------------------------------

namespace {
LocalTime FromTm(const tm& t, int ms) {
  LocalTime lt;
  lt.year = t.tm_year + 1900;
  lt.month = t.tm_mon + 1;
  lt.dayOfWeek = t.tm_wday;
  lt.day = t.tm_mday;
  lt.hour = t.tm_hour;
  lt.minute = t.tm_min;
  lt.second = t.tm_sec;
  lt.milliseconds = ms;
  return lt;
}
}  // namespace

LocalTime Now() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm t{};
  time_t s = tv.tv_sec;
  localtime_r(&s, &t);
  return FromTm(t, int(tv.tv_usec / 1000));
}

LocalTime ToLocal(int64_t epochSeconds) {
  tm t{};
  time_t s = time_t(epochSeconds);
  localtime_r(&s, &t);
  return FromTm(t, 0);
}

namespace {
int64_t MakeTime(int year, int month, int day, int hour, int minute, int second) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return int64_t(mktime(&t));
}
}  // namespace

int64_t FromLocal(const LocalTime& lt) {
  // mktime looks at the zone file again on every call (a system call):
  // a copy of many files asks for times of the same hour over and over.
  // An hour that begins 3,600 seconds after the one before it and 3,600
  // before the next has no change of offset in it or at its ends (where
  // mktime might choose either side of a repeated hour), so its minutes
  // and seconds simply add.
  struct Hour {
    int year = 0, month = 0, day = 0, hour = -1;
    std::string zone;
    int64_t start = 0;
  };
  thread_local Hour cached;
  if (lt.minute < 0 || lt.minute > 59 || lt.second < 0 || lt.second > 59)
    return MakeTime(lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
  const char* zone = getenv("TZ");
  const std::string_view zoneNow = zone ? zone : "";
  if (cached.year != lt.year || cached.month != lt.month || cached.day != lt.day ||
      cached.hour != lt.hour || cached.zone != zoneNow) {
    const int64_t before = MakeTime(lt.year, lt.month, lt.day, lt.hour - 1, 0, 0);
    const int64_t start = MakeTime(lt.year, lt.month, lt.day, lt.hour, 0, 0);
    const int64_t next = MakeTime(lt.year, lt.month, lt.day, lt.hour + 1, 0, 0);
    if (start == -1 || start - before != 3600 || next - start != 3600)
      return MakeTime(lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
    cached = {lt.year, lt.month, lt.day, lt.hour, std::string(zoneNow), start};
  }
  return cached.start + lt.minute * 60 + lt.second;
}

int64_t EpochNow() { return int64_t(time(nullptr)); }

uint64_t SteadyMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000;
}

}  // namespace host
