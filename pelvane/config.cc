// The outside-tool wrappers and Config: ports.conf, MAC addresses, devices.
#include "pelvane.h"

namespace pelvane {

const py::ImplTable config_impls = {};

}  // namespace pelvane
