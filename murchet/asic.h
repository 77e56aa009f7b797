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
  // Whether records are made directly.  No Python code then runs, given
  // exact ints or longs for a route's group number (which is or-ed).
  bool direct() const { return direct_; }

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
    PyObject* own;
    if (!py::dict_get_plain(py::instance_dict(o), name_, own) || own) return false;
    if (py::instance_class(o) == cls_.get()) return true;
    // (own_op of the record, its own dict already asked.)
    if (!py::own_op(py::instance_class(o), name_, impl_)) return false;
    cls_ = py::Ref::borrow(py::instance_class(o));
    return true;
  }

  // Forgets the class found to have the operation: it is asked again.
  void forget() { cls_ = py::Ref(); }

  // The same, and then the values of the fields `a` and `b` in the record's
  // own dict (null where it does not hold one).  A record of up to five
  // fields is read in one pass over its dict; a record whose dict holds the
  // very keys of the last one so read, slot by slot, is read from the slots
  // that held `a` and `b` there.
  [[gnu::always_inline]] bool fields(PyObject* o, PyObject* a, PyObject* b, PyObject*& va,
                                     PyObject*& vb) {
    if (PyInstance_Check(o) && py::instance_class(o) == cls_.get() &&
        layout_.holds(py::instance_dict(o), a, b)) {
      va = layout_.value(py::instance_dict(o), 0);
      vb = layout_.value(py::instance_dict(o), 1);
      return true;
    }
    return read_fields(o, a, b, va, vb);
  }

 private:
  // fields() where the record's dict is not laid out as the last one read.
  bool read_fields(PyObject* o, PyObject* a, PyObject* b, PyObject*& va, PyObject*& vb);

  PyObject* name_;
  py::Impl impl_;
  // A class whose operation is `impl_`, held: no other class can take
  // its place at its address while code runs between two asks.
  py::Ref cls_;

  // The keys of a small dict found plain (none that is or may equal the
  // operation's name) and holding both fields, slot by slot, and the
  // slots of the two fields.  The
  // keys are held, so none is freed and its address taken by another: a
  // dict holding the same key objects in the same slots is plain too.
  class Layout {
   public:
    bool holds(PyObject* d, PyObject* a, PyObject* b) const {
      auto* mp = reinterpret_cast<PyDictObject*>(d);
      if (a != a_ || b != b_ || mp->ma_table != mp->ma_smalltable) return false;
      const PyDictEntry* e = mp->ma_smalltable;
      static_assert(PyDict_MINSIZE == 8, "a small table of eight slots");
      auto differ = [&](int i) { return uintptr_t(e[i].me_key) ^ uintptr_t(keys_[i].get()); };
      return !(differ(0) | differ(1) | differ(2) | differ(3) | differ(4) | differ(5) | differ(6) |
               differ(7));
    }
    // The value of `a` (0) or `b` (1) in a dict it holds.
    PyObject* value(PyObject* d, int which) const {
      return reinterpret_cast<PyDictObject*>(d)->ma_smalltable[at_[which]].me_value;
    }
    // Takes the layout of `d`, plain, where it holds both fields.
    void learn(PyObject* d, PyObject* a, PyObject* b) {
      const PyDictEntry* e = reinterpret_cast<PyDictObject*>(d)->ma_smalltable;
      int at[2] = {-1, -1};
      for (int i = 0; i < PyDict_MINSIZE; ++i) {
        // (A deleted entry's key is the interpreter's marker, never a field.)
        if (e[i].me_value && e[i].me_key == a) at[0] = i;
        if (e[i].me_value && e[i].me_key == b) at[1] = i;
      }
      if (at[0] < 0 || at[1] < 0) return;
      a_ = a;
      b_ = b;
      at_[0] = at[0];
      at_[1] = at[1];
      for (int i = 0; i < PyDict_MINSIZE; ++i) keys_[i] = py::Ref::borrow(e[i].me_key);
    }

   private:
    PyObject *a_ = nullptr, *b_ = nullptr;
    py::Ref keys_[PyDict_MINSIZE];
    int at_[2] = {0, 0};
  } layout_;
};

// The classes of the records written in one go, while nothing but this
// module runs: whether their text forms are the module's own, and whether
// a group's class leaves its truth plain, each found once.  A step that may
// run code of the interpreter's is noted: what was found is then asked
// again, and the count of notes says to a caller whether anything it kept
// from the records may have changed.  (The handlers of signals that the
// writers' turns run, py::tick(), are not noted: what one of them changes
// in the middle of a write is seen from the next operation on.)
struct TextForms {
  TextForms();
  OwnOp route, group, encap;
  // `if group:`; noted where that runs the group's own code.
  bool true_group(PyObject* g);
  // `o.name`, read directly where found_attr finds it; else the
  // interpreter's lookup, noted.
  py::Ref attr(PyObject* o, PyObject* name);
  // Notes a step that runs (or ran) code of the interpreter's.
  void note_code();
  // The steps noted so far: while the count stays the same, nothing but
  // this module ran.
  unsigned long notes() const { return notes_; }

 private:
  py::Ref plain_group_class_;  // held, as OwnOp holds its class
  unsigned long notes_ = 0;
};

// Appends the text form of an Hmroute or a ReplicationGroup to `out` where
// the record is the module's own and holds only texts and integers where its
// text shows them; false, `out` unchanged, where the interpreter must make it.
// A second rendering of the records' __str__, kept because it pays: str() of
// the checker in bench/bench_mroute.py takes 0.06 s with it, 0.28 s without.
bool write_hmroute(py::StrBuilder& out, PyObject* mroute, TextForms& forms);
bool write_group(py::StrBuilder& out, PyObject* group, TextForms& forms);

// A second rendering of ReplicationGroup.get_l3_linux_encaps and
// get_l2_linux_encaps, and of Encap.encap2swp, kept because it pays in
// every comparison of bench/bench_mroute.py: neither the chip's two sets
// nor their names are made as objects.  The names are those the operations
// would make, where the group, its encaps and their fields are the module's
// own and plain; where they are not, those operations must run.

// The lists of a group's L3 (`lists[0]`) and L2 encaps (`lists[1]`), where
// its get_l3_linux_encaps and get_l2_linux_encaps are both the module's own
// and it holds both lists itself; false otherwise.
bool own_encap_lists(PyObject* group, PyObject* lists[2]);

// The switch-port names of encaps, as their encap2swp would make them.
class EncapNames {
 public:
  EncapNames();
  // The name of the encap `e` (valid until the next call); false where its
  // encap2swp must run.
  [[gnu::always_inline]] bool name(PyObject* e, std::string_view& name) {
    PyObject *port, *evid;
    if (!own_.fields(e, ID("linux_port"), ID("evid"), port, evid)) return false;
    if (!port || !evid || !PyString_CheckExact(port) || !PyInt_CheckExact(evid)) return false;
    size_t size = size_t(PyString_GET_SIZE(port));
    long vlan = PyInt_AS_LONG(evid);
    if (vlan == -1) {
      name = std::string_view(PyString_AS_STRING(port), size);
      return true;
    }
    // "%s.%d" of the port and the VLAN: a port of up to 16 bytes is copied
    // in words.
    if (size > 16) return long_name(port, vlan, name);
    copy_short(buf_, PyString_AS_STRING(port), size);
    char* d = buf_ + size;
    *d++ = '.';
    d = py::put_decimal(d, vlan);
    name = std::string_view(buf_, size_t(d - buf_));
    return true;
  }

 private:
  // The `n` (at most 16) bytes at `from` copied to `to`.
  static void copy_short(char* to, const char* from, size_t n) {
    if (n >= 8) {
      std::memcpy(to, from, 8);
      std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
      std::memcpy(to, from, 4);
      std::memcpy(to + n - 4, from + n - 4, 4);
    } else {
      for (size_t i = 0; i < n; ++i) to[i] = from[i];
    }
  }
  // The name of a longer port.
  bool long_name(PyObject* port, long vlan, std::string_view& name);

  OwnOp own_;
  char buf_[40];  // 16 bytes of port, a dot, up to 20 of VLAN
  std::string long_;
};

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
