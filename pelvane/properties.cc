// The per-port properties of the SDK file: bitmaps, lanes, polarity, PHYs, emphasis.
//
// Each section walks the configured ports in list order and, within a port,
// its logical ports from 0 up; it asks the ports afresh at every read and
// answers its lines joined by line feeds.
#include "pelvane.h"

#include <cmath>

namespace pelvane {
namespace {

// Lines of a section, joined by single line feeds as they come.
class Lines {
 public:
  void add(PyObject* line) {
    std::string_view text = py::as_view(line);
    if (text_.size() || any_) text_.append("\n", text);
    else text_ += text;
    any_ = true;
  }
  py::Ref finish() { return text_.finish(); }

 private:
  py::StrBuilder text_{4096};
  bool any_ = false;
};

// The configured ports of the configuration object, each with its number of
// logical ports; ports without any are passed over.
template <class F>
void each_port(PyObject* self, const F& f) {
  py::Ref it = py::iter(py::attr(self, ID("ports")));
  while (py::Ref port = py::next(it)) {
    long n = py::as_long(py::attr(port, ID("num_logical_ports")));
    if (n > 0) f(port.get(), n);
  }
}

// len(self.units): the number of chip units in use.
py::Ref num_units(PyObject* self) {
  return py::integer(long(py::length(py::attr(self, ID("units")))));
}

py::Ref the_chip(PyObject* self) {
  return py::attr(py::attr(py::attr(self, ID("platform")), ID("switch")), ID("chip"));
}

py::Ref bit_or(PyObject* a, PyObject* b) { return py::Ref::steal(PyNumber_Or(a, b)); }

// The keys of a dict of unit numbers, in ascending order.
py::Ref sorted_keys(PyObject* d) {
  py::Ref keys = py::Ref::steal(PyDict_Keys(d));
  py::check(PyList_Sort(keys));
  return keys;
}

// ---- port bitmaps ----------------------------------------------------------

py::Ref sdk_pbmp(py::Args a) {
  PyObject* self = a[0];
  py::Ref pbmps = py::dict(), valid = py::dict(), oversub = py::dict();
  py::Ref keys = py::list();  // interface keys in the order they first appear
  py::Ref chip, base;
  each_port(self, [&](PyObject* port, long n) {
    py::Ref unit = py::attr(port, ID("unit"));
    bool over = py::truth(py::attr(port, ID("oversub")));
    for (long s = 0; s < n; ++s) {
      py::Ref sub = py::integer(s);
      py::Ref prefix = py::callm(port, ID("sdk_intf_prefix"), sub);
      // "ce" and "xe" ports of a unit share one interface key.
      if (py::equal(prefix, ID("ce"))) prefix = py::Ref::borrow(ID("xe"));
      py::Ref key = py::percent(ID("%s.%u"), {prefix.get(), unit.get()});
      py::Ref bits = py::callm(port, ID("sdk_pbmp"), sub);
      PyObject* had = PyDict_GetItem(pbmps, key);
      py::Ref acc = had ? bit_or(had, bits) : bit_or(py::integer(0), bits);
      if (!had) py::append(keys, key);
      py::dict_set(pbmps, key, acc);
      PyObject* unit_valid = PyDict_GetItem(valid, unit);
      if (!unit_valid) {
        if (!chip) {
          chip = the_chip(self);
          base = py::attr(chip, ID("base_pbmp"));
        }
        unit_valid = base.get();
      }
      py::dict_set(valid, unit, bit_or(unit_valid, acc));
      // An oversubscribed sub-port adds its own bit only: ports of the same
      // interface key that are not oversubscribed stay out.
      if (over) {
        PyObject* unit_over = PyDict_GetItem(oversub, unit);
        py::dict_set(oversub, unit, unit_over ? bit_or(unit_over, bits) : bits);
      }
    }
  });

  Lines lines;
  Py_ssize_t nkeys = PyList_GET_SIZE(keys.get());
  for (Py_ssize_t i = 0; i < nkeys; ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    if (py::as_view(key).substr(0, 2) == "hg") continue;
    lines.add(py::percent(ID("pbmp_xport_%s=0x%x"), {key, PyDict_GetItem(pbmps, key)}));
  }
  py::Ref units = sorted_keys(valid);
  Py_ssize_t nunits = PyList_GET_SIZE(units.get());
  for (Py_ssize_t i = 0; i < nunits; ++i) {
    PyObject* unit = PyList_GET_ITEM(units.get(), i);
    lines.add(py::percent(ID("pbmp_valid.%u=0x%x"), {unit, PyDict_GetItem(valid, unit)}));
  }
  if (PyDict_Size(oversub) > 0) {
    if (py::truth(py::attr(chip, ID("mixed_oversub")))) {
      for (Py_ssize_t i = 0; i < nunits; ++i) {
        PyObject* unit = PyList_GET_ITEM(units.get(), i);
        if (PyObject* bits = PyDict_GetItem(oversub, unit))
          lines.add(py::percent(ID("pbmp_oversubscribe.%u=0x%x"), {unit, bits}));
      }
    } else {
      lines.add(ID("oversubscribe_mode=1"));
    }
  }
  return lines.finish();
}

// ---- lanes and polarity of chips without a port map ---------------------------

py::Ref portmap_uncapable_config(py::Args a) {
  PyObject* self = a[0];
  py::Ref platform = py::attr(self, ID("platform"));
  py::Ref chip = py::attr(py::attr(platform, ID("switch")), ID("chip"));
  if (py::attr(chip, ID("portmap_capable")).get() == Py_True)
    py::raise(PyExc_RuntimeError, py::percent(ID("platform: %s is portmap capable"),
                                              py::attr(platform, ID("name"))));
  Lines lines;
  each_port(self, [&](PyObject* port, long n) {
    py::Ref rx_flip = py::attr(port, ID("rx_polarity_flip"));
    py::Ref tx_flip = py::attr(port, ID("tx_polarity_flip"));
    py::Ref rx_map = py::attr(port, ID("rx_lane_map"));
    py::Ref tx_map = py::attr(port, ID("tx_lane_map"));
    py::Ref mdi_map = py::attr(port, ID("mdi_pair_map"));
    for (long s = 0; s < n; ++s) {
      py::Ref sub = py::integer(s);
      py::Ref num;
      auto add = [&](PyObject* format, PyObject* value) {
        if (!num) num = py::callm(port, ID("sdk_logical_port_num"), sub);
        lines.add(py::percent(format, {num.get(), value}));
      };
      if (rx_flip.get() != Py_None)
        add(ID("phy_xaui_rx_polarity_flip_%d=0x%04x"),
            py::callm(port, ID("rx_logical_polarity_flip"), sub));
      if (tx_flip.get() != Py_None)
        add(ID("phy_xaui_tx_polarity_flip_%d=0x%04x"),
            py::callm(port, ID("tx_logical_polarity_flip"), sub));
      if (rx_map.get() != Py_None) add(ID("xgxs_rx_lane_map_%d=0x%04x"), rx_map);
      if (tx_map.get() != Py_None) add(ID("xgxs_tx_lane_map_%d=0x%04x"), tx_map);
      if (mdi_map.get() != Py_None) add(ID("phy_mdi_pair_map_%d=0x%04x"), mdi_map);
    }
  });
  return lines.finish();
}

// ---- PHYs ------------------------------------------------------------------------

py::Ref phys(py::Args a) {
  PyObject* self = a[0];
  py::Ref units;
  Lines lines;
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      py::Ref sub = py::integer(s);
      py::Ref type = py::callm(port, ID("phy_type"), sub);
      if (type.get() == Py_None || py::truth(py::callm(port, ID("phy_autodetect"), sub)))
        continue;
      if (!units) units = num_units(self);
      py::Ref intf = py::callm(port, ID("sdk_config_intf"), sub, units);
      lines.add(py::percent(ID("phy_%s_%s=1"), {type.get(), intf.get()}));
    }
  });
  return lines.finish();
}

py::Ref phy_addrs(py::Args a) {
  PyObject* self = a[0];
  py::Ref units;
  Lines lines;
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      py::Ref sub = py::integer(s);
      if (py::callm(port, ID("phy_type"), sub).get() == Py_None) continue;
      if (!units) units = num_units(self);
      py::Ref intf = py::callm(port, ID("sdk_config_intf"), sub, units);
      py::Ref addr = py::callm(port, ID("phy_addr"), sub);
      lines.add(py::percent(ID("port_phy_addr_%s=0x%x"), {intf.get(), addr.get()}));
    }
  });
  return lines.finish();
}

// ---- serdes emphasis and port initialisation -------------------------------------

py::Ref port_emphasis(py::Args a) {
  PyObject* self = a[0];
  struct Setting {
    PyObject* name;
    PyObject* single;
    PyObject* lane;
  };
  const Setting settings[] = {
      {ID("pre_emphasis"), ID("serdes_preemphasis_%u.%u=0x%04x"),
       ID("serdes_preemphasis_lane%1d_%u.%u=0x%04x")},
      {ID("drv_current"), ID("serdes_driver_current_%u.%u=0x%04x"),
       ID("serdes_driver_current_lane%1d_%u.%u=0x%x")},
      {ID("pre_drv_current"), ID("serdes_pre_driver_current_%u.%u=0x%04x"),
       ID("serdes_pre_driver_current_lane%1d_%u.%u=0x%x")},
  };
  py::Ref map_nums = py::dict();  // unit -> the number of its next logical port
  Lines lines;
  each_port(self, [&](PyObject* port, long n) {
    py::Ref unit = py::attr(port, ID("unit"));
    bool per_lane = py::equal(py::attr(port, ID("mode")), ID("40G"));
    py::Ref values[3];
    for (int i = 0; i < 3; ++i) values[i] = py::attr(port, settings[i].name);
    for (long s = 0; s < n; ++s) {
      PyObject* had = PyDict_GetItem(map_nums, unit);
      py::Ref map_num = had ? py::Ref::borrow(had) : py::integer(1);
      for (int i = 0; i < 3; ++i) {
        if (values[i].get() == Py_None) continue;
        if (!per_lane) {
          py::Ref value = py::item(values[i], Py_ssize_t(s));
          lines.add(py::percent(settings[i].single, {map_num.get(), unit.get(), value.get()}));
          continue;
        }
        for (long lane = 0; lane < 4; ++lane) {
          py::Ref value = py::item(values[i], Py_ssize_t(lane));
          lines.add(py::percent(settings[i].lane, {py::integer(lane).get(), map_num.get(),
                                                   unit.get(), value.get()}));
        }
      }
      py::dict_set(map_nums, unit,
                   py::Ref::steal(PyNumber_Add(map_num, py::integer(1))));
    }
  });
  return lines.finish();
}

py::Ref port_init(py::Args a) {
  PyObject* self = a[0];
  py::Ref units, if_types;
  Lines lines;
  each_port(self, [&](PyObject* port, long n) {
    if (!units) units = num_units(self);
    py::Ref auto_neg = py::attr(port, ID("enable_auto_neg"));
    bool fixed = !py::truth(auto_neg);
    py::Ref megabits;
    if (fixed) megabits = whole_megabits(py::attr(port, ID("speed")));
    py::Ref if_type = py::attr(port, ID("serdes_if_type"));
    py::Ref if_num;
    if (if_type.get() != Py_None) {
      if (!if_types) if_types = py::attr(global("SDKConfig"), ID("serdes_if_type_map"));
      if_num = py::item(if_types, if_type);
    }
    for (long s = 0; s < n; ++s) {
      py::Ref intf = py::callm(port, ID("sdk_config_intf"), py::integer(s), units);
      lines.add(py::percent(ID("port_init_autoneg_%s=%u"), {intf.get(), auto_neg.get()}));
      if (fixed) {
        lines.add(py::percent(ID("port_init_speed_%s=%s"), {intf.get(), megabits.get()}));
        lines.add(py::percent(ID("port_init_duplex_%s=1"), intf));
      }
      if (if_num)
        lines.add(py::percent(ID("serdes_if_type_%s=%u # %s"),
                              {intf.get(), if_num.get(), if_type.get()}));
    }
  });
  return lines.finish();
}

}  // namespace

py::Ref whole_megabits(PyObject* speed) {
  if (!PyNumber_Check(speed))
    py::raisef(PyExc_TypeError, "a speed must be a number, not %.100s", Py_TYPE(speed)->tp_name);
  py::Ref mbits = py::Ref::steal(PyNumber_Multiply(speed, py::integer(1000)));
  if (PyFloat_Check(mbits.get()))
    mbits = py::floating(std::round(PyFloat_AS_DOUBLE(mbits.get())));
  return py::Ref::steal(PyNumber_Int(mbits));
}

const py::ImplTable property_impls = {
    {"SDKConfig.sdk_pbmp", sdk_pbmp},
    {"SDKConfig.portmap_uncapable_config", portmap_uncapable_config},
    {"SDKConfig.port_emphasis", port_emphasis},
    {"SDKConfig.port_init", port_init},
    {"SDKConfig.phys", phys},
    {"SDKConfig.phy_addrs", phy_addrs},
};

}  // namespace pelvane
