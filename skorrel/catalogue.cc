// The class statements of skorrel, in creation order: bases, docstrings,
// class attributes and the operations each class binds.
#include "skorrel.h"

namespace skorrel {
namespace {

using py::Bind;
constexpr Bind M = Bind::method, CM = Bind::classmethod, P = Bind::property;

void platform_attrs(py::ClassBody& c) {
  c.set("cpld", Py_None);
  c.set("switch", Py_None);
  c.set("bmc", Py_None);
  c.set("chassis", Py_None);
  c.set("use_dynamic_sensors", Py_False);
}

void switch_attrs(py::ClassBody& c) {
  c.set("has_phy_ucode_spi_rom", Py_None);
  c.set("has_phy_ucode_mdio", Py_None);
  c.set("led_controllers", Py_None);
}

void port_attrs(py::ClassBody& c) {
  c.set("is_fabric", Py_False);
  c.set("create_fabric", Py_False);
}

void sdkport_attrs(py::ClassBody& c) {
  py::Ref empty = py::tuple(0);
  c.set("modes", empty);
  c.set("default_mode", Py_None);
  c.set("gang_modes", empty);
  c.set("max_gang_size", py::integer(0));
  c.set("pbmp_map", py::dict());
  c.set("phy_init", py::dict());
  c.set("_speed_map", py::dict());
  py::Ref phys = py::tuple(10);
  const char* autodetect[] = {"8727",  "8747",  "8754",  "54282", "54680",
                              "54280", "84328", "84758", "84848", "84858"};
  for (int i = 0; i < 10; ++i) PyTuple_SET_ITEM(phys.get(), i, py::str(autodetect[i]).release());
  c.set("_autodetect_phys", phys);
  c.set("disable_prefix_xlate", Py_None);
  c.set("set_fiber_pref", Py_False);
  c.set("_serdes_intf_map", py::dict());
  c.set("autoneg_pref", Py_None);
  c.set("sdk_group", Py_None);
  c.set("name_override", Py_None);
}

const char kSwitchDoc[] =
    "\n    SDK platform common attributes\n"
    "    has_phy_ucode_spi_rom - true if platform supports SPI-ROM for phy microcode\n"
    "    has_phy_ucode_mdio    - true if platform supports MDIO for phy microcode\n"
    "    led_controllers       - Specify the set of led controllers to populate.\n    ";

const char kPortDoc[] =
    "\n    A physical switch port.  Typically on the front panel with one physical\n"
    "    text label per port.\n\n"
    "    label - the text written next to the physical port\n    ";

const char kSDKPortDoc[] =
    "\n    SDK port data.\n\n"
    "    modes - tuple of valid modes (e.g. 4x10G, 40G/4)\n"
    "    default_mode - the default mode\n"
    "    gang_modes - a tuple of supported ganged port modes (e.g. 40G/4 or 100G/4)\n"
    "    max_gang_size - maximum number of ports in a ganged group\n"
    "    pbmp_map - a map from hardware interface name to SDK pbmp position (e.g. \"hg0 -> 1\")\n"
    "    phy_init - a map of register to values used to initalize PHYs\n    ";

const char kSDKPortInit[] =
    "self, label, hw_ports, phy_types, phy_addrs, phy_layer, prim_offset, leds, unit, "
    "rx_polarity_flip, tx_polarity_flip, rx_lane_map, tx_lane_map, mdi_pair_map, "
    "pre_emphasis, drv_current, pre_drv_current, oversub, phy_id1, sys_interface";

}  // namespace

const py::ClassTable base_classes = {
    py::Qualname::bound,
    {
        {"NoSuchPlatform", "RuntimeError", nullptr, nullptr, {}},
        {"NoSuchChip", "RuntimeError", nullptr, nullptr, {}},
        {"Platform", nullptr, nullptr, platform_attrs, {}},
        {"SDKSwitch", nullptr, kSwitchDoc, switch_attrs, {{"__init__", M, "self, chip"}}},
        {"BCMSwitch",
         "SDKSwitch",
         "\n    Broadcom switch platform\n    ",
         nullptr,
         {{"__init__", M, "self, chip"}}},
        {"NoSuchMode", "RuntimeError", nullptr, nullptr, {}},
        {"Port", "object", kPortDoc, port_attrs, {{"__init__", M, "self, label"}}},
        {"SDKPort",
         "Port",
         kSDKPortDoc,
         sdkport_attrs,
         {
             {"__init__", M, kSDKPortInit},
             {"port_mangler", M, "self, mode"},
             {"complete_mode", M, "config, self, mode"},
             {"configurable", M, "self, config_map"},
             {"phy_autodetect", M, "self, mode, sub"},
             {"_check_mode", CM, "self, mode"},
             {"speed", CM, "self, mode"},
             {"num_lanes", CM, "self, mode"},
             {"num_physical_ports", M, "self, mode"},
             {"num_logical_ports", M, "self, mode"},
             {"max_logical_ports", P, "self"},
             {"mac_addrs_contrib_total", M, "self, config_map"},
             {"num_phys", P, "self"},
             {"hw_intf_prefix", M, "self, mode, sub"},
             {"hw_intf_num", M, "self, mode, sub"},
             {"hw_intf_num_portmap", M, "self, mode, sub"},
             {"base_hw_intf_num", M, "self, mode, sub"},
             {"hw_intf", M, "self, mode, sub"},
             {"hw_pbmp", M, "self, mode, sub"},
             {"hw_port_num", M, "self, mode, sub"},
             {"port_mac_index", M, "self, mode, mac_index, sub"},
             {"led_port_num", M, "self, mode, sub"},
             {"set_leds", M, "self, mode, led_port, sub, led_index_list"},
             {"polarity_flip_val", M, "self, mode, sub, polarity_flip"},
             {"rx_logical_polarity_flip", M, "self, mode, sub"},
             {"tx_logical_polarity_flip", M, "self, mode, sub"},
             {"serdes_if_type", M, "self, speed"},
             {"an_c37", M, "self, speed"},
             {"an_c73", M, "self, speed"},
             {"logical_port_num", M, "self, mode, sub"},
         }},
        {"BCMPort", "SDKPort", "\n    Broadcom-specific port data.\n    ", nullptr, {}},
    }};

}  // namespace skorrel
