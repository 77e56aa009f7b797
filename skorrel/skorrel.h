// The platform model: shared declarations of the skorrel module.
#pragma once

#include "../common/func.h"

#include <vector>

namespace skorrel {

// The 79 class statements in creation order; each class dict holds the
// class's __qualname__.
using py::ClassDef;
using py::OpSpec;
extern const py::ClassTable base_classes;      // 1-9: errors, platform, switch, port
extern const py::ClassTable family_classes;    // 10-20: one port base per chip line
extern const py::ClassTable trident_classes;   // 21-37: Trident lines, 1G/10G chips
extern const py::ClassTable tomahawk_classes;  // 38-51: Trident3, Tomahawk, Maverick
extern const py::ClassTable chip_classes;      // 52-79: chip base, lines and parts

// The implementation tables, one per source file.
extern const py::ImplTable port_impls;      // Port, SDKPort
extern const py::ImplTable chip_impls;      // switches and chips
extern const py::ImplTable tomahawk_impls;  // Tomahawk, Maverick, Trident3
extern const py::ImplTable trident_impls;   // Trident lines, 1G/10G chips

// A module-level global by name (classes are looked up at call time).
py::Ref global(const char* name);
py::Ref global(PyObject* name);  // interned

// The one way a constructor here runs its parent's: `<cls>.__init__(self,
// k=v, ...)` through py::call_unbound, the class looked up by its name
// (interned, or a text) in the module when it runs, every argument handed
// on by name.
template <class Name>
void init_parent(Name cls, PyObject* self, const py::Keyword* kw, size_t n) {
  py::call_unbound(global(cls), ID("__init__"), {self}, kw, n);
}
template <class Name>
void init_parent(Name cls, PyObject* self, std::initializer_list<py::Keyword> kw = {}) {
  init_parent(cls, self, kw.begin(), kw.size());
}

}  // namespace skorrel
