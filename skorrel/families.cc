// The port family classes: one port base per chip line, with the line's
// port-bitmap map and the operations in which the line departs from SDKPort.
#include "lines.h"

#include <algorithm>

namespace skorrel {
namespace {

constexpr py::Bind M = py::Bind::method, P = py::Bind::property;

// The interface name "<prefix><i>".
py::Ref interface_name(std::string_view prefix, int i) {
  char buf[32];
  const size_t n = std::min(prefix.size(), sizeof buf - 20);
  std::memcpy(buf, prefix.data(), n);
  return py::str(std::string_view(buf, size_t(py::put_decimal(buf + n, i) - buf)));
}

// pbmp_map over "<prefix><i>" for i in [0, count), numbered from 1.
py::Ref range_map(const char* prefix, int count) {
  py::Ref map = py::dict();
  for (int i = 0; i < count; ++i) py::dict_set(map, interface_name(prefix, i), py::integer(i + 1));
  return map;
}

// A run of interface names, "<prefix><first>" to "<prefix><last>".
struct NameRun {
  const char* prefix;
  int first, last;
};
// pbmp_map over runs of names, numbered from 1 in the order given.
py::Ref runs_map(std::initializer_list<NameRun> runs) {
  py::Ref map = py::dict();
  long n = 0;
  for (const NameRun& r : runs)
    for (int i = r.first; i <= r.last; ++i)
      py::dict_set(map, interface_name(r.prefix, i), py::integer(++n));
  return map;
}

template <const char* Prefix, int Count>
void range_attrs(py::ClassBody& c) {
  c.set("pbmp_map", range_map(Prefix, Count));
}

constexpr char kXe[] = "xe", kHg[] = "hg";

void triumph_attrs(py::ClassBody& c) {
  c.set("pbmp_map",
        runs_map({{"ge", 48, 48},
                  {"ge", 8, 15},
                  {"ge", 20, 27},
                  {"ge", 32, 39},
                  {"hg", 0, 3},
                  {"ge", 0, 7},
                  {"ge", 16, 19},
                  {"ge", 28, 31},
                  {"ge", 40, 47}}));
}

void helix4_attrs(py::ClassBody& c) { c.set("pbmp_map", runs_map({{"ge", 0, 48}, {"hg", 0, 5}})); }

// Constructor parameter lists of the families.
const char kListA[] =
    "self, label, serdes, phy_types, phy_addrs, phy_layer, prim_offset, leds, unit=0, "
    "rx_polarity_flip=None, tx_polarity_flip=None, rx_lane_map=None, tx_lane_map=None, "
    "pre_emphasis=None, drv_current=None, pre_drv_current=None, oversub=False, phy_id1=None, "
    "sys_interface=None, mdi_pair_map=None";
const char kListC[] =
    "self, label, serdes, phy_types, phy_addrs, phy_layer, prim_offset, leds, unit=0, "
    "rx_polarity_flip=None, tx_polarity_flip=None, rx_lane_map=None, tx_lane_map=None, "
    "mdi_pair_map=None";
const char kListD[] =
    "self, label, hw_ports, phy_types, phy_addrs, phy_layer, prim_offset, leds, unit=0, "
    "rx_polarity_flip=None, tx_polarity_flip=None, rx_lane_map=None, tx_lane_map=None, "
    "mdi_pair_map=None";
const char kListE[] =
    "self, label, hw_ports, phy_types, phy_addrs, phy_layer, prim_offset, leds, unit";


// The operations of the three lines that name their interfaces "xe"/"ce".
std::vector<OpSpec> numbered_line_ops() {
  return {{"__init__", M, kListA},
          {"led_port_num", M, kModeSubSig},
          {"hw_port_num", M, kModeSubSig},
          {"hw_intf_prefix", M, kModeSubSig},
          {"logical_port_num", M, kPortBaseSig}};
}

}  // namespace

const py::ClassTable family_classes = {
    py::Qualname::bound,
    {
        {"MaverickPort", "BCMPort", nullptr, range_attrs<kXe, 74>, numbered_line_ops()},
        {"TomahawkPort", "BCMPort", nullptr, range_attrs<kXe, 132>, numbered_line_ops()},
        {"TomahawkTwoPort",
         "TomahawkPort",
         nullptr,
         nullptr,
         {{"__init__", M, kSerdesInitSig},
          {"led_port_num", M, kModeSubSig},
          {"find_port", M, "self, label"},
          {"logical_port_num", M, kPortBaseSig}}},
        {"TridentThreePort", "BCMPort", nullptr, range_attrs<kXe, 132>, numbered_line_ops()},
        {"TridentTwoPort",
         "BCMPort",
         nullptr,
         range_attrs<kHg, 128>,
         {{"led_port_num", M, kModeSubSig},
          {"__init__", M, kListA},
          {"an_c37", M, "self, mode"},
          {"an_c73", M, "self, mode"}}},
        {"TridentTwoPlusPort",
         "TridentTwoPort",
         nullptr,
         nullptr,
         {{"an_c37", M, "self, mode"},
          {"logical_port_num", M, kPortBaseSig},
          {"set_fiber_pref", P, "self"}}},
        {"TridentPort", "BCMPort", nullptr, range_attrs<kHg, 72>, {{"__init__", M, kListC}}},
        {"TriumphPort", "BCMPort", nullptr, triumph_attrs, {{"__init__", M, kListD}}},
        {"ApolloPort",
         "BCMPort",
         nullptr,
         nullptr,
         {{"hw_port_num", M, kModeSubSig},
          {"hw_pbmp", M, kModeSubSig},
          {"led_port_num", M, kModeSubSig},
          {"__init__", M, kListE}}},
        {"Helix4Port",
         "BCMPort",
         nullptr,
         helix4_attrs,
         {{"led_port_num", M, kModeSubSig}, {"__init__", M, kListD}}},
        {"Hurricane2Port",
         "BCMPort",
         nullptr,
         nullptr,
         {{"hw_port_num", M, kModeSubSig},
          {"led_port_num", M, kModeSubSig},
          {"hw_pbmp", M, kModeSubSig},
          {"__init__", M, kListD}}},
    }};

}  // namespace skorrel
