// Writing a file as open(path, "w") and a write would, but with a regular
// file replaced in one step where that loses nothing.
//
// The work runs with the interpreter lock released (other threads go on
// while a call waits for a reader of a pipe, or the disk); it is taken back
// only to run signal handlers and, at the end, to raise the IOError of a
// failed call.
#include "file_attributes.h"
#include "pelvane.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelvane {
namespace {

// A failed system call's errno, raised as the interpreter's IOError once
// the interpreter lock is back (replace_file).
struct Failed {
  int err;
};

[[noreturn]] void fail() { throw Failed{errno}; }

// Whether a system call answering `rc` was cut short by a signal and is to
// be made again; a signal whose handler raised (KeyboardInterrupt) passes
// out instead.
bool interrupted(long rc) {
  if (rc >= 0 || errno != EINTR) return false;
  py::check_signals();
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
  // Closes the descriptor held, where there is one; false, errno set,
  // when close fails.
  bool close_checked() {
    int rc = fd_ >= 0 ? close(fd_) : 0;
    fd_ = -1;
    return rc == 0;
  }
  // Hands the descriptor held over to `to`, holding none.
  void hand_to(Fd& to) {
    to.reset(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Counts the `n` bytes a write took of the `left` it was given into `done`;
// false, errno set, where it failed.  A write cut short by a signal answers
// EINTR, or the bytes it took before it: either way the handlers run before
// the next write (a blocked one, for a pipe's reader, say), so that one
// Ctrl-C ends the call.
bool took(ssize_t n, size_t left, size_t& done) {
  if (interrupted(n)) return true;
  if (n < 0) return false;
  done += size_t(n);
  if (size_t(n) < left) py::check_signals();
  return true;
}

// Writes all of `text` to `fd`; false, errno set, when a write fails.
bool write_all(int fd, std::string_view text) {
  for (size_t done = 0; done < text.size();) {
    size_t left = text.size() - done;
    if (!took(write(fd, text.data() + done, left), left, done)) return false;
  }
  return true;
}

// Writes all of `text` to `fd` at `offset`; false, errno set, when a write
// fails.
bool write_all_at(int fd, std::string_view text, off_t offset) {
  for (size_t done = 0; done < text.size();) {
    size_t left = text.size() - done;
    if (!took(pwrite(fd, text.data() + done, left, offset + off_t(done)), left, done))
      return false;
  }
  return true;
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

// Splits `path` at its last "/" into the directory ("." where it has none)
// and the name in it (empty where the path ends in "/").
void split_path(std::string_view path, std::string& dir, std::string& base) {
  size_t slash = path.rfind('/');
  dir = slash == path.npos ? "." : std::string(path.substr(0, slash == 0 ? 1 : slash));
  base = slash == path.npos ? std::string(path) : std::string(path.substr(slash + 1));
}

// One attempt at writing a file: the file opened (`readable` where it may
// be read too) and its status, and, where it was opened again to be read,
// its first descriptor, kept open as long as the file is written (closing
// any descriptor of a file drops the process's POSIX locks on it); its
// directory (opened for reading, to be synced, where the caller may read
// it, else as a place only) and the file's name there; the new file with
// the name it is given, removed at the end unless it was renamed into
// place; and the attributes the new file was last given, the old file's
// (its own at first).
struct Attempt {
  Fd fd, first, dir, tmp;
  struct stat st;
  std::string base, tmp_name;
  Attributes given;
  bool fresh = false, readable = false, dir_readable = false, renamed = false;

  ~Attempt() {
    if (!renamed) drop_new_file();
  }

  // Closes the new file, which is not to be renamed, and removes its
  // hidden name where that still names it: another user may have put a
  // file of their own there (in a sticky directory, the new file being
  // theirs too), which is left.
  void drop_new_file() {
    struct stat named, own;
    if (!tmp_name.empty() && fstat(tmp.get(), &own) == 0 &&
        fstatat(dir.get(), tmp_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(named, own))
      unlinkat(dir.get(), tmp_name.c_str(), 0);
    tmp.reset();
    tmp_name.clear();
  }

  // Whether the file's name in its directory still names the file opened,
  // whose status it then puts in `now` where given.
  bool named_in_place(struct stat* now = nullptr) const {
    struct stat named;
    if (!now) now = &named;
    return fstatat(dir.get(), base.c_str(), now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(*now, st);
  }
};

// What an attempt came to: the text written, or nothing written because
// the path came to name another file than the one opened.
enum class Outcome { written, swapped };

// How many times one call starts afresh, or takes the file a name came to
// name, before it writes in place the file the path names by then.
constexpr int kTurns = 64;

// ---- where the file is ------------------------------------------------------

// Opens the directory `where` (from `at`) for reading where the caller may,
// else as a place only; false where it cannot be opened.
bool open_directory(Attempt& a, int at, const char* where) {
  int fd = openat(at, where, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  a.dir_readable = fd >= 0;
  if (fd < 0 && errno == EACCES) fd = openat(at, where, O_PATH | O_DIRECTORY | O_CLOEXEC);
  a.dir.reset(fd);
  return fd >= 0;
}

// Opens the directory that holds the last part of `path`, as the kernel
// resolves the path up to there, and takes the part's name (a.base).
// False where there is no such name (the path ends in "/") or the
// directory cannot be opened: open() tells why.
bool open_parent(const std::string& path, Attempt& a) {
  std::string where;
  split_path(path, where, a.base);
  return !a.base.empty() && open_directory(a, AT_FDCWD, where.c_str());
}

// Finds, from the symbolic link a.base in a.dir, the place of the file
// that the kernel opened through it (at a.fd, status a.st): a.dir, its
// directory, and a.base, its name there.  Each link's relative target is
// taken from the link's own directory, so that no joined path grows past
// PATH_MAX.  The links are only read here, after the kernel followed them
// (or refused to); the place holds only where the name found names the
// very file opened.  False where it does not, or where a directory cannot
// be opened or a link read, or a link of the process table leads on
// (/proc/self/fd/1, which /dev/stdout names, say): such a link names an
// open file, which only the kernel's descriptor reaches.
bool follow_links(Attempt& a) {
  std::string where;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (fstatat(a.dir.get(), a.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) return false;
    if (!S_ISLNK(st.st_mode)) return same_file(st, a.st);
    struct statfs fs;
    if (fstatfs(a.dir.get(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC) return false;
    char buf[PATH_MAX];
    ssize_t n = readlinkat(a.dir.get(), a.base.c_str(), buf, sizeof buf);
    if (n < 0 || size_t(n) == sizeof buf) return false;
    std::string_view link(buf, size_t(n));
    if (link.find('/') == link.npos) {
      a.base = std::string(link);
      continue;
    }
    split_path(link, where, a.base);
    if (a.base.empty() ||
        !open_directory(a, link[0] == '/' ? AT_FDCWD : a.dir.get(), where.c_str()))
      return false;
  }
  return false;
}

// Whether a name may be taken away from the file's directory once given:
// false where it is append-only or immutable, so that a new file made
// there could be neither renamed into place nor removed.  Where the flags
// cannot be read, it is taken to allow it.
bool names_removable(const Attempt& a) {
  const unsigned long long fixed = STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE;
  struct statx sx;
  if (statx(a.dir.get(), "", AT_EMPTY_PATH, STATX_TYPE, &sx) == 0 &&
      (sx.stx_attributes_mask & fixed) == fixed)
    return !(sx.stx_attributes & fixed);
  int flags = 0;
  if (a.dir_readable && ioctl(a.dir.get(), FS_IOC_GETFLAGS, &flags) == 0)
    return !(flags & (FS_APPEND_FL | FS_IMMUTABLE_FL));
  return true;
}

// ---- the old file -----------------------------------------------------------

// Opens the file `path` names as open(path, "w") opens it, for writing
// alone: a pipe's open waits for a reader, and nothing is opened for
// reading before it is known to be a regular file (make_readable).  Its
// O_CREAT lets the kernel refuse another's file or pipe in a sticky
// directory (fs.protected_regular, fs.protected_fifos), but it is not cut.
// Where the descriptors run out before a new file is made, the directory's
// is given up, as open() needs one alone.  False, errno set, where it
// cannot be opened.
bool open_file(Attempt& a, const std::string& path) {
  for (;;) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      a.fd.reset(fd);
      a.readable = false;
      return true;
    }
    if (interrupted(fd)) continue;
    if (errno != EMFILE || !a.dir.ok() || a.tmp.ok()) return false;
    a.dir.reset();
  }
}

// Opens the file `path` names as open_file opens it and reads its status
// into a.st; what open() refuses is raised.
void open_with_status(Attempt& a, const std::string& path) {
  if (!open_file(a, path) || fstat(a.fd.get(), &a.st) < 0) fail();
}

// The entry of the calling thread's descriptor `fd` in /proc: the
// kernel's link to the open file itself.  (/proc/self is the thread
// group's leader, whose descriptors a thread with a table of its own does
// not share.)
std::string proc_entry(int fd) { return "/proc/thread-self/fd/" + std::to_string(fd); }

// Asks read access of the regular file open at a.fd, which an in-place
// write needs to put back what it goes over: the very file is opened again,
// once, for reading and writing, through its entry in /proc.  The first
// descriptor stays open too (a.first), to the end of the write.  Where the
// open answers anything but the very file (the caller may not read it,
// /proc is missing, a file system answers EINTR), the file stays open for
// writing alone.
void make_readable(Attempt& a) {
  int fd = open(proc_entry(a.fd.get()).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) < 0 || !same_file(st, a.st)) {
    close(fd);
    return;
  }
  a.fd.hand_to(a.first);
  a.fd.reset(fd);
  a.readable = true;
}

// What is to be done with the file a path names.
enum class Found { replace, in_place, swapped };

// Opens, through the kernel, the file that `path` reaches through the
// symbolic link a.base in a.dir, as open() would: a missing target is made
// (empty), a link the kernel refuses to follow raises what open() raises.
// Then finds the file's place (follow_links).
Found open_through_link(Attempt& a, const std::string& path) {
  open_with_status(a, path);
  if (!follow_links(a)) {
    a.dir.reset();
    return Found::in_place;
  }
  return Found::replace;
}

// The most of /proc/locks that one look reads.  The kernel makes the list
// a page at a time, walking it from its start for each, so that reading a
// list of every lock on the system costs the square of its length.
constexpr size_t kLockListBound = size_t(1) << 20;

// Whether the line `line` of /proc/locks tells of a lock on a file of the
// inode number `inode` that keeps the file in place: "1: POSIX  ADVISORY
// WRITE 1234 08:01:5678 0 EOF", a waiter's with "->" after its number, the
// file as MAJOR:MINOR:INODE, the inode in the kernel's numbers, an
// unsigned long.  A shared flock held ("FLOCK" and "READ", no "->") does
// not: every writer's check holds one for an instant (locked()), which
// would send another writer of the file in place, and a replacement costs
// its holder nothing, who reads the old text whole, while a writer waiting
// behind it is listed as a waiter.
bool keeps_in_place(std::string_view line, unsigned long inode) {
  std::string_view words[4];
  size_t count = 0;
  for (size_t at = 0; at < line.size();) {
    size_t end = std::min(line.find(' ', at), line.size());
    std::string_view word = line.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (count < 4) words[count++] = word;
    if (std::count(word.begin(), word.end(), ':') != 2) continue;
    const char *digits = word.data() + word.rfind(':') + 1, *stop = word.data() + word.size();
    unsigned long number;
    auto parsed = std::from_chars(digits, stop, number);
    if (parsed.ec == std::errc() && parsed.ptr == stop && number == inode)
      return !(words[1] == "FLOCK" && words[3] == "READ");
  }
  return false;
}

// Whether the first kLockListBound bytes of /proc/locks list a lock (an
// flock, POSIX or OFD lock, held or waited for, or a lease) on a file of
// the inode number of `st` that keeps it in place (keeps_in_place).  The
// number alone is matched, as the list's device is the file system's, not
// always the one stat() gives (a btrfs subvolume's is not); a lock on
// another file of that number only sends the text in place.  The list
// changes between two reads (a line may then be missed), and shows only
// the locks of processes that its /proc's PID namespace sees.  The signals
// that came meanwhile are handled between two reads.  Where it cannot be
// read, no lock is seen.
bool listed(const struct stat& st) {
  Fd list;
  int fd;
  do fd = open("/proc/locks", O_RDONLY | O_CLOEXEC);
  while (interrupted(fd));
  list.reset(fd);
  if (!list.ok()) return false;
  const auto inode = static_cast<unsigned long>(st.st_ino);
  std::string text;  // what is read, but the lines already looked at
  char buf[16384];
  for (size_t total = 0; total < kLockListBound;) {
    if (total) py::check_signals();
    ssize_t n = read(fd, buf, std::min(sizeof buf, kLockListBound - total));
    if (interrupted(n)) continue;
    if (n <= 0) break;
    total += size_t(n);
    text.append(buf, size_t(n));
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != text.npos; at = end + 1)
      if (keeps_in_place(std::string_view(text).substr(at, end - at), inode)) return true;
    text.erase(0, at);
  }
  return false;
}

// Whether the old file, open at a.fd (status a.st), has a lock on it,
// whoever holds it or waits for it.  Those who take turns by a lock on the
// file must go on finding one file: replaced, it would leave a waiter the
// old file while a newcomer locks the new one.  The kernel is asked about
// the file itself first, which answers at once, for locks of every PID
// namespace:
// - whether a write lock over the whole file, an OFD lock of a.fd's (whose
//   open file description no one else holds), would be refused: any POSIX
//   lock, the caller's own among them, or another description's OFD lock
//   refuses it;
// - whether a shared flock on a.fd is refused, taken without waiting and
//   dropped at once: an exclusive flock, the caller's on another
//   descriptor among them, refuses it.  For that instant a.fd holds it, so
//   that another's exclusive flock, tried without waiting, fails then.
// Where neither finds a lock, or a call is refused (a file system without
// locks), /proc/locks is read for what only it shows: a waiter, a lease.
bool locked(const Attempt& a) {
  const int fd = a.fd.get();
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  int rc;
  do rc = fcntl(fd, F_OFD_GETLK, &whole);
  while (interrupted(rc));
  if (rc == 0 && whole.l_type != F_UNLCK) return true;
  do rc = flock(fd, LOCK_SH | LOCK_NB);
  while (interrupted(rc));
  if (rc < 0 && errno == EWOULDBLOCK) return true;
  if (rc == 0) flock(fd, LOCK_UN);
  return listed(a.st);
}

// Opens the file `path` names, its status in a.st; a missing one is marked
// fresh, to be made, where the whole path could name it (open() refuses a
// path longer than the kernel takes, whose directory alone it takes).  The
// kernel resolves the path: a link is followed as open() follows it
// (open_through_link); whether the file opened is the one named in the
// directory found is checked before anything is named there
// (put_in_place).  A path that cannot be looked at is left to the
// in-place write (open() tells why), and only a regular file of one link
// that no one locks is replaced; swapped where the name came to name a
// link meanwhile.
Found open_old_file(Attempt& a, const std::string& path) {
  struct stat named;
  if (!open_parent(path, a)) {
    a.dir.reset();
    return Found::in_place;
  }
  if (fstatat(a.dir.get(), a.base.c_str(), &named, AT_SYMLINK_NOFOLLOW) < 0) {
    if (errno == ENOENT && lstat(path.c_str(), &named) == 0) return Found::swapped;
    if (errno != ENOENT) {
      a.dir.reset();
      return Found::in_place;
    }
    a.fresh = true;
    return Found::replace;
  }
  if (S_ISLNK(named.st_mode)) {
    Found found = open_through_link(a, path);
    if (found != Found::replace) return found;
  } else {
    open_with_status(a, path);
  }
  if (!a.dir.ok() || !S_ISREG(a.st.st_mode) || a.st.st_nlink != 1 || locked(a))
    return Found::in_place;
  return Found::replace;
}

// Takes as the old file the one that the name came to name, where
// another writer's rename, say, put it in place of the one opened: opened
// through `path` as open() opens it (what open() refuses is raised), and
// known to be the one named.  False where the name does not name a
// regular file of one link, or no descriptor is left for it: the attempt
// starts afresh.
bool take_named_file(Attempt& a, const std::string& path) {
  struct stat named;
  if (fstatat(a.dir.get(), a.base.c_str(), &named, AT_SYMLINK_NOFOLLOW) < 0 ||
      !S_ISREG(named.st_mode))
    return false;
  a.fd.reset();
  if (!open_file(a, path)) {
    if (errno == EMFILE) return false;
    fail();
  }
  if (fstat(a.fd.get(), &a.st) < 0) fail();
  return a.named_in_place() && S_ISREG(a.st.st_mode) && a.st.st_nlink == 1;
}

// ---- the new file -----------------------------------------------------------

// The new files' hidden names: kHiddenPrefix and six of kNameChars.
constexpr std::string_view kHiddenPrefix = ".pelvane-";
constexpr char kNameChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// Six letters or digits, different at each call.
std::string random_part() {
  static std::atomic<unsigned long long> state{0};
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  unsigned long long z = state.fetch_add(0x9E3779B97F4A7C15ULL) ^ (unsigned long long)ts.tv_nsec ^
                         ((unsigned long long)ts.tv_sec << 30);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  std::string part;
  for (int i = 0; i < 6; ++i, z /= 62) part += kNameChars[z % 62];
  return part;
}

// Gives the new file a hidden name of its own in the directory: `make`
// (given the name, answering a descriptor or 0, or -1 with errno set) is
// tried with new names while the one it was given is taken.  The answer of
// the `make` that took its name, or -1, errno set.
template <class Make>
int take_hidden_name(Attempt& a, const Make& make) {
  for (int tries = 0;; ++tries) {
    std::string tmp_name = std::string(kHiddenPrefix) + random_part();
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

// Reads the old file's attributes (its status from `known` where given)
// and gives the new file those that changed since they were last given
// (all of them, the first time).  False, errno set, where one cannot be
// read or given.
bool take_attributes(Attempt& a, const struct stat* known = nullptr) {
  Attributes now;
  if (!read_attributes(a.fd.get(), now, known) || !give_attributes(a.tmp.get(), now, a.given))
    return false;
  a.given = std::move(now);
  return true;
}

// Gives the new file made without a name the name `name` in the
// directory, where it is free: the descriptor itself is linked where the
// process may, else its entry in /proc, where the name made is then
// checked to name the new file itself; where it names another, it is
// removed, and the link is refused as the first was.  0, or -1 with errno
// set (EEXIST: the name is taken).
int link_new_file(const Attempt& a, const char* name) {
  if (linkat(a.tmp.get(), "", a.dir.get(), name, AT_EMPTY_PATH) == 0) return 0;
  const int refused = errno;
  const std::string proc = proc_entry(a.tmp.get());
  if (refused == EEXIST ||
      linkat(AT_FDCWD, proc.c_str(), a.dir.get(), name, AT_SYMLINK_FOLLOW) < 0)
    return -1;
  struct stat named, own, linked;
  if (fstatat(a.dir.get(), name, &named, AT_SYMLINK_NOFOLLOW) < 0) return -1;
  if (fstat(a.tmp.get(), &own) == 0 && same_file(named, own)) return 0;
  if (stat(proc.c_str(), &linked) == 0 && same_file(named, linked)) unlinkat(a.dir.get(), name, 0);
  errno = refused;
  return -1;
}

// ---- in place ---------------------------------------------------------------

// Puts back, once armed and unless dismissed, what an in-place write went
// over.  Where the old text was `cut` first, to be written anew, the file
// is cut again (freeing what the new text took) and given the old text
// back: from `copy`, a copy sharing its blocks, where there is one (this
// takes no room for the text), else by writing `saved`, the whole old text
// (where it could not be read, the file stays cut).  Else `saved`, the
// start of the old text, is written over the new one's, and the old length
// `size` given back where the file `grows`.  Nothing is thrown.
class PutBack {
 public:
  PutBack(int fd, size_t size, bool grows, bool cut)
      : fd_(fd), size_(size), grows_(grows), cut_(cut) {}
  PutBack(const PutBack&) = delete;
  PutBack& operator=(const PutBack&) = delete;
  ~PutBack() {
    if (!armed_) return;
    // Where these fail nothing more can be done: the write's error is the
    // one reported.
    if (cut_ && ftruncate(fd_, 0) < 0) {
    }
    if (cut_ && copy.ok() && ioctl(fd_, FICLONE, copy.get()) == 0) return;
    for (size_t done = 0; done < saved.size();) {
      ssize_t n = pwrite(fd_, saved.data() + done, saved.size() - done, off_t(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += size_t(n);
    }
    if (!cut_ && grows_ && ftruncate(fd_, off_t(size_)) < 0) {
    }
  }
  void arm() { armed_ = true; }
  void dismiss() { armed_ = false; }
  std::string saved;
  Fd copy;

 private:
  int fd_;
  size_t size_;
  bool grows_, cut_, armed_ = false;
};

// Reads the first `length` bytes of the file open at `fd` into `out`;
// false where they cannot all be read.
bool read_start(int fd, size_t length, std::string& out) {
  out.resize(length);
  for (size_t done = 0; done < length;) {
    ssize_t n = pread(fd, out.data() + done, length - done, off_t(done));
    if (interrupted(n)) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// What FIEMAP tells of the blocks of a file: whether it could tell at all;
// whether any is shared with another file (a reflinked copy, a snapshot),
// so that cutting the file frees no room for it; and whether any holds its
// data encoded (compressed), so that writing that data again may take more
// room, reserved as it is for the bytes as written, than cutting it frees.
struct BlockMap {
  bool known = false, shared = false, encoded = false;
};

BlockMap map_blocks(int fd) {
  constexpr unsigned kExtents = 32;
  union {
    struct fiemap map;
    char room[sizeof(struct fiemap) + kExtents * sizeof(struct fiemap_extent)];
  } ask;
  BlockMap blocks;
  for (uint64_t start = 0;;) {
    memset(&ask, 0, sizeof ask);
    ask.map.fm_start = start;
    ask.map.fm_length = FIEMAP_MAX_OFFSET - start;
    ask.map.fm_extent_count = kExtents;
    if (ioctl(fd, FS_IOC_FIEMAP, &ask.map) < 0) return BlockMap{};
    blocks.known = true;
    if (ask.map.fm_mapped_extents == 0) return blocks;
    for (unsigned i = 0; i < ask.map.fm_mapped_extents; ++i) {
      const struct fiemap_extent& extent = ask.map.fm_extents[i];
      blocks.shared |= (extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0;
      blocks.encoded |= (extent.fe_flags & FIEMAP_EXTENT_ENCODED) != 0;
      if (extent.fe_flags & FIEMAP_EXTENT_LAST) return blocks;
      start = extent.fe_logical + extent.fe_length;
    }
  }
}

// Makes `copy` a copy of the file open at `fd` that shares its blocks
// (FICLONE), without a name, in the directory open at `dir`; left empty
// where none can be made.
void share_copy(int dir, int fd, Fd& copy) {
  copy.reset(openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!copy.ok()) return;
  // Only files alike in copying on write or not (btrfs's nodatacow,
  // chattr +C, which the copy takes from the directory) share blocks.
  int want, flags;
  if (ioctl(fd, FS_IOC_GETFLAGS, &want) == 0 && ioctl(copy.get(), FS_IOC_GETFLAGS, &flags) == 0 &&
      ((want ^ flags) & FS_NOCOW_FL)) {
    flags ^= FS_NOCOW_FL;
    ioctl(copy.get(), FS_IOC_SETFLAGS, &flags);
  }
  if (ioctl(copy.get(), FICLONE, fd) < 0) copy.reset();
}

// Whether the file system of the file open at `fd` writes over a file's
// blocks where they stand, so that writing over its old text needs no room
// of its own: ext2, ext3 and ext4, and tmpfs.
bool overwrites_in_place(int fd) {
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && (fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == TMPFS_MAGIC);
}

// fallocate() of the bytes from `from` up to `to` of the file open at `fd`,
// made again where a signal cuts it short: 0, or -1 with errno set.
int allocate(int fd, int mode, size_t from, size_t to) {
  int rc;
  do rc = fallocate(fd, mode, off_t(from), off_t(to - from));
  while (interrupted(rc));
  return rc;
}

// Reserves room for `length` bytes in the regular file open at `fd`, of
// `old` bytes, without changing its size or bytes, so that a full disk or
// a quota is met before the first byte changes; true where writing over
// the old text then needs no room of its own.  A file system that writes
// over blocks where they stand (overwrites_in_place) needs room beyond the
// old end only; another is asked to make the range the file's own,
// unshared, so that writing over it copies nothing
// (FALLOC_FL_UNSHARE_RANGE: xfs, whose files may share blocks).  Where that
// finds no room (xfs reserves it for the whole range, and so does its
// plain fallocate) but the file's blocks are known to be its own already,
// as unsharing would make them, room beyond the old end is reserved alone.
// Elsewhere (btrfs copies every block it writes) no room reserved ahead
// covers the write: false.  A failure other than the file system's refusal
// to reserve is raised.
bool secure_room(int fd, size_t length, size_t old) {
  if (length == 0) return true;
  const bool unshare = !overwrites_in_place(fd);
  int rc = allocate(fd, (unshare ? FALLOC_FL_UNSHARE_RANGE : 0) | FALLOC_FL_KEEP_SIZE, 0, length);
  if (rc < 0 && unshare && (errno == ENOSPC || errno == EDQUOT)) {
    const int err = errno;
    const BlockMap blocks = map_blocks(fd);
    if (blocks.known && !blocks.shared)
      rc = length <= old ? 0 : allocate(fd, FALLOC_FL_KEEP_SIZE, old, length);
    else
      errno = err;
  }
  if (rc == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) fail();
  return false;
}

// Puts `text` over the old text of the regular file open at a.fd, as
// open(path, "w") and a write would, but raises with the old text whole.
// Where room is `secured`, the text goes over the old one, whose start is
// read first and put back where a later step fails (a write into a hole of
// a sparse file, the cut refused: a file sealed against shrinking, say).
// Elsewhere writing over the old text may need room of its own, which only
// cutting the old text frees, as open() cuts it: the whole old text is
// read first (and a copy sharing its blocks made too where the cut would
// free none, shared as they are with another file, or writing the text
// back could need more room than the cut frees, compressed as it is), the
// file cut, and the old text put back where the write fails.  Where
// nothing can be put back (the file, or its old text, cannot be read), it
// is written exactly as open(path, "w") and a write would: cut to nothing
// first, so that a refused cut changes nothing, and left with what the
// write took of the new text where it fails.  A file that cannot be
// written at an offset (/proc/self/comm) takes the text as write() gives
// it.
void overwrite(Attempt& a, std::string_view text, bool secured) {
  int fd = a.fd.get();
  size_t length = text.size(), old = size_t(a.st.st_size);
  size_t kept = secured ? std::min(length, old) : old;
  PutBack put_back(fd, old, length > old, !secured);
  // Reading at an offset, or else writing no bytes there, tells a file that
  // takes no offsets (ESPIPE).
  bool saved = a.readable && read_start(fd, kept, put_back.saved);
  bool positional = a.readable && kept ? saved || errno != ESPIPE
                                       : pwrite(fd, "", 0, 0) == 0 || errno != ESPIPE;
  if (!positional) {
    if ((length < old && ftruncate(fd, off_t(length)) < 0) || !write_all(fd, text)) fail();
    return;
  }
  if (!saved) put_back.saved.clear();
  if (!secured && saved && a.dir.ok()) {
    const BlockMap blocks = map_blocks(fd);
    if (blocks.shared || blocks.encoded) share_copy(a.dir.get(), fd, put_back.copy);
  }
  // Where the file is cut before the text is written.
  size_t cut = secured && saved ? old : 0;
  if (saved) put_back.arm();
  if ((cut < old && ftruncate(fd, off_t(cut)) < 0) || !write_all_at(fd, text, 0) ||
      (length < cut && ftruncate(fd, off_t(length)) < 0))
    fail();
  put_back.dismiss();
}

// Writes `text` over the file that `path` names, open at a.fd (opened here
// where it is not, made where it is missing), as open(path, "w") and a
// write would; a regular file as overwrite() writes it, so that the
// file-size limit, a full disk, a quota or a refused cut raise IOError
// with the old text whole.  With `check`, nothing is written when `path`
// no longer names the file.
Outcome write_in_place(const std::string& path, Attempt& a, std::string_view text,
                       bool check = true) {
  a.drop_new_file();
  if (!a.fd.ok()) open_with_status(a, path);
  bool regular = S_ISREG(a.st.st_mode), secured = false;
  if (regular) {
    make_readable(a);
    if (!within_size_limit(text.size())) fail();
    secured = secure_room(a.fd.get(), text.size(), size_t(a.st.st_size));
  }
  struct stat named;
  if (check && (stat(path.c_str(), &named) < 0 || !same_file(named, a.st)))
    return Outcome::swapped;
  if (regular)
    overwrite(a, text, secured);
  else if (!write_all(a.fd.get(), text))
    fail();
  // Only now is any descriptor of the file closed; a failure of either
  // close is raised.
  const bool closed = a.fd.close_checked();
  const int err = errno;
  if (!a.first.close_checked()) fail();
  if (!closed) throw Failed{err};
  return Outcome::written;
}

// ---- replacement ------------------------------------------------------------

// Gives a missing file's new file its name, while that is free; 0, or -1
// with errno set (EEXIST: something took the name meanwhile).
int name_fresh_file(Attempt& a) {
  if (a.tmp_name.empty()) return link_new_file(a, a.base.c_str());
  const char *from = a.tmp_name.c_str(), *to = a.base.c_str();
  if (renameat2(a.dir.get(), from, a.dir.get(), to, RENAME_NOREPLACE) == 0) return 0;
  // A file system that cannot rename without replacing: a second name,
  // then the hidden one removed.
  if (errno != EINVAL || linkat(a.dir.get(), from, a.dir.get(), to, 0) < 0) return -1;
  unlinkat(a.dir.get(), from, 0);
  return 0;
}

// The new file is in place: the directory is synced, as until it is on
// disk a power loss may undo the rename.
Outcome renamed_into_place(Attempt& a) {
  a.renamed = true;
  if (a.dir_readable && fsync(a.dir.get()) < 0 && errno != EINVAL) fail();
  return Outcome::written;
}

// Drops the named new file, which the old file's change since its
// attributes were taken sends away: the call begins again.
Outcome dropped(Attempt& a) {
  a.drop_new_file();
  return Outcome::swapped;
}

// Puts the new file, its text written and synced, in place.  A missing
// file's takes its name only while that is free; where another writer
// named the file meanwhile, the call begins again, to replace it.
//
// A replacement is given the old file's attributes only while nobody else
// can open it.  Without a name, it takes them again while they change:
// until the name still names the old file (else the file it came to name
// is taken, a racing writer's, say), of one link (a link made to it sends
// the text in place), its status (owner, group, mode and ctime) as it was
// when its attributes were taken; then it is named.  Named from the start
// (where the file system has no unnamed files), it is given them once,
// while it is still the caller's alone, mode 0600, its owner first.  Then
// the old file is looked at a last time: its attributes themselves, which
// a change made within one tick of the file system's clock after another
// (whole seconds on some) leaves the ctime showing no change for, then its
// status as above.  The rename follows at once, so that only a writer
// killed in between leaves a copy.  Where that look finds a change,
// the new file, which others may have opened by its name since, is given
// nothing more: it is dropped and the call begins again.  A new file that
// cannot be named or renamed, or an old file whose attributes cannot be
// read again (whatever the cause), leaves the file to be written in place.
// Once renamed, the new file is not touched: what is done to the old file
// from then on goes with it, and what is done to the new one stands.
// Counts each turn in `turns`.
Outcome put_in_place(const std::string& path, Attempt& a, std::string_view text, int& turns) {
  if (a.fresh) {
    if (name_fresh_file(a) == 0) return renamed_into_place(a);
    return errno == EEXIST ? Outcome::swapped : write_in_place(path, a, text);
  }
  if (!a.tmp_name.empty()) {
    if (!read_attributes(a.tmp.get(), a.given) || !take_attributes(a))
      return write_in_place(path, a, text);
  } else {
    for (struct stat now;; ++turns) {
      if (turns >= kTurns) return Outcome::swapped;
      if (!a.named_in_place(&now)) {
        if (!take_named_file(a, path)) return Outcome::swapped;
      } else {
        // The other names of the file would keep the old text.
        if (now.st_nlink != 1) return write_in_place(path, a, text);
        if (same_status(now, a.given.st)) break;
      }
      if (!take_attributes(a)) return write_in_place(path, a, text);
    }
    if (take_hidden_name(a, [&](const char* name) { return link_new_file(a, name); }) < 0)
      return write_in_place(path, a, text);
  }
  // The last look: the old file's attributes themselves (its status, read
  // through its name next, is taken as given here), then its status, and
  // at once the rename.
  Attributes last;
  if (!read_attributes(a.fd.get(), last, &a.given.st)) return write_in_place(path, a, text);
  struct stat now;
  if (!same_attributes(last, a.given) || !a.named_in_place(&now) || now.st_nlink != 1 ||
      !same_status(now, a.given.st))
    return dropped(a);
  if (renameat(a.dir.get(), a.tmp_name.c_str(), a.dir.get(), a.base.c_str()) < 0)
    return write_in_place(path, a, text);
  return renamed_into_place(a);
}

// One attempt of replace_file, below, the `turns` taken so far counted on.
// Once they are all taken, the file that the path names by then is written
// in place, as open(path, "w") would.
Outcome replace_once(const std::string& path, std::string_view text, int& turns) {
  Attempt a;
  if (turns >= kTurns) return write_in_place(path, a, text, false);
  Found found = open_old_file(a, path);
  if (found == Found::swapped) return Outcome::swapped;
  if (found == Found::in_place) return write_in_place(path, a, text);
  // Beyond the file-size limit the write would fail part way (and SIGXFSZ
  // might end the process with the new file made).
  if (!within_size_limit(text.size())) fail();
  if (!names_removable(a)) return write_in_place(path, a, text);
  // A new file without a name takes the old file's attributes before its
  // text, so that its inode flags (btrfs's nodatacow, say) hold for it.
  if (!make_new_file(a) ||
      (!a.fresh && a.tmp_name.empty() &&
       (!read_attributes(a.tmp.get(), a.given) || !take_attributes(a, &a.st))) ||
      !write_all(a.tmp.get(), text) || fsync(a.tmp.get()) < 0) {
    if (errno == ENOSPC || errno == EDQUOT) {
      // A missing file has no room of its own to reuse: written in place, it
      // would only be made, empty, before the same error.
      if (a.fresh) fail();
      // The room the new file took is free once the file system has let it
      // go, which some do only when their changes are committed (btrfs).
      int err = errno;
      a.drop_new_file();
      syncfs(a.dir.get());
      errno = err;
    }
    return write_in_place(path, a, text);
  }
  return put_in_place(path, a, text, turns);
}

}  // namespace

// Writes `text` to the file `path` names, as open(path, "w") and a write
// would, but a regular file is replaced in one step: the text goes to a new
// file in the directory of the file's final name (symbolic links are
// followed by the kernel, as open() follows them, and stay; a missing
// target is made by that open), which takes the old file's owner, group,
// extended attributes, inode flags and permission bits, or a new file's
// bits, is synced and renamed to that name (a missing file's only while
// the name is free), and the directory is synced.  Nothing is done in a
// directory but the one the kernel's resolution of the path leads to.
// Writers of one file neither wait for nor stop each other: the last
// rename stands.  Where no replacement may be made, written, given the old
// file's attributes or renamed into place (whatever the cause), and for a
// file that is not regular (a device, a pipe), has other links, is locked
// when it is opened (locked()) or is reached through a link of the process
// table, the file is written in place, room for the text secured first;
// so the only IOError raised, on `name` (the path as the caller gave it)
// with the errno of the failed call, is what open() or that write raises,
// and the old file then stays as it was; but the directory's sync after
// the rename, and the close after a write in place, fail with the new text
// in place.  Other threads run meanwhile: `path` and `text` are the
// caller's own copies.
void replace_file(PyObject* name, const std::string& path, std::string_view text) {
  int err = 0;
  {
    py::Unlocked unlocked;
    try {
      for (int turns = 0; replace_once(path, text, turns) == Outcome::swapped; ++turns) {
      }
    } catch (const Failed& failed) {
      err = failed.err;
    }
  }
  if (err) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_IOError, name);
    throw py::Raised();
  }
}

}  // namespace pelvane
