// The configured ports: names, numbers, bitmaps, gangs and polarity.
//
// A configured port keeps nothing of the platform port's: every answer is
// asked of `physical_port` at the moment it is wanted, and every operation
// of the configured port itself is reached through the object, so that a
// subclass or an attribute set by a caller is honoured.
#include "sections.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane {
namespace {

using py::Args;
using py::Ref;

// ---- small pieces -----------------------------------------------------------

Ref physical(PyObject* self) { return py::plain_attr(self, ID("physical_port")); }
Ref mode_of(PyObject* self) { return py::plain_attr(self, ID("mode")); }

Ref steal(PyObject* o) { return Ref::steal(o); }

// a + b + c as the interpreter adds them (c a small constant).
Ref sum(PyObject* a, PyObject* b, long c = 0) {
  if (PyInt_CheckExact(a) && PyInt_CheckExact(b)) {
    long r;
    if (!__builtin_add_overflow(PyInt_AS_LONG(a), PyInt_AS_LONG(b), &r) &&
        !__builtin_add_overflow(r, c, &r))
      return py::integer(r);
  }
  Ref ab = steal(PyNumber_Add(a, b));
  return c ? py::add(ab, c) : ab;
}

// 1 << n, as wide as it needs to be.
Ref bit(PyObject* n) { return steal(PyNumber_Lshift(py::integer(1), n)); }

// int(o): an int is handed back as it is.
Ref to_int(Ref o) {
  if (PyInt_CheckExact(o.get())) return o;
  return steal(PyNumber_Int(o));
}

// The property `name` of the configured port `self`: rendered by `render`
// where the port's class has pelvane's own getter made from `impl` (its
// traceback entry added on failure, as its call would), else read.
template <class F>
Ref own_prop_or(PyObject* self, PyObject* name, py::Impl impl, const F& render) {
  Ref getter = Ref::borrow(py::own_getter(self, name, impl));
  if (!getter) return py::read_prop(self, name);
  try {
    Ref r = render();
    return r ? r : py::none();
  } catch (const py::Raised&) {
    py::add_traceback_of(getter);
    throw;
  }
}

// An operation that every configured port class must give for itself.
Ref abstract(Args) { py::raise(PyExc_NotImplementedError, Py_None); }
Ref nothing(Args) { return {}; }

// ---- ConfiguredPort ----------------------------------------------------------

Ref configured_init(Args a) {
  py::setattr(a[0], ID("mode"), a[1]);
  py::setattr(a[0], ID("mac_index"), a[2]);
  py::setattr(a[0], ID("loopback"), a[3]);
  return {};
}

Ref linux_prefix(Args a) { return Ref::borrow(linux_prefix_of(physical(a[0]))); }

// The first label of the aligned group of four that holds `label`.
Ref group_label(PyObject* label) {
  Ref n = steal(PyNumber_Int(label));
  if (PyInt_CheckExact(n.get())) {
    long v = PyInt_AS_LONG(n.get());
    if (v > LONG_MIN + 8) {
      long q = (v - 1) / 4;
      if ((v - 1) % 4 < 0) --q;  // rounding down, as the interpreter divides
      return steal(PyString_FromFormat("%ld", q * 4 + 1));
    }
  }
  Ref q = steal(PyNumber_FloorDivide(steal(PyNumber_Subtract(n, py::integer(1))), py::integer(4)));
  return py::to_str(
      steal(PyNumber_Add(steal(PyNumber_Multiply(q, py::integer(4))), py::integer(1))));
}

Ref gang_label(Args a) {
  Ref mode = mode_of(a[0]);
  Ref label = py::read_prop(a[0], ID("label"));
  if (py::equal(mode, ID("40G/4"))) return group_label(label);
  return label;
}

// ---- SDKConfiguredPort: construction ------------------------------------------

// (self, mode, physical_port, port_base, mac_index, loopback)
Ref sdk_init(Args a) {
  py::call_unbound(global("ConfiguredPort"), ID("__init__"), {a[0], a[1], a[4], a[5]});
  py::setattr(a[0], ID("port_base"), a[3]);
  py::setattr(a[0], ID("physical_port"), a[2]);
  py::setattr(a[0], ID("ganged_ports"), Py_None);
  return {};
}

// (self, mode, physical_port, port_base, if_port_base, mac_index, loopback)
Ref dport_init(Args a) {
  py::call_unbound(global("BCMConfiguredPort"), ID("__init__"),
                   {a[0], a[1], a[2], a[3], a[5], a[6]});
  py::setattr(a[0], ID("if_port_base"), a[4]);
  return {};
}

// (self, mode, physical_port, port_base, mac_index): never a loopback port.
Ref mapped_init(Args a) {
  py::call_unbound(global("SDKConfiguredMappedPort"), ID("__init__"),
                   {a[0], a[1], a[2], a[3], a[4], Py_False});
  return {};
}

// ---- SDKConfiguredPort: forwarded queries -------------------------------------

// The platform port's attribute of the same name.
#define FORWARD(name) \
  Ref fwd_##name(Args a) { return py::plain_attr(physical(a[0]), ID(#name)); }
FORWARD(label)
FORWARD(oversub)
FORWARD(max_logical_ports)
FORWARD(num_phys)
FORWARD(prim_offset)
FORWARD(phy_id1)
FORWARD(sys_interface)
FORWARD(leds)
FORWARD(unit)
FORWARD(rx_polarity_flip)
FORWARD(tx_polarity_flip)
FORWARD(is_fabric)
FORWARD(create_fabric)
FORWARD(rx_lane_map)
FORWARD(tx_lane_map)
FORWARD(mdi_pair_map)
FORWARD(pre_emphasis)
FORWARD(drv_current)
FORWARD(pre_drv_current)
FORWARD(phy_init)
FORWARD(max_gang_size)
FORWARD(set_fiber_pref)
FORWARD(sdk_group)
#undef FORWARD

// The platform port's operation of the same name, asked for the mode.
#define BY_MODE(name) \
  Ref mode_##name(Args a) { return py::call_op(physical(a[0]), ID(#name), mode_of(a[0])); }
BY_MODE(speed)
BY_MODE(num_lanes)
BY_MODE(num_logical_ports)
BY_MODE(num_physical_ports)
BY_MODE(an_c37)
BY_MODE(an_c73)
#undef BY_MODE

// The platform port's operation of the same name, asked for (mode, sub).
#define BY_SUB(name) \
  Ref sub_##name(Args a) { return py::call_op(physical(a[0]), ID(#name), mode_of(a[0]), a[1]); }
BY_SUB(hw_port_num)
BY_SUB(phy_autodetect)
#undef BY_SUB

// The same, as an integer.
#define INT_BY_SUB(name) \
  Ref int_##name(Args a) { \
    return to_int(py::call_op(physical(a[0]), ID(#name), mode_of(a[0]), a[1])); \
  }
INT_BY_SUB(hw_intf_num)
INT_BY_SUB(hw_intf_num_portmap)
INT_BY_SUB(base_hw_intf_num)
#undef INT_BY_SUB

Ref serdes_if_type(Args a) {
  Ref speed = py::read_prop(a[0], ID("speed"));
  return py::call_op(physical(a[0]), ID("serdes_if_type"), speed);
}

Ref mac_index_of(PortReads& self, PyObject* sub) {
  PyObject* mode = self.mode();
  Ref mac_index = py::plain_attr(self.port, ID("mac_index"));
  return py::call_op(self.phys(), ID("port_mac_index"), mode, mac_index, sub);
}

Ref port_mac_index(Args a) {
  PortReads self(a[0]);
  return mac_index_of(self, a[1]);
}

// (self, led_port, sub, led_index_list)
Ref set_leds(Args a) {
  return py::call_op(physical(a[0]), ID("set_leds"), mode_of(a[0]), a[1], a[2], a[3]);
}

Ref phy_addr(Args a) { return py::item(py::plain_attr(physical(a[0]), ID("phy_addrs")), a[1]); }

Ref phy_type(Args a) {
  Ref types = py::plain_attr(physical(a[0]), ID("phy_types"));
  if (types.get() == Py_None) return {};
  return py::item(types, a[1]);
}

// ---- numbering ---------------------------------------------------------------

Ref port_base_plus(PyObject* self, PyObject* sub, long c = 0) {
  return sum(py::plain_attr(self, ID("port_base")), sub, c);
}

// Plain numbering: the platform's own numbers.
Ref plain_logical_port_num(Args a) { return port_base_plus(a[0], a[1]); }

Ref plain_pbmp(Args a) { return py::call_op(physical(a[0]), ID("hw_pbmp"), mode_of(a[0]), a[1]); }

Ref plain_intf_num(Args a) { return py::call_op(a[0], ID("hw_intf_num"), a[1]); }

Ref plain_unit_intf_num(Args a) { return py::call_op(a[0], ID("sdk_intf_num"), a[1]); }

// Mapped numbering: sequential from the port base.
Ref mapped_pbmp(Args a) { return bit(port_base_plus(a[0], a[1])); }
Ref mapped_intf_num(Args a) { return port_base_plus(a[0], a[1], -1); }

// Dport numbering: the platform's dport number; interface numbers per unit
// and interface type.
Ref dport_logical_port_num(Args a) {
  Ref mode = mode_of(a[0]);
  Ref port_base = py::plain_attr(a[0], ID("port_base"));
  return py::call_op(physical(a[0]), ID("logical_port_num"), mode, a[1], port_base);
}

}  // namespace

// self.sdk_logical_port_num(sub), pelvane's own dport numbering rendered
// with what `self` has read.
Ref logical_port_num_of(PortReads& self, PyObject* sub) {
  py::Operation op(self.port, ID("sdk_logical_port_num"), dport_logical_port_num);
  return op.rendered(
      [&] {
        PyObject* mode = self.mode();
        Ref port_base = py::plain_attr(self.port, ID("port_base"));
        return py::call_op(self.phys(), ID("logical_port_num"), mode, sub, port_base);
      },
      sub);
}

namespace {

Ref dport_pbmp(Args a) {
  PortReads self(a[0]);
  return bit(logical_port_num_of(self, a[1]));
}

Ref dport_intf_num(Args a) { return sum(py::plain_attr(a[0], ID("if_port_base")), a[1], -1); }
Ref dport_unit_intf_num(Args a) { return port_base_plus(a[0], a[1], -1); }

// ---- naming -------------------------------------------------------------------

// sdk_intf_prefix of the platform port `phys` and the mode `mode`.
Ref intf_prefix(PyObject* phys, PyObject* mode, PyObject* sub) {
  Ref prefix = py::call_op(phys, ID("hw_intf_prefix"), mode, sub);
  if (!PyString_CheckExact(prefix.get()) || PyString_GET_SIZE(prefix.get()) > 2)
    prefix = steal(PySequence_GetSlice(prefix, 0, 2));
  if (py::plain_attr(phys, ID("disable_prefix_xlate")).get() == Py_True) return prefix;
  // The SDK calls a 10G interface "xe" whatever the chip's name for it.
  if (PyString_CheckExact(prefix.get()) ? !std::strcmp(PyString_AS_STRING(prefix.get()), "hg")
                                        : py::equal(prefix, ID("hg")))
    return Ref::borrow(ID("xe"));
  return prefix;
}

Ref sdk_intf_prefix(Args a) {
  Ref phys = physical(a[0]);
  return intf_prefix(phys, mode_of(a[0]), a[1]);
}

Ref intf_name(PortReads& self, PyObject* sub) {
  Ref prefix = intf_prefix_of(self, sub);
  Ref num = py::call_op(self.port, ID("sdk_intf_num"), sub);
  return py::percent_plain(ID("%s%u"), {prefix, num});
}

Ref sdk_intf(Args a) {
  PortReads self(a[0]);
  return intf_name(self, a[1]);
}

// The port's properties that linux_port_name and the polarity ask, each
// rendered with what `self` has read where the port has pelvane's own,
// else read.
Ref logical_count(PortReads& self) {
  return own_prop_or(self.port, ID("num_logical_ports"), mode_num_logical_ports, [&] {
    return py::call_op(self.phys(), ID("num_logical_ports"), self.mode());
  });
}

Ref gang_label_of(PortReads& self) {
  return own_prop_or(self.port, ID("gang_label"), gang_label, [&] {
    PyObject* mode = self.mode();
    Ref label = own_prop_or(self.port, ID("label"), fwd_label, [&] {
      return py::plain_attr(self.phys(), ID("label"));
    });
    if (py::equal(mode, ID("40G/4"))) return group_label(label);
    return label;
  });
}

Ref port_name(PortReads& self, PyObject* sub) {
  Ref name = py::plain_attr(self.phys(), ID("name_override"));
  if (name.get() != Py_None) return name;
  Ref count = logical_count(self);
  bool breakout = py::compare(count, 1, Py_GT);
  Ref prefix = own_prop_or(self.port, ID("linux_prefix"), linux_prefix, [&] {
    return Ref::borrow(linux_prefix_of(self.phys()));
  });
  Ref label = gang_label_of(self);
  return linux_name(prefix, label, breakout ? sub : nullptr);
}

Ref linux_port_name(Args a) {
  PortReads self(a[0]);
  return port_name(self, a[1]);
}

// (self, sub, num_units=None)
Ref sdk_config_intf(Args a) {
  PyObject *self = a[0], *sub = a[1], *units = a[2];
  Ref name = py::truth(py::plain_attr(self, ID("portmap_capable")))
                 ? py::to_str(py::call_op(self, ID("sdk_logical_port_num"), sub))
                 : py::call_op(self, ID("sdk_intf"), sub);
  if (units != Py_None && !py::compare(units, 1, Py_GT)) return name;
  return py::percent_plain(ID("%s.%u"), {name, py::read_prop(self, ID("unit"))});
}

// The name sdk_config_intf gives the logical port, before any unit: the
// text of its logical port number where the port has a port map, else its
// SDK interface name.  Written into `out` as "%s" writes it where that is
// plainly the text (a small number, a text); else the value, for the caller.
Ref config_intf_name(std::string& out, PortReads& self, PyObject* sub) {
  if (!py::truth(py::plain_attr(self.port, ID("portmap_capable"))))
    return py::call_op(self.port, ID("sdk_intf"), sub);
  Ref num = logical_port_num_of(self, sub);
  if (!PyInt_CheckExact(num.get())) return py::to_str(num);
  char buf[24];
  out += py::decimal(PyInt_AS_LONG(num.get()), buf);
  return {};
}

Ref enable_auto_neg(Args a) {
  Ref phys = physical(a[0]);
  Ref pref = py::plain_attr(phys, ID("autoneg_pref"));
  if (pref.get() != Py_None) return pref;
  Ref layer = py::plain_attr(phys, ID("phy_layer"));
  return py::boolean(py::equal(layer, ID("10GBaseT")) || py::equal(layer, ID("1GBaseT")));
}

// ---- gangs and polarity -------------------------------------------------------

Ref ganged(Args a) {
  Ref mode = mode_of(a[0]);
  return py::boolean(py::contains(py::plain_attr(physical(a[0]), ID("gang_modes")), mode));
}

Ref gang_leader(Args a) {
  if (!py::truth(py::read_prop(a[0], ID("ganged")))) return py::boolean(false);
  Ref count = py::read_prop(a[0], ID("num_logical_ports"));
  return py::boolean(py::compare(count, 0, Py_NE));
}

bool is_gang_leader(PortReads& self) {
  return py::truth(own_prop_or(self.port, ID("gang_leader"), gang_leader, [&] {
    Ref is_ganged = own_prop_or(self.port, ID("ganged"), ganged, [&] {
      PyObject* mode = self.mode();
      return py::boolean(py::contains(py::plain_attr(self.phys(), ID("gang_modes")), mode));
    });
    if (!py::truth(is_ganged)) return py::boolean(false);
    return py::boolean(py::compare(logical_count(self), 0, Py_NE));
  }));
}

// The polarity value of the sub-port: the platform port's own, or for a gang
// leader one bit per member of its gang, in the order of their interface
// numbers.  `side` names the platform operation.
Ref logical_polarity_flip(PyObject* self, PyObject* sub, PyObject* side) {
  PortReads port(self);
  Ref mode = Ref::borrow(port.mode());
  if (!is_gang_leader(port)) return py::call_op(port.phys(), side, mode, sub);

  Ref gang = py::plain_attr(self, ID("ganged_ports"));
  if (gang.get() == Py_None)
    py::raise(PyExc_RuntimeError, py::percent(ID("gang leader %s has no ganged ports"),
                                              py::read_prop(self, ID("label"))));
  std::vector<std::pair<Ref, Ref>> members;
  Ref it = py::iter(gang);
  while (Ref member = py::next(it)) {
    Ref key = first_hw_port_number(member);
    members.emplace_back(std::move(key), std::move(member));
  }
  py::stable_sort(members, [](const auto& x, const auto& y) {
    return sections::number_less(x.first.get(), y.first.get());
  });
  Ref value = py::integer(0);
  long position = 0;
  for (const auto& m : members) {
    sections::tick();
    Ref flip = py::call_op(physical(m.second), side, mode, sub);
    Ref shifted = steal(PyNumber_Lshift(flip, py::integer(position++)));
    value = steal(PyNumber_Or(value, shifted));
  }
  return value;
}

Ref rx_logical_polarity_flip(Args a) {
  return logical_polarity_flip(a[0], a[1], ID("rx_logical_polarity_flip"));
}
Ref tx_logical_polarity_flip(Args a) {
  return logical_polarity_flip(a[0], a[1], ID("tx_logical_polarity_flip"));
}

// Serdes lanes of one logical port, for the modes that the per-lane lines
// know; 0 for any other mode.
long lanes_of(PyObject* mode) {
  static const struct {
    const char* mode;
    long lanes;
  } table[] = {{"10G", 1}, {"25G", 1}, {"4x10G", 1}, {"4x25G", 1}, {"2x50G", 2},
               {"50G", 2}, {"40G", 4}, {"100G", 4},  {"40G/4", 4}, {"100G/4", 4}};
  if (PyString_CheckExact(mode)) {
    for (const auto& row : table)
      if (!std::strcmp(PyString_AS_STRING(mode), row.mode) &&
          size_t(PyString_GET_SIZE(mode)) == std::strlen(row.mode))
        return row.lanes;
    return 0;
  }
  for (const auto& row : table)
    if (py::equal(mode, py::str(row.mode))) return row.lanes;
  return 0;
}

// (self, port, portmap, sub): one line per lane of `port`, with that lane's
// bit of the port's polarity value.
Ref lane_polarity_lines(Args a, PyObject* side, PyObject* format) {
  PyObject *port = a[1], *portmap = a[2], *sub = a[3];
  Ref base = sum(py::call_op(port, ID("hw_intf_num"), sub), py::integer(1));
  Ref value = py::call_op(port, side, sub);
  long lanes = lanes_of(mode_of(port));
  for (long i = 0; i < lanes; ++i) {
    Ref lane = py::integer(i);
    // '0x%x' % ((value >> i) & 1): 0x0 or 0x1 for an int, a long or a bool.
    Ref flip = steal(PyNumber_And(steal(PyNumber_Rshift(value, lane)), py::integer(1)));
    Ref text = (PyInt_CheckExact(flip.get()) || PyLong_CheckExact(flip.get()))
                   ? Ref::borrow(py::truth(flip) ? ID("0x1") : ID("0x0"))
                   : py::percent(ID("0x%x"), flip.get());
    // portmap.append(line): a port override may hand on any object.
    py::append_to(portmap, py::percent_plain(format, {sum(base, lane), text}));
  }
  return Ref::borrow(portmap);
}

Ref td3_rx_logical_polarity_flip(Args a) {
  return lane_polarity_lines(a, ID("rx_logical_polarity_flip"),
                             ID("phy_chain_rx_polarity_flip_physical{%u.0}=%s"));
}
Ref td3_tx_logical_polarity_flip(Args a) {
  return lane_polarity_lines(a, ID("tx_logical_polarity_flip"),
                             ID("phy_chain_tx_polarity_flip_physical{%u.0}=%s"));
}

}  // namespace

// port.<name>(sub), rendered by `render` where it is pelvane's own `impl`.
template <class F>
Ref own_or(PortReads& port, PyObject* name, py::Impl impl, PyObject* sub, const F& render) {
  return py::Operation(port.port, name, impl).rendered(render, sub);
}

Ref intf_prefix_of(PortReads& port, PyObject* sub) {
  return own_or(port, ID("sdk_intf_prefix"), sdk_intf_prefix, sub, [&] {
    PyObject* phys = port.phys();
    return intf_prefix(phys, port.mode(), sub);
  });
}

Ref linux_port_name_of(PortReads& port, PyObject* sub) {
  return own_or(port, ID("linux_port_name"), linux_port_name, sub,
                [&] { return port_name(port, sub); });
}

Ref sdk_intf_of(PortReads& port, PyObject* sub) {
  return own_or(port, ID("sdk_intf"), sdk_intf, sub, [&] { return intf_name(port, sub); });
}

Ref port_mac_index_of(PortReads& port, PyObject* sub) {
  return own_or(port, ID("port_mac_index"), port_mac_index, sub,
                [&] { return mac_index_of(port, sub); });
}

Ref pbmp_of(PortReads& port, PyObject* sub) {
  return own_or(port, ID("sdk_pbmp"), dport_pbmp, sub,
                [&] { return bit(logical_port_num_of(port, sub)); });
}

PyObject* linux_prefix_of(PyObject* physical_port) {
  return py::truth(py::plain_attr(physical_port, ID("is_fabric"))) ? ID("fp") : ID("swp");
}

Ref linux_name(PyObject* prefix, PyObject* label, PyObject* sub) {
  if (sub) return py::percent_plain(ID("%s%ss%u"), {prefix, label, sub});
  return py::percent_plain(ID("%s%s"), {prefix, label});
}

void add_linux_names(PyObject* names, PyObject* physical_port) {
  auto add = [&](const Ref& name) { py::check(PySet_Add(names, name)); };
  Ref override = py::plain_attr(physical_port, ID("name_override"));
  if (override.get() != Py_None) {
    if (PyString_Check(override.get())) add(override);
    return;
  }
  PyObject* prefix = linux_prefix_of(physical_port);
  Ref label = py::plain_attr(physical_port, ID("label"));
  // The most logical ports the port has under its own label, and as the
  // leader of a "40G/4" gang, under its gang's.
  long split = py::range_count(py::plain_attr(physical_port, ID("max_logical_ports")));
  long gang = 0;
  Ref modes = py::iter(py::plain_attr(physical_port, ID("modes")));
  while (Ref mode = py::next(modes)) {
    long n = py::range_count(py::call_op(physical_port, ID("num_logical_ports"), mode.get()));
    long& most = py::equal(mode, ID("40G/4")) ? gang : split;
    most = std::max(most, n);
  }
  auto add_subs = [&](PyObject* base, long n) {
    if (n < 2) return add(linux_name(prefix, base, nullptr));
    for (long sub = 0; sub < n; ++sub) {
      py::tick();
      add(linux_name(prefix, base, py::integer(sub)));
    }
  };
  add(linux_name(prefix, label, nullptr));
  add_subs(label, split);
  if (gang < 1) return;
  Ref group;
  try {
    group = group_label(label);
  } catch (const py::Raised&) {
    // A label that is no number names no gang.
    if (!py::clear_if(PyExc_ValueError) && !py::clear_if(PyExc_TypeError)) throw;
    return;
  }
  add_subs(group, gang);
}

Ref first_hw_port_number(PyObject* port) {
  Ref hw_ports = py::plain_attr(py::plain_attr(port, ID("physical_port")), ID("hw_ports"));
  Ref name = py::item(hw_ports, py::integer(0).get());
  long long v;
  if (PyString_CheckExact(name.get()) && sections::name_digits(py::as_view(name), v))
    return py::integer(long(v));
  return Ref::steal(PyNumber_Int(py::slice_from(name, 2)));
}

void put_config_intf(std::string& out, PyObject* port, PyObject* sub, PyObject* units) {
  py::Operation op(port, ID("sdk_config_intf"), sdk_config_intf);
  // Without `units`, the call takes the function's default as it is now; a
  // function left without one is the interpreter's to refuse.
  if (!op.own() || (!units && !op.default_of(2))) {
    sections::put_text(out, units ? op(sub, units) : op(sub));
    return;
  }
  // The rendering of sdk_config_intf, asking the port what it asks.
  op.traced([&] {
    Ref held = Ref::borrow(units ? units : op.default_of(2));
    PyObject* u = held.get();
    const size_t at = out.size();
    PortReads self(port);
    Ref name = config_intf_name(out, self, sub);
    if (u != Py_None && !py::compare(u, 1, Py_GT)) {
      if (name) sections::put_text(out, name);
      return;
    }
    Ref unit = own_prop_or(port, ID("unit"), fwd_unit, [&] {
      return py::plain_attr(self.phys(), ID("unit"));
    });
    if (!name && PyInt_CheckExact(unit.get())) {
      char buf[24];
      out += '.';
      out += py::decimal(PyInt_AS_LONG(unit.get()), buf);
      return;
    }
    if (!name) {
      name = py::str(std::string_view(out).substr(at));
      out.resize(at);
    }
    sections::put_text(out, py::percent_plain(ID("%s.%u"), {name, unit}));
  });
}

const py::ImplTable port_impls = {
    {"ConfiguredPort.__init__", configured_init},
    {"ConfiguredPort.label", abstract},
    {"ConfiguredPort.speed", abstract},
    {"ConfiguredPort.num_logical_ports", abstract},
    {"ConfiguredPort.max_logical_ports", abstract},
    {"ConfiguredPort.leds", abstract},
    {"ConfiguredPort.linux_prefix", linux_prefix},
    {"ConfiguredPort.gang_label", gang_label},
    {"ConfiguredPort.serdes_if_type", abstract},
    {"ConfiguredPort.an_c37", nothing},
    {"ConfiguredPort.an_c73", nothing},

    {"SDKConfiguredPort.__init__", sdk_init},
    {"SDKConfiguredPort.label", fwd_label},
    {"SDKConfiguredPort.oversub", fwd_oversub},
    {"SDKConfiguredPort.speed", mode_speed},
    {"SDKConfiguredPort.num_lanes", mode_num_lanes},
    {"SDKConfiguredPort.num_logical_ports", mode_num_logical_ports},
    {"SDKConfiguredPort.max_logical_ports", fwd_max_logical_ports},
    {"SDKConfiguredPort.num_physical_ports", mode_num_physical_ports},
    {"SDKConfiguredPort.num_phys", fwd_num_phys},
    {"SDKConfiguredPort.hw_intf_num", int_hw_intf_num},
    {"SDKConfiguredPort.hw_intf_num_portmap", int_hw_intf_num_portmap},
    {"SDKConfiguredPort.base_hw_intf_num", int_base_hw_intf_num},
    {"SDKConfiguredPort.sdk_intf_num", plain_intf_num},
    {"SDKConfiguredPort.sdk_unit_intf_num", plain_unit_intf_num},
    {"SDKConfiguredPort.sdk_pbmp", plain_pbmp},
    {"SDKConfiguredPort.phy_addr", phy_addr},
    {"SDKConfiguredPort.sdk_logical_port_num", plain_logical_port_num},
    {"SDKConfiguredPort.prim_offset", fwd_prim_offset},
    {"SDKConfiguredPort.phy_id1", fwd_phy_id1},
    {"SDKConfiguredPort.sys_interface", fwd_sys_interface},
    {"SDKConfiguredPort.phy_type", phy_type},
    {"SDKConfiguredPort.phy_autodetect", sub_phy_autodetect},
    {"SDKConfiguredPort.set_leds", set_leds},
    {"SDKConfiguredPort.hw_port_num", sub_hw_port_num},
    {"SDKConfiguredPort.port_mac_index", port_mac_index},
    {"SDKConfiguredPort.leds", fwd_leds},
    {"SDKConfiguredPort.unit", fwd_unit},
    {"SDKConfiguredPort.rx_polarity_flip", fwd_rx_polarity_flip},
    {"SDKConfiguredPort.tx_polarity_flip", fwd_tx_polarity_flip},
    {"SDKConfiguredPort.is_fabric", fwd_is_fabric},
    {"SDKConfiguredPort.create_fabric", fwd_create_fabric},
    {"SDKConfiguredPort.rx_lane_map", fwd_rx_lane_map},
    {"SDKConfiguredPort.tx_lane_map", fwd_tx_lane_map},
    {"SDKConfiguredPort.mdi_pair_map", fwd_mdi_pair_map},
    {"SDKConfiguredPort.pre_emphasis", fwd_pre_emphasis},
    {"SDKConfiguredPort.drv_current", fwd_drv_current},
    {"SDKConfiguredPort.pre_drv_current", fwd_pre_drv_current},
    {"SDKConfiguredPort.phy_init", fwd_phy_init},
    {"SDKConfiguredPort.serdes_if_type", serdes_if_type},
    {"SDKConfiguredPort.max_gang_size", fwd_max_gang_size},
    {"SDKConfiguredPort.an_c37", mode_an_c37},
    {"SDKConfiguredPort.an_c73", mode_an_c73},
    {"SDKConfiguredPort.set_fiber_pref", fwd_set_fiber_pref},
    {"SDKConfiguredPort.sdk_group", fwd_sdk_group},
    {"SDKConfiguredPort.enable_auto_neg", enable_auto_neg},
    {"SDKConfiguredPort.sdk_intf_prefix", sdk_intf_prefix},
    {"SDKConfiguredPort.sdk_intf", sdk_intf},
    {"SDKConfiguredPort.linux_port_name", linux_port_name},
    {"SDKConfiguredPort.sdk_config_intf", sdk_config_intf},
    {"SDKConfiguredPort.ganged", ganged},
    {"SDKConfiguredPort.gang_leader", gang_leader},
    {"SDKConfiguredPort.rx_logical_polarity_flip", rx_logical_polarity_flip},
    {"SDKConfiguredPort.tx_logical_polarity_flip", tx_logical_polarity_flip},
    {"SDKConfiguredPort.td3_rx_logical_polarity_flip", td3_rx_logical_polarity_flip},
    {"SDKConfiguredPort.td3_tx_logical_polarity_flip", td3_tx_logical_polarity_flip},

    {"SDKConfiguredMappedPort.sdk_pbmp", mapped_pbmp},
    {"SDKConfiguredMappedPort.sdk_intf_num", mapped_intf_num},
    {"BCMConfiguredMappedPort.__init__", mapped_init},

    {"BCMConfiguredDportPort.__init__", dport_init},
    {"BCMConfiguredDportPort.sdk_pbmp", dport_pbmp},
    {"BCMConfiguredDportPort.sdk_intf_num", dport_intf_num},
    {"BCMConfiguredDportPort.sdk_unit_intf_num", dport_unit_intf_num},
    {"BCMConfiguredDportPort.sdk_logical_port_num", dport_logical_port_num},
};

}  // namespace pelvane
