#include "skorrel.h"

namespace skorrel {

// Attributes and operations of these classes are still to come.
const std::vector<ClassDef> line8_classes = {
    {"Apollo1GPort", "ApolloPort", nullptr, nullptr, {}},
    {"Triumph1GPort", "TriumphPort", nullptr, nullptr, {}},
    {"Helix41GPort", "Helix4Port", nullptr, nullptr, {}},
    {"Hurricane21GPort", "Hurricane2Port", nullptr, nullptr, {}},
    {"Apollo10GPort", "ApolloPort", nullptr, nullptr, {}},
    {"Triumph10GPort", "TriumphPort", nullptr, nullptr, {}},
    {"Helix410GPort", "Helix4Port", nullptr, nullptr, {}},
    {"Hurricane210GPort", "Hurricane2Port", nullptr, nullptr, {}},
    {"Hurricane213GPort", "Hurricane2Port", nullptr, nullptr, {}},
    {"Hurricane213GFabricPort", "Hurricane213GPort", nullptr, nullptr, {}},
    {"Trident10GPort", "TridentPort", nullptr, nullptr, {}},
    {"TridentTwo10GPort", "TridentTwoPort", nullptr, nullptr, {}},
    {"TridentTwo10GFabricPort", "TridentTwo10GPort", nullptr, nullptr, {}},
    {"TridentTwoPlus10GPort", "TridentTwoPlusPort", nullptr, nullptr, {}},
    {"Trident40GPort", "TridentPort", nullptr, nullptr, {}},
    {"TridentTwo40GPort", "TridentTwoPort", nullptr, nullptr, {}},
    {"TridentTwoPlus40GPort", "TridentTwoPlusPort", nullptr, nullptr, {}},
};
const py::ImplTable line8_impls = {};

}  // namespace skorrel
