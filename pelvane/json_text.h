// JSON text of the kind json.dumps(value, indent=4, sort_keys=True) gives,
// written here rather than by the interpreter's pure-Python encoder, which
// that call runs (an indented text never takes the encoder's C path).
#pragma once

#include "pelvane.h"

namespace pelvane {

// json.dumps(value, indent=4, sort_keys=True), byte for byte, where `json`
// is the interpreter's own json module with its own dumps and encoder, the
// builtins the encoder's frames run with the interpreter's own, none of
// them rebound since first seen, and `value` holds only what is written
// here: texts (str holding UTF-8, unicode), int, long, True, False, None,
// lists, and dicts keyed by texts, all of those types exactly.  Else empty,
// nothing raised: the caller then calls json.dumps, which gives the answer
// (or the error) for anything else.  What writing fails with (no memory) is
// thrown.
py::Ref json_sorted_indented(PyObject* json, PyObject* value);

}  // namespace pelvane
