// What the port family and speed classes of every chip line share: the
// common operation signatures and the small computations on lane names,
// modes and lane masks.
#pragma once

#include "skorrel.h"

#include <initializer_list>

namespace skorrel {

// Parameter lists shared by many operations.
inline constexpr char kModeSig[] = "self, mode";
inline constexpr char kModeSubSig[] = "self, mode, sub";
inline constexpr char kFlipSig[] = "self, mode, sub, polarity_flip";
inline constexpr char kFlipListSig[] = "self, mode, sub, polarity_flip_list";
inline constexpr char kPortBaseSig[] = "self, mode, sub, port_base";
// The constructor of the TomahawkTwo family and of most serdes-built speed
// classes: unit required, the PHY offset last.
inline constexpr char kSerdesInitSig[] =
    "self, label, serdes, phy_types, phy_addrs, phy_layer, leds, unit, rx_lane_map=None, "
    "rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, mdi_pair_map=None, "
    "pre_emphasis=None, drv_current=None, pre_drv_current=None, oversub=False, phy_id1=None, "
    "sys_interface=None, prim_offset=None";

// The number after the two-letter prefix of a lane name: int(name[2:]).
// A str of plain digits there is read here; anything else (blanks, a sign,
// another type) the interpreter converts.
inline py::Ref lane_number(PyObject* name) {
  if (PyString_CheckExact(name)) {
    const char* s = PyString_AS_STRING(name);
    Py_ssize_t n = PyString_GET_SIZE(name);
    if (n > 2 && n <= 11) {
      long v = 0;
      Py_ssize_t i = 2;
      for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + (s[i] - '0');
      if (i == n) return py::integer(v);
    }
  }
  return py::Ref::steal(PyNumber_Int(py::slice_from(name, 2)));
}

// A one-lane port leads its gang of four when the number of its first lane
// name is a multiple of 4.
inline bool gang_leader(PyObject* self) {
  py::Ref first = lane_number(py::item(py::attr(self, ID("hw_ports")), Py_ssize_t(0)));
  return !py::truth(py::Ref::steal(PyNumber_Remainder(first, py::integer(4))));
}

// self._check_mode(mode): NoSuchMode for a mode outside the class's list.
inline void check_mode(PyObject* self, PyObject* mode) {
  py::call_classmethod(self, ID("_check_mode"), mode);
}

// An answer that is the same for every port of a class.
inline py::Ref integer_1(py::Args) { return py::integer(1); }
inline py::Ref integer_4(py::Args) { return py::integer(4); }

// polarity_flip_val (self, mode, sub, polarity_flip) of a one-lane port:
// flipped only when its flag is True itself.
inline py::Ref one_lane_polarity(py::Args a) {
  check_mode(a[0], a[1]);
  return py::integer(a[3] == Py_True);
}

// Bit `sub` of a lane mask, as 1 or 0.
inline py::Ref mask_bit(PyObject* mask, PyObject* sub) {
  py::Ref bit = py::Ref::steal(PyNumber_Lshift(py::integer(1), sub));
  return py::integer(py::truth(py::Ref::steal(PyNumber_And(mask, bit))));
}

// set_fiber_pref: fibre is preferred on SFP cages; a port without a PHY
// layer has no preference.
inline py::Ref sfp_fiber_pref(py::Args a) {
  py::Ref layer = py::attr(a[0], ID("phy_layer"));
  if (layer.get() == Py_None) return py::boolean(false);
  return py::boolean(py::contains(layer, ID("SFP")));
}

// A tuple of mode texts, in the order given.
inline py::Ref modes_tuple(std::initializer_list<const char*> modes) {
  py::Ref t = py::tuple(Py_ssize_t(modes.size()));
  Py_ssize_t i = 0;
  for (const char* m : modes) PyTuple_SET_ITEM(t.get(), i++, py::str(m).release());
  return t;
}

// A speed map with its keys inserted in the order given; whole speeds are
// integers, 2.5 a float.
struct Speed {
  const char* mode;
  double gbps;
};
inline py::Ref speed_map(std::initializer_list<Speed> speeds) {
  py::Ref map = py::dict();
  for (const Speed& s : speeds) {
    long whole = long(s.gbps);
    py::dict_set(map, s.mode,
                 double(whole) == s.gbps ? py::integer(whole) : py::floating(s.gbps));
  }
  return map;
}

}  // namespace skorrel
