// NTDEC 2722 (mapper 40): one switchable 8 KiB PRG bank at $C000 and a free-running timer.
#include "machine/cartridge/banking.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {
constexpr uint16_t TIMER_DOTS = 12288;  // 4096 CPU cycles
}

void NTDEC2722::map_write(Context& ctx, Loc addr, uint8_t* value) {
    switch (banking::window(banking::address(*ctx.cpu, addr))) {
        case 4:  // $8000-$9FFF: stop and rearm
            irq_enable = false;
            irq_counter = TIMER_DOTS;
            break;
        case 5:  // $A000-$BFFF: run from where the counter stands
            irq_enable = true;
            break;
        case 7:  // $E000-$FFFF
            banking::map_prg(*ctx.cpu, 0xC000, *value * 8, 8);
            break;
        default: break;
    }
}

void NTDEC2722::clock(Context& ctx) {
    if (!irq_enable) return;
    if (--irq_counter == 0) {
        ctx.cpu->irq_line = 1;
        irq_counter = TIMER_DOTS;
    }
}

void NTDEC2722::state_fields(StateArchive& ar, const ROM&) {
    ar.num(irq_counter);
    ar.flag(irq_enable, "NTDEC 2722 IRQ enable");
}

}  // namespace NES
