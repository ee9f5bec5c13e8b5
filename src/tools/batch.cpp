// The binding of the batch core: it checks the NumPy arrays, releases the interpreter lock
// while the consoles step, and turns Ctrl-C into KeyboardInterrupt.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "features.hpp"
#include "host/batch.hpp"
#include "py_console.hpp"

namespace py = pybind11;

namespace {

[[noreturn]] void refuse(const std::string& why) { throw py::value_error("step_batch: " + why); }

std::string shape_text(const py::array& a) {
    std::string text = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) text += (d ? ", " : "") + std::to_string(a.shape(d));
    return text + (a.ndim() == 1 ? ",)" : ")");
}

py::array as_array(const py::object& array, const char* name) {
    if (!py::isinstance<py::array>(array))
        throw py::type_error(std::string("step_batch: ") + name + " must be a NumPy array");
    return py::reinterpret_borrow<py::array>(array);
}

// A C-contiguous uint8 array (writable when it is an output) whose first dimension is the
// batch size.
uint8_t* checked_rows(const py::object& array, const char* name, size_t count, size_t row_bytes, bool output = true) {
    const py::array a = as_array(array, name);
    if (a.dtype().kind() != 'u' || a.itemsize() != 1)
        refuse(std::string(name) + " must have dtype uint8, not " + py::str(a.dtype()).cast<std::string>());
    if (!(a.flags() & py::array::c_style)) refuse(std::string(name) + " must be C-contiguous");
    if (output && !a.writeable()) refuse(std::string(name) + " must be writable");
    if (a.ndim() < 1 || static_cast<size_t>(a.shape(0)) != count || static_cast<size_t>(a.size()) != count * row_bytes)
        refuse(std::string(name) + " has the wrong shape " + shape_text(a));
    return static_cast<uint8_t*>(const_cast<void*>(a.data()));
}

// The picture shapes a batch writes, after the batch dimension.
const NES::PictureFormat PICTURE_FORMATS[] = {{false, false}, {true, false}, {false, true}, {true, true}};

std::vector<py::ssize_t> picture_shape(NES::PictureFormat f) {
    std::vector<py::ssize_t> shape{f.height(), f.width()};
    if (!f.gray) shape.push_back(f.channels());
    return shape;
}

NES::PictureFormat picture_format(const py::array& a) {
    const std::vector<py::ssize_t> tail(a.shape() + std::min<py::ssize_t>(a.ndim(), 1), a.shape() + a.ndim());
    for (const NES::PictureFormat& f : PICTURE_FORMATS)
        if (picture_shape(f) == tail) return f;
    std::string shapes;
    const size_t count = std::size(PICTURE_FORMATS);
    for (size_t i = 0; i < count; ++i) {
        shapes += i == 0 ? "(N" : i + 1 == count ? " or (N" : ", (N";
        for (py::ssize_t size : picture_shape(PICTURE_FORMATS[i])) shapes += ", " + std::to_string(size);
        shapes += ")";
    }
    refuse("pictures must have shape " + shapes);
}

// On the interpreter's main thread: runs the signal handlers (Ctrl-C raises KeyboardInterrupt
// there) and says whether one raised; the error stays set, to be raised once the batch ends.
// Other threads never see their process's signals.
std::function<bool()> signal_check() {
    const py::object main = py::module_::import("threading").attr("main_thread")().attr("ident");
    if (main.cast<unsigned long>() != PyThread_get_thread_ident()) return [] { return false; };
    return [] {
        py::gil_scoped_acquire gil;
        return PyErr_CheckSignals() != 0;
    };
}

void step_batch(host::StepPool& pool, const py::sequence& console_list, const py::object& buttons_object, int frames,
                const py::object& pictures, const py::object& ram, bool max_pool, bool allow_unsupported_board) {
    const size_t count = py::len(console_list);
    std::vector<py::object> held;  // keeps the consoles alive while the lock is released
    std::vector<NESUnit*> consoles;
    for (size_t i = 0; i < count; ++i) {
        held.push_back(console_list[i]);
        if (!py::isinstance<PyNES>(held.back()))
            throw py::type_error("step_batch: item " + std::to_string(i) + " is not a zumbrel.NES");
        consoles.push_back(held.back().cast<PyNES*>());
    }
    const uint8_t* buttons = checked_rows(buttons_object, "buttons", count, 1, false);
    host::BatchOutputs out;
    out.max_pool = max_pool;
    if (!pictures.is_none()) {
        out.format = picture_format(as_array(pictures, "pictures"));
        out.pictures = checked_rows(pictures, "pictures", count, out.format.bytes());
    }
    if (!ram.is_none()) out.ram = checked_rows(ram, "ram", count, NES::CPU::RAM_SIZE);
    if (out.pictures && out.ram && out.pictures < out.ram + count * NES::CPU::RAM_SIZE &&
        out.ram < out.pictures + count * out.format.bytes())
        refuse("pictures and ram must not share memory");

    const std::function<bool()> interrupted = signal_check();
    bool finished = false;
    try {
        py::gil_scoped_release release;
        finished = host::run_batch(pool, consoles, buttons, frames, out, interrupted, allow_unsupported_board);
    } catch (const host::BatchRefused& e) { refuse(e.what()); } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("step_batch: ") + e.what());
    }
    if (!finished) throw py::error_already_set();
}

}  // namespace

namespace tools {

void add_batch(py::module_& m) {
    py::class_<host::StepPool>(m, "StepPool")
        .def(py::init([](int threads) {
                 try {
                     return std::make_unique<host::StepPool>(threads);
                 } catch (const std::invalid_argument& e) {
                     throw py::value_error(std::string("StepPool: ") + e.what());
                 }
             }),
             py::arg("threads") = 1)
        .def_property_readonly("threads", &host::StepPool::threads)
        .def("step", &step_batch, py::arg("consoles"), py::arg("buttons"), py::arg("frames") = 1,
             py::arg("pictures") = py::none(), py::arg("ram") = py::none(), py::arg("max_pool") = false,
             py::arg("allow_unsupported_board") = false);
    py::dict shapes;  // (colour, half) -> the shape of one picture
    for (const NES::PictureFormat& f : PICTURE_FORMATS) {
        py::list shape;
        for (py::ssize_t size : picture_shape(f)) shape.append(size);
        shapes[py::make_tuple(f.gray ? "gray" : "rgb", f.half)] = py::tuple(shape);
    }
    m.attr("PICTURE_SHAPES") = shapes;
    m.attr("RAM_SIZE") = NES::CPU::RAM_SIZE;
}

}  // namespace tools
