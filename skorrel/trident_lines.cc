// The port classes of the Trident, TridentTwo and TridentTwoPlus lines
// ("hg" interfaces built from serdes lanes, 10G ports ganging four into 40G,
// 40G ports breaking out into four) and of the 1G/10G chips Triumph, Apollo,
// Helix4 and Hurricane2 (interface names given whole, numbered by table or by
// interface prefix).
#include "lines.h"

#include <utility>

namespace skorrel {
namespace {

using py::Args;
using py::Ref;
constexpr py::Bind M = py::Bind::method, P = py::Bind::property;

// ---- helpers -------------------------------------------------------------

// The BCMPort constructor run with the operation's own arguments under the
// names `params` gives them, then `more`, then the SDK tuning values that
// the lines without them hand the base: None, and oversub False.
template <size_t N>
void untuned_init(Args a, py::Names<N>& params, std::initializer_list<py::Keyword> more) {
  py::Keyword kw[12];
  size_t n = 0;
  for (const py::Keyword& k : more) kw[n++] = k;
  for (PyObject* name : {ID("pre_emphasis"), ID("drv_current"), ID("pre_drv_current"),
                         ID("phy_id1"), ID("sys_interface")})
    kw[n++] = {name, Py_None};
  kw[n++] = {ID("oversub"), Py_False};
  init_with_own(ID("BCMPort"), a, params, kw, n);
}

// "hg%u" of every serdes lane, in order; the whole tuple is made before
// anything is stored.
Ref hg_names(PyObject* serdes) {
  Ref names = py::list();
  Ref it = py::iter(serdes);
  while (Ref lane = py::next(it))
    py::append(names, Ref::steal(PyString_Format(ID("hg%u"), py::tuple({lane.get()}))));
  return Ref::steal(PyList_AsTuple(names));
}

Ref one(PyObject* v) { return py::tuple({v}); }

// The interface number and prefix of lane `sub`, the number asked first.
std::pair<Ref, Ref> intf(Args a) {
  Ref n = py::call_op(a[0], ID("hw_intf_num"), a[1], a[2]);
  Ref prefix = py::call_op(a[0], ID("hw_intf_prefix"), a[1], a[2]);
  return {n, prefix};
}

// 1 shifted left by the port's own hardware port number, at full width.
Ref pbmp_by_port_num(Args a) {
  Ref n = py::call_op(a[0], ID("hw_port_num"), a[1], a[2]);
  return Ref::steal(PyNumber_Lshift(py::integer(1), n));
}

// ---- Trident family --------------------------------------------------------

Ref trident_init(Args a) {
  static py::Names<std::size(kListCParams)> params{kListCParams};
  Ref hw_ports = hg_names(a[2]);
  untuned_init(a, params, {{ID("hw_ports"), hw_ports}});
  return {};
}

Ref trident10g_init(Args a) {
  init_parent(ID("TridentPort"), a[0],
              {{ID("label"), a[1]},
               {ID("serdes"), one(a[2])},
               {ID("phy_types"), one(a[3])},
               {ID("phy_addrs"), one(a[4])},
               {ID("phy_layer"), a[5]},
               {ID("prim_offset"), Py_None},
               {ID("leds"), a[6]},
               {ID("unit"), a[7]},
               {ID("rx_polarity_flip"), a[9]},
               {ID("tx_polarity_flip"), a[11]},
               {ID("rx_lane_map"), a[8]},
               {ID("tx_lane_map"), a[10]},
               {ID("mdi_pair_map"), a[12]}});
  return {};
}

Ref trident40g_init(Args a) {
  init_parent(ID("TridentPort"), a[0],
              {{ID("label"), a[1]},
               {ID("serdes"), a[2]},
               {ID("phy_types"), a[3]},
               {ID("phy_addrs"), a[4]},
               {ID("phy_layer"), ID("QSFP+")},
               {ID("prim_offset"), a[12]},
               {ID("leds"), a[5]},
               {ID("unit"), a[6]},
               {ID("rx_polarity_flip"), a[8]},
               {ID("tx_polarity_flip"), a[10]},
               {ID("rx_lane_map"), a[7]},
               {ID("tx_lane_map"), a[9]},
               {ID("mdi_pair_map"), a[11]}});
  return {};
}

// ---- TridentTwo family -----------------------------------------------------

Ref tridenttwo_init(Args a) {
  static py::Names<std::size(kListAParams)> params{kListAParams};
  Ref hw_ports = hg_names(a[2]);
  init_with_own(ID("BCMPort"), a, params, {{ID("hw_ports"), hw_ports}});
  return {};
}

Ref tridenttwo_led_port_num(Args) { py::raise(PyExc_RuntimeError, "Trident 2 LED port unknown"); }

Ref tridenttwoplus_logical_port_num(Args a) { return Ref::steal(PyNumber_Add(a[3], a[2])); }

// The TridentTwo and TridentTwoPlus leaves share one argument list (the
// TridentTwoPlus 40G port without phy_layer) and hand every value on by name.
Ref tridenttwo_leaf_init(Args a, PyObject* base, PyObject* phy_layer, int shift) {
  // `shift` is 1 where the list has no phy_layer: later values sit one
  // place earlier.
  auto at = [&](int i) { return a[i - shift]; };
  init_parent(
      base, a[0],
      {{ID("label"), a[1]},
       {ID("serdes"), a[2]},
       {ID("phy_types"), a[3]},
       {ID("phy_addrs"), a[4]},
       {ID("phy_layer"), phy_layer},
       {ID("prim_offset"), at(19)},
       {ID("leds"), at(6)},
       {ID("unit"), at(7)},
       {ID("rx_polarity_flip"), at(9)},
       {ID("tx_polarity_flip"), at(11)},
       {ID("rx_lane_map"), at(8)},
       {ID("tx_lane_map"), at(10)},
       {ID("mdi_pair_map"), at(12)},
       {ID("pre_emphasis"), at(13)},
       {ID("drv_current"), at(14)},
       {ID("pre_drv_current"), at(15)},
       {ID("oversub"), at(16)},
       {ID("phy_id1"), at(17)},
       {ID("sys_interface"), at(18)}});
  return {};
}

// TridentTwo10GPort and TridentTwo40GPort.
Ref tridenttwo_speed_init(Args a) {
  return tridenttwo_leaf_init(a, ID("TridentTwoPort"), a[5], 0);
}
Ref tridenttwoplus10g_init(Args a) {
  return tridenttwo_leaf_init(a, ID("TridentTwoPlusPort"), a[5], 0);
}
Ref tridenttwoplus40g_init(Args a) {
  return tridenttwo_leaf_init(a, ID("TridentTwoPlusPort"), ID("QSFP+"), 1);
}

// Microserver ports: fabric ports over KR, without PHY or LEDs.
Ref tridenttwo10g_fabric_init(Args a) {
  init_parent(
      ID("TridentTwo10GPort"), a[0],
      {{ID("label"), a[1]},
       {ID("serdes"), a[2]},
       {ID("leds"), Py_None},
       {ID("phy_types"), Py_None},
       {ID("phy_addrs"), Py_None},
       {ID("phy_layer"), Py_None},
       {ID("tx_lane_map"), a[3]},
       {ID("rx_lane_map"), a[4]},
       {ID("tx_polarity_flip"), a[5]},
       {ID("rx_polarity_flip"), a[6]},
       {ID("pre_emphasis"), a[7]},
       {ID("drv_current"), a[8]},
       {ID("pre_drv_current"), a[9]},
       {ID("oversub"), Py_True},
       {ID("unit"), py::integer(0)}});
  Ref serdes_intf = py::dict();
  py::dict_set(serdes_intf, py::integer(10), ID("KR"));
  py::setattr(a[0], ID("_serdes_intf_map"), serdes_intf);
  return {};
}

// ---- families that take their interface names whole ---------------------

// TriumphPort, Helix4Port, Hurricane2Port.
Ref named_family_init(Args a) {
  static py::Names<std::size(kListDParams)> params{kListDParams};
  untuned_init(a, params, {});
  return {};
}

Ref apollo_init(Args a) {
  static py::Names<std::size(kListEParams)> params{kListEParams};
  untuned_init(a, params,
               {{ID("rx_polarity_flip"), Py_None},
                {ID("tx_polarity_flip"), Py_None},
                {ID("rx_lane_map"), Py_None},
                {ID("tx_lane_map"), Py_None},
                {ID("mdi_pair_map"), Py_None}});
  return {};
}

// 1G leaves: label, hw_port, phy_type, phy_addr, [phy_layer,] leds, unit,
// prim_offset; the PHY layer is always copper.
Ref leaf1g_init(Args a, PyObject* base, int shift) {
  init_parent(base, a[0],
              {{ID("label"), a[1]},
               {ID("hw_ports"), one(a[2])},
               {ID("phy_types"), one(a[3])},
               {ID("phy_addrs"), one(a[4])},
               {ID("phy_layer"), ID("1GBaseT")},
               {ID("prim_offset"), a[8 - shift]},
               {ID("leds"), a[6 - shift]},
               {ID("unit"), a[7 - shift]}});
  return {};
}

Ref apollo1g_init(Args a) { return leaf1g_init(a, ID("ApolloPort"), 1); }
Ref triumph1g_init(Args a) { return leaf1g_init(a, ID("TriumphPort"), 0); }
Ref helix41g_init(Args a) { return leaf1g_init(a, ID("Helix4Port"), 0); }
Ref hurricane21g_init(Args a) { return leaf1g_init(a, ID("Hurricane2Port"), 0); }

Ref apollo10g_init(Args a) {
  init_parent(ID("ApolloPort"), a[0],
              {{ID("label"), a[1]},
               {ID("hw_ports"), one(a[2])},
               {ID("phy_types"), one(a[3])},
               {ID("phy_addrs"), one(a[4])},
               {ID("phy_layer"), a[5]},
               {ID("prim_offset"), Py_None},
               {ID("leds"), a[6]},
               {ID("unit"), a[7]}});
  return {};
}

// 10G and 13G leaves with serdes tuning; the values sit at the given places.
struct TunedPlaces {
  int hw_port, unit, phy_type, phy_addr, phy_layer, leds, rx_lane_map;
};
Ref tuned_leaf_init(Args a, PyObject* base, const TunedPlaces& p) {
  int t = p.rx_lane_map;  // then rx_polarity_flip, tx_lane_map, tx_polarity_flip, mdi_pair_map
  init_parent(base, a[0],
              {{ID("label"), a[1]},
               {ID("hw_ports"), one(a[p.hw_port])},
               {ID("phy_types"), one(a[p.phy_type])},
               {ID("phy_addrs"), one(a[p.phy_addr])},
               {ID("phy_layer"), a[p.phy_layer]},
               {ID("prim_offset"), Py_None},
               {ID("leds"), a[p.leds]},
               {ID("unit"), a[p.unit]},
               {ID("rx_lane_map"), a[t]},
               {ID("rx_polarity_flip"), a[t + 1]},
               {ID("tx_lane_map"), a[t + 2]},
               {ID("tx_polarity_flip"), a[t + 3]},
               {ID("mdi_pair_map"), a[t + 4]}});
  return {};
}

constexpr TunedPlaces k10GPlaces{2, 7, 3, 4, 5, 6, 8};
constexpr TunedPlaces k13GPlaces{2, 3, 4, 5, 6, 7, 8};

Ref triumph10g_init(Args a) { return tuned_leaf_init(a, ID("TriumphPort"), k10GPlaces); }
Ref helix410g_init(Args a) { return tuned_leaf_init(a, ID("Helix4Port"), k10GPlaces); }
Ref hurricane210g_init(Args a) { return tuned_leaf_init(a, ID("Hurricane2Port"), k10GPlaces); }
Ref hurricane213g_init(Args a) { return tuned_leaf_init(a, ID("Hurricane2Port"), k13GPlaces); }

Ref hurricane213g_fabric_init(Args a) {
  init_parent(ID("Hurricane213GPort"), a[0],
              {{ID("label"), a[1]}, {ID("hw_port"), a[2]}, {ID("unit"), a[3]}});
  return {};
}

// A port number from the interface prefix and number n of lane `sub` (the
// number asked first): n * times + plus, and `past_plus` more when n is
// above `past`.  A prefix of no row is refused.
struct ByPrefix {
  const char* prefix;
  long times, plus;
  long past = 0, past_plus = 0;
};
using PrefixTable = ByPrefix[4];

template <const PrefixTable& T>
Ref number_by_prefix(Args a) {
  auto [n, prefix] = intf(a);
  for (const ByPrefix& row : T) {
    if (!row.prefix) break;
    if (!is_text(prefix, row.prefix)) continue;
    Ref scaled = row.times == 1 ? n : Ref::steal(PyNumber_Multiply(n, py::integer(row.times)));
    long plus = row.plus;
    if (row.past_plus && py::compare(n, row.past, Py_GT)) plus += row.past_plus;
    return Ref::steal(PyNumber_Add(scaled, py::integer(plus)));
  }
  py::raise(PyExc_RuntimeError, "bad interface prefix");
}

// Apollo: ge0..ge35 take ports 1..36, the higher ge ports skip 37; hg from 50.
constexpr PrefixTable kApolloPorts = {{"ge", 1, 1, 35, 1}, {"hg", 1, 50}};
constexpr PrefixTable kApolloLeds = {{"ge", 1, 1}, {"hg", 1, 73}};
constexpr PrefixTable kHelix4Leds = {{"ge", 1, 1}, {"hg", 1, 49}};
constexpr PrefixTable kHurricane2Ports = {{"ge", 1, 2}, {"xe", 1, 26}, {"hg", 1, 28}};
// The LED chain has the ge ports, then two LEDs per xe port; none for hg.
constexpr PrefixTable kHurricane2Leds = {{"ge", 1, 2}, {"xe", 2, 26}};

// ---- class statements ------------------------------------------------------

void attrs_1g(py::ClassBody& c) {
  c.set("modes", modes_tuple({"1G"}));
  c.set("default_mode", mode_text("1G"));
}

void attrs_10g(py::ClassBody& c) {
  c.set("modes", modes_tuple({"10G"}));
  c.set("default_mode", mode_text("10G"));
  c.set("_speed_map", speed_map({{"10G", 10}}));
}

void attrs_10g_no_xlate(py::ClassBody& c) {
  attrs_10g(c);
  c.set("disable_prefix_xlate", Py_True);
}

void attrs_13g(py::ClassBody& c) {
  c.set("modes", modes_tuple({"13G"}));
  c.set("default_mode", mode_text("13G"));
  c.set("_speed_map", speed_map({{"13G", 13}}));
  c.set("disable_prefix_xlate", Py_True);
}

void attrs_fabric_only(py::ClassBody& c) { c.set("is_fabric", Py_True); }


const char kInit1G[] =
    "self, label, hw_port, phy_type, phy_addr, phy_layer, leds, unit, prim_offset=None";
const char kInit10G[] =
    "self, label, hw_port, phy_type, phy_addr, phy_layer, leds, unit, rx_lane_map=None, "
    "rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, mdi_pair_map=None";

std::vector<OpSpec> ops_1g() {
  return {{"__init__", M, kInit1G},
          {"speed", M, kModeSig},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"}};
}

std::vector<OpSpec> ops_10g() {
  return {{"__init__", M, kInit10G},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"},
          {"polarity_flip_val", M, kFlipSig}};
}

std::vector<OpSpec> ops_ganged(const char* init) {
  return {{"__init__", M, init},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"},
          {"num_physical_ports", M, kModeSig},
          {"polarity_flip_val", M, kFlipSig}};
}

std::vector<OpSpec> ops_40g(const char* init) {
  return {{"__init__", M, init},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"},
          {"polarity_flip_val", M, kFlipListSig}};
}

}  // namespace

const py::ClassTable trident_classes = {
    py::Qualname::bound,
    {
        {"Apollo1GPort",
         "ApolloPort",
         nullptr,
         attrs_1g,
         {{"__init__", M,
           "self, label, hw_port, phy_type, phy_addr, leds, unit, prim_offset=None"},
          {"speed", M, kModeSig},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"}}},
        {"Triumph1GPort", "TriumphPort", nullptr, attrs_1g, ops_1g()},
        {"Helix41GPort", "Helix4Port", nullptr, attrs_1g, ops_1g()},
        {"Hurricane21GPort", "Hurricane2Port", nullptr, attrs_1g, ops_1g()},
        {"Apollo10GPort",
         "ApolloPort",
         nullptr,
         attrs_10g,
         {{"__init__", M, "self, label, hw_port, phy_type, phy_addr, phy_layer, leds, unit"},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"}}},
        {"Triumph10GPort", "TriumphPort", nullptr, attrs_10g, ops_10g()},
        {"Helix410GPort", "Helix4Port", nullptr, attrs_10g, ops_10g()},
        {"Hurricane210GPort", "Hurricane2Port", nullptr, attrs_10g_no_xlate, ops_10g()},
        {"Hurricane213GPort",
         "Hurricane2Port",
         nullptr,
         attrs_13g,
         {{"__init__", M,
           "self, label, hw_port, unit, phy_type=None, phy_addr=None, phy_layer=None, leds=None, "
           "rx_lane_map=None, rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, "
           "mdi_pair_map=None"},
          {"num_logical_ports", M, kModeSig},
          {"max_logical_ports", P, "self"}}},
        {"Hurricane213GFabricPort",
         "Hurricane213GPort",
         nullptr,
         attrs_fabric_only,
         {{"__init__", M, "self, label, hw_port, unit"}}},
        {"Trident10GPort", "TridentPort", nullptr, attrs_ganged_10g,
         ops_ganged("self, label, serdes, phy_type, phy_addr, phy_layer, leds, unit, "
                    "rx_lane_map=None, rx_polarity_flip=None, tx_lane_map=None, "
                    "tx_polarity_flip=None, mdi_pair_map=None")},
        {"TridentTwo10GPort", "TridentTwoPort", nullptr, attrs_ganged_10g,
         ops_ganged(kSerdesInitSig)},
        {"TridentTwo10GFabricPort",
         "TridentTwo10GPort",
         "\n        Treat the microserver ports as fabric ports using KR.\n        ",
         attrs_fabric,
         {{"__init__", M,
           "self, label, serdes, tx_lane_map, rx_lane_map, tx_polarity_flip=None, "
           "rx_polarity_flip=None, pre_emphasis=None, drv_current=None, pre_drv_current=None"},
          {"an_c37", M, kModeSig},
          {"an_c73", M, kModeSig}}},
        {"TridentTwoPlus10GPort", "TridentTwoPlusPort", nullptr, attrs_ganged_10g_1g,
         ops_ganged(kSerdesInitSig)},
        {"Trident40GPort", "TridentPort", nullptr, attrs_breakout_40g,
         ops_40g("self, label, serdes, phy_types, phy_addrs, leds, unit, rx_lane_map=None, "
                 "rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, "
                 "mdi_pair_map=None, prim_offset=None")},
        {"TridentTwo40GPort", "TridentTwoPort", nullptr, attrs_breakout_40g,
         ops_40g(kSerdesInitSig)},
        {"TridentTwoPlus40GPort", "TridentTwoPlusPort", nullptr, attrs_breakout_40g_1g,
         ops_40g("self, label, serdes, phy_types, phy_addrs, leds, unit, rx_lane_map=None, "
                 "rx_polarity_flip=None, tx_lane_map=None, tx_polarity_flip=None, "
                 "mdi_pair_map=None, pre_emphasis=None, drv_current=None, pre_drv_current=None, "
                 "oversub=False, phy_id1=None, sys_interface=None, prim_offset=None")},
    }};

const py::ImplTable trident_impls = {
    // Families.
    {"TridentTwoPort.led_port_num", tridenttwo_led_port_num},
    {"TridentTwoPort.__init__", tridenttwo_init},
    {"TridentTwoPort.an_c37", an_auto_10g_4x},
    {"TridentTwoPort.an_c73", an_off_10g_4x},
    {"TridentTwoPlusPort.an_c37", an_on_10g_4x},
    {"TridentTwoPlusPort.logical_port_num", tridenttwoplus_logical_port_num},
    {"TridentTwoPlusPort.set_fiber_pref", sfp_fiber_pref},
    {"TridentPort.__init__", trident_init},
    {"TriumphPort.__init__", named_family_init},
    {"ApolloPort.hw_port_num", number_by_prefix<kApolloPorts>},
    {"ApolloPort.hw_pbmp", pbmp_by_port_num},
    {"ApolloPort.led_port_num", number_by_prefix<kApolloLeds>},
    {"ApolloPort.__init__", apollo_init},
    {"Helix4Port.led_port_num", number_by_prefix<kHelix4Leds>},
    {"Helix4Port.__init__", named_family_init},
    {"Hurricane2Port.hw_port_num", number_by_prefix<kHurricane2Ports>},
    {"Hurricane2Port.led_port_num", number_by_prefix<kHurricane2Leds>},
    {"Hurricane2Port.hw_pbmp", pbmp_by_port_num},
    {"Hurricane2Port.__init__", named_family_init},
    // 1G leaves.
    {"Apollo1GPort.__init__", apollo1g_init},
    {"Apollo1GPort.speed", integer_1},
    {"Apollo1GPort.num_logical_ports", integer_1},
    {"Apollo1GPort.max_logical_ports", integer_1},
    {"Triumph1GPort.__init__", triumph1g_init},
    {"Triumph1GPort.speed", integer_1},
    {"Triumph1GPort.num_logical_ports", integer_1},
    {"Triumph1GPort.max_logical_ports", integer_1},
    {"Helix41GPort.__init__", helix41g_init},
    {"Helix41GPort.speed", integer_1},
    {"Helix41GPort.num_logical_ports", integer_1},
    {"Helix41GPort.max_logical_ports", integer_1},
    {"Hurricane21GPort.__init__", hurricane21g_init},
    {"Hurricane21GPort.speed", integer_1},
    {"Hurricane21GPort.num_logical_ports", integer_1},
    {"Hurricane21GPort.max_logical_ports", integer_1},
    // 10G and 13G leaves of the 1G/10G chips.
    {"Apollo10GPort.__init__", apollo10g_init},
    {"Apollo10GPort.num_logical_ports", integer_1},
    {"Apollo10GPort.max_logical_ports", integer_1},
    {"Triumph10GPort.__init__", triumph10g_init},
    {"Triumph10GPort.num_logical_ports", integer_1},
    {"Triumph10GPort.max_logical_ports", integer_1},
    {"Triumph10GPort.polarity_flip_val", one_lane_polarity},
    {"Helix410GPort.__init__", helix410g_init},
    {"Helix410GPort.num_logical_ports", integer_1},
    {"Helix410GPort.max_logical_ports", integer_1},
    {"Helix410GPort.polarity_flip_val", one_lane_polarity},
    {"Hurricane210GPort.__init__", hurricane210g_init},
    {"Hurricane210GPort.num_logical_ports", integer_1},
    {"Hurricane210GPort.max_logical_ports", integer_1},
    {"Hurricane210GPort.polarity_flip_val", one_lane_polarity},
    {"Hurricane213GPort.__init__", hurricane213g_init},
    {"Hurricane213GPort.num_logical_ports", integer_1},
    {"Hurricane213GPort.max_logical_ports", integer_1},
    {"Hurricane213GFabricPort.__init__", hurricane213g_fabric_init},
    // Ganged 10G leaves.
    {"Trident10GPort.__init__", trident10g_init},
    {"Trident10GPort.num_logical_ports", counted<kGang10GLogical>},
    {"Trident10GPort.max_logical_ports", integer_1},
    {"Trident10GPort.num_physical_ports", counted<kGang10GPhysical>},
    {"Trident10GPort.polarity_flip_val", one_lane_polarity},
    {"TridentTwo10GPort.__init__", tridenttwo_speed_init},
    {"TridentTwo10GPort.num_logical_ports", counted<kGang10GLogical>},
    {"TridentTwo10GPort.max_logical_ports", integer_1},
    {"TridentTwo10GPort.num_physical_ports", counted<kGang10GPhysical>},
    {"TridentTwo10GPort.polarity_flip_val", one_lane_polarity},
    {"TridentTwo10GFabricPort.__init__", tridenttwo10g_fabric_init},
    {"TridentTwo10GFabricPort.an_c37", an_off},
    {"TridentTwo10GFabricPort.an_c73", an_off},
    {"TridentTwoPlus10GPort.__init__", tridenttwoplus10g_init},
    {"TridentTwoPlus10GPort.num_logical_ports", counted<kGang10G1GLogical>},
    {"TridentTwoPlus10GPort.max_logical_ports", integer_1},
    {"TridentTwoPlus10GPort.num_physical_ports", counted<kGang10G1GPhysical>},
    {"TridentTwoPlus10GPort.polarity_flip_val", one_lane_polarity},
    // 40G leaves.
    {"Trident40GPort.__init__", trident40g_init},
    {"Trident40GPort.num_logical_ports", counted<kBreakout40G>},
    {"Trident40GPort.max_logical_ports", integer_4},
    {"Trident40GPort.polarity_flip_val", polarity_by_mode<kFlagPolarity>},
    {"TridentTwo40GPort.__init__", tridenttwo_speed_init},
    {"TridentTwo40GPort.num_logical_ports", counted<kBreakout40G>},
    {"TridentTwo40GPort.max_logical_ports", integer_4},
    {"TridentTwo40GPort.polarity_flip_val", polarity_by_mode<kMaskPolarity>},
    {"TridentTwoPlus40GPort.__init__", tridenttwoplus40g_init},
    {"TridentTwoPlus40GPort.num_logical_ports", counted<kBreakout40G1G>},
    {"TridentTwoPlus40GPort.max_logical_ports", integer_4},
    {"TridentTwoPlus40GPort.polarity_flip_val", polarity_by_mode<kMaskPolarity1G>},
};

}  // namespace skorrel
