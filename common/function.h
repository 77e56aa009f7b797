// The function type: a module's C++ operations made into functions the interpreter calls.
//
// A function made here behaves like a function written in Python: bound into
// a classic or a new-style class it becomes a bound or unbound method with
// the interpreter's own checks; it takes its arguments by position or
// keyword under its parameter names, has defaults, and answers the usual
// introspection (__name__, __qualname__, func_code.co_varnames, ...).  A
// failing one adds its traceback entry.
#pragma once

#include "py.h"

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

// An operation's answer that the interpreter's error it has set is raised:
// `PyErr_...; return py::failed();` fails the operation without a C++
// exception, where failing is one of its expected answers.  The call from
// the interpreter returns the error; a direct run (run_own, Operation) throws
// Raised for it.
Ref failed();
bool is_failed(PyObject* answer);

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
// The same by an interned name.
Ref global(const ModuleInfo& mod, PyObject* name);

// Makes a function object.  `signature` lists the parameters as in a def:
// "self, label, unit=0, oversub=False, mdi_pair_map=None"; defaults may be
// None, True, False or an integer.
Ref make_function(const ModuleInfo& mod, const std::string& qualname, const char* signature,
                  Impl impl, const char* doc = nullptr);

// Adds the traceback entry of a function made by make_function (nothing for
// one made without a trace file); its code object is made once, at the
// function's first failure.
void add_traceback_of(PyObject* function);

// Adds a traceback entry (function name, file, line) to the pending error.
void add_traceback(const char* funcname, const char* filename, int line);

// ---- for the glue's own files -----------------------------------------
// The function object itself, which the shortcuts (lookups.cc) read and
// run directly.  No module touches it.
namespace detail {

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
  PyObject* defaults;  // tuple or NULL
  PyObject* varnames;  // tuple of the parameter names
  PyObject* code;
  PyObject* globals;
  PyObject* dict;
  PyObject* trace_name;  // "<module>.<qualname>" or NULL
  PyObject* trace_code;  // the traceback entry's code, made at first failure
  PyObject* weakrefs;
  const char* trace_file;
  // The call with every parameter filled, in order (held by the caller, as
  // is the function): the implementation run and its answer handed back as
  // the interpreter's call would (a new reference, or NULL with the error
  // set and the traceback entry added).  The module that made the function
  // sets it, so that another module's copy of this glue may call it
  // without the argument tuple.
  PyObject* (*run)(PyObject* self, PyObject* const* args);
};

extern PyTypeObject FunctionType;

// Each module has its own copy of this glue, and so of the function type.
// A copy proves itself by its mark: in the type's dict, under
// "__function_layout__", a capsule whose name is the layout's (its version
// and the struct's size and shape, as function_layout() spells them) and
// whose pointer is the type itself.  Python code can make no capsule, and
// a genuine one copied onto another type names the wrong type; a class
// statement makes a heap type, which is never taken for a copy.
const char* function_layout();
PyObject* function_layout_key();
// Readies the function type with its mark, once.
void ready_function_type();

// The object failed() answers: nothing else is it.
extern PyObject failed_answer;

// Turns whatever an operation threw into the pending interpreter error.
void translate_exception();

}  // namespace detail

}  // namespace py
