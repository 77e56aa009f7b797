// The port map sections of the SDK property file: the port map with each
// logical port's lanes and polarity, the dport map, and the lanes and
// polarity of chips without a port map.
#include "sections.h"

#include <string>
#include <string_view>

namespace pelvane {
namespace {

using std::string_view;
using namespace sections;

// ---- port map --------------------------------------------------------------------

const char* const kPhysicalChainChips[] = {"TridentThreeX7_56870_Chip", "TridentThreeX7_56873_Chip",
                                           "TridentThreeX5_56771_Chip", "TomahawkTwo_56970_Chip"};

// Whether the chip is one of the parts whose polarity and lane maps are
// given per physical lane.  Their classes come from the platform package's
// chip module, imported here when nothing has imported it yet.
bool physical_chain(PyObject* chip) {
  py::Ref quorvel = global("quorvel");
  PyObject* found = PyObject_GetAttr(quorvel, ID("platform"));
  py::Ref platform;
  if (found) {
    platform = py::Ref::steal(found);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Raised();
    PyErr_Clear();
    py::import("quorvel.platform", module().globals);
    platform = py::attr(quorvel, ID("platform"));
  }
  for (const char* name : kPhysicalChainChips) {
    int r = PyObject_IsInstance(chip, py::attr(platform, name));
    py::check(r);
    if (r) return true;
  }
  return false;
}

// Appends a line to the section's line list, which a port's per-lane
// polarity operation may have handed back as another sequence.
void add_line(PyObject* lines, string_view text) {
  py::append_to(lines, py::str(text));
}

py::Ref portmap(py::Args a) {
  PyObject* self = a[0];
  py::Ref platform = py::attr(self, ID("platform"));
  py::Ref chip = chip_of(platform);
  if (py::attr(chip, ID("portmap_capable")).get() != Py_True)
    py::raise(PyExc_RuntimeError, py::percent(ID("platform: %s is not portmap capable"),
                                              {py::attr(platform, ID("name")).get()}));
  const bool lanes = py::truth(py::attr(chip, ID("needs_lane_config")));
  int chain = -1;  // found out when first needed
  auto is_chain = [&] {
    if (chain < 0) chain = physical_chain(chip);
    return chain == 1;
  };
  py::Ref lines = py::list();
  std::string line;
  each_port(self, [&](PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref speed = py::get_property(port, ID("speed"));
    py::Ref num_lanes;
    if (lanes) num_lanes = py::get_property(port, ID("num_lanes"));
    const LaneSettings settings(port);
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      py::Ref intf = py::call_method(port, ID("sdk_config_intf"), sub.get());
      py::Ref hw = py::call_method(port, ID("hw_intf_num_portmap"), sub.get());
      line.assign("portmap_");
      put_text(line, intf);
      line += "=";
      put_dec(line, hw, 1);
      line += ":";
      put_dec(line, speed);
      if (lanes) {
        line += ":";
        put_dec(line, num_lanes);
      }
      add_line(lines, line);
      // Polarity flips: per lane on the physical-chain parts, else one mask.
      const struct {
        PyObject* flip;
        PyObject* per_lane;
        PyObject* mask;
        const char* key;
      } sides[] = {{settings.rx_flip, ID("td3_rx_logical_polarity_flip"),
                    ID("rx_logical_polarity_flip"), "phy_xaui_rx_polarity_flip_"},
                   {settings.tx_flip, ID("td3_tx_logical_polarity_flip"),
                    ID("tx_logical_polarity_flip"), "phy_xaui_tx_polarity_flip_"}};
      for (const auto& side : sides) {
        if (side.flip == Py_None) continue;
        if (is_chain()) {
          lines = py::call_method(port, side.per_lane, port, lines.get(), sub.get());
          continue;
        }
        py::Ref mask = py::call_method(port, side.mask, sub.get());
        line.assign(side.key);
        put_text(line, intf);
        line += "=0x";
        put_hex(line, mask, true);
        add_line(lines, line);
      }
      // Lane maps, keyed by physical lane on the physical-chain parts; the
      // MDI pair map.
      const struct {
        PyObject* map;
        const char* chain_key;  // nullptr: the same key on every part
        const char* key;
      } maps[] = {{settings.rx_map, "phy_chain_rx_lane_map_physical{", "xgxs_rx_lane_map_"},
                  {settings.tx_map, "phy_chain_tx_lane_map_physical{", "xgxs_tx_lane_map_"},
                  {settings.mdi_map, nullptr, "phy_mdi_pair_map_"}};
      py::Ref hw_intf;
      for (const auto& m : maps) {
        if (m.map == Py_None) continue;
        if (m.chain_key && is_chain()) {
          if (!hw_intf) hw_intf = py::call_method(port, ID("hw_intf_num"), sub.get());
          line.assign(m.chain_key);
          put_dec(line, hw_intf, 1);
          line += ".0}=0x";
        } else {
          line.assign(m.key);
          put_text(line, intf);
          line += "=0x";
        }
        put_hex(line, m.map, true);
        add_line(lines, line);
      }
    }
  });
  return joined(lines);
}

// ---- dport map ---------------------------------------------------------------

py::Ref dportmap(py::Args a) {
  PyObject* self = a[0];
  py::Ref platform = py::attr(self, ID("platform"));
  if (py::attr(chip_of(platform), ID("dport_capable")).get() != Py_True)
    py::raise(PyExc_RuntimeError, py::percent(ID("platform %s is not dportmap capable"),
                                              {py::attr(platform, ID("name")).get()}));
  Section out;
  out.line() += "dport_map_enable=1\n";
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      py::Ref logical = py::call_method(port, ID("sdk_logical_port_num"), sub.get());
      py::Ref unit = py::get_property(port, ID("unit"));
      py::Ref intf = py::call_method(port, ID("sdk_unit_intf_num"), sub.get());
      py::StrBuilder& line = out.line();
      line += "dport_map_port_";
      put_dec(line, logical);
      line += ".";
      put_dec(line, unit);
      line += "=";
      put_dec(line, intf, 1);
    }
  });
  return out.finish();
}
// ---- lanes and polarity of chips without a port map ---------------------------

py::Ref portmap_uncapable_config(py::Args a) {
  PyObject* self = a[0];
  py::Ref platform = py::attr(self, ID("platform"));
  if (py::attr(chip_of(platform), ID("portmap_capable")).get() == Py_True)
    py::raise(PyExc_RuntimeError, py::percent(ID("platform: %s is portmap capable"),
                                              {py::attr(platform, ID("name")).get()}));
  Section out;
  each_port(self, [&](PyObject* port, long n) {
    if (n <= 0) return;
    const LaneSettings lanes(port);
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      py::Ref num;
      auto add = [&](std::string_view key, PyObject* value) {
        if (!num) num = py::call_method(port, ID("sdk_logical_port_num"), sub);
        py::StrBuilder& line = out.line();
        line += key;
        put_dec(line, num);
        line += "=0x";
        put_hex(line, value, true);
      };
      if (lanes.rx_flip.get() != Py_None)
        add("phy_xaui_rx_polarity_flip_", py::call_method(port, ID("rx_logical_polarity_flip"), sub));
      if (lanes.tx_flip.get() != Py_None)
        add("phy_xaui_tx_polarity_flip_", py::call_method(port, ID("tx_logical_polarity_flip"), sub));
      if (lanes.rx_map.get() != Py_None) add("xgxs_rx_lane_map_", lanes.rx_map);
      if (lanes.tx_map.get() != Py_None) add("xgxs_tx_lane_map_", lanes.tx_map);
      if (lanes.mdi_map.get() != Py_None) add("phy_mdi_pair_map_", lanes.mdi_map);
    }
  });
  return out.finish();
}
}  // namespace

const py::ImplTable portmap_impls = {
    {"SDKConfig.portmap", portmap},
    {"SDKConfig.dportmap", dportmap},
    {"SDKConfig.portmap_uncapable_config", portmap_uncapable_config},
};

}  // namespace pelvane
