#include "skorrel.h"

namespace skorrel {

const std::vector<ClassDef> chip_classes = {};
const py::ImplTable chip_impls = {};

}  // namespace skorrel
