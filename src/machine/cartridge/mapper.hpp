// The cartridge board interface and the board classes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "machine/common.hpp"
#include "machine/state_layout.hpp"

namespace NES {

class Mapper {
public:
    explicit Mapper(int number, bool has_clock = false) : mapper_number(number), clocked(has_clock) {}
    virtual ~Mapper() = default;

    int mapper_number;
    // True for boards whose `clock` does something; the PPU skips the call otherwise.
    bool clocked;
    // For a clocked board whose `clock` acts only when the PPU has just moved to one dot of a
    // line (its `dot` as the board sees it), that dot: the PPU may skip the call on the other
    // dots when it runs many at once. -1: every dot matters.
    int clock_dot = -1;
    // True for a clocked board whose `clock` only counts dots: it reads nothing of the PPU's
    // and changes nothing the PPU reads, so the PPU may run several dots and then make as
    // many calls.
    bool clock_counts_dots = false;
    // True for a board with a `clock_dot` whose `clock` reads of the PPU only its position,
    // vertical blank and PPUMASK, and changes nothing the PPU reads: the dots drawn on either
    // side of its dot cannot change what the call sees or does, so the PPU may draw them in
    // one span and then call the board as at its dot.
    bool clock_ignores_drawing = false;
    // For such a board whose clock reaches the CPU only by raising the IRQ (the rest is
    // caught up before the CPU could tell): the lowest CPU address at which a write may
    // change when it next raises it, beside PPUMASK; above $FFFF for any other board.
    uint32_t irq_writes_from = 0x10000;
    // True for boards whose `map_read` does something; the CPU skips the call otherwise.
    bool notify_reads = false;
    // True for boards whose `map_write` looks at writes to internal RAM ($0000-$1FFF); the
    // CPU skips the call there otherwise.
    bool sees_ram_writes = false;
    // The lowest address from $2000 up whose writes `map_write` acts on; the CPU skips the
    // call below it (the ports, most of all $2007, are written often).
    uint32_t writes_from = 0x2000;
    // True for boards that watch the PPU's background pattern fetches (`pattern_fetch`); the
    // PPU then runs dot by dot, each fetch seen by the board as it happens.
    bool watches_patterns = false;

    // See a CPU write before it is stored; may change the byte to be stored.
    virtual void map_write(Context& ctx, Loc addr, uint8_t* value) = 0;
    // See a notifying CPU read.
    virtual void map_read(Context&, Loc) {}
    // Once per PPU dot, after the PPU advanced its position.
    virtual void clock(Context&) {}
    // How many calls of `clock` at its `clock_dot`, from the next on, until one may raise the
    // IRQ (1: the next may), or -1 for none, while the CPU writes neither PPUMASK (`mask`
    // now) nor at `irq_writes_from` or above.
    virtual int64_t clocks_before_irq(uint8_t /*mask*/) const { return 1; }
    // A background tile's pattern bytes were read, the second at PPU `address`.
    virtual void pattern_fetch(Context&, uint16_t /*address*/) {}
    // Every register of the board, for in-memory snapshots and the slot block (the banks it
    // selected are in the CPU and PPU images). A board without registers lists none.
    virtual void state_fields(StateArchive&, const ROM&) {}
    // Write / restore the board's slot block (MAPPER_BLOCK bytes; unused bytes are zero): the
    // fields `state_fields` lists, in its order, for boards whose slot format holds them.
    void serialize(Context& ctx, uint8_t* out);
    void deserialize(Context& ctx, const uint8_t* in);

protected:
    // False for the boards whose slot files hold no registers (MMC1, NTDEC 2722).
    bool fields_in_slot = true;
    // After a slot block was read into the fields, which a slot file does not check: bring
    // them into range and map the banks they select.
    virtual void slot_loaded(Context&) {}
};

// What the machine knows of a board it implements, by mapper number (boards.cpp).
struct BoardInfo {
    int number;
    const char* name;
    std::unique_ptr<Mapper> (*make)();
    bool (*reset)(Mapper*);  // back to power-on in place; false when it is another board
    void (*power_on)(CPU&);  // maps the power-on PRG banks
    int min_prg_kib;         // the fixed windows need this much PRG ROM
    bool whole_8k_banks;     // the PRG ROM must be a whole number of 8 KiB banks
};
// The entry of an implemented board, nullptr for any other number.
const BoardInfo* board_info(int number);
// Every implemented board, in mapper-number order.
const BoardInfo* boards_begin();
const BoardInfo* boards_end();

// The board for a mapper number, in its power-on state; for a number without an entry a
// DEFAULT_MAPPER keeping the number (and the line "UNRECOGNIZED MAPPER!" is printed).
std::unique_ptr<Mapper> make_mapper(int number);

class NROM : public Mapper {
public:
    NROM() : Mapper(0) { writes_from = 0x10000; }
    void map_write(Context&, Loc, uint8_t*) override {}
};

class DEFAULT_MAPPER : public Mapper {
public:
    explicit DEFAULT_MAPPER(int number) : Mapper(number) { writes_from = 0x10000; }
    void map_write(Context&, Loc, uint8_t*) override {}
};

class UxROM : public Mapper {
public:
    UxROM() : Mapper(2) { writes_from = 0x8000; }
    int prg_bank = 0;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void slot_loaded(Context& ctx) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
};

class CNROM : public Mapper {
public:
    CNROM() : Mapper(3) { writes_from = 0x8000; }
    int chr_bank = 0;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void slot_loaded(Context& ctx) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
};

class MMC1 : public Mapper {
public:
    MMC1() : Mapper(1) {
        fields_in_slot = false;
        writes_from = 0x8000;
    }
    uint8_t prg_mode = 3;
    uint8_t chr_mode = 0;
    uint8_t shift_register = 0x10;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void control(CPU* cpu, PPU* ppu, uint8_t v);
};

class MMC3 : public Mapper {
public:
    // The scanline counter looks only at dot 256, PPUMASK and vertical blank.
    MMC3() : Mapper(4, true) {
        clock_dot = 256;
        clock_ignores_drawing = true;
        irq_writes_from = 0xC000;  // the latch, the reload, the enable
        writes_from = 0x6000;      // a protected PRG RAM keeps its byte
    }
    uint8_t bank_select = 0;
    uint8_t prev_bank_select = 0;
    bool prg_ram_protect = false;
    bool prg_ram_enable = true;
    bool irq_enable = true;
    uint16_t reserved0 = 0;
    int32_t irq_counter = 255;
    uint8_t irq_latch = 255;
    uint8_t reserved1 = 0;
    uint8_t reserved2 = 0;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void clock(Context& ctx) override;
    int64_t clocks_before_irq(uint8_t mask) const override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void scanline_clock(CPU* cpu);
};

class NTDEC2722 : public Mapper {
public:
    // The interrupt timer counts dots and nothing else.
    NTDEC2722() : Mapper(40, true) {
        clock_counts_dots = true;
        fields_in_slot = false;
        writes_from = 0x8000;
    }
    uint16_t irq_counter = 12288;
    bool irq_enable = true;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void clock(Context& ctx) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
};

// The discrete-logic boards after the designed six: one or two registers loaded by a write,
// whose banks the slot block's loader maps again (discrete.cpp). Boards with bus conflicts
// latch the written byte ANDed with the ROM byte the CPU reads at that address meanwhile.

// AxROM (mapper 7): 32 KiB PRG banks and one-screen mirroring, nametable chosen by bit 4.
class AxROM : public Mapper {
public:
    AxROM() : Mapper(7) { writes_from = 0x8000; }
    uint8_t bank = 0;  // the last byte latched
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void slot_loaded(Context& ctx) override;
};

// BNROM (mapper 34, CHR RAM): 32 KiB PRG banks from $8000-$FFFF, with bus conflicts.
// NINA-001 (mapper 34 with CHR ROM): the PRG bank at $7FFD and two 4 KiB CHR banks at
// $7FFE and $7FFF.
class BNROM : public Mapper {
public:
    BNROM() : Mapper(34) { writes_from = 0x6000; }  // NINA-001 from $7FFD
    uint8_t prg_bank = 0;
    uint8_t chr_low = 0;   // NINA-001: the 4 KiB bank at PPU $0000
    uint8_t chr_high = 1;  // and at $1000
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void slot_loaded(Context& ctx) override;
};

// GxROM (mapper 66, bits 4-5 PRG, 0-1 CHR) and Color Dreams (mapper 11, bits 0-1 PRG, 4-7
// CHR): a 32 KiB PRG and an 8 KiB CHR bank from one register, with bus conflicts.
class GxROM : public Mapper {
public:
    GxROM() : Mapper(66) { writes_from = 0x8000; }
    uint8_t bank = 0;  // the last byte latched
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void slot_loaded(Context& ctx) override;

protected:
    explicit GxROM(int number) : Mapper(number) { writes_from = 0x8000; }
    virtual int prg_of(uint8_t v) const { return (v >> 4) & 3; }
    virtual int chr_of(uint8_t v) const { return v & 3; }
};

class ColorDreams : public GxROM {
public:
    ColorDreams() : GxROM(11) {}

protected:
    int prg_of(uint8_t v) const override { return v & 3; }
    int chr_of(uint8_t v) const override { return v >> 4; }
};

// Camerica / Codemasters (mapper 71): a 16 KiB PRG bank at $8000 chosen at $C000-$FFFF, the
// last one fixed at $C000; Fire Hawk's board takes one-screen mirroring from bit 4 of writes
// to $9000-$9FFF, the other boards keep the header's mirroring. No bus conflicts.
class Camerica : public Mapper {
public:
    Camerica() : Mapper(71) { writes_from = 0x8000; }
    uint8_t prg_bank = 0;
    int8_t screen = -1;  // the one-screen nametable, -1 until $9000-$9FFF is written
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void slot_loaded(Context& ctx) override;
};

// MMC2 (mapper 9) and MMC4 (mapper 10): two 4 KiB CHR windows, each showing one of two
// banks chosen by a latch that the PPU's fetches of tiles $FD and $FE set (mmc2.cpp).
class MMC2 : public Mapper {
public:
    MMC2() : MMC2(9) {}
    uint8_t prg_bank = 0;
    uint8_t chr_banks[4] = {0, 0, 0, 0};  // $FD and $FE banks of the window at $0000, then $1000
    uint8_t latches[2] = {1, 1};          // per window: 0 shows the $FD bank, 1 the $FE bank
    uint8_t horizontal = 0;               // the mirroring register's bit 0
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void pattern_fetch(Context& ctx, uint16_t address) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void slot_loaded(Context& ctx) override;

protected:
    explicit MMC2(int number) : Mapper(number) {
        watches_patterns = true;
        writes_from = 0x8000;
    }
    // The 8 KiB (MMC2) or 16 KiB (MMC4) bank at $8000.
    virtual void map_prg_bank(CPU& cpu) const;
    // The sprite-table latch reacts to $xFD8-$xFDF on both; the other to $0FD8 only on MMC2.
    virtual bool latch_address(uint16_t address) const;
};

class MMC4 : public MMC2 {
public:
    MMC4() : MMC2(10) {}

protected:
    void map_prg_bank(CPU& cpu) const override;
    bool latch_address(uint16_t address) const override;
};

}  // namespace NES
