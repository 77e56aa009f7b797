// SDKConfig: construction, the model stage (configured ports, LED
// controllers, units, gang sets), the model accessors and the output files
// by key.
#include "sections.h"

#include <string_view>
#include <unordered_set>
#include <vector>

namespace pelvane {
namespace {

using py::Args;
using py::Ref;
using sections::joined;
using sections::mapping_keys;
using sections::tick;
using std::string_view;

// ---- small pieces ----------------------------------------------------------

Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }

// o.get(key, fallback), straight from the table for a dict and a text key
// (what the lookup raises, a failing comparison with a key of the same
// hash, passes on as the method's would).
Ref get_or(PyObject* o, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(o) && PyString_CheckExact(key)) {
    PyObject* v = py::dict_find(o, key);
    return Ref::borrow(v ? v : fallback);
  }
  return py::callm(o, ID("get"), key, fallback);
}

// ---- construction and the model stage ------------------------------------------

const char* const kFragments[] = {"uft.json",      "riot.json",     "hw_desc",
                                  "rc.forwarding", "datapath.conf", "sdk.bcm"};

Ref sdk_init(Args a) {
  PyObject* self = a[0];
  py::call_unbound(global("Config"), ID("__init__"), {self, a[1], a[2], a[3]},
                   {{ID("dummy"), a[4]}});
  for (const char* key : kFragments) py::callm(self, ID("read_config"), py::str(key));
  return {};
}

Ref calculate_configuration(Args a) {
  PyObject* self = a[0];
  py::ClassScope scope;
  Ref ports = py::list();
  py::setattr(self, ID("ports"), ports);
  Ref mac_index = py::integer(0);
  Ref mapped_portnums = py::dict();
  py::setattr(self, ID("mapped_portnums"), mapped_portnums);
  Ref if_nums = py::dict();

  Ref platform = py::attr(self, ID("platform"));
  Ref config_map = py::attr(self, ID("config_map"));
  Ref platform_ports = py::attr(py::attr(platform, ID("switch")), ID("ports"));

  // Expansion: the (loopback, mode, platform port) triples of every
  // configurable port, in platform order.
  struct Triple {
    bool loopback;
    Ref mode, port;
  };
  std::vector<Triple> hw_ports;
  Ref it = py::iter(platform_ports);
  while (Ref port = py::next(it)) {
    Ref label = py::attr(port, ID("label"));
    if (py::truth(py::attr(port, ID("is_fabric")))) label = add(ID("Fabric-"), label);
    Ref configured = get_or(config_map, label, py::attr(port, ID("default_mode")));
    bool loopback = py::equal(configured, ID("loopback"));
    Ref mode = loopback ? py::attr(port, ID("default_mode")) : configured;
    if (!py::truth(py::call_op(port, ID("configurable"), config_map.get()))) continue;
    Ref pairs = py::iter(py::call_op(port, ID("port_mangler"), mode.get()));
    while (Ref pair = py::next(pairs)) {
      Ref both[2];
      py::unpack(pair, 2, both);
      hw_ports.push_back(Triple{loopback, both[1], both[0]});
    }
  }

  // Numbering: mapped numbers per unit, interface numbers per unit and
  // prefix (dport chips), MAC indices across the platform.
  Ref chip = switch_chip(platform);
  bool dport = sections::flag_set(chip, ID("dport_capable"));
  bool portmap = sections::flag_set(chip, ID("portmap_capable"));
  Ref cls = global(dport     ? "BCMConfiguredDportPort"
                   : portmap ? "SDKConfiguredMappedPort"
                             : "SDKConfiguredPort");
  Ref one = py::integer(1);
  Ref zero = py::integer(0);
  Ref loop_true = py::boolean(true), loop_false = py::boolean(false);
  for (const Triple& t : hw_ports) {
    tick();
    Ref unit = py::attr(t.port, ID("unit"));
    Ref mapped_portnum = get_or(mapped_portnums, unit, one);
    Ref u_map = get_or(if_nums, unit, Py_None);
    if (!py::truth(u_map)) {
      u_map = py::dict();
      py::setitem(if_nums, unit, u_map);
    }
    Ref if_type = py::call_op(t.port, ID("hw_intf_prefix"), t.mode.get(), zero.get());
    Ref if_portnum = get_or(u_map, if_type, one);
    PyObject* loopback = t.loopback ? loop_true : loop_false;
    Ref cp;
    if (dport) {
      cp = py::call(cls, t.mode, t.port, mapped_portnum, if_portnum, mac_index, loopback);
      py::setitem(u_map, if_type, add(if_portnum, py::read_prop(cp, ID("num_logical_ports"))));
    } else {
      cp = py::call(cls, t.mode, t.port, mapped_portnum, mac_index, loopback);
    }
    mapped_portnum = add(mapped_portnum, py::read_prop(cp, ID("num_logical_ports")));
    py::append(ports, cp);
    py::setitem(mapped_portnums, unit, mapped_portnum);
    mac_index = add(mac_index,
                    py::call_op(t.port, ID("mac_addrs_contrib_total"), config_map.get()));
  }
  return mac_index;
}

Ref calculate_leds(Args a) {
  PyObject* self = a[0];
  py::ClassScope scope;
  Ref programs = py::dict();
  py::setattr(self, ID("_led_programs"), programs);
  Ref sw = py::attr(py::attr(self, ID("platform")), ID("switch"));

  // Each configured port with LEDs and its controller number.
  struct Lit {
    Ref port, controller;
  };
  std::vector<Lit> lit;
  Ref zero = py::integer(0);
  Ref it = py::iter(py::attr(self, ID("ports")));
  while (Ref port = py::next(it)) {
    Ref leds = py::read_prop(port, ID("leds"));
    if (leds.get() == Py_None) continue;
    lit.push_back({port, py::item(leds, zero.get())});
  }

  Ref wanted = py::attr(sw, ID("led_controllers"));
  if (!py::truth(wanted)) {
    wanted = Ref::steal(PySet_New(nullptr));
    for (const Lit& l : lit) {
      tick();
      py::check(PySet_Add(wanted, l.controller));
    }
  }
  // sorted(wanted), its copy taken through next() (Ctrl-C ends an endless
  // one) while sorted() is the interpreter's own, which sorts a list copy of
  // what it is given as PyList_Sort sorts.
  Ref sorted = global("sorted");
  Ref controllers;
  if (py::c_function_named(sorted, "__builtin__", "sorted")) {
    controllers = py::list_of(wanted);
    py::check(PyList_Sort(controllers));
  } else {
    controllers = py::call(sorted, wanted);
  }
  it = py::iter(controllers);
  while (Ref controller = py::next(it)) {
    Ref glimmet = py::attr(sw, ID("glimmet"));
    Ref program;
    try {
      program = py::call(py::item(glimmet, controller.get()));
    } catch (const py::Raised&) {
      if (!py::clear_if(PyExc_TypeError)) throw;
      program = py::call(glimmet);
    }
    Ref selected = py::list();
    for (const Lit& l : lit) {
      tick();
      if (py::equal(l.controller, controller)) py::append(selected, l.port);
    }
    py::callm(program, ID("configure"), controller.get(), selected.get());
    py::setitem(programs, controller, program);
  }
  return {};
}

Ref sdk_config(Args a) {
  PyObject* self = a[0];
  py::ClassScope scope;
  py::call(py::attr(global("Config"), ID("config")), self, a[1]);
  Ref max_mac_index = py::Operation(self, ID("_calculate_configuration"),
                                    calculate_configuration)();
  if (py::truth(py::attr(self, ID("verbose")))) {
    Ref text = py::percent(ID("max_mac_index %d macrange %d\n"),
                           {max_mac_index, py::attr(self, ID("macrange"))});
    py::callm(py::attr(global("sys"), ID("stdout")), ID("write"), text.get());
  }
  py::Operation(self, ID("_calculate_leds"), calculate_leds)();
  py::callm(self, ID("_calculate_units"));
  py::callm(self, ID("_calculate_gangs"), py::attr(self, ID("ports")).get());
  Ref macrange = py::attr(self, ID("macrange"));
  int short_of_macs = PyObject_RichCompareBool(max_mac_index, macrange, Py_GT);
  py::check(short_of_macs);
  if (short_of_macs) {
    py::callm(global("syslog"), ID("syslog"),
              py::str("Not enough macs in platform, falling to l3-only").get());
    py::callm(self, ID("set_macmode"), py::str("l3-only").get());
  }
  return {};
}

// ---- units and model accessors ----------------------------------------------

Ref calculate_units(Args a) {
  py::ClassScope scope;
  Ref units = Ref::steal(PySet_New(nullptr));
  Ref it = py::iter(py::attr(a[0], ID("ports")));
  while (Ref port = py::next(it)) {
    Ref unit = py::read_prop(port, ID("unit"));
    if (unit.get() != Py_None) py::check(PySet_Add(units, unit));
  }
  py::setattr(a[0], ID("units"), units);
  return {};
}

Ref led_chains(Args a) { return mapping_keys(py::attr(a[0], ID("_led_programs"))); }

Ref port_units(Args a) { return mapping_keys(py::attr(a[0], ID("mapped_portnums"))); }

// Each LED controller number mapped to one attribute of its controller.
Ref per_controller(PyObject* self, PyObject* name) {
  Ref programs = py::attr(self, ID("_led_programs"));
  Ref keys = mapping_keys(programs);
  Ref out = py::dict();
  // (The keys' count read at every turn, after its tick(): the turn's code
  // may change the list.)
  for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(keys.get()); ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    Ref value = py::attr(py::item(programs, key), name);
    py::dict_set(out, key, value);
  }
  return out;
}

Ref led_asm(Args a) { return per_controller(a[0], ID("asm")); }

Ref led_hex(Args a) { return per_controller(a[0], ID("hex")); }

// ---- gang sets -------------------------------------------------------------

// Where a configured port stands among the ganged ports: its unit, then the
// number of its platform port's first hardware port name (xe12: 12).
struct GangKey {
  Ref unit, number;
  long unit_v = 0, number_v = 0;
  bool plain = false;  // both are small integers, held in unit_v, number_v
};

GangKey gang_key(PyObject* port) {
  GangKey k;
  k.unit = py::read_prop(port, ID("unit"));
  k.number = first_hw_port_number(port);
  k.plain = PyInt_CheckExact(k.unit.get()) && PyInt_CheckExact(k.number.get());
  if (k.plain) {
    k.unit_v = PyInt_AS_LONG(k.unit.get());
    k.number_v = PyInt_AS_LONG(k.number.get());
  }
  return k;
}

bool key_less(const GangKey& x, const GangKey& y) {
  if (x.plain && y.plain)
    return x.unit_v != y.unit_v ? x.unit_v < y.unit_v : x.number_v < y.number_v;
  if (!py::equal(x.unit, y.unit)) return sections::number_less(x.unit, y.unit);
  return sections::number_less(x.number, y.number);
}

[[noreturn]] void gang_error(PyObject* self, PyObject* fmt, PyObject* port) {
  Ref name = py::attr(py::attr(self, ID("platform")), ID("name"));
  Ref label = py::read_prop(port, ID("label"));
  py::raise(PyExc_RuntimeError, py::percent(fmt, {name.get(), label.get()}));
}

Ref calculate_gangs(Args a) {
  PyObject* self = a[0];
  py::ClassScope scope;
  // A copy of its own, which the walk's code (the ports', a signal's
  // handler) cannot change: it holds the ports throughout.
  Ref ports = py::tuple_of(a[1]);
  const Py_ssize_t n = PyTuple_GET_SIZE(ports.get());
  std::vector<GangKey> keys;
  keys.reserve(size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    tick();
    keys.push_back(gang_key(PyTuple_GET_ITEM(ports.get(), i)));
  }
  std::vector<Py_ssize_t> order(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) order[size_t(i)] = i;
  // The keys' own order may be inconsistent: a merge that never reads past
  // its runs, whatever the comparisons answer.
  py::stable_sort(order, [&](Py_ssize_t x, Py_ssize_t y) {
    return key_less(keys[size_t(x)], keys[size_t(y)]);
  });

  std::vector<PyObject*> members;  // held by `ports`
  std::unordered_set<PyObject*> in_set;
  PyObject* leader = nullptr;
  for (Py_ssize_t i : order) {
    tick();
    PyObject* port = PyTuple_GET_ITEM(ports.get(), i);
    if (py::read_prop(port, ID("ganged")).get() != Py_True) continue;
    if (py::read_prop(port, ID("gang_leader")).get() == Py_True) leader = port;
    if (!in_set.insert(port).second)
      gang_error(self, ID("platform: %s: Duplicate port %s already in ganged set"), port);
    members.push_back(port);
    Ref size = py::read_prop(port, ID("max_gang_size"));
    if (!py::equal(py::integer(long(members.size())), size)) continue;
    if (!leader) gang_error(self, ID("platform: %s: ganged set of port %s has no leader"), port);
    Ref gang = py::list();
    for (PyObject* m : members) py::append(gang, m);
    py::setattr(leader, ID("ganged_ports"), Ref::steal(PyFrozenSet_New(gang)));
    leader = nullptr;
    members.clear();
    in_set.clear();
  }
  return {};
}
// ---- output files by key -----------------------------------------------------------

// The SDK property file: its sections, comment and text, in order.
Ref portsbcm(PyObject* self) {
  Ref elements = py::list();
  auto section = [&](const char* comment, PyObject* text) {
    py::append(elements, py::str(comment));
    py::append(elements, text);
  };
  Ref chip = chip_of(self);
  section("\n# pbmp", py::attr(self, ID("sdk_pbmp")));
  if (sections::flag_set(chip, ID("dport_capable")))
    section("\n# dport map", py::attr(self, ID("dportmap")));
  if (sections::flag_set(chip, ID("portmap_capable")))
    section("\n# portmap", py::attr(self, ID("portmap")));
  else
    section("\n# non portmap capable config", py::attr(self, ID("portmap_uncapable_config")));
  static const char* const kSections[][2] = {
      {"\n# emphasis", "port_emphasis"},
      {"\n# port initializations", "port_init"},
      {"\n# phys", "phys"},
      {"\n# addrs", "phy_addrs"},
      {"\n# autoneg", "phy_an"},
      {"\n# prime_offsets", "prim_offsets"},
      {"\n# phy_id1s", "phy_id1s"},
      {"\n# sys_interfaces", "sys_interfaces"},
  };
  Ref texts[8];
  for (size_t i = 0; i < 8; ++i) texts[i] = py::attr(self, kSections[i][1]);
  for (size_t i = 0; i < 8; ++i) section(kSections[i][0], texts[i]);
  Ref fiber = py::attr(self, ID("fiber_pref"));
  if (py::truth(fiber)) section("\n# fiber pref", fiber);
  return joined(elements);
}

// The heading line and the generator's text.
Ref headed(const char* heading, PyObject* text) {
  Ref elements = py::list({py::str(heading).get(), text});
  return joined(elements);
}

Ref ucodebcm(PyObject* self) {
  Ref sw = py::attr(py::attr(self, ID("platform")), ID("switch"));
  bool spi;
  if (py::truth(py::attr(self, ID("exploded"))))
    spi = !py::truth(py::attr(sw, ID("has_phy_ucode_mdio")));
  else
    spi = py::truth(py::attr(sw, ID("has_phy_ucode_spi_rom")));
  return py::str(spi ? "# use SPI-ROM method for ucode download\nphy_ext_rom_boot=3000"
                     : "# use MDIO method for ucode download\nphy_ext_rom_boot=0");
}

// A chip fragment, under its comment where it has one; None without it.
Ref fragment(PyObject* self, PyObject* name, const char* comment) {
  Ref text = py::attr(self, name);
  if (text.get() == Py_None) return py::none();
  return comment ? headed(comment, text) : text;
}

Ref output(Args a) {
  PyObject *self = a[0], *key = a[1];
  py::ClassScope scope;
  Ref text_key = Ref::borrow(key);
  if (PyUnicode_Check(key)) {
    PyObject* ascii = PyUnicode_AsASCIIString(key);
    if (!ascii) {
      PyErr_Clear();
      py::raise(PyExc_KeyError, py::tuple({key}));
    }
    text_key = Ref::steal(ascii);
  }
  if (!PyString_Check(text_key.get()))
    py::raisef(PyExc_TypeError, "output key must be a string, not %.200s", Py_TYPE(key)->tp_name);
  string_view k = py::as_view(text_key);
  if (k == "portsbcm") return portsbcm(self);
  if (k == "quillet")
    return headed("# linux_intf\tsdk_intf\tunit\tis_fabric\tlogical_port\tis_loopback",
                  py::attr(self, ID("quillet")));
  if (k == "linkdefaults") return py::attr(self, ID("linkdefaults"));
  if (k == "phytab")
    return headed("# phy_addr\tlinux_intf\tsdk_intf", py::attr(self, ID("phytab")));
  if (k.substr(0, 8) == "rcports_") {
    Ref tail = py::str(k.substr(k.rfind('_') + 1));
    Ref unit = py::call(reinterpret_cast<PyObject*>(&PyInt_Type), tail);
    return py::callm(self, ID("rcports"), unit.get());
  }
  if (k == "rcled") return py::attr(self, ID("rcled"));
  if (k == "rcphy") return py::attr(self, ID("rcphy"));
  if (k == "ethertab") return py::attr(self, ID("ethertab"));
  if (k == "ucodebcm") return ucodebcm(self);
  if (k == "sfptab")
    return headed("# linux_intf\tmode\tsfp_addrtype\tsfp_addr", py::attr(self, ID("sfptab")));
  if (k == "hwdesc") return fragment(self, ID("hw_desc"), " # chip description file");
  if (k == "uft") return fragment(self, ID("uft"), nullptr);
  if (k == "riot") return fragment(self, ID("riot"), nullptr);
  if (k == "datapath")
    return fragment(self, ID("datapath_conf"), " # chip datapath configuration file");
  if (k == "sdk") return fragment(self, ID("sdk_bcm"), nullptr);
  if (k == "rcforwarding")
    return fragment(self, ID("rc_forwarding"), " # chip forwarding configuration file");
  py::raise(PyExc_KeyError, py::tuple({key}));
}

}  // namespace

const py::ImplTable sdk_impls = {
    {"SDKConfig.__init__", sdk_init},
    {"SDKConfig.config", sdk_config},
    {"SDKConfig._calculate_configuration", calculate_configuration},
    {"SDKConfig._calculate_leds", calculate_leds},
    {"SDKConfig._calculate_units", calculate_units},
    {"SDKConfig._calculate_gangs", calculate_gangs},
    {"SDKConfig.led_chains", led_chains},
    {"SDKConfig.led_asm", led_asm},
    {"SDKConfig.led_hex", led_hex},
    {"SDKConfig.port_units", port_units},
    {"SDKConfig.output", output},
};

}  // namespace pelvane
