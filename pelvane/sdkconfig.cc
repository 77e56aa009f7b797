// SDKConfig: the model stage and the output files by key, with the port
// table (and the Linux devices behind it), the PHY and SFP tables, the PHY
// start-up commands and the per-unit port start-up scripts.
#include "sections.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace pelvane {
namespace {

using py::Args;
using py::Ref;
using sections::each_port;
using sections::joined;
using sections::put_dec;
using sections::put_hex;
using sections::put_text;
using sections::range_count;
using sections::Section;
using sections::tick;
using std::string_view;

// ---- small pieces ----------------------------------------------------------

Ref chip_of(PyObject* self) { return sections::chip_of(py::attr(self, ID("platform"))); }

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

// "%i" of a flag: 1 or 0 for the truth values themselves.
void put_flag(py::StrBuilder& out, PyObject* v) {
  if (v == Py_True || v == Py_False)
    out += v == Py_True ? "1" : "0";
  else
    put_dec(out, v);
}

// The values, "%s" each, one `sep` between two.
void put_texts(py::StrBuilder& out, string_view sep, std::initializer_list<PyObject*> values) {
  bool first = true;
  for (PyObject* v : values) {
    if (!first) out += sep;
    first = false;
    put_text(out, v);
  }
}

// Lines of a tool's answer, split at line feeds (a last empty piece included,
// as the text's split would give it).
template <class F>
void each_line(PyObject* text, const F& f) {
  string_view all = py::as_view(text);
  size_t at = 0;
  for (;;) {
    tick();
    size_t end = all.find('\n', at);
    f(all.substr(at, end == string_view::npos ? string_view::npos : end - at));
    if (end == string_view::npos) break;
    at = end + 1;
  }
}

// The words of a command text, split at white space.
Ref words(PyObject* command) { return py::callm(command, ID("split")); }
Ref words(const char* command) { return words(py::str(command)); }

// ---- construction and the model stage ------------------------------------------

const char* const kFragments[] = {"uft.json", "riot.json", "hw_desc",
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
    tick();
    Ref label = py::attr(port, ID("label"));
    if (py::truth(py::attr(port, ID("is_fabric")))) label = add(ID("Fabric-"), label);
    Ref configured = get_or(config_map, label, py::attr(port, ID("default_mode")));
    bool loopback = py::equal(configured, ID("loopback"));
    Ref mode = loopback ? py::attr(port, ID("default_mode")) : configured;
    if (!py::truth(py::callm(port, ID("configurable"), config_map.get()))) continue;
    Ref pairs = py::iter(py::callm(port, ID("port_mangler"), mode.get()));
    while (Ref pair = py::next(pairs)) {
      tick();
      Ref both[2];
      py::unpack(pair, 2, both);
      hw_ports.push_back(Triple{loopback, both[1], both[0]});
    }
  }

  // Numbering: mapped numbers per unit, interface numbers per unit and
  // prefix (dport chips), MAC indices across the platform.
  Ref chip = sections::chip_of(platform);
  bool dport = py::attr(chip, ID("dport_capable")).get() == Py_True;
  bool portmap = py::attr(chip, ID("portmap_capable")).get() == Py_True;
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
    Ref if_type = py::callm(t.port, ID("hw_intf_prefix"), t.mode.get(), zero.get());
    Ref if_portnum = get_or(u_map, if_type, one);
    PyObject* loopback = t.loopback ? loop_true : loop_false;
    Ref cp;
    if (dport) {
      cp = py::call(cls, t.mode, t.port, mapped_portnum, if_portnum, mac_index, loopback);
      py::setitem(u_map, if_type,
                  add(if_portnum, py::get_property(cp, ID("num_logical_ports"))));
    } else {
      cp = py::call(cls, t.mode, t.port, mapped_portnum, mac_index, loopback);
    }
    mapped_portnum = add(mapped_portnum, py::get_property(cp, ID("num_logical_ports")));
    py::append(ports, cp);
    py::setitem(mapped_portnums, unit, mapped_portnum);
    mac_index = add(mac_index, py::callm(t.port, ID("mac_addrs_contrib_total"), config_map.get()));
  }
  return mac_index;
}

Ref calculate_leds(Args a) {
  PyObject* self = a[0];
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
    tick();
    Ref leds = py::get_property(port, ID("leds"));
    if (leds.get() == Py_None) continue;
    lit.push_back({port, py::item(leds, zero.get())});
  }

  Ref wanted = py::attr(sw, ID("led_controllers"));
  if (!py::truth(wanted)) {
    wanted = py::Ref::steal(PySet_New(nullptr));
    for (const Lit& l : lit) {
      tick();
      py::check(PySet_Add(wanted, l.controller));
    }
  }
  Ref controllers = py::call(global("sorted"), wanted);
  it = py::iter(controllers);
  while (Ref controller = py::next(it)) {
    tick();
    Ref glimmet = py::attr(sw, ID("glimmet"));
    Ref program;
    try {
      program = py::call(py::item(glimmet, controller.get()));
    } catch (const py::Raised&) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
      PyErr_Clear();
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
  py::call(py::attr(global("Config"), ID("config")), self, a[1]);
  Ref max_mac_index = py::Method(self, ID("_calculate_configuration"), calculate_configuration)();
  if (py::truth(py::attr(self, ID("verbose")))) {
    Ref text = py::percent(ID("max_mac_index %d macrange %d\n"),
                           {max_mac_index, py::attr(self, ID("macrange"))});
    py::callm(py::attr(global("sys"), ID("stdout")), ID("write"), text.get());
  }
  py::Method(self, ID("_calculate_leds"), calculate_leds)();
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

// ---- the port table and the Linux devices ------------------------------------------

// Whether BRINDLET_USE_TUNTAP is "1" now.
bool tap_mode() {
  Ref environ = py::attr(global("os"), ID("environ"));
  Ref value = py::callm(environ, ID("get"), ID("BRINDLET_USE_TUNTAP"));
  return PyString_Check(value.get()) && py::as_view(value) == "1";
}

// The names of the tap devices the switch itself makes, the only ones a tap
// listing may offer for deletion: per platform port its name_override, or
// else its prefix and label, and the sub-port names a split of the port
// would give, made as linux_port_name makes them.  Other tun and tap
// devices of the host are not ours.
class TapNames {
 public:
  explicit TapNames(PyObject* self) : names_(Ref::steal(PySet_New(nullptr))) {
    Ref it = py::iter(py::attr(py::attr(py::attr(self, ID("platform")), ID("switch")), ID("ports")));
    while (Ref port = py::next(it)) {
      tick();
      Ref name = py::attr(port, ID("name_override"));
      if (name.get() != Py_None) {
        if (PyString_Check(name.get())) add(name);
        continue;
      }
      PyObject* prefix = linux_prefix_of(port);
      Ref label = py::attr(port, ID("label"));
      add(linux_name(prefix, label, nullptr));
      long subs = range_count(py::attr(port, ID("max_logical_ports")));
      if (subs > 1)
        for (long sub = 0; sub < subs; ++sub) {
          tick();
          add(linux_name(prefix, label, py::integer(sub)));
        }
    }
  }
  bool ours(string_view name) const {
    int found = PySet_Contains(names_, py::str(name));
    py::check(found);
    return found;
  }

 private:
  void add(PyObject* name) { py::check(PySet_Add(names_, name)); }
  Ref names_;
};

Ref quillet(Args a) {
  PyObject* self = a[0];
  Section rows;
  Ref devices = Ref::steal(PySet_New(nullptr));
  Ref chip = chip_of(self);
  Ref sw_base = py::attr(chip, ID("sw_base"));
  bool tap = tap_mode();
  auto is = [&](const char* family) {
    return PyString_Check(sw_base.get()) && py::as_view(sw_base) == family;
  };
  auto add_device = [&](string_view name) {
    py::check(PySet_Add(devices, py::str(name)));
  };

  // The devices there are.
  if (tap) {
    TapNames names(self);
    Ref listing = py::callm(py::attr(self, ID("iproute2")), ID("run"), words("tuntap show").get());
    each_line(listing, [&](string_view line) {
      string_view name = line.substr(0, line.find(':'));
      if (!name.empty() && names.ours(name)) add_device(name);
    });
  } else if (!is("vx")) {
    const char* link_type = is("bcm") ? "bcm_knet" : is("mlx") ? "mlx_sx_netdev" : nullptr;
    if (!link_type)
      py::raise(global("UnsupportedPlatformError"),
                py::percent(ID("Kernel netdevs are not supported                      "
                               "on %s, only on Broadcom and Mellanox"),
                            {sw_base}));
    Ref listing = py::callm(py::attr(self, ID("brindlet")), ID("run"),
                            words(py::format("show type %s", link_type).c_str()).get());
    each_line(listing, [&](string_view line) {
      string_view name = line.substr(0, line.find(' '));
      if (!name.empty() && name != "switch" && name != "swid") add_device(name);
    });
  }

  // A row per logical port; a device for each that gets one.
  bool dport = py::attr(chip, ID("dport_capable")).get() == Py_True;
  Ref minus_one = py::integer(-1);
  each_port(self, [&](PyObject* port, long n) {
    if (n < 1) return;
    // What the port's sub-ports share, asked once for the port.
    Ref unit = py::get_property(port, ID("unit"));
    Ref fabric = py::get_property(port, ID("is_fabric"));
    Ref loopback = py::attr(port, ID("loopback"));
    bool device =
        fabric.get() == Py_False || py::truth(py::get_property(port, ID("create_fabric")));
    for (long i = 0; i < n; ++i) {
      tick();
      Ref sub = py::integer(i);
      Ref name = py::call_method(port, ID("linux_port_name"), sub.get());
      Ref logical =
          dport ? py::call_method(port, ID("sdk_logical_port_num"), sub.get()) : minus_one;
      Ref intf = py::call_method(port, ID("sdk_intf"), sub.get());
      py::StrBuilder& row = rows.line();
      put_texts(row, "\t", {name, intf});
      row += "\t";
      put_dec(row, unit);
      row += "\t";
      put_flag(row, fabric);
      row += "\t";
      put_dec(row, logical);
      row += "\t";
      put_flag(row, loopback);
      if (!device) continue;
      Ref index = py::call_method(port, ID("port_mac_index"), sub.get());
      if (tap)
        py::callm(self, ID("maketap"), name.get(), index.get(), devices.get());
      else
        py::callm(self, ID("makekernnet"), name.get(), index.get(), unit.get(), devices.get());
    }
  });

  // Broadcom's own "switch" devices come up.
  if (is("bcm") && !tap) {
    Ref ip = py::attr(self, ID("iproute2"));
    Ref listing = py::callm(ip, ID("run"), words("-o link show").get());
    std::vector<std::string> up;
    each_line(listing, [&](string_view line) {
      size_t colon = line.find(':');
      if (colon == string_view::npos) return;
      string_view field = line.substr(colon + 1);
      field = field.substr(0, field.find(':'));
      // A device with a link is listed as "name@parent".
      string_view name = field.substr(0, field.find('@'));
      if (name.find("switch") != string_view::npos) up.emplace_back(name);
    });
    for (const std::string& name : up)
      py::callm(ip, ID("run"), words(py::percent(ID("link set dev %s up"), {py::str(name)})).get());
  }

  py::callm(self, ID("destroyints"), devices.get());
  return rows.finish();
}

// ---- PHY and SFP tables, PHY start-up commands ------------------------------------

Ref phytab(Args a) {
  Section rows;
  Ref linux_name = py::none(), sdk_name = py::none();
  each_port(a[0], [&](PyObject* port, long n) {
    long phys = range_count(py::get_property(port, ID("num_phys")));
    for (long phy = 0; phy < phys; ++phy) {
      tick();
      Ref number = py::integer(phy);
      Ref addr = py::call_method(port, ID("phy_addr"), number.get());
      if (n > phy) {
        sdk_name = py::call_method(port, ID("sdk_intf"), number.get());
        linux_name = py::call_method(port, ID("linux_port_name"), number.get());
      }
      Ref mode = py::attr(port, ID("mode"));
      py::StrBuilder& row = rows.line();
      row += "0x";
      put_hex(row, addr, false);
      row += "\t";
      put_texts(row, "\t", {linux_name, sdk_name, mode});
    }
  });
  return rows.finish();
}

Ref rcphy(Args a) {
  Section lines;
  each_port(a[0], [&](PyObject* port, long n) {
    long phys = range_count(py::get_property(port, ID("num_phys")));
    for (long phy = 0; phy < phys; ++phy) {
      tick();
      Ref addr = py::call_method(port, ID("phy_addr"), py::integer(phy).get());
      if (n <= phy) continue;
      Ref init = py::get_property(port, ID("phy_init"));
      Ref regs = py::iter(init);
      while (Ref reg = py::next(regs)) {
        tick();
        Ref value = py::item(init, reg.get());
        py::StrBuilder& line = lines.line();
        line += "phy raw c45 ";
        put_texts(line, " ", {addr, reg, value});
      }
    }
  });
  return lines.finish();
}

Ref sfptab(Args a) {
  Section rows;
  each_port(a[0], [&](PyObject* port, long n) {
    Ref sfp = py::attr(py::attr(port, ID("physical_port")), ID("sfp"));
    if (sfp.get() == Py_None || !py::truth(sfp)) return;
    Ref type = py::attr(sfp, ID("type"));
    Ref method = py::attr(sfp, ID("accessmethod"));
    Ref address = py::attr(sfp, ID("address"));
    // The address is hexadecimal where the module is reached through the SDK.
    long at = py::as_long(py::callm(method, ID("find"), ID("sdk")));
    Ref addr_text = at > 0 ? py::percent(ID("0x%x"), {address}) : py::percent(ID("%s"), {address});
    if (n < 1) n = 1;
    for (long i = 0; i < n; ++i) {
      tick();
      Ref name = py::call_method(port, ID("linux_port_name"), py::integer(i).get());
      py::StrBuilder& row = rows.line();
      put_texts(row, "\t", {name, type, method, addr_text});
    }
  });
  return rows.finish();
}

// ---- port start-up scripts ---------------------------------------------------------

// A dict of lists whose keys are kept in the order met.
struct Lists {
  Ref map = py::dict();
  Ref keys = py::list();
  void add(PyObject* key, PyObject* name) {
    PyObject* list = py::dict_find(map, key);
    if (!list) {
      Ref made = py::list();
      py::setitem(map, key, made);
      py::append(keys, key);
      list = made;
    }
    py::append(list, name);
  }
};

Ref rcports(Args a) {
  PyObject *self = a[0], *unit = a[1];
  Ref all = py::list(), loopback = py::list();
  Lists speeds, groups;
  // The unit first: a port of another unit is asked nothing more.
  Ref ports = py::iter(py::attr(self, ID("ports")));
  while (Ref held = py::next(ports)) {
    tick();
    PyObject* port = held.get();
    if (!py::equal(py::get_property(port, ID("unit")), unit)) continue;
    long n = range_count(py::get_property(port, ID("num_logical_ports")));
    // What the port's sub-ports share, asked once for the port.
    Ref speed = py::get_property(port, ID("speed"));
    bool looped = py::truth(py::attr(port, ID("loopback")));
    Ref group = py::get_property(port, ID("sdk_group"));
    for (long i = 0; i < n; ++i) {
      tick();
      Ref intf = py::call_method(port, ID("sdk_intf"), py::integer(i).get());
      py::append(all, intf);
      speeds.add(speed, intf);
      if (looped) py::append(loopback, intf);
      if (group.get() != Py_None) groups.add(group, intf);
    }
  }

  Ref compress = py::attr(self, ID("_compress_portlist"));
  py::StrBuilder lines;
  lines += "setenv allports ";
  put_text(lines, py::call(compress, all));
  // Speeds ascending, groups by name.
  Ref sorted = global("sorted");
  Ref one = py::integer(1);
  Ref keys = py::call(sorted, speeds.keys);
  Ref it = py::iter(keys);
  while (Ref speed = py::next(it)) {
    tick();
    Ref list = py::call(compress, py::item(speeds.map, speed.get()));
    if (py::equal(speed, one)) {
      lines += "\nsetenv 1Gports ";
    } else {
      lines += "\nsetenv ";
      put_text(lines, speed);
      lines += "Gports ";
    }
    put_text(lines, list);
  }
  if (py::length(loopback)) {
    lines += "\nsetenv lbports ";
    put_text(lines, py::call(compress, loopback));
    lines += "\nport $lbports lb=mac";
  }
  keys = py::call(sorted, groups.keys);
  it = py::iter(keys);
  while (Ref group = py::next(it)) {
    tick();
    lines += "\nsetenv sdk_group_";
    put_text(lines, group);
    lines += " ";
    put_text(lines, py::call(compress, py::item(groups.map, group.get())));
  }
  return lines.finish();
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
  if (py::attr(chip, ID("dport_capable")).get() == Py_True)
    section("\n# dport map", py::attr(self, ID("dportmap")));
  if (py::attr(chip, ID("portmap_capable")).get() == Py_True)
    section("\n# portmap", py::attr(self, ID("portmap")));
  else
    section("\n# non portmap capable config", py::attr(self, ID("portmap_uncapable_config")));
  static const char* const kSections[][2] = {
      {"\n# emphasis", "port_emphasis"},   {"\n# port initializations", "port_init"},
      {"\n# phys", "phys"},                {"\n# addrs", "phy_addrs"},
      {"\n# autoneg", "phy_an"},           {"\n# prime_offsets", "prim_offsets"},
      {"\n# phy_id1s", "phy_id1s"},        {"\n# sys_interfaces", "sys_interfaces"},
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
    py::raisef(PyExc_TypeError, "output key must be a string, not %.200s",
               Py_TYPE(key)->tp_name);
  string_view k = py::as_view(text_key);
  if (k == "portsbcm") return portsbcm(self);
  if (k == "quillet")
    return headed("# linux_intf\tsdk_intf\tunit\tis_fabric\tlogical_port\tis_loopback",
                  py::attr(self, ID("quillet")));
  if (k == "linkdefaults") return py::attr(self, ID("linkdefaults"));
  if (k == "phytab") return headed("# phy_addr\tlinux_intf\tsdk_intf", py::attr(self, ID("phytab")));
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
    {"SDKConfig.phytab", phytab},
    {"SDKConfig.rcports", rcports},
    {"SDKConfig.quillet", quillet},
    {"SDKConfig.rcphy", rcphy},
    {"SDKConfig.sfptab", sfptab},
    {"SDKConfig.output", output},
};

}  // namespace pelvane
