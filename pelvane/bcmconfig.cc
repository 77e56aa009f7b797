// BCMConfig, the gang step and the property sections of the SDK files.
#include "pelvane.h"

namespace pelvane {

const py::ImplTable bcm_impls = {};

}  // namespace pelvane
