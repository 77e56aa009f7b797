// The outside-tool wrappers and Config: ports.conf, MAC addresses, devices.
#include "pelvane.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>

namespace pelvane {
namespace {

// ---- small pieces ---------------------------------------------------------

// A list of argument words.
py::Ref words(std::initializer_list<PyObject*> items) { return py::list(items); }

// The platform's ports, read afresh through the configuration's platform.
py::Ref platform_ports(PyObject* self) {
  return py::attr(py::attr(py::attr(self, ID("platform")), ID("switch")), ID("ports"));
}

// An EEPROM tool failure: the traceback limit drops to 0 for the process,
// the message goes to syslog at LOG_ERR and is raised as RuntimeError.
[[noreturn]] void eeprom_failure(PyObject* message) {
  py::setattr(global("sys"), ID("tracebacklimit"), py::integer(0));
  py::Ref syslog = global("syslog");
  py::callm(syslog, ID("syslog"), py::attr(syslog, ID("LOG_ERR")), message);
  py::raise(PyExc_RuntimeError, message);
}

// The standard output of `program` with its argument words, through the
// interpreter's subprocess.check_output.
py::Ref check_output(PyObject* program, PyObject* args) {
  py::Ref argv = py::Ref::steal(PyNumber_Add(py::list({program}), args));
  return py::command_output(global, argv);
}

// Runs the EEPROM tool with `option`; any failure but an interrupt or an
// exit request becomes the wrapper's failure `failed`.
py::Ref run_eeprom(PyObject* option, PyObject* failed) {
  try {
    return check_output(ID("/usr/quorvel/bin/vostrel"), words({option}));
  } catch (const py::Raised&) {
    if (!py::clear_catchable()) throw;
  }
  eeprom_failure(failed);
}

// The interpreter's int(text), or int(text, base) when a base is given;
// empty, the error cleared, when it raises ValueError.
py::Ref int_or_empty(PyObject* text, long base = -1) {
  py::Ref type = py::builtin("int");
  PyObject* v = base >= 0 ? PyObject_CallFunction(type, const_cast<char*>("Ol"), text, base)
                          : PyObject_CallFunctionObjArgs(type, text, nullptr);
  if (!v) {
    if (!py::clear_if(PyExc_ValueError)) throw py::Raised();
    return {};
  }
  return py::Ref::steal(v);
}

// A base MAC address text reads as six ':'-separated hexadecimal bytes.
bool well_formed_mac(PyObject* text) {
  py::Ref fields = py::callm(text, ID("split"), ID(":"));
  if (py::length(fields) != 6) return false;
  py::Ref zero = py::integer(0), top = py::integer(255);
  for (Py_ssize_t i = 0; i < 6; ++i) {
    py::Ref byte = int_or_empty(py::item(fields, i), 16);
    if (!byte) return false;
    if (PyObject_RichCompareBool(byte, zero, Py_LT) || PyObject_RichCompareBool(byte, top, Py_GT))
      return false;
  }
  return true;
}

py::Ref bogus(const char* option, PyObject* raw) {
  py::Ref fmt = py::str(py::format("error: vostrel %s returned bogus value: %%s", option));
  return py::percent(fmt, {raw});
}

// ---- Vostrel, IPRoute2, Brindlet -------------------------------------------

py::Ref vostrel_init(py::Args a) {
  py::setattr(a[0], ID("dummy"), a[1]);
  py::setattr(a[0], ID("sw_base"), a[2]);
  return {};
}

py::Ref vostrel_macaddr(py::Args a) {
  if (py::truth(py::attr(a[0], ID("dummy")))) return py::str("ff:ff:ff:ff:ff:00");
  py::Ref raw = run_eeprom(ID("-a"), ID("error: vostrel -a failed"));
  if (!well_formed_mac(raw)) eeprom_failure(bogus("-a", raw));
  return raw;
}

py::Ref vostrel_macrange(py::Args a) {
  py::Ref raw = py::truth(py::attr(a[0], ID("dummy")))
                    ? py::integer(255)
                    : run_eeprom(ID("-r"), ID("error: vostrel -r failed"));
  py::Ref count = int_or_empty(raw);
  if (!count) eeprom_failure(bogus("-r", raw));
  return count;
}

py::Ref tool_init(py::Args a) {
  py::setattr(a[0], ID("dummy"), a[1]);
  return {};
}

py::Ref run_tool(py::Args a, PyObject* program) {
  if (py::truth(py::attr(a[0], ID("dummy")))) return py::str("");
  return check_output(program, a[1]);
}

py::Ref iproute2_run(py::Args a) { return run_tool(a, ID("ip")); }
py::Ref brindlet_run(py::Args a) { return run_tool(a, ID("/usr/lib/quorvel/brindlet")); }

// ---- Config: construction and ports.conf -----------------------------------

py::Ref config_init(py::Args a) {
  PyObject* self = a[0];
  PyObject* dummy = a[4];
  py::setattr(self, ID("platform"), a[1]);
  py::setattr(self, ID("verbose"), a[2]);
  py::setattr(self, ID("exploded"), a[3]);
  py::setattr(self, ID("dummy"), dummy);
  py::Ref kw = py::dict();
  py::dict_set(kw, ID("dummy"), dummy);
  py::dict_set(kw, ID("sw_base"), py::attr(chip_of(self), ID("sw_base")));
  py::setattr(self, ID("eeprom"), py::call_kw(global("Vostrel"), py::tuple(0), kw));
  kw = py::dict();
  py::dict_set(kw, ID("dummy"), dummy);
  py::setattr(self, ID("iproute2"), py::call_kw(global("IPRoute2"), py::tuple(0), kw));
  py::setattr(self, ID("brindlet"), py::call_kw(global("Brindlet"), py::tuple(0), kw));
  py::setattr(self, ID("ports"), py::list());
  py::Ref macbase = py::list();
  py::setattr(self, ID("macbase"), macbase);
  py::Ref eeprom = py::attr(self, ID("eeprom"));
  py::setattr(self, ID("macrange"), py::attr(eeprom, ID("macrange")));
  py::Ref parts = py::callm(py::attr(eeprom, ID("macaddr")), ID("split"), ID(":"));
  py::Ref it = py::iter(parts);
  py::Ref type = py::builtin("int"), sixteen = py::integer(16);
  while (py::Ref part = py::next(it)) py::append(macbase, py::call(type, part, sixteen));
  py::setattr(self, ID("macmode"), ID("standard"));
  return {};
}

py::Ref config_config(py::Args a) {
  PyObject* self = a[0];
  py::Ref text = py::Ref::steal(PyNumber_Add(ID("[ports]\n"), a[1]));
  py::Ref fp = py::callm(global("StringIO"), ID("StringIO"), text);
  py::Ref parser = py::callm(global("ConfigParser"), ID("RawConfigParser"));
  py::setattr(parser, ID("optionxform"), reinterpret_cast<PyObject*>(&PyString_Type));
  py::callm(parser, ID("readfp"), fp);
  py::Ref map = py::call(reinterpret_cast<PyObject*>(&PyDict_Type),
                         py::callm(parser, ID("items"), ID("ports")));
  py::setattr(self, ID("config_map"), map);
  py::setattr(self, ID("config_map"),
              py::callm(self, ID("_complete_modes"), py::attr(self, ID("config_map"))));
  return {};
}

py::Ref config_find_hw_port(py::Args a) {
  py::Ref ports = platform_ports(a[0]);
  py::Ref it = py::iter(ports);
  while (py::Ref port = py::next(it)) {
    if (py::equal(py::attr(port, ID("label")), a[1]) &&
        !py::truth(py::attr(port, ID("is_fabric"))))
      return port;
  }
  return {};
}

// The ordinary platform ports by label, the first of each label: what
// find_hw_port answers, for every label at once.  Empty when a label is not
// plain text (then only the walk itself knows what equals it).
py::Ref ports_by_label(PyObject* self) {
  py::Ref ports = platform_ports(self);
  py::Ref map = py::dict();
  py::Ref it = py::iter(ports);
  while (py::Ref port = py::next(it)) {
    py::Ref label = py::attr(port, ID("label"));
    if (!PyString_CheckExact(label.get())) return {};
    if (py::truth(py::attr(port, ID("is_fabric")))) continue;
    if (!py::dict_get(map, label)) py::dict_set(map, label, port);
  }
  return map;
}

py::Ref config_complete_modes(py::Args a) {
  PyObject* self = a[0];
  PyObject* map = a[1];
  py::Operation find(self, ID("find_hw_port"), config_find_hw_port);
  py::Ref by_label = find.own() ? ports_by_label(self) : py::Ref();
  py::Ref keys = py::Ref::steal(PySequence_List(map));
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.get()); i < n; ++i) {
    py::Ref key = py::Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    py::Ref port = by_label && PyString_CheckExact(key.get())
                       ? py::Ref::borrow(py::dict_get(by_label, key))
                       : find(key.get());
    if (!port || port.get() == Py_None) continue;
    py::setitem(map, key, py::call_op(port, ID("complete_mode"), port, py::item(map, key)));
  }
  return py::Ref::borrow(map);
}

// The fragments read_config knows, in the order it compares them.
const struct {
  const char* name;
  const char* attr;
} kFragments[] = {{"hw_desc", "hw_desc"},
                  {"rc.forwarding", "rc_forwarding"},
                  {"datapath.conf", "datapath_conf"},
                  {"sdk.bcm", "sdk_bcm"},
                  {"uft.json", "uft"},
                  {"riot.json", "riot"}};

py::Ref config_read_config(py::Args a) {
  PyObject* self = a[0];
  PyObject* configfile = a[1];
  for (const auto& f : kFragments) {
    py::Ref name = py::str(f.name);
    if (!py::equal(configfile, name)) continue;
    py::setattr(self, f.attr, py::callm(chip_of(self), ID("get_config"), name));
    return {};
  }
  py::Ref kelvish_mod = py::attr(global("quorvel"), ID("kelvish"));
  py::Ref kw = py::dict();
  py::dict_set(kw, ID("debug"), Py_False);
  py::Ref validator = py::call_kw(py::attr(kelvish_mod, ID("Kelvish")), py::tuple({configfile}),
                                  kw);
  py::Ref errors = py::callm(validator, ID("kelvish"));
  if (py::length(errors) > 0) {
    py::callm(validator, ID("portwriteerrors"), errors);
    py::callm(global("sys"), ID("exit"), py::integer(-1));
    return {};
  }
  py::Ref file = py::call(global("open"), configfile, ID("r"));
  py::Ref text;
  py::closing(file, [&] { text = py::callm(file, ID("read")); });
  py::callm(self, ID("config"), text);
  return {};
}

py::Ref config_set_macmode(py::Args a) {
  py::setattr(a[0], ID("macmode"), a[1]);
  return {};
}

// ---- Config: the default ports.conf ---------------------------------------

py::Ref config_init_config(py::Args a) {
  PyObject* self = a[0];
  py::Ref os = global("os");
  py::Ref path = py::attr(os, ID("path"));
  py::Ref dir = py::str("/etc/bcm.d");
  if (!py::truth(py::callm(path, ID("isdir"), dir))) py::callm(os, ID("mkdir"), dir);
  py::Ref source = py::callm(path, ID("join"), py::attr(chip_of(self), ID("bcm_config_path")),
                             ID("rc.soc"));
  py::callm(global("shutil"), ID("copy"), source, dir);
  py::Ref map = py::dict();
  py::Ref ports = platform_ports(self);
  py::Ref it = py::iter(ports);
  while (py::Ref port = py::next(it)) {
    py::Ref key = py::attr(port, ID("label"));
    if (py::truth(py::attr(port, ID("is_fabric"))))
      key = py::Ref::steal(PyNumber_Add(ID("Fabric-"), key));
    py::setitem(map, key, py::attr(port, ID("default_mode")));
  }
  py::setattr(self, ID("config_map"), map);
  return {};
}

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

// The name that `path` comes to once the symbolic links of its last part
// are followed, each relative link read from the directory holding it; the
// first name that does not exist ends the walk.  Empty, errno set, when a
// name cannot be looked at or a link read.
std::string final_name(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0) return errno == ENOENT ? path : std::string();
    if (!S_ISLNK(st.st_mode)) return path;
    if (hops == 40) {
      errno = ELOOP;
      return {};
    }
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    if (n < 0) return {};
    if (size_t(n) == sizeof buf) {
      errno = ENAMETOOLONG;
      return {};
    }
    std::string link(buf, size_t(n));
    size_t slash = path.rfind('/');
    if ((!link.empty() && link[0] == '/') || slash == std::string::npos)
      path = link;
    else
      path = path.substr(0, slash + 1) + link;
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
// them, of the file open at `from`: those it has of its own (an ACL taken
// from the directory's default) are removed.  False, errno set, when one
// cannot be listed, read, removed or set.
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

// The descriptors of a replacement, closed when it ends, and the new file,
// removed then unless it was renamed into place.
struct Replacement {
  int fd = -1, dir = -1, tmp = -1;
  std::string tmp_name;
  bool done = false;

  ~Replacement() {
    int saved = errno;
    if (tmp >= 0) close(tmp);
    if (!done && !tmp_name.empty()) unlinkat(dir, tmp_name.c_str(), 0);
    if (dir >= 0) close(dir);
    if (fd >= 0) close(fd);
    errno = saved;
  }
};

// Closes and removes the new file of `r`, which is not to be renamed.
void drop_new_file(Replacement& r) {
  close(r.tmp);
  r.tmp = -1;
  unlinkat(r.dir, r.tmp_name.c_str(), 0);
  r.tmp_name.clear();
}

// What an attempt at writing the file came to: the text written, or
// nothing written because the path came to name another file than the one
// opened.
enum class Attempt { written, swapped };

// Writes `text` over the file open at r.fd, which `path` named when it was
// opened, as open(path, "w") and a write would; but no byte of a regular
// file changes before room for the whole text is secured.  Its blocks are
// reserved first (where the file system cannot reserve them, the part
// beyond the old end is written first and cut off again when it fails), so
// that the file-size limit, a full disk or a quota raise IOError with the
// old text whole; then the text is written from the start and the file cut
// to its length.  Nothing is written when `path` no longer names the file.
Attempt write_in_place(PyObject* name, const std::string& path, Replacement& r,
                       std::string_view text) {
  struct stat st, named;
  if (fstat(r.fd, &st) < 0) io_error(name);
  bool regular = S_ISREG(st.st_mode), reserved = true;
  if (regular && !within_size_limit(text.size())) io_error(name);
  if (regular && !text.empty()) {
    int rc;
    do rc = fallocate(r.fd, FALLOC_FL_KEEP_SIZE, 0, off_t(text.size()));
    while (interrupted(rc));
    if (rc < 0 && errno != EOPNOTSUPP && errno != ENOSYS) io_error(name);
    reserved = rc == 0;
  }
  if (stat(path.c_str(), &named) < 0 || !same_file(named, st)) return Attempt::swapped;
  if (!regular) {
    if (!write_all(r.fd, text)) io_error(name);
  } else {
    size_t head = text.size();
    if (!reserved && text.size() > size_t(st.st_size)) {
      head = size_t(st.st_size);
      bool fits;
      try {
        fits = write_all_at(r.fd, text.substr(head), st.st_size);
      } catch (...) {
        cut_back(r.fd, st.st_size);
        throw;
      }
      if (!fits) {
        cut_back(r.fd, st.st_size);
        io_error(name);
      }
    }
    if (!write_all_at(r.fd, text.substr(0, head), 0) || ftruncate(r.fd, off_t(text.size())) < 0)
      io_error(name);
  }
  int rc = close(r.fd);
  r.fd = -1;
  if (rc < 0) io_error(name);
  return Attempt::written;
}

// One attempt of replace_file, below.
Attempt replace_once(PyObject* name, const std::string& path, std::string_view text) {
  Replacement r;
  struct stat st, named;
  std::string target;
  r.fd = open_existing(path.c_str());
  if (r.fd < 0 && errno != ENOENT) {
    // Not a missing file: open() itself tells why it fails.
    r.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (r.fd < 0) io_error(name);
  }
  bool fresh = r.fd < 0;
  if (!fresh) {
    if (fstat(r.fd, &st) < 0) io_error(name);
    if (S_ISREG(st.st_mode) && st.st_nlink == 1) target = final_name(path);
    if (target.empty() || lstat(target.c_str(), &named) < 0 || !same_file(named, st))
      return write_in_place(name, path, r, text);
  } else {
    target = final_name(path);
    if (target.empty()) io_error(name);
  }
  // Beyond the file-size limit the write would fail part way (and SIGXFSZ
  // might end the process with the new file made).
  if (!within_size_limit(text.size())) io_error(name);
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.empty()) {
    // No file can have this name ("", or one ending in "/"): open() says why.
    r.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
    if (r.fd < 0) io_error(name);
    errno = EISDIR;
    io_error(name);
  }
  // The directory is opened to be synced after the rename; one that may
  // not be read is only searched.
  r.dir = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool syncable = r.dir >= 0;
  if (!syncable && errno == EACCES) r.dir = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (r.dir < 0) io_error(name);
  // A new file takes the bits open() would give it: 0666 less the umask.
  for (int tries = 0;; ++tries) {
    std::string tmp_name = ".pelvane-" + random_part();
    r.tmp = openat(r.dir, tmp_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                   fresh ? 0666 : 0600);
    if (r.tmp >= 0) {
      r.tmp_name = std::move(tmp_name);
      break;
    }
    if (interrupted(r.tmp)) continue;
    if (errno == EEXIST && tries < 100) continue;
    // No file may be made in the directory, where the old one may be written.
    if (fresh || (errno != EACCES && errno != EPERM && errno != ENOENT)) io_error(name);
    return write_in_place(name, path, r, text);
  }
  // The new file takes the old one's owner and group, extended attributes
  // and permission bits, in this order (a change of owner clears set-id
  // bits and file capabilities); where it may not, the old file is written
  // in place.
  if (!fresh && (fchown(r.tmp, st.st_uid, st.st_gid) < 0 || !copy_xattrs(r.fd, r.tmp) ||
                 fchmod(r.tmp, st.st_mode & 07777) < 0)) {
    drop_new_file(r);
    return write_in_place(name, path, r, text);
  }
  if (!write_all(r.tmp, text) || fsync(r.tmp) < 0) io_error(name);
  int rc = close(r.tmp);
  r.tmp = -1;
  if (rc < 0) io_error(name);
  // A file put in the old one's place meanwhile is not replaced by a copy
  // of the old one's attributes.
  if (!fresh && (lstat(target.c_str(), &named) < 0 || !same_file(named, st)))
    return Attempt::swapped;
  if (renameat(r.dir, r.tmp_name.c_str(), r.dir, base.c_str()) == 0) {
    r.done = true;
    // Until the directory is on disk a power loss may undo the rename.
    if (syncable && fsync(r.dir) < 0 && errno != EINVAL) io_error(name);
    return Attempt::written;
  }
  // The old file may not be renamed over (a mount point, or another's file
  // in a sticky directory), but it may be written.
  if (fresh || (errno != EBUSY && errno != EPERM)) io_error(name);
  drop_new_file(r);
  return write_in_place(name, path, r, text);
}

// Writes `text` to the file `path` names, as open(path, "w") and a write
// would, but a regular file is replaced in one step: the text goes to a new
// file in the directory of the file's final name (symbolic links are
// followed and stay, a missing target is made), which takes the old file's
// owner, group, extended attributes and permission bits, or a new file's
// bits, is synced and renamed to that name, and the directory is synced.
// Any failure raises IOError on `name`, the path as the caller gave it,
// with the errno of the failed call, which for a path that cannot be opened
// for writing is open()'s own; the old file then stays as it was and
// nothing is left behind.  A file that is not regular (a device, a pipe),
// that has other links, whose final name leads elsewhere, that may be
// written but not replaced (no file may be made beside it, or it is a
// mount point) or whose attributes the new file may not take, is written in
// place.  A path that comes to name another file than the one opened is
// written afresh, a few times at most, then fails with EAGAIN.
void replace_file(PyObject* name, const std::string& path, std::string_view text) {
  for (int tries = 0; tries < 5; ++tries)
    if (replace_once(name, path, text) == Attempt::written) return;
  errno = EAGAIN;
  io_error(name);
}

// Whether `c` is white space to the ports.conf reader.
bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The bytes that the text `o` ("%s" of a label or a mode) puts in the file.
std::string written(PyObject* o) {
  return PyString_Check(o) ? py::as_string(o) : py::as_string(py::to_str(o));
}

// Whether a label written into a ports.conf line reads back as itself: the
// reader drops white space around it, and a line that begins with white
// space continues the line before.
bool reads_back_as_label(std::string_view t) {
  return t.empty() || (!blank(t.front()) && !blank(t.back()));
}

// Whether a mode written into a ports.conf line reads back as itself: the
// reader drops white space around it, a line break ends it, a ";" after
// white space starts a comment, and '""' stands for the empty mode.
bool reads_back_as_mode(std::string_view t) {
  if (!reads_back_as_label(t) || t == "\"\"" || t.find_first_of("\n\r") != t.npos) return false;
  size_t semi = t.find(';');
  return semi == t.npos || semi == 0 || !blank(t[semi - 1]);
}

py::Ref config_write_config(py::Args a) {
  PyObject* self = a[0];
  py::Ref name = PyUnicode_Check(a[1])
                     ? py::Ref::steal(PyUnicode_AsEncodedString(
                           a[1],
                           Py_FileSystemDefaultEncoding ? Py_FileSystemDefaultEncoding : "utf-8",
                           "strict"))
                     : py::Ref::borrow(a[1]);
  std::string path = py::as_string(name);
  if (path.find('\0') != std::string::npos)
    py::raise(PyExc_TypeError, "file name must be encoded string without null bytes");
  py::Ref map = py::attr(self, ID("config_map"));
  py::Ref keys = py::list();
  py::Ref it = py::iter(map);
  while (py::Ref key = py::next(it)) {
    bool fabric = PyString_Check(key.get())
                      ? py::as_view(key).substr(0, 7) == "Fabric-"
                      : py::truth(py::callm(key, ID("startswith"), ID("Fabric-")));
    if (!fabric) py::append(keys, key);
  }
  py::Ref kw = py::dict();
  py::dict_set(kw, ID("key"), py::builtin("int"));
  py::Ref ordered = py::call_kw(global("sorted"), py::tuple({keys.get()}), kw);
  py::Ref lines = py::list({ID("# XXX - default config file (needs documentation comments)\n")});
  py::Ref text_fmt = py::str("%s"), line_fmt = py::str("%s=%s\n");
  it = py::iter(ordered);
  while (py::Ref key = py::next(it)) {
    // Each entry must read back as written: a label or a mode the reader
    // would take otherwise could configure another port, or another mode.
    py::Ref label = py::percent(text_fmt, {key.get()});
    if (!reads_back_as_label(written(label)))
      py::raise(PyExc_ValueError, py::percent(py::str("invalid label: %r"), {label.get()}));
    py::Ref mode = py::percent(text_fmt, {py::item(map, key).get()});
    if (!reads_back_as_mode(written(mode)))
      py::raise(PyExc_ValueError,
                py::percent(py::str("invalid mode for label %r: %r"), {label.get(), mode.get()}));
    py::append(lines, py::percent(line_fmt, {label.get(), mode.get()}));
  }
  py::Ref text = py::callm(ID(""), ID("join"), lines);
  if (!PyString_Check(text.get())) text = py::to_str(text);
  replace_file(a[1], path, py::as_view(text));
  return {};
}

// ---- Config: MAC addresses and network devices ------------------------------

py::Ref config_makemacaddr(py::Args a) {
  PyObject* inmac = a[1];
  if (inmac == Py_None) return {};
  auto num = [](PyObject* r) { return py::Ref::steal(r); };
  auto at = [inmac](long i) { return py::item(inmac, py::integer(i)); };  // inmac[i]
  py::Ref eight = py::integer(8), sixteen = py::integer(16), mask = py::integer(0xFF);
  py::Ref low = at(5);
  low = num(PyNumber_Or(low, num(PyNumber_Lshift(at(4), eight))));
  low = num(PyNumber_Or(low, num(PyNumber_Lshift(at(3), sixteen))));
  py::Ref sum = num(PyNumber_Add(low, a[2]));
  // The index must stay within the three low bytes: reaching past them, or
  // below them, would change the OUI.
  if (PyObject_RichCompareBool(sum, py::integer(0), Py_LT) ||
      PyObject_RichCompareBool(sum, py::integer(0xFFFFFF), Py_GT)) {
    if (PyErr_Occurred()) throw py::Raised();
    py::callm(py::attr(global("sys"), ID("stdout")), ID("write"),
              ID("Tried to carry into OUI.\n"));
    return {};
  }
  if (PyErr_Occurred()) throw py::Raised();
  return py::list({at(0).get(), at(1).get(), at(2).get(),
                   num(PyNumber_And(num(PyNumber_Rshift(sum, sixteen)), mask)).get(),
                   num(PyNumber_And(num(PyNumber_Rshift(sum, eight)), mask)).get(),
                   num(PyNumber_And(sum, mask)).get()});
}

// The MAC index a device gets: 0 for every device in "l3-only" mode.
py::Ref mac_index(PyObject* self, PyObject* index) {
  if (py::equal(py::attr(self, ID("macmode")), ID("l3-only"))) return py::integer(0);
  return py::Ref::borrow(index);
}

py::Ref makemacaddr_of(PyObject* self, PyObject* index) {
  py::Operation make(self, ID("makemacaddr"), config_makemacaddr);
  return make(py::attr(self, ID("macbase")).get(), index);
}

py::Ref run_ip(PyObject* self, std::initializer_list<PyObject*> args) {
  return py::callm(py::attr(self, ID("iproute2")), ID("run"), words(args));
}

py::Ref config_setmac(py::Args a) {
  PyObject* self = a[0];
  PyObject* name = a[1];
  py::Ref index = mac_index(self, a[2]);
  py::Ref mac = makemacaddr_of(self, index);
  if (mac.get() == Py_None) return {};
  run_ip(self, {ID("link"), ID("set"), ID("dev"), name, ID("down")});
  py::Ref bytes = py::tuple(6);
  for (Py_ssize_t i = 0; i < 6; ++i) PyTuple_SET_ITEM(bytes.get(), i, py::item(mac, i).release());
  py::Ref address = py::percent(ID("%x:%x:%x:%x:%x:%x"), bytes);
  run_ip(self, {ID("link"), ID("set"), ID("dev"), name, ID("address"), address});
  return {};
}

// Takes `name` out of the caller's set when it is there.
bool claim(PyObject* set, PyObject* name) {
  if (!py::contains(set, name)) return false;
  py::callm(set, ID("remove"), name);
  return true;
}

void setmac_of(PyObject* self, PyObject* name, PyObject* index) {
  py::Operation setmac(self, ID("setmac"), config_setmac);
  setmac(name, index);
}

py::Ref config_maketap(py::Args a) {
  PyObject* self = a[0];
  PyObject* name = a[1];
  if (claim(a[3], name)) return {};
  py::Ref index = mac_index(self, a[2]);
  if (makemacaddr_of(self, index).get() == Py_None) return {};
  run_ip(self, {ID("tuntap"), ID("add"), ID("dev"), name, ID("mode"), ID("tap"), ID("one_queue")});
  setmac_of(self, name, index);
  return {};
}

py::Ref config_makekernnet(py::Args a) {
  PyObject* self = a[0];
  PyObject* name = a[1];
  if (py::truth(py::attr(self, ID("dummy")))) return {};
  if (!claim(a[4], name)) {
    py::Ref index = mac_index(self, a[2]);
    if (makemacaddr_of(self, index).get() != Py_None) {
      py::Ref sw_base = py::attr(chip_of(self), ID("sw_base"));
      bool bcm = py::equal(sw_base, ID("bcm"));
      if (!bcm && !py::equal(sw_base, ID("mlx"))) {
        py::Ref message = py::percent(
            ID("Kernel netdevs are not supported                           "
               "on %s, only on Broadcom and Mellanox"),
            {sw_base.get()});
        py::Ref error = global("UnsupportedPlatformError");
        py::raise(error, py::call(error, message));
      }
      py::Ref unit = py::percent(ID("%s"), {a[3]});
      py::callm(py::attr(self, ID("brindlet")), ID("run"),
                words({ID("add"), ID("name"), name, ID("type"),
                       bcm ? ID("bcm_knet") : ID("mlx_sx_netdev"), ID("unit"), unit}));
      setmac_of(self, name, index);
    }
  }
  if (py::equal(py::attr(chip_of(self), ID("sw_base")), ID("bcm"))) {
    py::Ref file = py::call(global("open"), ID("/proc/bcm/knet/link"), ID("w"));
    py::closing(file, [&] { py::callm(file, ID("write"), py::percent(ID("%s=down"), {name})); });
  }
  return {};
}

py::Ref config_destroyints(py::Args a) {
  PyObject* self = a[0];
  PyObject* set = a[1];
  py::Ref it = py::iter(set);
  while (py::Ref name = py::next(it))
    if (!py::contains(name, ID("switch"))) run_ip(self, {ID("link"), ID("del"), ID("dev"), name});
  py::callm(set, ID("clear"));
  return {};
}

}  // namespace

const py::ImplTable config_impls = {
    {"Vostrel.__init__", vostrel_init},
    {"Vostrel.macaddr", vostrel_macaddr},
    {"Vostrel.macrange", vostrel_macrange},
    {"IPRoute2.__init__", tool_init},
    {"IPRoute2.run", iproute2_run},
    {"Brindlet.__init__", tool_init},
    {"Brindlet.run", brindlet_run},
    {"Config.__init__", config_init},
    {"Config.config", config_config},
    {"Config._complete_modes", config_complete_modes},
    {"Config.find_hw_port", config_find_hw_port},
    {"Config.read_config", config_read_config},
    {"Config.init_config", config_init_config},
    {"Config.write_config", config_write_config},
    {"Config.set_macmode", config_set_macmode},
    {"Config.makemacaddr", config_makemacaddr},
    {"Config.destroyints", config_destroyints},
    {"Config.setmac", config_setmac},
    {"Config.maketap", config_maketap},
    {"Config.makekernnet", config_makekernnet},
};

}  // namespace pelvane
