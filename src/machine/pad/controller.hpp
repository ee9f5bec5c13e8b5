// The standard pad: eight buttons in report order A, B, Select, Start, Up, Down, Left, Right.
#pragma once

#include <atomic>
#include <cstdint>

namespace NES {

class Controller {
public:
    Controller() = default;
    explicit Controller(const bool* inputs) { update_inputs(inputs); }

    // Replaces all eight states at once (safe against a reader on the stepping thread).
    void update_inputs(const bool* inputs) {
        uint8_t byte = 0;
        for (int i = 0; i < 8; ++i)
            if (inputs[i]) byte |= uint8_t(0x80 >> i);
        set_input_byte(byte);
    }
    void set_input_byte(uint8_t byte) { state_.store(byte, std::memory_order_relaxed); }
    // Bit 7 = button 0 ... bit 0 = button 7; pressed = 1.
    uint8_t get_input_byte() const { return state_.load(std::memory_order_relaxed); }
    bool button(int i) const { return (get_input_byte() >> (7 - i)) & 1; }

private:
    std::atomic<uint8_t> state_{0};
};

}  // namespace NES
