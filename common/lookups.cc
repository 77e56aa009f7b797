// Shortcuts: the lookups in the interpreter's own structures, and the direct runs.
#include "lookups.h"

#include <cStringIO.h>
#include <structmember.h>

#include <algorithm>
#include <cstring>

namespace py {

using detail::failed_answer;
using detail::FunctionObject;
using detail::FunctionType;
using detail::kMaxArgs;

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
}  // namespace

// ---- classic classes, looked up once in an operation call ---------------------

namespace {
// The outermost scope open on this thread (another thread keeps its own),
// whose table serves; kept as innermost_run is.
thread_local ClassScope* open_scope __attribute__((tls_model("initial-exec"))) = nullptr;
}  // namespace

ClassScope::ClassScope() : outer_(open_scope) {
  if (outer_) return;
  for (Entry& e : entries_) e.cls = nullptr;
  open_scope = this;
}

ClassScope::~ClassScope() {
  if (outer_) return;
  open_scope = nullptr;
  for (size_t i = 0; i < used_; ++i) {
    Entry& e = entries_[used_at_[i]];
    Py_DECREF(e.cls);
    Py_DECREF(e.name);
    Py_XDECREF(e.found);
  }
}

[[gnu::always_inline]] inline PyObject* ClassScope::lookup(PyObject* cls, PyObject* name) {
  ClassScope* scope = open_scope;
  if (!scope) return class_lookup(cls, name);
  size_t i = slot_of(cls, name);
  const Entry* e = &scope->entries_[i];
  if (e->cls == cls && e->name == name) return e->found;  // the first slot: a hit mostly
  return scope->learn(cls, name, i);
}

PyObject* ClassScope::learn(PyObject* cls, PyObject* name, size_t i) {
  Entry* e;
  while ((e = &entries_[i])->cls && (e->cls != cls || e->name != name)) i = (i + 1) & (kSlots - 1);
  if (e->cls) return e->found;
  PyObject* found = class_lookup(cls, name);
  if (used_ >= kSlots / 2) return found;
  Py_INCREF(cls);
  Py_INCREF(name);
  Py_XINCREF(found);
  *e = {cls, name, found};
  used_at_[used_++] = static_cast<unsigned char>(i);
  return found;
}

[[gnu::always_inline]] inline PyObject* ClassScope::found_on_instance(
    PyObject* o, PyObject* name) {
  // The interpreter answers "__dict__" and "__class__" itself.
  if (!PyString_CheckExact(name)) return nullptr;
  const char* text = PyString_AS_STRING(name);
  if (text[0] == '_' && text[1] == '_') return nullptr;
  auto* inst = reinterpret_cast<PyInstanceObject*>(o);
  PyObject* own;
  if (!dict_get_plain(inst->in_dict, name, own)) return nullptr;
  if (own) return own;
  PyObject* found = lookup(reinterpret_cast<PyObject*>(inst->in_class), name);
  // A descriptor (a function, a property) binds: the interpreter's.
  if (!found ||
      (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_HAVE_CLASS) && Py_TYPE(found)->tp_descr_get))
    return nullptr;
  return found;
}

namespace {
// Whether the instance's own dict may hold `name` (or cannot tell).
[[gnu::always_inline]] inline bool may_hold(PyObject* inst, PyObject* name) {
  PyObject* v;
  return !dict_get_plain(reinterpret_cast<PyInstanceObject*>(inst)->in_dict, name, v) || v;
}

// What the lookup of `name` on the classic instance `o` finds on its class,
// when the instance does not hold the name itself (borrowed).
// (The instance answers "__dict__" and "__class__" itself: nothing found.)
[[gnu::always_inline]] inline PyObject* found_on_class(PyObject* o, PyObject* name) {
  if (!PyInstance_Check(o) || may_hold(o, name)) return nullptr;
  const char* text = PyString_AS_STRING(name);
  if (text[0] == '_' && text[1] == '_' &&
      (!strcmp(text, "__dict__") || !strcmp(text, "__class__")))
    return nullptr;
  auto* inst = reinterpret_cast<PyInstanceObject*>(o);
  return ClassScope::lookup(reinterpret_cast<PyObject*>(inst->in_class), name);
}

// Whether `function` is a function made by make_function from `impl`.
bool made_from(PyObject* function, Impl impl) {
  return function && Py_TYPE(function) == &FunctionType &&
         reinterpret_cast<FunctionObject*>(function)->impl == impl;
}

// Where the objects of `type` keep their object member `name` (-1: nowhere).
Py_ssize_t member_offset(PyTypeObject* type, const char* name) {
  for (PyMemberDef* m = type->tp_members; m && m->name; ++m)
    if (!strcmp(m->name, name) && m->type == T_OBJECT) return m->offset;
  return -1;
}
// What `o`, when an object of `type`, holds at `offset` (borrowed; NULL for
// anything else).
[[gnu::always_inline]] inline PyObject* member_at(PyObject* o, PyTypeObject* type,
                                                  Py_ssize_t offset) {
  if (!o || Py_TYPE(o) != type || offset < 0) return nullptr;
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}
// A property's getter and a classmethod's function.
[[gnu::always_inline]] inline PyObject* getter_of(PyObject* o) {
  static const Py_ssize_t at = member_offset(&PyProperty_Type, "fget");
  return member_at(o, &PyProperty_Type, at);
}
PyObject* function_of_classmethod(PyObject* o) {
  static const Py_ssize_t at = member_offset(&PyClassMethod_Type, "__func__");
  return member_at(o, &PyClassMethod_Type, at);
}

// Runs the implementation of `function`, a function made by make_function,
// with its parameters `args`, as its call would: a failure gets its
// traceback entry.
[[gnu::always_inline]] inline Ref run_own(PyObject* function, PyObject* const* args) {
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

// Whether `kind` is another module's copy of the glue's function type, of
// this very layout: a type made in C (no class statement's), of the size of
// the function object, that bears the mark of its layout (function.h).  Its
// functions' `run` entry calls them as their own module's call would.  The
// copies seen are remembered (a type object of a module lives as long as
// the process).
PyTypeObject* copies_seen[8];
__attribute__((noinline)) bool is_function_copy_slowly(PyTypeObject* kind) {
  PyTypeObject** seen = copies_seen;
  for (size_t i = 1; i < sizeof copies_seen / sizeof copies_seen[0]; ++i)
    if (seen[i] == kind) return true;
  if (kind->tp_basicsize != Py_ssize_t(sizeof(FunctionObject)) || kind == &FunctionType ||
      PyType_HasFeature(kind, Py_TPFLAGS_HEAPTYPE) ||
      strcmp(kind->tp_name, FunctionType.tp_name) || !kind->tp_dict)
    return false;
  PyObject* mark;
  const char* layout = detail::function_layout();
  if (!dict_get_plain(kind->tp_dict, detail::function_layout_key(), mark) || !mark ||
      !PyCapsule_IsValid(mark, layout) || PyCapsule_GetPointer(mark, layout) != kind)
    return false;
  for (PyTypeObject*& t : copies_seen)
    if (!t) {
      t = kind;
      break;
    }
  return true;
}
// (The first copy seen, the one asked about mostly, is tried inline; a
// function written in Python, the other kind asked about, never is one.)
[[gnu::always_inline]] inline bool is_function_copy(PyTypeObject* kind) {
  return kind == copies_seen[0] || (kind != &PyFunction_Type && is_function_copy_slowly(kind));
}

// run_own for the function `f` (anything else answers empty) called with
// the `n` arguments at `v`, the function's defaults filling the parameters
// after them; empty where they do not fill its parameters.  A function of
// another module's copy of the glue is run through its own module's `run`
// entry, as the call of the interpreter would run it after filling its
// parameters the same way.
// The function's run with its parameters `args` (all filled).
[[gnu::always_inline]] inline Ref run_with(PyObject* f, bool own, PyObject* const* args) {
  if (own) return run_own(f, args);
  Ref keep = Ref::borrow(f);
  return Ref::steal(reinterpret_cast<FunctionObject*>(f)->run(f, args));
}
// run_with where the function's defaults fill the parameters after the `n`
// arguments at `v` (empty where they do not).
__attribute__((noinline)) Ref run_defaulted(PyObject* f, bool own, PyObject* const* v, size_t n) {
  auto* fn = reinterpret_cast<FunctionObject*>(f);
  const size_t argcount = size_t(fn->argcount);
  if (n > argcount || argcount - n > size_t(fn->ndefaults)) return {};
  PyObject* slot[kMaxArgs];
  std::copy(v, v + n, slot);
  const size_t first_default = argcount - size_t(fn->ndefaults);
  for (size_t i = n; i < argcount; ++i)
    slot[i] = PyTuple_GET_ITEM(fn->defaults, Py_ssize_t(i - first_default));
  // The defaults are held while the implementation runs.
  Ref defaults = Ref::borrow(fn->defaults);
  return run_with(f, own, slot);
}
Ref run_filled(PyObject* f, PyObject* const* v, size_t n) {
  if (!f) return {};
  const bool own = Py_TYPE(f) == &FunctionType;
  if (!own && !is_function_copy(Py_TYPE(f))) return {};
  if (n == size_t(reinterpret_cast<FunctionObject*>(f)->argcount)) return run_with(f, own, v);
  return run_defaulted(f, own, v, n);
}

// _PyType_Lookup(type, name), its findings kept in a table of this module's
// (one per slot) for a type whose version is valid: a finding serves while
// the type's version is the one it was made under (any change to the type
// or its bases renews it), as the interpreter's own method cache does.  The
// names are held, so that no other text comes to stand at a name's address.
struct TypeFinding {
  PyTypeObject* type;  // not held: a type renewed or gone has another version
  unsigned int version;
  PyObject* name;  // held
  PyObject* found;
};
TypeFinding type_findings[512];

PyObject* type_lookup_slowly(PyTypeObject* type, PyObject* name, TypeFinding& f) {
  PyObject* found = _PyType_Lookup(type, name);
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || !PyString_CheckExact(name))
    return found;
  Py_INCREF(name);
  PyObject* old = f.name;
  f = {type, type->tp_version_tag, name, found};
  Py_XDECREF(old);  // a text, whose release runs no code
  return found;
}

[[gnu::always_inline]] inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  TypeFinding& f = type_findings[((reinterpret_cast<uintptr_t>(type) >> 4) * 31 +
                                  (reinterpret_cast<uintptr_t>(name) >> 4)) &
                                 511];
  if (f.type == type && f.name == name && f.version == type->tp_version_tag &&
      PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
    return f.found;
  return type_lookup_slowly(type, name, f);
}

// What the object's own dict holds under the text `name`, found without
// running code: true with `own` the borrowed value or NULL (no dict, or
// nothing of the name); false where it cannot tell.  A classic instance
// keeps its dict in the instance itself, not where the type tells.
[[gnu::always_inline]] inline bool own_entry(PyObject* o, PyObject* name, PyObject*& own) {
  const Py_ssize_t offset = Py_TYPE(o)->tp_dictoffset;
  PyObject* dict;
  if (PyInstance_Check(o)) {
    dict = reinterpret_cast<PyInstanceObject*>(o)->in_dict;
  } else if (offset > 0) {
    dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
  } else {
    PyObject** at = _PyObject_GetDictPtr(o);
    dict = at ? *at : nullptr;
  }
  own = nullptr;
  return !dict || dict_get_plain(dict, name, own);
}

// What `o.name` finds on the type of `o`, an object of a new-style class
// whose attributes are looked up the interpreter's generic way (borrowed):
// a data descriptor of the type comes before the object's own dict,
// anything else only while that dict does not hold the name.  NULL where
// the type has nothing of that name, or another lookup would serve.
[[gnu::always_inline]] inline PyObject* found_on_type(PyObject* o, PyObject* name) {
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyString_CheckExact(name)) return nullptr;
  PyObject* found = type_lookup(type, name);
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
  if (PyInstance_Check(o)) return ClassScope::found_on_instance(o, name);
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro != PyObject_GenericGetAttr || !PyString_CheckExact(name)) return nullptr;
  PyObject* found = type_lookup(type, name);
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

namespace {
// The type of the interpreter's descriptors of C methods (str.join's).
PyTypeObject* method_descriptor_type() {
  static PyTypeObject* const type = Py_TYPE(_PyType_Lookup(&PyString_Type, ID("join")));
  return type;
}

// What a built-in type `type` has under `name` where it is a C method
// taking no arguments that `o.name` binds to an object of the type; NULL
// for anything else.
PyMethodDef* noargs_method(PyTypeObject* type, PyObject* name) {
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
      type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0 ||
      !PyString_CheckExact(name))
    return nullptr;
  PyObject* found = _PyType_Lookup(type, name);
  if (!found || Py_TYPE(found) != method_descriptor_type()) return nullptr;
  PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(found)->d_method;
  return (def->ml_flags & ~METH_COEXIST) == METH_NOARGS ? def : nullptr;
}

// meth(self, arg), a C function run as PyObject_Call runs it: within its
// recursion check, a NULL answer without an error its SystemError.
Ref run_c_function(PyCFunction meth, PyObject* self, PyObject* arg) {
  if (Py_EnterRecursiveCall(" while calling a Python object")) throw Raised();
  PyObject* r = meth(self, arg);
  Py_LeaveRecursiveCall();
  if (!r && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return Ref::steal(r);
}

// Whether `f` is a built-in function or method of the calling convention
// `flags` (METH_O, METH_NOARGS).
bool c_function_of(PyObject* f, int flags) {
  return PyCFunction_Check(f) && (PyCFunction_GET_FLAGS(f) & ~METH_COEXIST) == flags;
}
}  // namespace

Ref call_one(PyObject* f, PyObject* a) {
  if (!c_function_of(f, METH_O)) return call(f, a);
  return run_c_function(PyCFunction_GET_FUNCTION(f), PyCFunction_GET_SELF(f), a);
}

Ref call_none(PyObject* f) {
  if (!c_function_of(f, METH_NOARGS)) return call(f);
  return run_c_function(PyCFunction_GET_FUNCTION(f), PyCFunction_GET_SELF(f), nullptr);
}

Ref call_noargs(PyObject* o, PyObject* name) {
  PyMethodDef* def = noargs_method(Py_TYPE(o), name);
  if (!def) return callm(o, name);
  return run_c_function(def->ml_meth, o, nullptr);
}

namespace {
// cStringIO's interface for C where `type` is one of its two types (the
// module loaded, as an object of the type shows), else NULL.  Found in the
// loaded module itself, which is not imported here.
const PycStringIO_CAPI* string_io_of(PyTypeObject* type) {
  if (!PycStringIO) {
    const char* name = type->tp_name;
    if (std::strcmp(name, "cStringIO.StringI") != 0 && std::strcmp(name, "cStringIO.StringO") != 0)
      return nullptr;
    PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), "cStringIO");
    if (!module || !PyModule_Check(module)) return nullptr;
    PyObject* capsule = PyDict_GetItemString(PyModule_GetDict(module), "cStringIO_CAPI");
    if (!capsule || !PyCapsule_IsValid(capsule, PycStringIO_CAPSULE_NAME)) return nullptr;
    PycStringIO = static_cast<PycStringIO_CAPI*>(
        PyCapsule_GetPointer(capsule, PycStringIO_CAPSULE_NAME));
  }
  return type == PycStringIO->InputType || type == PycStringIO->OutputType ? PycStringIO : nullptr;
}
}  // namespace

// A cStringIO object iterates itself, each line as its readline gives it
// and its end at the first empty one.
Lines::Lines(PyObject* f) {
  if (string_io_of(Py_TYPE(f)))
    buffer_ = f;
  else
    it_ = iter(f);
}

bool Lines::next() {
  line_ = Ref();
  buffered_ = false;
  if (buffer_) {
    tick();
    char* s;
    int n = PycStringIO->creadline(buffer_, &s);
    if (n < 0) throw Raised();
    text_ = std::string_view(s, size_t(n));
    buffered_ = n > 0;
    return buffered_;
  }
  line_ = py::next(it_);
  return bool(line_);
}

Ref Lines::object() {
  if (!line_ && buffered_) line_ = str(text_);
  return line_;
}

bool is_classmethod_of(PyObject* found, Impl impl) {
  return made_from(function_of_classmethod(found), impl);
}

void set_attrs(PyObject* o, const Keyword* kw, size_t n, TypeMemo<bool>& memo, size_t room) {
  PyTypeObject* type = Py_TYPE(o);
  PyObject** dict = type->tp_setattro == PyObject_GenericSetAttr ? _PyObject_GetDictPtr(o)
                                                                 : nullptr;
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
  // A value replaced may take code with it that changes the type, or gives
  // the object another one: the type is held meanwhile.
  Ref held_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
  for (size_t i = 0; i < n; ++i) {
    if (i && (Py_TYPE(o) != type || !memo.holds(type))) {
      setattr(o, kw[i].name, kw[i].value);
      continue;
    }
    dict_set(*dict, kw[i].name, kw[i].value);
  }
}

namespace {
// Whether the classic instance's lookup answers `name` (a text) itself,
// before its dict and class: its __dict__ and __class__.
bool instance_answers(PyObject* name) {
  const char* text = PyString_AS_STRING(name);
  return text[0] == '_' && text[1] == '_' &&
         (!strcmp(text, "__dict__") || !strcmp(text, "__class__"));
}
}  // namespace

void setattr_direct(PyObject* o, PyObject* name, PyObject* value) {
  if (PyInstance_Check(o) && !class_sets_attrs(instance_class(o)) && PyString_CheckExact(name) &&
      !instance_answers(name) && PyDict_Check(instance_dict(o)))
    dict_set(instance_dict(o), name, value);
  else
    setattr(o, name, value);
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
        if (names[up] == kw[k].name)
          at = up;
        else if (names[down] == kw[k].name)
          at = down;
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

Ref detail::call_classop(PyObject* o, PyObject* name, PyObject* const* a, size_t n) {
  PyObject* cls;
  PyObject* found;
  if (PyClass_Check(o)) {
    cls = o;
    found = class_lookup(o, name);
  } else if (PyInstance_Check(o)) {
    cls = reinterpret_cast<PyObject*>(reinterpret_cast<PyInstanceObject*>(o)->in_class);
    found = found_on_class(o, name);
  } else if (PyType_Check(o)) {
    cls = o;
    found = found_on_type_itself(o, name);
  } else {
    cls = reinterpret_cast<PyObject*>(Py_TYPE(o));
    found = found_on_type(o, name);
  }
  if (PyObject* f = function_of_classmethod(found)) {
    PyObject* v[kMaxArgs];
    if (n < size_t(kMaxArgs)) {
      // Held, as the bound method holds it: the code the operation runs may
      // give the object another class.
      Ref held = Ref::borrow(cls);
      v[0] = cls;
      std::copy(a, a + n, v + 1);
      if (Ref r = run_filled(f, v, n + 1)) return r;
    }
  }
  return call_kw(attr(o, name), tuple(a, n), nullptr);
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

Run::Known* Run::slot(PyObject* name) {
  size_t i = (reinterpret_cast<uintptr_t>(name) >> 4) & (kSlots - 1);
  while (known_[i].name && known_[i].name != name) i = (i + 1) & (kSlots - 1);
  return &known_[i];
}

Run::Known* Run::known(PyObject* self, PyObject* name) {
  Run* run = innermost(self);
  if (!run) return nullptr;
  Known* known = run->slot(name);
  if (known->name) return known;
  if (run->used_ >= kSlots / 2) return nullptr;
  PyObject* f = found_on_class(self, name);
  if (!ClassScope::binds_as_function(f)) f = nullptr;
  Py_XINCREF(f);
  *known = {name, f, nullptr};
  run->used_at_[run->used_++] = static_cast<unsigned char>(known - run->known_);
  return known;
}

bool ClassScope::binds_as_function(PyObject* found) {
  if (!found) return false;
  PyTypeObject* kind = Py_TYPE(found);
  return kind == &PyFunction_Type || kind == &FunctionType || is_function_copy(kind);
}

namespace {
// What `o.name` finds on the class for a call on the object `o` where the
// object does not hold the name itself (borrowed): for a classic instance,
// its class's (looked up once in a Run for it), for an instance of a
// new-style class, its type's.  NULL where the call is the interpreter's.
[[gnu::always_inline]] inline PyObject* found_for_call(
    PyObject* o, PyObject* name, Run::Known*& known) {
  known = nullptr;
  if (PyInstance_Check(o)) {
    known = Run::known(o, name);
    return known ? known->function : found_on_class(o, name);
  }
  if (PyClass_Check(o) || PyType_Check(o)) return nullptr;
  return found_on_type(o, name);
}

// A function the class holds called without its bound method, and a
// classic instance's property read through its getter (at the end of this
// file).
Ref call_as_bound(PyObject* const* v, size_t n, PyObject* name, PyObject* found);
Ref read_on_classic(PyObject* o, PyObject* name, PyObject* found);
}  // namespace

Ref detail::call_op(PyObject* name, PyObject* const* v, size_t n) {
  Run::Known* known;
  PyObject* found = found_for_call(v[0], name, known);
  if (Ref r = run_filled(found, v, n)) return r;
  if (!known || known->function)
    if (Ref r = call_as_bound(v, n, name, found)) return r;
  Ref method;
  if (known && known->bound) {
    method = Ref::borrow(known->bound);
  } else {
    method = attr(v[0], name);
    // (The lookup may have run code that called the operation too.)
    if (known && !known->bound) known->bound = Ref(method).release();
  }
  return call_kw(method, tuple(v + 1, n - 1), nullptr);
}

Ref read_prop(PyObject* o, PyObject* name) {
  PyObject* found = PyInstance_Check(o)                   ? found_on_class(o, name)
                    : PyClass_Check(o) || PyType_Check(o) ? nullptr
                                                          : found_on_type(o, name);
  PyObject* const v[] = {o};
  if (Ref r = run_filled(getter_of(found), v, 1)) return r;
  if (Ref r = read_on_classic(o, name, found)) return r;
  return attr(o, name);
}

bool own_op(PyObject* o, PyObject* name, Impl impl) {
  if (PyClass_Check(o)) return made_from(class_lookup(o, name), impl);
  Run::Known* known;
  return made_from(found_for_call(o, name, known), impl);
}

PyObject* own_getter(PyObject* o, PyObject* name, Impl impl) {
  PyObject* found = PyInstance_Check(o)                   ? found_on_class(o, name)
                    : PyClass_Check(o) || PyType_Check(o) ? nullptr
                                                          : found_on_type(o, name);
  PyObject* getter = getter_of(found);
  return made_from(getter, impl) ? getter : nullptr;
}

bool own_ops(PyObject* o, const OwnOpEntry* ops, size_t n) {
  if (!PyInstance_Check(o)) return false;
  for (size_t i = 0; i < n; ++i)
    if (!made_from(found_on_class(o, ops[i].name), ops[i].impl)) return false;
  return true;
}

void Operation::resolve() {
  Run::Known* known;
  PyObject* f = found_for_call(self_, name_, known);
  if (made_from(f, impl_)) function_ = Ref::borrow(f);
  resolved_ = true;
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
  if (PyInstance_Check(o) &&
      plain_truth_class(
          reinterpret_cast<PyObject*>(reinterpret_cast<PyInstanceObject*>(o)->in_class)) &&
      plain_truth_instance(o))
    return true;
  return truth(o);
}

// ---- a classic instance's operations, asked without the detours ------------
//
// What call_op and read_prop do for a classic instance where its class has
// no function of the module's own under the name: what the interpreter's
// lookup finds on the class is used as the interpreter would use it, without
// the object it makes on the way (a bound method, a call through the
// property).  A function of another module's copy of the function type
// whose arguments do not fill its parameters, and anything not plainly one
// of the two kinds below, is the interpreter's lookup and call.

namespace {

// f(*v): a function written in Python run on the arguments where they
// lie, as the interpreter's call runs it from an argument tuple (the same
// recursion check, defaults and closure); anything else called with a tuple.
Ref call_array(PyObject* f, PyObject* const* v, size_t n) {
  if (Py_TYPE(f) != &PyFunction_Type) return call_kw(f, tuple(v, n), nullptr);
  PyObject* defaults = PyFunction_GET_DEFAULTS(f);
  bool has_defaults = defaults && PyTuple_Check(defaults);
  if (Py_EnterRecursiveCall(" while calling a Python object")) throw Raised();
  PyObject* r = PyEval_EvalCodeEx(
      reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f)), PyFunction_GET_GLOBALS(f), nullptr,
      const_cast<PyObject**>(v), int(n), nullptr, 0,
      has_defaults ? &PyTuple_GET_ITEM(defaults, 0) : nullptr,
      has_defaults ? int(PyTuple_GET_SIZE(defaults)) : 0, PyFunction_GET_CLOSURE(f));
  Py_LeaveRecursiveCall();
  return Ref::steal(r);
}

// o.name(a...) with `v` the object and its arguments (`n` in all), where
// `found` is what the object's class holds under the name and a function
// that binds as one (written in Python, or any module's copy of the glue's
// function type): the function called with the object in front, as the
// bound method would call it.  Empty where the interpreter's lookup and call
// serve (anything else found, or a name a classic instance answers itself).
Ref call_as_bound(PyObject* const* v, size_t n, PyObject* name, PyObject* found) {
  if (!ClassScope::binds_as_function(found)) return {};
  if (PyInstance_Check(v[0]) && (!PyString_CheckExact(name) || instance_answers(name))) return {};
  Ref keep = Ref::borrow(found);
  return call_array(found, v, n);
}

// o.name where `found` is what found_on_class finds (for a classic
// instance; anything else answers empty at once): the getter of a property
// of the interpreter's own type called with the object, as the property
// calls it.  Empty where the interpreter's lookup serves: another kind of
// attribute, a property without a getter, and a class with __getattr__,
// which answers for a getter failing with AttributeError.
Ref read_on_classic(PyObject* o, PyObject* name, PyObject* found) {
  if (!found || !PyInstance_Check(o) || !PyString_CheckExact(name) || instance_answers(name))
    return {};
  if (reinterpret_cast<PyInstanceObject*>(o)->in_class->cl_getattr) return {};
  PyObject* get = getter_of(found);
  if (!get) return {};
  Ref keep = Ref::borrow(get);
  return call(get, o);
}
}  // namespace

}  // namespace py
