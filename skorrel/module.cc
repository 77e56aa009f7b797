// Loading skorrel: the imports and the class statements of the catalogue.
#include "skorrel.h"

#include <string>
#include <unordered_map>

namespace skorrel {
namespace {

py::ModuleInfo the_module{};

// Operations whose implementation is not built answer NotImplementedError.
py::Ref not_built(py::Args) { py::raise(PyExc_NotImplementedError, "not built"); }

void fill(py::ModuleInfo& mod) {
  the_module = mod;
  // Resolve the builtins the class bodies and operations use, failing the
  // load early when one is missing.
  for (const char* name : {"RuntimeError", "object", "property", "enumerate", "range",
                           "NotImplementedError", "filter", "min", "reversed", "open"})
    py::builtin(name);
  py::dict_set(mod.globals, "os", py::import("os", mod.globals));
  py::dict_set(mod.globals, "quorvel", py::import("quorvel.platforms", mod.globals));

  std::unordered_map<std::string, const ImplEntry*> impls;
  for (const auto* table : {&port_impls, &chip_impls, &line7_impls, &line8_impls})
    for (const ImplEntry& e : *table) impls.emplace(e.qualname, &e);

  for (const ClassDef& def : catalogue) {
    py::ClassBody body(mod, def.name, def.doc);
    if (def.attrs) def.attrs(body);
    for (const OpSpec& op : def.ops) {
      auto it = impls.find(std::string(def.name) + "." + op.name);
      py::Impl impl = it == impls.end() ? not_built : it->second->impl;
      const char* doc = it == impls.end() ? nullptr : it->second->doc;
      body.op({op.name, op.bind, op.signature, impl, doc});
    }
    py::make_class(mod, body, def.base);
  }
  py::dict_set(mod.globals, "__test__", py::dict());
}

}  // namespace

const py::ModuleInfo& module() { return the_module; }

py::Ref global(const char* name) {
  PyObject* v = PyDict_GetItemString(the_module.globals, name);
  if (!v) return py::builtin(name);
  return py::Ref::borrow(v);
}

}  // namespace skorrel

PY_MODULE_INIT(skorrel) { py::init_module("skorrel", skorrel::fill); }
