// Loading murchet: imports, then the twelve classic classes (catalogue.cc).
#include "murchet.h"

#include <memory>

namespace murchet {
namespace {

py::ModuleInfo the_module{};

void fill(py::ModuleInfo& mod) {
  mod.trace_file = "murchet.py";
  the_module = mod;
  for (const char* name : {"json", "os", "re", "socket", "struct", "subprocess", "sys"})
    py::dict_set(mod.globals, name, py::import(name, mod.globals));
  for (const char* name : {"quorvel.quillet", "quorvel.dornick"})
    py::dict_set(mod.globals, "quorvel", py::import(name, mod.globals));
  // The chip shell client exists only on a switch: without it the module
  // still loads, and creating an Asic fails.
  py::Ref shell;
  try {
    shell = py::import("bcmshell", mod.globals);
  } catch (const py::Raised&) {
    if (!py::clear_catchable()) throw;
    shell = py::none();
  }
  py::dict_set(mod.globals, "bcmshell", shell);
  py::make_classes(mod, {&classes}, {&record_impls, &chip_impls, &kernel_impls});
}

// gc.isenabled, gc.disable and gc.enable, looked up once; all empty unless
// each is the collector's own built-in of that name, which runs no Python
// code (a gc module replaced by the caller has no say in the pause).
struct GcSwitch {
  py::Ref isenabled, disable, enable;
};

py::Ref gc_builtin(PyObject* gc, const char* name) {
  py::Ref f = py::attr(gc, name);
  if (!py::c_function_named(f, "gc", name) || PyCFunction_GET_FLAGS(f.get()) != METH_NOARGS)
    return {};
  return f;
}

const GcSwitch& gc_switch() {
  static const GcSwitch* const gc = [] {
    auto s = std::make_unique<GcSwitch>();
    try {
      py::Ref m = py::Ref::steal(PyImport_ImportModule("gc"));
      py::Ref on = gc_builtin(m, "isenabled"), off = gc_builtin(m, "disable"),
              back = gc_builtin(m, "enable");
      if (on && off && back) *s = GcSwitch{on, off, back};
    } catch (const py::Raised&) {
      if (!py::clear_catchable()) throw;
    }
    return s.release();
  }();
  return *gc;
}

}  // namespace

GcPause::GcPause(bool wanted) {
  if (!wanted) return;
  const GcSwitch& gc = gc_switch();
  if (!gc.isenabled) return;
  paused_ = py::truth(py::call_none(gc.isenabled));
  if (paused_) py::call_none(gc.disable);
}

GcPause::~GcPause() {
  if (!paused_) return;
  const GcSwitch& gc = gc_switch();
  py::in_destructor(gc.enable, [&] { py::call_none(gc.enable); });
}

py::Ref global(const char* name) { return py::global(the_module, name); }
py::Ref global(PyObject* name) { return py::global(the_module, name); }

}  // namespace murchet

PY_MODULE_INIT(murchet) { py::init_module("murchet", murchet::fill); }
