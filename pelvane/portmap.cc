// The port map sections of the SDK property file: the port map with each
// logical port's lanes and polarity, the dport map, and the lanes and
// polarity of chips without a port map.
#include "sections.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelvane {
namespace {

using std::string_view;
using namespace sections;

// A configured port's stored polarity settings, lane maps and MDI pair map,
// each None where the platform gives none; read once for the port.
struct LaneSettings {
  explicit LaneSettings(PyObject* port)
      : rx_flip(py::read_prop(port, ID("rx_polarity_flip"))),
        tx_flip(py::read_prop(port, ID("tx_polarity_flip"))),
        rx_map(py::read_prop(port, ID("rx_lane_map"))),
        tx_map(py::read_prop(port, ID("tx_lane_map"))),
        mdi_map(py::read_prop(port, ID("mdi_pair_map"))) {}
  py::Ref rx_flip, tx_flip, rx_map, tx_map, mdi_map;
};

// The chip of the configuration object's platform once its capability
// `flag` is found set (or, `set` false, not set); else RuntimeError of `fmt`
// filled with the platform's name.
py::Ref checked_chip(PyObject* self, PyObject* flag, bool set, PyObject* fmt) {
  py::Ref platform = py::plain_attr(self, ID("platform"));
  py::Ref chip = switch_chip(platform);
  if (flag_set(chip, flag) != set)
    py::raise(PyExc_RuntimeError, py::percent(fmt, {py::plain_attr(platform, ID("name")).get()}));
  return chip;
}

// ---- port map --------------------------------------------------------------------

const char* const kPhysicalChainChips[] = {
    "TridentThreeX7_56870_Chip", "TridentThreeX7_56873_Chip", "TridentThreeX5_56771_Chip",
    "TomahawkTwo_56970_Chip"};

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
    if (!py::clear_if(PyExc_AttributeError)) throw py::Raised();
    py::import("quorvel.platform", module().globals);
    platform = py::plain_attr(quorvel, ID("platform"));
  }
  for (const char* name : kPhysicalChainChips) {
    int r = PyObject_IsInstance(chip, py::attr(platform, name));
    py::check(r);
    if (r) return true;
  }
  return false;
}

// The port map section as it is written: its lines, and what it asks
// of the chip once (whether a port-map line carries the lane count; whether
// the chip is a physical-chain part, found out when first needed).
class PortmapWriter {
 public:
  explicit PortmapWriter(py::Ref chip)
      : chip_(std::move(chip)),
        lane_count_(py::truth(py::plain_attr(chip_, ID("needs_lane_config")))) {}

  // Every line of a configured port with `n` logical ports, sub-port by
  // sub-port.
  void port(PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref speed = py::read_prop(port, ID("speed"));
    py::Ref num_lanes;
    if (lane_count_) num_lanes = py::read_prop(port, ID("num_lanes"));
    const LaneSettings settings(port);
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      intf_.clear();
      put_config_intf(intf_, port, sub);
      const Logical logical{port, sub, intf_, settings};
      portmap_line(logical, speed, num_lanes);
      polarity_lines(logical);
      lane_map_lines(logical);
    }
  }

  py::Ref text() { return lines_ ? joined(lines_) : text_.finish(); }

 private:
  // One logical port: its configured port, sub-port number, key text
  // (`config_intf`) and the port's stored lane settings.
  struct Logical {
    PyObject* port;
    PyObject* sub;
    string_view intf;
    const LaneSettings& settings;
  };

  bool physical_chain_part() {
    if (chain_ < 0) chain_ = physical_chain(chip_);
    return chain_ == 1;
  }

  // "portmap_%s=%u:%u" of the key, the hardware interface number + 1 and the
  // speed, then ":%u" of the lane count where the chip needs it (null
  // `num_lanes`: it does not).
  void portmap_line(const Logical& l, PyObject* speed, PyObject* num_lanes) {
    py::Ref hw = py::call_op(l.port, ID("hw_intf_num_portmap"), l.sub);
    line_.clear();
    put_line(line_, "portmap_", l.intf, "=", Dec{hw, 1}, ":", Dec{speed});
    if (num_lanes) put_line(line_, ":", Dec{num_lanes});
    add_line();
  }

  // Appends line_ to the section: to its text, or, once a port's per-lane
  // polarity operation has been handed the lines, to the line list (which
  // that operation may have handed back as another sequence).
  void add_line() {
    if (lines_) {
      py::append_to(lines_, py::str(line_));
      return;
    }
    if (!spans_.empty()) text_ += "\n";
    spans_.push_back({text_.size(), line_.size()});
    text_ += line_;
  }

  // The lines so far as the list a per-lane polarity operation is handed.
  PyObject* line_list() {
    if (!lines_) {
      lines_ = py::list();
      const string_view text = text_.view();
      for (const auto& [at, n] : spans_) py::append(lines_, py::str(text.substr(at, n)));
    }
    return lines_.get();
  }

  // Receive, then transmit polarity, where the port has a setting: the
  // port's own per-lane lines on a physical-chain part, else one mask.
  void polarity_lines(const Logical& l) {
    const struct {
      PyObject* flip;
      PyObject* per_lane;
      PyObject* mask;
      const char* key;
    } sides[] = {{l.settings.rx_flip, ID("td3_rx_logical_polarity_flip"),
                  ID("rx_logical_polarity_flip"), "phy_xaui_rx_polarity_flip_"},
                 {l.settings.tx_flip, ID("td3_tx_logical_polarity_flip"),
                  ID("tx_logical_polarity_flip"), "phy_xaui_tx_polarity_flip_"}};
    for (const auto& side : sides) {
      if (side.flip == Py_None) continue;
      if (physical_chain_part()) {
        PyObject* lines = line_list();
        lines_ = py::call_op(l.port, side.per_lane, l.port, lines, l.sub);
        continue;
      }
      py::Ref mask = py::call_op(l.port, side.mask, l.sub);
      line_.clear();
      put_line(line_, side.key, l.intf, "=0x", Hex{mask, true});
      add_line();
    }
  }

  // The receive and transmit lane maps, keyed by physical lane on a
  // physical-chain part, then the MDI pair map, where the port has them.
  void lane_map_lines(const Logical& l) {
    const struct {
      PyObject* map;
      const char* chain_key;  // nullptr: the same key on every part
      const char* key;
    } maps[] = {{l.settings.rx_map, "phy_chain_rx_lane_map_physical{", "xgxs_rx_lane_map_"},
                {l.settings.tx_map, "phy_chain_tx_lane_map_physical{", "xgxs_tx_lane_map_"},
                {l.settings.mdi_map, nullptr, "phy_mdi_pair_map_"}};
    py::Ref hw_intf;
    for (const auto& m : maps) {
      if (m.map == Py_None) continue;
      if (m.chain_key && physical_chain_part()) {
        if (!hw_intf) hw_intf = py::call_op(l.port, ID("hw_intf_num"), l.sub);
        line_.clear();
        put_line(line_, m.chain_key, Dec{hw_intf, 1}, ".0}=0x");
      } else {
        line_.clear();
        put_line(line_, m.key, l.intf, "=0x");
      }
      put_hex(line_, m.map, true);
      add_line();
    }
  }

  py::Ref chip_;
  const bool lane_count_;
  int chain_ = -1;
  // The text of the lines, with where each line stands in it, until a
  // per-lane operation is handed the list of lines (`lines_`, empty until
  // then).
  py::StrBuilder text_{4096};
  std::vector<std::pair<size_t, size_t>> spans_;
  py::Ref lines_;
  std::string line_;
  std::string intf_;  // the key text of the logical port being written
};

py::Ref portmap(py::Args a) {
  PyObject* self = a[0];
  PortmapWriter writer(
      checked_chip(self, ID("portmap_capable"), true, ID("platform: %s is not portmap capable")));
  each_port(self, [&](PyObject* port, long n) { writer.port(port, n); });
  return writer.text();
}

// ---- dport map ---------------------------------------------------------------

py::Ref dportmap(py::Args a) {
  PyObject* self = a[0];
  checked_chip(self, ID("dport_capable"), true, ID("platform %s is not dportmap capable"));
  Section out;
  out.line() += "dport_map_enable=1\n";
  each_port(self, [&](PyObject* port, long n) {
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      py::Ref logical = py::call_op(port, ID("sdk_logical_port_num"), sub.get());
      py::Ref unit = py::read_prop(port, ID("unit"));
      py::Ref intf = py::call_op(port, ID("sdk_unit_intf_num"), sub.get());
      put_line(out.line(), "dport_map_port_", Dec{logical}, ".", Dec{unit}, "=", Dec{intf, 1});
    }
  });
  return out.finish();
}

// ---- lanes and polarity of chips without a port map ---------------------------

py::Ref portmap_uncapable_config(py::Args a) {
  PyObject* self = a[0];
  checked_chip(self, ID("portmap_capable"), false, ID("platform: %s is portmap capable"));
  Section out;
  each_port(self, [&](PyObject* port, long n) {
    if (n <= 0) return;
    const LaneSettings lanes(port);
    for (long s = 0; s < n; ++s) {
      tick();
      py::Ref sub = py::integer(s);
      py::Ref num;
      auto add = [&](std::string_view key, PyObject* value) {
        if (!num) num = py::call_op(port, ID("sdk_logical_port_num"), sub);
        put_line(out.line(), key, Dec{num}, "=0x", Hex{value, true});
      };
      if (lanes.rx_flip.get() != Py_None)
        add("phy_xaui_rx_polarity_flip_", py::call_op(port, ID("rx_logical_polarity_flip"), sub));
      if (lanes.tx_flip.get() != Py_None)
        add("phy_xaui_tx_polarity_flip_", py::call_op(port, ID("tx_logical_polarity_flip"), sub));
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
