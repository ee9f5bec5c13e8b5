// Snapshots in memory, and what pickling a console needs to build it again.
#include <Python.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "features.hpp"
#include "py_console.hpp"
#include "snapshot/snapshot.hpp"

namespace py = pybind11;

namespace {

// Runs f on the machine while no thread steps it, as "loadState" does. The interpreter lock
// is released meanwhile: the stepping thread may need it to finish a per-frame function.
template <class F>
void on_parked_machine(PyNES& console, F&& f) {
    py::gil_scoped_release release;
    console.with_machine_parked(f);
}

py::bytes take(PyNES& console) {
    // The machine is written into this thread's buffer (which keeps its room from one call to
    // the next), then into the bytes, which only the interpreter lock allows making.
    thread_local std::vector<uint8_t> buffer;
    size_t size = 0;
    on_parked_machine(console, [&] {
        buffer.resize(snapshot::max_size(console));
        size = snapshot::write(console, buffer.data(), buffer.size());
    });
    return py::bytes(reinterpret_cast<const char*>(buffer.data()), size);
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
    const std::string name =
        blank ? std::string() : std::filesystem::path(console.cart_dir).filename().string() + ".nes";
    const int clock_speed = console.cpu->clock_speed == NESUnit::UNPACED ? 0 : console.cpu->clock_speed;
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
