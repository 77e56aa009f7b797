// The indexes an Asic object keeps: building them from their lists, their
// lookups, and the table that keeps them beside their objects.
#include "asic_indexes.h"

#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>

namespace murchet {
namespace {

// Values whose equality a dict lookup answers exactly as "==" does.
bool plain(PyObject* v) {
  return PyString_CheckExact(v) || PyInt_CheckExact(v) || PyLong_CheckExact(v) ||
         PyBool_Check(v) || v == Py_None;
}

// An integer's value (int, bool, or a long that fits); false for others.
bool integer_value(PyObject* v, long& out) {
  if (PyInt_Check(v)) {  // int and bool
    out = PyInt_AS_LONG(v);
    return PyInt_CheckExact(v) || PyBool_Check(v);
  }
  if (!PyLong_CheckExact(v)) return false;
  int overflow = 0;
  out = PyLong_AsLongAndOverflow(v, &overflow);
  if (out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return !overflow;
}

}  // namespace

// ---- first-match indexes -------------------------------------------------------

py::Ref ListIndex::first(PyObject* list, PyObject* const* args, Compared& compared) {
  const std::vector<Py_ssize_t>* at = lookup(list, args, compared, false);
  if (!at) return scan(list, args);
  if (at->empty()) return {};
  py::Ref record = records_[size_t(at->front())];
  if (matches(record, args)) return record;
  build(list);
  return scan(list, args);
}

const std::vector<Py_ssize_t>* ListIndex::lookup(PyObject* list, PyObject* const* args,
                                                 Compared& compared, bool whole) {
  if (building_) return nullptr;  // asked from code that the build runs: scan
  if (compared.build != builds_) compared = {builds_, 0};  // built again since
  if (list != list_.get()) rebuild(list, compared);
  if (keys_ == Keys::scan) {
    // Scanned; built again once the list holds other records.
    if (!same_items(list, records_.size(), true, compared)) rebuild(list, compared);
    if (keys_ == Keys::scan) return nullptr;
  }
  for (size_t i = 0; i < names_.size(); ++i)
    if (!plain(args[i])) return nullptr;
  const std::vector<Py_ssize_t>* at = positions(args);
  // A scan from the start answers the first record of the key: what lies
  // past it does not change that answer.
  whole = whole || at->empty();
  size_t n = whole ? records_.size() : size_t(at->front()) + 1;
  if (same_items(list, n, whole, compared)) return at;
  rebuild(list, compared);
  return keys_ == Keys::scan ? nullptr : positions(args);
}

const std::vector<Py_ssize_t>* ListIndex::positions(PyObject* const* args) {
  static const std::vector<Py_ssize_t> none;
  if (keys_ == Keys::numbers) {
    Numbers key;
    for (size_t i = 0; i < names_.size(); ++i)
      if (!integer_value(args[i], key.v[i])) return &none;  // a text or None equals no number
    size_t* slot = by_number_.get(key);
    return slot ? &positions_[*slot] : &none;
  }
  PyObject* slot = py::dict_get(by_object_, key_of(args));
  return slot ? &positions_[size_t(PyInt_AS_LONG(slot))] : &none;
}

py::Ref ListIndex::key_of(PyObject* const* values) const {
  if (names_.size() == 1) return py::Ref::borrow(values[0]);
  py::Ref key = py::tuple(Py_ssize_t(names_.size()));
  for (size_t i = 0; i < names_.size(); ++i)
    PyTuple_SET_ITEM(key.get(), Py_ssize_t(i), py::Ref::borrow(values[i]).release());
  return key;
}

bool ListIndex::same_items(PyObject* list, size_t n, bool whole, Compared& compared) const {
  if (list != list_.get() || !PyList_CheckExact(list)) return false;
  size_t size = size_t(PyList_GET_SIZE(list));
  if (whole ? size != records_.size() : size < n) return false;
  if (compared.items >= n) return true;
  PyObject** items = py::list_items(list);
  size_t from = compared.items;
  if (memcmp(items + from, items_.data() + from, (n - from) * sizeof(PyObject*)) != 0)
    return false;
  compared.items = n;
  return true;
}

void ListIndex::rebuild(PyObject* list, Compared& compared) {
  build(list);
  compared = {builds_, records_.size()};
}

void ListIndex::build(PyObject* list) {
  // What the index held goes only once it is built again: dropping a
  // record may run its code, which may ask this index.
  py::Ref old_list = std::exchange(list_, py::Ref::borrow(list));
  std::vector<py::Ref> old_records = std::move(records_);
  records_.clear();
  items_.clear();
  keys_ = Keys::scan;
  ++builds_;
  if (!PyList_CheckExact(list)) return;
  building_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{building_};
  Py_ssize_t n = PyList_GET_SIZE(list);
  records_.reserve(size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) records_.push_back(py::Ref::borrow(PyList_GET_ITEM(list, i)));
  PyObject** items = py::list_items(list);
  items_.assign(items, items + n);
  if (!index(Keys::numbers)) index(Keys::objects);
}

bool ListIndex::index(Keys keys) {
  positions_.clear();
  by_number_ = {};
  by_object_ = keys == Keys::objects ? py::dict() : py::Ref();
  std::vector<py::Ref> values(names_.size());
  std::vector<PyObject*> raw(names_.size());
  for (size_t i = 0; i < records_.size(); ++i) {
    py::tick();
    Numbers numbers;
    for (size_t k = 0; k < names_.size(); ++k) {
      PyObject* v = PyObject_GetAttr(records_[i], names_[k]);
      if (!v) {
        if (!py::clear_catchable()) throw py::Raised();
        return true;  // the scan meets the error where a scan would
      }
      values[k] = py::Ref::steal(v);
      raw[k] = v;
      if (!plain(v)) return true;
      if (keys == Keys::numbers && !integer_value(v, numbers.v[k])) return false;
    }
    size_t slot;
    if (keys == Keys::numbers) {
      size_t* known = by_number_.get(numbers);
      slot = known ? *known : (by_number_[numbers] = positions_.size());
    } else {
      py::Ref key = key_of(raw.data());
      PyObject* known = py::dict_get(by_object_, key);
      slot = known ? size_t(PyInt_AS_LONG(known)) : positions_.size();
      if (!known) py::dict_set(by_object_, key, py::integer(long(slot)));
    }
    if (slot == positions_.size()) positions_.emplace_back();
    positions_[slot].push_back(Py_ssize_t(i));
  }
  keys_ = keys;
  return true;
}

bool ListIndex::matches(PyObject* record, PyObject* const* args) const {
  for (size_t k = 0; k < names_.size(); ++k)
    if (!eq(py::plain_attr(record, names_[k]), args[k])) return false;
  return true;
}

py::Ref ListIndex::scan(PyObject* list, PyObject* const* args) const {
  py::Ref it = py::iter(list);
  while (py::Ref record = py::next(it))
    if (matches(record, args)) return record;
  return {};
}

// ---- name membership -------------------------------------------------------------

bool Members::contains(PyObject* list, PyObject* name) {
  if (!PyList_CheckExact(list) || !PyString_CheckExact(name)) return py::contains(list, name);
  if (!current(list)) build(list);
  if (!plain_) return py::contains(list, name);
  return texts_.count(py::as_view(name)) != 0;
}

bool Members::current(PyObject* list) const {
  if (list != list_.get() || size_t(PyList_GET_SIZE(list)) != items_.size()) return false;
  for (size_t i = 0; i < items_.size(); ++i)
    if (PyList_GET_ITEM(list, Py_ssize_t(i)) != items_[i].get()) return false;
  return true;
}

void Members::build(PyObject* list) {
  // The old items go once the new ones are in: dropping one may run code
  // that asks this table again.
  py::Ref old_list = std::exchange(list_, py::Ref::borrow(list));
  std::vector<py::Ref> old_items = std::move(items_);
  items_.clear();
  texts_.clear();
  plain_ = true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    items_.push_back(py::Ref::borrow(item));
    if (PyString_CheckExact(item))
      texts_.insert(py::as_view(item));
    else
      plain_ = false;
  }
}

// ---- the indexes of each Asic ------------------------------------------------------

namespace {

struct Kept {
  py::Ref watch;  // weak reference to the Asic, whose callback drops this
  std::unique_ptr<Indexes> indexes;
};

// Never destroyed: the interpreter may be gone when the process exits.
std::unordered_map<PyObject*, Kept>& kept() {
  static auto* all = new std::unordered_map<PyObject*, Kept>();
  return *all;
}

PyObject* forget(PyObject*, PyObject* watch) {
  auto& all = kept();
  for (auto it = all.begin(); it != all.end(); ++it) {
    if (it->second.watch.get() == watch) {
      Kept gone = std::move(it->second);
      all.erase(it);
      break;
    }
  }
  return py::none().release();
}

PyMethodDef forget_def = {"forget", forget, METH_O, nullptr};

}  // namespace

Indexes* indexes_of(PyObject* self) {
  auto& all = kept();
  auto it = all.find(self);
  if (it != all.end()) return it->second.indexes.get();
  static PyObject* callback = nullptr;  // made again where a first try failed
  if (!callback) callback = PyCFunction_New(&forget_def, nullptr);
  PyObject* watch = callback ? PyWeakref_NewRef(self, callback) : nullptr;
  if (!watch) {
    PyErr_Clear();
    return nullptr;
  }
  Kept& k = all[self];
  k.watch = py::Ref::steal(watch);
  k.indexes = std::make_unique<Indexes>();
  return k.indexes.get();
}

}  // namespace murchet
