#include "skorrel.h"

namespace skorrel {

const std::vector<ImplEntry> line7_impls = {};

}  // namespace skorrel
