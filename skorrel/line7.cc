#include "skorrel.h"

namespace skorrel {

// Attributes and operations of these classes are still to come.
const std::vector<ClassDef> line7_classes = {
    {"TridentThree100GPort", "TridentThreePort", nullptr, nullptr, {}},
    {"TridentThree25GPort", "TridentThreePort", nullptr, nullptr, {}},
    {"TridentThree10GPort", "TridentThreePort", nullptr, nullptr, {}},
    {"TridentThreeMGPort", "TridentThreePort", nullptr, nullptr, {}},
    {"Tomahawk100GPort", "TomahawkPort", nullptr, nullptr, {}},
    {"Tomahawk100GFabricPort", "Tomahawk100GPort", nullptr, nullptr, {}},
    {"Tomahawk25GPort", "TomahawkPort", nullptr, nullptr, {}},
    {"TomahawkMgmt10GPort", "TomahawkPort", nullptr, nullptr, {}},
    {"TomahawkTwo100GPort", "TomahawkTwoPort", nullptr, nullptr, {}},
    {"Maverick100GPort", "MaverickPort", nullptr, nullptr, {}},
    {"Maverick40GPort", "MaverickPort", nullptr, nullptr, {}},
    {"Maverick40GFabricPort", "Maverick40GPort", nullptr, nullptr, {}},
    {"Maverick10GPort", "MaverickPort", nullptr, nullptr, {}},
    {"Maverick10GFabricPort", "Maverick10GPort", nullptr, nullptr, {}},
};
const py::ImplTable line7_impls = {};

}  // namespace skorrel
