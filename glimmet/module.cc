// Loading glimmet: the imports, in order, then the controller classes
// (catalogue.cc).
#include "glimmet.h"

namespace glimmet {
namespace {

py::ModuleInfo the_module{};

void fill(py::ModuleInfo& mod) {
  the_module = mod;
  for (const char* name : {"open", "RuntimeError", "property", "set", "range"}) py::builtin(name);
  PyObject* g = mod.globals;
  for (const char* name : {"os", "tempfile", "subprocess", "shutil", "itertools"})
    py::dict_set(g, name, py::import(name, g));
  py::make_classes(mod, {&classes}, {&controller_impls, &program_impls});
  py::dict_set(g, "__test__", py::dict());
}

}  // namespace


const py::ModuleInfo& module() { return the_module; }

py::Ref global(const char* name) { return py::global(the_module, name); }

}  // namespace glimmet

PY_MODULE_INIT(glimmet) { py::init_module("glimmet", glimmet::fill); }
