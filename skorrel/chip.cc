#include "skorrel.h"

namespace skorrel {

const std::vector<ImplEntry> chip_impls = {};

}  // namespace skorrel
