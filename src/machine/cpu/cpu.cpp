// The CPU bus (address folding, port side effects, OAM DMA), reset, the trace lines and the
// power-on cartridge mapping.
#include "machine/cpu/cpu.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "machine/apu/apu.hpp"
#include "machine/cartridge/rom.hpp"
#include "machine/pad/controller.hpp"
#include "machine/ppu/ppu.hpp"

namespace NES {

CPU::CPU() { init(false); }
CPU::CPU(bool debug_flag) { init(debug_flag); }

void CPU::init(bool debug_flag) {
    context.cpu = this;
    std::fill(std::begin(mnemonics), std::end(mnemonics), nullptr);
    std::fill(std::begin(mode_names), std::end(mode_names), nullptr);
    std::fill(std::begin(addressing_modes), std::end(addressing_modes), nullptr);
    std::fill(std::begin(operations), std::end(operations), nullptr);
    std::memset(cycle_table, 0, sizeof cycle_table);
    std::memset(cycle_table_page_cross, 0, sizeof cycle_table_page_cross);
    debug = debug_flag;
    define_opcodes();
    define_timings();
    map_plain_reads();
}

// ---------------------------------------------------------------------------------------------
// Bus

uint8_t CPU::read_bus(Loc loc, bool notify) {
    const uintptr_t off = offset_of(loc);
    if (off >= 0x10000) return *loc;  // the accumulator: no bus cycle
    const uint16_t a = fold(static_cast<uint32_t>(off));
    // Only $2000-$2007 and $4015-$4017 have read side effects; one range test covers them.
    const uint8_t result = static_cast<uint16_t>(a - 0x2000) < 0x2018 ? read_port(a) : memory[a];
    if (notify && board_sees_reads()) {
        ++bus_effects;
        context.ppu = ppu;
        context.apu = apu;
        read_board->map_read(context, memory + a);
    }
    return result;
}

bool CPU::board_sees_ram_writes() const {
    return rom != nullptr && rom->mapper != nullptr && rom->mapper->sees_ram_writes;
}

void CPU::map_plain_reads() {
    for (uint32_t region = 0; region < 32; ++region) {
        const uint32_t start = region << 11;
        uint16_t mask = 0xFFFF;
        if (start < 0x2000)
            mask = 0x07FF;
        else if (start < 0x4800)  // the PPU, APU and pad ports
            mask = 0;
        else if (start >= 0xC000 && prg_fold16)
            mask = 0xBFFF;
        plain_read_masks[region] = board_sees_reads() ? uint16_t{0} : mask;
        code_read_masks[region] = plain_read_masks[region];
    }
    code_read_masks[0x1800 >> 11] = 0;
    if (code_read_masks[0xB800 >> 11] != 0) code_read_masks[0xB800 >> 11] = plain_read_masks[0xC000 >> 11];
}

void CPU::map_memory(Loc& loc) const {
    const uintptr_t off = offset_of(loc);
    if (off < 0x10000) loc = const_cast<Loc>(memory) + fold(static_cast<uint32_t>(off));
}

void CPU::catch_up_ppu() {
    // Where the PPU would stand: the console never lets it lag across a frame's end, so
    // this never completes a frame.
    const int64_t behind = 3 * instruction_start - static_cast<int64_t>(ppu->dot_count.load());
    if (behind > 0) ppu->run_dots(static_cast<uint64_t>(behind));
}

void CPU::catch_up_apu() {
    apu_ran = true;
    run_ends = true;
    const auto until = static_cast<uint64_t>(instruction_start + 1) / 2;
    if (apu->apu_cycles.load() < until) apu->run(until);
}

uint8_t CPU::read_port(uint16_t a) {
    ++bus_effects;
    if (a >= 0x4000) {
        if (a == 0x4015) return read_apu_status();
        if (a < 0x4016) return memory[a];
        return read_pad(a - 0x4016);
    }
    if (ppu == nullptr) return memory[a];
    // $2000-$2007 other than these read back what the CPU stored.
    switch (a) {
        case 0x2002: return read_ppustatus();
        case 0x2004: return read_oamdata();
        case 0x2007: return read_ppudata();
        default: return memory[a];
    }
}

// $4015: bit 0 tells whether pulse 1 still sounds; the read clears the frame interrupt.
uint8_t CPU::read_apu_status() {
    if (apu == nullptr) return memory[0x4015];
    if (apu_lags) catch_up_apu();
    return apu->read_status();
}

// $4016/$4017: bit 0 the next button of the pad's shift register, bit 6 open bus (1).
// The register shifts, filling with 1s, only while the strobe is low.
uint8_t CPU::read_pad(int port) {
    const uint8_t bit = controller_shift[port] >> 7;
    if (strobe == 0) controller_shift[port] = static_cast<uint8_t>(controller_shift[port] << 1 | 1);
    return static_cast<uint8_t>(0x40 | bit);
}

// $2002 VSO- ----: vblank, sprite 0 hit, sprite overflow. The read clears vblank and the
// $2005/$2006 write toggle.
uint8_t CPU::read_ppustatus() {
    if (ppu_lags) catch_up_ppu();
    ++status_reads;
    uint8_t& b = memory[0x2002];
    const uint8_t status = b;
    b = status & 0x7F;
    ppu->write_toggle = 0;
    // Reading just as vertical blank begins cancels its flag and its NMI for this frame.
    if (ppu->scanline == 241 && (ppu->dot == 1 || ppu->dot == 2)) {
        ppu->vblank_suppressed = 1;
        ppu->nmi_suppressed = 1;
        ppu->nmi_pending = 0;
        return ppu->dot == 1 ? static_cast<uint8_t>(status & 0x7F) : static_cast<uint8_t>(status | 0x80);
    }
    if (ppu->scanline == 261 && ppu->dot > 1) return static_cast<uint8_t>(status & 0x7F);
    ppu->nmi_pending = 0;
    return status;
}

// $2004: the OAM byte at oam_addr; reads do not advance it.
uint8_t CPU::read_oamdata() {
    if (ppu_lags) catch_up_ppu();
    return ppu->oam[ppu->oam_addr];
}

// $2007: VRAM at v through the delay buffer, palette directly; v then steps by 1 or 32
// ($2000 bit 2).
uint8_t CPU::read_ppudata() {
    if (ppu_lags) catch_up_ppu();
    const uint16_t va = ppu->v & 0x3FFF;
    uint8_t result;
    if (va > 0x3EFF) {
        result = ppu->read(va);  // palette reads skip the delay buffer
    } else {
        result = ppu->read_buffer;
        ppu->read_buffer = ppu->read(va);
    }
    ppu->v = static_cast<uint16_t>(ppu->v + ((memory[0x2000] & 0x04) ? 32 : 1));
    return result;
}

void CPU::write(Loc loc, uint8_t value) {
    ++bus_effects;
    const uintptr_t off = offset_of(loc);
    if (off >= 0x10000) {  // the accumulator: no bus cycle, so the board does not see it
        if (debug) std::printf("%04x=>%02x\n", 0xFFFFu & static_cast<unsigned>(off), value);
        *loc = value;
        return;
    }
    const uint16_t a = fold(static_cast<uint32_t>(off));
    if (debug) std::printf("%04x=>%02x\n", a, value);
    // RAM, the APU registers and the pads are out of the PPU's sight; a board sees the rest.
    if (ppu_lags && a >= 0x2000 && (a < 0x4000 || a == 0x4014 || a >= 0x4018) && ppu != nullptr) {
        catch_up_ppu();
        // PPUMASK starts or stops the board's clock; its registers may move the IRQ.
        if (a >= irq_writes_from || (a == 0x2001 && irq_writes_from <= 0xFFFF)) irq_deadline_moved = run_ends = true;
    }
    // The APU sees its registers, and a board may change what the DMC fetches.
    if (apu_lags && a >= 0x4000 && a != 0x4014 && a != 0x4016 && apu != nullptr) catch_up_apu();
    if (static_cast<uint16_t>(a - 0x2000) < 0x2018) write_port(a, value);
    if (Mapper* board = rom != nullptr ? rom->mapper.get() : nullptr) {
        if (a >= 0x2000 ? a >= board->writes_from : board->sees_ram_writes) {
            context.ppu = ppu;
            context.apu = apu;
            board->map_write(context, memory + a, &value);
        }
    }
    // ROM is never written by the CPU, and PPUSTATUS belongs to the PPU.
    if (a < 0x8000 && a != 0x2002) memory[a] = value;
}

// Inlined into `write`, whose busiest case it is.
[[gnu::always_inline]] inline void CPU::write_port(uint16_t a, uint8_t& value) {
    if (a >= 0x4000) {
        if (a == 0x4014)
            oam_dma(value);
        else if (a == 0x4016)
            write_strobe(value);
        else if (apu != nullptr)
            apu->write_register(a, value);
        return;
    }
    if (ppu == nullptr) return;
    if (a == 0x2007) {  // the busiest, ahead of the others' jump table
        write_ppudata(value);
        return;
    }
    switch (a) {
        case 0x2000: write_ppuctrl(value); break;
        case 0x2003: ppu->oam_addr = value; break;
        case 0x2004: write_oamdata(value); break;
        case 0x2005: write_ppuscroll(value); break;
        case 0x2006: write_ppuaddr(value); break;
        default: break;
    }
}

// $4016 ---- ---S: while the strobe is high the pads' shift registers reload their buttons.
void CPU::write_strobe(uint8_t value) {
    strobe = value & 1;
    if (!strobe) return;
    for (int port = 0; port < 2; ++port)
        controller_shift[port] = controllers[port] ? controllers[port]->get_input_byte() : 0;
}

// $2000 VPHB SINN: NN, the base nametable, goes to t bits 10-11; the rest is read from
// the stored byte where it is used.
void CPU::write_ppuctrl(uint8_t value) { ppu->t = static_cast<uint16_t>((ppu->t & 0xF3FF) | ((value & 3) << 10)); }

// $2004: the OAM byte at oam_addr, which then advances. The unimplemented attribute bits
// (2-4 of byte 2) read back as 0, so the stored value loses them too.
void CPU::write_oamdata(uint8_t& value) {
    if ((ppu->oam_addr & 3) == 2) value &= 0xE3;
    ppu->oam[ppu->oam_addr] = value;
    ++ppu->oam_addr;
}

// $2005, t = yyy NN YYYYY XXXXX: the first write sets XXXXX and fine x, the second
// YYYYY and yyy (coarse and fine y).
void CPU::write_ppuscroll(uint8_t value) {
    PPU& p = *ppu;
    if (p.write_toggle == 0) {
        p.fine_x = value & 7;
        p.t = static_cast<uint16_t>((p.t & 0xFFE0) | (value >> 3));
        p.write_toggle = 1;
    } else {
        p.t = static_cast<uint16_t>((p.t & 0x8C1F) | ((value & 7) << 12) | ((value >> 3) << 5));
        p.write_toggle = 0;
    }
}

// $2006: the first write sets t bits 8-13 and clears bit 14, the second bits 0-7 and
// copies t into v.
void CPU::write_ppuaddr(uint8_t value) {
    PPU& p = *ppu;
    if (debug) print_ppuaddr_write("(Before)", value);
    if (p.write_toggle == 0) {
        p.t = static_cast<uint16_t>((p.t & 0x80FF) | ((value & 0x3F) << 8));
        p.write_toggle = 1;
    } else {
        p.t = static_cast<uint16_t>((p.t & 0xFF00) | value);
        p.v = p.t;
        p.write_toggle = 0;
    }
    if (debug) print_ppuaddr_write("(After)", value);
}

// The debug trace of an address-port write: the scroll registers around it.
void CPU::print_ppuaddr_write(const char* when, uint8_t value) const {
    std::printf("%s Write %02x->0x%04x: v=%04x,t=%04x,w=%i,x=%02x\n", when, value, 0x2006, ppu->v, ppu->t,
                ppu->write_toggle, ppu->fine_x);
}

// $2007: VRAM at v, which then steps by 1 or 32 ($2000 bit 2).
// Inlined into `write_port`: most port writes are to $2007.
[[gnu::always_inline]] inline void CPU::write_ppudata(uint8_t value) {
    if (debug) std::printf("ppu->%04x: %02x\n", ppu->v & 0x3FFF, value);
    ppu->write(ppu->v & 0x3FFF, value);
    ppu->v = static_cast<uint16_t>(ppu->v + ((memory[0x2000] & 0x04) ? 32 : 1));
    if (debug) std::printf("v changed to %i\n", ppu->v);
}

// Copies a 256-byte page into OAM starting at oam_addr; every source byte is a full bus read.
void CPU::oam_dma(uint8_t page) {
    if (ppu == nullptr) return;
    const uint8_t start = ppu->oam_addr;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t byte = read(at(page * 256u + i), true);
        const uint8_t index = static_cast<uint8_t>(start + i);
        ppu->oam[index] = (index & 3) == 2 ? static_cast<uint8_t>(byte & 0xE3) : byte;
    }
    ppu->oam_addr = start;
    if (debug) {
        std::printf("New OAM: [");
        for (const uint8_t byte : ppu->oam) std::printf("%02x,", byte);
        std::printf("]\n");
    }
}

bool CPU::get_flag(char letter) const {
    switch (letter) {
        case 'C': return P & FLAG_C;
        case 'Z': return P & FLAG_Z;
        case 'I': return P & FLAG_I;
        case 'D': return P & FLAG_D;
        case 'B': return P & FLAG_B;
        case 'V': return P & FLAG_V;
        case 'N': return P & FLAG_N;
        default: return false;
    }
}

void CPU::set_flag(char letter, bool on) {
    switch (letter) {
        case 'C': set_bit(FLAG_C, on); break;
        case 'Z': set_bit(FLAG_Z, on); break;
        case 'I': set_bit(FLAG_I, on); break;
        case 'D': set_bit(FLAG_D, on); break;
        case 'B': set_bit(FLAG_B, on); break;
        case 'V': set_bit(FLAG_V, on); break;
        case 'N': set_bit(FLAG_N, on); break;
        default: break;
    }
}

void CPU::set_controller(Controller* pad, uint8_t port) {
    if (port < 2) controllers[port] = pad;
}

// ---------------------------------------------------------------------------------------------
// Reset

void CPU::reset() {
    cycle_count = 0;
    if (ppu) ppu->dot_count = 0;
    if (apu) {
        apu->apu_cycles = 0;
        apu->samples_written = 0;
    }
    std::printf("Before: %04x\n", reset_vector);
    Loc vector = at(reset_vector);
    std::printf("reset loc: %p, memory loc: %p\n", static_cast<void*>(vector), static_cast<void*>(memory));
    map_memory(vector);
    const uint32_t folded = static_cast<uint32_t>(offset_of(vector));
    std::printf("After: %04x\n", folded);
    std::printf("%02x %02x\n", memory[folded], memory[(folded + 1) & 0xFFFF]);
    PC = absolute_at(vector);
    std::printf("%04x\n", static_cast<unsigned>(offset_of(PC)));
}

int32_t CPU::emulated_clock_speed(int64_t elapsed_ns) const {
    const int64_t cycles = cycle_count.load();
    if (cycles == 0 || elapsed_ns == 0) return 0;
    const double speed = static_cast<double>(cycles) * 1e9 / static_cast<double>(elapsed_ns);
    // A tiny elapsed time would overflow the result; converting such a double is undefined.
    if (speed >= 2147483647.0) return INT32_MAX;
    if (speed <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(speed);
}

// ---------------------------------------------------------------------------------------------
// Trace lines (only with debug)

void CPU::ins_str(char* buf, unsigned char opcode) {
    if (mnemonics[opcode] == nullptr || mode_names[opcode] == nullptr) {
        std::sprintf(buf, "0x%02x: ---", opcode);
        return;
    }
    std::sprintf(buf, "0x%02x: %s, %s, PC=$%04x - A=%u - X=%u - Y=%u", opcode, mnemonics[opcode], mode_names[opcode],
                 static_cast<unsigned>(offset_of(PC) & 0xFFFF), A, X, Y);
}

void CPU::ins_str_mem(char* buf, uint8_t* opcode_loc, Loc effective) {
    map_memory(opcode_loc);
    map_memory(effective);
    const uint8_t opcode = *opcode_loc;
    if (mnemonics[opcode] == nullptr || mode_names[opcode] == nullptr) {
        std::sprintf(buf, "0x%02x: ---", opcode);
        return;
    }
    const uint32_t at_opcode = static_cast<uint32_t>(offset_of(opcode_loc));
    unsigned operand = 0;
    for (unsigned i = 1; i < pc_step && i < 3; ++i)
        operand |= unsigned{memory[fold(at_opcode + i) & 0xFFFF]} << (8 * (i - 1));
    std::sprintf(buf, "Cycles: %li, 0x%02x: %s, %s $%04x->%04x=%02x, PC=$%04x - A=%02x - X=%02x - Y=%02x - P=%02x",
                 static_cast<long>(cycle_count.load()), opcode, mnemonics[opcode], mode_names[opcode], operand,
                 static_cast<unsigned>(offset_of(effective) & 0xFFFF), *effective,
                 static_cast<unsigned>(offset_of(PC) & 0xFFFF), A, X, Y, P);
}

void CPU::trace(Loc effective) {
    char buf[256] = {};
    ins_str_mem(buf, PC, effective);
    std::printf("%s ", buf);
    std::printf("SP: %02x [", SP);
    if (SP != 0xFF) {
        std::printf("%02x", memory[0x1FF]);
        for (int i = 0xFE; i > SP; --i) std::printf(",%02x", memory[0x100 + i]);
    }
    std::printf("]\n");
}

// ---------------------------------------------------------------------------------------------
// Cartridge attachment

// Copies `kib` KiB of PRG starting at 1 KiB bank `bank_kib` to `dest`, bank by bank, so that
// bank numbers wrap as the ROM defines and the copy never leaves the PRG buffer.
void CPU::load_battery_ram() {
    if (battery_path.empty()) return;
    std::printf("load RAM file: %s\n", battery_path.c_str());
    std::error_code error;
    const auto status = std::filesystem::status(battery_path, error);
    const bool exists = std::filesystem::exists(status);
    std::printf("RAM file exists: %i\n", exists ? 1 : 0);
    if (!exists || !std::filesystem::is_regular_file(status)) return;
    if (std::FILE* f = std::fopen(battery_path.c_str(), "rb")) {
        const size_t got = std::fread(memory + 0x6000, 1, 0x2000, f);
        (void)got;  // a short file leaves the rest zero
        std::fclose(f);
    }
}

void CPU::loadRom(ROM* cartridge, bool read_battery_ram) {
    std::memset(memory, 0, sizeof memory);
    rom = cartridge;
    prg_fold16 = false;
    Mapper* mapper = rom != nullptr ? rom->mapper.get() : nullptr;
    read_board = mapper != nullptr && mapper->notify_reads ? mapper : nullptr;
    if (rom != nullptr) {
        if (rom->battery && read_battery_ram) load_battery_ram();
        if (const BoardInfo* board = board_info(rom->mapper_number())) board->power_on(*this);
    }
    map_plain_reads();
}

}  // namespace NES
