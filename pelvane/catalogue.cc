// The class statements of pelvane, in creation order: bases, docstrings,
// class attributes and the members each class binds, with their docstrings.
#include "pelvane.h"

namespace pelvane {
namespace {

using py::Bind;
constexpr Bind M = Bind::method, P = Bind::property;

// Docstrings as they stand in a class body: a line break, each line indented
// (four blanks in a class, eight in a member), and the indentation again.
#define CLASS_DOC(text) "\n    " text "\n    "
#define DOC(text) "\n        " text "\n        "
#define NL "\n        "

void capable_none(py::ClassBody& c) { c.set("portmap_capable", Py_None); }
void capable_false(py::ClassBody& c) { c.set("portmap_capable", Py_False); }
void capable_true(py::ClassBody& c) { c.set("portmap_capable", Py_True); }

void sdkconfig_attrs(py::ClassBody& c) {
  py::Ref map = py::dict();
  const std::pair<const char*, long> types[] = {{"XGMII", 6}, {"SFI", 9},  {"XFI", 10},
                                                {"KR4", 12},  {"SR4", 28}, {"KR", 11}};
  for (const auto& [name, value] : types) py::dict_set(map, name, py::integer(value));
  c.set("serdes_if_type_map", map);
}

const char kHwIntfNumDoc[] = DOC(
    "Return the hardware interface number for the given sub-interface (The" NL
    "number in hg0).  Never mapped.");

}  // namespace

const py::ClassTable classes = {
    py::Qualname::unbound,
    {
        {"Vostrel",
         nullptr,
         CLASS_DOC("Helper for vostrel.  Supports a dummy mode for testing."),
         nullptr,
         {
             {"__init__", M, "self, dummy=False, sw_base=None"},
             {"macaddr", P, "self"},
             {"macrange", P, "self"},
         }},
        {"IPRoute2",
         nullptr,
         CLASS_DOC("Helper for iproute2.  Supports a dummy mode for testing."),
         nullptr,
         {
             {"__init__", M, "self, dummy=False"},
             {"run", M, "self, args"},
         }},
        {"Brindlet",
         nullptr,
         CLASS_DOC("Helper for brindlet.  Supports a dummy mode for testing."),
         nullptr,
         {
             {"__init__", M, "self, dummy=False"},
             {"run", M, "self, args"},
         }},
        {"Config",
         nullptr,
         "\n    Base class for port configuration.  Understands ports.conf format.\n"
         "    Supports a dummy mode for testing.\n    ",
         nullptr,
         {
             {"__init__", M, "self, platform, verbose=False, exploded=False, dummy=False"},
             {"config", M, "self, config",
              DOC("Read a ports.conf config from a string\n" NL
                  "configfile - config file string")},
             {"_complete_modes", M, "self, config_map",
              DOC("We want to support setting the breakout configuration without an" NL
                  "associated speed.  Therefore, complete the shorthand '1x', '/1' etc." NL
                  "into a fully qualified breakout + speed setting.")},
             {"find_hw_port", M, "self, label",
              DOC("Find a platform port based upon the port's label.")},
             {"read_config", M, "self, configfile",
              DOC("Validate and read a ports.conf config file and store its key/value" NL
                  "pairs in a dict.\n" NL "configfile - config file path")},
             {"init_config", M, "self"},
             {"write_config", M, "self, configfile"},
             {"set_macmode", M, "self, mode", DOC("Set the default mac mode for a configuration")},
             {"makemacaddr", M, "self, inmac, index"},
             {"destroyints", M, "self, interface_set"},
             {"setmac", M, "self, portname, index"},
             {"maketap", M, "self, portname, index, interface_set"},
             {"makekernnet", M, "self, portname, index, unit, interface_set"},
         }},
        {"ConfiguredPort",
         nullptr,
         nullptr,
         capable_none,
         {
             {"__init__", M, "self, mode, mac_index, loopback"},
             {"label", P, "self", DOC("The text printed on the front of the switch.")},
             {"speed", P, "self", DOC("The port speed in gigabits/sec.")},
             {"num_logical_ports", P, "self",
              DOC("The number of logical ports (swp interfaces) for the port.")},
             {"max_logical_ports", P, "self",
              DOC("The maximum number of logical ports (swp interfaces) for the port.")},
             {"leds", P, "self"},
             {"linux_prefix", P, "self"},
             {"gang_label", P, "self",
              DOC("Gang Identifier for Ganged ports" NL "Port Label for unganged port" NL
                  "Assumption: Port numbering starts at swp1")},
             {"serdes_if_type", P, "self"},
             {"an_c37", P, "self"},
             {"an_c73", P, "self"},
         }},
        {"SDKConfiguredPort",
         "ConfiguredPort",
         nullptr,
         capable_false,
         {
             {"__init__", M, "self, mode, physical_port, port_base, mac_index, loopback"},
             {"label", P, "self"},
             {"oversub", P, "self"},
             {"speed", P, "self"},
             {"num_lanes", P, "self"},
             {"num_logical_ports", P, "self"},
             {"max_logical_ports", P, "self"},
             {"num_physical_ports", P, "self"},
             {"num_phys", P, "self"},
             {"enable_auto_neg", P, "self"},
             {"hw_intf_num", M, "self, sub", kHwIntfNumDoc},
             {"hw_intf_num_portmap", M, "self, sub", kHwIntfNumDoc},
             {"base_hw_intf_num", M, "self, sub",
              DOC("Return the lowest hardware interface number for the given sub-interface" NL
                  "Never mapped.")},
             {"sdk_intf_prefix", M, "self, sub",
              DOC("Return the interface prefix for the given sub-interface (xe," NL
                  "ge, etc...).  This is the interface name after configuration (hg may" NL
                  "become xe here).")},
             {"sdk_intf_num", M, "self, sub",
              DOC("Return the interface number for the given sub-interface (the" NL
                  "number in \"xe0\")")},
             {"sdk_unit_intf_num", M, "self, sub"},
             {"sdk_intf", M, "self, sub",
              DOC("Return the full name for the sub-interface (xe0, ge0, etc...)")},
             {"linux_port_name", M, "self, sub", DOC("Return the linux port (interface) name")},
             {"sdk_pbmp", M, "self, sub",
              DOC("Return the port bitmap mask for the sub-interface.")},
             {"phy_addr", M, "self, sub"},
             {"sdk_logical_port_num", M, "self, sub"},
             {"prim_offset", P, "self"},
             {"phy_id1", P, "self"},
             {"sys_interface", P, "self"},
             {"phy_type", M, "self, sub"},
             {"phy_autodetect", M, "self, sub"},
             {"set_leds", M, "self, led_port, sub, led_index_list"},
             {"hw_port_num", M, "self, sub"},
             {"port_mac_index", M, "self, sub"},
             {"leds", P, "self"},
             {"unit", P, "self"},
             {"rx_polarity_flip", P, "self"},
             {"tx_polarity_flip", P, "self"},
             {"rx_logical_polarity_flip", M, "self, sub"},
             {"tx_logical_polarity_flip", M, "self, sub"},
             {"td3_rx_logical_polarity_flip", M, "self, port, portmap, sub"},
             {"td3_tx_logical_polarity_flip", M, "self, port, portmap, sub"},
             {"is_fabric", P, "self"},
             {"create_fabric", P, "self"},
             {"rx_lane_map", P, "self"},
             {"tx_lane_map", P, "self"},
             {"mdi_pair_map", P, "self"},
             {"pre_emphasis", P, "self"},
             {"drv_current", P, "self"},
             {"pre_drv_current", P, "self"},
             {"phy_init", P, "self"},
             {"serdes_if_type", P, "self"},
             {"ganged", P, "self"},
             {"max_gang_size", P, "self"},
             {"gang_leader", P, "self"},
             {"an_c37", P, "self"},
             {"an_c73", P, "self"},
             {"sdk_config_intf", M, "self, sub, num_units=None"},
             {"set_fiber_pref", P, "self"},
             {"sdk_group", P, "self"},
         }},
        {"BCMConfiguredPort",
         "SDKConfiguredPort",
         CLASS_DOC("Broadcom port configuration implementation."),
         nullptr,
         {}},
        {"SDKConfiguredMappedPort",
         "SDKConfiguredPort",
         nullptr,
         capable_true,
         {
             {"sdk_pbmp", M, "self, sub",
              DOC("Mapped ports are sequential based on the port_base")},
             {"sdk_intf_num", M, "self, sub",
              DOC("Return the mapped SDK interface number for the sub-interface.")},
         }},
        {"BCMConfiguredMappedPort",
         "SDKConfiguredMappedPort",
         CLASS_DOC("Broadcom port remapped implementation."),
         nullptr,
         {
             {"__init__", M, "self, mode, physical_port, port_base, mac_index"},
         }},
        {"BCMConfiguredDportPort",
         "BCMConfiguredPort",
         nullptr,
         capable_true,
         {
             {"__init__", M,
              "self, mode, physical_port, port_base, if_port_base, mac_index, loopback"},
             {"sdk_pbmp", M, "self, sub"},
             {"sdk_intf_num", M, "self, sub",
              DOC("Return the mapped BCM interface number for the sub-interface." NL
                  "# sequence number per unit, per if type")},
             {"sdk_unit_intf_num", M, "self, sub"},
             {"sdk_logical_port_num", M, "self, sub",
              DOC("Return the Dport number for specific physical port" NL ":param sub:" NL
                  ":return:")},
         }},
        {"SDKConfig",
         "Config",
         CLASS_DOC("SDK configuration implementation"),
         sdkconfig_attrs,
         {
             {"__init__", M, "self, platform, verbose=False, exploded=False, dummy=False"},
             {"config", M, "self, config"},
             {"_calculate_configuration", M, "self",
              DOC("Calculate port mappings.  Derives internal state, but does not implment" NL
                  "changes in hardware or configuration files.")},
             {"_calculate_leds", M, "self",
              DOC("Calculate led programs for switch chip controlled LEDs")},
             {"_calculate_gangs", M, "self, ports", DOC("Calculate port gang configurations")},
             {"_calculate_units", M, "self",
              DOC("Calculate number of units which exists per platform")},
             {"led_chains", P, "self"},
             {"led_asm", P, "self"},
             {"led_hex", P, "self"},
             {"port_units", P, "self"},
             {"sdk_pbmp", P, "self"},
             {"portmap", P, "self"},
             {"dportmap", P, "self"},
             {"portmap_uncapable_config", P, "self"},
             {"port_emphasis", P, "self"},
             {"port_init", P, "self"},
             {"fiber_pref", P, "self"},
             {"phys", P, "self"},
             {"phy_addrs", P, "self"},
             {"phy_an", P, "self"},
             {"prim_offsets", P, "self"},
             {"phy_id1s", P, "self"},
             {"sys_interfaces", P, "self"},
             {"phytab", P, "self"},
             {"_compress_portlist", M, "self, portlist"},
             {"rcports", M, "self, unit"},
             {"quillet", P, "self"},
             {"rcled", P, "self"},
             {"rcphy", P, "self"},
             {"ethertab", P, "self"},
             {"linkdefaults", P, "self"},
             {"_linkdefaults_vx", M, "self"},
             {"_linkdefaults", M, "self"},
             {"sfptab", P, "self"},
             {"output", M, "self, configfile"},
         }},
        {"BCMConfig",
         "SDKConfig",
         CLASS_DOC("Broadcom configuration implementation"),
         nullptr,
         {
             {"__init__", M, "self, platform, verbose=False, exploded=False, dummy=False"},
         }},
    }};

}  // namespace pelvane
