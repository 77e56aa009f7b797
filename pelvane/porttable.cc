// The port table of SDKConfig, whose reading also makes, brings up and
// deletes the Linux devices of the switch ports.
#include "sections.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane {
namespace {

using py::Args;
using py::Ref;
using namespace sections;
using std::string_view;

// "%i" of a flag: 1 or 0 for the truth values themselves.
void put_flag(py::StrBuilder& out, PyObject* v) {
  if (v == Py_True || v == Py_False)
    out += v == Py_True ? "1" : "0";
  else
    put_dec(out, v);
}

// Lines of a tool's answer, split at line feeds (a last empty piece included,
// as the text's split would give it).
template <class F>
void each_line(PyObject* text, const F& f) {
  string_view all = py::as_view(text);
  size_t at = 0;
  for (;;) {
    tick();
    size_t end = all.find('\n', at);
    f(all.substr(at, end == string_view::npos ? string_view::npos : end - at));
    if (end == string_view::npos) break;
    at = end + 1;
  }
}

// The words of a command text, split at white space.
Ref split_words(PyObject* command) { return py::callm(command, ID("split")); }
Ref split_words(const char* command) { return split_words(py::str(command)); }
// ---- the port table and the Linux devices ------------------------------------------

// Whether BRINDLET_USE_TUNTAP is "1" now.
bool tap_mode() {
  Ref environ = py::plain_attr(global("os"), ID("environ"));
  Ref value = py::callm(environ, ID("get"), ID("BRINDLET_USE_TUNTAP"));
  return PyString_Check(value.get()) && py::as_view(value) == "1";
}

// The names of the tap devices the switch itself makes, the only ones a tap
// listing may offer for deletion: every name linux_port_name can give a
// port of the platform in any of its modes, and every name the configured
// ports give now (a port's own linux_port_name honoured; asked only when a
// name is not one of the platform's).  Other tun and tap devices of the
// host are not ours.
class TapNames {
 public:
  explicit TapNames(PyObject* self) : self_(self), names_(Ref::steal(PySet_New(nullptr))) {
    Ref it = py::iter(py::plain_attr(
        py::plain_attr(py::plain_attr(self, ID("platform")), ID("switch")), ID("ports")));
    while (Ref port = py::next(it)) add_linux_names(names_, port);
  }
  bool ours(PyObject* name) {
    if (contains(name)) return true;
    if (configured_) return false;
    configured_ = true;
    each_port(self_, [&](PyObject* port, long n) {
      for (long i = 0; i < n; ++i) {
        tick();
        PortReads reads(port);
        Ref given = linux_port_name_of(reads, py::integer(i));
        if (PyString_Check(given.get()) || PyUnicode_Check(given.get()))
          py::check(PySet_Add(names_, given));
      }
    });
    return contains(name);
  }

 private:
  bool contains(PyObject* name) const {
    int found = PySet_Contains(names_, name);
    py::check(found);
    return found;
  }
  PyObject* const self_;
  Ref names_;
  bool configured_ = false;
};

// Whether the SDK family word `sw_base` is the text `family`.
bool is_family(PyObject* sw_base, const char* family) {
  return PyString_Check(sw_base) && py::as_view(sw_base) == family;
}

void add_device(PyObject* devices, string_view name) {
  py::check(PySet_Add(devices, py::str(name)));
}

// The tap devices "tuntap show" lists that are the switch's own (its names
// gathered once a name is listed).
void add_listed_taps(PyObject* self, PyObject* devices) {
  Ref listing = py::callm(py::plain_attr(self, ID("iproute2")), ID("run"),
                          split_words("tuntap show").get());
  std::optional<TapNames> names;
  each_line(listing, [&](string_view line) {
    string_view name = line.substr(0, line.find(':'));
    if (name.empty()) return;
    if (!names) names.emplace(self);
    Ref text = py::str(name);
    if (names->ours(text)) py::check(PySet_Add(devices, text));
  });
}

// The kernel network devices of the chip driver that brindlet lists, on the
// families that have them; UnsupportedPlatformError on any other.
void add_listed_kernel_devices(PyObject* self, PyObject* sw_base, PyObject* devices) {
  const char* link_type = is_family(sw_base, "bcm")   ? "bcm_knet"
                          : is_family(sw_base, "mlx") ? "mlx_sx_netdev"
                                                      : nullptr;
  if (!link_type)
    py::raise(global("UnsupportedPlatformError"),
              py::percent(ID("Kernel netdevs are not supported                      "
                             "on %s, only on Broadcom and Mellanox"),
                          {sw_base}));
  Ref listing = py::callm(py::plain_attr(self, ID("brindlet")), ID("run"),
                          split_words(py::format("show type %s", link_type).c_str()).get());
  each_line(listing, [&](string_view line) {
    string_view name = line.substr(0, line.find(' '));
    if (!name.empty() && name != "switch" && name != "swid") add_device(devices, name);
  });
}

// The devices there are: the switch's tap devices in tap mode, else the
// kernel devices of the family ("vx" has none to list).
Ref listed_devices(PyObject* self, PyObject* sw_base, bool tap) {
  Ref devices = Ref::steal(PySet_New(nullptr));
  if (tap)
    add_listed_taps(self, devices);
  else if (!is_family(sw_base, "vx"))
    add_listed_kernel_devices(self, sw_base, devices);
  return devices;
}

// The port table's rows, one per logical port, and a device made for each
// logical port that gets one (those made are taken out of `devices`).
class PortRows {
 public:
  PortRows(PyObject* self, PyObject* chip, bool tap, PyObject* devices)
      : self_(self), dport_(flag_set(chip, ID("dport_capable"))), tap_(tap), devices_(devices) {}

  void port(PyObject* port, long n) {
    if (n < 1) return;
    // What the port's sub-ports share, asked once for the port.
    Ref unit = py::read_prop(port, ID("unit"));
    Ref fabric = py::read_prop(port, ID("is_fabric"));
    Ref loopback = py::plain_attr(port, ID("loopback"));
    bool device = fabric.get() == Py_False || py::truth(py::read_prop(port, ID("create_fabric")));
    for (long i = 0; i < n; ++i) {
      tick();
      Ref sub = py::integer(i);
      PortReads reads(port);
      Ref name = linux_port_name_of(reads, sub);
      Ref logical = dport_ ? logical_port_num_of(reads, sub) : minus_one_;
      Ref intf = sdk_intf_of(reads, sub);
      py::StrBuilder& row = rows_.line();
      put_texts(row, "\t", {name, intf});
      row += "\t";
      put_dec(row, unit);
      row += "\t";
      put_flag(row, fabric);
      row += "\t";
      put_dec(row, logical);
      row += "\t";
      put_flag(row, loopback);
      if (device) make_device(reads, sub, name, unit);
    }
  }

  Ref text() { return rows_.finish(); }

 private:
  // A tap or kernel device of the logical port's name and MAC address,
  // unless it is there already.
  void make_device(PortReads& port, PyObject* sub, PyObject* name, PyObject* unit) {
    Ref index = port_mac_index_of(port, sub);
    if (tap_)
      py::callm(self_, ID("maketap"), name, index.get(), devices_);
    else
      py::callm(self_, ID("makekernnet"), name, index.get(), unit, devices_);
  }

  PyObject* self_;
  const bool dport_, tap_;
  PyObject* devices_;
  Ref minus_one_ = py::integer(-1);
  Section rows_;
};

// Broadcom's own "switch" devices, as "-o link show" lists them, come up.
void bring_up_switch_devices(PyObject* self) {
  Ref ip = py::plain_attr(self, ID("iproute2"));
  Ref listing = py::callm(ip, ID("run"), split_words("-o link show").get());
  std::vector<std::string> up;
  each_line(listing, [&](string_view line) {
    size_t colon = line.find(':');
    if (colon == string_view::npos) return;
    string_view field = line.substr(colon + 1);
    field = field.substr(0, field.find(':'));
    // A device with a link is listed as "name@parent".
    string_view name = field.substr(0, field.find('@'));
    if (name.find("switch") != string_view::npos) up.emplace_back(name);
  });
  for (const std::string& name : up) {
    tick();
    Ref command = py::percent(ID("link set dev %s up"), {py::str(name)});
    py::callm(ip, ID("run"), split_words(command).get());
  }
}

Ref quillet(Args a) {
  PyObject* self = a[0];
  Ref chip = chip_of(self);
  Ref sw_base = py::plain_attr(chip, ID("sw_base"));
  const bool tap = tap_mode();
  Ref devices = listed_devices(self, sw_base, tap);
  PortRows rows(self, chip, tap, devices);
  each_port(self, [&](PyObject* port, long n) { rows.port(port, n); });
  if (is_family(sw_base, "bcm") && !tap) bring_up_switch_devices(self);
  py::callm(self, ID("destroyints"), devices.get());
  return rows.text();
}

}  // namespace

const py::ImplTable port_table_impls = {
    {"SDKConfig.quillet", quillet},
};

}  // namespace pelvane
