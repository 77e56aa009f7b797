// The function type: its calls, attributes and traceback entries.
#include "function.h"

#include <frameobject.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace py {
namespace detail {

// Turns whatever an operation threw into the pending interpreter error.
void translate_exception() {
  try {
    throw;
  } catch (const Raised&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// The answer of failed(): an object that is nothing else.
PyObject failed_answer = {_PyObject_EXTRA_INIT 1, &PyBaseObject_Type};

}  // namespace detail

using detail::failed_answer;
using detail::FunctionObject;
using detail::kMaxArgs;
using detail::translate_exception;

namespace {

PyObject* plural_error(FunctionObject* f, const char* how, int n, int given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d argument%s (%d given)",
               PyString_AS_STRING(f->name), how, n, n == 1 ? "" : "s", given);
  return nullptr;
}

// The parameter named by the keyword `key` (a str, or a unicode text
// compared as the interpreter compares it), -1 for none, -2 on error.
int find_param(FunctionObject* f, PyObject* key) {
  for (int i = 0; i < f->argcount; ++i)
    if (PyTuple_GET_ITEM(f->varnames, i) == key) return i;
  for (int i = 0; i < f->argcount; ++i) {
    int r = PyObject_RichCompareBool(key, PyTuple_GET_ITEM(f->varnames, i), Py_EQ);
    if (r != 0) return r > 0 ? i : -2;
  }
  return -1;
}

// A keyword's text for an error message (a unicode one encoded as the
// interpreter does, unknown characters replaced).
Ref keyword_text(PyObject* key) {
  if (PyString_Check(key)) return Ref::borrow(key);
  return Ref::steal(PyUnicode_AsEncodedString(key, nullptr, "replace"));
}

// An implementation's answer as the interpreter takes it: a new reference,
// None for an empty one, NULL with the traceback entry added on failure.
PyObject* answer_of(PyObject* self, Ref r) {
  if (r.get() == &failed_answer) {
    add_traceback_of(self);
    return nullptr;
  }
  return r ? r.release() : Ref::borrow(Py_None).release();
}

// Runs the function's implementation on its arguments, in parameter order,
// and hands its answer to the interpreter.
PyObject* invoke(PyObject* self, PyObject* const* args) {
  try {
    return answer_of(self, reinterpret_cast<FunctionObject*>(self)->impl(Args(args)));
  } catch (...) {
    translate_exception();
  }
  add_traceback_of(self);
  return nullptr;
}

PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kw) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  // Every argument by position: the caller holds them, and the function.
  if (PyTuple_GET_SIZE(args) == f->argcount && (!kw || !PyDict_Size(kw)))
    return invoke(self, &PyTuple_GET_ITEM(args, 0));
  // Every argument is held for the whole call: the caller's keyword dict,
  // the defaults, even this function may change while the call runs code.
  Ref keep = Ref::borrow(self);
  Ref defaults = Ref::borrow(f->defaults);
  const int argcount = f->argcount;
  const int ndefaults = defaults ? int(PyTuple_GET_SIZE(defaults.get())) : 0;
  struct Held {  // the keyword values, each held once
    PyObject* v[kMaxArgs];
    int n = 0;
    ~Held() {
      while (n) {
        PyObject* o = v[--n];  // (the macro reads its argument twice)
        Py_DECREF(o);
      }
    }
  } held;
  PyObject* slot[kMaxArgs];  // the parameters, filled below
  std::fill_n(slot, argcount, nullptr);
  int n = int(PyTuple_GET_SIZE(args));
  int nkw = kw ? int(PyDict_Size(kw)) : 0;
  if (n > argcount) return plural_error(f, ndefaults ? "at most" : "exactly", argcount, n + nkw);
  for (int i = 0; i < n; ++i) slot[i] = PyTuple_GET_ITEM(args, i);
  try {
    if (nkw) {
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(kw, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (!PyString_Check(key.get()) && !PyUnicode_Check(key.get()))
          raisef(PyExc_TypeError, "%.200s() keywords must be strings",
                 PyString_AS_STRING(f->name));
        int j = find_param(f, key);
        if (j == -2) throw Raised();
        if (j < 0 || slot[j])
          raisef(PyExc_TypeError,
                 j < 0 ? "%.200s() got an unexpected keyword argument '%.400s'"
                       : "%.200s() got multiple values for keyword argument '%.400s'",
                 PyString_AS_STRING(f->name), PyString_AS_STRING(keyword_text(key).get()));
        slot[j] = held.v[held.n++] = value.release();
      }
    }
    int first_default = argcount - ndefaults;
    for (int i = 0; i < argcount; ++i) {
      if (slot[i]) continue;
      if (i >= first_default) {
        slot[i] = PyTuple_GET_ITEM(defaults.get(), i - first_default);
        continue;
      }
      int given = 0;
      for (int j = 0; j < argcount; ++j) given += slot[j] != nullptr;
      return plural_error(f, ndefaults ? "at least" : "exactly", first_default, given);
    }
  } catch (...) {
    translate_exception();
    return nullptr;
  }
  return invoke(self, slot);
}

PyObject* fn_get(PyObject* self, PyObject* obj, PyObject* type) {
  if (obj == Py_None) obj = nullptr;
  return PyMethod_New(self, obj, type);
}

PyObject* fn_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyString_FromFormat("<function %s at %p>", PyString_AS_STRING(f->qualname),
                             static_cast<void*>(self));
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->varnames);
  Py_VISIT(f->code);
  Py_VISIT(f->globals);
  Py_VISIT(f->dict);
  Py_VISIT(f->trace_name);
  Py_VISIT(f->trace_code);
  return 0;
}

int fn_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  f->ndefaults = 0;
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->varnames);
  Py_CLEAR(f->code);
  Py_CLEAR(f->globals);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->trace_name);
  Py_CLEAR(f->trace_code);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (reinterpret_cast<FunctionObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  PyObject_GC_Del(self);
}

// Getters and setters of the introspection attributes.
template <PyObject* FunctionObject::*M>
PyObject* get_field(PyObject* self, void*) {
  PyObject* v = reinterpret_cast<FunctionObject*>(self)->*M;
  if (!v) v = Py_None;
  Py_INCREF(v);
  return v;
}

template <PyObject* FunctionObject::*M, bool StringOnly>
int set_field(PyObject* self, PyObject* value, void*) {
  if (!value || (StringOnly && !PyString_Check(value))) {
    PyErr_SetString(PyExc_TypeError, StringOnly ? "__name__ must be set to a string object"
                                                : "attribute may not be deleted");
    return -1;
  }
  PyObject*& slot = reinterpret_cast<FunctionObject*>(self)->*M;
  Py_INCREF(value);
  Py_XSETREF(slot, value);
  return 0;
}

// The docstring: deleting it leaves None, as for a function written in Python.
int set_doc(PyObject* self, PyObject* value, void*) {
  return set_field<&FunctionObject::doc, false>(self, value ? value : Py_None, nullptr);
}

// The defaults: a tuple, or None (or deleted) for none.
int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  auto* f = reinterpret_cast<FunctionObject*>(self);
  // The count first: the old defaults, going, may run code that calls the
  // function.
  f->ndefaults = value ? int(PyTuple_GET_SIZE(value)) : 0;
  Py_XINCREF(value);
  Py_XSETREF(f->defaults, value);
  return 0;
}

// The attribute dict, made at first use.
PyObject* get_dict(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->dict && !(f->dict = PyDict_New())) return nullptr;
  Py_INCREF(f->dict);
  return f->dict;
}

int set_dict(PyObject* self, PyObject* value, void*) {
  if (!value || !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, value ? "setting function's dictionary to a non-dict"
                                           : "function's dictionary may not be deleted");
    return -1;
  }
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_INCREF(value);
  Py_XSETREF(f->dict, value);
  return 0;
}

// No free variables: the closure is None.
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

#define ACCESS(n, get, set) \
  { const_cast<char*>(n), get, set, nullptr, nullptr }
#define FIELD_RO(n, m) ACCESS(n, get_field<&FunctionObject::m>, nullptr)
#define FIELD_RW(n, m, s) \
  ACCESS(n, get_field<&FunctionObject::m>, (set_field<&FunctionObject::m, s>))

PyGetSetDef fn_getset[] = {
    FIELD_RW("__name__", name, true),
    FIELD_RW("func_name", name, true),
    FIELD_RW("__qualname__", qualname, true),
    FIELD_RW("__module__", module, false),
    ACCESS("__doc__", get_field<&FunctionObject::doc>, set_doc),
    ACCESS("func_doc", get_field<&FunctionObject::doc>, set_doc),
    ACCESS("__defaults__", get_field<&FunctionObject::defaults>, set_defaults),
    ACCESS("func_defaults", get_field<&FunctionObject::defaults>, set_defaults),
    ACCESS("__dict__", get_dict, set_dict),
    ACCESS("func_dict", get_dict, set_dict),
    ACCESS("__closure__", get_none, nullptr),
    ACCESS("func_closure", get_none, nullptr),
    FIELD_RO("__code__", code),
    FIELD_RO("func_code", code),
    FIELD_RO("__globals__", globals),
    FIELD_RO("func_globals", globals),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A function is copied as itself, as the copy module copies functions.
PyObject* fn_copy(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyMethodDef fn_methods[] = {
    {"__copy__", fn_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", fn_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A default literal of a signature: None, True, False or an integer.
Ref parse_default(const std::string& text) {
  if (text == "None") return none();
  if (text == "True") return boolean(true);
  if (text == "False") return boolean(false);
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 0);
  if (text.empty() || *end) raisef(PyExc_SystemError, "bad default '%s'", text.c_str());
  return integer(v);
}

std::string_view trim(std::string_view s) {
  size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  return b == std::string_view::npos ? std::string_view() : s.substr(b, e - b + 1);
}

// The interned text `s`.
Ref interned(std::string_view s) {
  PyObject* o = PyString_FromStringAndSize(s.data(), Py_ssize_t(s.size()));
  if (!o) throw Raised();
  PyString_InternInPlace(&o);
  return Ref::steal(o);
}

}  // namespace

namespace detail {
PyTypeObject FunctionType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(&PyType_Type, 0)};
  t.tp_name = "function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = fn_dealloc;
  t.tp_repr = fn_repr;
  t.tp_call = fn_call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = fn_traverse;
  t.tp_clear = fn_clear;
  t.tp_getset = fn_getset;
  t.tp_methods = fn_methods;
  t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
  t.tp_descr_get = fn_get;
  t.tp_dictoffset = offsetof(FunctionObject, dict);
  return t;
}();

const char* function_layout() {
  // Renew the version at any change of FunctionObject or of what its `run`
  // entry means; the sizes catch a change forgotten.
  constexpr int kVersion = 1;
  static char layout[64];
  if (!layout[0])
    snprintf(layout, sizeof layout, "py.function layout %d, %zu bytes, run at %zu", kVersion,
             sizeof(FunctionObject), offsetof(FunctionObject, run));
  return layout;
}

PyObject* function_layout_key() { return ID("__function_layout__"); }

void ready_function_type() {
  static bool marked = false;
  if (marked) return;
  if (PyType_Ready(&FunctionType) < 0) throw Raised();
  Ref mark = Ref::steal(PyCapsule_New(&FunctionType, function_layout(), nullptr));
  dict_set(FunctionType.tp_dict, function_layout_key(), mark);
  PyType_Modified(&FunctionType);
  marked = true;
}
}  // namespace detail

using detail::FunctionType;

Ref make_function(const ModuleInfo& mod, const std::string& qualname, const char* signature,
                  Impl impl, const char* doc) {
  detail::ready_function_type();
  std::vector<Ref> names, defaults;
  names.reserve(8);
  for (const char *p = signature, *q; *p; p = *q ? q + 1 : q) {
    q = strchr(p, ',');
    if (!q) q = p + strlen(p);
    std::string_view param = trim(std::string_view(p, size_t(q - p)));
    size_t eq = param.find('=');
    if (eq != std::string_view::npos) {
      defaults.push_back(parse_default(std::string(trim(param.substr(eq + 1)))));
      param = trim(param.substr(0, eq));
    } else if (!defaults.empty()) {
      raisef(PyExc_SystemError, "%s: parameter without default after defaults", qualname.c_str());
    }
    names.push_back(interned(param));
  }
  if (names.size() > size_t(kMaxArgs)) raise(PyExc_SystemError, "too many parameters");

  auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (!f) throw Raised();
  f->impl = impl;
  f->argcount = int(names.size());
  f->ndefaults = int(defaults.size());
  f->name = f->qualname = f->module = f->doc = f->defaults = f->varnames = f->code = f->globals =
      f->dict = f->trace_name = f->trace_code = f->weakrefs = nullptr;
  f->trace_file = mod.trace_file;
  f->run = invoke;
  Ref fn = Ref::steal(reinterpret_cast<PyObject*>(f));

  size_t dot = qualname.rfind('.');
  const char* shortname = qualname.c_str() + (dot == std::string::npos ? 0 : dot + 1);
  f->name = Ref::steal(PyString_InternFromString(shortname)).release();
  f->qualname = str(qualname).release();
  f->module = Ref::steal(PyString_InternFromString(mod.name)).release();
  f->doc = (doc ? str(doc) : none()).release();
  Ref varnames = tuple(Py_ssize_t(names.size()));
  for (size_t i = 0; i < names.size(); ++i)
    PyTuple_SET_ITEM(varnames.get(), Py_ssize_t(i), Ref(names[i]).release());
  f->varnames = Ref(varnames).release();
  if (!defaults.empty()) {
    Ref d = tuple(Py_ssize_t(defaults.size()));
    for (size_t i = 0; i < defaults.size(); ++i)
      PyTuple_SET_ITEM(d.get(), Py_ssize_t(i), Ref(defaults[i]).release());
    f->defaults = d.release();
  }
  f->globals = Ref::borrow(mod.globals).release();
  if (mod.trace_file) f->trace_name = str(std::string(mod.name) + "." + qualname).release();

  Ref empty_str = str(""), empty = tuple(0);
  Ref filename = str(mod.trace_file ? mod.trace_file : mod.name);
  f->code = reinterpret_cast<PyObject*>(
      PyCode_New(f->argcount, f->argcount, 0, CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE, empty_str,
                 empty, empty, varnames, empty, empty, filename, f->name, 0, empty_str));
  if (!f->code) throw Raised();
  PyObject_GC_Track(fn.get());
  return fn;
}

Ref global(const ModuleInfo& mod, const char* name) {
  return global(mod, Ref::steal(PyString_InternFromString(name)));
}

Ref global(const ModuleInfo& mod, PyObject* name) {
  if (PyObject* v = dict_get(mod.globals, name)) return Ref::borrow(v);
  return builtin(name);
}

Ref failed() { return Ref::borrow(&failed_answer); }
bool is_failed(PyObject* answer) { return answer == &failed_answer; }

namespace {
// Adds a traceback entry with a code object made beforehand.
void add_traceback_entry(PyCodeObject* code, int line) {
  HeldError held;
  PyObject* globals = PyDict_New();
  PyFrameObject* frame = code && globals ? PyFrame_New(PyThreadState_GET(), code, globals, nullptr)
                                         : nullptr;
  PyErr_Clear();
  held.restore();
  if (frame) {
    frame->f_lineno = line;
    PyTraceBack_Here(frame);
  }
  Py_XDECREF(frame);
  Py_XDECREF(globals);
}
}  // namespace

void add_traceback_of(PyObject* function) {
  if (!function || Py_TYPE(function) != &FunctionType) return;
  auto* f = reinterpret_cast<FunctionObject*>(function);
  if (!f->trace_name) return;
  if (!f->trace_code) {
    HeldError held;  // the error on its way stays, whatever happens here
    f->trace_code = reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(f->trace_file, PyString_AS_STRING(f->trace_name), 0));
    if (!f->trace_code) {
      PyErr_Clear();
      return;
    }
  }
  add_traceback_entry(reinterpret_cast<PyCodeObject*>(f->trace_code), 0);
}

void add_traceback(const char* funcname, const char* filename, int line) {
  HeldError held;
  PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
  PyErr_Clear();
  held.restore();
  add_traceback_entry(code, line);
  Py_XDECREF(code);
}

}  // namespace py
