// The Python module `zumbrel`: the classes "NES" and "Controller".
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/console.hpp"
#include "host/errors.hpp"
#include "py_console.hpp"

namespace py = pybind11;

namespace {

// The pad a script fills; exposed as "Controller".
struct ControllerWrapper {
    NES::Controller controller;

    // Converts all eight items before touching the pad, so a failure changes nothing.
    void updateInputs(const py::list& inputs) {
        bool states[8];
        for (py::ssize_t i = 0; i < 8; ++i) {
            PyObject* item = PyList_GetItem(inputs.ptr(), i);
            if (item == nullptr) throw py::error_already_set();
            states[i] = py::reinterpret_borrow<py::object>(item).cast<bool>();
        }
        controller.update_inputs(states);
    }
};

// Holds the console's Python object across a per-frame call on the run thread (made with the
// interpreter lock held). The function may drop the console's last other reference; the
// console must then outlive the step in progress, so the thread stops and releases it as the
// very last thing it does.
class HeldAcrossCall {
public:
    explicit HeldAcrossCall(PyNES& console)
        : console_(console), self_(py::cast(&console, py::return_value_policy::reference)) {}
    ~HeldAcrossCall() {
        if (self_.ref_count() > 1) {
            self_ = py::object();
            return;
        }
        console_.request_stop();
        console_.at_thread_exit = [self = std::move(self_)]() mutable {
            py::gil_scoped_acquire lock;
            self = py::object();  // the console's destructor runs here, on the ending thread
        };
    }
    HeldAcrossCall(const HeldAcrossCall&) = delete;
    HeldAcrossCall& operator=(const HeldAcrossCall&) = delete;

private:
    PyNES& console_;
    py::object self_;
};

// Wraps a Python per-frame function. On the run thread its error is reported as Python
// reports errors in threads and ends the run thread; elsewhere it reaches the caller.
std::function<void()> per_frame_function(PyNES& console, std::function<void()> f) {
    if (!f) return f;  // None: the next frame completion raises the bad-function-call error
    return [&console, f = std::move(f)]() {
        if (!console.on_run_thread()) {
            f();
            return;
        }
        // One lock per frame, as the call takes anyway; the hold and its release share it.
        py::gil_scoped_acquire gil;
        HeldAcrossCall held(console);
        try {
            f();
        } catch (py::error_already_set& e) {
            py::module_::import("sys").attr("stderr").attr("write")("Exception in the zumbrel run thread:\n");
            py::module_::import("traceback").attr("print_exception")(e.type(), e.value(), e.trace());
            throw ReportedError("the per-frame function raised");
        }
    };
}

// The writable colour table that "colorLookup" exposes; the renderer keeps its own copy.
uint8_t color_table[64][3];

// A view over console memory. Its base is the console's Python object, so the
// storage outlives every array that looks into it.
py::array_t<uint8_t> view(PyNES& console, std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides,
                          uint8_t* data) {
    py::object owner = py::cast(&console, py::return_value_policy::reference);
    return py::array_t<uint8_t>(std::move(shape), std::move(strides), data, owner);
}

std::unique_ptr<PyNES> from_file_object(py::object file, int clock_speed) {
    const std::string name = file.attr("name").cast<std::string>();
    const py::object contents = file.attr("read")();
    // Text would reach the machine re-encoded, a different program than the file holds.
    if (py::isinstance<py::str>(contents))
        throw py::type_error("rom_file.read() returned str: open the cartridge file in binary mode ('rb')");
    const std::string bytes = contents.cast<std::string>();
    const std::vector<uint8_t> image(bytes.begin(), bytes.end());
    return std::make_unique<PyNES>(name, image, clock_speed);
}

void set_controller(PyNES& console, ControllerWrapper& pad, int port) {
    if (port != 0 && port != 1)
        throw py::value_error("setController: port must be 0 or 1, not " + std::to_string(port));
    {
        py::gil_scoped_release release;  // waits for the stepping thread to stand still
        console.setController(&pad.controller, port);
    }
    // Holding the pad's Python object keeps it alive while attached; this releases the one before.
    console.pads[port] = py::cast(&pad, py::return_value_policy::reference);
}

py::bytes get_audio(PyNES& console) {
    int16_t block[NES::BUFFER_LEN];
    if (!console.getAudio(block)) return py::bytes();
    return py::bytes(reinterpret_cast<const char*>(block), sizeof block);
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
        } catch (const FileError& e) {
            py::object err = py::reinterpret_borrow<py::object>(PyExc_OSError)(
                e.error_number, std::string(std::strerror(e.error_number)), e.path);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
        }
    });
}

// At interpreter exit every console's run thread ends, and the battery RAM of every console
// is kept, before the interpreter goes away under a thread that would call into it.
void stop_every_console() {
    NESUnit::refuse_starts();
    const std::vector<NESUnit*> consoles = NESUnit::live_consoles();
    std::vector<py::object> held;  // no console is released while its thread is awaited
    for (NESUnit* c : consoles) held.push_back(py::cast(static_cast<PyNES*>(c), py::return_value_policy::reference));
    py::gil_scoped_release release;
    for (NESUnit* c : consoles) {
        c->halt();
        c->keep_battery_ram();
    }
}

std::unique_ptr<PyNES> from_path(const std::string& rom_name, int clock_speed) {
    if (rom_name.find('\0') != std::string::npos) throw py::value_error("rom_name: embedded null byte");
    return std::make_unique<PyNES>(rom_name.c_str(), clock_speed);
}

}  // namespace

PYBIND11_MODULE(zumbrel, m) {
    translate_errors();
    std::memcpy(color_table, NES::NTSC_TO_RGB, sizeof color_table);

    // The pad class is registered first so that the console's signatures can name it.
    py::class_<ControllerWrapper> controller(m, "Controller");

    py::class_<PyNES>(m, "NES")
        .def(py::init(&from_path), py::arg("rom_name"), py::arg("CLOCK_SPEED") = NESUnit::DEFAULT_CLOCK_SPEED)
        .def(py::init<int>(), py::arg("CLOCK_SPEED") = NESUnit::DEFAULT_CLOCK_SPEED)
        .def(py::init(&from_file_object), py::arg("rom_file"), py::arg("CLOCK_SPEED") = NESUnit::DEFAULT_CLOCK_SPEED)
        .def("cpuMem", [](PyNES& n) { return view(n, {65536}, {1}, n.cpu->memory); })
        .def("ppuMem", [](PyNES& n) { return view(n, {16384}, {1}, n.ppu->video_memory); })
        .def("OAM", [](PyNES& n) { return view(n, {256}, {1}, n.ppu->oam); })
        .def("getImg",
             [](PyNES& n) {
                 return view(n, {240, 256, 3}, {768, 3, 1}, n.ppu->frame_rgb);
             })
        .def("colorLookup",
             [](PyNES& n) {
                 return view(n, {64, 3}, {3, 1}, &color_table[0][0]);
             })
        .def("getAudio", &get_audio)
        .def("start", &NESUnit::start, py::call_guard<py::gil_scoped_release>())
        .def("stop", &NESUnit::stop, py::call_guard<py::gil_scoped_release>())
        .def("saveState", &NESUnit::save, py::call_guard<py::gil_scoped_release>())
        .def("loadState", &NESUnit::load, py::call_guard<py::gil_scoped_release>())
        .def("setPaused", &NESUnit::set_pause)
        .def("setSaveDir", &NESUnit::setSaveDir)
        .def("getSaveDir", &NESUnit::getSaveDir)
        .def("setController", &set_controller)
        .def("frameCount", &NESUnit::frame_count)
        .def("cycleCount", &NESUnit::cycle_count)
        .def("runFrame", &NESUnit::runFrame, py::call_guard<py::gil_scoped_release>())
        .def("perFrame", [](PyNES& n, std::function<void()> f) { n.perFrame(per_frame_function(n, std::move(f))); });

    controller.def(py::init<>()).def("updateInputs", &ControllerWrapper::updateInputs);

    py::module_::import("atexit").attr("register")(py::cpp_function(&stop_every_console));
}
