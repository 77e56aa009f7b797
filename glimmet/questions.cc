// The questions configure asks a port, answered as the interpreter's
// attribute lookup answers them, without its detours for a classic
// instance.
#include "glimmet.h"

#include <structmember.h>

#include <cstring>

namespace glimmet {
namespace {

// What the classic class `cls` finds under `name` as the interpreter looks
// for it: in its own dict, then in each base in turn, depth first; `where`
// the class holding it.  Null where no class holds it, and where a dict
// would have to run code to answer (`plain` then false).
PyObject* class_attr(PyObject* cls, PyObject* name, PyObject** where, bool& plain) {
  auto* c = reinterpret_cast<PyClassObject*>(cls);
  PyObject* v;
  if (!py::dict_get_plain(c->cl_dict, name, v) || !PyTuple_Check(c->cl_bases)) {
    plain = false;
    return nullptr;
  }
  if (v) {
    *where = cls;
    return v;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c->cl_bases); ++i) {
    PyObject* base = PyTuple_GET_ITEM(c->cl_bases, i);
    if (!PyClass_Check(base)) {
      plain = false;
      return nullptr;
    }
    v = class_attr(base, name, where, plain);
    if (v || !plain) return v;
  }
  return nullptr;
}

// The getter of a property of the interpreter's own kind (borrowed), null
// for anything else or a property without one.
PyObject* getter_of(PyObject* o) {
  static const Py_ssize_t at = [] {
    for (PyMemberDef* m = PyProperty_Type.tp_members; m && m->name; ++m)
      if (!std::strcmp(m->name, "fget") && m->type == T_OBJECT) return m->offset;
    return Py_ssize_t(-1);
  }();
  if (at < 0 || Py_TYPE(o) != &PyProperty_Type) return nullptr;
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + at);
}

}  // namespace

PyObject* found_on_class(PyObject* o, PyObject* name, PyObject** cls) {
  if (!PyInstance_Check(o)) return nullptr;
  auto* inst = reinterpret_cast<PyInstanceObject*>(o);
  PyObject* own;
  if (!py::dict_get_plain(inst->in_dict, name, own) || own) return nullptr;
  bool plain = true;
  return class_attr(reinterpret_cast<PyObject*>(inst->in_class), name, cls, plain);
}

py::Ref port_property(PyObject* port, PyObject* name) {
  PyObject* cls;
  PyObject* found = found_on_class(port, name, &cls);
  PyObject* get = found ? getter_of(found) : nullptr;
  if (!get) return py::attr(port, name);
  py::Ref keep = py::Ref::borrow(get);
  return py::call(keep, port);
}

}  // namespace glimmet
