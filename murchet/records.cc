#include "murchet.h"

namespace murchet {

const py::ImplTable record_impls = {};

}  // namespace murchet
