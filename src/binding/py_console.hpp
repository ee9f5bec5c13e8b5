// The console as Python holds it, shared by the extension modules `zumbrel` (which registers
// it as "NES") and `zumbrel_tools._native` (whose functions take it as an argument).
#pragma once

#include <pybind11/pybind11.h>

#include "host/console.hpp"

// It keeps the attached pads alive while attached.
class PyNES : public NESUnit {
public:
    using NESUnit::NESUnit;
    // The run thread may be waiting for the interpreter lock in a per-frame function. Leaving
    // the list of live consoles first keeps the exit hook from taking a console in release.
    ~PyNES() {
        unregister();
        pybind11::gil_scoped_release release;
        halt();
        keep_battery_ram();
    }
    pybind11::object pads[2];
};
