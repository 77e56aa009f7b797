// SDKConfig: the model stage and the output files by key.
#include "pelvane.h"

namespace pelvane {

const py::ImplTable sdk_impls = {};

}  // namespace pelvane
