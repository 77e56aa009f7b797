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

// Gives the file open at `to`, whose attributes are `had`, the attributes
// `want`, changing only those that differ.  False, errno set, where one
// cannot be given.
bool give_attributes(int to, const Attributes& want, const Attributes& had);

}  // namespace pelvane
