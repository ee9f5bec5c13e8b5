// Stepping many consoles at once: each advances whole frames with its own pad byte on port 0,
// and its picture and RAM land in buffers the caller made.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

#include "host/console.hpp"
#include "host/step_pool.hpp"
#include "machine/ppu/picture_kernels.hpp"

namespace host {

// Where a batch's results go; null for what the caller does not want.
struct BatchOutputs {
    uint8_t* pictures = nullptr;  // format.bytes() per console, in order
    NES::PictureFormat format;
    bool max_pool = false;   // each picture is the maximum of the last two frames
    uint8_t* ram = nullptr;  // NES::CPU::RAM_SIZE bytes per console: $0000-$07FF
};

// A batch that cannot run as asked; nothing has moved.
class BatchRefused : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Steps each console `frames` frames with buttons[i] held on port 0, on the pool's threads;
// the pad attached to port 0 comes back afterwards. A console running on its thread, with a
// per-frame function, given twice, stepped by another batch, or (unless
// `allow_unsupported_board`) with a cartridge whose board the machine lacks is refused
// (BatchRefused) before any console moves. `interrupted`, asked on the calling thread every
// few milliseconds, ends the batch early: every console stops between two frames and the
// result is false. A console that fails leaves its rows undefined; the first failure is
// thrown (runtime_error) once every console has ended.
bool run_batch(StepPool& pool, const std::vector<NESUnit*>& consoles, const uint8_t* buttons, int frames,
               const BatchOutputs& out, const std::function<bool()>& interrupted, bool allow_unsupported_board = false);

}  // namespace host
