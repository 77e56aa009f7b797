// The attributes of a file that open(path, "w") keeps, as the file writer
// (file_replace.cc) reads them from one file, gives them to another, and
// merges the changes made to two files into what one file would have.
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

// Whether two files' attributes are alike in all that give_attributes()
// gives.
bool same_attributes(const Attributes& a, const Attributes& b);

// What one file would have whose attributes were `given`, where a change
// made them `changed` and a later change made them `now` (each change made
// to one of two files that were both `given` them): each change of the
// later one made over the earlier one's, as the kernel makes a chmod,
// chown, ACL, extended attribute or inode flag change over what a file has.
Attributes merge_changes(const Attributes& given, const Attributes& changed,
                         const Attributes& now);

}  // namespace pelvane
