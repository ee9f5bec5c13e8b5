// Each feature of `zumbrel_tools._native` adds its functions to the module.
#pragma once

#include <pybind11/pybind11.h>

namespace tools {

void add_snapshot(pybind11::module_& m);
void add_batch(pybind11::module_& m);

}  // namespace tools
