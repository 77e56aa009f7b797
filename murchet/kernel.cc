// Kernel state: device facts, the VLAN and bridge caches and the bridges'
// multicast databases, each read on first use and kept on the Asic.
#include "asic.h"
#include "flatmap.h"
#include "kern.h"
#include "text.h"

#include <cstring>

namespace murchet {

namespace {

// head, a dot, the decimal digits of n, a dot, tail: the parts that are
// empty are left out with their dot.
py::Ref dot_joined(std::string_view head, long n, std::string_view tail) {
  char buf[24];
  std::string_view digits = py::decimal(n, buf);
  size_t nd = digits.size();
  size_t total = head.size() + (head.empty() ? 0 : 1) + nd + (tail.empty() ? 0 : 1) + tail.size();
  py::Ref out = py::Ref::steal(PyString_FromStringAndSize(nullptr, Py_ssize_t(total)));
  char* p = PyString_AS_STRING(out.get());
  if (!head.empty()) {
    memcpy(p, head.data(), head.size());
    p += head.size();
    *p++ = '.';
  }
  memcpy(p, digits.data(), nd);
  p += nd;
  if (!tail.empty()) {
    *p++ = '.';
    memcpy(p, tail.data(), tail.size());
  }
  return out;
}

// The switch-port names "%s.%d" made so far, by port name and VLAN: the
// comparisons name the same ports again and again, and a text once made
// serves every later ask (a text never changes).  Up to a bound; then the
// names are made afresh.
class TaggedNames {
 public:
  py::Ref get(std::string_view name, long vid) {
    if (py::Ref* known = names_.get(Key{name, vid})) return *known;
    py::Ref text = dot_joined(name, vid, {});
    if (names_.size() >= kMost) names_.clear();
    // The key's text is the name's part of the new text, which the table holds.
    names_[Key{std::string_view(PyString_AS_STRING(text.get()), name.size()), vid}] = text;
    return text;
  }

 private:
  static constexpr size_t kMost = 1 << 15;
  struct Key {
    std::string_view text;
    long number;
    bool operator==(const Key& o) const { return number == o.number && text == o.text; }
  };
  FlatMap<Key, py::Ref, TextNumberHash> names_;
};

}  // namespace

py::Ref tagged(PyObject* name, PyObject* vid) {
  if (PyString_CheckExact(name) && PyString_GET_SIZE(name) && PyInt_CheckExact(vid)) {
    // Never destroyed: the interpreter may be gone when the process exits.
    static TaggedNames* const names = new TaggedNames();
    return names->get(py::as_view(name), PyInt_AS_LONG(vid));
  }
  return percent(ID("%s.%d"), {name, vid});
}

py::Ref vid_key(PyObject* vid, PyObject* grp) {
  if (PyInt_CheckExact(vid) && PyString_CheckExact(grp) && PyString_GET_SIZE(grp))
    return dot_joined({}, PyInt_AS_LONG(vid), py::as_view(grp));
  return percent(ID("%d.%s"), {vid, grp});
}

namespace kern {

// ---- helpers shared by the kernel side ------------------------------------

py::Ref get(PyObject* d, PyObject* key) {
  // (An unhashable key raises in the lookup.)
  if (PyDict_CheckExact(d)) return py::Ref::borrow(py::dict_get(d, key));
  py::Ref v = py::callm(d, ID("get"), key);
  return v.get() == Py_None ? py::Ref() : v;
}

bool has(PyObject* d, PyObject* key) { return py::contains(d, key); }

namespace {

// d[key], first set to make() where d has no entry under key.
template <class Make>
py::Ref get_or_add(PyObject* d, PyObject* key, const Make& make) {
  py::Ref v = get(d, key);
  if (!v) {
    v = make();
    py::setitem(d, key, v);
  }
  return v;
}

}  // namespace

py::Ref cached(PyObject* d, PyObject* key) {
  if (PyDict_CheckExact(d)) return get(d, key);
  return has(d, key) ? py::item(d, key) : py::Ref();
}

py::Ref text_of(PyObject* name) {
  if (PyString_CheckExact(name)) return py::Ref::borrow(name);
  return percent(ID("%s"), {name});
}

py::Ref splitlines(PyObject* text) { return py::callm(text, ID("splitlines")); }
void add_words(PyObject* list, PyObject* text) {
  if (!PyString_CheckExact(text)) {
    py::extend(list, split(text));
    return;
  }
  each_word(py::as_view(text), [&](string_view word) { py::append(list, py::str(word)); });
}

py::Ref split(PyObject* text) {
  if (!PyString_CheckExact(text)) return py::callm(text, ID("split"));
  py::Ref words = py::list();
  add_words(words, text);
  return words;
}

py::Ref port_of(PyObject* name) {
  if (PyString_CheckExact(name)) {
    const char* s = PyString_AS_STRING(name);
    const void* dot = memchr(s, '.', size_t(PyString_GET_SIZE(name)));
    if (!dot) return py::Ref::borrow(name);
    return py::str(std::string_view(s, size_t(static_cast<const char*>(dot) - s)));
  }
  py::Ref one = py::integer(1);
  return py::item(py::callm(name, ID("split"), ID("."), one.get()), Py_ssize_t(0));
}

bool sysfs_name(PyObject* name) {
  if (PyString_CheckExact(name)) {
    std::string_view s = py::as_view(name);
    return !s.empty() && s != "." && s != ".." && s.find('/') == s.npos && s.find('\0') == s.npos;
  }
  static PyObject* const bad[] = {py::str("/").release(),
                                  py::str(std::string_view("\0", 1)).release()};
  if (!PyString_Check(name) && !PyUnicode_Check(name)) return true;  // the path already failed
  if (py::length(name) == 0) return false;
  if (eq(name, ID(".")) || eq(name, ID(".."))) return false;
  for (PyObject* b : bad)
    if (py::contains(name, b)) return false;
  return true;
}

bool os_path(PyObject* fn, PyObject* path) {
  // Both attributes read where the lookup would find them without running
  // code (a module's dict, say), else looked up.
  py::Ref os_path = py::plain_attr(global(ID("os")), ID("path"));
  return py::truth(py::call_one(py::plain_attr(os_path, fn), path));
}

namespace {

// Closes a file whatever happens, keeping the error that is on its way; a
// failing close is reported as the interpreter reports one in __del__.
struct Closing {
  py::Ref file;
  ~Closing() {
    if (file) py::in_destructor(file, [&] { py::call_noargs(file, ID("close")); });
  }
};

}  // namespace

bool read_lines_impl(PyObject* path, void (*each)(void*, py::Lines&), void* ctx) {
  Closing f;
  try {
    f.file = py::call_one(global(ID("open")), path);
  } catch (const py::Raised&) {
    if (!py::clear_if(PyExc_IOError)) throw;
    return false;
  }
  try {
    py::Lines lines(f.file);
    while (lines.next()) each(ctx, lines);
  } catch (const py::Raised&) {
    if (!py::clear_if(PyExc_IOError)) throw;
  }
  return true;
}

// ---- device facts -----------------------------------------------------------

namespace {

// A command line: fixed words, then the device name ("%s" of it) as one
// argument, never split at white space.
py::Ref argv(PyObject* const* words, int n, PyObject* dev) {
  py::Ref l = py::list();
  for (int i = 0; i < n; ++i) py::append(l, words[i]);
  if (dev) py::append(l, text_of(dev));
  return l;
}

py::Ref cmd_output(PyObject* self, PyObject* cmd, PyObject* fallback) {
  return py::callm(self, ID("_get_cmd_output"), cmd, fallback);
}

py::Ref bond_members(PyObject* self, PyObject* dev) {
  return run_op(self, op::expand_kern_bond, dev);
}

// _kern_dev_cache_get(dev): the device's KernDevEntry, read and cached at
// the first ask.
py::Ref dev_entry(PyObject* self, PyObject* dev) {
  py::Ref cache = py::plain_attr(self, ID("kern_dev_cache"));
  if (py::Ref entry = cached(cache, dev)) return entry;
  py::Ref kind = py::call_op(self, op::kern_dev_kind_parse.name(), dev);
  py::Ref flag = py::call_op(self, op::kern_dev_vlan_filtering_parse.name(), dev);
  py::setitem(cache, dev, py::call(global(ID("KernDevEntry")), dev, kind, flag));
  return py::item(cache, dev);
}

// self._kern_dev_cache_get(dev).
py::Ref cached_dev(Groups& g, PyObject* dev) {
  return run_body(
      g.self(), g.own(Group::facts), op::kern_dev_cache_get,
      [&] { return dev_entry(g.self(), dev); }, dev);
}

// self._kern_dev_kind_get(dev).
py::Ref kind_of(Groups& g, PyObject* dev) {
  return run_body(
      g.self(), g.own(Group::kind), op::kern_dev_kind_get,
      [&] { return py::plain_attr(cached_dev(g, dev), ID("kind")); }, dev);
}

py::Ref dev_kind(PyObject* self, PyObject* dev) {
  Groups g(self);
  return kind_of(g, dev);
}

// "/sys/class/net/" + dev + tail.
py::Ref sysfs_path(PyObject* dev, PyObject* tail) {
  return concat(concat(ID("/sys/class/net/"), dev), tail);
}

// self.<create>() unless self.<created> says the cache is read.
void ensure_created(PyObject* self, PyObject* created, const Op& create) {
  if (!py::truth(py::plain_attr(self, created))) py::call_op(self, create.name());
}

}  // namespace

py::Ref kern_dev_kind_parse(py::Args a) {
  PyObject *self = a[0], *dev = a[1];
  if (is_linux_port(self, dev)) return py::Ref::borrow(ID("swp"));
  // The name follows "dev": ip would read a device named like one of its
  // keywords ("help", "up", "type" ...) as that keyword.
  static PyObject* const words[] = {py::str("/bin/ip").release(), py::str("-d").release(),
                                    py::str("link").release(), py::str("show").release(),
                                    py::str("dev").release()};
  py::Ref lines = splitlines(cmd_output(self, argv(words, 5, dev), ID("")));
  Py_ssize_t n = py::length(lines);
  if (n == 0 || n < 3) return py::Ref::borrow(ID("unk"));
  if (py::contains(py::item(lines, Py_ssize_t(0)), ID("does not exist")))
    return py::Ref::borrow(ID("unk"));
  // The kind word, interned: the kinds compared later are literals.
  PyObject* kind = py::item(split(py::item(lines, Py_ssize_t(2))), Py_ssize_t(0)).release();
  if (PyString_CheckExact(kind)) PyString_InternInPlace(&kind);
  return py::Ref::steal(kind);
}

py::Ref kern_dev_vlan_filtering_parse(py::Args a) {
  PyObject* dev = a[1];
  py::Ref path = sysfs_path(dev, ID("/bridge/vlan_filtering"));
  py::Ref flag = py::integer(0);
  if (!sysfs_name(dev) || !os_path(ID("isfile"), path)) return flag;
  read_lines(path,
             [&](py::Lines& line) { flag = int_of(py::callm(line.object(), ID("strip")), 0); });
  return flag;
}

py::Ref kern_dev_cache_get(py::Args a) { return dev_entry(a[0], a[1]); }

py::Ref kern_dev_kind_get(py::Args a) {
  Groups g(a[0]);
  return py::plain_attr(cached_dev(g, a[1]), ID("kind"));
}

py::Ref kern_dev_vlan_filtering_get(py::Args a) {
  Groups g(a[0]);
  return py::plain_attr(cached_dev(g, a[1]), ID("vlan_filtering"));
}

py::Ref dev_vlan_filtering(Groups& g, PyObject* dev) {
  return run_body(
      g.self(), g.own(Group::facts), op::kern_dev_vlan_filtering_get,
      [&] { return py::plain_attr(cached_dev(g, dev), ID("vlan_filtering")); }, dev);
}

namespace {

// The bodies of the operations that answer several values (see
// call_unpacked): _kern_get_vlan_and_atlink, _kern_get_dev_vlan and
// _kern_base_dev_kind_get.
void vlan_and_atlink(PyObject* self, PyObject* dev, py::Ref* out) {
  ensure_created(self, ID("kern_vlan_dev_cache_created"), op::kern_create_vlan_dev_cache);
  py::Ref entry = get(py::plain_attr(self, ID("kern_vlan_dev_cache")), dev);
  if (!entry) {
    out[0] = out[1] = py::none();
    return;
  }
  out[0] = py::plain_attr(entry, ID("vid"));
  out[1] = py::plain_attr(entry, ID("atlink"));
}

void dev_vlan_of(Groups& g, PyObject* dev, PyObject* kind, PyObject* parent_vlan, py::Ref* out) {
  if (eq(kind, ID("vlan"))) {
    py::Ref pair[2];
    call_unpacked(g.self(), g.own(Group::facts), op::kern_get_vlan_and_atlink, 2, vlan_and_atlink,
                  pair, dev);
    if (py::truth(pair[0])) {
      out[0] = std::move(pair[1]);
      out[1] = std::move(pair[0]);
      return;
    }
  }
  out[0] = py::Ref::borrow(dev);
  out[1] = py::Ref::borrow(parent_vlan);
}

void base_dev_kind_of(Groups& g, PyObject* orig_dev, PyObject* parent_vlan, py::Ref* out) {
  py::Ref kind = kind_of(g, orig_dev);
  py::Ref dv[2];
  call_unpacked(
      g.self(), g.own(Group::facts), op::kern_get_dev_vlan, 2,
      [&g](PyObject*, PyObject* dev, PyObject* kind, PyObject* parent_vlan, py::Ref* out) {
        dev_vlan_of(g, dev, kind, parent_vlan, out);
      },
      dv, orig_dev, kind.get(), parent_vlan);
  if (!eq(dv[0], orig_dev)) kind = kind_of(g, dv[0]);
  out[0] = std::move(kind);
  out[1] = std::move(dv[0]);
  out[2] = std::move(dv[1]);
}

}  // namespace

py::Ref kern_get_vlan_and_atlink(py::Args a) {
  py::Ref out[2];
  vlan_and_atlink(a[0], a[1], out);
  return py::tuple({out[0], out[1]});
}

py::Ref kern_get_dev_vlan(py::Args a) {
  Groups g(a[0]);
  py::Ref out[2];
  dev_vlan_of(g, a[1], a[2], a[3], out);
  return py::tuple({out[0], out[1]});
}

py::Ref kern_base_dev_kind_get(py::Args a) {
  Groups g(a[0]);
  py::Ref out[3];
  base_dev_kind_of(g, a[1], a[2], out);
  return py::tuple({out[0], out[1], out[2]});
}

namespace {

// The kind in a device's cached entry, where reading it runs no code: the
// cache a dict holding the device (a plain text) under its name, the
// entry's kind found plainly and a plain text.  Null otherwise (the entry
// missing included: the readers would run).
PyObject* plain_cached_kind(PyObject* self, PyObject* dev) {
  PyObject *cache = py::found_attr(self, ID("kern_dev_cache")), *entry;
  if (!cache || !PyDict_CheckExact(cache) || !py::dict_get_plain(cache, dev, entry) || !entry)
    return nullptr;
  PyObject* kind = py::found_attr(entry, ID("kind"));
  return kind && PyString_CheckExact(kind) ? kind : nullptr;
}

// The truth of None, an int or a bool; -1 for anything else, whose truth
// may run code.
int plain_truth(PyObject* v) {
  if (v == Py_None) return 0;
  if (PyInt_CheckExact(v) || PyBool_Check(v)) return PyInt_AS_LONG(v) != 0;
  return -1;
}

// base_dev_kind_of(g, dev, parent_vlan), answered where the object's own
// operations would run no code of the interpreter's to answer it: every
// attribute found plainly, every dict probed with plain texts, every value
// tested a plain one, the VLAN-device table read.  False where any step
// might run code; `out` is then untouched.  (The caller has found that
// `dev` is a plain text and the object's operations of both groups are its
// own.)
[[gnu::noinline]] bool plain_base_dev_kind(PyObject* self, PyObject* dev, PyObject* parent_vlan,
                                           py::Ref* out) {
  PyObject* kind = plain_cached_kind(self, dev);
  if (!kind) return false;
  PyObject *base = dev, *vlan = parent_vlan;
  if (py::same_text(kind, ID("vlan"))) {
    // _kern_get_vlan_and_atlink(dev) and _kern_get_dev_vlan's test of it.
    PyObject* created = py::found_attr(self, ID("kern_vlan_dev_cache_created"));
    PyObject *table = py::found_attr(self, ID("kern_vlan_dev_cache")), *entry;
    if (!created || plain_truth(created) != 1 || !table || !PyDict_CheckExact(table) ||
        !py::dict_get_plain(table, dev, entry))
      return false;
    if (entry) {
      PyObject *vid = py::found_attr(entry, ID("vid")),
               *atlink = py::found_attr(entry, ID("atlink"));
      if (!vid || !atlink) return false;
      int tagged = plain_truth(vid);
      if (tagged < 0 || (tagged && !PyString_CheckExact(atlink))) return false;
      if (tagged) {
        base = atlink;
        vlan = vid;
        if (!py::same_text(atlink, dev) && !(kind = plain_cached_kind(self, atlink))) return false;
      }
    }
  }
  out[0] = py::Ref::borrow(kind);
  out[1] = py::Ref::borrow(base);
  out[2] = py::Ref::borrow(vlan);
  return true;
}

// self._kern_base_dev_kind_get(dev), its VLAN left to the default: the body
// run here while the operation is the module's own, with the default the
// call takes, the function's as it is now (held: the body may run code that
// replaces the function's defaults); the call through the object where it
// is not, or where the function has no default left.
// `cached`: whether the own operations would only read the caches, which
// are then read here.
void defaulted_base_dev_kind(Groups& g, PyObject* dev, bool cached, py::Ref* out) {
  const Op& op = op::kern_base_dev_kind_get;
  py::Operation method(g.self(), op.name(), op.impl);
  PyObject* vlan = method.own() ? method.default_of(2) : nullptr;
  if (!vlan) {
    py::unpack(method(dev), 3, out);
    return;
  }
  // (The cache read runs no code: the default needs no hold there.)
  if (cached && plain_base_dev_kind(g.self(), dev, vlan, out)) return;
  py::Ref held = py::Ref::borrow(vlan);
  method.traced([&] { base_dev_kind_of(g, dev, vlan, out); });
}

}  // namespace

void base_dev_kind(Groups& g, PyObject* dev, PyObject* parent_vlan, py::Ref* out) {
  // Where the own operations would only read the caches, they are read here.
  const bool cached = PyString_CheckExact(dev) && g.own(Group::kind) && g.own(Group::facts);
  if (!parent_vlan) return defaulted_base_dev_kind(g, dev, cached, out);
  if (cached && plain_base_dev_kind(g.self(), dev, parent_vlan, out)) return;
  call_unpacked(
      g.self(), g.own(Group::facts), op::kern_base_dev_kind_get, 3,
      [&g](PyObject*, PyObject* dev, PyObject* parent_vlan, py::Ref* out) {
        base_dev_kind_of(g, dev, parent_vlan, out);
      },
      out, dev, parent_vlan);
}

void base_dev_kind(PyObject* self, PyObject* dev, PyObject* parent_vlan, py::Ref* out) {
  Groups g(self);
  base_dev_kind(g, dev, parent_vlan, out);
}

namespace {

// The switch-port names of one port of a bridge, each given to `add`: a
// bond's members (as "%s.%d" with the VLAN for a VLAN sub-interface of a
// bond), any other port its own name.  A null `parent_vlan` is left to the
// default, as base_dev_kind leaves it.
template <class Add>
void each_switch_port(Groups& g, PyObject* port, PyObject* parent_vlan, const Add& add) {
  py::Ref base[3];
  base_dev_kind(g, port, parent_vlan, base);
  if (!eq(base[0], ID("bond"))) {
    add(port);
    return;
  }
  bool plain = eq(base[2], minus_one());
  py::Ref members = py::iter(run_op(g, op::expand_kern_bond, base[1]));
  while (py::Ref m = py::next(members)) add(plain ? m.get() : tagged(m, base[2]).get());
}

}  // namespace

py::Ref kern_create_vlan_dev_cache(py::Args a) {
  PyObject* self = a[0];
  py::setattr(self, ID("kern_vlan_dev_cache_created"), Py_True);
  py::Ref lines = py::list();
  PyObject* path = ID("/proc/net/vlan/config");
  if (os_path(ID("isfile"), path))
    read_lines(path, [&](py::Lines& line) { py::append(lines, line.object()); });
  if (PyList_GET_SIZE(lines.get()) < 2) return {};
  py::Ref cache = py::plain_attr(self, ID("kern_vlan_dev_cache"));
  py::Ref entry_type = global(ID("KernVlanDevEntry"));
  // (The lines' count read at every turn, after its tick(): the entries'
  // code may change the list.)
  for (Py_ssize_t i = 2; py::tick(), i < PyList_GET_SIZE(lines.get()); ++i) {
    py::Ref line = py::Ref::borrow(PyList_GET_ITEM(lines.get(), i));
    py::Ref fields = py::callm(line, ID("split"), ID("|"));
    if (py::length(fields) <= 2) continue;
    py::Ref name = py::callm(py::item(fields, Py_ssize_t(0)), ID("strip"));
    py::Ref vid = int_of(py::callm(py::item(fields, Py_ssize_t(1)), ID("strip")));
    py::Ref parent = py::callm(py::item(fields, Py_ssize_t(2)), ID("strip"));
    py::setitem(cache, name, py::call(entry_type, name, vid, parent));
  }
  return {};
}

namespace {

// "/sys/class/net/" + dev + "/bonding/" into `dir`, and that followed by
// "slaves" into `path`: the one text written in place (the string builder
// would copy it again when done), the other cut from it.
void bond_paths(std::string_view dev, py::Ref& dir, py::Ref& path) {
  static constexpr std::string_view head = "/sys/class/net/", tail = "/bonding/slaves";
  const size_t n = head.size() + dev.size() + tail.size();
  path = py::Ref::steal(PyString_FromStringAndSize(nullptr, Py_ssize_t(n)));
  char* p = PyString_AS_STRING(path.get());
  memcpy(p, head.data(), head.size());
  memcpy(p + head.size(), dev.data(), dev.size());
  memcpy(p + head.size() + dev.size(), tail.data(), tail.size());
  dir = py::str(std::string_view(p, n - (sizeof "slaves" - 1)));
}

}  // namespace

py::Ref expand_kern_bond(py::Args a) {
  PyObject* dev = a[1];
  py::Ref dir, path;
  if (PyString_CheckExact(dev)) {
    if (!sysfs_name(dev)) return py::list();
    bond_paths(py::as_view(dev), dir, path);
  } else {
    dir = concat(percent(ID("/sys/class/net/%s"), {dev}), ID("/bonding/"));
    path = concat(dir, ID("slaves"));
    if (!sysfs_name(dev)) return py::list();
  }
  if (!os_path(ID("isdir"), dir)) return py::list();
  // The words of each line, white space at its ends dropped by the split.
  py::Ref members = py::list();
  read_lines(path, [&](py::Lines& line) {
    std::string_view text;
    if (!line.text(text)) return add_words(members, line.object());
    each_word(text, [&](std::string_view word) { py::append(members, py::str(word)); });
  });
  return members;
}

// ---- VLAN and bridge caches -------------------------------------------------

namespace {

// A device name of the JSON listing, which the JSON reader gives as unicode,
// as the byte text that every other kernel source gives for it.
py::Ref native(PyObject* name) {
  if (!PyUnicode_Check(name)) return py::Ref::borrow(name);
  PyObject* bytes = PyUnicode_AsUTF8String(name);
  if (bytes) return py::Ref::steal(bytes);
  PyErr_Clear();
  return py::Ref::borrow(name);
}

// The VLAN objects of one device of the bridge's VLAN listing.
void add_vlans(PyObject* self, PyObject* cache, PyObject* name, PyObject* vlans) {
  py::Ref dev = native(name);
  py::Ref it = py::iter(vlans);
  while (py::Ref v = py::next(it)) {
    py::Ref kind = dev_kind(self, dev);
    if (eq(kind, ID("bridge"))) continue;
    py::Ref empty = py::list(), zero = py::integer(0);
    py::Ref flags = py::callm(v, ID("get"), ID("flags"), empty.get());
    bool untagged = py::contains(flags, ID("Egress Untagged"));
    py::Ref vid = int_of(py::callm(v, ID("get"), ID("vlan"), zero.get()));
    py::Ref entry = get_or_add(cache, vid, [&] {
      return py::call(global(ID("KernVlanEntry")), vid);
    });
    PyObject* flag = untagged ? Py_True : Py_False;
    if (eq(kind, ID("bond"))) {
      py::Ref members = py::iter(bond_members(self, dev));
      while (py::Ref m = py::next(members)) py::callm(entry, ID("add_port"), m, flag);
    } else {
      py::callm(entry, ID("add_port"), dev, flag);
    }
  }
}

}  // namespace

py::Ref kern_create_vlan_cache(py::Args a) {
  PyObject* self = a[0];
  py::setattr(self, ID("kern_vlan_cache_created"), Py_True);
  static PyObject* const words[] = {py::str("/sbin/bridge").release(), py::str("-j").release(),
                                    py::str("vlan").release(), py::str("show").release()};
  py::Ref answer = cmd_output(self, argv(words, 4, nullptr), ID("{}"));
  // A bridge command that prints nothing knows no VLANs.
  if (!py::truth(py::callm(answer, ID("strip")))) return {};
  py::Ref data = py::callm(global(ID("json")), ID("loads"), answer);
  py::Ref cache = py::plain_attr(self, ID("kern_vlan_cache"));
  if (PyDict_Check(data.get())) {
    // The older form: an object of device name to VLAN list.
    py::Ref keys = py::iter(data);
    while (py::Ref dev = py::next(keys)) add_vlans(self, cache, dev, py::item(data, dev));
  } else if (PyList_Check(data.get())) {
    // Current iproute2: an array of {"ifname": ..., "vlans": [...]}, in order.
    py::Ref empty = py::list();
    py::Ref items = py::iter(data);
    while (py::Ref dev_obj = py::next(items)) {
      if (!PyDict_Check(dev_obj.get())) continue;
      py::Ref dev = get(dev_obj, ID("ifname"));
      if (!dev) continue;
      py::Ref vlans = get(dev_obj, ID("vlans"));
      add_vlans(self, cache, dev, vlans ? vlans.get() : empty.get());
    }
  } else {
    py::raisef(PyExc_TypeError,
               "/sbin/bridge -j vlan show gave a %.100s, not an object or an array",
               Py_TYPE(data.get())->tp_name);
  }
  return {};
}

py::Ref kern_get_vlan_members(py::Args a) {
  PyObject *self = a[0], *vid = a[1];
  ensure_created(self, ID("kern_vlan_cache_created"), op::kern_create_vlan_cache);
  py::Ref entry = get(py::plain_attr(self, ID("kern_vlan_cache")), vid);
  if (!entry) return py::list();
  return concat(py::plain_attr(entry, ID("tagged_swp")),
                py::plain_attr(entry, ID("untagged_swp")));
}

py::Ref kern_setup_br_cache(py::Args a) {
  PyObject *self = a[0], *dev = a[1];
  py::Ref path = sysfs_path(dev, ID("/brif"));
  py::Ref names;
  if (sysfs_name(dev)) {
    try {
      names = py::callm(global(ID("os")), ID("listdir"), path);
    } catch (const py::Raised&) {
      // Whatever keeps the directory from being listed, the bridge has no
      // ports.
      if (!py::clear_if(PyExc_Exception)) throw;
    }
  }
  py::Ref result = py::list();
  if (names) {
    Groups groups(self);
    py::Ref it = py::iter(names);
    while (py::Ref name = py::next(it))
      each_switch_port(groups, name, nullptr, [&](PyObject* p) { py::append(result, p); });
  }
  py::setitem(py::plain_attr(self, ID("kern_br_cache")), dev, result);
  return result;
}

py::Ref kern_get_br_members(py::Args a) {
  PyObject *self = a[0], *dev = a[1];
  if (py::Ref members = cached(py::plain_attr(self, ID("kern_br_cache")), dev)) return members;
  return py::call_op(self, op::kern_setup_br_cache.name(), dev);
}

// ---- the bridges' multicast databases ---------------------------------------

namespace {

// Whether a group of the database is a dotted IPv4 address: IPv6 and MAC
// groups, which current kernels list too, are no IPv4 multicast routes' groups.
bool dotted_ipv4(PyObject* text) {
  if (!PyString_Check(text)) return false;
  long part[4];
  if (dotted_decimals(py::as_view(text), part, 4, 3) != 4) return false;
  for (long v : part)
    if (v > 255) return false;
  return true;
}

// One line of the database, matched at its start as the patterns
// "dev (?P<dev>\\S+) port (?P<port>\\S+) grp (?P<grp_ip>\\S+)" and, with VLAN
// filtering, "... grp (?P<grp_ip>\\S+) \\S+ vid (?P<vid>\\d+)" match it (each
// \\S+ takes the whole run of non-blanks, so nothing is to be backtracked).
// A second rendering of the patterns, kept because it pays: the first
// comparisons of bench/bench_mroute.py, which read 50,000 database lines,
// take about 0.02 s less of their 0.3 s with it.
struct MdbLine {
  string_view dev, port, grp, vid;
  bool read(string_view s, bool with_vid) {
    // The run of non-blanks after `lit` at `i` into `field`; `i` moves past it.
    auto field = [&](size_t& i, string_view lit, string_view& out) {
      if (!at(s, i, lit)) return false;
      size_t b = i + lit.size(), e = run_end(s, b);
      out = s.substr(b, e - b);
      i = e;
      return e > b;
    };
    size_t i = 0;
    string_view skipped;
    if (!field(i, "dev ", dev) || !field(i, " port ", port) || !field(i, " grp ", grp))
      return false;
    if (!with_vid) return true;
    if (!field(i, " ", skipped) || !at(s, i, " vid ")) return false;
    size_t b = i + 5, e = digits_end(s, b);
    vid = s.substr(b, e - b);
    return e > b;
  }
};

// Makes KernMdbEntry records: directly, while the class is the module's own.
class MdbEntryMaker {
 public:
  MdbEntryMaker() : cls_(global(ID("KernMdbEntry"))) {
    direct_ = PyClass_Check(cls_.get()) && !py::class_sets_attrs(cls_) &&
              py::own_op(cls_, ID("__init__"), mdb_entry_init);
  }
  py::Ref operator()(PyObject* vid, PyObject* grp) const {
    if (!direct_) return py::call(cls_, vid, grp);
    py::Ref dict = py::dict();
    py::dict_set(dict, ID("grp"), grp);
    py::dict_set(dict, ID("vid"), vid);
    py::dict_set(dict, ID("swp"), py::list());
    return py::Ref::steal(PyInstance_NewRaw(cls_, dict));
  }

 private:
  py::Ref cls_;
  bool direct_;
};

// entry.add_port(port): directly while the entry has the module's own
// (`own`, which asks the entries' class once).
void add_port(OwnOp& own, PyObject* entry, PyObject* port) {
  if (own(entry))
    append_to(py::plain_attr(entry, ID("swp")), port);
  else
    py::callm(entry, ID("add_port"), port);
}

// The entry under `key` of a bridge's table, or None.
py::Ref entry_or_none(PyObject* entries, PyObject* key) {
  py::Ref entry = get(entries, key);
  return entry ? entry : py::none();
}

// The bridge's whole database as "/sbin/bridge mdb show dev %s" lists it
// ("" when the command fails).  Any answer but a text of the interpreter's
// own is split into `lines` at once, through its own operation; such a
// text is read directly later.
py::Ref show_mdb(PyObject* self, PyObject* dev, py::Ref& lines) {
  static PyObject* const words[] = {py::str("/sbin/bridge").release(), py::str("mdb").release(),
                                    py::str("show").release(), py::str("dev").release()};
  py::Ref answer = cmd_output(self, argv(words, 4, dev), ID(""));
  if (!PyString_CheckExact(answer.get())) lines = splitlines(answer);
  return answer;
}

// The bridge's record, stored in the cache before any line is read.
py::Ref store_mdb_record(PyObject* cache, PyObject* dev, PyObject* vlan_filtering) {
  py::Ref record = py::call(global(ID("KernMdbCache")), dev, vlan_filtering);
  py::setitem(cache, dev, record);
  return record;
}

// Files the lines of one bridge's database into its record's table: one
// entry per VLAN and group, holding the switch ports the lines name.
class MdbFiler {
 public:
  MdbFiler(PyObject* self, PyObject* record, PyObject* vlan_filtering)
      : self_(self),
        vf_(py::truth(vlan_filtering)),
        entries_(py::plain_attr(record, ID("mdb_entries"))),
        run_(self),
        mac_(self, ID("_grp_ip2mac"), grp_ip2mac_op),
        vid_(py::Ref::borrow(minus_one())) {}

  bool vlan_filtering() const { return vf_; }
  PyObject* entries() const { return entries_; }

  // One matching line: its port, group address and, with VLAN filtering,
  // VLAN number (a text).  Groups other than dotted IPv4 addresses are no
  // IPv4 multicast routes' groups and are passed over.
  void file(PyObject* port, PyObject* grp_ip, PyObject* vid_text) {
    if (!dotted_ipv4(grp_ip)) return;
    if (vf_) vid_ = int_of(vid_text);
    py::Ref entry = entry_of(group_mac(grp_ip));
    each_switch_port(groups_, port, minus_one(), [&](PyObject* p) { add_port(add_, entry, p); });
  }

 private:
  // self._grp_ip2mac(grp_ip), the last answer kept while it is the own.
  py::Ref group_mac(PyObject* grp_ip) {
    if (!last_mac_ || !mac_.own() || !eq(grp_ip, last_grp_)) {
      last_mac_ = mac_(grp_ip);
      last_grp_ = py::Ref::borrow(grp_ip);
    }
    return last_mac_;
  }

  // The entry of the current VLAN and `grp_mac`, made when there is none.
  py::Ref entry_of(PyObject* grp_mac) {
    return get_or_add(entries_, vid_key(vid_, grp_mac),
                      [&] { return make_entry_(vid_, grp_mac); });
  }

  PyObject* self_;
  bool vf_;
  py::Ref entries_;
  py::Run run_;
  Groups groups_{self_};
  OwnOp add_{ID("add_port"), mdb_entry_add_port};
  py::Operation mac_;
  MdbEntryMaker make_entry_;
  py::Ref vid_;  // -1 without VLAN filtering
  py::Ref last_grp_, last_mac_;
};

// Whether a line's device is the bridge asked about.
bool same_dev(string_view dev, PyObject* orig_dev) {
  return PyString_CheckExact(orig_dev) ? dev == py::as_view(orig_dev) : eq(py::str(dev), orig_dev);
}

// The lines of a text of the interpreter's own, read here as the patterns
// would read them.
void file_own_text(MdbFiler& filer, PyObject* answer, PyObject* orig_dev) {
  bool vf = filer.vlan_filtering();
  Lines reader(py::as_view(answer));
  string_view text;
  while (reader.next(text)) {
    MdbLine line;
    if (!line.read(text, vf) || !same_dev(line.dev, orig_dev)) continue;
    filer.file(py::str(line.port), py::str(line.grp), vf ? py::str(line.vid) : py::Ref());
  }
}

// The lines matched at their start by the pattern of the bridge's kind.
void file_matches(MdbFiler& filer, PyObject* re, PyObject* lines, PyObject* orig_dev) {
  bool vf = filer.vlan_filtering();
  py::Ref pattern = py::callm(
      re, ID("compile"),
      vf ? ID("dev (?P<dev>\\S+) port (?P<port>\\S+) grp (?P<grp_ip>\\S+) \\S+ vid (?P<vid>\\d+)")
         : ID("dev (?P<dev>\\S+) port (?P<port>\\S+) grp (?P<grp_ip>\\S+)"));
  py::Ref match = py::attr(pattern, ID("match"));
  py::Ref it = py::iter(lines);
  while (py::Ref line = py::next(it)) {
    py::Ref m = py::call(match, line);
    if (m.get() == Py_None) continue;
    // dev, port, grp_ip and, with VLAN filtering, vid: the groups in order
    py::Ref groups = py::callm(m, ID("groups"));
    if (!eq(py::item(groups, Py_ssize_t(0)), orig_dev)) continue;
    filer.file(py::item(groups, Py_ssize_t(1)), py::item(groups, Py_ssize_t(2)),
               vf ? py::item(groups, Py_ssize_t(3)) : py::Ref());
  }
}

// Every line of the database, in order: directly for a text of the
// interpreter's own while `re` is the interpreter's, else through the
// patterns.
void file_lines(MdbFiler& filer, PyObject* answer, py::Ref& lines, PyObject* orig_dev) {
  py::Ref re = global(ID("re"));
  if (PyString_CheckExact(answer) && re.get() == py::import("re", nullptr).get()) {
    file_own_text(filer, answer, orig_dev);
    return;
  }
  if (!lines) lines = splitlines(answer);
  file_matches(filer, re, lines, orig_dev);
}

}  // namespace

py::Ref kern_dev_get_mdb_entry(py::Args a) {
  PyObject *self = a[0], *orig_dev = a[1], *orig_vlan = a[2], *orig_grp = a[3];
  py::Ref key = vid_key(orig_vlan, orig_grp);
  py::Ref cache = py::plain_attr(self, ID("kern_mdb_cache"));
  if (py::Ref known = cached(cache, orig_dev))
    return entry_or_none(py::plain_attr(known, ID("mdb_entries")), key);
  py::Ref lines;
  py::Ref answer = show_mdb(self, orig_dev, lines);
  py::Ref vlan_filtering = run_op(self, op::kern_dev_vlan_filtering_get, orig_dev);
  py::Ref record = store_mdb_record(cache, orig_dev, vlan_filtering);
  MdbFiler filer(self, record, vlan_filtering);
  file_lines(filer, answer, lines, orig_dev);
  return entry_or_none(filer.entries(), key);
}

}  // namespace kern

const py::ImplTable kernel_impls = {
    {"KernMdbEntry.__init__", kern::mdb_entry_init},
    {"KernMdbEntry.add_port", kern::mdb_entry_add_port},
    {"KernMdbEntry.__str__", kern::mdb_entry_str},
    {"KernMdbCache.__init__", kern::mdb_cache_init},
    {"KernMdbCache.__str__", kern::mdb_cache_str},
    {"KernVlanEntry.__init__", kern::vlan_entry_init},
    {"KernVlanEntry.add_port", kern::vlan_entry_add_port},
    {"KernVlanEntry.__str__", kern::vlan_entry_str},
    {"KernVlanDevEntry.__init__", kern::vlan_dev_entry_init},
    {"KernVlanDevEntry.__str__", kern::vlan_dev_entry_str},
    {"KernDevEntry.__init__", kern::dev_entry_init},
    {"KernDevEntry.__str__", kern::dev_entry_str},
    {"Asic._kern_create_vlan_cache", kern::kern_create_vlan_cache},
    {"Asic._kern_get_vlan_members", kern::kern_get_vlan_members},
    {"Asic._kern_create_vlan_dev_cache", kern::kern_create_vlan_dev_cache},
    {"Asic._kern_get_vlan_and_atlink", kern::kern_get_vlan_and_atlink},
    {"Asic._kern_setup_br_cache", kern::kern_setup_br_cache},
    {"Asic._kern_get_br_members", kern::kern_get_br_members},
    {"Asic._kern_dev_get_mdb_entry", kern::kern_dev_get_mdb_entry},
    {"Asic._kern_dev_kind_parse", kern::kern_dev_kind_parse},
    {"Asic._kern_dev_vlan_filtering_parse", kern::kern_dev_vlan_filtering_parse},
    {"Asic._kern_dev_cache_get", kern::kern_dev_cache_get},
    {"Asic._kern_dev_vlan_filtering_get", kern::kern_dev_vlan_filtering_get},
    {"Asic._kern_dev_kind_get", kern::kern_dev_kind_get},
    {"Asic._kern_get_dev_vlan", kern::kern_get_dev_vlan},
    {"Asic._kern_base_dev_kind_get", kern::kern_base_dev_kind_get},
    {"Asic._expand_kern_vlan_aware_bridge", kern::expand_kern_vlan_aware_bridge},
    {"Asic._expand_kern_vlan_unaware_bridge", kern::expand_kern_vlan_unaware_bridge},
    {"Asic._expand_kern_bridge", kern::expand_kern_bridge},
    {"Asic._expand_kern_bond", kern::expand_kern_bond},
    {"Asic._expand_kern_dev", kern::expand_kern_dev},
    {"Asic._hw_vlan_to_iif", kern::hw_vlan_to_iif},
    {"Asic._kern_iif_to_hw_vlan", kern::kern_iif_to_hw_vlan},
    {"Asic.__str__", kern::asic_str},
    {"Asic._dump_one_mroute", kern::dump_one_mroute},
    {"Asic.mroute_eq", kern::mroute_eq},
    {"Asic.get_mroutes", kern::get_mroutes},
    {"Asic.dump_mroutes", kern::dump_mroutes},
};

}  // namespace murchet
