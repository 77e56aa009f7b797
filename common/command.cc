// Outside commands through the interpreter's subprocess module.
#include "command.h"

namespace py {
namespace {

// subprocess.<run>(argv, **streams) of the `subprocess` given.
Ref run(PyObject* subprocess, PyObject* run, PyObject* argv,
        std::initializer_list<Stream> streams) {
  Ref kw;
  if (streams.size()) {
    kw = dict();
    for (const Stream& s : streams) dict_set(kw, s.first, s.second);
  }
  return call_kw(attr(subprocess, run), tuple({argv}), kw);
}

}  // namespace

Ref command_output(GlobalLookup global, PyObject* argv, std::initializer_list<Stream> streams) {
  return run(global("subprocess"), ID("check_output"), argv, streams);
}

void command_call(GlobalLookup global, PyObject* argv, std::initializer_list<Stream> streams) {
  run(global("subprocess"), ID("check_call"), argv, streams);
}

Ref command_output_or(GlobalLookup global, PyObject* argv, PyObject* fallback) {
  Ref subprocess = global("subprocess");
  Ref failed = attr(subprocess, ID("CalledProcessError"));
  Ref devnull = call(global("open"), attr(global("os"), ID("devnull")), ID("w"));
  Ref out;
  try {
    closing(devnull, [&] {
      out = run(subprocess, ID("check_output"), argv, {{"stderr", devnull.get()}});
    });
  } catch (const Raised&) {
    if (!clear_if(failed)) throw;
    return Ref::borrow(fallback);
  }
  return out;
}

}  // namespace py
