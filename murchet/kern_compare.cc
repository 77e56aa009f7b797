// Kernel interfaces turned into switch ports, the incoming interface in the
// chip's numbering, and the comparison of a kernel route with the chip's.
#include "asic.h"
#include "flatmap.h"
#include "kern.h"
#include "text.h"

#include <algorithm>
#include <optional>

namespace murchet {
namespace kern {
namespace {

// Each group's operations, for py::own_ops.
struct GroupOps {
  py::OwnOpEntry entries[8];
  size_t n = 0;
  GroupOps(std::initializer_list<const Op*> ops) {
    for (const Op* o : ops) entries[n++] = {o->name(), o->impl};
  }
};

template <Group G>
bool each_own(PyObject* self) {
  static const GroupOps ops =
      G == Group::facts
          ? GroupOps{&op::kern_base_dev_kind_get, &op::kern_dev_cache_get, &op::kern_get_dev_vlan,
                     &op::kern_get_vlan_and_atlink, &op::kern_dev_vlan_filtering_get}
      : G == Group::bridge
          ? GroupOps{&op::expand_kern_bridge,
                     &op::grp_ip2mac,
                     &op::expand_kern_vlan_aware_bridge,
                     &op::expand_kern_vlan_unaware_bridge,
                     &op::kern_dev_get_mdb_entry,
                     &op::kern_get_vlan_members,
                     &op::kern_get_br_members}
      : G == Group::kind ? GroupOps{&op::kern_dev_kind_get}
                         : GroupOps{&op::expand_kern_bond};
  return py::own_ops(self, ops.entries, ops.n);
}

}  // namespace

bool group_own(PyObject* self, Group group) {
  static bool (*const work[])(PyObject*) = {
      nullptr, each_own<Group::facts>, each_own<Group::bridge>, each_own<Group::kind>,
      each_own<Group::bond>};
  return py::Run::once(self, work[static_cast<int>(group)]);
}

void add_traceback(PyObject* self, const Op& op) {
  py::Operation method(self, op.name(), op.impl);
  if (method.own()) method.traced([]() -> int { throw py::Raised(); });
}

namespace {

// Adds each member's switch-port name to `out` (self.tmp_encaps): "%s.%d"
// of the member and `vlan` when `suffix`, else "%s" of the member.
void add_members(PyObject* out, PyObject* members, bool suffix, PyObject* vlan) {
  if (PyList_CheckExact(members) && Py_TYPE(out) == &PySet_Type) {
    for (Py_ssize_t i = 0; py::tick(), i < PyList_GET_SIZE(members); ++i) {
      py::Ref m = py::Ref::borrow(PyList_GET_ITEM(members, i));
      py::check(PySet_Add(out, suffix ? tagged(m, vlan).get() : text_of(m).get()));
    }
    return;
  }
  py::Ref it = py::iter(members);
  while (py::Ref m = py::next(it)) add_to(out, suffix ? tagged(m, vlan) : text_of(m));
}

// kind in self._devs_supported: a tuple of texts (the class's, unless the
// object holds one of its own) is searched here, as the operator would.
bool supported(PyObject* self, PyObject* kind) {
  py::Ref devs = py::plain_attr(self, ID("_devs_supported"));
  if (PyTuple_CheckExact(devs.get()) && PyString_CheckExact(kind)) {
    Py_ssize_t i = 0, n = PyTuple_GET_SIZE(devs.get());
    for (; i < n; ++i) {
      PyObject* d = PyTuple_GET_ITEM(devs.get(), i);
      if (!PyString_CheckExact(d)) break;
      if (py::same_text(d, kind)) return true;
    }
    if (i == n) return false;
  }
  return py::contains(devs, kind);
}

}  // namespace

// ---- expansion into switch ports -------------------------------------------

namespace {

// The expansions of one operation call (_expand_kern_dev's, or those of one
// comparison): the object's group findings, and the group MAC of the last
// group address, made once for all while _grp_ip2mac is the module's own
// (which answers the same text for the same address every time).
class Expansion {
 public:
  explicit Expansion(PyObject* self) : groups(self) {}
  Groups groups;

  // self._grp_ip2mac(grp), where the object's bridge operations are its own.
  py::Ref own_mac(PyObject* grp) {
    if (grp != grp_.get() || !mac_ || !PyString_CheckExact(grp)) {
      mac_ = traced(groups.self(), op::grp_ip2mac, [&] { return grp_ip2mac(grp); });
      grp_ = py::Ref::borrow(grp);
    }
    return mac_;
  }

 private:
  py::Ref grp_, mac_;
};

// The ports that joined the group (the database entry's), or where the
// database has no entry and misses are flooded, self.<members>(of): the
// ports of the whole bridge or bridge VLAN; else none.
py::Ref joined_or_flooded(Groups& g, PyObject* entry, const Op& members, PyObject* of) {
  if (py::is_true(entry)) return py::plain_attr(entry, ID("swp"));
  if (py::truth(py::plain_attr(g.self(), ID("flood_mdb_misses")))) return run_op(g, members, of);
  return py::list();
}

// The bodies of _expand_kern_vlan_aware_bridge, _expand_kern_vlan_unaware_bridge
// and _expand_kern_bridge.
py::Ref vlan_aware_members(Groups& g, PyObject* grp_mac, PyObject* dev, PyObject* vlan) {
  py::Ref entry = run_op(g, op::kern_dev_get_mdb_entry, dev, vlan, grp_mac);
  return joined_or_flooded(g, entry, op::kern_get_vlan_members, vlan);
}

py::Ref vlan_unaware_members(Groups& g, PyObject* grp_mac, PyObject* dev) {
  py::Ref entry = run_op(g, op::kern_dev_get_mdb_entry, dev, minus_one(), grp_mac);
  return joined_or_flooded(g, entry, op::kern_get_br_members, dev);
}

py::Ref bridge_members(Expansion& x, PyObject* vlan_filtering, PyObject* grp, PyObject* dev,
                       PyObject* vlan) {
  Groups& g = x.groups;
  PyObject* self = g.self();
  bool own = g.own(Group::bridge);
  py::Ref grp_mac = own ? x.own_mac(grp) : run_op(g, op::grp_ip2mac, grp);
  if (py::truth(vlan_filtering))
    return run_body(
        self, own, op::expand_kern_vlan_aware_bridge,
        [&] { return vlan_aware_members(g, grp_mac, dev, vlan); }, grp_mac, dev, vlan);
  return run_body(
      self, own, op::expand_kern_vlan_unaware_bridge,
      [&] { return vlan_unaware_members(g, grp_mac, dev); }, grp_mac, dev);
}

// _expand_kern_dev's body.
void expand_dev(Expansion& x, PyObject* grp, PyObject* orig_dev, PyObject* parent_vlan) {
  Groups& g = x.groups;
  PyObject* self = g.self();
  py::Ref base[3];
  base_dev_kind(g, orig_dev, parent_vlan, base);
  PyObject *kind = base[0], *dev = base[1], *vlan = base[2];
  if (!supported(self, kind)) return;
  if (eq(kind, ID("bridge"))) {
    py::Ref vf = dev_vlan_filtering(g, dev);
    py::Ref members = run_body(
        self, g.own(Group::bridge), op::expand_kern_bridge,
        [&] { return bridge_members(x, vf, grp, dev, vlan); }, vf, grp, dev, vlan);
    add_members(py::plain_attr(self, ID("tmp_encaps")), members, py::truth(vf), vlan);
  } else if (eq(kind, ID("bond"))) {
    py::Ref members = run_op(g, op::expand_kern_bond, dev);
    add_members(py::plain_attr(self, ID("tmp_encaps")), members, !eq(vlan, minus_one()), vlan);
  } else if (eq(kind, ID("swp"))) {
    bool plain = eq(vlan, minus_one());
    add_to(py::plain_attr(self, ID("tmp_encaps")), plain ? text_of(dev) : tagged(dev, vlan));
  }
}

}  // namespace

py::Ref expand_kern_dev(py::Args a) {
  Expansion x(a[0]);
  expand_dev(x, a[1], a[2], a[3]);
  return {};
}

py::Ref expand_kern_bridge(py::Args a) {
  Expansion x(a[0]);
  return bridge_members(x, a[1], a[2], a[3], a[4]);
}

py::Ref expand_kern_vlan_aware_bridge(py::Args a) {
  Groups g(a[0]);
  return vlan_aware_members(g, a[1], a[2], a[3]);
}

py::Ref expand_kern_vlan_unaware_bridge(py::Args a) {
  Groups g(a[0]);
  return vlan_unaware_members(g, a[1], a[2]);
}

// ---- incoming interface and RIOT --------------------------------------------

py::Ref hw_vlan_to_iif(py::Args a) {
  PyObject *self = a[0], *iif_vlan = a[1];
  static PyObject* const zero = py::integer(0).release();
  int below = PyInt_CheckExact(iif_vlan) ? PyInt_AS_LONG(iif_vlan) < 0
                                         : PyObject_RichCompareBool(iif_vlan, zero, Py_LT);
  py::check(below);
  if (below) return {};
  if (!py::truth(py::plain_attr(self, ID("riot_enable")))) return py::Ref::borrow(iif_vlan);
  py::Ref memo = py::plain_attr(self, ID("vlan_riot"));
  if (has(memo, iif_vlan)) return py::item(memo, iif_vlan);
  py::Ref gettable = py::attr(py::plain_attr(self, ID("bcm")), ID("gettable"));
  py::Ref args = py::tuple({py::plain_attr(self, ID("vlan_riot_memtable")).get()});
  py::Ref kw = py::dict();
  py::dict_set(kw, ID("fields"), Py_True);
  py::dict_set(kw, ID("start"), iif_vlan);
  py::Ref one = py::integer(1);
  py::dict_set(kw, ID("entries"), one);
  py::Ref entry = py::item(py::call_kw(gettable, args, kw), Py_ssize_t(0));
  py::Ref l3_iif = py::item(entry, ID("L3_IIF"));
  py::setitem(memo, iif_vlan, l3_iif);
  return l3_iif;
}

py::Ref kern_iif_to_hw_vlan(py::Args a) {
  PyObject *self = a[0], *base_kind = a[1], *iif_vlan = a[3], *member = a[4];
  if (eq(base_kind, ID("bridge")) && !eq(iif_vlan, minus_one())) return py::Ref::borrow(iif_vlan);
  if (!py::truth(member)) return py::Ref::borrow(minus_one());
  py::Ref port, tag = py::Ref::borrow(minus_one());
  if (PyString_CheckExact(member)) {
    string_view text = py::as_view(member);
    size_t dot = text.find('.');
    port = dot == string_view::npos ? py::Ref::borrow(member) : py::str(text.substr(0, dot));
    if (dot != string_view::npos) {
      size_t end = text.find('.', dot + 1);
      tag = to_int(text.substr(dot + 1, end == string_view::npos ? end : end - dot - 1));
    }
  } else {
    py::Ref parts = py::callm(member, ID("split"), ID("."));
    port = py::item(parts, Py_ssize_t(0));
    if (py::length(parts) >= 2) tag = int_of(py::item(parts, Py_ssize_t(1)));
  }
  py::Ref lp_pvid[2];
  call_unpacked(self, op::get_logical_port_and_pvid, 2, logical_port_and_pvid, lp_pvid, port);
  if (eq(tag, minus_one())) return lp_pvid[1];
  py::Operation evid2ivid_of(self, op::evid2ivid.name(), op::evid2ivid.impl);
  return evid2ivid_of.rendered([&] { return evid2ivid(self, lp_pvid[0], tag); }, lp_pvid[0], tag);
}

// ---- comparison and dumps -----------------------------------------------------

bool write_dump(py::StrBuilder& out, PyObject* self, PyObject* mroute, TextForms& forms,
                GroupTexts* texts) {
  size_t mark = out.size();
  if (!write_hmroute(out, mroute, forms)) return false;
  out += "\n";
  py::Ref grp = forms.attr(mroute, ID("grp"));
  // While nothing but this module runs, a group number of a plain int finds
  // the same group, unchanged, every time: its text is the one kept.
  const unsigned long notes = forms.notes();
  if (!PyInt_CheckExact(grp.get())) texts = nullptr;
  if (texts) {
    auto known = texts->find(PyInt_AS_LONG(grp.get()));
    if (known != texts->end() && known->second.notes == notes) {
      out.append_own(known->second.at, known->second.size);
      return true;
    }
  }
  py::Ref groups = forms.attr(self, ID("replication_groups"));
  py::Ref group;
  PyObject* found;
  if (PyDict_CheckExact(groups.get()) && py::dict_get_plain_int(groups, grp, found)) {
    group = py::Ref::borrow(found);
  } else {
    forms.note_code();  // a key's __eq__, a mapping's own get
    group = get(groups, grp);
  }
  size_t at = out.size();
  if (group && forms.true_group(group) && !write_group(out, group, forms)) {
    out.cut(mark);
    return false;
  }
  if (texts && forms.notes() == notes)
    (*texts)[PyInt_AS_LONG(grp.get())] = GroupText{at, out.size() - at, notes};
  return true;
}

py::Ref dump_one_mroute(py::Args a) {
  PyObject *self = a[0], *mroute = a[1];
  py::StrBuilder direct;
  TextForms forms;
  if (write_dump(direct, self, mroute, forms)) return direct.finish();
  py::Ref text = percent(ID("%s\n"), {mroute});
  py::Ref group = get(py::plain_attr(self, ID("replication_groups")),
                      py::plain_attr(mroute, ID("grp")));
  if (group && py::is_true(group)) text = concat(text, percent(ID("%s"), {group}));
  return text;
}

namespace {

// The group address of a route key: the third of self._key_to_sip_dip(key),
// picked from a byte text directly while the operation is the module's own.
py::Ref group_address(PyObject* self, PyObject* key) {
  py::Operation split(self, op::key_to_sip_dip.name(), op::key_to_sip_dip.impl);
  if (split.own() && PyString_Check(key)) return split.traced([&] { return key_group(key); });
  py::Ref parts[3];
  py::unpack(split(key), 3, parts);
  return parts[2];
}

// Whether `a - b` holds anything; two sets are compared without making the
// difference.
bool has_more(PyObject* a, PyObject* b) {
  if (!PyAnySet_CheckExact(a) || !PyAnySet_CheckExact(b))
    return py::truth(py::Ref::steal(PyNumber_Subtract(a, b)));
  Py_ssize_t pos = 0;
  PyObject* key;
  long hash;
  while (_PySet_NextEntry(a, &pos, &key, &hash)) {
    py::Ref held = py::Ref::borrow(key);
    int in = PySet_Contains(b, held);
    py::check(in);
    if (!in) return true;
  }
  return false;
}

py::Ref new_set() { return py::Ref::steal(PySet_New(nullptr)); }

// Whether the `n` bytes at `a` and at `b` are alike; those of a short
// name compared in words.
bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8 && n <= 16)
    return load_word(a) == load_word(b) && load_word(a + n - 8) == load_word(b + n - 8);
  if (n >= 4 && n < 8)
    return load_half(a) == load_half(b) && load_half(a + n - 4) == load_half(b + n - 4);
  return std::memcmp(a, b, n) == 0;
}

// The names of a set of texts, each marked when found.
class NameTable {
 public:
  // Calls each(key) for each key of `set`, an exact set or frozenset, until
  // it answers false; answers whether none did.  A set that holds no
  // deleted slots is read straight from its table.
  template <class F>
  static bool each_key(PyObject* set, const F& each) {
    auto* so = reinterpret_cast<PySetObject*>(set);
    if (so->fill == so->used) {
      for (Py_ssize_t i = 0; i <= so->mask; ++i)
        if (PyObject* key = so->table[i].key)
          if (!each(key)) return false;
      return true;
    }
    Py_ssize_t pos = 0;
    PyObject* key;
    long hash;
    while (_PySet_NextEntry(set, &pos, &key, &hash))
      if (!each(key)) return false;
    return true;
  }

  // Whether `set`, an exact set or frozenset, holds texts only.
  static bool texts_only(PyObject* set) {
    return each_key(set, [](PyObject* key) { return PyString_CheckExact(key); });
  }

  // Takes the names of `set`, an exact set or frozenset; false where it
  // holds anything but texts.
  bool fill(PyObject* set) {
    size_t size = 8;
    while (size < 2 * size_t(PySet_GET_SIZE(set))) size *= 2;
    Storage& s = storage_;
    if (s.slots.size() < size) s.slots.resize(size);
    if (++s.mark == 0) {  // every mark used: the slots are cleared once
      for (Slot& slot : s.slots) slot.mark = 0;
      s.mark = 1;
    }
    mask_ = size - 1;
    names_ = found_ = 0;
    return each_key(set, [this, &s](PyObject* key) {
      if (!PyString_CheckExact(key)) return false;
      const char* at = PyString_AS_STRING(key);
      size_t n = size_t(PyString_GET_SIZE(key)), h = TextHash()(string_view(at, n));
      size_t i = h & mask_;
      while (s.slots[i].mark == s.mark) i = (i + 1) & mask_;
      s.slots[i] = {h, at, n, s.mark, false};
      ++names_;
      return true;
    });
  }

  // Marks `name` found; false where the set does not hold it.
  bool find(string_view name) {
    Storage& s = storage_;
    size_t h = TextHash()(name);
    for (size_t i = h & mask_; s.slots[i].mark == s.mark; i = (i + 1) & mask_) {
      Slot& slot = s.slots[i];
      if (slot.hash == h && slot.size == name.size() &&
          same_bytes(slot.at, name.data(), name.size())) {
        if (!slot.found) ++found_;
        return slot.found = true;
      }
    }
    return false;
  }

  // Whether a name of the set was never found.
  bool unfound() const { return found_ < names_; }

 private:
  // A slot is taken in the current filling where it bears its mark.
  struct Slot {
    size_t hash = 0;
    const char* at = nullptr;
    size_t size = 0;
    uint32_t mark = 0;
    bool found = false;
  };
  struct Storage {
    std::vector<Slot> slots;
    uint32_t mark = 0;
  };
  // The storage of earlier comparisons is reused, unless a comparison still
  // holds it (one nested in code that the first one ran): then a table of
  // its own serves.
  static Storage& shared() {
    static Storage storage;
    return storage;
  }
  static bool& shared_busy() {
    static bool busy = false;
    return busy;
  }
  struct Claim {
    bool shared = !shared_busy();
    Claim() { shared_busy() = true; }
    ~Claim() {
      if (shared) shared_busy() = false;
    }
  } claim_;
  Storage own_;
  Storage& storage_ = claim_.shared ? shared() : own_;
  size_t mask_ = 0, names_ = 0, found_ = 0;
};

// Whether the chip's names (those of the encaps in `list`; none for null)
// and the kernel's set hold names the other does not: `more[0]` the chip's,
// `more[1]` the kernel's.  False where the set is not a set of texts, or an
// encap's own operation must name it, or a turn over the encaps handled
// signals (whose handlers may have changed the lists, held borrowed here).
bool compare_names(PyObject* list, EncapNames& names, NameTable& table, PyObject* kernel,
                   bool more[2]) {
  if (!PyAnySet_CheckExact(kernel)) return false;
  more[0] = false;
  if (!list || PyList_GET_SIZE(list) == 0) {
    more[1] = PySet_GET_SIZE(kernel) > 0;
    return NameTable::texts_only(kernel);
  }
  if (!table.fill(kernel)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    if (py::tick()) return false;
    string_view name;
    if (!names.name(PyList_GET_ITEM(list, i), name)) return false;
    if (!table.find(name)) more[0] = true;
  }
  more[1] = table.unfound();
  return true;
}

// The four set differences of a comparison (hw L3 less kernel L3, kernel L3
// less hw L3, the same for L2), each whether it holds anything, worked out
// directly from the group's records (`group` null: none found) where it and
// the kernel sets are plain; false where the group's operations must make
// the chip's sets.
bool differences(PyObject* group, PyObject* kernel_l3, PyObject* kernel_l2, bool more[4]) {
  PyObject* lists[2] = {nullptr, nullptr};
  if (group && !own_encap_lists(group, lists)) return false;
  // One comparison at a time: nothing here calls back into the interpreter.
  NameTable table;
  EncapNames names;
  return compare_names(lists[0], names, table, kernel_l3, more) &&
         compare_names(lists[1], names, table, kernel_l2, more + 2);
}

}  // namespace

py::Ref mroute_eq(py::Args a) {
  PyObject *self = a[0], *key = a[1], *iif = a[2], *oil = a[3];
  py::Run run(self);
  py::Ref grp = group_address(self, key);
  py::Ref route = get(py::plain_attr(self, ID("mroutes")), key);
  if (!route || !py::is_true(route)) return py::boolean(true);

  // _expand_kern_dev(grp, dev), its VLAN left to the default: the body run
  // here while the operation is the module's own, with the default the
  // call takes (held: the expansion may run code that replaces the
  // function's defaults).
  py::Operation expand_op(self, op::expand_kern_dev.name(), expand_kern_dev);
  Expansion expansion(self);
  auto expand = [&](PyObject* dev) {
    py::Ref vlan = py::Ref::borrow(expand_op.own() ? expand_op.default_of(3) : nullptr);
    if (vlan)
      expand_op.traced([&] { expand_dev(expansion, grp, dev, vlan); });
    else
      py::call_op(self, op::expand_kern_dev.name(), grp, dev);
  };

  py::Ref kernel_l2 = new_set();
  py::Ref base[3];
  base_dev_kind(expansion.groups, iif, nullptr, base);
  py::setattr_direct(self, ID("tmp_encaps"), new_set());
  expand(iif);
  if (eq(base[0], ID("bridge"))) {
    kernel_l2 = new_set();
    py::Ref it = py::iter(py::plain_attr(self, ID("tmp_encaps")));
    while (py::Ref name = py::next(it)) py::check(PySet_Add(kernel_l2, port_of(name)));
  }
  py::Ref encaps = py::plain_attr(self, ID("tmp_encaps"));
  // (A frozenset, or any other object, is asked for its own pop.)
  py::Ref member = !py::truth(encaps)                     ? py::Ref::borrow(ID(""))
                   : Py_TYPE(encaps.get()) == &PySet_Type ? py::Ref::steal(PySet_Pop(encaps))
                                                          : py::callm(encaps, ID("pop"));
  py::Ref hw_vlan = py::call_op(self, op::kern_iif_to_hw_vlan.name(), base[0], base[1], base[2],
                                member);
  py::Ref hw_iif = py::call_op(self, op::hw_vlan_to_iif.name(), hw_vlan);
  if (ne(hw_iif, py::plain_attr(route, ID("iif"))))
    append_to(py::plain_attr(route, ID("iif_mismatch")), ID("kernel IIF does not match hw IIF"));

  py::Ref kernel_l3 = new_set();
  py::Ref oifs = py::iter(oil);
  while (py::Ref oif = py::next(oifs)) {
    if (eq(oif, iif)) continue;
    py::setattr_direct(self, ID("tmp_encaps"), new_set());
    expand(oif);
    kernel_l3 = py::Ref::steal(
        PyNumber_InPlaceOr(kernel_l3, py::plain_attr(self, ID("tmp_encaps"))));
  }

  py::Ref group = get(py::plain_attr(self, ID("replication_groups")),
                      py::plain_attr(route, ID("grp")));
  bool found = group && py::is_true(group);
  py::Ref oil_mismatch = py::plain_attr(route, ID("oil_mismatch"));
  PyObject* const texts[] = {
      ID("hw has OIFs not in the kernel"),
      ID("kernel has OIFs not in the hw"),
      ID("hw has L2-OIFs not in the kernel"),
      ID("kernel has L2-OIFs not in the hw"),
  };
  bool more[4];
  if (differences(found ? group.get() : nullptr, kernel_l3, kernel_l2, more)) {
    for (int i = 0; i < 4; ++i)
      if (more[i]) append_to(oil_mismatch, texts[i]);
  } else {
    py::Ref hw_l3 = found ? py::callm(group, ID("get_l3_linux_encaps")) : new_set();
    py::Ref hw_l2 = found ? py::callm(group, ID("get_l2_linux_encaps")) : new_set();
    PyObject* const sets[][2] =
        {{hw_l3, kernel_l3}, {kernel_l3, hw_l3}, {hw_l2, kernel_l2}, {kernel_l2, hw_l2}};
    for (int i = 0; i < 4; ++i)
      if (has_more(sets[i][0], sets[i][1])) append_to(oil_mismatch, texts[i]);
  }

  if (py::truth(py::plain_attr(route, ID("iif_mismatch")))) return py::boolean(false);
  if (py::truth(oil_mismatch)) return py::boolean(false);
  return py::boolean(true);
}

namespace {

// sorted(mapping): a list of its keys, in order.  Texts are put in order
// here, as the interpreter orders them (bytes, then length); anything else
// is sorted by the interpreter.
py::Ref sorted_keys(PyObject* mapping) {
  py::Ref keys = py::list_of(mapping);
  Py_ssize_t n = PyList_GET_SIZE(keys.get());
  std::vector<std::pair<string_view, PyObject*>> order;
  order.reserve(size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    if (!PyString_CheckExact(key)) {
      py::check(PyList_Sort(keys));
      return keys;
    }
    order.emplace_back(py::as_view(key), key);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // The same keys, rearranged: each still held once by the list.
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(keys.get(), i, order[size_t(i)].second);
  return keys;
}

}  // namespace

py::Ref asic_str(py::Args a) {
  PyObject* self = a[0];
  py::Run run(self);
  py::Operation dump(self, ID("_dump_one_mroute"), dump_one_mroute);
  py::Ref mroutes = py::attr(self, ID("mroutes"));
  py::Ref keys = sorted_keys(mroutes);
  // The texts written directly gather in `text`; one the interpreter made
  // (perhaps unicode) joins them as a piece of its own.
  // Room for routes of a few hundred bytes each, asked for at once rather
  // than doubled time and again: pages left unwritten cost nothing.
  py::StrBuilder text(64 + size_t(PyList_GET_SIZE(keys.get())) * 512);
  text += "Asic ip mroutes:\n";
  // A group's text, written for the first route of its group number, is
  // copied for the others while nothing else runs.
  GroupTexts groups;
  std::optional<TextForms> forms(std::in_place);
  py::Ref pieces = py::list();
  // (The keys' count read at every turn, after its tick(): the routes' code
  // may change the list.)
  for (Py_ssize_t i = 0; py::tick(), i < PyList_GET_SIZE(keys.get()); ++i) {
    py::Ref key = py::Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    const unsigned long notes = forms->notes();
    py::Ref route;
    PyObject* found;
    if (PyDict_CheckExact(mroutes.get()) && py::dict_get_plain(mroutes, key, found) && found) {
      route = py::Ref::borrow(found);
    } else {
      forms->note_code();
      route = py::item(mroutes, key);
    }
    if (dump.own() &&
        dump.traced([&] { return write_dump(text, self, route, *forms, &groups); })) {
      if (forms->notes() != notes) {
        // Code ran for this route: it may have left this hold the route's
        // last, whose end runs more.
        route = py::Ref();
        forms->note_code();
      }
      continue;
    }
    py::Ref piece = dump(route);
    // The route's own code may have changed a group, or a class.
    groups.clear();
    forms.emplace();
    if (PyString_CheckExact(piece.get())) {
      text.append(py::as_view(piece));
      continue;
    }
    py::append(pieces, text.finish());
    py::append(pieces, piece);
  }
  if (PyList_GET_SIZE(pieces.get()) == 0) return text.finish();
  py::append(pieces, text.finish());
  return py::callm(ID(""), ID("join"), pieces);
}

py::Ref get_mroutes(py::Args a) { return py::set_of(py::attr(a[0], ID("mroutes"))); }

py::Ref dump_mroutes(py::Args a) {
  PyObject *self = a[0], *filter = a[1];
  py::Run run(self);
  auto write = [&](PyObject* route) {
    py::Ref text = percent(ID("%s"), {py::call_op(self, op::dump_one_mroute.name(), route).get()});
    py::callm(py::attr(global(ID("sys")), ID("stdout")), ID("write"), text);
  };
  if (!py::truth(filter)) {
    py::Ref keys = sorted_keys(py::plain_attr(self, ID("mroutes")));
    py::Ref it = py::iter(keys);
    while (py::Ref key = py::next(it)) write(py::item(py::plain_attr(self, ID("mroutes")), key));
    return {};
  }
  py::Ref it = py::iter(filter);
  while (py::Ref key = py::next(it)) {
    py::Ref route = get(py::plain_attr(self, ID("mroutes")), key);
    if (route && py::is_true(route)) write(route);
  }
  return {};
}

}  // namespace kern
}  // namespace murchet
