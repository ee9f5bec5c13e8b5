// The companion's native module. Its functions take `zumbrel.NES` objects as the console
// itself: both modules link the same core library and pybind11, so they share the registry
// of bound types, which the import of `zumbrel` fills.
#include <pybind11/pybind11.h>

#include "features.hpp"

PYBIND11_MODULE(_native, m) {
    pybind11::module_::import("zumbrel");
    tools::add_snapshot(m);
    tools::add_batch(m);
}
