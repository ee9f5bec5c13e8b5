// Snapshots in memory, and what pickling a console needs to build it again.
#include <Python.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <vector>

#include "features.hpp"
#include "py_console.hpp"
#include "snapshot/snapshot.hpp"

namespace py = pybind11;

namespace {

// Runs f on the parked machine holding the interpreter lock: the run thread may need the lock
// to finish a per-frame function before it parks, and no Python thread may then take an audio
// block or change the bytes while f runs.
template <class F>
void on_parked_machine(PyNES& console, F&& f) {
    py::gil_scoped_release release;
    console.with_machine_parked([&] {
        py::gil_scoped_acquire gil;
        f();
    });
}

py::bytes take(PyNES& console) {
    py::object result;
    on_parked_machine(console, [&] {
        const size_t capacity = snapshot::max_size(console);
        PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        if (out == nullptr) throw py::error_already_set();
        size_t size = 0;
        try {
            size = snapshot::write(console, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out)), capacity);
        } catch (...) {
            Py_DECREF(out);
            throw;
        }
        // Shrinks in place; on failure it releases the object and sets the error.
        if (_PyBytes_Resize(&out, static_cast<Py_ssize_t>(size)) != 0) throw py::error_already_set();
        result = py::reinterpret_steal<py::object>(out);
    });
    return py::reinterpret_steal<py::bytes>(result.release());
}

void restore(PyNES& console, const py::buffer& data) {
    // Bytes cannot change; any other buffer is copied first, so what is loaded is what was checked.
    std::vector<uint8_t> copy;
    const uint8_t* bytes;
    size_t size;
    if (PyBytes_Check(data.ptr())) {
        bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data.ptr()));
        size = static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()));
    } else {
        const py::buffer_info info = data.request();
        if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1)
            throw py::value_error("restore: the snapshot must be bytes or a contiguous buffer of bytes");
        const auto* start = static_cast<const uint8_t*>(info.ptr);
        copy.assign(start, start + info.size);
        bytes = copy.data();
        size = copy.size();
    }
    snapshot::check(console, bytes, size);
    on_parked_machine(console, [&] { snapshot::apply(console, bytes, size); });
}

// What a new process needs to build the console again before restoring its snapshot: the
// cartridge image (None for the blank cartridge), a file name that gives the same save
// directory, the clock speed, and the save directory when it was moved.
py::tuple console_parts(PyNES& console) {
    const bool blank = console.cart_dir.empty();
    py::object image = py::none();
    if (!blank) {
        const std::vector<uint8_t> bytes = console.rom->image();
        image = py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    // The directory is named after the cartridge without its extension; ".nes" is cut again.
    const std::string name = blank ? std::string() : std::filesystem::path(console.cart_dir).filename().string() + ".nes";
    const int clock_speed = console.cpu->clock_speed == INT_MAX ? 0 : console.cpu->clock_speed;
    const std::string save_dir = console.save_dir == console.cart_dir ? std::string() : console.save_dir;
    return py::make_tuple(image, name, clock_speed, save_dir);
}

}  // namespace

namespace tools {

void add_snapshot(py::module_& m) {
    m.def("snapshot", &take, py::arg("nes"));
    m.def("restore", &restore, py::arg("nes"), py::arg("data"));
    m.def("console_parts", &console_parts, py::arg("nes"));
}

}  // namespace tools
