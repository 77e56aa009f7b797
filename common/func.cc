#include "func.h"

#include <frameobject.h>
#include <structmember.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace py {
namespace {

constexpr int kMaxArgs = 32;

struct FunctionObject {
  PyObject_HEAD
  Impl impl;
  int argcount;
  int ndefaults;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;   // tuple or NULL
  PyObject* varnames;   // tuple of the parameter names
  PyObject* code;
  PyObject* globals;
  PyObject* dict;
  PyObject* trace_name;  // "<module>.<qualname>" or NULL
  PyObject* trace_code;  // the traceback entry's code, made at first failure
  PyObject* weakrefs;
  const char* trace_file;
};

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

// The answer of failed(): an object that is nothing else.
PyObject failed_answer = {_PyObject_EXTRA_INIT 1, &PyBaseObject_Type};

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
  if (n > argcount)
    return plural_error(f, ndefaults ? "at most" : "exactly", argcount, n + nkw);
  for (int i = 0; i < n; ++i) slot[i] = PyTuple_GET_ITEM(args, i);
  try {
    if (nkw) {
      Py_ssize_t pos = 0;
      PyObject *k, *v;
      while (PyDict_Next(kw, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        if (!PyString_Check(key.get()) && !PyUnicode_Check(key.get()))
          raisef(PyExc_TypeError, "%.200s() keywords must be strings", PyString_AS_STRING(f->name));
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
  Py_XINCREF(value);
  Py_XSETREF(f->defaults, value);
  f->ndefaults = value ? int(PyTuple_GET_SIZE(value)) : 0;
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

#define ACCESS(n, get, set) {const_cast<char*>(n), get, set, nullptr, nullptr}
#define FIELD_RO(n, m) ACCESS(n, get_field<&FunctionObject::m>, nullptr)
#define FIELD_RW(n, m, s) ACCESS(n, get_field<&FunctionObject::m>, (set_field<&FunctionObject::m, s>))

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

Ref make_function(const ModuleInfo& mod, const std::string& qualname,
                  const char* signature, Impl impl, const char* doc) {
  if (PyType_Ready(&FunctionType) < 0) throw Raised();
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
  f->name = f->qualname = f->module = f->doc = f->defaults = f->varnames = f->code =
      f->globals = f->dict = f->trace_name = f->trace_code = f->weakrefs = nullptr;
  f->trace_file = mod.trace_file;
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
  if (mod.trace_file)
    f->trace_name = str(std::string(mod.name) + "." + qualname).release();

  Ref empty_str = str(""), empty = tuple(0);
  Ref filename = str(mod.trace_file ? mod.trace_file : mod.name);
  f->code = reinterpret_cast<PyObject*>(PyCode_New(
      f->argcount, f->argcount, 0, CO_OPTIMIZED | CO_NEWLOCALS | CO_NOFREE, empty_str, empty,
      empty, varnames, empty, empty, filename, f->name, 0, empty_str));
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

ClassBody::ClassBody(const ModuleInfo& mod, const char* name, const char* doc,
                     Qualname qualname)
    : mod_(mod), name_(name), ns_(dict()) {
  set("__module__", str(mod.name));
  if (qualname == Qualname::bound) set("__qualname__", str(name));
  if (doc) set("__doc__", str(doc));
}

Ref ClassBody::lookup(const char* name) const {
  Ref key = Ref::steal(PyString_InternFromString(name));
  if (PyObject* v = dict_get(ns_, key)) return Ref::borrow(v);
  return global(mod_, key);
}

void ClassBody::op(const OpDef& def) {
  Ref f = make_function(mod_, std::string(name_) + "." + def.name, def.signature, def.impl,
                        def.doc);
  switch (def.bind) {
    case Bind::method:
      break;
    case Bind::classmethod:
      f = Ref::steal(PyClassMethod_New(f));
      break;
    case Bind::staticmethod:
      f = Ref::steal(PyStaticMethod_New(f));
      break;
    case Bind::property:
      f = call(reinterpret_cast<PyObject*>(&PyProperty_Type), f);
      break;
  }
  set(def.name, f);
}

Ref make_class(const ModuleInfo& mod, const ClassBody& body, const char* base) {
  Ref name = Ref::steal(PyString_InternFromString(body.name()));
  Ref cls;
  if (!base) {
    cls = Ref::steal(PyClass_New(nullptr, body.ns(), name));
  } else {
    Ref base_obj = global(mod, base);
    Ref bases = tuple({base_obj.get()});
    if (PyClass_Check(base_obj.get()))
      cls = Ref::steal(PyClass_New(bases, body.ns(), name));
    else
      cls = call(reinterpret_cast<PyObject*>(Py_TYPE(base_obj.get())), name, bases, body.ns());
  }
  dict_set(mod.globals, name, cls);
  return cls;
}

namespace {
Ref not_built(Args) { raise(PyExc_NotImplementedError, "not built"); }
}  // namespace

void make_classes(const ModuleInfo& mod,
                  std::initializer_list<const ClassTable*> classes,
                  std::initializer_list<const ImplTable*> impls, Tables tables) {
  std::unordered_map<std::string, const ImplEntry*> by_name;
  for (const ImplTable* table : impls)
    for (const ImplEntry& e : *table)
      if (!by_name.emplace(e.qualname, &e).second && tables == Tables::checked)
        raisef(PyExc_SystemError, "%s: two implementations of %s", mod.name, e.qualname);
  std::unordered_set<const ImplEntry*> used;
  for (const ClassTable* table : classes)
  for (const ClassDef& def : table->classes) {
    ClassBody body(mod, def.name, def.doc, table->qualname);
    if (def.attrs) def.attrs(body);
    for (const OpSpec& op : def.ops) {
      auto it = by_name.find(std::string(def.name) + "." + op.name);
      if (it == by_name.end()) {
        if (tables == Tables::checked)
          raisef(PyExc_SystemError, "%s: %s.%s has no implementation", mod.name, def.name,
                 op.name);
        body.op({op.name, op.bind, op.signature, not_built, op.doc});
      } else {
        used.insert(it->second);
        body.op({op.name, op.bind, op.signature, it->second->impl,
                 op.doc ? op.doc : it->second->doc});
      }
    }
    make_class(mod, body, def.base);
  }
  if (tables == Tables::checked)
    for (const ImplTable* table : impls)
      for (const ImplEntry& e : *table)
        if (!used.count(&e))
          raisef(PyExc_SystemError, "%s: %s is no operation of any class", mod.name, e.qualname);
}

namespace {
// The classic class lookup: the class's own dict, then its bases depth
// first.  It runs none of the interpreter's code: where a dict could only
// tell by running some (a key of another kind with the name's hash),
// `plain` turns false and the answer is NULL.
PyObject* class_lookup(PyObject* cls, PyObject* name, bool& plain) {
  auto* c = reinterpret_cast<PyClassObject*>(cls);
  PyObject* v = nullptr;
  if (!dict_get_plain(c->cl_dict, name, v)) {
    plain = false;
    return nullptr;
  }
  if (v) return v;
  Py_ssize_t n = PyTuple_GET_SIZE(c->cl_bases);
  for (Py_ssize_t i = 0; i < n; ++i)
    if ((v = class_lookup(PyTuple_GET_ITEM(c->cl_bases, i), name, plain)) || !plain) return v;
  return nullptr;
}
// The same where not knowing counts as not found (the caller then leaves
// the lookup to the interpreter).
PyObject* class_lookup(PyObject* cls, PyObject* name) {
  bool plain = true;
  return class_lookup(cls, name, plain);
}
// Whether the instance's own dict may hold `name` (or cannot tell).
bool may_hold(PyObject* inst, PyObject* name) {
  PyObject* v;
  return !dict_get_plain(reinterpret_cast<PyInstanceObject*>(inst)->in_dict, name, v) || v;
}

// What the lookup of `name` on the classic instance `o` finds on its class,
// when the instance does not hold the name itself (borrowed).
PyObject* found_on_class(PyObject* o, PyObject* name) {
  if (!PyInstance_Check(o) || may_hold(o, name)) return nullptr;
  auto* inst = reinterpret_cast<PyInstanceObject*>(o);
  return class_lookup(reinterpret_cast<PyObject*>(inst->in_class), name);
}

// The function that `o.name` finds when it is the one made from `impl`.
PyObject* own_function(PyObject* o, PyObject* name, Impl impl) {
  PyObject* f = PyClass_Check(o) ? class_lookup(o, name) : found_on_class(o, name);
  return made_from(f, impl) ? f : nullptr;
}

// `f` when it is a function made by make_function that takes `argcount`
// arguments, else NULL.
PyObject* taking(PyObject* f, int argcount) {
  return f && Py_TYPE(f) == &FunctionType &&
                 reinterpret_cast<FunctionObject*>(f)->argcount == argcount
             ? f
             : nullptr;
}

// Where the objects of `type` keep their object member `name` (-1: nowhere).
Py_ssize_t member_offset(PyTypeObject* type, const char* name) {
  for (PyMemberDef* m = type->tp_members; m && m->name; ++m)
    if (!strcmp(m->name, name) && m->type == T_OBJECT) return m->offset;
  return -1;
}
// What `o`, when an object of `type`, holds at `offset` (borrowed; NULL for
// anything else).
PyObject* member_at(PyObject* o, PyTypeObject* type, Py_ssize_t offset) {
  if (!o || Py_TYPE(o) != type || offset < 0) return nullptr;
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}
// A property's getter and a classmethod's function.
PyObject* getter_of(PyObject* o) {
  static const Py_ssize_t at = member_offset(&PyProperty_Type, "fget");
  return member_at(o, &PyProperty_Type, at);
}
PyObject* function_of_classmethod(PyObject* o) {
  static const Py_ssize_t at = member_offset(&PyClassMethod_Type, "__func__");
  return member_at(o, &PyClassMethod_Type, at);
}
}  // namespace

PyObject* own_method(PyObject* o, PyObject* name, int nargs) {
  return taking(found_on_class(o, name), nargs + 1);
}

Ref failed() { return Ref::borrow(&failed_answer); }
bool is_failed(PyObject* answer) { return answer == &failed_answer; }

Ref run_own(PyObject* function, PyObject* const* args) {
  Ref keep = Ref::borrow(function);
  try {
    Ref r = reinterpret_cast<FunctionObject*>(function)->impl(Args(args));
    if (r.get() == &failed_answer) throw Raised();
    return r ? r : none();
  } catch (const Raised&) {
    add_traceback_of(function);
    throw;
  }
}

Ref get_property(PyObject* o, PyObject* name) {
  if (PyObject* get = taking(getter_of(found_on_class(o, name)), 1)) {
    PyObject* const v[] = {o};
    return run_own(get, v);
  }
  return attr(o, name);
}

namespace {
// What the object's own dict holds under the text `name`, found without
// running code: true with `own` the borrowed value or NULL (no dict, or
// nothing of the name); false where it cannot tell.
bool own_entry(PyObject* o, PyObject* name, PyObject*& own) {
  const Py_ssize_t offset = Py_TYPE(o)->tp_dictoffset;
  PyObject* dict;
  if (offset > 0) {
    dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
  } else {
    PyObject** at = _PyObject_GetDictPtr(o);
    dict = at ? *at : nullptr;
  }
  own = nullptr;
  if (!dict) return true;
  if (PyString_CHECK_INTERNED(name) && PyDict_Check(dict))
    return probe_interned(dict, name, reinterpret_cast<PyStringObject*>(name)->ob_shash, own);
  return dict_get_plain(dict, name, own);
}

// What `o.name` finds on the type of `o`, an object of a new-style class
// whose attributes are looked up the interpreter's generic way (borrowed):
// a data descriptor of the type comes before the object's own dict,
// anything else only while that dict does not hold the name.  NULL where
// the type has nothing of that name, or another lookup would serve.
PyObject* found_on_type(PyObject* o, PyObject* name) {
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyString_CheckExact(name)) return nullptr;
  PyObject* found = _PyType_Lookup(type, name);
  if (!found) return nullptr;
  PyTypeObject* kind = Py_TYPE(found);
  if (PyType_HasFeature(kind, Py_TPFLAGS_HAVE_CLASS) && kind->tp_descr_set) return found;
  PyObject* own;
  if (!own_entry(o, name, own) || own) return nullptr;
  return found;
}

// What `cls.name` finds for the new-style class `cls` itself, when its
// metatype has no data descriptor of that name, which would come first
// (borrowed; NULL where the class has nothing of the name).  What the
// metatype has otherwise (type.__init__, say) only serves a class that
// lacks the name.
PyObject* found_on_type_itself(PyObject* cls, PyObject* name) {
  PyTypeObject* meta = Py_TYPE(cls);
  if (meta->tp_getattro != PyType_Type.tp_getattro || !PyString_CheckExact(name)) return nullptr;
  if (PyObject* m = _PyType_Lookup(meta, name))
    if (Py_TYPE(m)->tp_descr_set) return nullptr;
  return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
}
}  // namespace

PyObject* found_attr(PyObject* o, PyObject* name) {
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyString_CheckExact(name)) return nullptr;
  PyObject* found = _PyType_Lookup(type, name);
  bool getter = false;
  if (found && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_HAVE_CLASS) &&
      Py_TYPE(found)->tp_descr_get) {
    if (Py_TYPE(found)->tp_descr_set) return nullptr;  // a data descriptor comes first
    getter = true;
  }
  PyObject* own;
  if (!own_entry(o, name, own)) return nullptr;
  if (own) return own;
  return getter ? nullptr : found;
}

bool is_classmethod_of(PyObject* found, Impl impl) {
  return made_from(function_of_classmethod(found), impl);
}

void set_attrs(PyObject* o, const Keyword* kw, size_t n, TypeMemo<bool>& memo, size_t room) {
  PyTypeObject* type = Py_TYPE(o);
  PyObject** dict = type->tp_setattro == PyObject_GenericSetAttr ? _PyObject_GetDictPtr(o) : nullptr;
  bool plain = dict && memo.get(type, [&](PyTypeObject* t) {
    for (size_t i = 0; i < n; ++i) {
      PyObject* found = _PyType_Lookup(t, kw[i].name);
      if (found && PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_HAVE_CLASS) &&
          Py_TYPE(found)->tp_descr_set)
        return false;
    }
    return true;
  });
  if (!plain) {
    for (size_t i = 0; i < n; ++i) setattr(o, kw[i].name, kw[i].value);
    return;
  }
  if (!*dict) {
    // Room for every entry without growing: the table more than half
    // again as large as the entries.
    Py_ssize_t want = Py_ssize_t(room > n ? room : n);
    *dict = room ? _PyDict_NewPresized(want + want / 2 + 1) : PyDict_New();
    if (!*dict) throw Raised();
  }
  for (size_t i = 0; i < n; ++i) {
    // A value replaced may take code with it that changes the type.
    if (i && !memo.holds(type)) {
      setattr(o, kw[i].name, kw[i].value);
      continue;
    }
    dict_set(*dict, kw[i].name, kw[i].value);
  }
}

bool lacks_own(PyObject* o, PyObject* name) {
  PyObject* own;
  return PyString_CheckExact(name) && own_entry(o, name, own) && !own;
}

void AttrReader::learn(PyTypeObject* type) {
  type_ = nullptr;
  direct_ = type->tp_getattro == PyObject_GenericGetAttr && PyString_CheckExact(name_);
  if (!direct_) return;
  hash_ = PyObject_Hash(name_);  // a text's, which runs no code
  found_ = _PyType_Lookup(type, name_);
  getter_ = false;
  if (found_ && PyType_HasFeature(Py_TYPE(found_), Py_TPFLAGS_HAVE_CLASS) &&
      Py_TYPE(found_)->tp_descr_get) {
    if (Py_TYPE(found_)->tp_descr_set) direct_ = false;  // a data descriptor comes first
    getter_ = true;
  }
  // Remembered only while the type's version (which any change to it or
  // its bases renews) stays valid.
  if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
    type_ = type;
    version_ = type->tp_version_tag;
  }
}

PyObject* AttrReader::find_slowly(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  if (type != type_ || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ||
      type->tp_version_tag != version_)
    learn(type);
  PyObject* own;
  if (!direct_ || !own_entry(o, name_, own)) return nullptr;
  return own ? own : getter_ ? nullptr : found_;
}

Ref call_unbound(PyObject* cls, PyObject* name, std::initializer_list<PyObject*> args,
                 const Keyword* kw, size_t nkw) {
  PyObject* self = args.size() ? *args.begin() : nullptr;
  PyObject* f = nullptr;
  if (!self) {
  } else if (PyClass_Check(cls)) {
    if (PyInstance_Check(self) &&
        PyClass_IsSubclass(
            reinterpret_cast<PyObject*>(reinterpret_cast<PyInstanceObject*>(self)->in_class), cls))
      f = class_lookup(cls, name);
  } else if (PyType_Check(cls) && PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cls))) {
    f = found_on_type_itself(cls, name);
  }
  if (f && Py_TYPE(f) == &FunctionType) {
    auto* fn = reinterpret_cast<FunctionObject*>(f);
    PyObject* slot[kMaxArgs];  // the function's parameters, filled below
    std::fill_n(slot, fn->argcount, nullptr);
    size_t n = args.size();
    bool direct = n <= size_t(fn->argcount);
    if (direct) std::copy(args.begin(), args.end(), slot);
    // Each keyword is tried first where the keyword of its place was found
    // in the last call of this function (a caller mostly names the same
    // keywords in the same order each time), then nearest first around the
    // place after the one before.
    struct Placement {
      PyObject* function;  // not held: a place is only ever a guess
      unsigned char at[kMaxArgs];
    };
    static Placement placements[32];
    Placement& last = placements[(reinterpret_cast<uintptr_t>(f) >> 5) & 31];
    const bool again = last.function == f;
    last.function = f;
    const int first = int(n), count = fn->argcount - first;
    PyObject* const* names = &PyTuple_GET_ITEM(fn->varnames, first);
    int next = 0;
    for (size_t k = 0; direct && k < nkw; ++k) {
      int at = -1;
      if (again && k < size_t(kMaxArgs) && last.at[k] < count && names[last.at[k]] == kw[k].name)
        at = last.at[k];
      for (int d = 0; d < count && at < 0; ++d) {
        int up = next + d, down = next - 1 - d;
        if (up >= count) up -= count;
        if (down < 0) down += count;
        if (names[up] == kw[k].name) at = up;
        else if (names[down] == kw[k].name) at = down;
      }
      direct = at >= 0 && !slot[first + at];
      if (direct) slot[first + at] = kw[k].value;
      if (k < size_t(kMaxArgs)) last.at[k] = static_cast<unsigned char>(at);
      next = at + 1 == count ? 0 : at + 1;
    }
    const int first_default = fn->argcount - fn->ndefaults;
    for (int i = 0; direct && i < fn->argcount; ++i)
      if (!slot[i]) {
        direct = i >= first_default;
        if (direct) slot[i] = PyTuple_GET_ITEM(fn->defaults, i - first_default);
      }
    // The defaults are held while the implementation runs.
    if (direct) {
      Ref defaults = Ref::borrow(fn->defaults);
      return run_own(f, slot);
    }
  }
  Ref function = attr(cls, name);
  Ref kwargs;
  if (nkw) {
    kwargs = dict();
    for (size_t k = 0; k < nkw; ++k) dict_set(kwargs, kw[k].name, kw[k].value);
  }
  return call_kw(function, tuple(args), kwargs);
}

bool made_from(PyObject* function, Impl impl) {
  return function && Py_TYPE(function) == &FunctionType &&
         reinterpret_cast<FunctionObject*>(function)->impl == impl;
}

PyObject* own_typed_method(PyObject* o, PyObject* name, int nargs) {
  if (PyInstance_Check(o) || PyClass_Check(o) || PyType_Check(o)) return nullptr;
  return taking(found_on_type(o, name), nargs + 1);
}

PyObject* own_classmethod(PyObject* o, PyObject* name, int nargs, PyObject** cls) {
  PyObject* found;
  if (PyClass_Check(o)) {
    *cls = o;
    found = class_lookup(o, name);
  } else if (PyInstance_Check(o)) {
    *cls = reinterpret_cast<PyObject*>(reinterpret_cast<PyInstanceObject*>(o)->in_class);
    found = found_on_class(o, name);
  } else if (PyType_Check(o)) {
    *cls = o;
    found = found_on_type_itself(o, name);
  } else {
    *cls = reinterpret_cast<PyObject*>(Py_TYPE(o));
    found = found_on_type(o, name);
  }
  return taking(function_of_classmethod(found), nargs + 1);
}

bool method_is(PyObject* o, PyObject* name, Impl impl) {
  return own_function(o, name, impl) != nullptr;
}

namespace {
// Runs nest on one thread's stack; another thread (the interpreter lock is
// released around any call into Python) keeps its own chain.  Kept in the
// threads' static storage: a module loaded later asks for no storage made
// per thread on demand.
thread_local Run* innermost_run __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace

Run::Run(PyObject* self) : self_(self), outer_(innermost_run) {
  for (Known& k : known_) k.name = nullptr;
  innermost_run = this;
}

Run::~Run() {
  innermost_run = outer_;
  for (size_t i = 0; i < used_; ++i) {
    Py_XDECREF(known_[used_at_[i]].function);
    Py_XDECREF(known_[used_at_[i]].bound);
  }
}

Run* Run::innermost(PyObject* self) {
  Run* run = innermost_run;
  while (run && run->self_ != self) run = run->outer_;
  return run;
}

bool Run::once(PyObject* self, bool (*work)(PyObject*)) {
  Run* run = innermost(self);
  if (!run) return work(self);
  for (size_t i = 0; i < run->found_; ++i)
    if (run->findings_[i].work == work) return run->findings_[i].value;
  bool value = work(self);
  if (run->found_ < sizeof run->findings_ / sizeof run->findings_[0])
    run->findings_[run->found_++] = {work, value};
  return value;
}

void Method::resolve() {
  Run* run = Run::innermost(self_);
  Run::Known* known = run ? run->slot(name_, impl_) : nullptr;
  if (known && known->name) {
    function_ = Ref::borrow(known->function);
    bound_ = Ref::borrow(known->bound);
    resolved_ = true;
    return;
  }
  if (PyObject* f = own_function(self_, name_, impl_))
    function_ = Ref::borrow(f);
  else
    bound_ = attr(self_, name_);
  resolved_ = true;
  if (known && run->used_ < Run::kSlots / 2) {
    *known = {name_, impl_, Ref(function_).release(), Ref(bound_).release()};
    run->used_at_[run->used_++] = static_cast<unsigned char>(known - run->known_);
  }
}

Run::Known* Run::slot(PyObject* name, Impl impl) {
  size_t i = (reinterpret_cast<uintptr_t>(name) >> 4) & (kSlots - 1);
  while (known_[i].name && (known_[i].name != name || known_[i].impl != impl))
    i = (i + 1) & (kSlots - 1);
  return &known_[i];
}

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

namespace {
PyObject* name_nonzero() { return ID("__nonzero__"); }
PyObject* name_len() { return ID("__len__"); }
}  // namespace

bool plain_truth_class(PyObject* cls) {
  bool plain = true;
  return PyClass_Check(cls) && !reinterpret_cast<PyClassObject*>(cls)->cl_getattr &&
         !class_lookup(cls, name_nonzero(), plain) && !class_lookup(cls, name_len(), plain) &&
         plain;
}

bool plain_truth_instance(PyObject* o) {
  PyObject* d = reinterpret_cast<PyInstanceObject*>(o)->in_dict;
  PyObject *nonzero, *len;
  return dict_get_plain(d, name_nonzero(), nonzero) && !nonzero &&
         dict_get_plain(d, name_len(), len) && !len;
}

bool is_true(PyObject* o) {
  if (PyInstance_Check(o) && plain_truth_class(reinterpret_cast<PyObject*>(
                                 reinterpret_cast<PyInstanceObject*>(o)->in_class)) &&
      plain_truth_instance(o))
    return true;
  return truth(o);
}

void add_traceback_entry(PyCodeObject* code, int line) {
  HeldError held;
  PyObject* globals = PyDict_New();
  PyFrameObject* frame =
      code && globals ? PyFrame_New(PyThreadState_GET(), code, globals, nullptr) : nullptr;
  PyErr_Clear();
  held.restore();
  if (frame) {
    frame->f_lineno = line;
    PyTraceBack_Here(frame);
  }
  Py_XDECREF(frame);
  Py_XDECREF(globals);
}

void add_traceback(const char* funcname, const char* filename, int line) {
  HeldError held;
  PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
  PyErr_Clear();
  held.restore();
  add_traceback_entry(code, line);
  Py_XDECREF(code);
}

#ifndef PY_BUILT_FOR
#define PY_STR2(x) #x
#define PY_STR(x) PY_STR2(x)
#define PY_BUILT_FOR PY_STR(PY_MAJOR_VERSION) "." PY_STR(PY_MINOR_VERSION)
#endif

void init_module(const char* name, void (*fill)(ModuleInfo&)) {
  static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
  const char* built = PY_BUILT_FOR;
  const char* running = Py_GetVersion();
  if (built[0] != running[0] || built[2] != running[2]) {
    char msg[200];
    snprintf(msg, sizeof msg,
             "compiletime version %.3s of module '%.100s' does not match runtime version %.3s",
             built, name, running);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1) < 0) return;
  }
  PyObject* module = Py_InitModule4(name, no_methods, nullptr, nullptr, PYTHON_API_VERSION);
  if (!module) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", name);
    return;
  }
  ModuleInfo info{name, PyModule_GetDict(module), nullptr};
  try {
    PyObject* builtins = PyImport_AddModule("__builtin__");
    if (!builtins) throw Raised();
    dict_set(info.globals, "__builtins__", builtins);
    fill(info);
    return;
  } catch (...) {
    translate_exception();
  }
  std::string entry = std::string("init ") + name;
  add_traceback(entry.c_str(), name, 1);
  // The interpreter keeps a failed extension module in sys.modules; a second
  // import would then hand out the half-built module.  Take it out.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (const char* registered = PyModule_GetName(module)) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, registered)) PyDict_DelItemString(modules, registered);
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

}  // namespace py
