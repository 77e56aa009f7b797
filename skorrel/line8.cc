#include "skorrel.h"

namespace skorrel {

const std::vector<ImplEntry> line8_impls = {};

}  // namespace skorrel
