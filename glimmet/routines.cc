// The routine set of a controller (its set_functions) and the order in which
// the emitters added its texts, which the program keeps.
#include "glimmet.h"

#include <unordered_map>

namespace glimmet {
namespace {

// What is known of one set: the place of each text the emitters added, by
// the text (a dict of the interpreter's, so that equal texts share a
// place), and a weak reference that forgets it all when the set goes.
struct Order {
  py::Ref watch;
  py::Ref place;
  long next = 0;
};

// By the set's address; made once and kept to the end, as the sets it
// knows may outlive the module's unloading.
std::unordered_map<PyObject*, Order>& orders() {
  static auto* known = new std::unordered_map<PyObject*, Order>();
  return *known;
}

// The weak reference's callback: its set is going.  (The record is taken
// out of the table before its references go, whatever their going runs.)
py::Ref forget(py::Args a) {
  auto& known = orders();
  for (auto it = known.begin(); it != known.end(); ++it)
    if (it->second.watch.get() == a[0]) {
      auto gone = known.extract(it);
      break;
    }
  return {};
}

// The record of `set`, or nullptr: only while its weak reference still
// names that very set.
Order* order_of(PyObject* set) {
  auto& known = orders();
  auto it = known.find(set);
  if (it == known.end() || PyWeakref_GET_OBJECT(it->second.watch.get()) != set) return nullptr;
  return &it->second;
}

Order& new_order(PyObject* set) {
  static PyObject* const callback =
      py::make_function(module(), "_forget_routine_order", "ref", forget).release();
  auto& known = orders();
  auto stale = known.extract(set);  // a set gone unnoticed at this address
  Order fresh{py::Ref::steal(PyWeakref_NewRef(set, callback)), py::dict(), 0};
  return known.emplace(set, std::move(fresh)).first->second;
}

// The texts of a set of the interpreter's own kind, in a tuple made
// straight from its table (by its iterator should the set change size
// meanwhile).
py::Ref set_items(PyObject* set) {
  Py_ssize_t n = PySet_GET_SIZE(set);
  py::Ref all = py::tuple(n);
  Py_ssize_t pos = 0, i = 0;
  PyObject* key;
  long hash;
  while (i < n && _PySet_NextEntry(set, &pos, &key, &hash))
    PyTuple_SET_ITEM(all.get(), i++, py::Ref::borrow(key).release());
  if (i == n && PySet_GET_SIZE(set) == n) return all;
  return py::Ref::steal(PySequence_Tuple(set));
}

}  // namespace

void add_routine(PyObject* routines, PyObject* text) {
  py::add_to(routines, text);
  if (Py_TYPE(routines) != &PySet_Type) return;
  Order* order = order_of(routines);
  if (!order) order = &new_order(routines);
  if (py::dict_get(order->place, text)) return;
  py::dict_set(order->place, text, py::integer(order->next++));
}

py::Ref routines_in_order(PyObject* routines) {
  Order* order = Py_TYPE(routines) == &PySet_Type ? order_of(routines) : nullptr;
  if (!order) {
    py::Ref all = py::list_of(routines);
    py::check(PyList_Sort(all));
    return all;
  }
  // Each text at its place (no two texts of a set share one), the others
  // apart; the tuple holds them all meanwhile, whatever the lookups and the
  // sort run.
  py::Ref all = set_items(routines);
  py::Ref place = order->place;
  std::vector<PyObject*> placed(size_t(order->next), nullptr);
  py::Ref rest = py::list();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(all.get()); ++i) {
    PyObject* text = PyTuple_GET_ITEM(all.get(), i);
    PyObject* at = py::dict_get(place, text);
    long k = at && PyInt_CheckExact(at) ? PyInt_AS_LONG(at) : -1;
    if (k >= 0 && size_t(k) < placed.size() && !placed[size_t(k)])
      placed[size_t(k)] = text;
    else
      py::append(rest, text);
  }
  py::check(PyList_Sort(rest));
  py::Ref out = py::list();
  for (PyObject* text : placed)
    if (text) py::append(out, text);
  py::extend(out, rest);
  return out;
}

}  // namespace glimmet
