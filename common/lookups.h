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

// `o.name` where the interpreter's generic attribute lookup would find it
// without running any code: `o` an object of a new-style class looked up
// the generic way, and the name in its own dict, or a plain class attribute
// (no descriptor) of its type that the dict does not hide; or `o` a classic
// instance, the name (not one of "__...") in its own dict, or else a plain
// attribute of its class (as ClassScope finds it).  Borrowed, valid
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
        PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == version_) {
      PyObject* d = *reinterpret_cast<PyObject**>(
          reinterpret_cast<char*>(o) + type->tp_dictoffset);
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

// `o.name = value` for one attribute: straight into a classic instance's
// dict where its class has no __setattr__ (and the name is neither
// __dict__ nor __class__), as the instance's assignment puts it there; for
// anything else the interpreter's assignment.
void setattr_direct(PyObject* o, PyObject* name, PyObject* value);

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

// f(a): a built-in function or method taking one argument run directly,
// as the interpreter's call would run it (within the same recursion
// check); anything else is the interpreter's call.
Ref call_one(PyObject* f, PyObject* a);
// f(): the same for a built-in function or method taking no arguments.
Ref call_none(PyObject* f);

// o.name() for a method without arguments.  Where `o` is an object of a
// built-in type (made in C, not by a class statement) that looks its
// attributes up the generic way and gives its objects no dict, and the
// type has under `name` a C method taking no arguments, that method's
// function runs directly, as the bound method's call would run it (within
// the same recursion check); anything else is the interpreter's o.name().
Ref call_noargs(PyObject* o, PyObject* name);

// The lines of a file object, one after the other, as `for line in f`
// gives them, and with the same errors.  A cStringIO object's lines are
// read straight from its buffer, no str made unless asked for; any other
// object's through its own iteration.
class Lines {
 public:
  explicit Lines(PyObject* f);
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;

  // Moves to the next line; false at the end.  What the iteration raises
  // is thrown.  A turn of the loop over the lines (tick()).
  bool next();
  // The bytes of the line: true where the line is a plain text or read
  // from a buffer, `out` then valid until the file is read again or the
  // interpreter runs code; false for any other line object.
  bool text(std::string_view& out) const {
    if (!line_ && buffered_) {
      out = text_;
      return true;
    }
    if (!line_ || !PyString_CheckExact(line_.get())) return false;
    out = std::string_view(PyString_AS_STRING(line_.get()),
                           size_t(PyString_GET_SIZE(line_.get())));
    return true;
  }
  // The line as the iteration gives it.
  Ref object();

 private:
  PyObject* buffer_ = nullptr;  // the cStringIO object read directly (borrowed)
  Ref it_;                      // else the iterator
  Ref line_;                    // the line's object, once made
  std::string_view text_;       // a line read from the buffer
  bool buffered_ = false;       // the line is text_, no object made yet
};

// ---- an object's operations, called ----------------------------------------
//
// The one way a module calls an operation of an object (its own `self`, or an
// object it is handed), each as the interpreter would run it:
//
//   call_op(o, name, a...)       o.name(a...), a method
//   read_prop(o, name)           o.name, a read-only property
//   call_classop(o, name, a...)  o.name(a...), a classmethod; `o` a class or
//                                an instance of one
//   call_unbound(cls, name, {self, a...}, {{k, v}, ...})
//                                cls.name(self, a..., k=v, ...), a parent's
//                                operation called unbound, as a constructor
//                                calls its parent's __init__
//   own_op(o, name, impl)        whether `o.name` finds, unchanged, the
//                                module's function made from `impl`
//   Operation op(o, name, impl)  the same asked once, for a direct rendering
//                                of `impl` run in the call's place:
//                                op.own() answers own_op; op.traced(f) runs
//                                f, the rendering, with the call's traceback
//                                entry on failure; op(a...) is call_op
//
// Where what `o.name` finds is a function made by make_function (for
// read_prop the getter of a property, for call_classop the function of a
// classmethod) and the arguments fill its parameters, its defaults filling
// the rest, its implementation runs directly, without the interpreter's
// call, and a failure gets the traceback entry the call would have added.
// That holds for a subclass's own function made by make_function too: it is
// what the call would run.  A function made by another module's copy of
// this glue is run the same way, through the `run` entry its module set
// (its parameters filled here, no argument tuple made).  Anything else -- an override written in
// Python, in a subclass or in the instance's own dict, an attribute that is no such function, an
// object of another kind, a lookup that would run code -- is the interpreter's own call.  Which of
// the two it is, is found cheaply:
//  - for an instance of a new-style class (looked up the generic way), from
//    its type's attribute as the interpreter's method cache keeps it for the
//    type's version tag (any change to the type or its bases renews the
//    tag), kept the same way in a table of the glue's own, and a probe of
//    the instance's own dict;
//  - for a classic instance, once per Run open for it (below), else at each
//    call from its own dict and its class's.
// A classic instance's other operations, outside a Run for it, skip the
// interpreter's detours where what its class holds is plainly one of two
// kinds: a function written in Python is called with the object in front
// (no bound method made), a property's getter with the object (not with the
// class's __getattr__ in place, which answers for a getter's
// AttributeError).  The rest is the interpreter's lookup and call.

// One run of an operation on `self`, from its call until it returns: the
// operations of `self` (a classic instance) that it calls are looked up for
// overrides once in the run, not at every call.  Runs nest; the innermost
// one for `self` serves.
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
  // Whether a run for `self` is open: a finding of once() then holds until
  // it ends.
  static bool active(PyObject* self) { return innermost(self) != nullptr; }

  // An operation looked up in a run: its name, the function that
  // `self.name` finds on the class where the call runs it with the object in
  // front (one written in Python, or made by make_function; held; NULL for
  // anything else), and the object's attribute, fetched when first needed
  // (held; NULL until then).
  struct Known {
    PyObject* name;
    PyObject* function;
    PyObject* bound;
  };
  // The operation `name` of `self` as the innermost run for `self` knows it,
  // looked up at the first ask; NULL outside any run for `self`, and once
  // the run knows as many names as it keeps.
  static Known* known(PyObject* self, PyObject* name);

 private:
  static Run* innermost(PyObject* self);
  // The operations looked up so far, by name (open addressing; only the
  // names are cleared at the start); when half full, further ones are
  // looked up at each use.
  static constexpr size_t kSlots = 64;
  Known* slot(PyObject* name);
  PyObject* self_;
  Run* outer_;
  size_t used_ = 0;
  unsigned char used_at_[kSlots / 2];
  struct Finding {
    bool (*work)(PyObject*);
    bool value;
  };
  Finding findings_[8];
  size_t found_ = 0;
  Known known_[kSlots];
};

// ---- classic classes, looked up once in an operation call ---------------------
//
// A module's operation that asks many classic instances of a few classes for
// their operations (a writer walking its configured ports, say) opens a
// ClassScope for the time of its call.  While one is open, what a classic
// class (its own dict, then its bases) holds under a name is looked up at the
// first ask for that class and name and remembered until the outermost scope
// closes; the instance's own dict is still probed at every call, and the
// class itself is read from the instance at every call.  A class changed
// while the scope is open (by code that the operation runs) is seen from the
// next operation call on.  Scopes nest: an inner one adds nothing.  The
// family above (call_op, read_prop, call_classop, own_op, Operation, Run)
// asks through it; outside any scope each ask looks the class up afresh.
class ClassScope {
 public:
  ClassScope();
  ~ClassScope();
  ClassScope(const ClassScope&) = delete;
  ClassScope& operator=(const ClassScope&) = delete;

  // What the classic class `cls` holds under the text `name`, found without
  // running code (borrowed; valid while the scope is open where the scope
  // remembers it, else only until the interpreter next runs code, as it is
  // once the table is half full: the caller holds it before running any);
  // NULL where it holds nothing of the name or cannot tell without running
  // code.
  static PyObject* lookup(PyObject* cls, PyObject* name);
  // found_attr for the classic instance `o`.
  static PyObject* found_on_instance(PyObject* o, PyObject* name);
  // Whether `found`, what an object's class has under a name, is a
  // function that the lookup binds to the object as a method: one written
  // in Python, or one made by make_function in any module.  call_op then
  // calls it with the object first, as the bound method would.
  static bool binds_as_function(PyObject* found);

 private:
  // The findings so far (open addressing, each of the three held; only the
  // outermost scope's table is used).  When half full, further ones are
  // looked up at each ask.
  static constexpr size_t kSlots = 128;
  // The slot where the finding for (cls, name) is looked for first.
  static size_t slot_of(PyObject* cls, PyObject* name) {
    return ((reinterpret_cast<uintptr_t>(cls) >> 4) * 31 +
            (reinterpret_cast<uintptr_t>(name) >> 4)) &
           (kSlots - 1);
  }
  // lookup past the first slot: the slots after it, then the class itself,
  // whose finding is kept while there is room.
  PyObject* learn(PyObject* cls, PyObject* name, size_t i);
  struct Entry {
    PyObject* cls;
    PyObject* name;
    PyObject* found;
  };
  ClassScope* outer_;
  size_t used_ = 0;
  unsigned char used_at_[kSlots / 2];
  Entry entries_[kSlots];
};

namespace detail {
// call_op with the arguments `v` (the object first, `n` in all).
Ref call_op(PyObject* name, PyObject* const* v, size_t n);
}  // namespace detail

template <class... A>
Ref call_op(PyObject* o, PyObject* name, const A&... a) {
  PyObject* v[] = {o, static_cast<PyObject*>(a)...};
  return detail::call_op(name, v, sizeof...(A) + 1);
}

Ref read_prop(PyObject* o, PyObject* name);

namespace detail {
// call_classop with the arguments `a` (`n` of them) after the object.
Ref call_classop(PyObject* o, PyObject* name, PyObject* const* a, size_t n);
}  // namespace detail

template <class... A>
Ref call_classop(PyObject* o, PyObject* name, const A&... a) {
  PyObject* v[] = {static_cast<PyObject*>(a)..., nullptr};
  return detail::call_classop(o, name, v, sizeof...(A));
}

// call_unbound: `args` (self first) by position, then the keywords, whose
// names are interned texts.  It runs directly where `cls` (a class of either
// kind) has under `name` a function made by make_function and `self` is an
// instance of `cls`; a keyword naming a parameter already given, or none of
// the function's, and a parameter left without a value are the
// interpreter's to report.
Ref call_unbound(PyObject* cls, PyObject* name, std::initializer_list<PyObject*> args,
                 const Keyword* kw, size_t nkw);
inline Ref call_unbound(PyObject* cls, PyObject* name, std::initializer_list<PyObject*> args,
                        std::initializer_list<Keyword> kw = {}) {
  return call_unbound(cls, name, args, kw.begin(), kw.size());
}

// own_op: `o` a classic class, or an instance that does not hold the name
// itself, of a classic or new-style class, whose class (or the first base
// holding the name) has that very function.  Anything else (an override
// anywhere, another kind of object) answers false.
bool own_op(PyObject* o, PyObject* name, Impl impl);

// The getter of the read-only property `o.name` where it is, unchanged, the
// module's function made from `impl` (borrowed; NULL for anything else: an
// override anywhere, another kind of object).  A module may then render
// the getter directly, adding its traceback entry on failure.
PyObject* own_getter(PyObject* o, PyObject* name, Impl impl);

// A group of a module's operations asked about together: each one's name
// (interned) and the implementation its function is made from.
struct OwnOpEntry {
  PyObject* name;
  Impl impl;
};
// Whether `o`, a classic instance, overrides none of the `n` operations
// at `ops`: own_op of each.  A module asks it through Run::once (one
// finding per run for `self`) with a function of its own that names the
// group; while it holds, the module may run the group's implementations
// directly, as call_op would have.
bool own_ops(PyObject* o, const OwnOpEntry* ops, size_t n);

class Operation {
 public:
  Operation(PyObject* self, PyObject* name, Impl impl) : self_(self), name_(name), impl_(impl) {}
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // True while `impl` answers for the object.
  bool own() {
    if (!resolved_) resolve();
    return bool(function_);
  }
  // self.name(*a): the implementation run directly while own() holds and
  // the call gives every parameter; else the call through the object, which
  // fills a parameter left out from the function's defaults as they are now
  // (or refuses the call as the interpreter does where it has none).
  template <class... A>
  Ref operator()(const A&... a) {
    if (!own() || !gives_every_parameter(sizeof...(A) + 1)) return call_op(self_, name_, a...);
    PyObject* v[] = {self_, static_cast<PyObject*>(a)...};
    return traced([&] {
      Ref r = impl_(Args(v));
      if (is_failed(r)) throw Raised();
      return r ? r : none();
    });
  }
  // While own() holds: the value the module's function gives its parameter
  // `i` (the object is parameter 0) when a call leaves it out, from its
  // defaults as they are now; NULL where that parameter has none.  Borrowed,
  // valid only until the interpreter next runs code, which may rebind the
  // defaults: the caller holds it (Ref::borrow) before running any.
  PyObject* default_of(int i) const {
    auto* fn = reinterpret_cast<const detail::FunctionObject*>(function_.get());
    if (!fn || !fn->defaults || i >= fn->argcount) return nullptr;
    const int first = fn->argcount - fn->ndefaults;
    return i < first ? nullptr : PyTuple_GET_ITEM(fn->defaults, i - first);
  }
  // The operation's answer with the arguments `a...`: `f()`, a direct
  // rendering of the own operation, while own() holds (traced), else the
  // call through the object.
  template <class F, class... A>
  Ref rendered(const F& f, const A&... a) {
    if (!own()) return call_op(self_, name_, a...);
    return traced(f);
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
  // While own() holds: whether `n` arguments, the object included, give
  // every parameter of the module's function.
  bool gives_every_parameter(size_t n) const {
    return n >= size_t(reinterpret_cast<const detail::FunctionObject*>(function_.get())->argcount);
  }
  PyObject* self_;
  PyObject* name_;
  Impl impl_;
  bool resolved_ = false;
  Ref function_;  // the module's function made from `impl`, while it answers
};

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
