// The attributes of a file that open(path, "w") keeps, as the file writer
// (file_replace.cc) reads them from one file and gives them to another.
#pragma once

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

namespace pelvane {

// Extended attributes, each a name and its value, sorted by name.
using Xattrs = std::vector<std::pair<std::string, std::string>>;

// What a file has of what open(path, "w") keeps: its status (owner, group
// and permission bits; its ctime tells whether any of these changed since),
// the extended attributes the process may list (ACLs among them), by name,
// and, where the file system keeps them, its inode flags (those a new file
// may be given) and project.
struct Attributes {
  struct stat st;
  Xattrs xattrs;
  int flags = 0;
  unsigned project = 0;
};

// Reads the attributes of the file open at `fd` into `out`; its status is
// taken from `known` where given (read just before).  False, errno set,
// where they cannot be read.
bool read_attributes(int fd, Attributes& out, const struct stat* known = nullptr);

// Whether two status records of a file show the same owner, group and mode,
// and the same ctime.  A change of anything else that the ctime stamps (an
// extended attribute, an inode flag) shows only in the ctime, and not where
// it came within the same tick of the file system's clock as the one
// before it: then only same_attributes tells.
bool same_status(const struct stat& a, const struct stat& b);

// Whether two readings of a file's attributes are alike: the status as
// same_status compares it, every extended attribute, the inode flags and
// the project.
bool same_attributes(const Attributes& a, const Attributes& b);

// Gives the file open at `to`, whose attributes are `had`, the attributes
// `want`, changing only those that differ.  False, errno set, where one
// cannot be given.
bool give_attributes(int to, const Attributes& want, const Attributes& had);

}  // namespace pelvane
