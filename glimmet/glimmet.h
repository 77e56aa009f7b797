// LED program generator: shared declarations of the glimmet module.
#pragma once

#include "../common/func.h"

#include <vector>

namespace glimmet {

// The module as its operations see it (set once at load).
const py::ModuleInfo& module();

// A module-level global by name, looked up at each call so that a caller's
// replacement (glimmet.subprocess = ...) takes effect.
py::Ref global(const char* name);

// The ten class statements in creation order.
extern const py::ClassTable classes;

// The implementation tables, one per source file.
extern const py::ImplTable controller_impls;  // configure, call emission, loop choice
extern const py::ImplTable program_impls;     // program text, assembling, data memory

// The operations another file runs directly while the object does not
// override them.
py::Ref led_map(py::Args a);

// Loops whose length a caller sets take their counts as range() does and
// see pending signals (the glue's).
using py::range_count;
using py::tick;

// Whether a call is a pad: it equals 0 or equals 1.  `bit` gets which.
bool is_pad(PyObject* call, int* bit = nullptr);

// Adds a routine text to an object's routine set (its set_functions); the
// place of a text first added to a set of the interpreter's own kind is
// kept.
void add_routine(PyObject* routines, PyObject* text);

// The texts of a routine set as a new list: those added by add_routine in
// the order of their first adding, then any other in ascending order.
py::Ref routines_in_order(PyObject* routines);

}  // namespace glimmet
