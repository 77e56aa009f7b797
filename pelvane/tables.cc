// The PHY, SFP and Ethernet tables of SDKConfig: one row per PHY or
// logical port, columns parted by tabs.
#include "sections.h"

#include <climits>

namespace pelvane {
namespace {

using py::Args;
using py::Ref;
using namespace sections;

// ---- PHY and SFP tables --------------------------------------------------------

Ref phytab(Args a) {
  Section rows;
  Ref linux_intf = py::none(), sdk_intf = py::none();
  each_phy_addr(a[0], [&](PyObject* port, long n, long phy, PyObject* number, PyObject* addr) {
    if (n > phy) {
      sdk_intf = py::call_op(port, ID("sdk_intf"), number);
      linux_intf = py::call_op(port, ID("linux_port_name"), number);
    }
    Ref mode = py::plain_attr(port, ID("mode"));
    py::StrBuilder& row = rows.line();
    row += "0x";
    put_hex(row, addr, false);
    row += "\t";
    put_texts(row, "\t", {linux_intf, sdk_intf, mode});
  });
  return rows.finish();
}

Ref sfptab(Args a) {
  Section rows;
  each_port(a[0], [&](PyObject* port, long n) {
    Ref sfp = py::plain_attr(py::plain_attr(port, ID("physical_port")), ID("sfp"));
    if (sfp.get() == Py_None || !py::truth(sfp)) return;
    Ref type = py::plain_attr(sfp, ID("type"));
    Ref method = py::plain_attr(sfp, ID("accessmethod"));
    Ref address = py::plain_attr(sfp, ID("address"));
    // The address is hexadecimal where the module is reached through the SDK.
    long at = py::as_long(py::callm(method, ID("find"), ID("sdk")));
    Ref addr_text = at > 0 ? py::percent(ID("0x%x"), {address}) : py::percent(ID("%s"), {address});
    if (n < 1) n = 1;
    for (long i = 0; i < n; ++i) {
      tick();
      Ref name = py::call_op(port, ID("linux_port_name"), py::integer(i).get());
      py::StrBuilder& row = rows.line();
      put_texts(row, "\t", {name, type, method, addr_text});
    }
  });
  return rows.finish();
}
// ---- Ethernet table ----------------------------------------------------------

py::Ref ethertab(py::Args a) {
  Section out;
  each_port(a[0], [&](PyObject* port, long n) {
    if (n <= 0) return;
    py::Ref mac_index = py::plain_attr(port, ID("mac_index"));
    for (long sub = 0; sub < n; ++sub) {
      tick();
      py::Ref name = py::call_op(port, ID("linux_port_name"), py::integer(sub));
      py::StrBuilder& line = out.line();
      put_text(line, name);
      line += "\t";
      if (n == 1) {
        put_text(line, mac_index);
      } else if (PyInt_CheckExact(mac_index.get()) &&
                 PyInt_AS_LONG(mac_index.get()) < LONG_MAX - n) {
        char buf[24];
        line += py::decimal(PyInt_AS_LONG(mac_index.get()) + sub, buf);
      } else {
        put_text(line, py::Ref::steal(PyNumber_Add(mac_index, py::integer(sub))));
      }
    }
  });
  return out.finish();
}
}  // namespace

const py::ImplTable table_impls = {
    {"SDKConfig.phytab", phytab},
    {"SDKConfig.sfptab", sfptab},
    {"SDKConfig.ethertab", ethertab},
};

}  // namespace pelvane
