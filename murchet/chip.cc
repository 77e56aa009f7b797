#include "murchet.h"

namespace murchet {

const py::ImplTable chip_impls = {};

}  // namespace murchet
