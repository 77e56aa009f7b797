// BCMConfig, the gang step and the property sections of the SDK files.
//
// The sections walk the configured ports in list order and, within a port,
// its logical ports from 0 up, asking the ports afresh at every read.  Lines
// are written straight into one text (sections.h).
#include "json_text.h"
#include "sections.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>

namespace pelvane {
namespace {

using std::string_view;
using namespace sections;

py::Ref platform_of(PyObject* self) { return py::attr(self, ID("platform")); }

// Small integers for the sub-port numbers.
py::Ref sub_number(long sub) { return py::integer(sub); }

// ---- BCMConfig and the model accessors -------------------------------------------

py::Ref bcm_init(py::Args a) {
  py::call_unbound(global("SDKConfig"), ID("__init__"), {a[0], a[1], a[2], a[3]},
                   {{ID("dummy"), a[4]}});
  return {};
}

py::Ref calculate_units(py::Args a) {
  py::Ref units = py::Ref::steal(PySet_New(nullptr));
  py::Ref it = py::iter(py::attr(a[0], ID("ports")));
  while (py::Ref port = py::next(it)) {
    tick();
    py::Ref unit = py::get_property(port, ID("unit"));
    if (unit.get() != Py_None) py::check(PySet_Add(units, unit));
  }
  py::setattr(a[0], ID("units"), units);
  return {};
}

py::Ref led_chains(py::Args a) { return mapping_keys(py::attr(a[0], ID("_led_programs"))); }

py::Ref port_units(py::Args a) { return mapping_keys(py::attr(a[0], ID("mapped_portnums"))); }

// Each LED controller number mapped to one attribute of its controller.
py::Ref per_controller(PyObject* self, PyObject* name) {
  py::Ref programs = py::attr(self, ID("_led_programs"));
  py::Ref keys = mapping_keys(programs);
  py::Ref out = py::dict();
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.get()); i < n; ++i) {
    tick();
    py::Ref key = py::Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    py::Ref value = py::attr(py::item(programs, key), name);
    py::dict_set(out, key, value);
  }
  return out;
}

py::Ref led_asm(py::Args a) { return per_controller(a[0], ID("asm")); }

py::Ref led_hex(py::Args a) { return per_controller(a[0], ID("hex")); }

// ---- gang sets -------------------------------------------------------------

// Where a configured port stands among the ganged ports: its unit, then the
// number of its platform port's first hardware port name (xe12: 12).
struct GangKey {
  py::Ref unit, number;
  long unit_v = 0, number_v = 0;
  bool plain = false;  // both are small integers, held in unit_v, number_v
};

// The number in a hardware or SDK interface name (xe12: 12) when the name
// is a prefix of two characters and up to 18 decimal digits.
bool name_digits(string_view text, long long& v) {
  if (text.size() <= 2 || text.size() > 2 + 18) return false;
  v = 0;
  for (char c : text.substr(2)) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return true;
}

GangKey gang_key(PyObject* port) {
  GangKey k;
  k.unit = py::get_property(port, ID("unit"));
  k.number = first_hw_port_number(port);
  k.plain = PyInt_CheckExact(k.unit.get()) && PyInt_CheckExact(k.number.get());
  if (k.plain) {
    k.unit_v = PyInt_AS_LONG(k.unit.get());
    k.number_v = PyInt_AS_LONG(k.number.get());
  }
  return k;
}

bool less(PyObject* x, PyObject* y) {
  int r = PyObject_RichCompareBool(x, y, Py_LT);
  py::check(r);
  return r;
}

bool key_less(const GangKey& x, const GangKey& y) {
  if (x.plain && y.plain)
    return x.unit_v != y.unit_v ? x.unit_v < y.unit_v : x.number_v < y.number_v;
  if (!py::equal(x.unit, y.unit)) return less(x.unit, y.unit);
  return less(x.number, y.number);
}

[[noreturn]] void gang_error(PyObject* self, PyObject* fmt, PyObject* port) {
  py::Ref name = py::attr(platform_of(self), ID("name"));
  py::Ref label = py::get_property(port, ID("label"));
  py::raise(PyExc_RuntimeError, py::percent(fmt, {name.get(), label.get()}));
}

py::Ref calculate_gangs(py::Args a) {
  PyObject* self = a[0];
  // A copy of its own: the walk runs the ports' code, which must not pull
  // the ports out from under it.
  py::Ref ports = py::Ref::steal(PySequence_List(a[1]));
  const Py_ssize_t n = PyList_GET_SIZE(ports.get());
  std::vector<GangKey> keys;
  keys.reserve(size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    tick();
    keys.push_back(gang_key(PyList_GET_ITEM(ports.get(), i)));
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
    PyObject* port = PyList_GET_ITEM(ports.get(), i);
    if (py::get_property(port, ID("ganged")).get() != Py_True) continue;
    if (py::get_property(port, ID("gang_leader")).get() == Py_True) leader = port;
    if (!in_set.insert(port).second)
      gang_error(self, ID("platform: %s: Duplicate port %s already in ganged set"), port);
    members.push_back(port);
    py::Ref size = py::get_property(port, ID("max_gang_size"));
    if (!py::equal(py::integer(long(members.size())), size)) continue;
    if (!leader) gang_error(self, ID("platform: %s: ganged set of port %s has no leader"), port);
    py::Ref gang = py::list();
    for (PyObject* m : members) py::append(gang, m);
    py::setattr(leader, ID("ganged_ports"), py::Ref::steal(PyFrozenSet_New(gang)));
    leader = nullptr;
    members.clear();
    in_set.clear();
  }
  return {};
}

// ---- LED start-up script ---------------------------------------------------

py::Ref rcled(py::Args a) {
  py::Ref programs = py::attr(a[0], ID("_led_programs"));
  py::Ref keys = mapping_keys(programs);
  Section out(512);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    tick();
    py::Ref key = py::Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    py::Ref block = py::percent(
        ID("led %d stop\nled %d auto on\nled %d load /etc/bcm.d/led%d.hex\nled %d start\n"),
        {key.get(), key.get(), key.get(), key.get(), key.get()});
    out.line() += py::as_view(block);
    py::Ref commands =
        py::callm(py::item(programs, key), ID("led_memory_init_commands"), key.get());
    py::Ref it = py::iter(commands);
    while (py::Ref command = py::next(it)) {
      tick();
      out.line() += py::as_view(command);
    }
  }
  return out.finish();
}

// ---- link defaults ---------------------------------------------------------

py::Ref linkdefaults_vx(py::Args);
py::Ref linkdefaults_ports(py::Args a);

py::Ref linkdefaults(py::Args a) {
  PyObject* self = a[0];
  py::Ref doc = py::dict();
  py::dict_set(doc, ID("README"),
               ID("This file is automatically generated. Do not edit this file."));
  py::Ref ethtool = py::dict();
  py::dict_set(ethtool, ID("defaults"), py::dict());
  py::dict_set(ethtool, ID("iface_defaults"), py::dict());
  py::dict_set(doc, ID("ethtool"), ethtool);
  py::Ref sw_base = py::attr(chip_of(platform_of(self)), ID("sw_base"));
  py::Ref update = py::equal(sw_base, ID("vx"))
                       ? py::Method(self, ID("_linkdefaults_vx"), linkdefaults_vx)()
                       : py::Method(self, ID("_linkdefaults"), linkdefaults_ports)();
  py::callm(ethtool, ID("update"), update.get());
  if (py::Ref text = json_sorted_indented(global("json"), doc)) return text;
  py::Ref kw = py::dict();
  py::dict_set(kw, ID("indent"), py::integer(4));
  py::dict_set(kw, ID("sort_keys"), Py_True);
  py::Ref dumps = py::attr(global("json"), ID("dumps"));
  return py::call_kw(dumps, py::tuple({doc.get()}), kw);
}

py::Ref linkdefaults_vx(py::Args) {
  py::Ref globals = py::dict();
  py::dict_set(globals, ID("ethtool_ignore_errors"), Py_True);
  py::Ref defaults = py::dict();
  py::dict_set(defaults, ID("link-autoneg"), ID("off"));
  py::dict_set(defaults, ID("link-duplex"), ID("full"));
  py::dict_set(defaults, ID("link-speed"), ID("1000"));
  py::Ref out = py::dict();
  py::dict_set(out, ID("module_globals"), globals);
  py::dict_set(out, ID("defaults"), defaults);
  return out;
}

py::Ref linkdefaults_ports(py::Args a) {
  py::Ref entries = py::dict();
  each_port(a[0], [&](PyObject* port, long n) {
    if (n <= 0) return;
    // Fabric ports get no entry.
    if (py::truth(py::attr(py::attr(port, ID("physical_port")), ID("is_fabric")))) return;
    PyObject* autoneg =
        py::truth(py::get_property(port, ID("enable_auto_neg"))) ? ID("on") : ID("off");
    // The speed in Gbit/s, written as whole megabits.
    py::Ref speed = py::to_str(whole_megabits(py::get_property(port, ID("speed"))));
    for (long sub = 0; sub < n; ++sub) {
      tick();
      py::Ref name = py::call_method(port, ID("linux_port_name"), sub_number(sub));
      py::Ref entry = py::dict();
      py::dict_set(entry, ID("link-autoneg"), autoneg);
      py::dict_set(entry, ID("link-duplex"), ID("full"));
      py::dict_set(entry, ID("link-speed"), speed);
      py::setitem(entries, name, entry);
    }
  });
  py::Ref out = py::dict();
  py::dict_set(out, ID("defaults"), py::dict());
  py::dict_set(out, ID("iface_defaults"), entries);
  return out;
}

// ---- Ethernet table ----------------------------------------------------------

py::Ref ethertab(py::Args a) {
  Section out;
  each_port(a[0], [&](PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref mac_index = py::attr(port, ID("mac_index"));
    for (long sub = 0; sub < n; ++sub) {
      tick();
      py::Ref name = py::call_method(port, ID("linux_port_name"), sub_number(sub));
      py::StrBuilder& line = out.line();
      put_text(line, name);
      line += "\t";
      if (n == 1) {
        put_text(line, mac_index);
      } else if (PyInt_CheckExact(mac_index.get()) &&
                 PyInt_AS_LONG(mac_index.get()) < LONG_MAX - n) {
        char buf[24];
        line += decimal(PyInt_AS_LONG(mac_index.get()) + sub, buf);
      } else {
        put_text(line, py::Ref::steal(PyNumber_Add(mac_index, sub_number(sub))));
      }
    }
  });
  return out.finish();
}

// ---- port map --------------------------------------------------------------------

const char* const kPhysicalChainChips[] = {"TridentThreeX7_56870_Chip", "TridentThreeX7_56873_Chip",
                                           "TridentThreeX5_56771_Chip", "TomahawkTwo_56970_Chip"};

// Whether the chip is one of the parts whose polarity and lane maps are
// given per physical lane.  Their classes come from the platform package's
// chip module, imported here when nothing has imported it yet.
bool physical_chain(PyObject* chip) {
  py::Ref quorvel = global("quorvel");
  PyObject* found = PyObject_GetAttr(quorvel, ID("platform"));
  py::Ref platform;
  if (found) {
    platform = py::Ref::steal(found);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Raised();
    PyErr_Clear();
    py::import("quorvel.platform", module().globals);
    platform = py::attr(quorvel, ID("platform"));
  }
  for (const char* name : kPhysicalChainChips) {
    int r = PyObject_IsInstance(chip, py::attr(platform, name));
    py::check(r);
    if (r) return true;
  }
  return false;
}

// Appends a line to the section's line list, which a port's per-lane
// polarity operation may have handed back as another sequence.
void add_line(PyObject* lines, string_view text) {
  py::append_to(lines, py::str(text));
}

py::Ref portmap(py::Args a) {
  PyObject* self = a[0];
  py::Ref platform = platform_of(self);
  py::Ref chip = chip_of(platform);
  if (py::attr(chip, ID("portmap_capable")).get() != Py_True)
    py::raise(PyExc_RuntimeError, py::percent(ID("platform: %s is not portmap capable"),
                                              {py::attr(platform, ID("name")).get()}));
  const bool lanes = py::truth(py::attr(chip, ID("needs_lane_config")));
  int chain = -1;  // found out when first needed
  auto is_chain = [&] {
    if (chain < 0) chain = physical_chain(chip);
    return chain == 1;
  };
  py::Ref lines = py::list();
  std::string line;
  each_port(self, [&](PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref speed = py::get_property(port, ID("speed"));
    py::Ref num_lanes;
    if (lanes) num_lanes = py::get_property(port, ID("num_lanes"));
    const LaneSettings settings(port);
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = sub_number(s);
      py::Ref intf = py::call_method(port, ID("sdk_config_intf"), sub.get());
      py::Ref hw = py::call_method(port, ID("hw_intf_num_portmap"), sub.get());
      line.assign("portmap_");
      put_text(line, intf);
      line += "=";
      put_dec(line, hw, 1);
      line += ":";
      put_dec(line, speed);
      if (lanes) {
        line += ":";
        put_dec(line, num_lanes);
      }
      add_line(lines, line);
      // Polarity flips: per lane on the physical-chain parts, else one mask.
      const struct {
        PyObject* flip;
        PyObject* per_lane;
        PyObject* mask;
        const char* key;
      } sides[] = {{settings.rx_flip, ID("td3_rx_logical_polarity_flip"),
                    ID("rx_logical_polarity_flip"), "phy_xaui_rx_polarity_flip_"},
                   {settings.tx_flip, ID("td3_tx_logical_polarity_flip"),
                    ID("tx_logical_polarity_flip"), "phy_xaui_tx_polarity_flip_"}};
      for (const auto& side : sides) {
        if (side.flip == Py_None) continue;
        if (is_chain()) {
          lines = py::call_method(port, side.per_lane, port, lines.get(), sub.get());
          continue;
        }
        py::Ref mask = py::call_method(port, side.mask, sub.get());
        line.assign(side.key);
        put_text(line, intf);
        line += "=0x";
        put_hex(line, mask, true);
        add_line(lines, line);
      }
      // Lane maps, keyed by physical lane on the physical-chain parts; the
      // MDI pair map.
      const struct {
        PyObject* map;
        const char* chain_key;  // nullptr: the same key on every part
        const char* key;
      } maps[] = {{settings.rx_map, "phy_chain_rx_lane_map_physical{", "xgxs_rx_lane_map_"},
                  {settings.tx_map, "phy_chain_tx_lane_map_physical{", "xgxs_tx_lane_map_"},
                  {settings.mdi_map, nullptr, "phy_mdi_pair_map_"}};
      py::Ref hw_intf;
      for (const auto& m : maps) {
        if (m.map == Py_None) continue;
        if (m.chain_key && is_chain()) {
          if (!hw_intf) hw_intf = py::call_method(port, ID("hw_intf_num"), sub.get());
          line.assign(m.chain_key);
          put_dec(line, hw_intf, 1);
          line += ".0}=0x";
        } else {
          line.assign(m.key);
          put_text(line, intf);
          line += "=0x";
        }
        put_hex(line, m.map, true);
        add_line(lines, line);
      }
    }
  });
  return joined(lines);
}

// ---- dport map ---------------------------------------------------------------

py::Ref dportmap(py::Args a) {
  PyObject* self = a[0];
  py::Ref platform = platform_of(self);
  if (py::attr(chip_of(platform), ID("dport_capable")).get() != Py_True)
    py::raise(PyExc_RuntimeError, py::percent(ID("platform %s is not dportmap capable"),
                                              {py::attr(platform, ID("name")).get()}));
  Section out;
  out.line() += "dport_map_enable=1\n";
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = sub_number(s);
      py::Ref logical = py::call_method(port, ID("sdk_logical_port_num"), sub.get());
      py::Ref unit = py::get_property(port, ID("unit"));
      py::Ref intf = py::call_method(port, ID("sdk_unit_intf_num"), sub.get());
      py::StrBuilder& line = out.line();
      line += "dport_map_port_";
      put_dec(line, logical);
      line += ".";
      put_dec(line, unit);
      line += "=";
      put_dec(line, intf, 1);
    }
  });
  return out.finish();
}

// ---- port list compression -----------------------------------------------------

struct ListedName {
  PyObject* obj;         // held by the list copy
  string_view prefix;    // its first two characters
  long long number = 0;  // the number after them, when small
  py::Ref big;           // else that number as the interpreter's integer
  std::string sort_key;  // "%s%03u" of prefix and number
};

// Numbers of this size or less are worked with here; the difference of a
// position and such a number cannot overflow.
constexpr long long kSmall = 1LL << 60;

void read_number(ListedName& name, string_view text) {
  if (name_digits(text, name.number)) return;
  // Anything else as int() reads it, or its error.
  py::Ref number = py::Ref::steal(PyNumber_Int(py::slice_from(name.obj, 2)));
  int overflow = 0;
  long long v = PyLong_Check(number.get()) ? PyLong_AsLongLongAndOverflow(number, &overflow)
                                           : PyInt_AsLong(number);
  if (v == -1 && PyErr_Occurred()) throw py::Raised();
  if (overflow || v > kSmall || v < -kSmall)
    name.big = number;
  else
    name.number = v;
}

// The run key of one (position, name) pair: the compression's inner
// function grouper(t), "%s%u" % (intf[:2], i - int(intf[2:])).
py::Ref grouper(py::Args a) {
  py::Ref pair[2];
  py::unpack(a[0], 2, pair);
  PyObject *i = pair[0], *intf = pair[1];
  py::Ref prefix = py::Ref::steal(PySequence_GetSlice(intf, 0, 2));
  py::Ref number = py::Ref::steal(PyNumber_Int(py::slice_from(intf, 2)));
  py::Ref diff = py::Ref::steal(PyNumber_Subtract(i, number));
  return py::percent(ID("%s%u"), {prefix.get(), diff.get()});
}

// Whether `groupby` is the interpreter's own itertools.groupby, whose runs
// the compression finds by itself.
bool own_groupby(PyObject* groupby) {
  if (!PyType_Check(groupby)) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(groupby);
  return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
         !std::strcmp(type->tp_name, "itertools.groupby");
}

// The compression of the sorted names through another `groupby` put in the
// module in place of the interpreter's: spans = [list(g) for k, g in
// groupby(enumerate(names), grouper)], then one item per span of three or
// more pairs, else one per pair, joined by ",".
py::Ref compress_by(PyObject* groupby, PyObject* sorted) {
  static PyObject* grouper_function = nullptr;
  py::once(grouper_function, [] {
    return py::make_function(module(), "SDKConfig._compress_portlist.<locals>.grouper", "t",
                             grouper)
        .release();
  });
  py::Ref pairs = py::call(reinterpret_cast<PyObject*>(&PyEnum_Type), sorted);
  py::Ref runs = py::iter(py::call(groupby, pairs, grouper_function));
  py::Ref spans = py::list();
  while (py::Ref run = py::next(runs)) {
    tick();
    py::Ref key_group[2];
    py::unpack(run, 2, key_group);
    py::append(spans, py::Ref::steal(PySequence_List(key_group[1])));
  }
  py::Ref compressed = py::list();
  py::Ref one = py::integer(1);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(spans.get()); ++i) {
    tick();
    PyObject* span = PyList_GET_ITEM(spans.get(), i);
    const Py_ssize_t len = PyList_GET_SIZE(span);
    if (len > 2) {
      py::Ref first = py::item(PyList_GET_ITEM(span, 0), one);
      py::Ref last = py::item(PyList_GET_ITEM(span, len - 1), one);
      py::append(compressed, py::percent(ID("%s-%s"), {first.get(), last.get()}));
      continue;
    }
    for (Py_ssize_t j = 0; j < len; ++j)
      py::append(compressed, py::item(PyList_GET_ITEM(span, j), one));
  }
  return py::Ref::steal(_PyString_Join(ID(","), compressed));
}

py::Ref compress_portlist(py::Args a) {
  py::Ref list = py::Ref::steal(PySequence_List(a[1]));
  const Py_ssize_t n = PyList_GET_SIZE(list.get());
  std::vector<ListedName> names(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    tick();
    ListedName& name = names[size_t(i)];
    name.obj = PyList_GET_ITEM(list.get(), i);
    string_view text = py::as_view(name.obj);
    name.prefix = text.substr(0, 2);
    read_number(name, text);
    if (name.big) {
      py::Ref key = py::percent(ID("%s%03u"), {py::str(name.prefix).get(), name.big.get()});
      name.sort_key = py::as_view(key);
    } else {
      char digits[32];
      int len = std::snprintf(digits, sizeof digits, "%03lld", name.number);
      name.sort_key.reserve(name.prefix.size() + size_t(len));
      name.sort_key.append(name.prefix).append(digits, size_t(len));
    }
  }
  std::stable_sort(names.begin(), names.end(), [](const ListedName& x, const ListedName& y) {
    return x.sort_key < y.sort_key;
  });

  py::Ref groupby = global("groupby");
  if (!own_groupby(groupby)) {
    py::Ref sorted = py::list();
    for (const ListedName& name : names) {
      tick();
      py::append(sorted, name.obj);
    }
    return compress_by(groupby, sorted);
  }

  // Runs: neighbours whose run keys, the prefix and the position less the
  // number as text, are equal.
  auto run_key = [&](size_t i) {
    std::string key(names[i].prefix);
    if (names[i].big) {
      py::Ref diff = py::Ref::steal(PyNumber_Subtract(py::integer(long(i)), names[i].big));
      key += py::as_view(py::to_str(diff));
    } else {
      char buf[24];
      key += decimal(static_cast<long long>(i) - names[i].number, buf);
    }
    return key;
  };
  py::StrBuilder out(size_t(n) * 8 + 16);
  bool any = false;
  auto item = [&](string_view text) {
    if (any) out += ",";
    any = true;
    out += text;
  };
  auto text_of = [&](size_t i) { return py::as_view(names[i].obj); };
  for (size_t begin = 0; begin < names.size();) {
    tick();
    std::string key = run_key(begin);
    size_t end = begin + 1;
    while (end < names.size() && run_key(end) == key) {
      tick();
      ++end;
    }
    if (end - begin >= 3) {
      std::string range(text_of(begin));
      range += "-";
      range += text_of(end - 1);
      item(range);
    } else {
      for (size_t i = begin; i < end; ++i) item(text_of(i));
    }
    begin = end;
  }
  return out.finish();
}

// ---- PHY property sections -----------------------------------------------------

// The autonegotiation mode's number, or -1 when it has none.
long an_number(PyObject* value) {
  if (value == Py_None) return -1;
  PyObject* const texts[] = {ID("off"), ID("bam"), ID("on"), ID("auto")};
  if (PyObject_Hash(value) == -1 && PyErr_Occurred()) throw py::Raised();
  const bool plain = PyString_CheckExact(value);
  for (long number = 0; number < 4; ++number) {
    PyObject* text = texts[number];
    if (plain ? _PyString_Eq(value, text) : py::equal(value, text)) return number;
  }
  return -1;
}

py::Ref phy_an(py::Args a) {
  PyObject* self = a[0];
  UnitCount units(self);
  Section out;
  each_port(self, [&](PyObject* port, long n) {
    long c37 = an_number(py::get_property(port, ID("an_c37")));
    long c73 = an_number(py::get_property(port, ID("an_c73")));
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref intf = py::call_method(port, ID("sdk_config_intf"), sub_number(s), units.get());
      char buf[24];
      if (c37 >= 0) {
        py::StrBuilder& line = out.line();
        line += "phy_an_c37_";
        put_text(line, intf);
        line.append("=", decimal(c37, buf));
      }
      if (c73 >= 0) {
        py::StrBuilder& line = out.line();
        line += "phy_an_c73_";
        put_text(line, intf);
        line.append("=", decimal(c73, buf));
      }
    }
  });
  return out.finish();
}

// One line per port that has the value `attr`, for its sub-port 0:
// head, the key `key(port)`, "=0x", the value in hex.
template <class Key>
py::Ref sub_port_zero(PyObject* self, PyObject* attr, const char* head, const Key& key) {
  Section out;
  py::Ref it = py::iter(py::attr(self, ID("ports")));
  while (py::Ref port = py::next(it)) {
    tick();
    if (py::get_property(port, attr).get() == Py_None) continue;
    py::Ref k = key(port.get());
    py::Ref value = py::get_property(port, attr);
    py::StrBuilder& line = out.line();
    line += head;
    put_text(line, k);
    line += "=0x";
    put_hex(line, value, false);
  }
  return out.finish();
}

py::Ref prim_offsets(py::Args a) {
  UnitCount units(a[0]);
  return sub_port_zero(
      a[0], ID("prim_offset"), "phy_port_primary_and_offset_", [&](PyObject* port) {
        return py::call_method(port, ID("sdk_config_intf"), sub_number(0), units.get());
      });
}

py::Ref phy_id1s(py::Args a) {
  return sub_port_zero(a[0], ID("phy_id1"), "port_phy_id1_", [](PyObject* port) {
    py::Ref num = py::call_method(port, ID("sdk_logical_port_num"), sub_number(0));
    // "%d" of the number
    return PyInt_CheckExact(num.get()) ? num : py::percent(ID("%d"), {num.get()});
  });
}

py::Ref sys_interfaces(py::Args a) {
  return sub_port_zero(a[0], ID("sys_interface"), "phy_sys_interface_", [](PyObject* port) {
    return py::call_method(port, ID("sdk_config_intf"), sub_number(0));
  });
}

py::Ref fiber_pref(py::Args a) {
  PyObject* self = a[0];
  UnitCount units(self);
  Section out;
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      tick();
      if (!py::truth(py::get_property(port, ID("set_fiber_pref")))) continue;
      py::Ref intf = py::call_method(port, ID("sdk_config_intf"), sub_number(s), units.get());
      py::StrBuilder& line = out.line();
      line += "serdes_fiber_pref_";
      put_text(line, intf);
      line += "=1";
    }
  });
  return out.finish();
}

}  // namespace

py::Ref first_hw_port_number(PyObject* port) {
  py::Ref hw_ports = py::attr(py::attr(port, ID("physical_port")), ID("hw_ports"));
  py::Ref name = py::item(hw_ports, py::integer(0).get());
  long long v;
  if (PyString_CheckExact(name.get()) && name_digits(py::as_view(name), v))
    return py::integer(long(v));
  return py::Ref::steal(PyNumber_Int(py::slice_from(name, 2)));
}

const py::ImplTable bcm_impls = {
    {"BCMConfig.__init__", bcm_init},
    {"SDKConfig._calculate_units", calculate_units},
    {"SDKConfig.led_chains", led_chains},
    {"SDKConfig.led_asm", led_asm},
    {"SDKConfig.led_hex", led_hex},
    {"SDKConfig.port_units", port_units},
    {"SDKConfig._calculate_gangs", calculate_gangs},
    {"SDKConfig.rcled", rcled},
    {"SDKConfig.linkdefaults", linkdefaults},
    {"SDKConfig._linkdefaults_vx", linkdefaults_vx},
    {"SDKConfig._linkdefaults", linkdefaults_ports},
    {"SDKConfig.ethertab", ethertab},
    {"SDKConfig.portmap", portmap},
    {"SDKConfig.dportmap", dportmap},
    {"SDKConfig._compress_portlist", compress_portlist},
    {"SDKConfig.phy_an", phy_an},
    {"SDKConfig.prim_offsets", prim_offsets},
    {"SDKConfig.phy_id1s", phy_id1s},
    {"SDKConfig.sys_interfaces", sys_interfaces},
    {"SDKConfig.fiber_pref", fiber_pref},
};

}  // namespace pelvane
