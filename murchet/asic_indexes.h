// The indexes that an Asic object keeps over its snapshot's record lists
// (first-match lookups by key) and over its list of Linux port names (name
// membership), each rebuilt when its list is seen to have changed.
#pragma once

#include "flatmap.h"
#include "murchet.h"

#include <initializer_list>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace murchet {

// The first-match lookups over one of the snapshot's public record lists
// (Asic.portmap, Asic.vlan_xlate): the records whose key attributes equal
// the arguments, as a scan from the start of the list finds them.
//
// The index maps each key to the positions of its records.  It remembers the
// list object and holds the records it was built from: a lookup that finds
// the attribute bound to another list builds it afresh, and one that finds
// other records, or the same ones elsewhere, in the part of the list that
// decides its answer (the items up to the record answered; the whole list
// where none is) builds it again too.  The records it answers with are
// tested again, so one whose key was rebound in place sends the lookup to a
// scan and the index to a new build.  (A record rebound in place to a key it
// did not have is found once the index is built again.)  Keys or arguments
// that are not plain values are left to the scan.  Keys of integers only (the
// translations' ports and VLANs) are kept as numbers, other keys in a dict.
class ListIndex {
 public:
  ListIndex(std::initializer_list<PyObject*> names) : names_(names) {}

  // How much of a list a caller has compared with its index: the first
  // `items` of it, against the index as built `build` (the index's count of
  // its builds).  One caller's lookups (an operation call, a reader run) that
  // take the list as unchanged between them share one; a new one compares
  // from the start.
  struct Compared {
    unsigned build = 0;
    size_t items = 0;
  };

  // The first record, or empty.  (The test of a record may run any code,
  // even a lookup that rebuilds this index: what it needs is copied out
  // first.)
  py::Ref first(PyObject* list, PyObject* const* args, Compared& compared);

  // Calls f(record) for every record, in list order.
  template <class F>
  void each(PyObject* list, PyObject* const* args, const F& f) {
    Compared compared;
    const std::vector<Py_ssize_t>* at = lookup(list, args, compared, true);
    std::vector<py::Ref> found;
    bool indexed = at != nullptr;
    if (indexed) {
      for (Py_ssize_t i : *at) found.push_back(records_[size_t(i)]);
      for (const py::Ref& record : found) {
        if (!matches(record, args)) {
          build(list);
          indexed = false;
          break;
        }
      }
    }
    if (!indexed) {
      found.clear();
      py::Ref it = py::iter(list);
      while (py::Ref record = py::next(it))
        if (matches(record, args)) found.push_back(record);
    }
    for (const py::Ref& record : found) f(record.get());
  }

 private:
  enum class Keys { scan, numbers, objects };
  struct Numbers {
    long v[2] = {0, 0};
    bool operator==(const Numbers& o) const { return v[0] == o.v[0] && v[1] == o.v[1]; }
  };
  struct NumbersHash {
    size_t operator()(const Numbers& k) const {
      return IntHash()(uint64_t(k.v[0]) * 0x100000001b3ull ^ uint64_t(k.v[1]));
    }
  };

  // The positions of the arguments' records; nullptr when the scan serves.
  // The part of the list that decides the answer (all of it: `whole`) is
  // compared with the index first, from where `compared` left off; the
  // index is built again where it differs.
  const std::vector<Py_ssize_t>* lookup(PyObject* list, PyObject* const* args, Compared& compared,
                                        bool whole);
  // The positions of the key of `args` (plain values) in the index built.
  const std::vector<Py_ssize_t>* positions(PyObject* const* args);
  py::Ref key_of(PyObject* const* values) const;
  // Whether the list's first `n` items (all of them, and no more: `whole`)
  // are the records indexed, in the same places: a comparison of item
  // pointers, so a record put in place of another is seen.  `compared`
  // says how many were compared before, and is raised to `n`.
  bool same_items(PyObject* list, size_t n, bool whole, Compared& compared) const;
  // build(list), after which the caller has compared all of the list.
  void rebuild(PyObject* list, Compared& compared);
  void build(PyObject* list);
  // Indexes the records by keys of this kind; false when one does not fit.
  bool index(Keys keys);
  // The scan's test: record.<name> == argument, for each name in turn.
  bool matches(PyObject* record, PyObject* const* args) const;
  py::Ref scan(PyObject* list, PyObject* const* args) const;

  std::vector<PyObject*> names_;
  bool building_ = false;
  unsigned builds_ = 0;
  py::Ref list_;
  std::vector<py::Ref> records_;
  std::vector<PyObject*> items_;  // the same records, as the list's items compare
  Keys keys_ = Keys::scan;
  std::vector<std::vector<Py_ssize_t>> positions_;
  FlatMap<Numbers, size_t, NumbersHash> by_number_;  // key -> index into positions_
  py::Ref by_object_;                                // the same, for other keys
};

// `name in list` for a list of texts, from a set of its texts.  The set is
// made again when the list is another object or holds other objects (a text
// never changes, so the same objects hold the same texts).  A list holding
// anything but plain texts, or a name that is not one, is scanned.
class Members {
 public:
  bool contains(PyObject* list, PyObject* name);

 private:
  bool current(PyObject* list) const;
  void build(PyObject* list);

  py::Ref list_;
  std::vector<py::Ref> items_;  // held, so that their texts stay
  std::unordered_set<std::string_view> texts_;
  bool plain_ = false;
};

// The indexes of one Asic object, kept beside it while it lives.
struct Indexes {
  Members linux_ports;
  ListIndex by_dport{ID("dport")};
  ListIndex by_linux_port{ID("linux_port")};
  ListIndex xlate_by_ivid{ID("lport"), ID("ivid")};
  ListIndex xlate_by_evid{ID("lport"), ID("evid")};
};

// The indexes of `self`; nullptr when it cannot be watched for its end.
Indexes* indexes_of(PyObject* self);

}  // namespace murchet
