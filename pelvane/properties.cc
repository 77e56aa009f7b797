// The per-port properties of the SDK file: bitmaps, lanes, polarity, PHYs, emphasis.
#include "pelvane.h"

namespace pelvane {

const py::ImplTable property_impls = {};

}  // namespace pelvane
