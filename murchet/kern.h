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
// calling `each` per line; an IOError on the way is dropped, keeping what
// was read.  Answers false when the open itself failed with IOError.
bool read_lines_impl(PyObject* path, void (*each)(void*, PyObject*), void* ctx);
template <class F>
bool read_lines(PyObject* path, F each) {
  return read_lines_impl(
      path, [](void* c, PyObject* line) { (*static_cast<F*>(c))(line); }, &each);
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
// earlier route, is copied from where it was written in `out`; the groups
// written (or found not to be shown) are noted in it.  That holds while
// nothing but this module runs.
struct GroupText {
  size_t at, size;  // size 0: no group shown
};
using GroupTexts = std::unordered_map<long, GroupText>;
bool write_dump(py::StrBuilder& out, PyObject* self, PyObject* mroute, TextForms& forms,
                GroupTexts* texts = nullptr);
py::Ref mroute_eq(py::Args a);
py::Ref get_mroutes(py::Args a);
py::Ref dump_mroutes(py::Args a);


// ---- the object's operations, called through the object ------------------------

// An operation of the object that the kernel side calls: its name and this
// module's implementation.  A step (`step` set) is one of the operations
// that the expansion of a device goes through, listed in `steps` below.
struct Op {
  const char* text;
  py::Impl impl;
  bool step;
  mutable PyObject* interned;
  PyObject* name() const { return interned ? interned : py::intern_once(interned, text); }
};

namespace op {
// The Op `name`, called "_name" through the object: a step or not.
#define MURCHET_STEP(name, impl) inline const Op name{"_" #name, impl, true, nullptr};
#define MURCHET_OP(name, impl) inline const Op name{"_" #name, impl, false, nullptr};
MURCHET_STEP(kern_base_dev_kind_get, kern::kern_base_dev_kind_get)
MURCHET_STEP(kern_dev_kind_get, kern::kern_dev_kind_get)
MURCHET_STEP(kern_dev_cache_get, kern::kern_dev_cache_get)
MURCHET_STEP(kern_get_dev_vlan, kern::kern_get_dev_vlan)
MURCHET_STEP(kern_get_vlan_and_atlink, kern::kern_get_vlan_and_atlink)
MURCHET_STEP(kern_dev_vlan_filtering_get, kern::kern_dev_vlan_filtering_get)
MURCHET_STEP(expand_kern_dev, kern::expand_kern_dev)
MURCHET_STEP(expand_kern_bridge, kern::expand_kern_bridge)
MURCHET_STEP(grp_ip2mac, grp_ip2mac_op)
MURCHET_STEP(expand_kern_vlan_aware_bridge, kern::expand_kern_vlan_aware_bridge)
MURCHET_STEP(expand_kern_vlan_unaware_bridge, kern::expand_kern_vlan_unaware_bridge)
MURCHET_STEP(kern_dev_get_mdb_entry, kern::kern_dev_get_mdb_entry)
MURCHET_STEP(kern_get_vlan_members, kern::kern_get_vlan_members)
MURCHET_STEP(kern_get_br_members, kern::kern_get_br_members)
MURCHET_STEP(expand_kern_bond, kern::expand_kern_bond)
// Every step, and only those.
inline const Op* const steps[] = {
    &kern_base_dev_kind_get, &kern_dev_kind_get, &kern_dev_cache_get, &kern_get_dev_vlan,
    &kern_get_vlan_and_atlink, &kern_dev_vlan_filtering_get, &expand_kern_dev,
    &expand_kern_bridge, &grp_ip2mac, &expand_kern_vlan_aware_bridge,
    &expand_kern_vlan_unaware_bridge, &kern_dev_get_mdb_entry, &kern_get_vlan_members,
    &kern_get_br_members, &expand_kern_bond,
};

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
#undef MURCHET_STEP
#undef MURCHET_OP
}  // namespace op

// The run of one of the kernel side's operations on `self`: a py::Run that
// also keeps the answer of steps_own (below), asked at first use.  While it
// is the innermost one, steps_own answers from it at the cost of a
// comparison.
class OpRun {
 public:
  explicit OpRun(PyObject* self);
  ~OpRun();
  OpRun(const OpRun&) = delete;
  OpRun& operator=(const OpRun&) = delete;

 private:
  friend bool steps_own(PyObject* self);
  friend bool ask_steps_own(PyObject* self);
  py::Run run_;
  PyObject* self_;
  OpRun* outer_;
  signed char own_ = -1;  // -1: not asked yet
};

// This thread's innermost OpRun.
extern thread_local OpRun* innermost_op_run __attribute__((tls_model("initial-exec")));

// steps_own where the innermost OpRun has no answer for `self`.
bool ask_steps_own(PyObject* self);

// Whether the object has every step as this module made it (no override on
// the instance or in a subclass): found once in a run for the object (see
// py::Run, OpRun), where the steps then call one another directly; outside
// a run, asked afresh.
inline bool steps_own(PyObject* self) {
  OpRun* run = innermost_op_run;
  if (run && run->self_ == self && run->own_ >= 0) return run->own_;
  return ask_steps_own(self);
}

// Adds to the pending error the traceback entry that the call of `op`
// through the object would have added, where its implementation ran here.
void add_traceback(PyObject* self, const Op& op);

// The call of `op` on `self`: `own()` where the object has this module's
// implementation (it renders that implementation, with the arguments the
// call gives it), else `through(method)`, the call through the object.
// The object's override is looked for once per step while steps_own holds,
// else once per call (per run, in a run: see py::Operation).
template <class Own, class Through>
auto dispatch(PyObject* self, const Op& op, const Own& own, const Through& through)
    -> decltype(own()) {
  if (op.step && steps_own(self)) {
    try {
      return own();
    } catch (const py::Raised&) {
      add_traceback(self, op);
      throw;
    }
  }
  py::Operation method(self, op.name(), op.impl);
  if (method.own()) return method.traced(own);
  return through(method);
}

// op's implementation run with the arguments `v` (self first).
inline py::Ref run(const Op& op, PyObject* const* v) {
  py::Ref r = op.impl(py::Args(v));
  if (!r) r = py::none();
  return r;
}

// self.<op>(a...): answered by whatever the object holds under the name (an
// override on the instance or a subclass answers).
template <class... A>
py::Ref call_self(PyObject* self, const Op& op, const A&... a) {
  return dispatch(
      self, op,
      [&] {
        PyObject* v[] = {self, static_cast<PyObject*>(a)...};
        return run(op, v);
      },
      [&](py::Operation& method) { return method(a...); });
}

// self.<op>(a...), the operation's last parameter left to its default,
// `last` (an override may not take it at all).
template <class... A>
py::Ref call_self_default(PyObject* self, const Op& op, PyObject* last, const A&... a) {
  return dispatch(
      self, op,
      [&] {
        PyObject* v[] = {self, static_cast<PyObject*>(a)..., last};
        return run(op, v);
      },
      [&](py::Operation& method) { return method(a...); });
}

// self.<op>(a...) for an operation that answers a tuple of `n` values,
// unpacked into `out`.  The operation's implementation is `body(self, a...,
// out)` with its values made into a tuple; where the object has it, the
// body runs here and no tuple is made.
template <class Body, class... A>
void call_unpacked(PyObject* self, const Op& op, int n, Body body, py::Ref* out, const A&... a) {
  dispatch(
      self, op,
      [&] {
        body(self, a..., out);
        return 0;
      },
      [&](py::Operation& method) {
        py::unpack(method(a...), n, out);
        return 0;
      });
}

}  // namespace kern
}  // namespace murchet
