// The port record and the base port operations of SDKPort.
#include "lines.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

namespace skorrel {
namespace {

py::Ref port_init(py::Args a) {
  static py::TypeMemo<bool> plain;
  const py::Keyword fields[] = {{ID("label"), a[1]}, {ID("sfp"), Py_None}};
  py::set_attrs(a[0], fields, 2, plain);
  return {};
}

py::Ref sdkport_init(py::Args a) {
  // The port's dict made with room for every field, where it has none yet.
  static py::TypeMemo<bool> plain, no_names;
  py::set_attrs(a[0], nullptr, 0, no_names, 20);
  // Port is looked up by name when the constructor runs.
  init_parent(ID("Port"), a[0], {{ID("label"), a[1]}});
  // The fields in the order they are stored: prim_offset comes second.
  static const int order[] = {2, 6, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  static const char* const kNames[] = {
      "self",
      "label",
      "hw_ports",
      "phy_types",
      "phy_addrs",
      "phy_layer",
      "prim_offset",
      "leds",
      "unit",
      "rx_polarity_flip",
      "tx_polarity_flip",
      "rx_lane_map",
      "tx_lane_map",
      "mdi_pair_map",
      "pre_emphasis",
      "drv_current",
      "pre_drv_current",
      "oversub",
      "phy_id1",
      "sys_interface"};
  static py::Names<std::size(kNames)> names{kNames};
  py::Keyword fields[std::size(order)];
  for (size_t k = 0; k < std::size(order); ++k) fields[k] = {names[size_t(order[k])], a[order[k]]};
  py::set_attrs(a[0], fields, std::size(order), plain);
  return {};
}

py::Ref phy_autodetect(py::Args a) {
  py::Ref type = py::item(py::attr(a[0], ID("phy_types")), a[2]);
  return py::boolean(py::contains(py::attr(a[0], ID("_autodetect_phys")), type));
}

py::Ref num_phys(py::Args a) {
  py::Ref addrs = py::attr(a[0], ID("phy_addrs"));
  if (addrs.get() == Py_None) return py::integer(0);
  long n = 0;
  py::Ref it = py::iter(addrs);
  while (py::Ref v = py::next(it)) n += v.get() != Py_None;
  return py::integer(n);
}

// ---- modes --------------------------------------------------------------

py::Ref port_mangler(py::Args a) {
  py::Ref pair = py::tuple({a[0], a[1]});
  return py::tuple({pair.get()});
}

// Cage type -> the cage's full speed in Gb/s.
PyObject* cage_speeds() {
  static PyObject* const map = [] {
    py::Ref m = py::dict();
    py::dict_set(m, "SFP+", py::integer(10));
    py::dict_set(m, "SFP28", py::integer(25));
    py::dict_set(m, "QSFP+", py::integer(40));
    py::dict_set(m, "QSFP28", py::integer(100));
    return m.release();
  }();
  return map;
}

py::Ref complete_mode(py::Args a) {
  // a[0] is the port the operation was invoked on; a[1] the port asked about.
  PyObject* mode = a[2];
  struct Form {
    PyObject* text;
    const char* result;
    int num, den;  // full speed * num / den
  };
  const Form forms[] = {
      {ID("1x"), "%dG", 1, 1}, {ID("2x"), "2x%dG", 1, 2}, {ID("4x"), "4x%dG", 1, 4},
      {ID("/1"), "%dG", 1, 1}, {ID("/2"), "%dG/2", 2, 1}, {ID("/4"), "%dG/4", 4, 1},
  };
  for (const Form& f : forms) {
    if (!py::equal(mode, f.text)) continue;
    long full = py::as_long(py::item(cage_speeds(), py::attr(a[1], ID("phy_layer"))));
    return py::str(py::format(f.result, int(full * f.num / f.den)));
  }
  return py::Ref::borrow(mode);
}

py::Ref configurable(py::Args a) {
  PyObject* self = a[0];
  py::Ref key = py::attr(self, ID("label"));
  if (py::truth(py::attr(self, ID("is_fabric"))))
    key = py::Ref::steal(PyNumber_Add(ID("Fabric-"), key));
  py::Ref mode = py::callm(a[1], ID("get"), key, py::attr(self, ID("default_mode")));
  py::Ref lower = py::callm(mode, ID("lower"));
  return py::boolean(!py::truth(py::callm(lower, ID("startswith"), ID("disable"))));
}

// `mode in modes`.  A text among a list or tuple of texts is compared here;
// anything else as the interpreter compares it.
bool listed(PyObject* modes, PyObject* mode) {
  if (!PyString_CheckExact(mode) || !(PyList_CheckExact(modes) || PyTuple_CheckExact(modes)))
    return py::contains(modes, mode);
  for (Py_ssize_t i = 0; i < Py_SIZE(modes); ++i) {
    PyObject* m = PySequence_Fast_GET_ITEM(modes, i);
    if (m == mode) return true;
    if (!PyString_CheckExact(m)) return py::contains(modes, mode);
    if (py::same_text(m, mode)) return true;
  }
  return false;
}

// The shorthand forms that a rejected mode's message offers, in this order;
// any other form a class gives rise to follows them.
const char* const kShorthandOrder[] = {"1x", "/4", "2x", "4x", "/1"};

// The text of a rejected mode's message, written directly where the mode
// and every mode of the class are plain texts that the interpreter writes
// in single quotes as they are; empty otherwise.
py::Ref plain_refusal(PyObject* modes, PyObject* mode) {
  if (!PyString_CheckExact(mode) || !(PyList_CheckExact(modes) || PyTuple_CheckExact(modes)))
    return {};
  auto quoted_as_is = [](std::string_view t) {
    for (char c : t)
      if (c < 0x20 || c > 0x7e || c == '\'' || c == '\\') return false;
    return true;
  };
  std::vector<std::string_view> forms;
  auto add = [&](std::string_view f) {
    if (std::find(forms.begin(), forms.end(), f) == forms.end()) forms.push_back(f);
  };
  const Py_ssize_t n = Py_SIZE(modes);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* m = PySequence_Fast_GET_ITEM(modes, i);
    if (!PyString_CheckExact(m)) return {};
    std::string_view v = py::as_view(m);
    if (!quoted_as_is(v)) return {};
    if (v.find('x') != v.npos) {
      add("1x");
      add("/1");
      add(v.substr(0, 2));
    }
    if (v.find('/') != v.npos) {
      add("1x");
      add("/1");
      add(v.substr(v.size() < 2 ? 0 : v.size() - 2));
    }
  }
  py::StrBuilder text;
  text.append("error: mode not found: ", py::as_view(mode), ", must be one of: [");
  bool first = true;
  auto put = [&](std::string_view item) {
    if (!first) text += ", ";
    first = false;
    text.append("'", item, "'");
  };
  auto shorthand = [](std::string_view f) {
    for (const char* s : kShorthandOrder)
      if (f == s) return true;
    return false;
  };
  for (const char* s : kShorthandOrder)
    if (std::find(forms.begin(), forms.end(), std::string_view(s)) != forms.end()) put(s);
  for (std::string_view f : forms)
    if (!shorthand(f)) put(f);
  for (Py_ssize_t i = 0; i < n; ++i) put(py::as_view(PySequence_Fast_GET_ITEM(modes, i)));
  text += "]";
  return text.finish();
}

// The same text made by the interpreter's own operations.
py::Ref refusal(PyObject* modes, PyObject* mode) {
  py::Ref forms = py::list();
  auto add = [&](PyObject* form) {
    if (!py::contains(forms, form)) py::append(forms, form);
  };
  py::Ref it = py::iter(modes);
  while (py::Ref m = py::next(it)) {
    if (py::contains(m, ID("x"))) {
      add(ID("1x"));
      add(ID("/1"));
      add(py::Ref::steal(PySequence_GetSlice(m, 0, 2)));
    }
    if (py::contains(m, ID("/"))) {
      add(ID("1x"));
      add(ID("/1"));
      Py_ssize_t n = py::length(m);
      add(py::Ref::steal(PySequence_GetSlice(m, n < 2 ? 0 : n - 2, n)));
    }
  }
  py::Ref valid = py::list();
  for (const char* form : kShorthandOrder) {
    py::Ref f = py::str(form);
    if (py::contains(forms, f)) py::append(valid, f);
  }
  it = py::iter(forms);
  while (py::Ref f = py::next(it))
    if (!py::contains(valid, f)) py::append(valid, f);
  it = py::iter(modes);
  while (py::Ref m = py::next(it)) py::append(valid, m);

  return py::percent(ID("error: mode not found: %s, must be one of: %s"),
                     py::tuple({mode, valid.get()}));
}

py::Ref sdkport_check_mode(py::Args a) {
  PyObject *cls = a[0], *mode = a[1];
  py::Ref modes = py::attr(cls, ID("modes"));
  if (listed(modes, mode)) return {};
  // A rejected mode is an answer, raised without unwinding.
  py::Ref text = plain_refusal(modes, mode);
  if (!text) text = refusal(modes, mode);
  PyErr_SetObject(global(ID("NoSuchMode")), text);
  return py::failed();
}

py::Ref speed(py::Args a) {
  PyObject *cls = a[0], *mode = a[1];
  skorrel::check_mode(cls, mode);
  // The class's plain speed map, while the class is unchanged.
  static py::TypeMemo<PyObject*> maps;
  if (PyType_Check(cls) && Py_TYPE(cls) == &PyType_Type) {
    PyObject* map = maps.get(reinterpret_cast<PyTypeObject*>(cls), [](PyTypeObject* t) {
      PyObject* m = _PyType_Lookup(t, ID("_speed_map"));
      return m && PyDict_CheckExact(m) ? m : nullptr;
    });
    // Held: the mode's hash and comparisons may replace the class's map.
    if (py::Ref held = py::Ref::borrow(map))
      if (PyObject* v = py::dict_find(held, mode)) return py::Ref::borrow(v);
  }
  return py::item(py::attr(cls, ID("_speed_map")), mode);
}

py::Ref num_lanes(py::Args a) {
  PyObject *cls = a[0], *mode = a[1];
  py::Ref speed_op = py::attr(cls, ID("speed"));
  py::Ref speed;
  if (PyMethod_Check(speed_op.get()) && !PyMethod_GET_SELF(speed_op.get()))
    // A class that makes `speed` an operation of the port (the 1G classes,
    // whose answer does not depend on the port) is asked with the class in
    // the port's place: there is no port at class level.
    speed = py::call(PyMethod_GET_FUNCTION(speed_op.get()), cls, mode);
  else
    speed = py::call(speed_op, mode);

  struct Row {
    double speed;
    long lanes;
  };
  static const Row table[] = {{40, 4}, {100, 4}, {50, 2}, {1, 1},  {10, 1},
                              {25, 1}, {2.5, 1}, {5, 1},  {13, 1}, {20, 2}};
  for (const Row& r : table) {
    py::Ref s = r.speed == long(r.speed) ? py::integer(long(r.speed)) : py::floating(r.speed);
    if (py::equal(speed, s)) return py::integer(r.lanes);
  }
  py::raise(PyExc_RuntimeError, py::percent(ID("invalid speed: %d"), speed));
}

py::Ref num_physical_ports(py::Args a) { return py::call_op(a[0], ID("num_logical_ports"), a[1]); }

// An operation that each port class gives for itself: the bare error.
py::Ref not_implemented(py::Args) { py::raise(PyExc_NotImplementedError, Py_None); }

py::Ref mac_addrs_contrib_total(py::Args a) {
  PyObject* self = a[0];
  if (!py::truth(py::call_op(self, ID("configurable"), a[1]))) return py::integer(0);
  if (py::truth(py::attr(self, ID("is_fabric"))) &&
      !py::truth(py::attr(self, ID("create_fabric"))))
    return py::integer(0);
  return py::attr(self, ID("max_logical_ports"));
}

// ---- hardware numbering -------------------------------------------------

// The pbmp_map position of name `sub`.
py::Ref pbmp_position(PyObject* self, PyObject* sub) {
  py::Ref map = py::plain_attr(self, ID("pbmp_map"));
  return py::item(map, lane_name(self, sub));
}

py::Ref hw_intf_prefix(py::Args a) {
  return py::Ref::steal(PySequence_GetSlice(lane_name(a[0], a[2]), 0, 2));
}

py::Ref hw_intf_num(py::Args a) {
  PyObject *self = a[0], *sub = a[2];
  py::Ref logical = py::call_op(self, ID("num_logical_ports"), a[1]);
  // A port split in two takes its lanes in pairs: logical port 1 begins on
  // lane 2.
  if (is_int(logical, 2))
    return lane_number(lane_name(self, py::Ref::steal(PyNumber_Multiply(py::integer(2), sub))));
  return lane_number(lane_name(self, sub));
}

py::Ref hw_intf_num_portmap(py::Args a) {
  return py::call_op(a[0], ID("hw_intf_num"), a[1], a[2]);
}

// The smaller of two numbers, the first one on a tie.
py::Ref lower_of(py::Ref best, py::Ref other) {
  int lt = PyObject_RichCompareBool(other, best, Py_LT);
  py::check(lt);
  return lt ? other : best;
}

py::Ref base_hw_intf_num(py::Args a) {
  PyObject *self = a[0], *mode = a[1], *sub = a[2];
  py::Ref logical = py::call_op(self, ID("num_logical_ports"), mode);
  py::Ref ports = py::attr(self, ID("hw_ports"));
  Py_ssize_t lanes = py::length(ports);
  int more = PyObject_RichCompareBool(py::integer(long(lanes)), logical, Py_GT);
  py::check(more);
  if (!more) return py::call_op(self, ID("hw_intf_num"), mode, sub);

  if (py::equal(logical, py::integer(2))) {
    // Split in two: logical port `sub` owns lanes 2*sub and 2*sub + 1.
    py::Ref first = py::Ref::steal(PyNumber_Multiply(py::integer(2), sub));
    py::Ref best = lane_number(py::item(ports, first));
    py::Ref second = py::Ref::steal(PyNumber_Add(first, py::integer(1)));
    int more = PyObject_RichCompareBool(second, py::integer(long(lanes)), Py_LT);
    py::check(more);
    return more ? lower_of(best, lane_number(py::item(ports, second))) : best;
  }

  py::Ref best;
  for (Py_ssize_t x = 0; x < lanes; ++x) {
    py::tick();
    py::Ref n = py::call_op(self, ID("hw_intf_num"), mode, py::integer(long(x)));
    best = best ? lower_of(best, n) : n;
  }
  return best;
}

py::Ref hw_intf(py::Args a) {
  PyObject *self = a[0], *mode = a[1], *sub = a[2];
  py::Ref prefix = py::call_op(self, ID("hw_intf_prefix"), mode, sub);
  py::Ref num = py::call_op(self, ID("hw_intf_num"), mode, sub);
  return py::percent_plain(ID("%s%u"), {prefix, num});
}

py::Ref hw_pbmp(py::Args a) {
  // Positions run past bit 64: the interpreter's integers carry the width.
  py::Ref position = pbmp_position(a[0], a[2]);
  return py::Ref::steal(PyNumber_Lshift(py::integer(1), position));
}

py::Ref hw_port_num(py::Args a) { return pbmp_position(a[0], a[2]); }

py::Ref port_mac_index(py::Args a) { return py::Ref::steal(PyNumber_Add(a[2], a[3])); }

py::Ref led_port_num(py::Args a) { return pbmp_position(a[0], a[2]); }

py::Ref set_leds(py::Args) { return py::dict(); }

// ---- polarity, serdes, autonegotiation ----------------------------------

py::Ref logical_polarity_flip(py::Args a, py::AttrReader& field) {
  py::Ref flip = field.read(a[0]);
  return py::call_op(a[0], ID("polarity_flip_val"), a[1], a[2], flip);
}

py::Ref rx_logical_polarity_flip(py::Args a) {
  static py::AttrReader field(ID("rx_polarity_flip"));
  return logical_polarity_flip(a, field);
}

py::Ref tx_logical_polarity_flip(py::Args a) {
  static py::AttrReader field(ID("tx_polarity_flip"));
  return logical_polarity_flip(a, field);
}

py::Ref serdes_if_type(py::Args a) {
  static py::AttrReader maps(ID("_serdes_intf_map"));
  py::Ref map = maps.read(a[0]);
  if (!PyDict_CheckExact(map.get())) return py::callm(map, ID("get"), a[1]);
  return py::Ref::borrow(py::dict_find(map, a[1]));
}

const char kSDKPortInitDoc[] =
    "\n"
    "        hw_ports - An ordered list of hardware interfaces associated with the port.\n"
    "                   In this context, ports are identified by their unmapped\n"
    "                   interface name as in the SDK chip datasheets (For example,\n"
    "                   the \"Ports Summary\" on page 143 of 56840-PR101-R).  This usually\n"
    "                   means 10G interfaces are specified using their \"hg\" prefix.\n"
    "\n"
    "        phy_types - An ordered list of PHY device types associated with the port.\n"
    "        phy_addrs - An ordered list of PHY addresses associated with the port.\n"
    "        phy_layer - A description of the PHY layer, one of: '10GBaseT',\n"
    "                      'SFP+', 'QSSFP+', '10BaseT'\n"
    "        leds - An ordered list of led chain addresses associated with the port.\n"
    "               (controller, chain position)\n"
    "        unit - In multi-chip systems, the chip number, \"unit\" in SDK terms.\n"
    "        rx_polarity_flip - flip the rx polarity in hardware\n"
    "                               (True/False for single serdes ports, SDK-style\n"
    "                                4-digit hex number for multi-serdes ports)\n"
    "        tx_polarity_flip - flip the tx polarity in hardware\n"
    "        rx_lane_map - controls lane swapping\n"
    "        tx_lane_map - controls lane swapping\n"
    "        mdi_pair_map - mapping of physical pairs in an MDI interface\n"
    "        pre_emphasis - per-lane pre-emphasis (Ref: Table7 56840-AN603-R)\n"
    "        drv_current - per-lane driver current (Ref: Table7 56840-AN603-R)\n"
    "        pre_drv_current - per-lane pre-driver current (Ref: Table7 56840-AN603-R)\n"
    "        oversub  - a bool whether the port bandwidth is over-subscribed\n"
    "        phy_id1 - Second part of a uniqe PHY identifier\n"
    "        sys_interface - Specify the sytem side interface to be configured for the PHY\n"
    "        ";

}  // namespace

bool mode_plainly_listed(PyObject* self, PyObject* mode) {
  struct Facts {
    bool own;         // the class's _check_mode is SDKPort's
    PyObject* modes;  // its plain tuple or list of modes (borrowed)
  };
  static py::TypeMemo<Facts> memo;
  if (!PyString_CheckExact(mode)) return false;
  PyTypeObject* type;
  if (PyType_Check(self)) {
    type = reinterpret_cast<PyTypeObject*>(self);
  } else {
    type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr || !py::lacks_own(self, ID("_check_mode")))
      return false;
  }
  const Facts& facts = memo.get(type, [](PyTypeObject* t) {
    Facts f{false, nullptr};
    // The class's attributes, as a class whose metatype is `type` has them.
    if (Py_TYPE(t) != &PyType_Type) return f;
    f.own = py::is_classmethod_of(_PyType_Lookup(t, ID("_check_mode")), sdkport_check_mode);
    PyObject* modes = _PyType_Lookup(t, ID("modes"));
    if (modes && (PyTuple_CheckExact(modes) || PyList_CheckExact(modes))) f.modes = modes;
    return f;
  });
  if (!facts.own || !facts.modes) return false;
  // The very object first (the class's texts and those written in code
  // are interned alike), then equal texts.
  auto item = [&](Py_ssize_t i) { return PySequence_Fast_GET_ITEM(facts.modes, i); };
  const Py_ssize_t n = Py_SIZE(facts.modes);
  // Where the last mode found stood: a port is asked about its one mode
  // over and over, and a mode read from the configuration text is no
  // interned text of the class's.  Only a guess, tried first.
  static Py_ssize_t last = 0;
  if (last < n) {
    PyObject* m = item(last);
    if (m == mode || (PyString_CheckExact(m) && py::same_text(m, mode))) return true;
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    if (item(i) == mode) return true;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* m = item(i);
    if (PyString_CheckExact(m) && py::same_text(m, mode)) {
      last = i;
      return true;
    }
  }
  return false;
}

// A docstring of an operation: its lines, each indented with the method.
#define DOC1(l1) "\n        " l1 "\n        "
#define DOC2(l1, l2) "\n        " l1 "\n        " l2 "\n        "

const py::ImplTable port_impls = {
    {"Port.__init__", port_init},
    {"SDKPort.__init__", sdkport_init, kSDKPortInitDoc},
    {"SDKPort.port_mangler", port_mangler,
     DOC2("Allow a port to return a different set of ports, based on the mode.",
          "The default is to return a list with just the current port and mode.")},
    {"SDKPort.complete_mode", complete_mode,
     "\n        We want to support setting the breakout configuration without an"
     "\n        associated speed.  Therefore, complete the shorthand '1x', '/1' etc."
     "\n        into a fully qualified breakout + speed setting.\n        "},
    {"SDKPort.configurable", configurable,
     DOC2("A ports is SDK configurable if it's not marked as 'disable'.",
          "Some platforms may add further qualifications by overriding this method.")},
    {"SDKPort.phy_autodetect", phy_autodetect},
    {"SDKPort._check_mode", sdkport_check_mode,
     DOC1("Verify the mode specified in the config file is valid.")},
    {"SDKPort.speed", speed,
     DOC1("Return the port speed in gigabits per second for a given mode.")},
    {"SDKPort.num_lanes", num_lanes},
    {"SDKPort.num_physical_ports", num_physical_ports,
     DOC1("Return the number of physical (front panel holes) for a given port.")},
    {"SDKPort.num_logical_ports", not_implemented,
     DOC1("Return the number of logical (Linux interfaces) for a given port.")},
    {"SDKPort.max_logical_ports", not_implemented,
     DOC1("Return the maximum number of logical (Linux interfaces) for a given port.")},
    {"SDKPort.mac_addrs_contrib_total", mac_addrs_contrib_total,
     DOC2("Return the number of MAC addresses this port would contribute to the",
          "system total.")},
    {"SDKPort.num_phys", num_phys, DOC1("Return the number of phys for a given port.")},
    {"SDKPort.hw_intf_prefix", hw_intf_prefix,
     DOC1("Return the physical port interface prefix (always unmapped by portmap)")},
    {"SDKPort.hw_intf_num", hw_intf_num,
     DOC1("Return the physical port interface number (always unmapped by portmap)")},
    {"SDKPort.hw_intf_num_portmap", hw_intf_num_portmap,
     DOC1("Return the physical port interface number to be used by portmap")},
    {"SDKPort.base_hw_intf_num", base_hw_intf_num,
     DOC1("Return the lowest numbered hw_intf_num that makes up a logical port.")},
    {"SDKPort.hw_intf", hw_intf,
     DOC2("Return the physical hardware port for the sub-interface (prefix",
          "concatenated with number).")},
    {"SDKPort.hw_pbmp", hw_pbmp,
     DOC1("Return the hardware port bitmap mask for the sub-interface.")},
    {"SDKPort.hw_port_num", hw_port_num,
     DOC1("Return the hardware port number (pbmp bit position)")},
    {"SDKPort.port_mac_index", port_mac_index,
     DOC1("Return the MAC address index for the sub-interface")},
    {"SDKPort.led_port_num", led_port_num,
     DOC1("Return the led port number (identical to the hw_port_num on most platforms)")},
    {"SDKPort.set_leds", set_leds},
    {"SDKPort.polarity_flip_val", not_implemented,
     DOC2("Return the generic TX/RX polarity_flip parameter for the", "interface as an integer.")},
    {"SDKPort.rx_logical_polarity_flip", rx_logical_polarity_flip,
     DOC2("Return the rx_polarity_flip parameter for the interface", "as an integer.")},
    {"SDKPort.tx_logical_polarity_flip", tx_logical_polarity_flip},
    {"SDKPort.serdes_if_type", serdes_if_type,
     DOC1("Return the serdes interface type based on the port speed")},
    {"SDKPort.an_c37", no_answer},
    {"SDKPort.an_c73", no_answer},
    {"SDKPort.logical_port_num", not_implemented,
     DOC1("Return the logical port number for the sub-interface")},
};

}  // namespace skorrel
