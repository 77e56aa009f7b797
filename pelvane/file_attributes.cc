// The attributes a file keeps across open(path, "w"): read from one file and
// given to another.
#include "file_attributes.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace pelvane {
namespace {

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

// The inode flags a file keeps across open(path, "w") that a new file may
// be given (chattr's s u c S d A j t C m P x): not the immutable and
// append-only ones, whose file open() refuses, nor those the file system
// keeps for itself (extents, inline data and the like).
constexpr int kKeptFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                           FS_NOATIME_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL | FS_NOCOW_FL |
                           FS_NOCOMP_FL | FS_PROJINHERIT_FL | FS_DAX_FL;

// Whether an inode-flag request failed only because the file system has no
// such flags: then there are none to keep.
bool no_flags_here() { return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL; }

// Gives the file open at `to` the inode flags `flags` (of kKeptFlags),
// keeping its others.  False, errno set, where they cannot be set as asked.
bool set_flags(int to, int flags) {
  int now;
  if (ioctl(to, FS_IOC_GETFLAGS, &now) < 0) return false;
  now = (now & ~kKeptFlags) | flags;
  if (ioctl(to, FS_IOC_SETFLAGS, &now) < 0 || ioctl(to, FS_IOC_GETFLAGS, &now) < 0) return false;
  // A flag the file system took without keeping it.
  if ((now & kKeptFlags) != flags) return (errno = EOPNOTSUPP), false;
  return true;
}

// The extended attribute that holds a file's access ACL: the kernel keeps
// it in step with the permission bits.
constexpr std::string_view kAccessAcl = "system.posix_acl_access";

}  // namespace

bool read_attributes(int fd, Attributes& out, const struct stat* known) {
  std::string names, value;
  if (known)
    out.st = *known;
  else if (fstat(fd, &out.st) < 0)
    return false;
  if (!xattr_names(fd, names)) return false;
  out.xattrs.clear();
  for (const char *p = names.c_str(), *end = p + names.size(); p < end; p += strlen(p) + 1) {
    if (!xattr_value(fd, p, value)) {
      if (errno == ENODATA) continue;  // Removed meanwhile.
      return false;
    }
    out.xattrs.emplace_back(p, value);
  }
  std::sort(out.xattrs.begin(), out.xattrs.end());
  out.flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &out.flags) < 0 && !no_flags_here()) return false;
  out.flags &= kKeptFlags;
  struct fsxattr attr;
  out.project = 0;
  if (ioctl(fd, FS_IOC_FSGETXATTR, &attr) == 0)
    out.project = attr.fsx_projid;
  else if (!no_flags_here())
    return false;
  return true;
}

bool same_status(const struct stat& a, const struct stat& b) {
  return a.st_uid == b.st_uid && a.st_gid == b.st_gid && a.st_mode == b.st_mode &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool same_attributes(const Attributes& a, const Attributes& b) {
  return same_status(a.st, b.st) && a.xattrs == b.xattrs && a.flags == b.flags &&
         a.project == b.project;
}

// Owner and group first, then the extended attributes, inode flags,
// project and permission bits (a change of owner clears set-id bits and
// file capabilities, which are then given again; an ACL set or taken away
// sets the bits, which are then given as asked).
bool give_attributes(int to, const Attributes& want, const Attributes& had) {
  bool owner = want.st.st_uid != had.st.st_uid || want.st.st_gid != had.st.st_gid;
  if (owner && fchown(to, want.st.st_uid, want.st.st_gid) < 0) return false;
  bool acl = false;
  // Both lists are sorted by name: one walk finds what to set and remove.
  auto w = want.xattrs.begin(), h = had.xattrs.begin();
  while (w != want.xattrs.end() || h != had.xattrs.end()) {
    if (w == want.xattrs.end() || (h != had.xattrs.end() && h->first < w->first)) {
      if (fremovexattr(to, h->first.c_str()) < 0 && errno != ENODATA) return false;
      acl |= h->first == kAccessAcl;
      ++h;
      continue;
    }
    bool held = h != had.xattrs.end() && h->first == w->first;
    if (owner || !held || h->second != w->second) {
      if (fsetxattr(to, w->first.c_str(), w->second.data(), w->second.size(), 0) < 0) return false;
      acl |= w->first == kAccessAcl;
    }
    ++w;
    if (held) ++h;
  }
  if (want.flags != had.flags && !set_flags(to, want.flags)) return false;
  if (want.project != had.project) {
    struct fsxattr attr;
    if (ioctl(to, FS_IOC_FSGETXATTR, &attr) < 0) return false;
    attr.fsx_projid = want.project;
    if (ioctl(to, FS_IOC_FSSETXATTR, &attr) < 0) return false;
  }
  if ((owner || acl || (want.st.st_mode ^ had.st.st_mode) & 07777) &&
      fchmod(to, want.st.st_mode & 07777) < 0)
    return false;
  return true;
}

}  // namespace pelvane
