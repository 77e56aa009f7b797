// The kernel side of the checker: helpers shared by the kernel records, the
// kernel readers, the expansion into switch ports and the route comparison.
#pragma once

#include "asic.h"
#include "murchet.h"

#include <cstring>
#include <string>
#include <unordered_map>

namespace murchet {

namespace kern {

// d.get(key): a new reference or empty, for a dict or any mapping.
py::Ref get(PyObject* d, PyObject* key);
// key in d.
bool has(PyObject* d, PyObject* key);
// d[key] where `key in d`, else empty: a cache's entry.
py::Ref cached(PyObject* d, PyObject* key);

// "%s" % name: a text as it is, anything else as its text form.
py::Ref text_of(PyObject* name);

// text.splitlines() and text.split() through the text's own operations (a
// plain text is split here, as str.split() would).
py::Ref splitlines(PyObject* text);
py::Ref split(PyObject* text);
// list.extend(text.split()).
void add_words(PyObject* list, PyObject* text);

// The text before the first "." of a switch-port name.
py::Ref port_of(PyObject* name);

// True when `name` may name a kernel network device in a sysfs path: not
// empty, not "." or "..", without "/" or NUL.  Other names are not looked
// for under /sys at all.
bool sysfs_name(PyObject* name);

// Reads the lines of a file as the interpreter's `open(path)` gives them,
// calling `each` per line (the py::Lines at that line); an IOError on the
// way is dropped, keeping what was read.  Answers false when the open
// itself failed with IOError.
bool read_lines_impl(PyObject* path, void (*each)(void*, py::Lines&), void* ctx);
template <class F>
bool read_lines(PyObject* path, F each) {
  return read_lines_impl(
      path, [](void* c, py::Lines& line) { (*static_cast<F*>(c))(line); }, &each);
}

// os.path.<fn>(path), with `os` looked up when called.
bool os_path(PyObject* fn, PyObject* path);

// The operations, by file.  Records (kern_records.cc):
py::Ref mdb_entry_init(py::Args a);
py::Ref mdb_entry_add_port(py::Args a);
py::Ref mdb_entry_str(py::Args a);
py::Ref mdb_cache_init(py::Args a);
py::Ref mdb_cache_str(py::Args a);
py::Ref vlan_entry_init(py::Args a);
py::Ref vlan_entry_add_port(py::Args a);
py::Ref vlan_entry_str(py::Args a);
py::Ref vlan_dev_entry_init(py::Args a);
py::Ref vlan_dev_entry_str(py::Args a);
py::Ref dev_entry_init(py::Args a);
py::Ref dev_entry_str(py::Args a);

// Device facts, VLAN and bridge caches, multicast database (kernel.cc):
py::Ref kern_dev_kind_parse(py::Args a);
py::Ref kern_dev_vlan_filtering_parse(py::Args a);
py::Ref kern_dev_cache_get(py::Args a);
py::Ref kern_dev_kind_get(py::Args a);
py::Ref kern_dev_vlan_filtering_get(py::Args a);
py::Ref kern_get_dev_vlan(py::Args a);
py::Ref kern_base_dev_kind_get(py::Args a);
// self._kern_base_dev_kind_get(dev, parent_vlan) unpacked into `out` (kind,
// base device, VLAN); a null `parent_vlan` is left to the default (an
// override may take the device alone).
void base_dev_kind(PyObject* self, PyObject* dev, PyObject* parent_vlan, py::Ref* out);
class Groups;
void base_dev_kind(Groups& g, PyObject* dev, PyObject* parent_vlan, py::Ref* out);
// self._kern_dev_vlan_filtering_get(dev).
py::Ref dev_vlan_filtering(Groups& g, PyObject* dev);
py::Ref kern_create_vlan_dev_cache(py::Args a);
py::Ref kern_get_vlan_and_atlink(py::Args a);
py::Ref expand_kern_bond(py::Args a);
py::Ref kern_create_vlan_cache(py::Args a);
py::Ref kern_get_vlan_members(py::Args a);
py::Ref kern_setup_br_cache(py::Args a);
py::Ref kern_get_br_members(py::Args a);
py::Ref kern_dev_get_mdb_entry(py::Args a);

// Expansion, incoming interface, comparison and dumps (kern_compare.cc):
py::Ref expand_kern_dev(py::Args a);
py::Ref expand_kern_bridge(py::Args a);
py::Ref expand_kern_vlan_aware_bridge(py::Args a);
py::Ref expand_kern_vlan_unaware_bridge(py::Args a);
py::Ref hw_vlan_to_iif(py::Args a);
py::Ref kern_iif_to_hw_vlan(py::Args a);
py::Ref asic_str(py::Args a);
py::Ref dump_one_mroute(py::Args a);
// Appends the text of self._dump_one_mroute(mroute) to `out` where it can be
// written directly (see write_hmroute); false, `out` unchanged, otherwise.
// With `texts`, the group shown for a route's group number, kept from an
// earlier route, is copied from where it was written in `out`, where no
// step that may run code of the interpreter's was noted in `forms` since it
// was written; the groups written (or found not to be shown) by steps that
// ran none are kept in it.
struct GroupText {
  size_t at, size;      // size 0: no group shown
  unsigned long notes;  // TextForms::notes() when it was written
};
using GroupTexts = std::unordered_map<long, GroupText>;
bool write_dump(py::StrBuilder& out, PyObject* self, PyObject* mroute, TextForms& forms,
                GroupTexts* texts = nullptr);
py::Ref mroute_eq(py::Args a);
py::Ref get_mroutes(py::Args a);
py::Ref dump_mroutes(py::Args a);


// ---- the object's operations ------------------------------------------------

// The groups of operations that a comparison goes through again and again,
// each asked once per run (py::Run::once, py::own_ops) whether the object
// overrides any of them; while it overrides none, they call one another
// directly.  A group is small, so that an override of one operation leaves
// the others of other groups direct.
enum class Group : unsigned char {
  none,    // called through py::call_op (or py::Operation) every time
  facts,   // a device's kind, base device and VLAN, as read and cached
  bridge,  // a bridge's ports and multicast database
  kind,    // _kern_dev_kind_get alone, asked for every device
  bond,    // _expand_kern_bond alone
};

// An operation of the object that the kernel side calls (through run_op or
// py::call_op, or py::Operation where it renders the implementation
// itself): its name, this module's implementation and its group.
struct Op {
  const char* text;
  py::Impl impl;
  Group group;
  mutable PyObject* interned;
  PyObject* name() const { return interned ? interned : py::intern_once(interned, text); }
};

namespace op {
// The Op `name`, called "_name" through the object, of a group or none.
#define MURCHET_OP(name, impl) inline const Op name{"_" #name, impl, Group::none, nullptr};
#define MURCHET_IN(group, name, impl) inline const Op name{"_" #name, impl, Group::group, nullptr};
MURCHET_IN(facts, kern_base_dev_kind_get, kern::kern_base_dev_kind_get)
MURCHET_IN(kind, kern_dev_kind_get, kern::kern_dev_kind_get)
MURCHET_IN(facts, kern_dev_cache_get, kern::kern_dev_cache_get)
MURCHET_IN(facts, kern_get_dev_vlan, kern::kern_get_dev_vlan)
MURCHET_IN(facts, kern_get_vlan_and_atlink, kern::kern_get_vlan_and_atlink)
MURCHET_IN(facts, kern_dev_vlan_filtering_get, kern::kern_dev_vlan_filtering_get)
MURCHET_OP(expand_kern_dev, kern::expand_kern_dev)
MURCHET_IN(bridge, expand_kern_bridge, kern::expand_kern_bridge)
MURCHET_IN(bridge, grp_ip2mac, grp_ip2mac_op)
MURCHET_IN(bridge, expand_kern_vlan_aware_bridge, kern::expand_kern_vlan_aware_bridge)
MURCHET_IN(bridge, expand_kern_vlan_unaware_bridge, kern::expand_kern_vlan_unaware_bridge)
MURCHET_IN(bridge, kern_dev_get_mdb_entry, kern::kern_dev_get_mdb_entry)
MURCHET_IN(bridge, kern_get_vlan_members, kern::kern_get_vlan_members)
MURCHET_IN(bridge, kern_get_br_members, kern::kern_get_br_members)
MURCHET_IN(bond, expand_kern_bond, kern::expand_kern_bond)
MURCHET_OP(kern_dev_kind_parse, kern::kern_dev_kind_parse)
MURCHET_OP(kern_dev_vlan_filtering_parse, kern::kern_dev_vlan_filtering_parse)
MURCHET_OP(kern_create_vlan_dev_cache, kern::kern_create_vlan_dev_cache)
MURCHET_OP(kern_create_vlan_cache, kern::kern_create_vlan_cache)
MURCHET_OP(kern_setup_br_cache, kern::kern_setup_br_cache)
MURCHET_OP(kern_iif_to_hw_vlan, kern::kern_iif_to_hw_vlan)
MURCHET_OP(hw_vlan_to_iif, kern::hw_vlan_to_iif)
MURCHET_OP(get_logical_port_and_pvid, logical_port_and_pvid_op)
MURCHET_OP(evid2ivid, evid2ivid_op)
MURCHET_OP(key_to_sip_dip, key_to_sip_dip_op)
MURCHET_OP(dump_one_mroute, kern::dump_one_mroute)
#undef MURCHET_OP
#undef MURCHET_IN
}  // namespace op

// Whether the object overrides none of the operations of `group`: asked
// once in the innermost run for `self`, else afresh.
bool group_own(PyObject* self, Group group);

// The findings of group_own for one operation call on `self`: inside a run
// for it, each group asked once and remembered (the run's finding would not
// change); outside any run, asked afresh at each use, as group_own is.
class Groups {
 public:
  explicit Groups(PyObject* self) : self_(self), in_run_(py::Run::active(self)) {}
  PyObject* self() const { return self_; }
  bool own(Group g) {
    if (!in_run_) return group_own(self_, g);
    signed char& v = known_[static_cast<int>(g)];
    if (v < 0) v = group_own(self_, g);
    return v;
  }
  bool own(const Op& op) { return op.group != Group::none && own(op.group); }

 private:
  PyObject* self_;
  bool in_run_;
  signed char known_[5] = {-1, -1, -1, -1, -1};
};

// Adds to the pending error the traceback entry that the call of `op`
// through the object would have added, where its implementation ran here.
void add_traceback(PyObject* self, const Op& op);

// body(), run here in place of the call of `op` through the object: a
// failure gets the traceback entry that call would have added.
template <class F>
auto traced(PyObject* self, const Op& op, const F& body) -> decltype(body()) {
  try {
    return body();
  } catch (const py::Raised&) {
    add_traceback(self, op);
    throw;
  }
}

// Whether the operations of `op`'s group are the object's own (never for
// an operation of no group).
inline bool own_group(PyObject* self, const Op& op) {
  return op.group != Group::none && group_own(self, op.group);
}

// self.<op>(a...) where the caller has found whether `op`'s group is the
// object's own: `body()` run here (traced) where it is, else py::call_op.
template <class F, class... A>
py::Ref run_body(PyObject* self, bool own, const Op& op, const F& body, const A&... a) {
  if (own) return traced(self, op, body);
  return py::call_op(self, op.name(), a...);
}

// The module's implementation of `op`, called directly with `self` and a...
template <class... A>
py::Ref run_impl(PyObject* self, const Op& op, const A&... a) {
  PyObject* v[] = {self, static_cast<PyObject*>(a)...};
  py::Ref r = op.impl(py::Args(v));
  if (py::is_failed(r)) throw py::Raised();
  return r ? r : py::none();
}

// self.<op>(a...): the implementation run directly where its group is the
// object's own, else py::call_op.
template <class... A>
py::Ref run_op(PyObject* self, const Op& op, const A&... a) {
  return run_body(
      self, own_group(self, op), op, [&] { return run_impl(self, op, a...); }, a...);
}
template <class... A>
py::Ref run_op(Groups& g, const Op& op, const A&... a) {
  return run_body(
      g.self(), g.own(op), op, [&] { return run_impl(g.self(), op, a...); }, a...);
}

// self.<op>(a...) for an operation that answers a tuple of `n` values,
// unpacked into `out`, where the caller has found whether `op`'s group is
// the object's own.  The operation's implementation is `body(self, a...,
// out)` with its values made into a tuple; where the object has it, the
// body runs here and no tuple is made.
template <class Body, class... A>
void call_unpacked(PyObject* self, bool own, const Op& op, int n, Body body, py::Ref* out,
                   const A&... a) {
  if (own) return traced(self, op, [&] { body(self, a..., out); });
  py::Operation method(self, op.name(), op.impl);
  if (method.own())
    method.traced([&] { body(self, a..., out); });
  else
    py::unpack(method(a...), n, out);
}
template <class Body, class... A>
void call_unpacked(PyObject* self, const Op& op, int n, Body body, py::Ref* out, const A&... a) {
  call_unpacked(self, own_group(self, op), op, n, body, out, a...);
}

}  // namespace kern
}  // namespace murchet
