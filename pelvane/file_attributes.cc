// The attributes a file keeps across open(path, "w"): read, given, and the
// changes made to two files merged as one file would have them.
#include "file_attributes.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelvane {
namespace {

// ---- reading and giving -------------------------------------------------------

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

// The extended attribute that holds a file's access ACL (the kernel keeps
// it in step with the permission bits), and the one that holds its
// capabilities, which a change of owner clears.
constexpr std::string_view kAccessAcl = "system.posix_acl_access";
constexpr std::string_view kCapability = "security.capability";

// Where the extended attribute `name` is, or would be, in `xattrs`.
template <class List>
auto xattr_at(List& xattrs, std::string_view name) {
  return std::lower_bound(xattrs.begin(), xattrs.end(), name,
                          [](const auto& xattr, std::string_view n) { return xattr.first < n; });
}

// The value of the extended attribute `name` in `xattrs`, or null.
const std::string* xattr_named(const Xattrs& xattrs, std::string_view name) {
  auto at = xattr_at(xattrs, name);
  return at != xattrs.end() && at->first == name ? &at->second : nullptr;
}

// Gives `xattrs` the extended attribute `name` with `value`, or takes it
// away where `value` is null.
void put_xattr(Xattrs& xattrs, std::string_view name, const std::string* value) {
  auto at = xattr_at(xattrs, name);
  bool held = at != xattrs.end() && at->first == name;
  if (!value) {
    if (held) xattrs.erase(at);
  } else if (held) {
    at->second = *value;
  } else {
    xattrs.emplace(at, std::string(name), *value);
  }
}

// Whether two files have one thing alike: null stands for none.
template <class T>
bool alike(const T* a, const T* b) {
  return a && b ? *a == *b : a == b;
}

// ---- permissions ------------------------------------------------------------

// An access ACL's entry: its tag, the user or group it names (kNoId for
// the owner's, the owning group's, the mask and others') and its
// permissions (rwx bits).
struct AclEntry {
  uint16_t tag;
  uint32_t id;
  uint16_t perm;
  bool operator==(const AclEntry& o) const { return tag == o.tag && id == o.id && perm == o.perm; }
};

// The tags, in the order the kernel keeps the entries.
enum : uint16_t {
  kOwner = 0x01,
  kUser = 0x02,
  kOwningGroup = 0x04,
  kGroup = 0x08,
  kMask = 0x10,
  kOthers = 0x20
};
constexpr uint32_t kNoId = 0xFFFFFFFF;
// The version word that starts the attribute's value (little-endian, as
// the entries' fields: tag and permissions of 16 bits, id of 32).
constexpr uint32_t kAclVersion = 2;

// An entry's place in that order.
std::pair<uint16_t, uint32_t> acl_key(const AclEntry& e) { return {e.tag, e.id}; }

// A file's permission bits and access ACL taken as one ACL: its entries in
// the kernel's order (where the file has no ACL, the owner's, the owning
// group's and others', from the bits) and the set-id and sticky bits.  The
// owner's and others' bits are their entries'; the group's bits are the
// mask's where there is one, else the owning group's.
struct Permissions {
  std::vector<AclEntry> entries;
  mode_t special = 0;
};

// The little-endian field of `width` bytes at `at` in `bytes`.
uint32_t little_endian(const std::string& bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | uint8_t(bytes[at + size_t(i)]);
  return value;
}

// The entry of `entries` (sorted) with `tag` and no id, or null.
template <class Entries>
auto* entry_in(Entries& entries, uint16_t tag) {
  auto at = std::lower_bound(entries.begin(), entries.end(), std::make_pair(tag, kNoId),
                             [](const AclEntry& e, auto key) { return acl_key(e) < key; });
  return at != entries.end() && acl_key(*at) == std::make_pair(tag, kNoId) ? &*at : nullptr;
}
const AclEntry* entry(const Permissions& p, uint16_t tag) { return entry_in(p.entries, tag); }

// The entry that holds the group's permission bits.
uint16_t group_class_tag(const Permissions& p) { return entry(p, kMask) ? kMask : kOwningGroup; }

// The permission bits, set-id and sticky bits of `p`.
mode_t mode_bits(const Permissions& p) {
  return p.special | mode_t(entry(p, kOwner)->perm) << 6 |
         mode_t(entry(p, group_class_tag(p))->perm) << 3 | entry(p, kOthers)->perm;
}

// Whether `p` needs an ACL: it has a mask or names a user or group.
bool extended(const Permissions& p) { return p.entries.size() > 3; }

// What setfacl makes the mask: the union of the permissions of the
// entries it bounds (named users, the owning group, named groups).
uint16_t mask_of(const Permissions& p) {
  uint16_t perm = 0;
  for (const AclEntry& e : p.entries)
    if (e.tag == kUser || e.tag == kOwningGroup || e.tag == kGroup) perm |= e.perm;
  return perm;
}

// Reads the permissions of a file from its attributes; false where its
// ACL is not one the kernel gives.
bool read_permissions(const Attributes& a, Permissions& p) {
  const mode_t mode = a.st.st_mode;
  p.special = mode & 07000;
  const std::string* acl = xattr_named(a.xattrs, kAccessAcl);
  if (!acl) {
    p.entries = {{kOwner, kNoId, uint16_t(mode >> 6 & 7)},
                 {kOwningGroup, kNoId, uint16_t(mode >> 3 & 7)},
                 {kOthers, kNoId, uint16_t(mode & 7)}};
    return true;
  }
  if (acl->size() < 4 || (acl->size() - 4) % 8 || little_endian(*acl, 0, 4) != kAclVersion)
    return false;
  p.entries.clear();
  for (size_t at = 4; at < acl->size(); at += 8)
    p.entries.push_back({uint16_t(little_endian(*acl, at, 2)), little_endian(*acl, at + 4, 4),
                         uint16_t(little_endian(*acl, at + 2, 2) & 7)});
  std::sort(p.entries.begin(), p.entries.end(),
            [](const AclEntry& x, const AclEntry& y) { return acl_key(x) < acl_key(y); });
  return entry(p, kOwner) && entry(p, kOwningGroup) && entry(p, kOthers);
}

// The access ACL's value for `p` (extended).
std::string acl_value(const Permissions& p) {
  std::string value;
  auto put = [&](uint32_t field, int width) {
    for (int i = 0; i < width; ++i, field >>= 8) value += char(field & 0xFF);
  };
  put(kAclVersion, 4);
  for (const AclEntry& e : p.entries) {
    put(e.tag, 2);
    put(e.perm, 2);
    put(e.id, 4);
  }
  return value;
}

// Whether two permissions are alike in what chmod leaves: every entry but
// the owner's, others' and the group's bits.
bool alike_but_mode(const Permissions& a, const Permissions& b) {
  const uint16_t a_group = group_class_tag(a), b_group = group_class_tag(b);
  auto ea = a.entries.begin(), eb = b.entries.begin();
  for (;;) {
    auto skip = [](auto& at, auto end, uint16_t group) {
      while (at != end && (at->tag == kOwner || at->tag == kOthers || at->tag == group)) ++at;
    };
    skip(ea, a.entries.end(), a_group);
    skip(eb, b.entries.end(), b_group);
    if (ea == a.entries.end() || eb == b.entries.end())
      return ea == a.entries.end() && eb == b.entries.end();
    if (!(*ea++ == *eb++)) return false;
  }
}

// ---- merging ----------------------------------------------------------------

// Walks three lists sorted by `key` at once: for each key that any of them
// has, the element the later change left (`now`'s where it differs from
// `given`'s, present or not, else `changed`'s), where there is one.
template <class T, class Key>
std::vector<T> later_over_earlier(const std::vector<T>& given, const std::vector<T>& changed,
                                  const std::vector<T>& now, Key key) {
  std::vector<T> out;
  auto g = given.begin(), c = changed.begin(), n = now.begin();
  const auto g_end = given.end(), c_end = changed.end(), n_end = now.end();
  auto least = [&](const T* first, auto at, auto end) {
    return at != end && (!first || key(*at) < key(*first)) ? &*at : first;
  };
  while (g != g_end || c != c_end || n != n_end) {
    const auto k = key(*least(least(least(nullptr, g, g_end), c, c_end), n, n_end));
    auto take = [&](auto& at, auto end) -> const T* {
      return at != end && key(*at) == k ? &*at++ : nullptr;
    };
    const T *was = take(g, g_end), *to = take(c, c_end), *has = take(n, n_end);
    if (const T* keep = alike(was, has) ? to : has) out.push_back(*keep);
  }
  return out;
}

// What one file's permissions would be that were `given`, where a change
// made them `changed` and a later one made `given` into `now`; `chowned`,
// where that later change gave the file another owner or group, which
// clears the set-user-id bit and, with the group's execute bit, the
// set-group-id bit.  The later change is told by what it changed: an ACL
// set (setfacl) is taken entry by entry, the mask made again as setfacl
// makes it where the later ACL's is so made, and one taken away takes every
// entry but the owner's, owning group's and others'; a chmod sets the
// owner's, group's and others' bits and the special ones, over the ACL.
Permissions merge_permissions(const Permissions& given, const Permissions& changed,
                              const Permissions& now, bool chowned) {
  const mode_t cleared = chowned ? S_ISUID | S_ISGID : 0;
  Permissions want = changed;
  if (!alike_but_mode(given, now)) {
    want.entries = later_over_earlier(given.entries, changed.entries, now.entries, acl_key);
    const AclEntry* mask = entry(now, kMask);
    if (extended(given) && !extended(now)) {
      want.entries.erase(std::remove_if(want.entries.begin(), want.entries.end(),
                                        [](const AclEntry& e) {
                                          return e.tag != kOwner && e.tag != kOwningGroup &&
                                                 e.tag != kOthers;
                                        }),
                         want.entries.end());
    } else if (extended(want) && (!entry(want, kMask) || (mask && mask->perm == mask_of(now)))) {
      const uint16_t made = mask_of(want);
      if (AclEntry* held = entry_in(want.entries, kMask))
        held->perm = made;
      else
        want.entries.insert(want.entries.end() - 1, {kMask, kNoId, made});  // Before others'.
    }
  } else if (((mode_bits(given) ^ mode_bits(now)) & ~cleared) != 0) {
    entry_in(want.entries, kOwner)->perm = entry(now, kOwner)->perm;
    entry_in(want.entries, group_class_tag(want))->perm = entry(now, group_class_tag(now))->perm;
    entry_in(want.entries, kOthers)->perm = entry(now, kOthers)->perm;
    want.special = now.special;
    return want;
  }
  if ((given.special ^ now.special) & ~cleared) {
    want.special = now.special;
  } else if (chowned) {
    want.special &= ~S_ISUID;
    if (entry(want, group_class_tag(want))->perm & 1) want.special &= ~S_ISGID;
  }
  return want;
}

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

bool same_attributes(const Attributes& a, const Attributes& b) {
  return a.st.st_uid == b.st.st_uid && a.st.st_gid == b.st.st_gid &&
         ((a.st.st_mode ^ b.st.st_mode) & 07777) == 0 && a.xattrs == b.xattrs &&
         a.flags == b.flags && a.project == b.project;
}

// Owner, group and project are each taken whole; inode flags flag by flag;
// extended attributes name by name, but for the access ACL, taken with the
// permission bits (merge_permissions), and the capabilities, which a later
// change of owner leaves as it left them.  Permissions of an ACL the
// kernel would not give are taken whole, with the ACL.
Attributes merge_changes(const Attributes& given, const Attributes& changed,
                         const Attributes& now) {
  Attributes want = now;
  const bool chowned = now.st.st_uid != given.st.st_uid || now.st.st_gid != given.st.st_gid;
  if (now.st.st_uid == given.st.st_uid) want.st.st_uid = changed.st.st_uid;
  if (now.st.st_gid == given.st.st_gid) want.st.st_gid = changed.st.st_gid;
  const int moved = now.flags ^ given.flags;
  want.flags = (changed.flags & ~moved) | (now.flags & moved);
  if (now.project == given.project) want.project = changed.project;
  want.xattrs = later_over_earlier(
      given.xattrs, changed.xattrs, now.xattrs,
      [](const auto& xattr) -> const std::string& { return xattr.first; });
  if (chowned) put_xattr(want.xattrs, kCapability, xattr_named(now.xattrs, kCapability));
  Permissions g, c, n;
  mode_t mode;
  std::string acl;
  const std::string* acl_kept;
  if (read_permissions(given, g) && read_permissions(changed, c) && read_permissions(now, n)) {
    Permissions p = merge_permissions(g, c, n, chowned);
    mode = mode_bits(p);
    acl_kept = extended(p) ? &(acl = acl_value(p)) : nullptr;
  } else {
    const std::string *was = xattr_named(given.xattrs, kAccessAcl),
                      *has = xattr_named(now.xattrs, kAccessAcl);
    bool moved_here = ((now.st.st_mode ^ given.st.st_mode) & 07777) != 0 || !alike(was, has);
    const Attributes& from = moved_here ? now : changed;
    mode = from.st.st_mode & 07777;
    acl_kept = xattr_named(from.xattrs, kAccessAcl);
  }
  put_xattr(want.xattrs, kAccessAcl, acl_kept);
  want.st.st_mode = (now.st.st_mode & ~mode_t(07777)) | mode;
  return want;
}

}  // namespace pelvane
