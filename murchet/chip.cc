// Asic, chip side: the constructor and its snapshot of the chip tables,
// read through the chip shell client, and the lookups over the snapshot.
#include "asic.h"
#include "asic_indexes.h"
#include "flatmap.h"
#include "kern.h"
#include "text.h"

#include <array>
#include <cstring>
#include <memory>
#include <optional>

namespace murchet {
namespace {

// The position of the first word equal to `name`, as list.index() finds it.
size_t index_of(const std::vector<string_view>& words, string_view name) {
  for (size_t i = 0; i < words.size(); ++i)
    if (words[i] == name) return i;
  py::raisef(PyExc_ValueError, "'%.*s' is not in list", int(name.size()), name.data());
}

// self.bcm.run(command).  An IOError of the request, and only that, becomes
// RuntimeError(failure); its own message is dropped.
py::Ref shell(PyObject* self, PyObject* command, PyObject* failure) {
  try {
    return py::callm(py::attr(self, ID("bcm")), ID("run"), command);
  } catch (const py::Raised&) {
    if (!py::clear_if(PyExc_IOError)) throw;
    py::raise(PyExc_RuntimeError, failure);
  }
}

// The route key "%s, (%s, %s)" of (vrf, sip, dip).
py::Ref route_key(PyObject* vrf, PyObject* sip, PyObject* dip) {
  if (!PyString_CheckExact(vrf)) return percent(ID("%s, (%s, %s)"), {vrf, sip, dip});
  std::string key;
  string_view v = py::as_view(vrf), s = py::as_view(sip), d = py::as_view(dip);
  key.reserve(v.size() + s.size() + d.size() + 6);
  key.append(v).append(", (").append(s).append(", ").append(d).append(")");
  return py::str(key);
}

// A chip port name as a text.  Port names are interned: the same name read
// from any answer is then one object, which list membership tests and dict
// lookups recognise at once.
py::Ref port_name(string_view s) {
  PyObject* name = PyString_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  if (name) PyString_InternInPlace(&name);
  return py::Ref::steal(name);
}

// The port names of a reader's answer, each made once per reader call.  The
// answer must outlive it.
class Texts {
 public:
  PyObject* operator()(string_view s) {
    py::Ref& v = made_[s];
    if (!v) v = port_name(s);
    return v;
  }

 private:
  FlatMap<string_view, py::Ref, TextHash> made_;
};

// int(text) of a decimal number in a chip table.  The numbers the tables
// repeat (ports, VLANs, interfaces: -1 to 65535) are made once for all
// readers, as the interpreter keeps its small ints: equal numbers are then
// one object, which dict lookups and comparisons recognise at once.
py::Ref number(string_view text) {
  static constexpr long kShared = 65536;
  static auto* shared = new std::vector<PyObject*>(kShared + 1, nullptr);  // -1 .. 65535
  long v;
  if (!decimal_value(text, v)) return to_int(text);
  if (v < -1 || v >= kShared) return py::integer(v);
  PyObject*& made = (*shared)[size_t(v + 1)];
  if (!made) made = py::integer(v).release();  // kept for the life of the process
  return py::Ref::borrow(made);
}

// ---- lookups over the snapshot ------------------------------------------------

py::Ref dport2logical_port_op(py::Args a);
py::Ref parse_vlan_op(py::Args a);
py::Ref parse_vlan(PyObject* self, PyObject* vid);
py::Ref is_port_untagged_for_vid_op(py::Args a);

// The lookups of one operation call or one reader run.  The operations they
// call through the object run here directly while they are the module's
// own.  The lists and the VLAN table are taken from the object on first use
// in the run, and each list is taken as unchanged through the run: what its
// index's lookups have compared of it is not compared again.
class Lookups {
 public:
  explicit Lookups(PyObject* self) : self_(self), indexes_(indexes_of(self)) {
    if (!indexes_) {
      local_ = std::make_unique<Indexes>();
      indexes_ = local_.get();
    }
  }

  py::Ref dport2logical_port(PyObject* dport) {
    // The run takes the port map as unchanged: a name's answer stands.
    std::pair<py::Ref, py::Ref>& known = dports_[reinterpret_cast<uintptr_t>(dport)];
    if (known.first) return known.second;
    py::Ref record = indexes_->by_dport.first(portmap(), &dport, compared_[0]);
    known.second = record ? py::plain_attr(record, ID("logical_port"))
                          : py::Ref::borrow(minus_one());
    known.first = py::Ref::borrow(dport);  // held, so that no other name takes its place
    return known.second;
  }

  py::Ref ivid2evid(PyObject* dport, PyObject* ivid) {
    py::Ref lport = dport2lp_.rendered([&] { return dport2logical_port(dport); }, dport);
    if (eq(lport, minus_one())) return py::Ref::borrow(ivid);
    PyObject* args[] = {lport, ivid};
    py::Ref row = indexes_->xlate_by_ivid.first(vlan_xlate(), args, compared_[1]);
    if (row) return py::plain_attr(row, ID("evid"));
    bool untagged = untagged_.own()
                        ? untagged_.traced([&] { return is_port_untagged_for_vid(dport, ivid); })
                        : py::truth(untagged_(dport, ivid));
    return py::Ref::borrow(untagged ? minus_one() : ivid);
  }

  bool is_port_untagged_for_vid(PyObject* dport, PyObject* vid);

 private:
  PyObject* portmap() {
    if (!portmap_) portmap_ = py::attr(self_, ID("portmap"));
    return portmap_;
  }
  PyObject* vlan_xlate() {
    if (!vlan_xlate_) vlan_xlate_ = py::attr(self_, ID("vlan_xlate"));
    return vlan_xlate_;
  }
  // self.vlans[vid], or empty when `vid in self.vlans` is false.
  py::Ref vlan(PyObject* vid) {
    if (!vlans_) vlans_ = py::attr(self_, ID("vlans"));
    if (PyDict_CheckExact(vlans_.get()) && PyInt_CheckExact(vid))
      return py::Ref::borrow(py::dict_get(vlans_, vid));
    return py::contains(vlans_, vid) ? py::item(vlans_, vid) : py::Ref();
  }

  PyObject* self_;
  Indexes* indexes_;
  std::unique_ptr<Indexes> local_;
  ListIndex::Compared compared_[2];
  static bool interned(PyObject* s) {
    return PyString_CheckExact(s) && PyString_CHECK_INTERNED(s);
  }

  // A VLAN's untagged port names as the run read them, kept when they are
  // all interned names: an interned name is then among them exactly when it
  // is one of them.  The run takes the VLAN table as changed only by the
  // VLAN reader: an entry it stores is read afresh.
  struct Untagged {
    py::Ref entry;  // the VlanEntry read; empty when not kept
    // The names as read, held: none of them ends, and no other name takes
    // its address, while the list is changed by code that runs later.
    std::vector<py::Ref> held;
    unsigned era = 0;
    void read(PyObject* vlan_entry, PyObject* list, unsigned now) {
      entry = py::Ref();
      if (!PyList_CheckExact(list)) return;
      std::vector<py::Ref> all;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* name = PyList_GET_ITEM(list, i);
        if (!interned(name)) return;
        all.push_back(py::Ref::borrow(name));
      }
      held.swap(all);
      entry = py::Ref::borrow(vlan_entry);
      era = now;
    }
    bool has(PyObject* name) const {
      for (const py::Ref& n : held)
        if (n.get() == name) return true;
      return false;
    }
  };

  py::Ref portmap_, vlan_xlate_, vlans_;
  FlatMap<long, Untagged, IntHash> untagged_ports_;  // VLAN -> its untagged ports
  unsigned era_ = 0;  // counts the VLAN readers' replacements whose effect is unknown
  FlatMap<uintptr_t, std::pair<py::Ref, py::Ref>, IntHash> dports_;  // name -> logical port
  py::Operation dport2lp_{self_, ID("_dport2logical_port"), dport2logical_port_op};
  py::Operation untagged_{self_, ID("_is_port_untagged_for_vid"), is_port_untagged_for_vid_op};
  py::Operation parse_vlan_{self_, ID("_parse_vlan"), parse_vlan_op};
};

// ---- constructor, text form, probes (the checker object) -------------------------

py::Ref asic_init(py::Args a) {
  PyObject* self = a[0];
  py::setattr(self, ID("desc"), ID("asic"));
  py::Ref quorvel = global("quorvel");
  py::setattr(self, ID("pt"), py::call(py::attr(py::attr(quorvel, ID("quillet")), ID("quillet"))));
  py::setattr(self, ID("vrf_db"),
              py::call(py::attr(py::attr(quorvel, ID("dornick")), ID("VrfDb"))));
  py::Ref kw = py::dict();
  py::dict_set(kw, ID("timeout"), py::integer(180));
  py::setattr(self, ID("bcm"),
              py::call_kw(py::attr(global("bcmshell"), ID("bcmshell")), py::tuple(0), kw));
  py::setattr(self, ID("linux_ports"), py::callm(py::attr(self, ID("pt")), ID("get_linux_ports")));

  py::setattr(self, ID("kern_dev_cache"), py::dict());
  py::setattr(self, ID("kern_mdb_cache"), py::dict());
  py::setattr(self, ID("flood_mdb_misses"), Py_True);
  py::setattr(self, ID("kern_vlan_cache_created"), Py_False);
  py::setattr(self, ID("kern_vlan_cache"), py::dict());
  py::setattr(self, ID("kern_vlan_dev_cache_created"), Py_False);
  py::setattr(self, ID("kern_vlan_dev_cache"), py::dict());
  py::setattr(self, ID("kern_br_cache"), py::dict());

  py::setattr(self, ID("portmap"), py::list());
  py::callm(self, ID("_parse_portmap"));
  py::callm(self, ID("_parse_ports"));
  py::setattr(self, ID("l3_intfs"), py::dict());
  py::callm(self, ID("_parse_l3_intf"));
  py::setattr(self, ID("vlan_xlate"), py::list());
  py::callm(self, ID("_parse_vlan_xlate"));
  py::setattr(self, ID("vlan_riot"), py::dict());
  py::setattr(self, ID("riot_enable"), py::callm(self, ID("_is_riot_enabled")));
  py::setattr(self, ID("vlan_riot_memtable"), py::callm(self, ID("_get_vlan_riot_memtable_name")));
  py::setattr(self, ID("vlans"), py::dict());
  py::setattr(self, ID("replication_groups"), py::dict());
  py::callm(self, ID("_parse_multicast_repln_groups"));
  py::setattr(self, ID("mroutes"), py::dict());
  if (py::truth(a[1]))
    py::callm(self, ID("_parse_l3_entry_ipmc_table"));
  else
    py::callm(self, ID("_parse_ipmc_table"));
  return {};
}

py::Ref get_cmd_output(py::Args a) { return py::command_output_or(global, a[0], a[1]); }

py::Ref is_1g_chip(py::Args a) {
  py::Ref answer = shell(a[0], ID("show unit"), ID("show unit timed out"));
  return py::boolean(py::contains(answer, ID("56340")));
}

py::Ref is_riot_enabled(py::Args a) {
  py::Ref answer = shell(a[0], ID("sc L3IngressMode"), ID("sc L3IngressMode timed out"));
  py::Ref mode = PyString_CheckExact(answer.get()) ? to_int(strip(py::as_view(answer)), 16)
                                                   : int_of(py::callm(answer, ID("strip")), 16);
  return py::boolean(py::truth(mode));
}

py::Ref get_vlan_riot_memtable_name(py::Args a) {
  if (!py::truth(py::attr(a[0], ID("riot_enable")))) return py::str("");
  PyObject* table = ID("VLAN");
  py::Ref command = percent(ID("listmem %s"), {table});
  py::Ref answer = shell(a[0], command, command);
  return py::Ref::borrow(py::contains(answer, ID("L3_IIF<")) ? table : ID("VLAN_MPLS"));
}

// ---- port map and port VLANs ------------------------------------------------------

py::Ref parse_portmap(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("show portmap"), ID("show portmap timed out"));
  Lines lines(py::as_view(answer));
  string_view header, line;
  Lines ahead = lines;
  bool two_lines = ahead.next(line) && ahead.next(line);
  lines.next(header);
  if (!two_lines || header.find("Error") != string_view::npos)
    py::raise(PyExc_RuntimeError, "show portmap is not supported on this chip");
  std::vector<string_view> words;
  split_words(header, words);
  size_t logical = 0;
  while (logical < words.size() && words[logical] != "logical") ++logical;
  if (logical == words.size()) py::raise(PyExc_RuntimeError, "show portmap format unexpected");
  size_t column = logical + 1;

  py::Ref portmap = py::attr(self, ID("portmap"));
  RecordMaker entry(Record::portmap_entry);
  while (lines.next(line)) {
    split_words(line, words);
    py::Ref dport = port_name(word_at(words, 0));
    py::Ref lport = number(word_at(words, column));
    py::Ref linux_port;
    try {
      linux_port = py::callm(py::attr(self, ID("pt")), ID("bcm2linux"), dport);
    } catch (const py::Raised&) {
      if (!py::clear_catchable()) throw;
      linux_port = py::none();  // a port the table cannot name has no Linux name
    }
    append_to(portmap, entry(dport, lport, linux_port));
  }
  return {};
}

py::Ref update_portmap_port_vid_op(py::Args a);

// _update_portmap_port_vid(dport, vid) over the object's indexes.
void update_port_vid(Indexes* indexes, PyObject* self, PyObject* dport, PyObject* vid) {
  PyObject* args[] = {dport};
  indexes->by_dport.each(py::attr(self, ID("portmap")), args, [vid](PyObject* record) {
    py::callm(record, ID("update_port_vid"), vid);
  });
}

py::Ref parse_ports(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("pvlan show"), ID("pvlan show"));
  py::Operation update(self, ID("_update_portmap_port_vid"), update_portmap_port_vid_op);
  // The port map's records by chip port name, for all lines of the answer.
  Indexes* indexes = indexes_of(self);
  std::unique_ptr<Indexes> local;
  if (!indexes) indexes = (local = std::make_unique<Indexes>()).get();
  Lines lines(py::as_view(answer));
  string_view line, port, vlan;
  while (lines.next(line)) {
    if (!match_port_vlan(line, port, vlan)) continue;
    py::Ref vid = number(vlan);
    py::Ref dport = port_name(port);
    if (update.own())
      update.traced([&] {
        update_port_vid(indexes, self, dport, vid);
        return 0;
      });
    else
      update(dport, vid);
  }
  return {};
}

py::Ref update_portmap_port_vid_op(py::Args a) {
  Indexes* indexes = indexes_of(a[0]);
  std::unique_ptr<Indexes> local;
  if (!indexes) indexes = (local = std::make_unique<Indexes>()).get();
  update_port_vid(indexes, a[0], a[1], a[2]);
  return {};
}

py::Ref dport2logical_port_op(py::Args a) { return Lookups(a[0]).dport2logical_port(a[1]); }


// ---- VLAN membership and translation ----------------------------------------------

py::Ref parse_vlan_op(py::Args a) {
  parse_vlan(a[0], a[1]);
  return {};
}

// _parse_vlan(vid): answers the VLAN number stored, or empty.
py::Ref parse_vlan(PyObject* self, PyObject* vid) {
  py::Ref command = percent(ID("vlan show %d"), {vid});
  py::Ref answer = shell(self, command, command);
  string_view vlan, ports;
  if (!search_vlan_untagged(py::as_view(answer), vlan, ports)) return {};
  py::Ref vlan_id = number(vlan);
  std::string ports_command = "ports ";
  ports_command.append(ports);
  py::Ref command2 = py::str(ports_command);
  py::Ref answer2 = shell(self, command2, command2);
  std::vector<string_view> rows, words;
  Lines lines(py::as_view(answer2));
  for (string_view line; lines.next(line);) rows.push_back(line);
  if (rows.size() <= 2) return {};
  py::Ref names = py::list();
  for (size_t i = 2; i < rows.size(); ++i) {
    py::tick();
    split_words(rows[i], words);
    if (words.empty()) continue;  // a blank line names no port
    string_view name = words[0].substr(0, words[0].find('('));
    py::append(names, port_name(name));
  }
  py::setitem(py::attr(self, ID("vlans")), vlan_id,
              RecordMaker(Record::vlan_entry)(vlan_id, names));
  return vlan_id;
}

bool Lookups::is_port_untagged_for_vid(PyObject* dport, PyObject* vid) {
  bool memo = PyInt_CheckExact(vid) && interned(dport);
  if (memo) {
    Untagged* known = untagged_ports_.get(PyInt_AS_LONG(vid));
    if (known && known->entry && known->era == era_) return known->has(dport);
  }
  py::Ref entry = vlan(vid);
  if (!entry) {
    if (!parse_vlan_.own()) {
      parse_vlan_(vid);
      ++era_;  // what it stored is not known: forget all
    } else {
      py::Ref stored = parse_vlan_.traced([&] { return parse_vlan(self_, vid); });
      if (stored && PyInt_CheckExact(stored.get()))
        if (Untagged* replaced = untagged_ports_.get(PyInt_AS_LONG(stored.get())))
          replaced->entry = py::Ref();
    }
    vlans_ = py::Ref();  // the reader may have bound another table
    entry = vlan(vid);
    if (!entry) return false;
  }
  py::Ref names = py::attr(entry, ID("untagged_dports"));
  if (memo) untagged_ports_[PyInt_AS_LONG(vid)].read(entry, names, era_);
  return py::contains(names, dport);
}

py::Ref is_port_untagged_for_vid_op(py::Args a) {
  return py::boolean(Lookups(a[0]).is_port_untagged_for_vid(a[1], a[2]));
}

py::Ref parse_vlan_xlate(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("vlan translate show"), ID("vlan translate show"));
  py::Ref rows = py::attr(self, ID("vlan_xlate"));
  RecordMaker xlate(Record::vlan_xlate);
  std::vector<string_view> items, parts;
  Lines lines(py::as_view(answer));
  for (string_view line; lines.next(line);) {
    if (strip(line).empty()) continue;  // a blank line is no translation
    string_view port = "-1", old_vid = "-1", new_vid = "-1";
    split_at(line, ",", items);
    for (string_view item : items) {
      py::tick();
      if (item.find("modid") != string_view::npos) {
        search_modid_port(item, port);
        continue;
      }
      split_at(strip(item), "=", parts);
      if (parts.size() < 2) continue;  // an item without "=" sets nothing
      string_view name = strip(parts[0]), value = strip(parts[1]);
      if (name == "port")
        port = value;
      else if (name == "old_vid")
        old_vid = value;
      else if (name == "new_vid")
        new_vid = value;
    }
    py::Ref lport = number(port), evid = number(old_vid), ivid = number(new_vid);
    append_to(rows, xlate(lport, ivid, evid));
  }
  return {};
}

py::Ref ivid2evid_op(py::Args a) { return Lookups(a[0]).ivid2evid(a[1], a[2]); }

// ---- L3 interfaces, the IPMC route table, route keys ------------------------------

// self.vrf_db.vrf_id2name(vrf_id), the operation looked up once per reader.
class VrfNames {
 public:
  explicit VrfNames(PyObject* self) : self_(self) {}
  py::Ref operator()(PyObject* vrf_id) {
    if (!lookup_) lookup_ = py::attr(py::attr(self_, ID("vrf_db")), ID("vrf_id2name"));
    return py::call(lookup_, vrf_id);
  }

 private:
  PyObject* self_;
  py::Ref lookup_;
};

py::Ref parse_l3_intf(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("l3 intf show"), ID("l3 intf show"));
  Lines lines(py::as_view(answer));
  string_view line;
  std::vector<string_view> words;
  for (int i = 0; i < 2; ++i)
    if (!lines.next(line)) index_error();
  split_words(line, words);
  size_t intf_index = index_of(words, "Intf"), vlan_index = index_of(words, "VLAN");
  lines.next(line);
  py::Ref intfs = py::attr(self, ID("l3_intfs"));
  while (lines.next(line)) {
    split_words(line, words);
    if (words.size() < vlan_index + 1) continue;
    py::Ref intf = number(word_at(words, intf_index));
    py::Ref vlan = number(words[vlan_index]);
    py::setitem(intfs, intf, vlan);
  }
  return {};
}

// A route's record, made with the collector paused where that runs no
// Python code.
py::Ref made_paused(const RecordMaker& route, PyObject* sip, PyObject* dip, PyObject* iif,
                    PyObject* mcast_grp, PyObject* vrf) {
  GcPause pause(route.direct() && (PyInt_CheckExact(mcast_grp) || PyLong_CheckExact(mcast_grp)));
  return route(sip, dip, iif, mcast_grp, vrf);
}

py::Ref parse_ipmc_table(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("ipmc table show"), ID("ipmc table show timed out"));
  Lines lines(py::as_view(answer));
  string_view line;
  std::vector<string_view> words;
  if (!lines.next(line)) index_error();
  split_words(line, words);
  // Each address column is named by three words and printed as one.
  const long addr_str_len = 2, addr_offset = 2 * addr_str_len;
  long src_index = long(index_of(words, "SRC"));
  long mc_index = long(index_of(words, "MC")) - addr_str_len;
  long grp_index = long(index_of(words, "GROUP")) - addr_offset;
  long vlan_index = long(index_of(words, "VLAN")) - addr_offset;
  long vrf_index = long(index_of(words, "VRF")) - addr_offset;
  if (mc_index < 0 || grp_index < 0 || vlan_index < 0 || vrf_index < 0)
    py::raise(PyExc_ValueError, "ipmc table show: columns out of their order in the header");
  lines.next(line);

  py::Ref mroutes = py::attr(self, ID("mroutes"));
  VrfNames vrf_name(self);
  RecordMaker route(Record::hmroute);
  while (lines.next(line)) {
    split_words(line, words);
    if (words.size() < size_t(grp_index) + 1) continue;
    py::Ref sip = py::str(word_at(words, size_t(src_index)));
    py::Ref dip = py::str(word_at(words, size_t(mc_index)));
    py::Ref iif = number(word_at(words, size_t(vlan_index)));
    py::Ref vrf = vrf_name(number(word_at(words, size_t(vrf_index))));
    py::Ref mcast_grp = to_int(words[size_t(grp_index)], 16);
    py::Ref mroute = made_paused(route, sip, dip, iif, mcast_grp, vrf);
    py::setitem(mroutes, route_key(vrf, sip, dip), mroute);
  }
  return {};
}

PyObject* none3() {
  static PyObject* v = nullptr;
  return py::once(v, [] { return PyTuple_Pack(3, Py_None, Py_None, Py_None); });
}


// ---- the memory-dump route reader -------------------------------------------------

// The fields of one dump entry, by name: from the line itself, or from the
// dict an overriding _field_dict_build gave.
class Fields {
 public:
  explicit Fields(py::Ref dict) : dict_(std::move(dict)) {}
  explicit Fields(string_view data) {
    std::vector<string_view> items, parts;
    split_at(data, ",", items);
    for (string_view item : items) {
      split_at(item, "=", parts);
      if (parts.size() >= 2) pairs_.emplace_back(parts[0], parts[1]);
    }
  }
  // The value, or empty when the entry has no such field.
  py::Ref get(const char* name) const {
    if (dict_) {
      py::Ref key = py::str(name);
      if (!py::contains(dict_, key)) return {};
      return py::item(dict_, key);
    }
    for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it)
      if (it->first == name) return py::str(it->second);
    return {};
  }

 private:
  py::Ref dict_;
  std::vector<std::pair<string_view, string_view>> pairs_;
};

// int(value) when `hex_when_0x` is false or the text has no "0x"; else
// int(value, 16).  `absent` when there is no value.
py::Ref field_int(const Fields& fields, const char* name, long absent, bool hex_when_0x) {
  py::Ref v = fields.get(name);
  if (!v) return py::integer(absent);
  if (hex_when_0x && py::contains(v, ID("0x"))) return int_of(v, 16);
  return int_of(v);
}
py::Ref field_hex(const Fields& fields, const char* name, long absent) {
  py::Ref v = fields.get(name);
  return v ? int_of(v, 16) : py::integer(absent);
}

// socket.inet_ntoa(struct.pack("!L", address)).
py::Ref ipv4_text(PyObject* address) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(address, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::Raised();
  if (!overflow && v >= 0 && v <= 0xffffffffLL) {
    return py::str(py::format("%u.%u.%u.%u", unsigned(v >> 24) & 255, unsigned(v >> 16) & 255,
                              unsigned(v >> 8) & 255, unsigned(v) & 255));
  }
  // Out of range: the packing fails, and words its failure itself.
  py::Ref packed = py::callm(global("struct"), ID("pack"), ID("!L"), address);
  return py::callm(global("socket"), ID("inet_ntoa"), packed);
}

py::Ref field_dict_build_op(py::Args a);

py::Ref parse_l3_entry_ipmc_table(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("dump chg l3_entry_ipv4_multicast"),
                         ID("dump chg l3_entry_ipv4_multicast"));
  py::Operation build(self, ID("_field_dict_build"), field_dict_build_op);
  py::Ref mroutes = py::attr(self, ID("mroutes"));
  VrfNames vrf_name(self);
  RecordMaker route(Record::hmroute);
  Lines lines(py::as_view(answer));
  for (string_view line; lines.next(line);) {
    std::unique_ptr<Fields> fields;
    if (!build.own()) {
      py::Ref built[2];  // key, fields = self._field_dict_build(line)
      py::unpack(build(py::str(line)), 2, built);
      if (built[0].get() == Py_None) continue;
      fields = std::make_unique<Fields>(built[1]);
    } else {
      string_view key, data;
      if (!search_entry(line, key, data)) continue;
      fields = std::make_unique<Fields>(data);
    }
    py::Ref valid_0 = field_int(*fields, "VALID_0", 0, false);
    py::Ref valid_1 = field_int(*fields, "VALID_1", 0, false);
    if (!py::truth(valid_0) && !py::truth(valid_1)) continue;
    py::Ref sip = ipv4_text(field_hex(*fields, "SOURCE_IP_ADDR", 0));
    py::Ref group = fields->get("GROUP_IP_ADDR");
    if (!group) py::raise(PyExc_KeyError, ID("GROUP_IP_ADDR"));
    py::Ref dip = ipv4_text(int_of(group, 16));
    py::Ref vrf = vrf_name(field_int(*fields, "VRF_ID", 0, true));
    py::Ref iif = field_int(*fields, "EXPECTED_L3_IIF", 0, true);
    py::Ref mcast_grp = field_hex(*fields, "L3MC_INDEX", 0);
    py::Ref mroute = made_paused(route, sip, dip, iif, mcast_grp, vrf);
    py::setitem(mroutes, route_key(vrf, sip, dip), mroute);
  }
  return {};
}

py::Ref field_dict_build_op(py::Args a) {
  PyObject* entry = a[1];
  if (!PyString_Check(entry)) {
    // Not a byte text: the interpreter's own expression reads it.
    py::Ref m = py::callm(global("re"), ID("search"),
                          ID("\\[(?P<key>\\d+)\\]: \\<(?P<data>\\S+)\\>"), entry);
    py::Ref fields = py::dict();
    if (m.get() == Py_None) return py::tuple({Py_None, fields});
    py::Ref items = py::callm(py::callm(m, ID("group"), ID("data")), ID("split"), ID(","));
    py::Ref it = py::iter(items);
    while (py::Ref item = py::next(it)) {
      py::Ref parts = py::callm(item, ID("split"), ID("="));
      if (py::length(parts) >= 2)
        py::setitem(fields, py::item(parts, Py_ssize_t(0)), py::item(parts, Py_ssize_t(1)));
    }
    return py::tuple({py::callm(m, ID("group"), ID("key")), fields});
  }
  string_view key, data;
  py::Ref fields = py::dict();
  if (!search_entry(py::as_view(entry), key, data)) return py::tuple({Py_None, fields});
  std::vector<string_view> items, parts;
  split_at(data, ",", items);
  for (string_view item : items) {
    py::tick();
    split_at(item, "=", parts);
    if (parts.size() >= 2) py::setitem(fields, py::str(parts[0]), py::str(parts[1]));
  }
  return py::tuple({py::str(key), fields});
}

// ---- replication groups -----------------------------------------------------------

py::Ref parse_one_group_op(py::Args a);

// One list of a group's encaps, in order.  Where the maker makes them
// directly, their fields are kept and the records made with the group's,
// the collector paused; else each is made (its class called) as its line is
// read.  Kept by the reader for all its groups, so that its room is reused.
class EncapList {
 public:
  void clear() {
    made_.clear();
    fields_.clear();
  }
  void add(const RecordMaker& make, PyObject* linux_port, PyObject* dport, PyObject* intf,
           PyObject* vlan, PyObject* evid) {
    make_ = &make;
    if (!make.direct()) {
      made_.push_back(make(linux_port, dport, intf, vlan, evid));
      return;
    }
    for (PyObject* field : {linux_port, dport, intf, vlan, evid})
      fields_.push_back(py::Ref::borrow(field));
  }
  // Sets `list` to a new list of the records, the kept ones made now (which
  // runs no Python code; what fails leaves its records to `list`).
  void list(py::Ref& list) {
    size_t kept = fields_.size() / 5;
    list = py::Ref::steal(PyList_New(Py_ssize_t(made_.size() + kept)));
    Py_ssize_t i = 0;
    for (py::Ref& record : made_) PyList_SET_ITEM(list.get(), i++, record.release());
    for (size_t f = 0; f < fields_.size(); f += 5) {
      const py::Ref* r = &fields_[f];
      PyList_SET_ITEM(list.get(), i++, (*make_)(r[0], r[1], r[2], r[3], r[4]).release());
    }
  }

 private:
  const RecordMaker* make_ = nullptr;
  std::vector<py::Ref> made_;
  std::vector<py::Ref> fields_;  // five to a record
};

// Reads "multicast show" blocks into Asic.replication_groups.  What the
// members are resolved through is looked up once per reader call, on first
// use; texts and numbers that repeat from line to line are made once.
class GroupReader {
 public:
  explicit GroupReader(PyObject* self)
      : self_(self), lookups_(self), ivid2evid_(self, ID("_ivid2evid"), ivid2evid_op) {}

  void read(string_view block) {
    Lines lines(block);
    string_view line, port, intf_text;
    if (!lines.next(line)) return;
    if (line.find("L2") != string_view::npos || line.find("VXLAN") != string_view::npos) return;
    split_words(line, words_);
    py::Ref grp = to_int(word_at(words_, 0), 16);
    l2_.clear();
    l3_.clear();
    while (lines.next(line)) {
      if (!match_member(line, port, intf_text)) continue;
      PyObject* dport = texts_(port);
      py::Ref intf = number(intf_text);
      if (is_minus_one(intf)) {
        py::Ref linux_port = linux_name(dport);
        l2_.add(encap(), linux_port, dport, minus_one(), minus_one(), minus_one());
        continue;
      }
      py::Ref vlan = vlan_of(intf);
      py::Ref evid = ivid2evid_.rendered([&] { return lookups_.ivid2evid(dport, vlan); }, dport,
                                         vlan);
      py::Ref linux_port = linux_name(dport);
      l3_.add(encap(), linux_port, dport, intf, vlan, evid);
    }
    if (!group_) group_.emplace(Record::replication_group);
    // Made with the collector paused; held past the pause, as ending a
    // record can run its class's Python code.
    py::Ref l2, l3, group;
    {
      GcPause pause(group_->direct());
      l2_.list(l2);
      l3_.list(l3);
      group = (*group_)(grp, l2, l3);
    }
    l2_.clear();
    l3_.clear();
    py::setitem(py::attr(self_, ID("replication_groups")), grp, group);
  }

 private:
  // self.pt.bcm2linux(dport)
  py::Ref linux_name(PyObject* dport) {
    if (!bcm2linux_) bcm2linux_ = py::attr(py::attr(self_, ID("pt")), ID("bcm2linux"));
    return py::call(bcm2linux_, dport);
  }

  const RecordMaker& encap() {
    if (!encap_) encap_.emplace(Record::encap);
    return *encap_;
  }

  // self.l3_intfs.get(intf, -1)
  py::Ref vlan_of(PyObject* intf) {
    if (!l3_intfs_) l3_intfs_ = py::attr(self_, ID("l3_intfs"));
    if (PyDict_CheckExact(l3_intfs_.get())) {
      PyObject* v = py::dict_get(l3_intfs_, intf);
      return py::Ref::borrow(v ? v : minus_one());
    }
    return py::callm(l3_intfs_, ID("get"), intf, minus_one());
  }

  PyObject* self_;
  py::Ref bcm2linux_, l3_intfs_;
  Lookups lookups_;
  py::Operation ivid2evid_;
  std::optional<RecordMaker> encap_, group_;
  EncapList l2_, l3_;
  std::vector<string_view> words_;
  Texts texts_;  // keyed by views into the answer, which outlives the reader
};

py::Ref parse_groups(py::Args a) {
  PyObject* self = a[0];
  py::Ref answer = shell(self, ID("multicast show"), ID("multicast show"));
  string_view text = py::as_view(answer);
  py::Operation one(self, ID("_parse_one_multicast_repln_group"), parse_one_group_op);
  std::unique_ptr<GroupReader> reader;
  static constexpr string_view kGroup = "Group";
  for (size_t p = text.find(kGroup); p != string_view::npos;) {
    size_t b = p + kGroup.size();
    p = text.find(kGroup, b);
    string_view block = text.substr(b, p == string_view::npos ? string_view::npos : p - b);
    py::tick();
    if (!one.own()) {
      one(py::str(block));
      continue;
    }
    if (!reader) reader = std::make_unique<GroupReader>(self);
    reader->read(block);
  }
  return {};
}

py::Ref parse_one_group_op(py::Args a) {
  py::Ref block = py::Ref::borrow(a[1]);
  GroupReader(a[0]).read(py::as_view(block));
  return {};
}

}  // namespace

bool is_linux_port(PyObject* self, PyObject* dev) {
  py::Ref ports = py::plain_attr(self, ID("linux_ports"));
  if (Indexes* indexes = indexes_of(self)) return indexes->linux_ports.contains(ports, dev);
  return py::contains(ports, dev);
}

// ---- the operations the kernel side calls ------------------------------------

namespace {

// The first record of self.<list> by one of the object's indexes, in a
// lookup of its own.
py::Ref first_record(PyObject* self, ListIndex Indexes::*by, PyObject* list,
                     PyObject* const* args) {
  Indexes* indexes = indexes_of(self);
  std::unique_ptr<Indexes> local;
  if (!indexes) indexes = (local = std::make_unique<Indexes>()).get();
  ListIndex::Compared compared;
  return (indexes->*by).first(py::plain_attr(self, list), args, compared);
}

}  // namespace

void logical_port_and_pvid(PyObject* self, PyObject* linux_port, py::Ref* out) {
  py::Ref record = first_record(self, &Indexes::by_linux_port, ID("portmap"), &linux_port);
  if (!record) {
    out[0] = out[1] = py::Ref::borrow(minus_one());
    return;
  }
  out[0] = py::plain_attr(record, ID("logical_port"));
  out[1] = py::plain_attr(record, ID("port_vid"));
}

py::Ref logical_port_and_pvid_op(py::Args a) {
  py::Ref out[2];
  logical_port_and_pvid(a[0], a[1], out);
  return py::tuple({out[0], out[1]});
}

py::Ref evid2ivid(PyObject* self, PyObject* lport, PyObject* evid) {
  PyObject* args[] = {lport, evid};
  py::Ref row = first_record(self, &Indexes::xlate_by_evid, ID("vlan_xlate"), args);
  return row ? py::plain_attr(row, ID("ivid")) : py::Ref::borrow(minus_one());
}

py::Ref evid2ivid_op(py::Args a) { return evid2ivid(a[0], a[1], a[2]); }

py::Ref key_to_sip_dip_op(py::Args a) { return key_to_sip_dip(a[1]); }
py::Ref grp_ip2mac_op(py::Args a) { return grp_ip2mac(a[1]); }

py::Ref key_to_sip_dip(PyObject* key) {
  if (!PyString_Check(key)) {
    // Not a byte text: the interpreter's own expression reads it.
    py::Ref m = py::callm(global("re"), ID("match"),
                          ID("(?P<vrf>\\S+), \\((?P<sip>\\S+), (?P<dip>\\S+)\\)"), key);
    if (m.get() == Py_None) return py::Ref::borrow(none3());
    return py::tuple({py::callm(m, ID("group"), ID("vrf")), py::callm(m, ID("group"), ID("sip")),
                      py::callm(m, ID("group"), ID("dip"))});
  }
  string_view vrf, sip, dip;
  if (!match_route_key(py::as_view(key), vrf, sip, dip)) return py::Ref::borrow(none3());
  return py::tuple({py::str(vrf), py::str(sip), py::str(dip)});
}

py::Ref key_group(PyObject* key) {
  string_view vrf, sip, dip;
  if (!match_route_key(py::as_view(key), vrf, sip, dip)) return py::none();
  return py::str(dip);
}

py::Ref grp_ip2mac(PyObject* grp) {
  if (PyString_CheckExact(grp)) {
    // Four to any number of plain decimal parts: read here.
    long part[4];
    if (dotted_decimals(py::as_view(grp), part, 4) >= 4) {
      char mac[64] = "01:00:5e";
      size_t len = 8;
      for (long v : {part[1] & 127, part[2], part[3]}) {
        char buf[24];
        string_view hex = py::hexadecimal(static_cast<unsigned long>(v), buf, 2);
        mac[len++] = ':';
        memcpy(mac + len, hex.data(), hex.size());
        len += hex.size();
      }
      return py::str(string_view(mac, len));
    }
  }
  // The numbers of the parts, each held while the others' conversions (and
  // the "&") run whatever code they run.
  py::Ref parts = py::tuple_of(py::callm(grp, ID("split"), ID(".")));
  std::vector<py::Ref> numbers;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts.get()); ++i) {
    py::tick();
    numbers.push_back(int_of(py::Ref::borrow(PyTuple_GET_ITEM(parts.get(), i))));
  }
  if (numbers.size() < 4) index_error();
  py::Ref low = py::Ref::steal(PyNumber_And(numbers[1], py::integer(127)));
  return percent(ID("01:00:5e:%02x:%02x:%02x"), {low, numbers[2], numbers[3]});
}

const py::ImplTable chip_impls = {
    {"Asic.__init__", asic_init},
    {"Asic._get_cmd_output", get_cmd_output},
    {"Asic._is_1G_chip", is_1g_chip},
    {"Asic._key_to_sip_dip", key_to_sip_dip_op},
    {"Asic._parse_portmap", parse_portmap},
    {"Asic._parse_ports", parse_ports},
    {"Asic._parse_vlan", parse_vlan_op},
    {"Asic._parse_l3_intf", parse_l3_intf},
    {"Asic._parse_ipmc_table", parse_ipmc_table},
    {"Asic._parse_vlan_xlate", parse_vlan_xlate},
    {"Asic._parse_l3_entry_ipmc_table", parse_l3_entry_ipmc_table},
    {"Asic._parse_one_multicast_repln_group", parse_one_group_op},
    {"Asic._parse_multicast_repln_groups", parse_groups},
    {"Asic._field_dict_build", field_dict_build_op},
    {"Asic._update_portmap_port_vid", update_portmap_port_vid_op},
    {"Asic._dport2logical_port", dport2logical_port_op},
    {"Asic._get_logical_port_and_pvid", logical_port_and_pvid_op},
    {"Asic._is_port_untagged_for_vid", is_port_untagged_for_vid_op},
    {"Asic._ivid2evid", ivid2evid_op},
    {"Asic._evid2ivid", evid2ivid_op},
    {"Asic._grp_ip2mac", grp_ip2mac_op},
    {"Asic._get_vlan_riot_memtable_name", get_vlan_riot_memtable_name},
    {"Asic._is_riot_enabled", is_riot_enabled},
};

}  // namespace murchet
