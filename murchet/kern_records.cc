// The kernel-state records: a bridge's multicast groups and databases, the
// ports of a bridge VLAN, VLAN sub-interfaces and the facts of a device.
#include "kern.h"

namespace murchet {
namespace kern {

py::Ref mdb_entry_init(py::Args a) {
  py::setattr(a[0], ID("grp"), a[2]);
  py::setattr(a[0], ID("vid"), a[1]);
  py::setattr(a[0], ID("swp"), py::list());
  return {};
}

py::Ref mdb_entry_add_port(py::Args a) {
  append_to(py::plain_attr(a[0], ID("swp")), a[1]);
  return {};
}

py::Ref mdb_entry_str(py::Args a) {
  py::Ref vid = py::attr(a[0], ID("vid")), grp = py::attr(a[0], ID("grp"));
  py::Ref out = py::list();
  if (eq(vid, minus_one()))
    py::append(out, percent(ID("  grp: %s\n"), {grp}));
  else
    py::append(out, percent(ID("  vid: %d grp: %s\n"), {vid, grp}));
  py::Ref it = py::iter(py::attr(a[0], ID("swp")));
  while (py::Ref port = py::next(it)) py::append(out, percent(ID("    port: %s\n"), {port}));
  return join(ID(""), out);
}

py::Ref mdb_cache_init(py::Args a) {
  py::setattr(a[0], ID("dev"), a[1]);
  py::setattr(a[0], ID("vlan_filtering"), a[2]);
  // Each cache left without a table gets one of its own.
  py::setattr(a[0], ID("mdb_entries"), a[3] == Py_None ? py::dict() : py::Ref::borrow(a[3]));
  return {};
}

py::Ref mdb_cache_str(py::Args a) {
  py::Ref out = py::list();
  py::append(out, percent(ID("dev: %s:\n"), {py::attr(a[0], ID("dev"))}));
  py::Ref entries = py::attr(a[0], ID("mdb_entries"));
  py::Ref it = py::iter(entries);
  while (py::Ref key = py::next(it)) py::append(out, percent(ID("%s"), {py::item(entries, key)}));
  return join(ID(""), out);
}

py::Ref vlan_entry_init(py::Args a) {
  py::setattr(a[0], ID("vid"), a[1]);
  py::setattr(a[0], ID("tagged_swp"), py::list());
  py::setattr(a[0], ID("untagged_swp"), py::list());
  return {};
}

py::Ref vlan_entry_add_port(py::Args a) {
  PyObject* list = py::truth(a[2]) ? ID("untagged_swp") : ID("tagged_swp");
  append_to(py::plain_attr(a[0], list), a[1]);
  return {};
}

py::Ref vlan_entry_str(py::Args a) {
  py::Ref out = py::list();
  py::append(out, percent(ID("vid: %d\n"), {py::attr(a[0], ID("vid"))}));
  py::Ref tagged = py::callm(ID(","), ID("join"), py::attr(a[0], ID("tagged_swp")));
  py::append(out, percent(ID("  tagged: %s\n"), {tagged}));
  py::Ref untagged = py::callm(ID(","), ID("join"), py::attr(a[0], ID("untagged_swp")));
  py::append(out, percent(ID("  untagged: %s\n"), {untagged}));
  return join(ID(""), out);
}

py::Ref vlan_dev_entry_init(py::Args a) {
  py::setattr(a[0], ID("dev"), a[1]);
  py::setattr(a[0], ID("vid"), a[2]);
  py::setattr(a[0], ID("atlink"), a[3]);
  return {};
}

py::Ref vlan_dev_entry_str(py::Args a) {
  return percent(ID("dev: %s vid: %d atlink: %s"),
                 {py::attr(a[0], ID("dev")), py::attr(a[0], ID("vid")),
                  py::attr(a[0], ID("atlink"))});
}

py::Ref dev_entry_init(py::Args a) {
  py::setattr(a[0], ID("dev"), a[1]);
  py::setattr(a[0], ID("kind"), a[2]);
  py::setattr(a[0], ID("vlan_filtering"), a[3]);
  return {};
}

py::Ref dev_entry_str(py::Args a) {
  return percent(ID("%s: kind: %s vlan_filtering: %d\n"),
                 {py::attr(a[0], ID("dev")), py::attr(a[0], ID("kind")),
                  py::attr(a[0], ID("vlan_filtering"))});
}

}  // namespace kern
}  // namespace murchet
