// What the speed classes of several chip lines share: the mode tables of the
// ganged 10G and break-out 40G classes, port counts by mode and lane
// polarity by mode, each one body driven by a row per class.
#include "lines.h"

namespace skorrel {

// ---- mode tables ------------------------------------------------------------

void attrs_ganged_10g(py::ClassBody& c) {
  c.set("gang_modes", modes_tuple({"40G/4"}));
  c.set("modes", py::Ref::steal(PySequence_Concat(modes_tuple({"10G"}), c.lookup("gang_modes"))));
  c.set("default_mode", mode_text("10G"));
  c.set("max_gang_size", py::integer(4));
  c.set("_speed_map", speed_map({{"10G", 10}, {"40G/4", 40}}));
}

void attrs_ganged_10g_1g(py::ClassBody& c) {
  c.set("gang_modes", modes_tuple({"40G/4"}));
  py::Ref ten = py::Ref::steal(PySequence_Concat(modes_tuple({"10G"}), c.lookup("gang_modes")));
  c.set("modes", py::Ref::steal(PySequence_Concat(ten, modes_tuple({"1G"}))));
  c.set("default_mode", mode_text("10G"));
  c.set("max_gang_size", py::integer(4));
  c.set("_speed_map", speed_map({{"1G", 1}, {"10G", 10}, {"40G/4", 40}}));
}

void attrs_breakout_40g(py::ClassBody& c) {
  c.set("modes", modes_tuple({"40G", "4x10G"}));
  c.set("default_mode", mode_text("40G"));
  c.set("_speed_map", speed_map({{"4x10G", 10}, {"40G", 40}}));
}

void attrs_breakout_40g_1g(py::ClassBody& c) {
  c.set("modes", modes_tuple({"40G", "4x10G", "4x1G"}));
  c.set("default_mode", mode_text("40G"));
  c.set("_speed_map", speed_map({{"4x1G", 1}, {"4x10G", 10}, {"40G", 40}}));
}

void attrs_fabric(py::ClassBody& c) {
  c.set("is_fabric", Py_True);
  c.set("create_fabric", Py_True);
}

// ---- port counts ------------------------------------------------------------

namespace {

py::Ref answer(PyObject* self, const Count& c) {
  switch (c.kind) {
    case Count::none: return {};
    case Count::fixed: return py::integer(c.n);
    case Count::leader: return py::integer(gang_leader(self) ? c.n : 0);
  }
  return {};
}

}  // namespace

py::Ref count_ports(py::Args a, const Counts& counts) {
  PyObject *self = a[0], *mode = a[1];
  check_mode(self, mode);
  for (const Count& c : counts.rows) {
    if (!c.mode) break;
    if (is_text(mode, c.mode)) return answer(self, c);
  }
  return answer(self, counts.rest);
}

constexpr Count kNone = {nullptr, Count::none, 0};

// One-lane classes that gang four ports.
const Counts kGang25GLogical = {
    {{"25G", Count::fixed, 1},
     {"10G", Count::fixed, 1},
     {"100G/4", Count::leader, 1},
     {"40G/4", Count::leader, 1}},
    kNone};
const Counts kGang25GPhysical = {
    {{"25G", Count::fixed, 1},
     {"10G", Count::fixed, 1},
     {"100G/4", Count::leader, 4},
     {"40G/4", Count::leader, 4}},
    kNone};
// On the Tomahawk a mode past the two single ones (the gang modes, and any
// other a subclass adds) is ganged.
const Counts kTomahawk25GLogical = {
    {{"25G", Count::fixed, 1},
     {"10G", Count::fixed, 1},
     {"100G/4", Count::leader, 1},
     {"40G/4", Count::leader, 1}},
    {nullptr, Count::leader, 1}};
const Counts kTomahawk25GPhysical = {
    {{"25G", Count::fixed, 1},
     {"10G", Count::fixed, 1},
     {"100G/4", Count::leader, 4},
     {"40G/4", Count::leader, 4}},
    {nullptr, Count::leader, 4}};
const Counts kGang10GLogical = {{{"10G", Count::fixed, 1}, {"40G/4", Count::leader, 1}}, kNone};
const Counts kGang10GPhysical = {{{"10G", Count::fixed, 1}, {"40G/4", Count::leader, 4}}, kNone};
const Counts kGang10G1GLogical = {
    {{"1G", Count::fixed, 1}, {"10G", Count::fixed, 1}, {"40G/4", Count::leader, 1}}, kNone};
const Counts kGang10G1GPhysical = {
    {{"1G", Count::fixed, 1}, {"10G", Count::fixed, 1}, {"40G/4", Count::leader, 4}}, kNone};
// The Maverick 10G port's physical count: past "1G" and "10G" every mode is
// ganged.
const Counts kMaverick10GPhysical = {
    {{"1G", Count::fixed, 1}, {"10G", Count::fixed, 1}, {"40G/4", Count::leader, 4}},
    {nullptr, Count::leader, 4}};
const Counts kMultiGig = {{{"1G", Count::fixed, 1},
                           {"2.5G", Count::fixed, 1},
                           {"5G", Count::fixed, 1},
                           {"10G", Count::fixed, 1}},
                          kNone};
const Counts kBreakout40G = {{{"4x10G", Count::fixed, 4}, {"40G", Count::fixed, 1}}, kNone};
const Counts kBreakout40G1G = {
    {{"4x10G", Count::fixed, 4}, {"4x1G", Count::fixed, 4}, {"40G", Count::fixed, 1}}, kNone};
// Every mode of the class makes one port.
const Counts kSinglePort = {{}, {nullptr, Count::fixed, 1}};

// ---- polarity ---------------------------------------------------------------

py::Ref lane_polarity(py::Args a, const Polarities& rows) {
  PyObject *self = a[0], *mode = a[1], *sub = a[2], *flip = a[3];
  check_mode(self, mode);
  for (const Polarity& p : rows) {
    if (!p.mode) break;
    if (!is_text(mode, p.mode)) continue;
    switch (p.kind) {
      case Polarity::bit: return mask_bit(flip, sub);
      case Polarity::whole: return py::Ref::borrow(flip);
      case Polarity::flag: return py::integer(py::item(flip, sub).get() == Py_True);
      case Polarity::packed: {
        // One flag per lane packed four bits a lane, lane 0 lowest.
        py::Ref packed = py::integer(0), four = py::integer(4), lane_bits = py::integer(0xF);
        py::Ref it = py::call(py::builtin("reversed"), flip);
        while (py::Ref f = py::next(it)) {
          packed = py::Ref::steal(PyNumber_Lshift(packed, four));
          if (f.get() == Py_True) packed = py::Ref::steal(PyNumber_Or(packed, lane_bits));
        }
        return packed;
      }
    }
  }
  return {};
}

const Polarities kMaskPolarity = {{"4x10G", Polarity::bit}, {"40G", Polarity::whole}};
const Polarities kMaskPolarity1G = {
    {"4x1G", Polarity::bit}, {"4x10G", Polarity::bit}, {"40G", Polarity::whole}};
const Polarities kFlagPolarity = {{"4x10G", Polarity::flag}, {"40G", Polarity::packed}};

// ---- autonegotiation -------------------------------------------------------

namespace {

// BaseT ports negotiate through their PHY; the others answer `value` in
// "10G" and, where `breakout`, "4x10G".
py::Ref autoneg_10g(py::Args a, PyObject* value, bool breakout) {
  py::Ref layer = py::attr(a[0], ID("phy_layer"));
  if (is_text(layer, "10GBaseT") || is_text(layer, "1GBaseT")) return {};
  if (is_text(a[1], "10G") || (breakout && is_text(a[1], "4x10G"))) return py::Ref::borrow(value);
  return {};
}

}  // namespace

py::Ref an_on_10g(py::Args a) { return autoneg_10g(a, ID("on"), false); }
py::Ref an_off_10g(py::Args a) { return autoneg_10g(a, ID("off"), false); }
py::Ref an_on_10g_4x(py::Args a) { return autoneg_10g(a, ID("on"), true); }
py::Ref an_off_10g_4x(py::Args a) { return autoneg_10g(a, ID("off"), true); }
py::Ref an_auto_10g_4x(py::Args a) { return autoneg_10g(a, ID("auto"), true); }
py::Ref an_off(py::Args) { return py::Ref::borrow(ID("off")); }
py::Ref an_auto(py::Args) { return py::Ref::borrow(ID("auto")); }

}  // namespace skorrel
