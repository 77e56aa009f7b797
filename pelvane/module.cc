// Loading pelvane: the imports, in order, and the class statements.
#include "pelvane.h"

namespace pelvane {
namespace {

py::ModuleInfo the_module{};

void fill(py::ModuleInfo& mod) {
  the_module = mod;
  for (const char* name : {"property", "RuntimeError", "ValueError", "open", "sorted",
                           "NotImplementedError", "range", "hex", "TypeError", "enumerate"})
    py::builtin(name);
  PyObject* g = mod.globals;
  for (const char* name : {"ConfigParser", "StringIO", "sys", "subprocess", "syslog"})
    py::dict_set(g, name, py::import(name, g));
  py::dict_set(g, "groupby", py::import_from("itertools", "groupby", g));
  for (const char* name : {"os", "shutil", "sfp", "json"})
    py::dict_set(g, name, py::import(name, g));
  py::dict_set(g, "quorvel", py::import("quorvel.kelvish", g));
  py::dict_set(g, "UnsupportedPlatformError",
               py::import_from("quillet", "UnsupportedPlatformError", g));
  py::make_classes(mod, {&classes},
                   {&config_impls, &port_impls, &bcm_impls, &sdk_impls, &port_table_impls,
                    &table_impls, &linkdefault_impls, &script_impls, &portmap_impls,
                    &property_impls});
  py::dict_set(g, "__test__", py::dict());
}

}  // namespace

const py::ModuleInfo& module() { return the_module; }

py::Ref global(const char* name) { return py::global(the_module, name); }

}  // namespace pelvane

PY_MODULE_INIT(pelvane) { py::init_module("pelvane", pelvane::fill); }
