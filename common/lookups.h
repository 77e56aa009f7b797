// Shortcuts: what the interpreter would do, read from its own structures and run directly.
//
// A module runs one of its own operations directly, without the call
// through the object, where the object would run that very operation
// anyway; and it reads an attribute, or tells an object's truth, from the
// interpreter's own structures where that lookup would run no code.  Each
// shortcut falls back on the interpreter's own way wherever it cannot tell.
#pragma once

#include "function.h"

namespace py {

// Whether `o.name` finds, unchanged, the function made from `impl`: `o` is a
// classic class, or an instance of one that does not hold the name itself,
// and the class (or the first base holding the name) has that very function.
// Anything else (an override anywhere, another kind of object) answers false.
bool method_is(PyObject* o, PyObject* name, Impl impl);

// One run of an operation on `self`, from its call until it returns: the
// operations of `self` that it calls are looked up for overrides once in the
// run, not at every call.  Runs nest; the innermost one for `self` serves.
class Run {
 public:
  explicit Run(PyObject* self);
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // work(self), a finding about the object's operations (whether it
  // overrides any of a group, say), made once in the innermost run for
  // `self` and reused there; made afresh at each ask outside any run.
  static bool once(PyObject* self, bool (*work)(PyObject*));

 private:
  friend class Method;
  static Run* innermost(PyObject* self);
  // An operation looked up: its name and implementation, and the module's
  // function or the object's own attribute (one of them held).
  struct Known {
    PyObject* name;
    Impl impl;
    PyObject* function;
    PyObject* bound;
  };
  // The operations looked up so far, by name (open addressing; only the
  // names are cleared at the start); when half full, further ones are
  // looked up at each use.
  static constexpr size_t kSlots = 64;
  Known* slot(PyObject* name, Impl impl);
  PyObject* self_;
  Run* outer_;
  size_t used_ = 0;
  unsigned char used_at_[kSlots / 2];
  struct Finding {
    bool (*work)(PyObject*);
    bool value;
  };
  Finding findings_[4];
  size_t found_ = 0;
  Known known_[kSlots];
};

// The operation `name` of `self`, called as `self.name(...)` would call it.
// Whether the object overrides it is found once, at first use (once per Run,
// below, while one is open for `self`): while it does not, `impl` runs
// directly, and a failure gets the traceback entry that the call would have
// added.
class Method {
 public:
  Method(PyObject* self, PyObject* name, Impl impl) : self_(self), name_(name), impl_(impl) {}
  Method(const Method&) = delete;
  Method& operator=(const Method&) = delete;

  // True while `impl` answers for the object.
  bool own() {
    if (!resolved_) resolve();
    return !bound_;
  }
  template <class... A>
  Ref operator()(const A&... a) {
    if (!own()) return call(bound_, a...);
    PyObject* v[] = {self_, static_cast<PyObject*>(a)...};
    return traced([&] {
      Ref r = impl_(Args(v));
      if (is_failed(r)) throw Raised();
      return r ? r : none();
    });
  }
  // Runs `f`, a direct rendering of the own operation, adding the
  // operation's traceback entry when it fails.
  template <class F>
  auto traced(const F& f) -> decltype(f()) {
    try {
      return f();
    } catch (const Raised&) {
      add_traceback_of(function_);
      throw;
    }
  }

 private:
  void resolve();
  PyObject* self_;
  PyObject* name_;
  Impl impl_;
  bool resolved_ = false;
  Ref bound_;     // the object's own attribute, when it overrides
  Ref function_;  // the module's function, when it does not
};

// `o.name(a...)` for a method: where `o` is a classic instance without an
// attribute of that name of its own, and its class (or the first base
// holding the name) has a function made by make_function that takes exactly
// these arguments, that function's implementation runs directly (a failure
// gets the traceback entry the call would have added); anything else is
// called through the object.  Unlike Method, whichever implementation the
// class has is run, so a subclass's own one serves as well.
PyObject* own_method(PyObject* o, PyObject* name, int nargs);  // borrowed
Ref run_own(PyObject* function, PyObject* const* args);
template <class... A>
Ref call_method(PyObject* o, PyObject* name, const A&... a) {
  PyObject* f = own_method(o, name, int(sizeof...(A)));
  if (!f) return callm(o, name, a...);
  PyObject* v[] = {o, static_cast<PyObject*>(a)...};
  return run_own(f, v);
}

// `o.name` for a read-only property: where `o` is a classic instance without
// an attribute of that name of its own, and its class (or the first base
// holding the name) has a property whose getter is a function made by
// make_function, the getter's implementation runs directly; anything else
// is the interpreter's attribute lookup.
Ref get_property(PyObject* o, PyObject* name);

// `o.name(a...)` for a method, as call_method, for an instance of a new-style
// class whose attributes are looked up the interpreter's generic way: where
// its type (through the type's method cache) has a function made by
// make_function that takes exactly these arguments, and the instance's own
// dict does not hold the name, that function's implementation runs
// directly; anything else is called through the object.
PyObject* own_typed_method(PyObject* o, PyObject* name, int nargs);  // borrowed
// Whether `function` (as own_typed_method answers it) is made from `impl`.
bool made_from(PyObject* function, Impl impl);
template <class... A>
Ref call_typed_method(PyObject* o, PyObject* name, const A&... a) {
  PyObject* f = own_typed_method(o, name, int(sizeof...(A)));
  if (!f) return callm(o, name, a...);
  PyObject* v[] = {o, static_cast<PyObject*>(a)...};
  return run_own(f, v);
}

// `o.name` where the interpreter's generic attribute lookup would find it
// without running any code: `o` an object of a new-style class looked up
// the generic way, and the name in its own dict, or a plain class attribute
// (no descriptor) of its type that the dict does not hide.  Borrowed, valid
// until the interpreter next runs code; NULL where the interpreter's lookup
// has to answer.
PyObject* found_attr(PyObject* o, PyObject* name);
// found_attr for one object after another, the type's part of the lookup
// remembered for objects of one type while the type is unchanged.
class AttrReader {
 public:
  explicit AttrReader(PyObject* name) : name_(name) {}
  PyObject* find(PyObject* o) {
    // An object of the type learnt whose dict answers without doubt.
    PyTypeObject* type = Py_TYPE(o);
    if (type == type_ && direct_ && type->tp_dictoffset > 0 &&
        PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == version_) {
      PyObject* d = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + type->tp_dictoffset);
      PyObject* own = nullptr;
      if (!d || (PyDict_Check(d) && dict_probe(d, name_, hash_, own)))
        return own ? own : getter_ ? nullptr : found_;
    }
    return find_slowly(o);
  }
  // `o.name`: what find() finds, else the interpreter's lookup.
  Ref read(PyObject* o) {
    if (PyObject* v = find(o)) return Ref::borrow(v);
    return attr(o, name_);
  }

 private:
  PyObject* find_slowly(PyObject* o);
  void learn(PyTypeObject* type);
  PyObject* name_;
  PyTypeObject* type_ = nullptr;  // the type learnt, while its version holds
  unsigned int version_ = 0;
  PyObject* found_ = nullptr;  // what the type has under the name (borrowed)
  bool direct_ = false;        // the object's dict may answer directly
  bool getter_ = false;        // the type's attribute is a non-data descriptor
  long hash_ = -1;             // the name's
};

// A keyword argument, or an attribute to set.
struct Keyword {
  PyObject* name;  // interned
  PyObject* value;
};

// A finding about a new-style type, made by learn(type) and kept while the
// type is unchanged: its version valid (any change to the type or its bases
// renews it) and the same.  One type at a time; a type without a valid
// version is learnt afresh at each ask.
template <class Facts>
class TypeMemo {
 public:
  // Whether the finding kept is about `type` as it is now.
  bool holds(PyTypeObject* type) const {
    return type == type_ && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
           type->tp_version_tag == version_;
  }
  template <class Learn>
  const Facts& get(PyTypeObject* type, const Learn& learn) {
    if (!holds(type)) {
      type_ = nullptr;
      facts_ = learn(type);
      if (PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        type_ = type;
        version_ = type->tp_version_tag;
      }
    }
    return facts_;
  }

 private:
  PyTypeObject* type_ = nullptr;
  unsigned int version_ = 0;
  Facts facts_{};
};

// `o.name = value` for each keyword in order, as the interpreter's generic
// assignment makes them: straight into the object's dict (made with room
// for `room` entries when it has none yet) where its type has no data
// descriptor of any of the names, which `memo` (one per call site, whose
// names are always the same) remembers while the type is unchanged; else
// one by one through the interpreter.
void set_attrs(PyObject* o, const Keyword* kw, size_t n, TypeMemo<bool>& memo, size_t room = 0);

// Whether `found` (what a class holds under a name) is a classmethod of the
// function made from `impl`.
bool is_classmethod_of(PyObject* found, Impl impl);

// Whether the object's own dict (if it has one) holds nothing under `name`,
// found without running code; false where it holds it or cannot tell.
bool lacks_own(PyObject* o, PyObject* name);

// `o.name`, read directly where found_attr finds it.
inline Ref plain_attr(PyObject* o, PyObject* name) {
  if (PyObject* v = found_attr(o, name)) return Ref::borrow(v);
  return attr(o, name);
}

// `cls.name(self, ..., k=v, ...)`, the class's function called unbound, as
// a constructor calls its parent's: `args` (self first) by position, then
// the keywords, whose names are interned texts.  Where `cls` (a class of
// either kind) has under `name` a function made by make_function, `self`
// is an instance of `cls`, and every parameter gets a value (the keywords
// naming parameters left after the positions, the function's defaults
// filling the rest), its implementation runs directly (a failure gets the
// call's traceback entry); anything else is called through the
// interpreter.
Ref call_unbound(PyObject* cls, PyObject* name, std::initializer_list<PyObject*> args,
                 const Keyword* kw, size_t nkw);
inline Ref call_unbound(PyObject* cls, PyObject* name, std::initializer_list<PyObject*> args,
                        std::initializer_list<Keyword> kw = {}) {
  return call_unbound(cls, name, args, kw.begin(), kw.size());
}

// `o.name(a...)` for a class-level operation (a classmethod): where `o` is a
// class, or an instance without an attribute of that name of its own, of
// either kind of class, and the class (or the first base holding the name)
// has a classmethod of a function made by make_function that takes the
// class and exactly these arguments, that function's implementation runs
// directly with the class in first place; anything else is called through
// the object.
PyObject* own_classmethod(PyObject* o, PyObject* name, int nargs,
                          PyObject** cls);  // borrowed, as is *cls
template <class... A>
Ref call_classmethod(PyObject* o, PyObject* name, const A&... a) {
  PyObject* cls = nullptr;
  PyObject* f = own_classmethod(o, name, int(sizeof...(A)), &cls);
  if (!f) return callm(o, name, a...);
  PyObject* v[] = {cls, static_cast<PyObject*>(a)...};
  return run_own(f, v);
}

// The truth of `o` as `if o:` finds it.  A classic instance whose class has
// none of __nonzero__, __len__ and __getattr__, and whose own attributes
// name neither of the first two, is true without the interpreter's two
// failing attribute lookups (whose error texts cost more than the rest).
bool is_true(PyObject* o);
// The two halves of that test: the class `cls` has none of the three names,
// and the instance `o` holds neither of the first two.
bool plain_truth_class(PyObject* cls);
bool plain_truth_instance(PyObject* o);

}  // namespace py
