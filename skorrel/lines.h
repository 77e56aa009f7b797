// What the port family and speed classes of every chip line share: the
// common operation signatures and the small computations on lane names,
// modes and lane masks.
#pragma once

#include "skorrel.h"

#include <initializer_list>
#include <string_view>

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

// The names under which a constructor of the families' lists (families.cc)
// hands its own arguments after self on to the SDKPort constructor (an
// empty name: not handed on as it is).
inline const char* const kListAParams[] = {
    "label",
    nullptr /* serdes */,
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
    "pre_emphasis",
    "drv_current",
    "pre_drv_current",
    "oversub",
    "phy_id1",
    "sys_interface",
    "mdi_pair_map"};
inline const char* const kListCParams[] = {
    "label",
    nullptr /* serdes */,
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
    "mdi_pair_map"};
inline const char* const kListDParams[] = {
    "label",       "hw_ports",    "phy_types",   "phy_addrs",        "phy_layer",
    "prim_offset", "leds",        "unit",        "rx_polarity_flip", "tx_polarity_flip",
    "rx_lane_map", "tx_lane_map", "mdi_pair_map"};
inline const char* const kListEParams[] = {"label",     "hw_ports",    "phy_types", "phy_addrs",
                                           "phy_layer", "prim_offset", "leds",      "unit"};

// init_parent with an operation's own arguments as the keywords: `params`
// names its parameters after self (an empty name: not passed on); `extra`
// (`n` of them) adds more.
template <size_t N>
void init_with_own(PyObject* cls, py::Args a, py::Names<N>& params, const py::Keyword* extra,
                   size_t nextra) {
  py::Keyword kw[N + 16];
  size_t n = 0;
  for (size_t i = 0; i < N; ++i)
    if (params[i]) kw[n++] = {params[i], a[i + 1]};
  for (size_t i = 0; i < nextra && n < N + 16; ++i) kw[n++] = extra[i];
  init_parent(cls, a[0], kw, n);
}
template <size_t N>
void init_with_own(PyObject* cls, py::Args a, py::Names<N>& params,
                   std::initializer_list<py::Keyword> extra = {}) {
  init_with_own(cls, a, params, extra.begin(), extra.size());
}

// int(text[from:]): a str of up to nine plain digits there is read here;
// anything else (blanks, a sign, another type) the interpreter converts.
inline py::Ref number_in(PyObject* text, Py_ssize_t from) {
  if (PyString_CheckExact(text) && PyString_GET_SIZE(text) > from) {
    long v;
    if (py::digits_value(py::as_view(text).substr(size_t(from)), v, 9)) return py::integer(v);
  }
  if (!from) return py::Ref::steal(PyNumber_Int(text));
  return py::Ref::steal(PyNumber_Int(py::slice_from(text, from)));
}

// The number after the two-letter prefix of a lane name: int(name[2:]).
inline py::Ref lane_number(PyObject* name) { return number_in(name, 2); }

// `o == v` for an integer v, as the interpreter compares.
inline bool is_int(PyObject* o, long v) {
  if (PyInt_CheckExact(o)) return PyInt_AS_LONG(o) == v;
  return py::equal(o, py::integer(v));
}

// Name `index` of the port's lanes: self.hw_ports[index].
inline py::Ref lane_name(PyObject* self, PyObject* index) {
  static py::AttrReader hw_ports(ID("hw_ports"));
  return py::item(hw_ports.read(self), index);
}

// A one-lane port leads its gang of four when the number of its first lane
// name is a multiple of 4.
inline bool gang_leader(PyObject* self) {
  py::Ref first = lane_number(lane_name(self, py::integer(0)));
  return !py::truth(py::Ref::steal(PyNumber_Remainder(first, py::integer(4))));
}

// Whether the class's mode check would pass `mode` without a doubt: the
// check is SDKPort's own (for `self` a port, one its dict does not hide, or
// a class) and the mode a plain text found among the class's plain `modes`,
// all without running code.  False where the check itself has to run.
bool mode_plainly_listed(PyObject* self, PyObject* mode);

// self._check_mode(mode): NoSuchMode for a mode outside the class's list.
inline void check_mode(PyObject* self, PyObject* mode) {
  if (!mode_plainly_listed(self, mode)) py::call_classop(self, ID("_check_mode"), mode);
}

// An answer that is the same for every port of a class.
inline py::Ref integer_1(py::Args) { return py::integer(1); }
inline py::Ref integer_4(py::Args) { return py::integer(4); }
inline py::Ref no_answer(py::Args) { return {}; }

// polarity_flip_val (self, mode, sub, polarity_flip) of a one-lane port:
// flipped only when its flag is True itself.
inline py::Ref one_lane_polarity(py::Args a) {
  check_mode(a[0], a[1]);
  return py::integer(a[3] == Py_True);
}

// Bit `sub` of a lane mask, as 1 or 0: `mask & (1 << sub)` taken as a
// truth, computed here for two plain integers.
inline py::Ref mask_bit(PyObject* mask, PyObject* sub) {
  if (PyInt_CheckExact(mask) && PyInt_CheckExact(sub) && PyInt_AS_LONG(sub) >= 0 &&
      PyInt_AS_LONG(sub) < 63)
    return py::integer((PyInt_AS_LONG(mask) >> PyInt_AS_LONG(sub)) & 1);
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

// A mode text of a class table.  The texts are interned, so that a mode
// written in a caller's code is often the very same object.
inline py::Ref mode_text(const char* mode) {
  return py::Ref::steal(PyString_InternFromString(mode));
}

// `o == text`, as the interpreter compares.
inline bool is_text(PyObject* o, std::string_view text) {
  if (PyString_CheckExact(o))
    return std::string_view(PyString_AS_STRING(o), size_t(PyString_GET_SIZE(o))) == text;
  return py::equal(o, py::str(text));
}

// A tuple of mode texts, in the order given.
inline py::Ref modes_tuple(std::initializer_list<const char*> modes) {
  py::Ref t = py::tuple(Py_ssize_t(modes.size()));
  Py_ssize_t i = 0;
  for (const char* m : modes) PyTuple_SET_ITEM(t.get(), i++, mode_text(m).release());
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
    py::dict_set(map, mode_text(s.mode),
                 double(whole) == s.gbps ? py::integer(whole) : py::floating(s.gbps));
  }
  return map;
}

// The mode tables of the ganged 10G classes (with or without "1G") and the
// break-out 40G classes (with or without "4x1G").
void attrs_ganged_10g(py::ClassBody& c);
void attrs_ganged_10g_1g(py::ClassBody& c);
void attrs_breakout_40g(py::ClassBody& c);
void attrs_breakout_40g_1g(py::ClassBody& c);
// A fabric class that Linux interfaces are made for.
void attrs_fabric(py::ClassBody& c);

// ---- port counts by mode ----------------------------------------------------

// What a mode counts: nothing (None), `n`, or `n` on the port that leads its
// gang of four (the number of its first lane a multiple of 4) and 0 on the
// others.
struct Count {
  const char* mode;
  enum Kind { none, fixed, leader } kind;
  long n;
};
// A class's counts, after its mode check: the rows tested in order, then
// `rest` for a mode that no row names.
struct Counts {
  Count rows[5];
  Count rest;
};
py::Ref count_ports(py::Args a, const Counts& counts);
template <const Counts& C>
py::Ref counted(py::Args a) {
  return count_ports(a, C);
}
extern const Counts kGang25GLogical, kGang25GPhysical, kTomahawk25GLogical, kTomahawk25GPhysical,
    kGang10GLogical, kGang10GPhysical, kGang10G1GLogical, kGang10G1GPhysical, kMaverick10GPhysical,
    kMultiGig, kBreakout40G, kBreakout40G1G, kSinglePort;

// ---- lane polarity by mode --------------------------------------------------

// What polarity_flip_val (self, mode, sub, flip) answers in a mode: bit
// `sub` of a lane mask, the whole mask, the flag at index `sub` of a list
// of lane flags, or those flags packed four bits a lane.
struct Polarity {
  const char* mode;
  enum Kind { bit, whole, flag, packed } kind;
};
using Polarities = Polarity[4];
py::Ref lane_polarity(py::Args a, const Polarities& rows);
template <const Polarities& P>
py::Ref polarity_by_mode(py::Args a) {
  return lane_polarity(a, P);
}
extern const Polarities kMaskPolarity, kMaskPolarity1G, kFlagPolarity;

// ---- autonegotiation (self, mode) -------------------------------------------

// None on a BaseT PHY layer; else the setting named in "10G", and in
// "4x10G" too where the name ends in _4x; None in the other modes.
py::Ref an_on_10g(py::Args a);
py::Ref an_off_10g(py::Args a);
py::Ref an_on_10g_4x(py::Args a);
py::Ref an_off_10g_4x(py::Args a);
py::Ref an_auto_10g_4x(py::Args a);
// The same setting in every mode.
py::Ref an_off(py::Args a);
py::Ref an_auto(py::Args a);

}  // namespace skorrel
