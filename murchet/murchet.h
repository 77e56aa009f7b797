// The multicast route checker: shared declarations of the murchet module.
#pragma once

#include "../common/func.h"

namespace murchet {

// The module as its operations see it (set once at load).
const py::ModuleInfo& module();

// A module-level global by name, looked up when called (so that `subprocess`,
// `os` or `bcmshell` can be replaced by a caller).
py::Ref global(const char* name);

// The implementation tables, one per source file.
extern const py::ImplTable record_impls;  // the chip and kernel records
extern const py::ImplTable chip_impls;    // Asic: snapshot and chip tables
extern const py::ImplTable kernel_impls;  // Asic: kernel state, expansion, comparison

}  // namespace murchet
