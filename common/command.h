// Outside commands, run through the interpreter's subprocess module.
//
// The module is the calling module's global `subprocess`, looked up at each
// run through that module's own lookup of its globals (`global`), so that a
// caller (a test) may replace it; what the run raises passes on unchanged.
#pragma once

#include "py.h"

#include <initializer_list>
#include <utility>

namespace py {

// A module's lookup of a global by name (its global(), the builtins after
// its own dict).
using GlobalLookup = Ref (*)(const char* name);
// One stream keyword of the run: {"stderr", file}.
using Stream = std::pair<const char*, PyObject*>;

// subprocess.check_output(argv, **streams): the command's standard output.
Ref command_output(GlobalLookup global, PyObject* argv,
                   std::initializer_list<Stream> streams = {});
// subprocess.check_call(argv, **streams).
void command_call(GlobalLookup global, PyObject* argv, std::initializer_list<Stream> streams = {});
// The standard output of the command with its error stream on
// open(os.devnull, "w") (closed after the run), or `fallback` where the
// command fails (subprocess.CalledProcessError, looked up before the run).
Ref command_output_or(GlobalLookup global, PyObject* argv, PyObject* fallback);

}  // namespace py
