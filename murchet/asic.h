// The checker's chip side as C++ sees it: making the chip records, and the
// Asic lookups over the chip snapshot, callable directly from C++.
#pragma once

#include "murchet.h"

#include <string>
#include <string_view>
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

// Whether records of one list, most of one class, answer the operation
// `name` with the module's `impl`: the class is asked once, each record's
// own dict every time (which holds while nothing but this module runs).
class OwnOp {
 public:
  OwnOp(PyObject* name, py::Impl impl) : name_(name), impl_(impl) {}
  bool operator()(PyObject* o) {
    if (!PyInstance_Check(o)) return false;
    if (py::instance_class(o) == cls_) {
      PyObject* own;
      return py::dict_get_plain(py::instance_dict(o), name_, own) && !own;
    }
    if (!py::own_op(o, name_, impl_)) return false;
    cls_ = py::instance_class(o);
    return true;
  }

  // The same, and then the values of the fields `a` and `b` in the record's
  // own dict (null where it does not hold one).  A record of up to five
  // fields is read in one pass over its dict.
  bool fields(PyObject* o, PyObject* a, PyObject* b, PyObject*& va, PyObject*& vb) {
    if (!PyInstance_Check(o)) return false;
    PyObject* d = py::instance_dict(o);
    bool own = true;
    va = vb = nullptr;
    if (py::instance_class(o) == cls_ && py::each_small_entry(d, [&](PyObject* k, PyObject* v) {
          if (k == a) {
            va = v;
          } else if (k == b) {
            vb = v;
          } else if (k == name_ || !PyString_CheckExact(k) ||
                     (!PyString_CHECK_INTERNED(k) && _PyString_Eq(k, name_))) {
            own = false;  // an override, or a key that may equal its name
          }
          return own;
        }))
      return own;
    if (!(*this)(o)) return false;
    // Nothing of the interpreter's may run while the caller holds the
    // record borrowed.
    return py::dict_get_plain(d, a, va) && py::dict_get_plain(d, b, vb);
  }

 private:
  PyObject* name_;
  py::Impl impl_;
  PyObject* cls_ = nullptr;  // a class whose operation is `impl_`
};

// The classes of the records written in one go, while nothing but this
// module runs: whether their text forms are the module's own, and whether
// a group's class leaves its truth plain, each found once.
struct TextForms {
  TextForms();
  OwnOp route, group, encap;
  // `if group:`; `*plain` is set false where that ran the group's own code.
  bool true_group(PyObject* g, bool* plain = nullptr);

 private:
  PyObject* plain_group_class_ = nullptr;
};

// Appends the text form of an Hmroute or a ReplicationGroup to `out` where
// the record is the module's own and holds only texts and integers where its
// text shows them; false, `out` unchanged, where the interpreter must make it.
// A second rendering of the records' __str__, kept because it pays: str() of
// the checker in bench/bench_mroute.py takes 0.06 s with it, 0.28 s without.
bool write_hmroute(py::StrBuilder& out, PyObject* mroute, TextForms& forms);
bool write_group(py::StrBuilder& out, PyObject* group, TextForms& forms);

// Calls each(name) with the switch-port name of each of a group's L3 (`l3`)
// or L2 encaps, as its get_l3_linux_encaps or get_l2_linux_encaps would name
// them, without making them, where the group, its encaps and their fields
// are the module's own and plain; false (perhaps after some calls) where
// those operations must run.  A second rendering of those operations and of
// Encap.encap2swp, kept because it pays: the comparisons of
// bench/bench_mroute.py take 7.8 us each with it, 9.0 us without.
bool own_linux_encaps(PyObject* group, bool l3, void (*each)(void*, std::string_view), void* ctx);
template <class F>
bool each_linux_encap(PyObject* group, bool l3, F each) {
  return own_linux_encaps(
      group, l3, [](void* c, std::string_view name) { (*static_cast<F*>(c))(name); }, &each);
}

// ---- the Asic operations of the chip side that the kernel side calls ----------
// (chip.cc), each run directly while the object has not overridden it.

py::Ref logical_port_and_pvid_op(py::Args a);  // _get_logical_port_and_pvid
py::Ref evid2ivid_op(py::Args a);              // _evid2ivid
py::Ref key_to_sip_dip_op(py::Args a);         // _key_to_sip_dip
py::Ref grp_ip2mac_op(py::Args a);             // _grp_ip2mac

// The module's own _get_logical_port_and_pvid(linux_port), unpacked into
// out[0], out[1], and _evid2ivid(lport, evid), run without their calls.
void logical_port_and_pvid(PyObject* self, PyObject* linux_port, py::Ref* out);
py::Ref evid2ivid(PyObject* self, PyObject* lport, PyObject* evid);

// dev in self.linux_ports.
bool is_linux_port(PyObject* self, PyObject* dev);

// _key_to_sip_dip(key): (vrf, sip, dip), or (None, None, None).
py::Ref key_to_sip_dip(PyObject* key);
// The third of _key_to_sip_dip(key) for a byte text `key` (PyString_Check):
// the group address, or None.
py::Ref key_group(PyObject* key);
// _grp_ip2mac(grp): the group MAC text of a dotted IPv4 group.
py::Ref grp_ip2mac(PyObject* grp);

}  // namespace murchet
