// The outside-tool wrappers and Config: ports.conf, MAC addresses, devices.
#include "pelvane.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

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
  // The keys in a copy that the ports' code, and a signal's handler, cannot
  // change.
  py::Ref keys = py::tuple_of(map);
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(keys.get()); i < n; ++i) {
    py::tick();
    py::Ref key = py::Ref::borrow(PyTuple_GET_ITEM(keys.get(), i));
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
  if (!reads_back_as_label(t) || t == "\"\"" || t.find('\n') != t.npos || t.find('\r') != t.npos)
    return false;
  size_t semi = t.find(';');
  return semi == t.npos || semi == 0 || !blank(t[semi - 1]);
}

// One entry of a ports.conf as plain_entries() finds it.
struct PlainEntry {
  long number;
  py::Ref label, mode;
};

// The entries of `map` to be written, with their labels' numbers, where
// the interpreter would write and order them as their texts stand: `map` a
// dict whose keys and modes are all plain texts, each key but the "Fabric-"
// ones of 1 to 9 plain digits (int() of it then being their number), and
// each mode reading back as itself.  False where one is not.  The texts
// are held, so that they stay while other threads run.  The dict is walked
// as its iterator walks it; one that a signal's handler changed in size
// meanwhile is left to the general way.
bool plain_entries(PyObject* map, std::vector<PlainEntry>& entries) {
  if (!PyDict_CheckExact(map)) return false;
  const Py_ssize_t size = PyDict_Size(map);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (;;) {
    if (py::tick() && PyDict_Size(map) != size) return false;
    if (!PyDict_Next(map, &pos, &key, &value)) break;
    if (!PyString_CheckExact(key) || !PyString_CheckExact(value)) return false;
    std::string_view label = py::as_view(key);
    long number;
    if (label.substr(0, 7) == "Fabric-") continue;
    if (!py::digits_value(label, number, 9) || !reads_back_as_mode(py::as_view(value)))
      return false;
    entries.push_back({number, py::Ref::borrow(key), py::Ref::borrow(value)});
  }
  return true;
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
  constexpr std::string_view kHeader =
      "# XXX - default config file (needs documentation comments)\n";
  std::vector<PlainEntry> entries;
  if (plain_entries(map, entries)) {
    // Written straight: sorted(keys, key=int) is stable, as stable_sort.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const PlainEntry& x, const PlainEntry& y) { return x.number < y.number; });
    size_t size = kHeader.size();
    for (const PlainEntry& entry : entries)
      size += PyString_GET_SIZE(entry.label.get()) + PyString_GET_SIZE(entry.mode.get()) + 2;
    py::StrBuilder text(size);
    text += kHeader;
    {
      // The texts are held, and the builder has room for them all, so
      // other threads run while they are copied.
      py::Unlocked unlocked;
      for (const PlainEntry& entry : entries)
        text.append(py::as_view(entry.label), "=", py::as_view(entry.mode), "\n");
    }
    py::Ref written = text.finish();
    replace_file(a[1], path, py::as_view(written));
    return {};
  }
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
  py::Ref lines = py::list({py::str(kHeader)});
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
