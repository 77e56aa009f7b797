// The chip records: PortmapEntry, VlanXlate, VlanEntry, Encap,
// ReplicationGroup and Hmroute.
#include "asic.h"
#include "text.h"

#include <classobject.h>

namespace murchet {
namespace {

// The bit that makes a route's multicast index its replication group id.
PyObject* group_bit() {
  static PyObject* v = nullptr;
  return py::once(v, [] { return PyInt_FromLong(0x2000000); });
}


py::Ref get(PyObject* o, PyObject* name) { return py::attr(o, name); }

// Stores one record's constructor arguments `a`, and the attributes it
// adds, in their order through set(name, value).
template <class Set>
void fill(Record kind, const Set& set, PyObject* const* a) {
  switch (kind) {
    case Record::portmap_entry:
      set(ID("dport"), a[0]);
      set(ID("logical_port"), a[1]);
      set(ID("linux_port"), a[2]);
      set(ID("port_vid"), minus_one());
      return;
    case Record::vlan_xlate:
      set(ID("lport"), a[0]);
      set(ID("ivid"), a[1]);
      set(ID("evid"), a[2]);
      return;
    case Record::vlan_entry:
      set(ID("vid"), a[0]);
      set(ID("untagged_dports"), a[1]);
      return;
    case Record::encap:
      set(ID("linux_port"), a[0]);
      set(ID("bcm_dport"), a[1]);
      set(ID("intf"), a[2]);
      set(ID("vlan"), a[3]);
      set(ID("evid"), a[4]);
      return;
    case Record::replication_group:
      set(ID("mcast_grp"), a[0]);
      set(ID("l2_encaps"), a[1]);
      set(ID("l3_encaps"), a[2]);
      return;
    case Record::hmroute:
      set(ID("sip"), a[0]);
      set(ID("dip"), a[1]);
      set(ID("iif"), a[2]);
      set(ID("kernel_iif"), Py_None);
      set(ID("grp"), py::Ref::steal(PyNumber_Or(a[3], group_bit())));
      set(ID("iif_mismatch"), py::list());
      set(ID("oil_mismatch"), py::list());
      set(ID("vrf"), a[4]);
      return;
  }
}

constexpr int arity(Record kind) {
  switch (kind) {
    case Record::vlan_entry: return 2;
    case Record::encap:
    case Record::hmroute: return 5;
    default: return 3;
  }
}

template <Record kind>
py::Ref init(py::Args a) {
  PyObject* args[arity(kind)];
  for (int i = 0; i < arity(kind); ++i) args[i] = a[i + 1];
  PyObject* self = a[0];
  fill(
      kind, [self](PyObject* name, PyObject* v) { py::setattr(self, name, v); }, args);
  return {};
}

constexpr py::Impl init_of(Record kind) {
  switch (kind) {
    case Record::portmap_entry: return init<Record::portmap_entry>;
    case Record::vlan_xlate: return init<Record::vlan_xlate>;
    case Record::vlan_entry: return init<Record::vlan_entry>;
    case Record::encap: return init<Record::encap>;
    case Record::replication_group: return init<Record::replication_group>;
    case Record::hmroute: return init<Record::hmroute>;
  }
  return nullptr;
}

const char* class_name(Record kind) {
  switch (kind) {
    case Record::portmap_entry: return "PortmapEntry";
    case Record::vlan_xlate: return "VlanXlate";
    case Record::vlan_entry: return "VlanEntry";
    case Record::encap: return "Encap";
    case Record::replication_group: return "ReplicationGroup";
    case Record::hmroute: return "Hmroute";
  }
  return "";
}

// ---- operations --------------------------------------------------------------

py::Ref portmap_entry_update_port_vid(py::Args a) {
  py::setattr(a[0], ID("port_vid"), a[1]);
  return {};
}

py::Ref portmap_entry_str(py::Args a) {
  PyObject* s = a[0];
  return percent(ID("dport: %s, lport: %d, linux_port: %s, port_vid: %d"),
                 {get(s, ID("dport")), get(s, ID("logical_port")), get(s, ID("linux_port")),
                  get(s, ID("port_vid"))});
}

py::Ref vlan_xlate_str(py::Args a) {
  PyObject* s = a[0];
  return percent(ID("lport: %s, ivid: %d, evid: %d"),
                 {get(s, ID("lport")), get(s, ID("ivid")), get(s, ID("evid"))});
}

py::Ref vlan_entry_str(py::Args a) {
  py::Ref vid = get(a[0], ID("vid"));
  py::Ref ports = join(ID(","), get(a[0], ID("untagged_dports")));
  return percent(ID("vid: %d, untagged_ports: %s"), {vid, ports});
}

py::Ref encap_str(py::Args a) {
  py::Ref text = percent(ID("port: %s"), {get(a[0], ID("linux_port"))});
  py::Ref evid = get(a[0], ID("evid"));
  if (py::truth(py::Ref::steal(PyObject_RichCompare(evid, minus_one(), Py_NE))))
    text = concat(text, percent(ID(", vlan: %d"), {evid}));
  return text;
}

// encap.encap2swp() of an Encap.
py::Ref encap2swp(PyObject* encap) {
  py::Ref evid = py::plain_attr(encap, ID("evid"));
  bool untagged = is_minus_one(evid) ||
                  (!PyInt_CheckExact(evid) &&
                   py::truth(py::Ref::steal(PyObject_RichCompare(evid, minus_one(), Py_EQ))));
  if (untagged) return py::plain_attr(encap, ID("linux_port"));
  return tagged(py::plain_attr(encap, ID("linux_port")), evid);
}

py::Ref encap_encap2swp(py::Args a) { return encap2swp(a[0]); }

py::Ref replication_group_str(py::Args a) {
  py::Ref pieces = py::list();
  py::Ref it = py::iter(get(a[0], ID("l3_encaps")));
  while (py::Ref e = py::next(it)) py::append(pieces, percent(ID("  %s\n"), {e}));
  py::Ref l2 = get(a[0], ID("l2_encaps"));
  if (py::truth(l2)) py::append(pieces, ID("  L2 replication ports:\n"));
  it = py::iter(l2);
  while (py::Ref e = py::next(it)) py::append(pieces, percent(ID("    %s\n"), {e}));
  return join(ID(""), pieces);
}

py::Ref linux_encaps(PyObject* self, PyObject* which) {
  py::Ref names = py::Ref::steal(PySet_New(nullptr));
  py::Ref it = py::iter(py::plain_attr(self, which));
  while (py::Ref e = py::next(it)) {
    py::Ref name = py::own_op(e, ID("encap2swp"), encap_encap2swp)
                       ? encap2swp(e)
                       : py::callm(e, ID("encap2swp"));
    py::check(PySet_Add(names, name));
  }
  return names;
}

py::Ref replication_group_l3(py::Args a) { return linux_encaps(a[0], ID("l3_encaps")); }
py::Ref replication_group_l2(py::Args a) { return linux_encaps(a[0], ID("l2_encaps")); }

py::Ref hmroute_str(py::Args a) {
  PyObject* s = a[0];
  py::Ref iif = get(s, ID("kernel_iif"));
  if (!py::truth(iif)) iif = get(s, ID("iif"));
  py::Ref text = percent(ID("%s, (%s, %s), iif: %s"),
                         {get(s, ID("vrf")), get(s, ID("sip")), get(s, ID("dip")), iif});
  py::Ref iif_mismatch = get(s, ID("iif_mismatch"));
  py::Ref oil_mismatch;
  if (!py::truth(iif_mismatch)) {
    oil_mismatch = get(s, ID("oil_mismatch"));
    if (!py::truth(oil_mismatch)) return text;
  }
  py::Ref pieces = py::list({text.get(), ID("\n  errors:")});
  for (PyObject* name : {ID("iif_mismatch"), ID("oil_mismatch")}) {
    py::Ref it = py::iter(get(s, name));
    while (py::Ref t = py::next(it)) py::append(pieces, percent(ID("\n    %s"), {t}));
  }
  return join(ID(""), pieces);
}

// ---- text forms written directly -----------------------------------------------

// "%s" of a text or an int, as a view (of the text, or of digits in `buf`);
// false for anything else.
bool text_view(PyObject* v, char (&buf)[24], string_view& view) {
  if (PyString_CheckExact(v)) {
    view = py::as_view(v);
    return true;
  }
  if (!PyInt_CheckExact(v)) return false;
  view = py::decimal(PyInt_AS_LONG(v), buf);
  return true;
}

// One encap's line: `head` (the indent and "port: "), the port, ", vlan: "
// and the VLAN unless it is -1, a line end.
bool write_encap(py::StrBuilder& out, PyObject* e, OwnOp& own, string_view head) {
  PyObject *port, *evid;
  if (!own.fields(e, ID("linux_port"), ID("evid"), port, evid)) return false;
  if (!port || !evid || !PyInt_CheckExact(evid)) return false;
  char port_digits[24], vlan_digits[24];
  string_view name;
  if (!text_view(port, port_digits, name)) return false;
  if (is_minus_one(evid))
    out.append(head, name, "\n");
  else
    out.append(head, name, ", vlan: ", py::decimal(PyInt_AS_LONG(evid), vlan_digits), "\n");
  return true;
}

// The line of each encap of a list (held by the caller; its size read
// after each turn's tick()).
bool write_encaps(py::StrBuilder& out, PyObject* list, string_view head, OwnOp& own) {
  if (!PyList_CheckExact(list)) return false;
  for (Py_ssize_t i = 0; py::tick(), i < PyList_GET_SIZE(list); ++i)
    if (!write_encap(out, PyList_GET_ITEM(list, i), own, head)) return false;
  return true;
}

// Each text of a list (held by the caller), after "\n    ".
bool write_lines(py::StrBuilder& out, PyObject* list) {
  if (!PyList_CheckExact(list)) return false;
  for (Py_ssize_t i = 0; py::tick(), i < PyList_GET_SIZE(list); ++i) {
    PyObject* t = PyList_GET_ITEM(list, i);
    if (!PyString_CheckExact(t)) return false;
    out.append("\n    ", py::as_view(t));
  }
  return true;
}

}  // namespace

TextForms::TextForms()
    : route(ID("__str__"), hmroute_str),
      group(ID("__str__"), replication_group_str),
      encap(ID("__str__"), encap_str) {}

bool TextForms::true_group(PyObject* g) {
  if (PyInstance_Check(g)) {
    PyObject* cls = py::instance_class(g);
    if (cls == plain_group_class_.get() || py::plain_truth_class(cls)) {
      if (cls != plain_group_class_.get()) plain_group_class_ = py::Ref::borrow(cls);
      if (py::plain_truth_instance(g)) return true;
    }
  }
  note_code();
  return py::truth(g);
}

py::Ref TextForms::attr(PyObject* o, PyObject* name) {
  if (PyObject* v = py::found_attr(o, name)) return py::Ref::borrow(v);
  note_code();
  return py::attr(o, name);
}

void TextForms::note_code() {
  ++notes_;
  // The code may change any class: each is asked again.
  route.forget();
  group.forget();
  encap.forget();
  plain_group_class_ = py::Ref();
}

bool write_hmroute(py::StrBuilder& out, PyObject* r, TextForms& forms) {
  if (!forms.route(r)) return false;
  py::Ref iif = forms.attr(r, ID("kernel_iif"));
  if (iif.get() != Py_None && !(PyInt_CheckExact(iif.get()) || PyString_CheckExact(iif.get())))
    return false;
  if (!py::truth(iif)) iif = forms.attr(r, ID("iif"));
  py::Ref vrf = forms.attr(r, ID("vrf")), sip = forms.attr(r, ID("sip")),
          dip = forms.attr(r, ID("dip"));
  char buf[4][24];
  string_view v[4];
  if (!text_view(vrf, buf[0], v[0]) || !text_view(sip, buf[1], v[1]) ||
      !text_view(dip, buf[2], v[2]) || !text_view(iif, buf[3], v[3]))
    return false;
  py::Ref iif_mismatch = forms.attr(r, ID("iif_mismatch"));
  py::Ref oil_mismatch = forms.attr(r, ID("oil_mismatch"));
  if (!PyList_CheckExact(iif_mismatch.get()) || !PyList_CheckExact(oil_mismatch.get()))
    return false;
  size_t mark = out.size();
  out.append(v[0], ", (", v[1], ", ", v[2], "), iif: ", v[3]);
  if (PyList_GET_SIZE(iif_mismatch.get()) || PyList_GET_SIZE(oil_mismatch.get())) {
    out += "\n  errors:";
    if (!write_lines(out, iif_mismatch) || !write_lines(out, oil_mismatch)) {
      out.cut(mark);
      return false;
    }
  }
  return true;
}

bool write_group(py::StrBuilder& out, PyObject* g, TextForms& forms) {
  if (!forms.group(g)) return false;
  size_t mark = out.size();
  py::Ref l3 = forms.attr(g, ID("l3_encaps"));
  bool ok = write_encaps(out, l3, "  port: ", forms.encap);
  if (ok) {
    py::Ref l2 = forms.attr(g, ID("l2_encaps"));
    ok = PyList_CheckExact(l2.get());
    if (ok && PyList_GET_SIZE(l2.get())) out += "  L2 replication ports:\n";
    ok = ok && write_encaps(out, l2, "    port: ", forms.encap);
  }
  if (!ok) out.cut(mark);
  return ok;
}

bool OwnOp::read_fields(PyObject* o, PyObject* a, PyObject* b, PyObject*& va, PyObject*& vb) {
  if (!PyInstance_Check(o)) return false;
  // A record of another class has its class asked first (and its own dict
  // whether it holds the operation).
  bool known = py::instance_class(o) == cls_.get();
  if (!known && !(*this)(o)) return false;
  PyObject* d = py::instance_dict(o);
  bool own = true;
  va = vb = nullptr;
  if (py::each_small_entry(d, [&](PyObject* k, PyObject* v) {
        if (k == a) {
          va = v;
        } else if (k == b) {
          vb = v;
        } else if (k == name_ || !PyString_CheckExact(k) ||
                   (!PyString_CHECK_INTERNED(k) && _PyString_Eq(k, name_))) {
          own = false;  // an override, or a key that may equal its name
        }
        return own;
      })) {
    if (own) layout_.learn(d, a, b);
    if (own || known) return own;
  } else if (known && !(*this)(o)) {
    return false;
  }
  // Nothing of the interpreter's may run while the caller holds the
  // record borrowed.
  return py::dict_get_plain(d, a, va) && py::dict_get_plain(d, b, vb);
}

bool own_encap_lists(PyObject* group, PyObject* lists[2]) {
  if (!PyInstance_Check(group)) return false;
  // The group holds neither operation itself (a small dict is read whole,
  // a key that may equal their names counting as one), and its class has
  // both.
  PyObject *dict = py::instance_dict(group), *own_l3, *own_l2;
  PyObject *get_l3 = ID("get_l3_linux_encaps"), *get_l2 = ID("get_l2_linux_encaps");
  PyObject *l3 = ID("l3_encaps"), *l2 = ID("l2_encaps");
  bool plain = true;
  lists[0] = lists[1] = nullptr;
  if (py::each_small_entry(dict, [&](PyObject* k, PyObject* v) {
        if (k == l3) {
          lists[0] = v;
        } else if (k == l2) {
          lists[1] = v;
        } else if (k == get_l3 || k == get_l2 || !PyString_CheckExact(k) ||
                   (!PyString_CHECK_INTERNED(k) &&
                    (_PyString_Eq(k, get_l3) || _PyString_Eq(k, get_l2)))) {
          plain = false;
        }
        return plain;
      })) {
    if (!plain) return false;
  } else if (!py::dict_get_plain(dict, get_l3, own_l3) || own_l3 ||
             !py::dict_get_plain(dict, get_l2, own_l2) || own_l2 ||
             !py::dict_get_plain(dict, l3, lists[0]) || !py::dict_get_plain(dict, l2, lists[1])) {
    return false;
  }
  PyObject* cls = py::instance_class(group);
  return py::own_op(cls, get_l3, replication_group_l3) &&
         py::own_op(cls, get_l2, replication_group_l2) && lists[0] &&
         PyList_CheckExact(lists[0]) && lists[1] && PyList_CheckExact(lists[1]);
}

EncapNames::EncapNames() : own_(ID("encap2swp"), encap_encap2swp) {}

bool EncapNames::long_name(PyObject* port, long vlan, string_view& name) {
  char digits[24];
  long_.assign(py::as_view(port)).append(1, '.').append(py::decimal(vlan, digits));
  name = long_;
  return true;
}

RecordMaker::RecordMaker(Record kind)
    : kind_(kind), cls_(global(class_name(kind))), direct_(false) {
  if (PyClass_Check(cls_.get())) {
    direct_ = !py::class_sets_attrs(cls_) && py::own_op(cls_, ID("__init__"), init_of(kind));
  }
}

py::Ref RecordMaker::operator()(PyObject* a, PyObject* b, PyObject* c, PyObject* d,
                                PyObject* e) const {
  if (!direct_) return py::Ref::steal(PyObject_CallFunctionObjArgs(cls_, a, b, c, d, e, nullptr));
  // A route's record holds eight attributes: sized for them at once, its
  // dict is not grown twice over.
  py::Ref dict = kind_ == Record::hmroute ? py::Ref::steal(_PyDict_NewPresized(8)) : py::dict();
  PyObject* args[] = {a, b, c, d, e};
  fill(
      kind_, [&dict](PyObject* name, PyObject* v) { py::dict_set(dict, name, v); }, args);
  return py::Ref::steal(PyInstance_NewRaw(cls_, dict));
}

const py::ImplTable record_impls = {
    {"PortmapEntry.__init__", init_of(Record::portmap_entry)},
    {"PortmapEntry.update_port_vid", portmap_entry_update_port_vid},
    {"PortmapEntry.__str__", portmap_entry_str},
    {"VlanXlate.__init__", init_of(Record::vlan_xlate)},
    {"VlanXlate.__str__", vlan_xlate_str},
    {"VlanEntry.__init__", init_of(Record::vlan_entry)},
    {"VlanEntry.__str__", vlan_entry_str},
    {"Encap.__init__", init_of(Record::encap)},
    {"Encap.__str__", encap_str},
    {"Encap.encap2swp", encap_encap2swp},
    {"ReplicationGroup.__init__", init_of(Record::replication_group)},
    {"ReplicationGroup.__str__", replication_group_str},
    {"ReplicationGroup.get_l3_linux_encaps", replication_group_l3},
    {"ReplicationGroup.get_l2_linux_encaps", replication_group_l2},
    {"Hmroute.__init__", init_of(Record::hmroute)},
    {"Hmroute.__str__", hmroute_str},
};

}  // namespace murchet
