// Writing a file as open(path, "w") and a write would, but with a regular
// file replaced in one step where that loses nothing.
#include "pelvane.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>

namespace pelvane {
namespace {

// The interpreter's IOError for the failed system call (errno) on the file
// `name`, the path as the caller gave it, worded as open() words it.
[[noreturn]] void io_error(PyObject* name) {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_IOError, name);
  throw py::Raised();
}

// Whether a system call answering `rc` was cut short by a signal and is to
// be made again; a signal whose handler raised (KeyboardInterrupt) passes
// out instead.
bool interrupted(long rc) {
  if (rc >= 0 || errno != EINTR) return false;
  if (PyErr_CheckSignals() < 0) throw py::Raised();
  return true;
}

// A file descriptor, closed when it goes; -1 holds none.
class Fd {
 public:
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes the descriptor held (errno kept) and holds `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;
      close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }
  // Closes the descriptor held; false, errno set, when close fails.
  bool close_checked() {
    int rc = close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_ = -1;
};

// Writes all of `text` to `fd`; false, errno set, when a write fails.
bool write_all(int fd, std::string_view text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (interrupted(n)) continue;
    if (n < 0) return false;
    done += size_t(n);
  }
  return true;
}

// Writes all of `text` to `fd` at `offset`; false, errno set, when a write
// fails.
bool write_all_at(int fd, std::string_view text, off_t offset) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = pwrite(fd, text.data() + done, text.size() - done, offset + off_t(done));
    if (interrupted(n)) continue;
    if (n < 0) return false;
    done += size_t(n);
  }
  return true;
}

// Cuts the file open at `fd` back to `size` after a failed write; errno
// stays the write's.
void cut_back(int fd, off_t size) {
  int saved = errno;
  if (ftruncate(fd, size) < 0) {
    // Nothing more can be done: the write's error is the one reported.
  }
  errno = saved;
}

// Whether a regular file may grow to `length` bytes under the process's
// file-size limit; false, errno EFBIG, when a write would fail part way.
bool within_size_limit(size_t length) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) < 0 || limit.rlim_cur == RLIM_INFINITY ||
      length <= limit.rlim_cur)
    return true;
  errno = EFBIG;
  return false;
}

// Whether two status records are of one file.
bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens `path` for writing, as open(path, "w") opens an existing file (a
// symbolic link followed), but neither making nor truncating it.  -1,
// errno set, on failure: ENOENT when there is no such file.
int open_existing(const char* path) {
  for (;;) {
    int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 || !interrupted(fd)) return fd;
  }
}

// Splits `path` at its last "/" into the directory ("." where it has none)
// and the name in it (empty where the path ends in "/").
void split_path(std::string_view path, std::string& dir, std::string& base) {
  size_t slash = path.rfind('/');
  dir = slash == path.npos ? "." : std::string(path.substr(0, slash == 0 ? 1 : slash));
  base = slash == path.npos ? std::string(path) : std::string(path.substr(slash + 1));
}

// Finds where `path` leads once the symbolic links of its last part are
// followed: `dir`, its directory opened as a place only, and `base`, the
// name in it.  Each link's relative target is taken from the link's own
// directory, so that no joined path grows past PATH_MAX; the first name
// that does not exist ends the walk.  False, errno set, when a directory
// cannot be opened, a name looked at or a link read.
bool final_place(const std::string& path, Fd& dir, std::string& base) {
  std::string where;
  split_path(path, where, base);
  dir.reset(open(where.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!dir.ok()) return false;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (base.empty()) return true;
    if (fstatat(dir.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    if (hops == 40) {
      errno = ELOOP;
      return false;
    }
    char buf[PATH_MAX];
    ssize_t n = readlinkat(dir.get(), base.c_str(), buf, sizeof buf);
    if (n < 0) return false;
    if (size_t(n) == sizeof buf) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::string_view link(buf, size_t(n));
    if (link.find('/') == link.npos) {
      base = std::string(link);
      continue;
    }
    split_path(link, where, base);
    int from = link[0] == '/' ? AT_FDCWD : dir.get();
    dir.reset(openat(from, where.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok()) return false;
  }
}

// Whether a name may be taken away from the directory open at `dir` once
// given: false where it is append-only or immutable, so that a new file
// made there could be neither renamed into place nor removed.  Where the
// flags cannot be read, it is taken to allow it.
bool names_removable(int dir, int readable_dir) {
  struct statx sx;
  const unsigned long long fixed = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  if (statx(dir, "", AT_EMPTY_PATH, 0, &sx) == 0 && (sx.stx_attributes_mask & fixed) == fixed)
    return !(sx.stx_attributes & fixed);
  int flags = 0;
  if (readable_dir >= 0 && ioctl(readable_dir, FS_IOC_GETFLAGS, &flags) == 0)
    return !(flags & (FS_APPEND_FL | FS_IMMUTABLE_FL));
  return true;
}

// Serialises the writers of one directory's files: an exclusive advisory
// lock on the directory open at `dir`, held until the descriptor closes.
// Another holder is waited for up to ten seconds (the caller itself may
// hold it, through another descriptor); then, or where the directory
// cannot be locked, the write goes on unserialised.
void lock_writers(int dir) {
  long waited_ms = 0, step_ms = 1;
  while (flock(dir, LOCK_EX | LOCK_NB) < 0) {
    if (interrupted(-1)) continue;
    if (errno != EWOULDBLOCK || waited_ms >= 10'000) return;
    struct timespec pause = {0, step_ms * 1'000'000};
    if (nanosleep(&pause, nullptr) < 0) interrupted(-1);
    waited_ms += step_ms;
    step_ms = std::min(step_ms * 2, 50L);
  }
}

// The names of the extended attributes of the file open at `fd`, each
// ended by a NUL; a file system without them gives none.  False, errno set,
// when they cannot be listed.
bool xattr_names(int fd, std::string& names) {
  for (;;) {
    names.clear();
    ssize_t n = flistxattr(fd, nullptr, 0);
    if (n < 0) return errno == ENOTSUP;
    if (n == 0) return true;
    names.resize(size_t(n));
    n = flistxattr(fd, names.data(), names.size());
    if (n >= 0) {
      names.resize(size_t(n));
      return true;
    }
    if (errno != ERANGE) return false;  // The list grew meanwhile: ask again.
  }
}

// The value of the extended attribute `attr` of the file open at `fd`.
// False, errno set, when it cannot be read (ENODATA: it is gone).
bool xattr_value(int fd, const char* attr, std::string& value) {
  for (;;) {
    ssize_t n = fgetxattr(fd, attr, nullptr, 0);
    if (n < 0) return false;
    value.resize(size_t(n));
    if (n == 0) return true;
    n = fgetxattr(fd, attr, value.data(), value.size());
    if (n >= 0) {
      value.resize(size_t(n));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// Gives the file open at `to` exactly the extended attributes, ACLs among
// them, of the file open at `from` that the process may list: those it has
// of its own (an ACL taken from the directory's default) are removed.
// False, errno set, when one cannot be listed, read, removed or set.
bool copy_xattrs(int from, int to) {
  std::string names, own, value;
  if (!xattr_names(from, names) || !xattr_names(to, own)) return false;
  std::unordered_set<std::string_view> wanted;
  for (const char *p = names.c_str(), *end = p + names.size(); p < end; p += strlen(p) + 1)
    wanted.insert(p);
  for (const char *p = own.c_str(), *end = p + own.size(); p < end; p += strlen(p) + 1)
    if (!wanted.count(p) && fremovexattr(to, p) < 0 && errno != ENODATA) return false;
  for (const char *p = names.c_str(), *end = p + names.size(); p < end; p += strlen(p) + 1) {
    if (!xattr_value(from, p, value)) {
      if (errno == ENODATA) continue;  // Removed meanwhile.
      return false;
    }
    if (fsetxattr(to, p, value.data(), value.size(), 0) < 0) return false;
  }
  return true;
}

// Six letters or digits, different at each call.
std::string random_part() {
  static unsigned long long state = 0;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  state += 0x9E3779B97F4A7C15ULL ^ (unsigned long long)ts.tv_nsec ^
           ((unsigned long long)ts.tv_sec << 30) ^ ((unsigned long long)getpid() << 42);
  unsigned long long z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string part;
  for (int i = 0; i < 6; ++i, z /= 62) part += kChars[z % 62];
  return part;
}

// One attempt at writing a file: the file opened, its directory (a place,
// and, where the caller may read it, a readable descriptor to lock and
// sync), and the new file with the name it is given, removed at the end
// unless it was renamed into place.
struct Attempt {
  Fd fd, dir, sync_dir, tmp;
  std::string base, tmp_name;
  bool fresh = false, renamed = false;

  ~Attempt() {
    if (!renamed) drop_new_file();
  }

  // Closes and removes the new file, which is not to be renamed.
  void drop_new_file() {
    tmp.reset();
    if (!tmp_name.empty()) unlinkat(dir.get(), tmp_name.c_str(), 0);
    tmp_name.clear();
  }
};

// What an attempt came to: the text written, or nothing written because
// the path came to name another file than the one opened.
enum class Outcome { written, swapped };

// Writes `text` over the file that `path` names, open at a.fd (opened here
// where it is not, made where it is missing), as open(path, "w") and a
// write would; but no byte of a regular file changes before room for the
// whole text is secured.  Its blocks are reserved first (where the file
// system cannot reserve them, the part beyond the old end is written first
// and cut off again when it fails), so that the file-size limit, a full
// disk or a quota raise IOError with the old text whole; then the text is
// written from the start and the file cut to its length.  With `check`,
// nothing is written when `path` no longer names the file.
Outcome write_in_place(PyObject* name, const std::string& path, Attempt& a, std::string_view text,
                       bool check = true) {
  a.drop_new_file();
  if (!a.fd.ok()) {
    // A missing file is made, as open() makes it.
    int fd;
    do fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    while (interrupted(fd));
    if (fd < 0) io_error(name);
    a.fd.reset(fd);
  }
  struct stat st, named;
  if (fstat(a.fd.get(), &st) < 0) io_error(name);
  bool regular = S_ISREG(st.st_mode), reserved = true;
  if (regular && !within_size_limit(text.size())) io_error(name);
  if (regular && !text.empty()) {
    int rc;
    do rc = fallocate(a.fd.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(text.size()));
    while (interrupted(rc));
    if (rc < 0 && errno != EOPNOTSUPP && errno != ENOSYS) io_error(name);
    reserved = rc == 0;
  }
  if (check && (stat(path.c_str(), &named) < 0 || !same_file(named, st))) return Outcome::swapped;
  if (!regular) {
    if (!write_all(a.fd.get(), text)) io_error(name);
  } else {
    size_t head = text.size();
    if (!reserved && text.size() > size_t(st.st_size)) {
      head = size_t(st.st_size);
      bool fits;
      try {
        fits = write_all_at(a.fd.get(), text.substr(head), st.st_size);
      } catch (...) {
        cut_back(a.fd.get(), st.st_size);
        throw;
      }
      if (!fits) {
        cut_back(a.fd.get(), st.st_size);
        io_error(name);
      }
    }
    if (!write_all_at(a.fd.get(), text.substr(0, head), 0) ||
        ftruncate(a.fd.get(), off_t(text.size())) < 0)
      io_error(name);
  }
  if (!a.fd.close_checked()) io_error(name);
  return Outcome::written;
}

// Gives the new file a hidden name of its own in the directory: `make`
// (given the name, answering a descriptor or 0, or -1 with errno set) is
// tried with new names while the one it was given is taken.  The answer of
// the `make` that took its name, or -1, errno set.
template <class Make>
int take_hidden_name(Attempt& a, const Make& make) {
  for (int tries = 0;; ++tries) {
    std::string tmp_name = ".pelvane-" + random_part();
    int rc = make(tmp_name.c_str());
    if (rc >= 0) {
      a.tmp_name = std::move(tmp_name);
      return rc;
    }
    if (interrupted(rc)) continue;
    if (errno != EEXIST || tries == 100) return -1;
  }
}

// Makes the new file in the directory: without a name where the file
// system allows, to be named only just before the rename, so that a
// process killed while writing it leaves nothing behind; else under a
// hidden name of its own.  It takes the bits open() would give a new file
// (0666 less the umask, and the directory's default ACL); a replacement's
// stay private until it takes the old file's.  False, errno set, when no
// file may be made.
bool make_new_file(Attempt& a) {
  mode_t mode = a.fresh ? 0666 : 0600;
  int fd;
  do fd = openat(a.dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  while (interrupted(fd));
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    a.tmp.reset(fd);
    return fd >= 0;
  }
  a.tmp.reset(take_hidden_name(a, [&](const char* name) {
    return openat(a.dir.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  }));
  return a.tmp.ok();
}

// Gives a new file made without a name a hidden one, to be renamed from:
// the descriptor itself is linked where the process may, else its entry in
// /proc.  False, errno set, when it cannot be named.
bool name_new_file(Attempt& a) {
  if (!a.tmp_name.empty()) return true;
  const std::string proc = "/proc/self/fd/" + std::to_string(a.tmp.get());
  return take_hidden_name(a, [&](const char* name) {
           int rc = linkat(a.tmp.get(), "", a.dir.get(), name, AT_EMPTY_PATH);
           if (rc < 0 && errno != EEXIST)
             rc = linkat(AT_FDCWD, proc.c_str(), a.dir.get(), name, AT_SYMLINK_FOLLOW);
           return rc;
         }) == 0;
}

// One attempt of replace_file, below.  The `last` writes in place the file
// that the path names by then, as open(path, "w") would.
Outcome replace_once(PyObject* name, const std::string& path, std::string_view text, bool last) {
  Attempt a;
  if (last) return write_in_place(name, path, a, text, false);
  bool placed = final_place(path, a.dir, a.base) && !a.base.empty();
  if (placed) {
    // The directory is opened to be locked and synced; one that may not be
    // read is neither.
    a.sync_dir.reset(openat(a.dir.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (a.sync_dir.ok()) lock_writers(a.sync_dir.get());
  }
  a.fd.reset(open_existing(path.c_str()));
  // A path that cannot be opened but is not missing: open() tells why.
  if (!a.fd.ok() && errno != ENOENT) return write_in_place(name, path, a, text);
  a.fresh = !a.fd.ok();
  struct stat st, named;
  if (!a.fresh) {
    if (fstat(a.fd.get(), &st) < 0) io_error(name);
    if (!placed || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        fstatat(a.dir.get(), a.base.c_str(), &named, AT_SYMLINK_NOFOLLOW) < 0 ||
        !same_file(named, st))
      return write_in_place(name, path, a, text);
  }
  // Beyond the file-size limit the write would fail part way (and SIGXFSZ
  // might end the process with the new file made).
  if (!within_size_limit(text.size())) io_error(name);
  if (!placed || !names_removable(a.dir.get(), a.sync_dir.get()) || !make_new_file(a))
    return write_in_place(name, path, a, text);
  // The new file takes the old one's owner and group, extended attributes
  // and permission bits, in this order (a change of owner clears set-id
  // bits and file capabilities).
  if (!a.fresh &&
      (fchown(a.tmp.get(), st.st_uid, st.st_gid) < 0 || !copy_xattrs(a.fd.get(), a.tmp.get()) ||
       fchmod(a.tmp.get(), st.st_mode & 07777) < 0))
    return write_in_place(name, path, a, text);
  if (!write_all(a.tmp.get(), text) || fsync(a.tmp.get()) < 0 || !name_new_file(a) ||
      !a.tmp.close_checked())
    return write_in_place(name, path, a, text);
  // A file put in the old one's place meanwhile is not replaced by a copy
  // of the old one's attributes.
  if (!a.fresh && (fstatat(a.dir.get(), a.base.c_str(), &named, AT_SYMLINK_NOFOLLOW) < 0 ||
                   !same_file(named, st)))
    return Outcome::swapped;
  if (renameat(a.dir.get(), a.tmp_name.c_str(), a.dir.get(), a.base.c_str()) < 0)
    return write_in_place(name, path, a, text);
  a.renamed = true;
  // Until the directory is on disk a power loss may undo the rename.
  if (a.sync_dir.ok() && fsync(a.sync_dir.get()) < 0 && errno != EINVAL) io_error(name);
  return Outcome::written;
}

}  // namespace

// Writes `text` to the file `path` names, as open(path, "w") and a write
// would, but a regular file is replaced in one step: the text goes to a new
// file in the directory of the file's final name (symbolic links are
// followed and stay, a missing target is made), which takes the old file's
// owner, group, extended attributes and permission bits, or a new file's
// bits, is synced and renamed to that name, and the directory is synced.
// The writers of one directory's files take turns, through a lock on the
// directory where it may be read.  Where no replacement may be made,
// written, given the old file's attributes or renamed into place (whatever
// the cause), and for a file that is not regular (a device, a pipe) or has
// other links, the file is written in place, room for the text secured
// first; so the only IOError raised, on `name` (the path as the caller gave
// it) with the errno of the failed call, is what that write raises, and
// the old file then stays as it was.  Nothing is left behind.  A path that
// comes to name another file than the one opened is written afresh; after
// a few such turns, in place.
void replace_file(PyObject* name, const std::string& path, std::string_view text) {
  for (int tries = 0; replace_once(name, path, text, tries == 4) == Outcome::swapped; ++tries) {
  }
}

}  // namespace pelvane
