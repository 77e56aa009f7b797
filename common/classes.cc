// Classes and modules: the class statements and a module's initialisation.
#include "classes.h"

#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace py {

using detail::translate_exception;

ClassBody::ClassBody(const ModuleInfo& mod, const char* name, const char* doc, Qualname qualname)
    : mod_(mod), name_(name), ns_(dict()) {
  set("__module__", str(mod.name));
  if (qualname == Qualname::bound) set("__qualname__", str(name));
  if (doc) set("__doc__", str(doc));
}

Ref ClassBody::lookup(const char* name) const {
  Ref key = Ref::steal(PyString_InternFromString(name));
  if (PyObject* v = dict_get(ns_, key)) return Ref::borrow(v);
  return global(mod_, key);
}

void ClassBody::op(const OpDef& def) {
  Ref f = make_function(mod_, std::string(name_) + "." + def.name, def.signature, def.impl,
                        def.doc);
  switch (def.bind) {
    case Bind::method: break;
    case Bind::classmethod: f = Ref::steal(PyClassMethod_New(f)); break;
    case Bind::staticmethod: f = Ref::steal(PyStaticMethod_New(f)); break;
    case Bind::property: f = call(reinterpret_cast<PyObject*>(&PyProperty_Type), f); break;
  }
  set(def.name, f);
}

Ref make_class(const ModuleInfo& mod, const ClassBody& body, const char* base) {
  Ref name = Ref::steal(PyString_InternFromString(body.name()));
  Ref cls;
  if (!base) {
    cls = Ref::steal(PyClass_New(nullptr, body.ns(), name));
  } else {
    Ref base_obj = global(mod, base);
    Ref bases = tuple({base_obj.get()});
    if (PyClass_Check(base_obj.get()))
      cls = Ref::steal(PyClass_New(bases, body.ns(), name));
    else
      cls = call(reinterpret_cast<PyObject*>(Py_TYPE(base_obj.get())), name, bases, body.ns());
  }
  dict_set(mod.globals, name, cls);
  return cls;
}

void make_classes(const ModuleInfo& mod, std::initializer_list<const ClassTable*> classes,
                  std::initializer_list<const ImplTable*> impls) {
  std::unordered_map<std::string, const ImplEntry*> by_name;
  for (const ImplTable* table : impls)
    for (const ImplEntry& e : *table)
      if (!by_name.emplace(e.qualname, &e).second)
        raisef(PyExc_SystemError, "%s: two implementations of %s", mod.name, e.qualname);
  std::unordered_set<const ImplEntry*> used;
  for (const ClassTable* table : classes)
    for (const ClassDef& def : table->classes) {
      ClassBody body(mod, def.name, def.doc, table->qualname);
      if (def.attrs) def.attrs(body);
      for (const OpSpec& op : def.ops) {
        auto it = by_name.find(std::string(def.name) + "." + op.name);
        if (it == by_name.end())
          raisef(PyExc_SystemError, "%s: %s.%s has no implementation", mod.name, def.name,
                 op.name);
        used.insert(it->second);
        body.op({op.name, op.bind, op.signature, it->second->impl,
                 op.doc ? op.doc : it->second->doc});
      }
      make_class(mod, body, def.base);
    }
  for (const ImplTable* table : impls)
    for (const ImplEntry& e : *table)
      if (!used.count(&e))
        raisef(PyExc_SystemError, "%s: %s is no operation of any class", mod.name, e.qualname);
}

#ifndef PY_BUILT_FOR
#define PY_STR2(x) #x
#define PY_STR(x) PY_STR2(x)
#define PY_BUILT_FOR PY_STR(PY_MAJOR_VERSION) "." PY_STR(PY_MINOR_VERSION)
#endif

void init_module(const char* name, void (*fill)(ModuleInfo&)) {
  static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
  const char* built = PY_BUILT_FOR;
  const char* running = Py_GetVersion();
  if (built[0] != running[0] || built[2] != running[2]) {
    char msg[200];
    snprintf(msg, sizeof msg,
             "compiletime version %.3s of module '%.100s' does not match runtime version %.3s",
             built, name, running);
    if (PyErr_WarnEx(PyExc_RuntimeWarning, msg, 1) < 0) return;
  }
  PyObject* module = Py_InitModule4(name, no_methods, nullptr, nullptr, PYTHON_API_VERSION);
  if (!module) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", name);
    return;
  }
  // Held while it is filled: what it imports may take it out of sys.modules,
  // which holds it.
  Ref held = Ref::borrow(module);
  ModuleInfo info{name, PyModule_GetDict(module), nullptr};
  try {
    PyObject* builtins = PyImport_AddModule("__builtin__");
    if (!builtins) throw Raised();
    dict_set(info.globals, "__builtins__", builtins);
    fill(info);
    return;
  } catch (...) {
    translate_exception();
  }
  std::string entry = std::string("init ") + name;
  add_traceback(entry.c_str(), name, 1);
  // The interpreter keeps a failed extension module in sys.modules; a second
  // import would then hand out the half-built module.  Take it out.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (const char* registered = PyModule_GetName(module)) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, registered)) PyDict_DelItemString(modules, registered);
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

}  // namespace py
