// BCMConfig: the Broadcom configuration object, an SDKConfig whose
// constructor is its own.
#include "pelvane.h"

namespace pelvane {
namespace {

py::Ref bcm_init(py::Args a) {
  py::call_unbound(global("SDKConfig"), ID("__init__"), {a[0], a[1], a[2], a[3]},
                   {{ID("dummy"), a[4]}});
  return {};
}

}  // namespace

const py::ImplTable bcm_impls = {
    {"BCMConfig.__init__", bcm_init},
};

}  // namespace pelvane
