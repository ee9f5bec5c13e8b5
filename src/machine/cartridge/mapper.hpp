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
    // True for boards whose `map_read` does something; the CPU skips the call otherwise.
    bool notify_reads = false;

    // See a CPU write before it is stored; may change the byte to be stored.
    virtual void map_write(Context& ctx, Loc addr, uint8_t* value) = 0;
    // See a notifying CPU read.
    virtual void map_read(Context&, Loc) {}
    // Once per PPU dot, after the PPU advanced its position.
    virtual void clock(Context&) {}
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
    NROM() : Mapper(0) {}
    void map_write(Context&, Loc, uint8_t*) override {}
};

class DEFAULT_MAPPER : public Mapper {
public:
    explicit DEFAULT_MAPPER(int number) : Mapper(number) {}
    void map_write(Context&, Loc, uint8_t*) override {}
};

class UxROM : public Mapper {
public:
    UxROM() : Mapper(2) {}
    int prg_bank = 0;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void slot_loaded(Context& ctx) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
};

class CNROM : public Mapper {
public:
    CNROM() : Mapper(3) {}
    int chr_bank = 0;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void slot_loaded(Context& ctx) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
};

class MMC1 : public Mapper {
public:
    MMC1() : Mapper(1) { fields_in_slot = false; }
    uint8_t prg_mode = 3;
    uint8_t chr_mode = 0;
    uint8_t shift_register = 0x10;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void control(CPU* cpu, PPU* ppu, uint8_t v);
};

class MMC3 : public Mapper {
public:
    // The scanline counter looks only at dot 256.
    MMC3() : Mapper(4, true) { clock_dot = 256; }
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
    void state_fields(StateArchive& ar, const ROM& rom) override;
    void scanline_clock(CPU* cpu);
};

class NTDEC2722 : public Mapper {
public:
    // The interrupt timer counts dots and nothing else.
    NTDEC2722() : Mapper(40, true) {
        clock_counts_dots = true;
        fields_in_slot = false;
    }
    uint16_t irq_counter = 12288;
    bool irq_enable = true;
    void map_write(Context& ctx, Loc addr, uint8_t* value) override;
    void clock(Context& ctx) override;
    void state_fields(StateArchive& ar, const ROM& rom) override;
};

}  // namespace NES
