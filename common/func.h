// Functions, classes and modules built from C++ for the interpreter.
//
// A `Function` behaves like a function written in Python: bound into a
// classic or a new-style class it becomes a bound or unbound method with the
// interpreter's own checks; it takes its arguments by position or keyword
// under its parameter names, has defaults, and answers the usual
// introspection (__name__, __qualname__, func_code.co_varnames, ...).
#pragma once

#include "py.h"

#include <vector>

namespace py {

// The parsed arguments of one call, in parameter order (borrowed).
class Args {
 public:
  explicit Args(PyObject* const* v) : v_(v) {}
  PyObject* operator[](size_t i) const { return v_[i]; }

 private:
  PyObject* const* v_;
};

// An operation: answers a new reference, or an empty Ref for None.
using Impl = Ref (*)(Args);

enum class Bind { method, classmethod, staticmethod, property };

// What a module's functions share.
struct ModuleInfo {
  const char* name;        // reported as __module__
  PyObject* globals;       // the module's dict (borrowed, lives with it)
  const char* trace_file;  // when set, a failing operation adds a traceback
                           // entry "<name>.<qualname>" in this file
};

// A module global by name, else a builtin (NameError when neither exists);
// looked up when called, so a caller may replace it.
Ref global(const ModuleInfo& mod, const char* name);

// Makes a function object.  `signature` lists the parameters as in a def:
// "self, label, unit=0, oversub=False, mdi_pair_map=None"; defaults may be
// None, True, False or an integer.
Ref make_function(const ModuleInfo& mod, const std::string& qualname,
                  const char* signature, Impl impl, const char* doc = nullptr);

// The implementation behind a function made by make_function; nullptr for
// any other object.  Lets an operation see whether a callee is still its own
// module's operation (not overridden), and then call it directly.
Impl function_impl(PyObject* f);

// One operation of a class statement.
struct OpDef {
  const char* name;
  Bind bind;
  const char* signature;
  Impl impl;
  const char* doc = nullptr;
};

// A class being built: its namespace dict, filled in source order.
class ClassBody {
 public:
  ClassBody(const ModuleInfo& mod, const char* name, const char* doc);
  const char* name() const { return name_; }
  PyObject* ns() const { return ns_; }
  void set(const char* attr, PyObject* value) { dict_set(ns_, attr, value); }
  // An attribute set earlier in this body, else a module global, else a
  // builtin (as a name in a class body is resolved).
  Ref lookup(const char* name) const;
  void op(const OpDef& def);

 private:
  const ModuleInfo& mod_;
  const char* name_;
  Ref ns_;
};

// A class statement as a table row: the operations name their
// implementations indirectly, through "<Class>.<operation>" looked up in the
// module's implementation tables.
struct OpSpec {
  const char* name;
  Bind bind;
  const char* signature;
};

struct ClassDef {
  const char* name;
  const char* base;               // nullptr: a classic class without base
  const char* doc;                // nullptr: no docstring
  void (*attrs)(ClassBody&);      // the plain class attributes, in order
  std::vector<OpSpec> ops;
};

struct ImplEntry {
  const char* qualname;  // "<Class>.<operation>"
  Impl impl;
  const char* doc = nullptr;
};

using ImplTable = std::vector<ImplEntry>;

// Runs the class statements in order, binding each class in the module as
// soon as it exists.  An operation with no implementation raises
// NotImplementedError when called.
void make_classes(const ModuleInfo& mod,
                  std::initializer_list<const std::vector<ClassDef>*> classes,
                  std::initializer_list<const ImplTable*> impls);

// Creates the class from its body and its base (looked up by name in the
// module, then among the builtins; nullptr for none) and binds it in the
// module.  Classic when the base is classic or absent, else new-style.
Ref make_class(const ModuleInfo& mod, const ClassBody& body, const char* base);

// Whether `o.name` finds, unchanged, the function made from `impl`: `o` is an
// instance of a classic class, the name is not set on the instance, and the
// class (or the first base holding the name) has that very function.  A
// caller may then run `impl` directly, with the same outcome as calling the
// bound method; anything else (an override anywhere) answers false.
bool method_is(PyObject* o, PyObject* name, Impl impl);

// The truth of `o` as `if o:` finds it.  A classic instance whose class has
// none of __nonzero__, __len__ and __getattr__, and whose own attributes
// name neither of the first two, is true without the interpreter's two
// failing attribute lookups (whose error texts cost more than the rest).
bool is_true(PyObject* o);

// Adds a traceback entry (function name, file, line) to the pending error.
void add_traceback(const char* funcname, const char* filename, int line);

// Runs a module's initialisation the way the interpreter expects of an
// extension's init function: warns when the running interpreter is not the
// one the module was built for, creates the module with __builtins__ bound,
// runs `fill`, and on failure adds the "init <name>" traceback entry and
// removes the half-built module from sys.modules.
void init_module(const char* name, void (*fill)(ModuleInfo&));

}  // namespace py

// Declares a module's init entry point, the one symbol a module exports.
#define PY_MODULE_INIT(name) \
  extern "C" __attribute__((visibility("default"))) void init##name()

namespace py {

}  // namespace py
