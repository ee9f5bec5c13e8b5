// Types shared by every unit of the machine.
#pragma once

#include <atomic>
#include <cstdint>

namespace NES {

class CPU;
class PPU;
class APU;
class ROM;
class Mapper;
class Controller;
class StateArchive;

// A location is a pointer to one byte: into the CPU's `memory` (address = pointer - memory)
// or at the accumulator `A`.
using Loc = uint8_t*;

// Samples in one audio block.
constexpr int BUFFER_LEN = 1024;

// The machine context every board operation receives: the CPU, the PPU and the APU.
struct Context {
    CPU* cpu;
    PPU* ppu;
    APU* apu;
};

// A counter written only by the stepping thread and read from any thread.
// Relaxed atomic loads and stores compile to plain moves on x86-64, so the
// stepping path pays nothing, while readers on another thread never see a torn value.
template <class T>
class Relaxed {
public:
    constexpr Relaxed(T v = T()) noexcept : value_(v) {}
    Relaxed(const Relaxed& o) noexcept : value_(o.load()) {}
    Relaxed& operator=(const Relaxed& o) noexcept {
        store(o.load());
        return *this;
    }
    T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T v) noexcept { value_.store(v, std::memory_order_relaxed); }
    operator T() const noexcept { return load(); }
    Relaxed& operator=(T v) noexcept {
        store(v);
        return *this;
    }
    Relaxed& operator+=(T d) noexcept {
        store(load() + d);
        return *this;
    }
    Relaxed& operator-=(T d) noexcept {
        store(load() - d);
        return *this;
    }
    Relaxed& operator++() noexcept {
        store(load() + 1);
        return *this;
    }

private:
    std::atomic<T> value_;
};

}  // namespace NES
