// Stepping a batch of consoles at once: a persistent pool of threads advances whole consoles
// without the interpreter lock and writes their pictures and RAM into caller-owned arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "features.hpp"
#include "py_console.hpp"

namespace py = pybind11;

namespace {

constexpr int HEIGHT = 240;
constexpr int WIDTH = 256;
constexpr size_t RAM_SIZE = 2048;

// Runs task(0) ... task(count - 1) on the calling thread and the helpers, each index once.
class WorkerPool {
public:
    using Task = std::function<void(size_t)>;

    explicit WorkerPool(int threads) : owner_pid_(getpid()), s_(std::make_unique<Shared>()) {
        for (int i = 1; i < threads; ++i) s_->helpers.emplace_back([s = s_.get()] { s->helper_loop(); });
    }
    ~WorkerPool() {
        if (!usable_here()) {
            // A forked child has none of the helpers, yet its copies of the locks and condition
            // variables still count them as waiting: using or destroying those could block
            // forever, so the child leaves them be.
            (void)s_.release();
            return;
        }
        {
            std::lock_guard<std::mutex> lock(s_->mutex);
            s_->stopping = true;
        }
        s_->wake.notify_all();
        for (std::thread& t : s_->helpers) t.join();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return static_cast<int>(s_->helpers.size()) + 1; }
    bool usable_here() const { return getpid() == owner_pid_; }

    // The task must not throw. One batch at a time: a second caller waits for the first. Once
    // the calling thread has no task left it calls `waiting` every few milliseconds until the
    // helpers are done.
    void run(size_t count, const Task& task, const std::function<void()>& waiting) {
        Shared& s = *s_;
        if (count <= 1 || s.helpers.empty()) {  // nothing to share: the helpers sleep on
            for (size_t i = 0; i < count; ++i) task(i);
            return;
        }
        std::lock_guard<std::mutex> one_batch(s.batch_mutex);
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.task = &task;
            s.count = count;
            s.next.store(0);
            s.busy = s.helpers.size();
            ++s.generation;
        }
        s.wake.notify_all();
        s.work();
        std::unique_lock<std::mutex> lock(s.mutex);
        while (!s.done.wait_for(lock, std::chrono::milliseconds(5), [&s] { return s.busy == 0; })) {
            lock.unlock();
            waiting();
            lock.lock();
        }
        s.task = nullptr;
    }

private:
    struct Shared {
        void work() {
            for (size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) (*task)(i);
        }

        void helper_loop() {
            uint64_t seen = 0;
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [&] { return stopping || generation != seen; });
                if (stopping) return;
                seen = generation;
                lock.unlock();
                work();
                lock.lock();
                if (--busy == 0) done.notify_one();
            }
        }

        std::vector<std::thread> helpers;
        std::mutex batch_mutex;
        std::mutex mutex;
        std::condition_variable wake, done;
        const Task* task = nullptr;  // the fields below are guarded by mutex, next aside
        size_t count = 0;
        std::atomic<size_t> next{0};
        size_t busy = 0;
        uint64_t generation = 0;
        bool stopping = false;
    };

    const pid_t owner_pid_;
    std::unique_ptr<Shared> s_;
};

// Ctrl-C during a batch: the calling thread asks, every few milliseconds between two frames,
// whether a signal arrived, and every console then stops before its next frame.
class Interruption {
public:
    explicit Interruption(std::function<bool()> signalled)
        : caller_(std::this_thread::get_id()), signalled_(std::move(signalled)) {}

    bool requested() const { return requested_.load(std::memory_order_relaxed); }

    // From any stepping thread between two frames; only the calling thread asks.
    void poll() {
        if (std::this_thread::get_id() != caller_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll_ < POLL_INTERVAL) return;
        last_poll_ = now;
        if (signalled_()) requested_.store(true, std::memory_order_relaxed);
    }

private:
    static constexpr std::chrono::milliseconds POLL_INTERVAL{5};
    const std::thread::id caller_;
    const std::function<bool()> signalled_;
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
    std::atomic<bool> requested_{false};
};

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

// The one place that decides whether a console may be stepped off the interpreter's thread:
// a Python per-frame function needs the interpreter, and a run thread steps it already.
void check_steppable(PyNES& console, size_t index) {
    const std::string which = "step_batch: console " + std::to_string(index);
    if (console.is_running()) throw py::value_error(which + " is running on its thread; stop it first");
    const auto function = console.perframefunc.load();
    if (function->target_type() != NESUnit::FrameFunction().load()->target_type())
        throw py::value_error(which + " has a per-frame function; batches step consoles without one");
}

// The batch's claim on its consoles for the whole call: two batches (from two Python threads)
// never step one console at once, and no pad is attached to one meanwhile.
class Claims {
public:
    explicit Claims(const std::vector<PyNES*>& consoles) : consoles_(consoles) {
        for (size_t i = 0; i < consoles_.size(); ++i) {
            if (!consoles_[i]->claim_for_batch()) {
                for (size_t j = 0; j < i; ++j) consoles_[j]->release_batch_claim();
                throw py::value_error("step_batch: console " + std::to_string(i) +
                                      " is being stepped by another batch");
            }
        }
    }
    ~Claims() {
        for (PyNES* console : consoles_) console->release_batch_claim();
    }
    Claims(const Claims&) = delete;
    Claims& operator=(const Claims&) = delete;

private:
    const std::vector<PyNES*>& consoles_;
};

// What the picture array's shape asks for.
struct PictureFormat {
    bool gray, half;
};

#if defined(__GNUC__)
#define ALWAYS_INLINE __attribute__((always_inline))
#else
#define ALWAYS_INLINE
#endif

// 77 + 150 + 29 = 256: the weighted sum of three bytes plus the rounding fits 16 bits, so the
// loops below work on 16-bit lanes.
ALWAYS_INLINE inline uint8_t luma(unsigned r, unsigned g, unsigned b) {
    return static_cast<uint8_t>(static_cast<uint16_t>(77 * r + 150 * g + 29 * b + 128) >> 8);
}

template <bool Max>
ALWAYS_INLINE inline void put(uint8_t& out, uint8_t value) {
    out = Max ? std::max(out, value) : value;
}

// One pair of rows halved: mean[i] is the mean of the 2x2 bytes of one channel whose top left
// is byte i of the top row (four bytes and the rounding stay within 16 bits). Computed for every
// i so that the loops run over contiguous bytes; the halved picture keeps every sixth triple.
constexpr int ROW_BYTES = WIDTH * 3;
constexpr int PAIR_MEANS = ROW_BYTES - 3;

ALWAYS_INLINE inline void pair_means(const uint8_t* __restrict top, const uint8_t* __restrict bottom,
                                     uint8_t* __restrict mean) {
    uint16_t column[ROW_BYTES];
    for (int i = 0; i < ROW_BYTES; ++i) column[i] = static_cast<uint16_t>(top[i] + bottom[i]);
    for (int i = 0; i < PAIR_MEANS; ++i) mean[i] = static_cast<uint8_t>((column[i] + column[i + 3] + 2) >> 2);
}

// Writes one frame in one format; with Max each byte keeps the larger of the old and the new
// value (the maximum over the last two frames shows sprites that flicker). Each loop is a plain
// pass over bytes that the compiler turns into vector instructions.
template <bool Gray, bool Half, bool Max>
ALWAYS_INLINE inline void picture_loops(const uint8_t* __restrict rgb, uint8_t* __restrict out) {
    if constexpr (!Gray && !Half) {
        if constexpr (Max) {
            for (int i = 0; i < HEIGHT * WIDTH * 3; ++i) out[i] = std::max(out[i], rgb[i]);
        } else {
            std::memcpy(out, rgb, HEIGHT * WIDTH * 3);
        }
    } else if constexpr (!Half) {
        for (int i = 0; i < HEIGHT * WIDTH; ++i) put<Max>(out[i], luma(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]));
    } else {
        uint8_t mean[PAIR_MEANS];
        for (int y = 0; y < HEIGHT; y += 2, rgb += 2 * ROW_BYTES) {
            pair_means(rgb, rgb + ROW_BYTES, mean);
            if constexpr (Gray) {
                // Like the means, the lumas are computed at every byte and every sixth is kept.
                uint8_t lumas[PAIR_MEANS - 2];
                for (int i = 0; i < PAIR_MEANS - 2; ++i) lumas[i] = luma(mean[i], mean[i + 1], mean[i + 2]);
                for (int x = 0; x < WIDTH / 2; ++x) put<Max>(out[x], lumas[6 * x]);
                out += WIDTH / 2;
            } else {
                for (int x = 0; x < WIDTH / 2; ++x)
                    for (int c = 0; c < 3; ++c) put<Max>(out[3 * x + c], mean[6 * x + c]);
                out += WIDTH / 2 * 3;
            }
        }
    }
}

template <bool Gray, bool Half, bool Max>
void write_picture_as(const uint8_t* rgb, uint8_t* out) {
    picture_loops<Gray, Half, Max>(rgb, out);
}

using PictureWriter = void (*)(const uint8_t*, uint8_t*);
using PictureWriters = PictureWriter[2][2][2];  // indexed by [gray][half][max]

constexpr PictureWriters PICTURE_WRITERS = {
    {{write_picture_as<false, false, false>, write_picture_as<false, false, true>},
     {write_picture_as<false, true, false>, write_picture_as<false, true, true>}},
    {{write_picture_as<true, false, false>, write_picture_as<true, false, true>},
     {write_picture_as<true, true, false>, write_picture_as<true, true, true>}},
};

#if defined(__x86_64__) && defined(__GNUC__)
// The same loops for processors with AVX2, chosen at run time: gathering every third byte for
// the grayscale and the halving takes byte shuffles that the x86-64 baseline lacks, which
// leaves those loops scalar and several times slower.
template <bool Gray, bool Half, bool Max>
__attribute__((target("avx2"))) void write_picture_avx2(const uint8_t* rgb, uint8_t* out) {
    picture_loops<Gray, Half, Max>(rgb, out);
}

constexpr PictureWriters PICTURE_WRITERS_AVX2 = {
    {{write_picture_avx2<false, false, false>, write_picture_avx2<false, false, true>},
     {write_picture_avx2<false, true, false>, write_picture_avx2<false, true, true>}},
    {{write_picture_avx2<true, false, false>, write_picture_avx2<true, false, true>},
     {write_picture_avx2<true, true, false>, write_picture_avx2<true, true, true>}},
};

const PictureWriters& picture_writers() {
    static const PictureWriters& chosen = __builtin_cpu_supports("avx2") ? PICTURE_WRITERS_AVX2 : PICTURE_WRITERS;
    return chosen;
}
#else
const PictureWriters& picture_writers() { return PICTURE_WRITERS; }
#endif

void write_picture(const uint8_t* rgb, uint8_t* out, PictureFormat format, bool keep_max) {
    picture_writers()[format.gray][format.half][keep_max](rgb, out);
}

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
        throw py::value_error(std::string("step_batch: ") + name + " must have dtype uint8, not " +
                              py::str(a.dtype()).cast<std::string>());
    if (!(a.flags() & py::array::c_style))
        throw py::value_error(std::string("step_batch: ") + name + " must be C-contiguous");
    if (output && !a.writeable()) throw py::value_error(std::string("step_batch: ") + name + " must be writable");
    if (a.ndim() < 1 || static_cast<size_t>(a.shape(0)) != count || static_cast<size_t>(a.size()) != count * row_bytes)
        throw py::value_error(std::string("step_batch: ") + name + " has the wrong shape " + shape_text(a));
    return static_cast<uint8_t*>(const_cast<void*>(a.data()));
}

PictureFormat picture_format(const py::array& a) {
    const std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    const auto is = [&](std::vector<py::ssize_t> tail) {
        return shape.size() == tail.size() + 1 && std::equal(tail.begin(), tail.end(), shape.begin() + 1);
    };
    if (is({HEIGHT, WIDTH, 3})) return {false, false};
    if (is({HEIGHT, WIDTH})) return {true, false};
    if (is({HEIGHT / 2, WIDTH / 2, 3})) return {false, true};
    if (is({HEIGHT / 2, WIDTH / 2})) return {true, true};
    throw py::value_error(
        "step_batch: pictures must have shape (N, 240, 256, 3), (N, 240, 256), (N, 120, 128, 3) or (N, 120, 128)");
}

size_t picture_bytes(PictureFormat f) {
    return static_cast<size_t>(HEIGHT * WIDTH * (f.gray ? 1 : 3) / (f.half ? 4 : 1));
}

// Port 0 reads the batch's pad during the step; the pad attached before comes back after.
class PadForStep {
public:
    PadForStep(NES::CPU& cpu, NES::Controller& pad) : cpu_(cpu), before_(cpu.controllers[0]) {
        cpu.set_controller(&pad, 0);
    }
    ~PadForStep() { cpu_.set_controller(before_, 0); }
    PadForStep(const PadForStep&) = delete;
    PadForStep& operator=(const PadForStep&) = delete;

private:
    NES::CPU& cpu_;
    NES::Controller* before_;
};

void step_batch(WorkerPool& pool, const py::sequence& console_list, const py::object& buttons_object, int frames,
                const py::object& pictures, const py::object& ram, bool max_pool) {
    if (!pool.usable_here()) throw py::value_error("step_batch: this pool was made in another process; make a new one");
    if (frames < 1) throw py::value_error("step_batch: frames must be at least 1, not " + std::to_string(frames));
    const size_t count = py::len(console_list);

    // Everything is checked before any console moves.
    std::vector<py::object> held;  // keeps the consoles alive while the lock is released
    std::vector<PyNES*> consoles;
    for (size_t i = 0; i < count; ++i) {
        held.push_back(console_list[i]);
        if (!py::isinstance<PyNES>(held.back()))
            throw py::type_error("step_batch: item " + std::to_string(i) + " is not a zumbrel.NES");
        consoles.push_back(held.back().cast<PyNES*>());
        check_steppable(*consoles.back(), i);
    }
    std::vector<PyNES*> sorted = consoles;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        throw py::value_error("step_batch: a console appears twice in the batch");

    const uint8_t* buttons = checked_rows(buttons_object, "buttons", count, 1, false);
    PictureFormat format{};
    uint8_t* picture_out = nullptr;
    size_t picture_size = 0;
    if (!pictures.is_none()) {
        format = picture_format(as_array(pictures, "pictures"));
        picture_size = picture_bytes(format);
        picture_out = checked_rows(pictures, "pictures", count, picture_size);
    }
    uint8_t* ram_out = ram.is_none() ? nullptr : checked_rows(ram, "ram", count, RAM_SIZE);
    if (picture_out && ram_out && picture_out < ram_out + count * RAM_SIZE &&
        ram_out < picture_out + count * picture_size)
        throw py::value_error("step_batch: pictures and ram must not share memory");

    std::unique_ptr<NES::Controller[]> pads(new NES::Controller[count]);
    for (size_t i = 0; i < count; ++i) {
        bool states[8];
        for (int b = 0; b < 8; ++b) states[b] = (buttons[i] >> (7 - b)) & 1;
        pads[i].update_inputs(states);
    }
    std::vector<std::string> failures(count);
    Interruption interruption(signal_check());
    const Claims claims(consoles);  // the last check: it must be undone when a batch ends

    const WorkerPool::Task task = [&](size_t i) {
        try {
            NESUnit& console = *consoles[i];
            PadForStep pad(*console.cpu, pads[i]);
            for (int k = 1; k <= frames; ++k) {
                interruption.poll();
                if (interruption.requested()) return;
                console.runFrame();
                if (picture_out && (k == frames || (max_pool && k == frames - 1)))
                    write_picture(console.ppu->frame_rgb, picture_out + i * picture_size, format,
                                  k == frames && max_pool && frames > 1);
            }
            if (ram_out) std::memcpy(ram_out + i * RAM_SIZE, console.cpu->memory, RAM_SIZE);
        } catch (const std::exception& e) {  // only this console's rows are left undefined
            failures[i] = e.what();
        } catch (...) { failures[i] = "unknown error"; }
    };
    {
        py::gil_scoped_release release;
        pool.run(count, task, [&] { interruption.poll(); });
    }
    if (interruption.requested()) throw py::error_already_set();
    for (size_t i = 0; i < count; ++i)
        if (!failures[i].empty())
            throw std::runtime_error("step_batch: console " + std::to_string(i) + " failed: " + failures[i]);
}

}  // namespace

namespace tools {

void add_batch(py::module_& m) {
    py::class_<WorkerPool>(m, "StepPool")
        .def(py::init([](int threads) {
                 if (threads < 1)
                     throw py::value_error("StepPool: threads must be at least 1, not " + std::to_string(threads));
                 return std::make_unique<WorkerPool>(threads);
             }),
             py::arg("threads") = 1)
        .def_property_readonly("threads", &WorkerPool::threads)
        .def("step", &step_batch, py::arg("consoles"), py::arg("buttons"), py::arg("frames") = 1,
             py::arg("pictures") = py::none(), py::arg("ram") = py::none(), py::arg("max_pool") = false);
}

}  // namespace tools
