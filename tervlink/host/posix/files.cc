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

#include "tervlink/host/host.h"

namespace host {

FILE* OpenFile(const char* gbkName, const char* mode) {
  if (!gbkName || !*gbkName) return nullptr;
  std::string name = GbkToFs(gbkName);
  FILE* f = fopen(name.c_str(), mode);
  if (f) {
    // fopen happily opens a folder for reading; a PC file is never one.
    struct stat st{};
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
      fclose(f);
      return nullptr;
    }
  }
  return f;
}

int RemoveFile(const char* gbkName) { return unlink(GbkToFs(gbkName).c_str()) == 0 ? 0 : -1; }

int RenameFile(const char* from, const char* to) {
  return rename(GbkToFs(from).c_str(), GbkToFs(to).c_str()) == 0 ? 0 : -1;
}

int MakeDir(const char* gbkName) {
  std::string name = GbkToFs(gbkName);
  if (mkdir(name.c_str(), 0777) == 0) return 0;
  struct stat st{};
  return (errno == EEXIST && stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : -1;
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

bool SetFileTime(const char* gbkName, int64_t mtime) {
  timespec times[2];
  times[0].tv_sec = time_t(mtime);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return utimensat(AT_FDCWD, GbkToFs(gbkName).c_str(), times, 0) == 0;
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
    if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) continue;
    DirEntry entry;
    entry.name = FsToGbk(name);
    entry.isDir = S_ISDIR(st.st_mode);
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
  return chdir(GbkToFs(gbkDir).c_str()) == 0;
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

int64_t FromLocal(const LocalTime& lt) {
  tm t{};
  t.tm_year = lt.year - 1900;
  t.tm_mon = lt.month - 1;
  t.tm_mday = lt.day;
  t.tm_hour = lt.hour;
  t.tm_min = lt.minute;
  t.tm_sec = lt.second;
  t.tm_isdst = -1;
  return int64_t(mktime(&t));
}

int64_t EpochNow() { return int64_t(time(nullptr)); }

uint64_t SteadyMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000 + uint64_t(t.tv_nsec) / 1000000;
}

}  // namespace host
