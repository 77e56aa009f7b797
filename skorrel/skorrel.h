// The platform model: shared declarations of the skorrel module.
#pragma once

#include "../common/func.h"

#include <vector>

namespace skorrel {

// The module as its operations see it (set once at load).
const py::ModuleInfo& module();

// An operation's implementation, found by the class statement under the
// qualified name "<Class>.<operation>".
struct ImplEntry {
  const char* qualname;
  py::Impl impl;
  const char* doc = nullptr;
};

// One operation of a class statement: how it is bound and its parameters.
struct OpSpec {
  const char* name;
  py::Bind bind;
  const char* signature;
};

// One class statement of the catalogue.
struct ClassDef {
  const char* name;
  const char* base;  // nullptr: a classic class without base
  const char* doc;   // nullptr: no docstring
  void (*attrs)(py::ClassBody&);  // the plain class attributes, in order
  std::vector<OpSpec> ops;
};

// The 79 class statements in creation order.
extern const std::vector<ClassDef> catalogue;

// The implementation tables, one per source file.
extern const std::vector<ImplEntry> port_impls;   // Port, SDKPort
extern const std::vector<ImplEntry> chip_impls;   // switches and chips
extern const std::vector<ImplEntry> line7_impls;  // Tomahawk, Maverick, Trident3
extern const std::vector<ImplEntry> line8_impls;  // Trident lines, 1G/10G chips

// A module-level global by name (classes are looked up at call time).
py::Ref global(const char* name);

}  // namespace skorrel
