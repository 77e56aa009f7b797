// Port configuration: shared declarations of the pelvane module.
#pragma once

#include "../common/func.h"

#include <string>
#include <string_view>
#include <vector>

namespace pelvane {

// The module as its operations see it (set once at load).
const py::ModuleInfo& module();

// A module-level global by name, looked up at each call so that a caller's
// replacement (pelvane.subprocess = ...) takes effect.
py::Ref global(const char* name);

// A link speed in Gbit/s (2.5, 10, 10L, 40.0) as whole megabits: an integer
// (2500, 10000, 10000, 40000).  TypeError for what is not a number.
py::Ref whole_megabits(PyObject* speed);

// The number of a configured port's first hardware interface, int() of its
// name past the two-letter prefix: 12 for xe12 (an interpreter integer, of
// any width).
py::Ref first_hw_port_number(PyObject* port);

// The Linux device name prefix of a platform port: "fp" for a fabric port,
// "swp" for any other (an interned text, borrowed).
PyObject* linux_prefix_of(PyObject* physical_port);

// A port's Linux device name from its prefix and label: "%s%s", or, for a
// member of a split port, "%s%ss%u" with the sub-port number `sub`
// (nullptr: not split).
py::Ref linux_name(PyObject* prefix, PyObject* label, PyObject* sub);

// Adds to the set `names` every name linux_port_name can give a configured
// port of the platform port `physical_port`, in any of the port's modes:
// its name_override alone where it has one, else its plain name, the names
// of its logical ports in every mode that splits it (and up to its
// max_logical_ports), and, where it leads a "40G/4" gang, the name of the
// gang.
void add_linux_names(PyObject* names, PyObject* physical_port);

// What a writer reads of a configured port for one of its logical ports:
// its platform port and its mode, each read at the first need and then
// kept, for the port's own operations rendered directly.
class PortReads {
 public:
  explicit PortReads(PyObject* port) : port(port) {}
  PyObject* phys() {
    if (!phys_) phys_ = py::plain_attr(port, ID("physical_port"));
    return phys_.get();
  }
  PyObject* mode() {
    if (!mode_) mode_ = py::plain_attr(port, ID("mode"));
    return mode_.get();
  }
  PyObject* const port;

 private:
  py::Ref phys_, mode_;
};

// port.sdk_intf_prefix(sub) and port.sdk_pbmp(sub): pelvane's own
// operations rendered with what `port` has read, an override called.
py::Ref intf_prefix_of(PortReads& port, PyObject* sub);
py::Ref pbmp_of(PortReads& port, PyObject* sub);
// The same for linux_port_name, sdk_logical_port_num, sdk_intf and
// port_mac_index.
py::Ref linux_port_name_of(PortReads& port, PyObject* sub);
py::Ref logical_port_num_of(PortReads& port, PyObject* sub);
py::Ref sdk_intf_of(PortReads& port, PyObject* sub);
py::Ref port_mac_index_of(PortReads& port, PyObject* sub);

// port.sdk_config_intf(sub) (or with `units` where not null) written into
// `out` as "%s" writes it; pelvane's own operation rendered directly, an
// override called.
void put_config_intf(std::string& out, PyObject* port, PyObject* sub, PyObject* units = nullptr);

// Writes `text` to the file `path` names as open(path, "w") and a write
// would, a regular file replaced in one step where that loses nothing;
// IOError on `name`, the path as the caller gave it, when it cannot.
void replace_file(PyObject* name, const std::string& path, std::string_view text);

// The chip of a platform's switch: platform.switch.chip.
inline py::Ref switch_chip(PyObject* platform) {
  return py::plain_attr(py::plain_attr(platform, ID("switch")), ID("chip"));
}

// The chip of the configuration object's platform: self.platform.switch.chip.
inline py::Ref chip_of(PyObject* self) {
  return switch_chip(py::plain_attr(self, ID("platform")));
}

// The twelve class statements in creation order.
extern const py::ClassTable classes;

// The implementation tables, one per source file.
extern const py::ImplTable config_impls;       // Vostrel, IPRoute2, Brindlet, Config
extern const py::ImplTable port_impls;         // the configured ports
extern const py::ImplTable bcm_impls;          // BCMConfig
extern const py::ImplTable sdk_impls;          // SDKConfig: model stage, accessors, output by key
extern const py::ImplTable port_table_impls;   // SDKConfig: the port table, Linux devices
extern const py::ImplTable table_impls;        // SDKConfig: PHY, SFP and Ethernet tables
extern const py::ImplTable linkdefault_impls;  // SDKConfig: the link defaults
extern const py::ImplTable script_impls;       // SDKConfig: the start-up scripts
extern const py::ImplTable portmap_impls;      // SDKConfig: port map, dport map, lanes
extern const py::ImplTable property_impls;     // SDKConfig: the other SDK properties

}  // namespace pelvane
