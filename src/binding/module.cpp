// The Python module `zumbrel`: the classes "NES" and "Controller".
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "host/console.hpp"

namespace py = pybind11;

namespace {

// A view over console memory. Its base is the console's Python object, so the
// storage outlives every array that looks into it.
py::array_t<uint8_t> view(NESUnit& console, std::vector<py::ssize_t> shape,
                          std::vector<py::ssize_t> strides, uint8_t* data) {
    py::object owner = py::cast(&console, py::return_value_policy::reference);
    return py::array_t<uint8_t>(std::move(shape), std::move(strides), data, owner);
}

std::unique_ptr<NESUnit> from_file_object(py::object file, int clock_speed) {
    const std::string name = file.attr("name").cast<std::string>();
    const std::string bytes = file.attr("read")().cast<std::string>();
    const std::vector<uint8_t> image(bytes.begin(), bytes.end());
    return std::make_unique<NESUnit>(name, image, clock_speed);
}

void translate_errors() {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const NES::RomFileError& e) {
            PyObject* type = e.error_number == ENOENT ? PyExc_FileNotFoundError : PyExc_OSError;
            py::object err = py::reinterpret_borrow<py::object>(type)(e.error_number, std::string(e.what()), e.path);
            PyErr_SetObject(type, err.ptr());
        } catch (const NES::RomFormatError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

}  // namespace

PYBIND11_MODULE(zumbrel, m) {
    translate_errors();

    py::class_<NESUnit>(m, "NES")
        .def(py::init([](const std::string& rom_name, int clock_speed) {
                 return std::make_unique<NESUnit>(rom_name.c_str(), clock_speed);
             }),
             py::arg("rom_name"), py::arg("CLOCK_SPEED") = NESUnit::DEFAULT_CLOCK_SPEED)
        .def(py::init<int>(), py::arg("CLOCK_SPEED") = NESUnit::DEFAULT_CLOCK_SPEED)
        .def(py::init(&from_file_object), py::arg("rom_file"),
             py::arg("CLOCK_SPEED") = NESUnit::DEFAULT_CLOCK_SPEED)
        .def("cpuMem", [](NESUnit& n) { return view(n, {65536}, {1}, n.cpu->memory); })
        .def("frameCount", &NESUnit::frame_count)
        .def("cycleCount", &NESUnit::cycle_count)
        .def("runFrame", &NESUnit::runFrame);
}
