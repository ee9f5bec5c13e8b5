// Sequences of CPU bus accesses, aimed mostly at the PPU, APU, pad and board registers,
// interleaved with instruction steps of a running program.
//
// Input: a board selector byte, then records. A record starts with an operation byte whose
// top two bits say what it does and whose low two bits pick a region for the address:
//   00 write: address low, address high, value
//   01 read:  address low, address high (a notifying read, as an instruction makes)
//   10 step:  (op >> 2 & 15) + 1 instructions
//   11 run:   up to a frame, or an audio block taken, or the pads changed (by op bits 2-3)
// Regions: 0 the PPU ports $2000-$2007 and mirrors, 1 the APU and I/O ports $4000-$401F,
// 2 cartridge space $6000-$FFFF, 3 anywhere.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.hpp"

namespace {

// Inputs start on this line of the first frame, shortly before vertical blank, and run at
// most this many CPU cycles in all (about 70 lines: through the NMI to the next frame),
// however many steps and frames they ask for: records beyond find nothing the first did not.
constexpr int START_LINE = 200;
constexpr int64_t CYCLES = 8000;

uint32_t address(uint8_t op, uint8_t low, uint8_t high) {
    const uint32_t word = static_cast<uint32_t>(high) << 8 | low;
    switch (op & 3) {
        case 0: return 0x2000u | (word & 0x1FFFu);
        case 1: return 0x4000u | (low & 0x1Fu);
        case 2: return 0x6000u + word % 0xA000u;
        default: return word;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    NESUnit& nes = fuzz::warm_console(data[0], 0, START_LINE);
    NES::CPU& cpu = *nes.cpu;
    const int64_t end = cpu.cycle_count.load() + CYCLES;
    const auto run_frame = [&] {
        const uint64_t frame = nes.ppu->frame_count.load();
        while (nes.ppu->frame_count.load() == frame && cpu.cycle_count.load() < end) nes.single_cycle();
    };
    size_t i = 1;
    while (i < size && cpu.cycle_count.load() < end) {
        const uint8_t op = data[i++];
        switch (op >> 6) {
            case 0:
                if (i + 3 > size) return 0;
                cpu.write(cpu.at(address(op, data[i], data[i + 1])), data[i + 2]);
                i += 3;
                break;
            case 1:
                if (i + 2 > size) return 0;
                (void)cpu.read(cpu.at(address(op, data[i], data[i + 1])), true);
                i += 2;
                break;
            case 2:
                for (int n = 0; n <= ((op >> 2) & 15); ++n) nes.single_cycle();
                break;
            default:
                switch ((op >> 2) & 3) {
                    case 0: run_frame(); break;
                    case 1: {
                        int16_t block[NES::BUFFER_LEN];
                        (void)nes.getAudio(block);
                        break;
                    }
                    default: {
                        bool buttons[8];
                        for (int b = 0; b < 8; ++b) buttons[b] = (op >> (b % 6)) & 1;
                        nes.controllers[(op >> 2) & 1].update_inputs(buttons);
                        break;
                    }
                }
                break;
        }
    }
    run_frame();
    fuzz::check_state_round_trip(nes);
    return 0;
}
