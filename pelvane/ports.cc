// The configured ports: names, numbers, bitmaps, gangs and polarity.
#include "pelvane.h"

namespace pelvane {

const py::ImplTable port_impls = {};

}  // namespace pelvane
