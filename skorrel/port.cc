// The port record and the base port operations of SDKPort.
#include "skorrel.h"

namespace skorrel {
namespace {

py::Ref port_init(py::Args a) {
  py::setattr(a[0], ID("label"), a[1]);
  py::setattr(a[0], ID("sfp"), Py_None);
  return {};
}

py::Ref sdkport_init(py::Args a) {
  // Port is looked up by name when the constructor runs.
  py::Ref port_init = py::attr(global("Port"), ID("__init__"));
  py::call(port_init, a[0], a[1]);
  // The fields in the order they are stored: prim_offset comes second.
  static const int order[] = {2, 6, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  static const char* const names[] = {
      "self", "label", "hw_ports", "phy_types", "phy_addrs", "phy_layer", "prim_offset",
      "leds", "unit", "rx_polarity_flip", "tx_polarity_flip", "rx_lane_map", "tx_lane_map",
      "mdi_pair_map", "pre_emphasis", "drv_current", "pre_drv_current", "oversub", "phy_id1",
      "sys_interface"};
  for (int i : order) py::setattr(a[0], names[i], a[i]);
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

const py::ImplTable port_impls = {
    {"Port.__init__", port_init},
    {"SDKPort.__init__", sdkport_init, kSDKPortInitDoc},
    {"SDKPort.phy_autodetect", phy_autodetect},
    {"SDKPort.num_phys", num_phys,
     "\n        Return the number of phys for a given port.\n        "},
};

}  // namespace skorrel
