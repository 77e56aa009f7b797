// Classes and modules: class statements run from tables, and a module's initialisation.
#pragma once

#include "function.h"

#include <vector>

namespace py {

enum class Bind { method, classmethod, staticmethod, property };

// One operation of a class statement.
struct OpDef {
  const char* name;
  Bind bind;
  const char* signature;
  Impl impl;
  const char* doc = nullptr;
};

// Whether a class statement binds the class's name as `__qualname__` in the
// class dict, beside `__module__`, before the docstring and the body.
enum class Qualname { unbound, bound };

// A class being built: its namespace dict, filled in source order.
class ClassBody {
 public:
  ClassBody(const ModuleInfo& mod, const char* name, const char* doc, Qualname qualname);
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
  const char* doc = nullptr;  // else the implementation's
};

struct ClassDef {
  const char* name;
  const char* base;           // nullptr: a classic class without base
  const char* doc;            // nullptr: no docstring
  void (*attrs)(ClassBody&);  // the plain class attributes, in order
  std::vector<OpSpec> ops;
};

// The class statements of one table, in order, and whether they bind the
// class's `__qualname__` (the table's choice, the same for all its rows).
struct ClassTable {
  Qualname qualname;
  std::vector<ClassDef> classes;
};

struct ImplEntry {
  const char* qualname;  // "<Class>.<operation>"
  Impl impl;
  const char* doc = nullptr;
};

using ImplTable = std::vector<ImplEntry>;

// Runs the class statements in order, binding each class in the module as
// soon as it exists.  The tables must match: an operation without
// implementation, an implementation no operation names, or two of one name
// fail the import with SystemError.
void make_classes(const ModuleInfo& mod, std::initializer_list<const ClassTable*> classes,
                  std::initializer_list<const ImplTable*> impls);

// Creates the class from its body and its base (looked up by name in the
// module, then among the builtins; nullptr for none) and binds it in the
// module.  Classic when the base is classic or absent, else new-style.
Ref make_class(const ModuleInfo& mod, const ClassBody& body, const char* base);

// Runs a module's initialisation the way the interpreter expects of an
// extension's init function: warns when the running interpreter is not the
// one the module was built for, creates the module with __builtins__ bound,
// runs `fill`, and on failure adds the "init <name>" traceback entry and
// removes the half-built module from sys.modules.
void init_module(const char* name, void (*fill)(ModuleInfo&));

}  // namespace py

// Declares a module's init entry point, the one symbol a module exports.
#define PY_MODULE_INIT(name) extern "C" __attribute__((visibility("default"))) void init##name()
