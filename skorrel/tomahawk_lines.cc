// The Tomahawk, TomahawkTwo, Maverick and TridentThree port lines: the speed
// classes of each line with their mode tables, and the operations of the
// lines' family bases and speed classes.
//
// On these lines the lanes are named "ce%u" (Tomahawk, TridentThree) or
// "xe%u" (Maverick) after their serdes numbers, and the hardware, LED and
// logical port numbers are computed from those numbers instead of being
// looked up in pbmp_map.
#include "lines.h"

#include <cstring>
#include <iterator>
#include <string>

namespace skorrel {
namespace {

using py::Args;
using py::Ref;
constexpr py::Bind M = py::Bind::method, P = py::Bind::property;

// ---- helpers -------------------------------------------------------------

Ref text(PyObject* interned) { return Ref::borrow(interned); }

// The number of lane `sub`: int(self.hw_ports[sub][2:]).
Ref lane_number_of(PyObject* self, PyObject* sub) { return lane_number(lane_name(self, sub)); }

// self.hw_intf_num(mode, sub), whatever number it is.
Ref intf_num(PyObject* self, PyObject* mode, PyObject* sub) {
  return py::call_op(self, ID("hw_intf_num"), mode, sub);
}

// The numbers below are computed as the interpreter computes them, so that
// a serdes number of any size gives the interpreter's answer.
bool above(PyObject* n, long k) { return py::compare(n, k, Py_GT); }

// ---- class attributes ----------------------------------------------------

// The keys of the speed map just set, as a list in the order given (the
// order in which the target interpreter's dict yields them).
Ref speed_map_keys(py::ClassBody& c, std::initializer_list<const char*> order) {
  Ref map = c.lookup("_speed_map");
  Ref keys = py::list();
  for (const char* mode : order) {
    Ref key = mode_text(mode);
    if (!py::dict_get(map, key))
      py::raisef(PyExc_SystemError, "%s: no speed for %s", c.name(), mode);
    py::append(keys, key);
  }
  if (py::length(keys) != py::length(map))
    py::raisef(PyExc_SystemError, "%s: modes do not cover the speed map", c.name());
  return keys;
}

Ref concat(PyObject* a, PyObject* b) { return Ref::steal(PySequence_Concat(a, b)); }

// The 100G classes of Tomahawk, Maverick and TridentThree.
void attrs_100g(py::ClassBody& c) {
  c.set("_speed_map",
        speed_map({{"100G", 100},
                   {"40G", 40},
                   {"50G", 50},
                   {"2x50G", 50},
                   {"2x40G", 40},
                   {"2x20G", 20},
                   {"4x25G", 25},
                   {"4x10G", 10}}));
  c.set("modes",
        speed_map_keys(c, {"40G", "2x50G", "100G", "50G", "2x20G", "4x25G", "4x10G", "2x40G"}));
  c.set("default_mode", mode_text("100G"));
}

// TomahawkTwo's 100G class has no "2x40G".
void attrs_th2_100g(py::ClassBody& c) {
  c.set("_speed_map",
        speed_map({{"100G", 100},
                   {"40G", 40},
                   {"50G", 50},
                   {"2x50G", 50},
                   {"2x20G", 20},
                   {"4x25G", 25},
                   {"4x10G", 10}}));
  c.set("modes", speed_map_keys(c, {"40G", "2x50G", "100G", "50G", "2x20G", "4x25G", "4x10G"}));
  c.set("default_mode", mode_text("100G"));
}

// The 25G classes, four of which gang into one 100G or 40G port.
void attrs_25g(py::ClassBody& c, bool default_from_modes) {
  c.set("_speed_map", speed_map({{"10G", 10}, {"25G", 25}, {"40G/4", 40}, {"100G/4", 100}}));
  c.set("gang_modes", modes_tuple({"100G/4", "40G/4"}));
  c.set("modes", concat(modes_tuple({"25G", "10G"}), c.lookup("gang_modes")));
  c.set("default_mode",
        default_from_modes ? py::item(c.lookup("modes"), Py_ssize_t(0)) : mode_text("25G"));
  c.set("max_gang_size", py::integer(4));
}
void attrs_tt3_25g(py::ClassBody& c) { attrs_25g(c, false); }
void attrs_th_25g(py::ClassBody& c) { attrs_25g(c, true); }

void attrs_tt3_10g(py::ClassBody& c) {
  c.set("modes", modes_tuple({"10G", "1G"}));
  c.set("default_mode", mode_text("10G"));
  c.set("_speed_map", speed_map({{"1G", 1}, {"10G", 10}}));
}

void attrs_tt3_mg(py::ClassBody& c) {
  c.set("modes", modes_tuple({"10G", "5G", "2.5G", "1G"}));
  c.set("default_mode", mode_text("10G"));
  c.set("_speed_map", speed_map({{"1G", 1}, {"2.5G", 2.5}, {"5G", 5}, {"10G", 10}}));
}

void attrs_th_mgmt(py::ClassBody& c) {
  c.set("_speed_map", speed_map({{"10G", 10}}));
  c.set("modes", speed_map_keys(c, {"10G"}));
  c.set("default_mode", mode_text("10G"));
}

// ---- constructor signatures ------------------------------------------------

// The Maverick 100G and 40G ports fix their cage type.
const char kCagedInit[] =
    "self, label, serdes, phy_types, phy_addrs, leds, unit, rx_lane_map=None, "
    "rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, mdi_pair_map=None, "
    "pre_emphasis=None, drv_current=None, pre_drv_current=None, oversub=False, phy_id1=None, "
    "sys_interface=None, prim_offset=None";
const char kTH2Init[] =
    "self, label, adj_label, serdes, phy_types, phy_addrs, phy_layer, leds, unit, "
    "rx_lane_map=None, rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, "
    "mdi_pair_map=None, pre_emphasis=None, blocked_adj_split=None, drv_current=None, "
    "pre_drv_current=None, oversub=False, phy_id1=None, sys_interface=None, prim_offset=None";
const char kTHFabricInit[] =
    "self, label, serdes, tx_polarity_flip, rx_polarity_flip, tx_lane_map, rx_lane_map, "
    "sdk_group=None";
const char kMV40FabricInit[] =
    "self, label, serdes, rx_lane_map, rx_polarity_flip, tx_lane_map, tx_polarity_flip, "
    "sdk_group=None";
const char kMV10FabricInit[] =
    "self, label, serdes, rx_lane_map, rx_polarity_flip, tx_lane_map, tx_polarity_flip, "
    "mdi_pair_map=None, pre_emphasis=None, drv_current=None, pre_drv_current=None, "
    "oversub=False, phy_id1=None, sys_interface=None, prim_offset=None";


const char kTHFabricDoc[] =
    "\n    Fabric ports are 100G Tomahawk ports using KR4 serdes and\n    no LEDs.\n    ";
const char kMV40FabricDoc[] =
    "\n    Fabric ports are 40G Maverick ports using KR4 serdes and\n    no LEDs.\n    ";
const char kMV10FabricDoc[] =
    "\n    Fabric ports are 10G Maverick ports using KR serdes and\n    no LEDs.\n    ";

}  // namespace

namespace {

// A speed class's operations: constructor, logical port count and limit,
// then the class's own in binding order.
std::vector<OpSpec> speed_ops(const char* init, std::initializer_list<OpSpec> rest) {
  std::vector<OpSpec> ops = {{"__init__", M, init},
                             {"num_logical_ports", M, kModeSig},
                             {"max_logical_ports", P, "self"}};
  ops.insert(ops.end(), rest);
  return ops;
}

const OpSpec kPhysical = {"num_physical_ports", M, kModeSig};
const OpSpec kFlipOp = {"polarity_flip_val", M, kFlipSig};
const OpSpec kFlipListOp = {"polarity_flip_val", M, kFlipListSig};
const OpSpec kAnC37 = {"an_c37", M, kModeSig}, kAnC73 = {"an_c73", M, kModeSig};
const OpSpec kLogical = {"logical_port_num", M, kPortBaseSig};
const OpSpec kFiber = {"set_fiber_pref", P, "self"};

}  // namespace

const py::ClassTable tomahawk_classes = {
    py::Qualname::bound,
    {
        {"TridentThree100GPort", "TridentThreePort", nullptr, attrs_100g,
         speed_ops(kSerdesInitSig, {kFlipListOp})},
        {"TridentThree25GPort", "TridentThreePort", nullptr, attrs_tt3_25g,
         speed_ops(kSerdesInitSig, {kPhysical, kFlipOp})},
        {"TridentThree10GPort", "TridentThreePort", nullptr, attrs_tt3_10g,
         speed_ops(kSerdesInitSig, {kPhysical, kFlipOp, kAnC37, kAnC73, kLogical, kFiber})},
        {"TridentThreeMGPort", "TridentThreePort", nullptr, attrs_tt3_mg,
         speed_ops(kSerdesInitSig, {kPhysical, kFlipOp, kAnC37, kAnC73, kLogical, kFiber})},
        {"Tomahawk100GPort", "TomahawkPort", nullptr, attrs_100g,
         speed_ops(kSerdesInitSig, {kFlipListOp})},
        {"Tomahawk100GFabricPort",
         "Tomahawk100GPort",
         kTHFabricDoc,
         attrs_fabric,
         {{"__init__", M, kTHFabricInit}, {"max_logical_ports", P, "self"}}},
        {"Tomahawk25GPort", "TomahawkPort", nullptr, attrs_th_25g,
         speed_ops(kSerdesInitSig, {kPhysical, kFlipOp})},
        {"TomahawkMgmt10GPort", "TomahawkPort", nullptr, attrs_th_mgmt,
         speed_ops(kSerdesInitSig, {})},
        {"TomahawkTwo100GPort",
         "TomahawkTwoPort",
         nullptr,
         attrs_th2_100g,
         {{"__init__", M, kTH2Init},
          {"blocked_adj_split_num", M, "self"},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"},
          kFlipListOp}},
        {"Maverick100GPort", "MaverickPort", nullptr, attrs_100g,
         speed_ops(kCagedInit, {kFlipListOp})},
        {"Maverick40GPort", "MaverickPort", nullptr, attrs_breakout_40g_1g,
         speed_ops(kCagedInit, {kFlipListOp})},
        {"Maverick40GFabricPort",
         "Maverick40GPort",
         kMV40FabricDoc,
         attrs_fabric,
         {{"__init__", M, kMV40FabricInit}, {"max_logical_ports", P, "self"}}},
        {"Maverick10GPort", "MaverickPort", nullptr, attrs_ganged_10g_1g,
         speed_ops(kSerdesInitSig, {kPhysical, kFlipOp, kAnC37, kAnC73, kFiber})},
        {"Maverick10GFabricPort",
         "Maverick10GPort",
         kMV10FabricDoc,
         attrs_fabric,
         {{"__init__", M, kMV10FabricInit}, kAnC37, kAnC73, kFiber}},
    }};

namespace {

// ---- constructors ----------------------------------------------------------

// The lane names "<prefix>%u" filled with each serdes number, as a tuple.
Ref lane_names(PyObject* format, PyObject* serdes) {
  if (PyList_CheckExact(serdes) || PyTuple_CheckExact(serdes)) {
    // Made in place while the numbers are plain integers (nothing of the
    // interpreter's runs meanwhile, so the sequence stays as it is; but for
    // a signal's handler, after which a list of another size is named the
    // general way).
    const Py_ssize_t n = Py_SIZE(serdes);
    Ref names = py::tuple(n);
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
      if (py::tick() && Py_SIZE(serdes) != n) break;
      PyObject* number = PySequence_Fast_GET_ITEM(serdes, i);
      if (!PyInt_CheckExact(number)) break;
      PyTuple_SET_ITEM(names.get(), i, py::percent_plain(format, {number}).release());
    }
    if (i == n) return names;
  }
  Ref names = py::list();
  Ref it = py::iter(serdes);
  while (Ref number = py::next(it)) py::append(names, py::percent_plain(format, {number.get()}));
  return Ref::steal(PyList_AsTuple(names));
}

// A family base constructor: names the lanes and hands everything on, by
// name, to the BCMPort constructor.
Ref family_init(Args a, PyObject* lane_format) {
  static py::Names<std::size(kListAParams)> params{kListAParams};
  Ref hw_ports = lane_names(lane_format, a[2]);
  init_with_own(ID("BCMPort"), a, params, {{ID("hw_ports"), hw_ports}});
  return {};
}

Ref maverick_init(Args a) { return family_init(a, ID("xe%u")); }
Ref tomahawk_init(Args a) { return family_init(a, ID("ce%u")); }
Ref trident3_init(Args a) { return family_init(a, ID("ce%u")); }

const char* const kLeafParams[] = {
    "label",        "serdes",           "phy_types",
    "phy_addrs",    "phy_layer",        "leds",
    "unit",         "rx_lane_map",      "rx_polarity_flip",
    "tx_lane_map",  "tx_polarity_flip", "mdi_pair_map",
    "pre_emphasis", "drv_current",      "pre_drv_current",
    "oversub",      "phy_id1",          "sys_interface",
    "prim_offset"};
const char* const kCagedParams[] = {
    "label",        "serdes",        "phy_types",        "phy_addrs",       "leds",
    "unit",         "rx_lane_map",   "rx_polarity_flip", "tx_lane_map",     "tx_polarity_flip",
    "mdi_pair_map", "pre_emphasis",  "drv_current",      "pre_drv_current", "oversub",
    "phy_id1",      "sys_interface", "prim_offset"};
// adj_label and blocked_adj_split stay with the TomahawkTwo 100G port.
const char* const kTH2Params[] = {
    "label",
    nullptr,
    "serdes",
    "phy_types",
    "phy_addrs",
    "phy_layer",
    "leds",
    "unit",
    "rx_lane_map",
    "rx_polarity_flip",
    "tx_lane_map",
    "tx_polarity_flip",
    "mdi_pair_map",
    "pre_emphasis",
    nullptr,
    "drv_current",
    "pre_drv_current",
    "oversub",
    "phy_id1",
    "sys_interface",
    "prim_offset"};

py::Names<std::size(kLeafParams)>& leaf_params() {
  static py::Names<std::size(kLeafParams)> names{kLeafParams};
  return names;
}
py::Names<std::size(kCagedParams)>& caged_params() {
  static py::Names<std::size(kCagedParams)> names{kCagedParams};
  return names;
}

// The leaves, and TomahawkTwoPort, take the same arguments as each other.
Ref tomahawk_leaf_init(Args a) {
  init_with_own(ID("TomahawkPort"), a, leaf_params());
  return {};
}

Ref tomahawk2_100g_init(Args a) {
  static py::Names<std::size(kTH2Params)> params{kTH2Params};
  static py::TypeMemo<bool> plain;
  const py::Keyword own[] = {{ID("adj_label"), a[2]}, {ID("blocked_adj_split"), a[15]}};
  py::set_attrs(a[0], own, 2, plain, 22);  // room for the fields to come
  init_with_own(ID("TomahawkTwoPort"), a, params);
  return {};
}

Ref maverick_leaf_init(Args a) {
  init_with_own(ID("MaverickPort"), a, leaf_params());
  return {};
}

Ref maverick_100g_init(Args a) {
  init_with_own(ID("MaverickPort"), a, caged_params(), {{ID("phy_layer"), ID("QSFP28")}});
  return {};
}

Ref maverick_40g_init(Args a) {
  init_with_own(ID("MaverickPort"), a, caged_params(), {{ID("phy_layer"), ID("QSFP+")}});
  return {};
}

Ref trident3_leaf_init(Args a) {
  init_with_own(ID("TridentThreePort"), a, leaf_params());
  return {};
}

// The 100G, 25G and 10G ports carry their default mode on the instance.
Ref trident3_100g_init(Args a) {
  py::setattr(a[0], ID("default_mode"), py::str("100G"));
  return trident3_leaf_init(a);
}

Ref trident3_first_mode_init(Args a) {
  py::setattr(a[0], ID("default_mode"), py::item(py::attr(a[0], ID("modes")), Py_ssize_t(0)));
  return trident3_leaf_init(a);
}

void set_serdes_intf(PyObject* self, long speed, const char* intf) {
  Ref map = py::dict();
  py::dict_set(map, py::integer(speed), py::str(intf));
  py::setattr(self, ID("_serdes_intf_map"), map);
}

// A fabric port made through its base's constructor: no LEDs and no PHYs,
// oversubscribed, on unit 0 (and without a cage where `without_cage`); the
// arguments from the fourth on under the names given (nullptr: accepted but
// not used); then its own serdes interface map.
template <size_t N>
void fabric_init(Args a, PyObject* base, bool without_cage, py::Names<N>& names, long speed,
                 const char* intf) {
  Ref unit = py::integer(0);
  py::Keyword kw[8 + N] = {{ID("label"), a[1]},        {ID("serdes"), a[2]},
                           {ID("leds"), Py_None},      {ID("phy_types"), Py_None},
                           {ID("phy_addrs"), Py_None}, {ID("oversub"), Py_True},
                           {ID("unit"), unit}};
  size_t n = 7;
  if (without_cage) kw[n++] = {ID("phy_layer"), Py_None};
  for (size_t i = 0; i < N; ++i)
    if (names[i]) kw[n++] = {names[i], a[3 + i]};
  init_parent(base, a[0], kw, n);
  set_serdes_intf(a[0], speed, intf);
}

// (self, label, serdes, tx_polarity_flip, rx_polarity_flip, tx_lane_map,
//  rx_lane_map, sdk_group)
Ref tomahawk_fabric_init(Args a) {
  static const char* const kNames[] = {"tx_polarity_flip", "rx_polarity_flip", "tx_lane_map",
                                       "rx_lane_map"};
  static py::Names<4> names{kNames};
  fabric_init(a, ID("Tomahawk100GPort"), true, names, 100, "KR4");
  py::setattr(a[0], ID("sdk_group"), a[7]);
  return {};
}

// (self, label, serdes, rx_lane_map, rx_polarity_flip, tx_lane_map,
//  tx_polarity_flip, sdk_group); the cage stays "QSFP+".
Ref maverick_40g_fabric_init(Args a) {
  static const char* const kNames[] = {"rx_lane_map", "rx_polarity_flip", "tx_lane_map",
                                       "tx_polarity_flip"};
  static py::Names<4> names{kNames};
  fabric_init(a, ID("Maverick40GPort"), false, names, 40, "KR4");
  py::setattr(a[0], ID("sdk_group"), a[7]);
  return {};
}

// (self, label, serdes, rx_lane_map, rx_polarity_flip, tx_lane_map,
//  tx_polarity_flip, mdi_pair_map, pre_emphasis, drv_current,
//  pre_drv_current, oversub, phy_id1, sys_interface, prim_offset): the MDI
// map, oversubscription, PHY id, system interface and primary offset are
// accepted but not used by a fabric port.
Ref maverick_10g_fabric_init(Args a) {
  static const char* const kNames[] = {
      "rx_lane_map", "rx_polarity_flip", "tx_lane_map", "tx_polarity_flip",
      nullptr,       "pre_emphasis",     "drv_current", "pre_drv_current"};
  static py::Names<8> names{kNames};
  fabric_init(a, ID("Maverick10GPort"), true, names, 10, "KR");
  return {};
}

// ---- numbering -------------------------------------------------------------

// (self, mode, sub): the serdes number of lane `sub`.
Ref lane_port_num(Args a) { return lane_number_of(a[0], a[2]); }

// "ce" for the 100G modes, otherwise "xe".
Ref ce_xe_prefix(Args a) {
  return text(is_text(a[1], "100G") || is_text(a[1], "100G/4") ? ID("ce") : ID("xe"));
}

// Maverick names its 1G ports "ge".
Ref maverick_prefix(Args a) {
  if (is_text(a[1], "100G") || is_text(a[1], "100G/4")) return text(ID("ce"));
  return text(is_text(a[1], "1G") ? ID("ge") : ID("xe"));
}

Ref maverick_led_port_num(Args a) {
  Ref n = intf_num(a[0], a[1], a[2]);
  return py::add(n, py::compare(n, 36, Py_GE) ? -35 : 1);
}

Ref tomahawk_led_port_num(Args a) {
  Ref n = intf_num(a[0], a[1], a[2]);
  if (is_int(n, 128)) return py::integer(0);
  if (is_int(n, 130)) return py::integer(1);
  if (above(n, 31)) return py::add(n, py::compare(n, 96, Py_LT) ? -32 : -64);
  return n;
}

Ref tomahawk2_led_port_num(Args a) {
  Ref n = intf_num(a[0], a[1], a[2]);
  if (above(n, 191)) return py::add(n, -192);
  if (above(n, 127)) return py::add(n, -128);
  if (above(n, 63)) return py::add(n, -64);
  return n;
}

Ref trident3_led_port_num(Args a) { return py::call_op(a[0], ID("hw_intf_num"), a[1], a[2]); }

// (self, mode, sub, port_base)
Ref maverick_logical_port_num(Args a) { return Ref::steal(PyNumber_Add(a[3], a[2])); }

Ref tomahawk_logical_port_num(Args a) {
  Ref lport = py::add(py::call_op(a[0], ID("hw_port_num"), a[1], a[2]), 1);
  if (is_int(lport, 129)) return py::integer(66);
  if (is_int(lport, 131)) return py::integer(100);
  if (above(lport, 32)) lport = py::add(lport, 1);
  if (above(lport, 65)) lport = py::add(lport, 2);
  if (above(lport, 99)) lport = py::add(lport, 2);
  return lport;
}

// Sub-ports 0 and 1 are numbered from the port's first lane; sub-ports 2
// and 3 of a port split four ways take the numbers of the next port's
// sub-ports 0 and 1.
Ref tomahawk2_logical_port_num(Args a) {
  PyObject *self = a[0], *mode = a[1], *sub = a[2], *port_base = a[3];
  long s;
  if (is_int(sub, 0))
    s = 0;
  else if (is_int(sub, 1))
    s = 1;
  else {
    Ref label = py::plain_attr(self, ID("label"));
    Ref number = py::add(number_in(label, 0), 1);
    Ref next_label = PyInt_CheckExact(number.get()) ? py::percent_plain(ID("%d"), {number})
                                                    : py::to_str(number);
    Ref next = py::call_op(self, ID("find_port"), next_label);
    if (next.get() == Py_None)
      py::raisef(PyExc_RuntimeError, "no port with label %s for sub-port %s of port %s",
                 py::as_string(next_label).c_str(), py::as_string(py::to_str(sub)).c_str(),
                 py::as_string(py::to_str(label)).c_str());
    Ref next_sub = Ref::steal(PyNumber_Subtract(sub, py::integer(2)));
    return py::call_op(next, ID("logical_port_num"), mode, next_sub, port_base);
  }
  Ref h = py::call_op(self, ID("hw_port_num"), mode, py::integer(0));
  Ref lport = py::add(py::add(py::floor_div(h, 2), 1), s);
  if (above(lport, 96)) return py::add(lport, 5);
  if (above(lport, 64)) return py::add(lport, 3);
  if (above(lport, 32)) return py::add(lport, 1);
  return lport;
}

// The running platform's non-fabric port with this label, or None.
Ref tomahawk2_find_port(Args a) {
  PyObject* label = a[1];
  Ref platforms = py::attr(global(ID("quorvel")), ID("platforms"));
  Ref platform = py::callm(platforms, ID("probe"));
  Ref ports = py::attr(py::attr(platform, ID("switch")), ID("ports"));
  // Two plain texts are compared here (1: the same, 0: not); anything else
  // (-1) as the interpreter compares.
  static py::AttrReader labels(ID("label"));
  const bool text = PyString_CheckExact(label);
  auto plainly_same = [&](PyObject* port) {
    PyObject* own = labels.find(port);
    if (!own || !text || !PyString_CheckExact(own)) return -1;
    return int(py::same_text(own, label));
  };
  // The non-fabric port whose label equals.
  auto found = [&](PyObject* port, int same) {
    return (same > 0 || py::equal(py::plain_attr(port, ID("label")), label)) &&
           !py::truth(py::plain_attr(port, ID("is_fabric")));
  };
  if (PyList_CheckExact(ports.get())) {
    // By index, as the list's iterator goes: a list changed meanwhile (by a
    // comparison, or a signal's handler at a turn) is read on from the same
    // place.
    for (Py_ssize_t i = 0; py::tick(), i < PyList_GET_SIZE(ports.get()); ++i) {
      PyObject* port = PyList_GET_ITEM(ports.get(), i);
      int same = plainly_same(port);
      if (!same) continue;
      Ref held = Ref::borrow(port);  // held while the interpreter runs
      if (found(held, same)) return held;
    }
    return {};
  }
  Ref it = py::iter(ports);
  while (Ref port = py::next(it)) {
    int same = plainly_same(port);
    if (same && found(port, same)) return port;
  }
  return {};
}

Ref trident3_logical_port_num(Args a) {
  Ref n = py::add(intf_num(a[0], a[1], a[2]), 1);
  return above(n, 64) ? py::add(n, 2) : n;
}

Ref trident3_serial_logical_port_num(Args a) { return py::add(intf_num(a[0], a[1], a[2]), 1); }

// ---- port counts -----------------------------------------------------------

// The count of a mode that passed the check: "<n>x<speed>" makes n
// logical ports, every other mode one.
Ref breakout_count(PyObject* mode) {
  if (PyString_CheckExact(mode) && PyString_GET_SIZE(mode) >= 2) {
    // A text whose first character is a digit: its count, read here.
    const char* m = PyString_AS_STRING(mode);
    if (m[1] != 'x') return py::integer(1);
    if (m[0] >= '0' && m[0] <= '9') return py::integer(m[0] - '0');
  }
  if (!is_text(py::item(mode, 1), "x")) return py::integer(1);
  return Ref::steal(PyNumber_Int(py::item(mode, Py_ssize_t(0))));
}

// (self, mode)
Ref breakout_logical_ports(Args a) {
  check_mode(a[0], a[1]);
  return breakout_count(a[1]);
}

// A port paired with an adjacent port splits two ways at most.
Ref tomahawk2_max_logical_ports(Args a) {
  return py::integer(py::attr(a[0], ID("adj_label")).get() == Py_None ? 4 : 2);
}

Ref tomahawk2_blocked_adj_split_num(Args a) {
  Ref v = py::attr(a[0], ID("blocked_adj_split"));
  return v.get() == Py_None ? py::integer(0) : v;
}

// ---- polarity --------------------------------------------------------------

// (self, mode, sub, polarity_flip_list): from the port's lane mask, one bit
// per logical port split four ways, two bits per logical port split two
// ways, the whole mask for the port whole.
Ref breakout_polarity(Args a) {
  PyObject *self = a[0], *mode = a[1], *sub = a[2], *mask = a[3];
  // Where the class's own check plainly passes the mode, the port's own
  // count would pass it again the same way: it is taken directly.
  const bool plain = mode_plainly_listed(self, mode);
  if (!plain) py::call_classop(self, ID("_check_mode"), mode);
  Ref count = plain && py::own_op(self, ID("num_logical_ports"), breakout_logical_ports)
                  ? breakout_count(mode)
                  : py::call_op(self, ID("num_logical_ports"), mode);
  if (is_int(count, 4)) return mask_bit(mask, sub);
  if (is_int(count, 2)) {
    Ref shift = Ref::steal(PyNumber_Multiply(sub, py::integer(2)));
    Ref lanes = Ref::steal(PyNumber_Rshift(mask, shift));
    return Ref::steal(PyNumber_And(lanes, py::integer(3)));
  }
  return Ref::borrow(mask);
}

const char kTH2InitDoc[] =
    "\n"
    "        Addition port attributes:\n"
    "\n"
    "        adj_label is front panel port label of the adjacent port (because we\n"
    "            don't want to automatically assume the adjacent label is label+1),\n"
    "        blocked_adj_split Port is blocked when its adjacent port is split into\n"
    "            this number of ports (or more)\n"
    "        ";

}  // namespace

const py::ImplTable tomahawk_impls = {
    // Family bases.
    {"MaverickPort.__init__", maverick_init},
    {"MaverickPort.led_port_num", maverick_led_port_num},
    {"MaverickPort.hw_port_num", lane_port_num},
    {"MaverickPort.hw_intf_prefix", maverick_prefix},
    {"MaverickPort.logical_port_num", maverick_logical_port_num},
    {"TomahawkPort.__init__", tomahawk_init},
    {"TomahawkPort.led_port_num", tomahawk_led_port_num},
    {"TomahawkPort.hw_port_num", lane_port_num},
    {"TomahawkPort.hw_intf_prefix", ce_xe_prefix},
    {"TomahawkPort.logical_port_num", tomahawk_logical_port_num},
    {"TomahawkTwoPort.__init__", tomahawk_leaf_init},
    {"TomahawkTwoPort.led_port_num", tomahawk2_led_port_num},
    {"TomahawkTwoPort.find_port", tomahawk2_find_port,
     "\n        Find a platform port based upon the port's label.\n        "},
    {"TomahawkTwoPort.logical_port_num", tomahawk2_logical_port_num},
    {"TridentThreePort.__init__", trident3_init},
    {"TridentThreePort.led_port_num", trident3_led_port_num},
    {"TridentThreePort.hw_port_num", lane_port_num},
    {"TridentThreePort.hw_intf_prefix", ce_xe_prefix},
    {"TridentThreePort.logical_port_num", trident3_logical_port_num},

    // TridentThree.
    {"TridentThree100GPort.__init__", trident3_100g_init},
    {"TridentThree100GPort.num_logical_ports", breakout_logical_ports},
    {"TridentThree100GPort.max_logical_ports", integer_4},
    {"TridentThree100GPort.polarity_flip_val", breakout_polarity},
    {"TridentThree25GPort.__init__", trident3_first_mode_init},
    {"TridentThree25GPort.num_logical_ports", counted<kGang25GLogical>},
    {"TridentThree25GPort.max_logical_ports", integer_1},
    {"TridentThree25GPort.num_physical_ports", counted<kGang25GPhysical>},
    {"TridentThree25GPort.polarity_flip_val", one_lane_polarity},
    {"TridentThree10GPort.__init__", trident3_first_mode_init},
    {"TridentThree10GPort.num_logical_ports", counted<kSinglePort>},
    {"TridentThree10GPort.max_logical_ports", integer_1},
    {"TridentThree10GPort.num_physical_ports", counted<kSinglePort>},
    {"TridentThree10GPort.polarity_flip_val", one_lane_polarity},
    {"TridentThree10GPort.an_c37", an_on_10g},
    {"TridentThree10GPort.an_c73", an_off_10g},
    {"TridentThree10GPort.logical_port_num", trident3_serial_logical_port_num},
    {"TridentThree10GPort.set_fiber_pref", sfp_fiber_pref},
    {"TridentThreeMGPort.__init__", trident3_leaf_init},
    {"TridentThreeMGPort.num_logical_ports", counted<kMultiGig>},
    {"TridentThreeMGPort.max_logical_ports", integer_1},
    {"TridentThreeMGPort.num_physical_ports", counted<kMultiGig>},
    {"TridentThreeMGPort.polarity_flip_val", one_lane_polarity},
    {"TridentThreeMGPort.an_c37", an_on_10g},
    {"TridentThreeMGPort.an_c73", an_off_10g},
    {"TridentThreeMGPort.logical_port_num", trident3_serial_logical_port_num},
    {"TridentThreeMGPort.set_fiber_pref", sfp_fiber_pref},

    // Tomahawk and TomahawkTwo.
    {"Tomahawk100GPort.__init__", tomahawk_leaf_init},
    {"Tomahawk100GPort.num_logical_ports", breakout_logical_ports},
    {"Tomahawk100GPort.max_logical_ports", integer_4},
    {"Tomahawk100GPort.polarity_flip_val", breakout_polarity},
    {"Tomahawk100GFabricPort.__init__", tomahawk_fabric_init},
    {"Tomahawk100GFabricPort.max_logical_ports", integer_1},
    {"Tomahawk25GPort.__init__", tomahawk_leaf_init},
    {"Tomahawk25GPort.num_logical_ports", counted<kTomahawk25GLogical>},
    {"Tomahawk25GPort.max_logical_ports", integer_1},
    {"Tomahawk25GPort.num_physical_ports", counted<kTomahawk25GPhysical>},
    {"Tomahawk25GPort.polarity_flip_val", one_lane_polarity},
    {"TomahawkMgmt10GPort.__init__", tomahawk_leaf_init},
    {"TomahawkMgmt10GPort.num_logical_ports", counted<kSinglePort>},
    {"TomahawkMgmt10GPort.max_logical_ports", integer_1},
    {"TomahawkTwo100GPort.__init__", tomahawk2_100g_init, kTH2InitDoc},
    {"TomahawkTwo100GPort.blocked_adj_split_num", tomahawk2_blocked_adj_split_num},
    {"TomahawkTwo100GPort.num_logical_ports", breakout_logical_ports},
    {"TomahawkTwo100GPort.max_logical_ports", tomahawk2_max_logical_ports},
    {"TomahawkTwo100GPort.polarity_flip_val", breakout_polarity},

    // Maverick.
    {"Maverick100GPort.__init__", maverick_100g_init},
    {"Maverick100GPort.num_logical_ports", breakout_logical_ports},
    {"Maverick100GPort.max_logical_ports", integer_4},
    {"Maverick100GPort.polarity_flip_val", breakout_polarity},
    {"Maverick40GPort.__init__", maverick_40g_init},
    {"Maverick40GPort.num_logical_ports", counted<kBreakout40G1G>},
    {"Maverick40GPort.max_logical_ports", integer_4},
    {"Maverick40GPort.polarity_flip_val", polarity_by_mode<kMaskPolarity1G>},
    {"Maverick40GFabricPort.__init__", maverick_40g_fabric_init},
    {"Maverick40GFabricPort.max_logical_ports", integer_1},
    {"Maverick10GPort.__init__", maverick_leaf_init},
    {"Maverick10GPort.num_logical_ports", counted<kGang10G1GLogical>},
    {"Maverick10GPort.max_logical_ports", integer_1},
    {"Maverick10GPort.num_physical_ports", counted<kMaverick10GPhysical>},
    {"Maverick10GPort.polarity_flip_val", one_lane_polarity},
    {"Maverick10GPort.an_c37", an_on_10g_4x},
    {"Maverick10GPort.an_c73", an_off_10g_4x},
    {"Maverick10GPort.set_fiber_pref", sfp_fiber_pref},
    {"Maverick10GFabricPort.__init__", maverick_10g_fabric_init},
    {"Maverick10GFabricPort.an_c37", an_off},
    {"Maverick10GFabricPort.an_c73", an_auto},
    {"Maverick10GFabricPort.set_fiber_pref", no_answer},
};

}  // namespace skorrel
