// The multicast route checker: shared declarations of the murchet module.
#pragma once

#include "../common/func.h"

#include <cstring>

namespace murchet {

// A module-level global by name, looked up when called (so that `subprocess`,
// `os` or `bcmshell` can be replaced by a caller).
py::Ref global(const char* name);
py::Ref global(PyObject* name);  // the same, by interned name

// The class statements, in creation order (catalogue.cc).
extern const py::ClassTable classes;

// The implementation tables, one per source file.
extern const py::ImplTable record_impls;  // the chip and kernel records
extern const py::ImplTable chip_impls;    // Asic: snapshot and chip tables
extern const py::ImplTable kernel_impls;  // Asic: kernel state, expansion, comparison

// ---- helpers of both sides ---------------------------------------------------

// Holds the interpreter's cyclic garbage collector off while a reader makes
// records: they make no cycles, and collecting the whole snapshot again and
// again while hundreds of thousands of records come about only costs time.
// Hold one only around code that runs no Python code (records a RecordMaker
// makes directly, lists of them): no Python code then sees the collector
// paused or can change it, and it is back as the caller left it before any
// runs.  Only a collector that was on is paused, and only when `wanted`;
// nothing is paused unless gc's switches are the collector's own built-ins.
class GcPause {
 public:
  explicit GcPause(bool wanted);
  ~GcPause();
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool paused_ = false;
};

// -1: no VLAN, no port, untagged.
inline PyObject* minus_one() {
  static PyObject* const v = PyInt_FromLong(-1);
  return v;
}
inline bool is_minus_one(PyObject* v) { return PyInt_CheckExact(v) && PyInt_AS_LONG(v) == -1; }

using py::percent;

// a + b, as the operator answers it.
inline py::Ref concat(PyObject* a, PyObject* b) { return py::Ref::steal(PyNumber_Add(a, b)); }
// sep.join(items).
inline py::Ref join(PyObject* sep, PyObject* items) { return py::callm(sep, ID("join"), items); }

// a == b, as the operator answers it: texts and ints compared here (two
// interned texts are equal only when they are one object), anything else
// by the interpreter.
inline bool eq(PyObject* a, PyObject* b) {
  if (PyString_CheckExact(a) && PyString_CheckExact(b)) return py::same_text(a, b);
  if (PyInt_CheckExact(a) && PyInt_CheckExact(b)) return PyInt_AS_LONG(a) == PyInt_AS_LONG(b);
  return py::truth(py::Ref::steal(PyObject_RichCompare(a, b, Py_EQ)));
}

// a != b, as the operator answers it: never by identity alone (a nan is
// unequal to itself, and so is an object whose __ne__ says so).
inline bool ne(PyObject* a, PyObject* b) {
  if (PyString_CheckExact(a) && PyString_CheckExact(b)) return !py::same_text(a, b);
  if (PyInt_CheckExact(a) && PyInt_CheckExact(b)) return PyInt_AS_LONG(a) != PyInt_AS_LONG(b);
  return py::truth(py::Ref::steal(PyObject_RichCompare(a, b, Py_NE)));
}

using py::add_to;
using py::append_to;

// "%s.%d" % (name, vid): a switch-port name with its VLAN.
py::Ref tagged(PyObject* name, PyObject* vid);
// "%d.%s" % (vid, grp): the key of a multicast-database entry.
py::Ref vid_key(PyObject* vid, PyObject* grp);

}  // namespace murchet
