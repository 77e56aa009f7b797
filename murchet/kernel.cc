#include "murchet.h"

namespace murchet {

const py::ImplTable kernel_impls = {};

}  // namespace murchet
