// Loading skorrel: the imports and the class statements of the catalogue.
#include "skorrel.h"

namespace skorrel {
namespace {

py::ModuleInfo the_module{};

void fill(py::ModuleInfo& mod) {
  the_module = mod;
  // Resolve the builtins the class bodies and operations use, failing the
  // load early when one is missing.
  for (const char* name : {"RuntimeError", "object", "property", "enumerate", "range",
                           "NotImplementedError", "filter", "min", "reversed", "open"})
    py::builtin(name);
  py::dict_set(mod.globals, "os", py::import("os", mod.globals));
  py::dict_set(mod.globals, "quorvel", py::import("quorvel.platforms", mod.globals));

  py::make_classes(
      mod, {&base_classes, &family_classes, &trident_classes, &tomahawk_classes, &chip_classes},
      {&port_impls, &chip_impls, &tomahawk_impls, &trident_impls});
  py::dict_set(mod.globals, "__test__", py::dict());
}

}  // namespace

py::Ref global(const char* name) { return py::global(the_module, name); }
py::Ref global(PyObject* name) { return py::global(the_module, name); }

}  // namespace skorrel

PY_MODULE_INIT(skorrel) { py::init_module("skorrel", skorrel::fill); }
