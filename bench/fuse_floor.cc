// The yardstick of a FUSE mount: a file system that keeps its files in
// memory and does nothing else, served the way zelmount serves its mount
// (libfuse's low-level protocol, one thread, 1 MiB requests, names and
// attributes cached for a second, a file's bytes kept in the page cache
// between opens, listings with attributes). What cp -r or ls -lR costs on
// it is what the kernel and libfuse alone cost: no device, no FAT. bench/
// peers.sh times the zelmount jobs on it too, so that the ratio a mount
// cannot go below stands beside zelmount's.
//
//   fuse_floor MOUNTPOINT [FOLDER]
//
// stays in the foreground until fusermount3 -u; FOLDER's tree (folders and
// regular files) is read into memory first, to be read back through the
// mount with nothing of it in the kernel's caches yet.
//
// Enough of a file system for cp, cp -r, ls -lR and find: lookup, getattr,
// setattr (size only), mkdir, create, open, read, write, flush, release,
// readdir(plus), statfs. Nothing is ever removed. A small file opened for
// reading comes with its open (its bytes stored into the page cache), as
// zelmount does.

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr double kCacheSeconds = 1.0;
constexpr unsigned kIoBytes = 1u << 20;
constexpr size_t kWithOpenBytes = 128u << 10;  // as zelmount's
fuse_session* g_session = nullptr;

struct Node {
  bool dir = false;
  std::string data;                                // a file's bytes
  std::map<std::string, fuse_ino_t> children;      // a folder's names
};
std::vector<Node> g_nodes(2);  // [0] unused, [1] the root (FUSE_ROOT_ID)

Node* NodeOf(fuse_ino_t ino) { return ino > 0 && ino < g_nodes.size() ? &g_nodes[ino] : nullptr; }

void Fill(fuse_ino_t ino, struct stat* st) {
  const Node& n = g_nodes[ino];
  *st = {};
  st->st_ino = ino;
  st->st_mode = n.dir ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  st->st_nlink = n.dir ? 2 : 1;
  st->st_size = n.dir ? 0 : off_t(n.data.size());
  st->st_blksize = kIoBytes;
  st->st_blocks = (st->st_size + 511) / 512;
}

void ReplyEntry(fuse_req_t req, fuse_ino_t ino, const fuse_file_info* fi = nullptr) {
  fuse_entry_param e = {};
  e.ino = ino;
  e.attr_timeout = e.entry_timeout = kCacheSeconds;
  Fill(ino, &e.attr);
  if (fi) fuse_reply_create(req, &e, fi);
  else fuse_reply_entry(req, &e);
}

// A new name in a folder: its node, or 0 after answering the error.
fuse_ino_t Add(fuse_req_t req, fuse_ino_t parent, const char* name, bool dir) {
  Node* p = NodeOf(parent);
  if (!p || !p->dir) return fuse_reply_err(req, ENOTDIR), 0;
  if (p->children.count(name)) return fuse_reply_err(req, EEXIST), 0;
  fuse_ino_t ino = g_nodes.size();
  g_nodes.emplace_back();
  g_nodes.back().dir = dir;
  g_nodes[parent].children[name] = ino;  // g_nodes may have moved
  return ino;
}

void Init(void*, fuse_conn_info* conn) {
  conn->max_write = kIoBytes;
  conn->max_readahead = kIoBytes;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  Node* p = NodeOf(parent);
  if (!p || !p->dir) return (void)fuse_reply_err(req, ENOTDIR);
  auto it = p->children.find(name);
  if (it == p->children.end()) return (void)fuse_reply_err(req, ENOENT);
  ReplyEntry(req, it->second);
}

void Getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  if (!NodeOf(ino)) return (void)fuse_reply_err(req, ENOENT);
  struct stat st;
  Fill(ino, &st);
  fuse_reply_attr(req, &st, kCacheSeconds);
}

void Setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int set, fuse_file_info* fi) {
  Node* n = NodeOf(ino);
  if (!n) return (void)fuse_reply_err(req, ENOENT);
  if ((set & FUSE_SET_ATTR_SIZE) && !n->dir) n->data.resize(size_t(attr->st_size));
  Getattr(req, ino, fi);
}

void Mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  if (fuse_ino_t ino = Add(req, parent, name, true)) ReplyEntry(req, ino);
}

void Create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info* fi) {
  if (fuse_ino_t ino = Add(req, parent, name, false)) {
    fi->keep_cache = 1;
    ReplyEntry(req, ino, fi);
  }
}

void Open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  Node* n = NodeOf(ino);
  if (!n) return (void)fuse_reply_err(req, ENOENT);
  if (fi->flags & O_TRUNC) n->data.clear();
  fi->keep_cache = 1;
  if ((fi->flags & O_ACCMODE) == O_RDONLY && !n->data.empty() && n->data.size() <= kWithOpenBytes) {
    fuse_bufvec bufv = FUSE_BUFVEC_INIT(n->data.size());
    bufv.buf[0].mem = &n->data[0];
    fuse_lowlevel_notify_store(g_session, ino, 0, &bufv, fuse_buf_copy_flags(0));
  }
  fuse_reply_open(req, fi);
}

void Read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  const std::string& d = g_nodes[ino].data;
  size_t at = std::min(size_t(off), d.size());
  fuse_reply_buf(req, d.data() + at, std::min(size, d.size() - at));
}

void Write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off, fuse_file_info*) {
  std::string& d = g_nodes[ino].data;
  if (d.size() < size_t(off) + size) d.resize(size_t(off) + size);
  memcpy(&d[size_t(off)], buf, size);
  fuse_reply_write(req, size);
}

void Done(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void Readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, bool plus) {
  Node* n = NodeOf(ino);
  if (!n || !n->dir) return (void)fuse_reply_err(req, ENOTDIR);
  std::vector<std::pair<std::string, fuse_ino_t>> list = {{".", ino}, {"..", ino}};
  for (auto& c : n->children) list.push_back(c);
  std::vector<char> buf(size);
  size_t used = 0;
  for (size_t i = size_t(off); i < list.size(); ++i) {
    size_t left = size - used, took;
    if (plus) {
      fuse_entry_param e = {};
      Fill(list[i].second, &e.attr);
      if (i >= 2) {  // . and ..: the kernel looks them up itself
        e.ino = list[i].second;
        e.attr_timeout = e.entry_timeout = kCacheSeconds;
      }
      took = fuse_add_direntry_plus(req, buf.data() + used, left, list[i].first.c_str(), &e, off_t(i + 1));
    } else {
      struct stat st;
      Fill(list[i].second, &st);
      took = fuse_add_direntry(req, buf.data() + used, left, list[i].first.c_str(), &st, off_t(i + 1));
    }
    if (took > left) break;
    used += took;
  }
  fuse_reply_buf(req, buf.data(), used);
}

void ReaddirPlain(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  Readdir(req, ino, size, off, false);
}
void ReaddirPlus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*) {
  Readdir(req, ino, size, off, true);
}

void Statfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs st = {};
  st.f_bsize = st.f_frsize = 4096;
  st.f_blocks = st.f_bfree = st.f_bavail = 1u << 20;
  st.f_namemax = 255;
  fuse_reply_statfs(req, &st);
}

// Reads the PC folder path into the folder node dir: false on a failure.
bool Load(const std::string& path, fuse_ino_t dir) {
  DIR* d = opendir(path.c_str());
  if (!d) return false;
  bool ok = true;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name, full = path + "/" + name;
    struct stat st;
    if (name == "." || name == ".." || stat(full.c_str(), &st) != 0) continue;
    fuse_ino_t ino = g_nodes.size();
    g_nodes.emplace_back();
    g_nodes[dir].children[name] = ino;
    if (S_ISDIR(st.st_mode)) {
      g_nodes[ino].dir = true;
      ok = ok && Load(full, ino);
    } else {
      int fd = open(full.c_str(), O_RDONLY);
      if (fd < 0) { ok = false; continue; }
      std::string& data = g_nodes[ino].data;
      data.resize(size_t(st.st_size));
      ok = ok && read(fd, data.data(), data.size()) == ssize_t(data.size());
      close(fd);
    }
  }
  closedir(d);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || argv[1][0] == '-') {
    fprintf(stderr, "usage: fuse_floor MOUNTPOINT [FOLDER]\n");
    return 2;
  }
  g_nodes[FUSE_ROOT_ID].dir = true;
  if (argc == 3 && !Load(argv[2], FUSE_ROOT_ID)) {
    fprintf(stderr, "fuse_floor: cannot read %s\n", argv[2]);
    return 1;
  }
  fuse_lowlevel_ops ops = {};
  ops.init = Init;
  ops.lookup = Lookup;
  ops.getattr = Getattr;
  ops.setattr = Setattr;
  ops.mkdir = Mkdir;
  ops.create = Create;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.flush = Done;
  ops.release = Done;
  ops.fsync = [](fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); };
  ops.opendir = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { fuse_reply_open(req, fi); };
  ops.readdir = ReaddirPlain;
  ops.readdirplus = ReaddirPlus;
  ops.releasedir = Done;
  ops.statfs = Statfs;
  char* args[] = {argv[0], nullptr};
  fuse_args fa = FUSE_ARGS_INIT(1, args);
  fuse_session* se = fuse_session_new(&fa, &ops, sizeof ops, nullptr);
  if (!se) return 1;
  g_session = se;
  int status = 1;
  if (fuse_set_signal_handlers(se) == 0) {
    if (fuse_session_mount(se, argv[1]) == 0) {
      status = fuse_session_loop(se) == 0 ? 0 : 1;
      fuse_session_unmount(se);
    }
    fuse_remove_signal_handlers(se);
  }
  fuse_session_destroy(se);
  return status;
}
