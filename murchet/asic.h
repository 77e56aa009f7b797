// The checker's chip side as C++ sees it: making the chip records, and the
// Asic lookups over the chip snapshot, callable directly from C++.
#pragma once

#include "murchet.h"

#include <string>
#include <utility>
#include <vector>

namespace murchet {

// ---- chip records (records.cc) ---------------------------------------------

enum class Record { portmap_entry, vlan_xlate, vlan_entry, encap, replication_group, hmroute };

// Makes records as a call of the module's record class would.  The class is
// looked up by name in the module when the maker is made; while it is still
// this module's own class (its own __init__, no __setattr__), the instance
// is made directly with its attributes in place, without the call.
class RecordMaker {
 public:
  explicit RecordMaker(Record kind);
  // The constructor's arguments in order (as many as it takes).
  py::Ref operator()(PyObject* a, PyObject* b, PyObject* c = nullptr, PyObject* d = nullptr,
                     PyObject* e = nullptr) const;

 private:
  Record kind_;
  py::Ref cls_;
  bool direct_;
};

// Appends the text form of an Hmroute or a ReplicationGroup to `out` where
// the record is the module's own and holds only texts and integers where its
// text shows them; false, `out` unchanged, where the interpreter must make it.
bool write_hmroute(std::string& out, PyObject* mroute);
bool write_group(std::string& out, PyObject* group);

// The switch-port names of a group's L3 (`l3`) or L2 encaps, as its
// get_l3_linux_encaps or get_l2_linux_encaps would name them, appended to
// `out` without making them, where the group, its encaps and their fields
// are the module's own and plain; false (`out` partly filled) where those
// operations must run.
struct PortNames {
  std::string text;
  std::vector<std::pair<size_t, size_t>> spans;  // each name: offset, length in `text`
};
bool own_linux_encaps(PyObject* group, bool l3, PortNames& out);

// ---- the Asic operations of the chip side that the kernel side calls ----------
// (chip.cc), each run directly while the object has not overridden it.

py::Ref logical_port_and_pvid_op(py::Args a);  // _get_logical_port_and_pvid
py::Ref evid2ivid_op(py::Args a);              // _evid2ivid
py::Ref key_to_sip_dip_op(py::Args a);         // _key_to_sip_dip
py::Ref grp_ip2mac_op(py::Args a);             // _grp_ip2mac

// dev in self.linux_ports.
bool is_linux_port(PyObject* self, PyObject* dev);

// _key_to_sip_dip(key): (vrf, sip, dip), or (None, None, None).
py::Ref key_to_sip_dip(PyObject* key);
// _grp_ip2mac(grp): the group MAC text of a dotted IPv4 group.
py::Ref grp_ip2mac(PyObject* grp);

}  // namespace murchet
