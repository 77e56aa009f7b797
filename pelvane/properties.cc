// The per-port properties of the SDK file: bitmaps, PHYs, autonegotiation,
// emphasis and port initialisation.
//
// Each section walks the configured ports in list order and, within a port,
// its logical ports from 0 up; it asks the ports afresh at every read and
// answers its lines joined by line feeds.  What a port answers for the whole
// port (its unit, mode, settings) is asked once per port and read.
#include "sections.h"

#include <cmath>
#include <string>

namespace pelvane {
namespace {

using namespace sections;

py::Ref bit_or(PyObject* a, PyObject* b) { return py::Ref::steal(PyNumber_Or(a, b)); }

// `d[key]` for a dict `d`: the value (borrowed, valid until the
// interpreter next runs code); KeyError where the key is not found, and
// what the lookup raises (a key without hash, a failing comparison).
PyObject* dict_value(PyObject* d, PyObject* key) {
  PyObject* v = py::dict_find(d, key);
  if (!v) py::raise(PyExc_KeyError, py::tuple({key}));
  return v;
}

// len(self.units), read when first needed: before the model stage has run
// the object holds no units, and no port asks for them.
class UnitCount {
 public:
  explicit UnitCount(PyObject* self) : self_(self) {}
  PyObject* get() {
    if (!count_) count_ = py::integer(long(py::length(py::plain_attr(self_, ID("units")))));
    return count_;
  }

 private:
  PyObject* self_;
  py::Ref count_;
};

// ---- port bitmaps ----------------------------------------------------------

// The bitmaps of the configured ports as they are gathered: per interface
// key ("%s.%u" of prefix and unit, keys in the order they first appear),
// per unit the valid ports, and per unit the oversubscribed ones.
struct Bitmaps {
  py::Ref pbmps = py::dict(), valid = py::dict(), oversub = py::dict();
  py::Ref keys = py::list();
  py::Ref chip, base;  // the chip and its base_pbmp, read when first needed
};

// The interface key of a sub-port's prefix on `unit`: "ce" and "xe" ports of
// a unit share one.
py::Ref interface_key(std::string& text, PyObject* prefix, PyObject* unit) {
  text.clear();
  if (PyString_CheckExact(prefix) && py::as_view(prefix) == "ce")
    text += "xe";
  else if (!PyString_CheckExact(prefix) && py::equal(prefix, ID("ce")))
    text += "xe";
  else
    put_text(text, prefix);
  put_line(text, ".", Dec{unit});
  return py::str(text);
}

// The bits of a configured port's `n` logical ports, added to the bitmaps.
void gather_bits(PyObject* self, Bitmaps& maps, PyObject* port, long n) {
  if (n <= 0) return;
  py::Ref unit = py::read_prop(port, ID("unit"));
  bool over = py::truth(py::read_prop(port, ID("oversub")));
  std::string key_text;
  for (long s = 0; s < n; ++s) {
    tick();
    py::Ref sub = py::integer(s);
    PortReads reads(port);
    py::Ref key = interface_key(key_text, intf_prefix_of(reads, sub), unit);
    py::Ref bits = pbmp_of(reads, sub);
    // (The values found are held: the "|" may run code.)
    py::Ref had = py::Ref::borrow(py::dict_get(maps.pbmps, key));
    py::Ref acc = bit_or(had ? had.get() : py::integer(0).get(), bits);
    if (!had) py::append(maps.keys, key);
    py::dict_set(maps.pbmps, key, acc);
    py::Ref unit_valid = py::Ref::borrow(py::dict_find(maps.valid, unit));
    if (!unit_valid) {
      if (!maps.chip) {
        maps.chip = chip_of(self);
        maps.base = py::plain_attr(maps.chip, ID("base_pbmp"));
      }
      unit_valid = maps.base;
    }
    py::dict_set(maps.valid, unit, bit_or(unit_valid, acc));
    // An oversubscribed sub-port adds its own bit only: ports of the same
    // interface key that are not oversubscribed stay out.
    if (over) {
      py::Ref unit_over = py::Ref::borrow(py::dict_find(maps.oversub, unit));
      py::dict_set(maps.oversub, unit, unit_over ? bit_or(unit_over, bits) : bits);
    }
  }
}

// The lists walked below are read afresh at every turn, after its tick(),
// and each item held: the turn's code may change them.

// "pbmp_xport_%s=0x%x" per interface key, but those of "hg" ports.
void xport_lines(Section& out, const Bitmaps& maps) {
  for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(maps.keys.get()); ++i) {
    py::Ref key = py::Ref::borrow(PyList_GET_ITEM(maps.keys.get(), i));
    if (py::as_view(key).substr(0, 2) == "hg") continue;
    put_line(out.line(), "pbmp_xport_", py::as_view(key), "=0x",
             Hex{py::Ref::borrow(dict_value(maps.pbmps, key))});
  }
}

// "%s%u=0x%x" of `head`, a unit and its bitmap.
void unit_line(Section& out, const char* head, PyObject* unit, PyObject* bits) {
  put_line(out.line(), head, Dec{unit}, "=0x", Hex{bits});
}

// "pbmp_valid.%u=0x%x" for each unit, in ascending order.
void valid_lines(Section& out, const Bitmaps& maps, PyObject* units) {
  for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(units); ++i) {
    py::Ref unit = py::Ref::borrow(PyList_GET_ITEM(units, i));
    unit_line(out, "pbmp_valid.", unit, py::Ref::borrow(dict_value(maps.valid, unit)));
  }
}

// Where there are oversubscribed ports: on a chip of mixed oversubscription
// "pbmp_oversubscribe.%u=0x%x" for each unit that has them, in ascending
// order; else the one mode line.
void oversub_lines(Section& out, const Bitmaps& maps, PyObject* units) {
  if (PyDict_Size(maps.oversub) == 0) return;
  if (!py::truth(py::plain_attr(maps.chip, ID("mixed_oversub")))) {
    out.line() += "oversubscribe_mode=1";
    return;
  }
  for (Py_ssize_t i = 0; tick(), i < PyList_GET_SIZE(units); ++i) {
    py::Ref unit = py::Ref::borrow(PyList_GET_ITEM(units, i));
    py::Ref bits = py::Ref::borrow(py::dict_find(maps.oversub, unit));
    if (bits) unit_line(out, "pbmp_oversubscribe.", unit, bits);
  }
}

py::Ref sdk_pbmp(py::Args a) {
  PyObject* self = a[0];
  Bitmaps maps;
  each_port(self, [&](PyObject* port, long n) { gather_bits(self, maps, port, n); });
  Section out;
  xport_lines(out, maps);
  py::Ref units = mapping_keys(maps.valid);  // units, in ascending order
  py::check(PyList_Sort(units));
  valid_lines(out, maps, units);
  oversub_lines(out, maps, units);
  return out.finish();
}

// ---- PHYs ------------------------------------------------------------------------

// The logical ports that have a PHY type (and, unless `detected_too`, whose
// PHY the SDK does not find by itself): f(port, sub, type, name), where
// name() is the text naming the logical port in SDK properties.
template <class F>
void each_phy(PyObject* self, bool detected_too, const F& f) {
  UnitCount units(self);
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      py::Ref type = py::call_op(port, ID("phy_type"), sub);
      if (type.get() == Py_None ||
          (!detected_too && py::truth(py::call_op(port, ID("phy_autodetect"), sub))))
        continue;
      f(port, sub.get(), type.get(),
        [&, sub = sub.get()](std::string& out) { put_config_intf(out, port, sub, units.get()); });
    }
  });
}

py::Ref phys(py::Args a) {
  Section out;
  std::string intf;
  each_phy(a[0], false, [&](PyObject*, PyObject*, PyObject* type, const auto& name) {
    intf.clear();
    name(intf);
    put_line(out.line(), "phy_", Text{type}, "_", intf, "=1");
  });
  return out.finish();
}

py::Ref phy_addrs(py::Args a) {
  Section out;
  std::string intf;
  each_phy(a[0], true, [&](PyObject* port, PyObject* sub, PyObject*, const auto& name) {
    intf.clear();
    name(intf);
    py::Ref addr = py::call_op(port, ID("phy_addr"), sub);
    put_line(out.line(), "port_phy_addr_", intf, "=0x", Hex{addr});
  });
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
  std::string intf;
  each_port(self, [&](PyObject* port, long n) {
    long c37 = an_number(py::read_prop(port, ID("an_c37")));
    long c73 = an_number(py::read_prop(port, ID("an_c73")));
    for (long s = 0; s < n; ++s) {
      tick();
      intf.clear();
      put_config_intf(intf, port, py::integer(s), units.get());
      char buf[24];
      if (c37 >= 0) {
        put_line(out.line(), "phy_an_c37_", intf, "=", py::decimal(c37, buf));
      }
      if (c73 >= 0) {
        put_line(out.line(), "phy_an_c73_", intf, "=", py::decimal(c73, buf));
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
  py::ClassScope scope;
  py::Ref it = py::iter(py::plain_attr(self, ID("ports")));
  while (py::Ref port = py::next(it)) {
    if (py::read_prop(port, attr).get() == Py_None) continue;
    py::Ref k = key(port.get());
    py::Ref value = py::read_prop(port, attr);
    put_line(out.line(), head, Text{k}, "=0x", Hex{value});
  }
  return out.finish();
}

py::Ref prim_offsets(py::Args a) {
  UnitCount units(a[0]);
  return sub_port_zero(
      a[0], ID("prim_offset"), "phy_port_primary_and_offset_", [&](PyObject* port) {
        return py::call_op(port, ID("sdk_config_intf"), py::integer(0), units.get());
      });
}

py::Ref phy_id1s(py::Args a) {
  return sub_port_zero(a[0], ID("phy_id1"), "port_phy_id1_", [](PyObject* port) {
    py::Ref num = py::call_op(port, ID("sdk_logical_port_num"), py::integer(0));
    // "%d" of the number
    return PyInt_CheckExact(num.get()) ? num : py::percent(ID("%d"), {num.get()});
  });
}

py::Ref sys_interfaces(py::Args a) {
  return sub_port_zero(a[0], ID("sys_interface"), "phy_sys_interface_", [](PyObject* port) {
    return py::call_op(port, ID("sdk_config_intf"), py::integer(0));
  });
}

py::Ref fiber_pref(py::Args a) {
  PyObject* self = a[0];
  UnitCount units(self);
  Section out;
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      tick();
      if (!py::truth(py::read_prop(port, ID("set_fiber_pref")))) continue;
      py::Ref intf = py::call_op(port, ID("sdk_config_intf"), py::integer(s), units.get());
      put_line(out.line(), "serdes_fiber_pref_", Text{intf}, "=1");
    }
  });
  return out.finish();
}

// ---- serdes emphasis and port initialisation -------------------------------------

py::Ref port_emphasis(py::Args a) {
  PyObject* self = a[0];
  struct Setting {
    PyObject* name;
    std::string_view single, lane;  // the keys, up to the lane or port number
    bool wide_lanes;                // "%04x" per lane, else "%x"
  };
  const Setting settings[] = {
      {ID("pre_emphasis"), "serdes_preemphasis_", "serdes_preemphasis_lane", true},
      {ID("drv_current"), "serdes_driver_current_", "serdes_driver_current_lane", false},
      {ID("pre_drv_current"), "serdes_pre_driver_current_", "serdes_pre_driver_current_lane",
       false},
  };
  py::Ref map_nums = py::dict();  // unit -> the number of its next logical port
  Section out;
  each_port(self, [&](PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref unit = py::read_prop(port, ID("unit"));
    py::Ref mode = py::plain_attr(port, ID("mode"));
    bool per_lane = PyString_CheckExact(mode.get()) ? py::as_view(mode) == "40G"
                                                    : py::equal(mode, ID("40G"));
    py::Ref values[3];
    for (int i = 0; i < 3; ++i) values[i] = py::read_prop(port, settings[i].name);
    for (long s = 0; s < n; ++s) {
      tick();
      PyObject* had = py::dict_find(map_nums, unit);
      py::Ref map_num = had ? py::Ref::borrow(had) : py::integer(1);
      // "<map_num>.<unit>=0x", the end of every key of this logical port.
      auto port_key = [&](py::StrBuilder& line) {
        put_line(line, Dec{map_num}, ".", Dec{unit}, "=0x");
      };
      for (const Setting& setting : settings) {
        PyObject* value = values[&setting - settings].get();
        if (value == Py_None) continue;
        if (!per_lane) {
          py::Ref v = py::item(value, py::integer(s).get());
          py::StrBuilder& line = out.line();
          line += setting.single;
          port_key(line);
          put_hex(line, v, true);
          continue;
        }
        for (long lane = 0; lane < 4; ++lane) {
          py::Ref v = py::item(value, py::integer(lane).get());
          py::StrBuilder& line = out.line();
          const char digit[] = {char('0' + lane), '_'};
          line.append(setting.lane, std::string_view(digit, 2));
          port_key(line);
          put_hex(line, v, setting.wide_lanes);
        }
      }
      py::dict_set(map_nums, unit, py::Ref::steal(PyNumber_Add(map_num, py::integer(1))));
    }
  });
  return out.finish();
}

py::Ref port_init(py::Args a) {
  PyObject* self = a[0];
  UnitCount units(self);
  py::Ref if_types;
  Section out;
  std::string intf;
  each_port(self, [&](PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref auto_neg = py::read_prop(port, ID("enable_auto_neg"));
    bool fixed = !py::truth(auto_neg);
    py::Ref megabits;
    if (fixed) megabits = whole_megabits(py::read_prop(port, ID("speed")));
    py::Ref if_type = py::read_prop(port, ID("serdes_if_type"));
    py::Ref if_num;
    if (if_type.get() != Py_None) {
      if (!if_types) if_types = py::plain_attr(global("SDKConfig"), ID("serdes_if_type_map"));
      if_num = py::item(if_types, if_type);
    }
    for (long s = 0; s < n; ++s) {
      tick();
      intf.clear();
      put_config_intf(intf, port, py::integer(s), units.get());
      put_line(out.line(), "port_init_autoneg_", intf, "=", Dec{auto_neg});
      if (fixed) {
        put_line(out.line(), "port_init_speed_", intf, "=", Dec{megabits});
        put_line(out.line(), "port_init_duplex_", intf, "=1");
      }
      if (if_num)
        put_line(out.line(), "serdes_if_type_", intf, "=", Dec{if_num}, " # ", Text{if_type});
    }
  });
  return out.finish();
}

// round(x): the nearest whole number, halves away from zero, written here
// so that the module needs no maths library. Below 2**52 the whole part of
// |x| and what remains of it are both exact.
double round_half_away(double x) {
  const double a = std::fabs(x);
  if (!(a < 4503599627370496.0)) return x;  // whole already, or not a number
  double whole = double(static_cast<long long>(a));
  if (a - whole >= 0.5) whole += 1.0;
  return std::copysign(whole, x);
}

}  // namespace

py::Ref whole_megabits(PyObject* speed) {
  if (!PyNumber_Check(speed))
    py::raisef(PyExc_TypeError, "a speed must be a number, not %.100s", Py_TYPE(speed)->tp_name);
  py::Ref mbits = py::Ref::steal(PyNumber_Multiply(speed, py::integer(1000)));
  if (PyFloat_Check(mbits.get()))
    mbits = py::floating(round_half_away(PyFloat_AS_DOUBLE(mbits.get())));
  return py::Ref::steal(PyNumber_Int(mbits));
}

const py::ImplTable property_impls = {
    {"SDKConfig.sdk_pbmp", sdk_pbmp},
    {"SDKConfig.phys", phys},
    {"SDKConfig.phy_addrs", phy_addrs},
    {"SDKConfig.phy_an", phy_an},
    {"SDKConfig.prim_offsets", prim_offsets},
    {"SDKConfig.phy_id1s", phy_id1s},
    {"SDKConfig.sys_interfaces", sys_interfaces},
    {"SDKConfig.fiber_pref", fiber_pref},
    {"SDKConfig.port_emphasis", port_emphasis},
    {"SDKConfig.port_init", port_init},
};

}  // namespace pelvane
