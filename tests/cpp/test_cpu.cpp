// The CPU bus (mirrors, PPU and pad ports, OAM DMA, the board), interrupts, reset and the
// power-on cartridge mapping with its battery RAM.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "machine/cartridge/mapper.hpp"
#include "machine/cartridge/rom.hpp"
#include "machine/pad/controller.hpp"
#include "machine_fixture.hpp"

namespace {

using NES::Context;
using NES::Loc;
using BareMachine = fixture::Machine;

// A board that records what the bus shows it and can replace written bytes.
class RecordingBoard : public NES::Mapper {
public:
    explicit RecordingBoard(int number) : Mapper(number) {
        notify_reads = true;
        sees_ram_writes = true;
    }
    std::vector<std::pair<long, uint8_t>> writes;
    std::vector<long> reads;
    int replacement = -1;
    Context seen{nullptr, nullptr, nullptr};

    void map_write(Context& ctx, Loc addr, uint8_t* value) override {
        writes.emplace_back(addr - ctx.cpu->memory, *value);
        seen = ctx;
        if (replacement >= 0) *value = static_cast<uint8_t>(replacement);
    }
    void map_read(Context& ctx, Loc addr) override { reads.push_back(addr - ctx.cpu->memory); }
};

// An iNES image with 8 KiB of CHR whose every PRG KiB is filled with its KiB number.
std::vector<uint8_t> image(int prg16, int mapper, int flags6 = 0) {
    return fixture::ines_image(mapper, 16 * static_cast<size_t>(prg16), 8, static_cast<uint8_t>(flags6),
                               [](size_t i) { return static_cast<uint8_t>(i / 1024); });
}

std::unique_ptr<NES::ROM> cartridge(int prg16, int mapper, int flags6 = 0) {
    return fixture::quiet_rom(image(prg16, mapper, flags6));
}

class Bus : public ::testing::Test {
protected:
    BareMachine m;
    NES::CPU& cpu = *m.cpu;
    NES::PPU& ppu = *m.ppu;
    uint8_t rd(uint16_t addr) { return cpu.read(m.at(addr), true); }
    void wr(uint16_t addr, uint8_t value) { cpu.write(m.at(addr), value); }
};

TEST_F(Bus, RamAndPpuPortsAreMirrored) {
    wr(0x0801, 0x12);
    EXPECT_EQ(cpu.memory[0x0001], 0x12);
    EXPECT_EQ(rd(0x0001), 0x12);
    EXPECT_EQ(rd(0x1001), 0x12);
    EXPECT_EQ(rd(0x1801), 0x12);
    EXPECT_EQ(cpu.memory[0x0801], 0) << "mirrors are not stored apart";

    wr(0x3456, 0x21);  // $2006
    wr(0x200E, 0x08);  // $2006 again
    EXPECT_EQ(ppu.v, 0x2108);
    EXPECT_EQ(ppu.write_toggle, 0);
    EXPECT_EQ(cpu.memory[0x2006], 0x08);

    // Without a cartridge (or with any board other than a 16 KiB NROM/CNROM) $C000 is its own.
    cpu.memory[0x8123] = 0x11;
    cpu.memory[0xC123] = 0x22;
    EXPECT_EQ(rd(0xC123), 0x22);
}

TEST_F(Bus, PlainRegisterBytesReadBackAndStatusIsNeverWritten) {
    for (int a : {0x2000, 0x2001, 0x2003, 0x2005, 0x4000, 0x4009, 0x4014, 0x4018, 0x5000, 0x6000, 0x7FFF}) {
        cpu.memory[a] = 0x5A;
        EXPECT_EQ(rd(static_cast<uint16_t>(a)), 0x5A) << std::hex << a;
    }
    cpu.memory[0x2002] = 0x60;
    wr(0x2002, 0xFF);
    wr(0x3FFA, 0xFF);
    EXPECT_EQ(cpu.memory[0x2002], 0x60);

    wr(0x8000, 0x77);
    wr(0xFFFF, 0x77);
    EXPECT_EQ(cpu.memory[0x8000], 0);
    EXPECT_EQ(cpu.memory[0xFFFF], 0);
}

TEST_F(Bus, StatusReadClearsVblankToggleAndNmiAndRacesTheStartOfVblank) {
    struct Case {
        int scanline, dot;
        uint8_t result;
        bool suppressed, pending_after;
    };
    const Case cases[] = {
        {100, 50, 0xE0, false, false},  // ordinary read: bit 7 as stored, NMI request dropped
        {241, 1, 0x60, true, false},    // just before the flag: read clear, frame's flag and NMI suppressed
        {241, 2, 0xE0, true, false},    // just after: read set, still suppressed
        {261, 5, 0x60, false, true},    // pre-render line: bit 7 hidden, nothing else changes
        {261, 1, 0xE0, false, false},
    };
    for (const Case& c : cases) {
        cpu.memory[0x2002] = 0xE0;
        ppu.scanline = c.scanline;
        ppu.dot = c.dot;
        ppu.write_toggle = 1;
        ppu.nmi_pending = 1;
        ppu.vblank_suppressed = ppu.nmi_suppressed = 0;
        EXPECT_EQ(rd(0x200A), c.result) << c.scanline << "," << c.dot;
        EXPECT_EQ(cpu.memory[0x2002], 0x60) << c.scanline << "," << c.dot;
        EXPECT_EQ(ppu.write_toggle, 0);
        EXPECT_EQ(ppu.vblank_suppressed, c.suppressed) << c.scanline << "," << c.dot;
        EXPECT_EQ(ppu.nmi_suppressed, c.suppressed) << c.scanline << "," << c.dot;
        EXPECT_EQ(ppu.nmi_pending, c.pending_after) << c.scanline << "," << c.dot;
    }
}

// The scroll register t by field, so the expectations below are written per field rather
// than as the port code's masks.
struct Scroll {
    int coarse_x, coarse_y, nametable, fine_y;
    explicit Scroll(int t)
        : coarse_x(t & 31), coarse_y((t >> 5) & 31), nametable((t >> 10) & 3), fine_y((t >> 12) & 7) {}
    int t() const { return coarse_x | coarse_y << 5 | nametable << 10 | fine_y << 12; }
};

// Every value written through $2000, $2005 (both writes) and $2006 (both writes) changes
// exactly its fields of t, from t full of ones and from random values, so no stale bit survives.
TEST_F(Bus, ScrollAndAddressWritesChangeOnlyTheirFieldsOfT) {
    struct Port {
        int addr, toggle;
        void (*apply)(Scroll&, int);
    };
    const Port ports[] = {
        {0x2000, 0, [](Scroll& s, int d) { s.nametable = d & 3; }},
        {0x2005, 0, [](Scroll& s, int d) { s.coarse_x = d >> 3; }},
        {0x2005, 1, [](Scroll& s, int d) { s.coarse_y = d >> 3, s.fine_y = d & 7; }},
        {0x2006, 0,
         [](Scroll& s, int d) {  // six bits reach t; fine Y's top bit is cleared
             s.fine_y = (d >> 4) & 3, s.nametable = (d >> 2) & 3, s.coarse_y = (s.coarse_y & 7) | (d & 3) << 3;
         }},
        {0x2006, 1, [](Scroll& s, int d) { s.coarse_x = d & 31, s.coarse_y = (s.coarse_y & 0x18) | d >> 5; }},
    };
    std::vector<int> starts{0x7FFF, 0};
    uint32_t state = 12345;
    while (starts.size() < 40)
        starts.push_back(static_cast<int>((state = state * 1103515245u + 12345u) >> 17) & 0x7FFF);
    for (const Port& port : ports) {
        for (int start : starts) {
            for (int d = 0; d < 256; ++d) {
                ppu.t = static_cast<uint16_t>(start);
                ppu.v = 0x1234;
                ppu.fine_x = 0x5;
                ppu.write_toggle = static_cast<uint8_t>(port.toggle);
                wr(static_cast<uint16_t>(port.addr), static_cast<uint8_t>(d));
                Scroll expected(start);
                port.apply(expected, d);
                ASSERT_EQ(ppu.t, expected.t()) << std::hex << port.addr << " t=" << start << " d=" << d;
                const bool second_address_write = port.addr == 0x2006 && port.toggle == 1;
                EXPECT_EQ(ppu.v, second_address_write ? expected.t() : 0x1234);
                EXPECT_EQ(ppu.fine_x, port.addr == 0x2005 && port.toggle == 0 ? (d & 7) : 5);
                EXPECT_EQ(ppu.write_toggle, port.addr == 0x2000 ? port.toggle : 1 - port.toggle);
            }
        }
    }
}

TEST_F(Bus, DataPortReadsAreBufferedExceptPaletteAndIncrementByOneOr32) {
    wr(0x2006, 0x21);
    wr(0x2006, 0x00);
    wr(0x2007, 0xAB);
    wr(0x2007, 0xCD);
    EXPECT_EQ(ppu.v, 0x2102);
    EXPECT_EQ(ppu.read(0x2100), 0xAB);
    EXPECT_EQ(ppu.read(0x2101), 0xCD);

    cpu.memory[0x2000] = 0x04;  // increment 32
    wr(0x2006, 0x21);
    wr(0x2006, 0x00);
    ppu.read_buffer = 0x99;
    EXPECT_EQ(rd(0x2007), 0x99) << "the first read returns the old buffer";
    EXPECT_EQ(ppu.v, 0x2120);
    EXPECT_EQ(ppu.read_buffer, 0xAB);
    cpu.memory[0x2000] = 0;

    ppu.write(0x3F01, 0x2C);
    wr(0x2006, 0x3F);
    wr(0x2006, 0x01);
    ppu.read_buffer = 0x11;
    EXPECT_EQ(rd(0x2007), 0x2C) << "palette reads are immediate";
    EXPECT_EQ(ppu.read_buffer, 0x11);
    EXPECT_EQ(ppu.v, 0x3F02);
}

TEST_F(Bus, OamPortMasksAttributeBytesAndDmaCopiesFromOamAddr) {
    wr(0x2003, 0x02);
    wr(0x2004, 0xFF);  // attribute byte: bits 2-4 do not exist
    wr(0x2004, 0xFF);
    EXPECT_EQ(ppu.oam[2], 0xE3);
    EXPECT_EQ(cpu.memory[0x2004], 0xFF);
    EXPECT_EQ(ppu.oam[3], 0xFF);
    EXPECT_EQ(ppu.oam_addr, 4);
    wr(0x2003, 0x02);
    EXPECT_EQ(rd(0x2004), 0xE3);
    EXPECT_EQ(ppu.oam_addr, 2) << "reading OAM does not advance the address";

    for (int i = 0; i < 256; ++i) cpu.memory[0x0300 + i] = static_cast<uint8_t>(i ^ 0xFF);
    wr(0x2003, 0x11);
    m.program(0x8000, {0x8D, 0x14, 0x40});  // STA $4014
    cpu.A = 0x0B;                           // page $0B mirrors $0300
    EXPECT_EQ(m.step(), 4) << "DMA charges no CPU cycles";
    for (int i = 0; i < 256; ++i) {
        const int index = (0x11 + i) & 0xFF;
        const uint8_t want = static_cast<uint8_t>(i ^ 0xFF) & ((index & 3) == 2 ? 0xE3 : 0xFF);
        ASSERT_EQ(ppu.oam[index], want) << "oam[" << index << "]";
    }
    EXPECT_EQ(ppu.oam_addr, 0x11);
    EXPECT_EQ(cpu.memory[0x4014], 0x0B);
}

TEST_F(Bus, PadPortsShiftOutBitSevenFirstAndFillWithOnes) {
    NES::Controller pad;
    const bool buttons[8] = {true, false, true, true, false, false, false, true};  // $B1
    pad.update_inputs(buttons);
    cpu.set_controller(&pad, 0);
    cpu.set_controller(nullptr, 1);

    wr(0x4016, 1);
    EXPECT_EQ(rd(0x4016), 0x41);
    EXPECT_EQ(rd(0x4016), 0x41) << "while strobe is high the register does not shift";
    wr(0x4016, 0);
    std::vector<int> bits;
    for (int i = 0; i < 10; ++i) bits.push_back(rd(0x4016));
    EXPECT_EQ(bits, (std::vector<int>{0x41, 0x40, 0x41, 0x41, 0x40, 0x40, 0x40, 0x41, 0x41, 0x41}));

    std::vector<int> empty;
    for (int i = 0; i < 9; ++i) empty.push_back(rd(0x4017));
    EXPECT_EQ(empty, (std::vector<int>{0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x40, 0x41})) << "no pad latches 0";
    EXPECT_EQ(cpu.strobe, 0);
    cpu.set_controller(&pad, 7);
    EXPECT_EQ(cpu.controllers[1], nullptr) << "only ports 0 and 1 exist";
}

TEST_F(Bus, TheBoardSeesFoldedWritesAndNotifyingReads) {
    auto rom = cartridge(1, 0);
    auto owned = std::make_unique<RecordingBoard>(0);
    RecordingBoard& board = *owned;
    rom->mapper = std::move(owned);
    cpu.loadRom(rom.get(), false);
    ASSERT_EQ(cpu.memory[0x8400], 1);

    EXPECT_EQ(rd(0xC400), 1) << "16 KiB NROM: $C000 reads $8000";
    wr(0xC405, 0x42);
    wr(0x1801, 0x43);
    wr(0x2002, 0x44);
    ASSERT_EQ(board.writes.size(), 3u);
    EXPECT_EQ(board.writes[0], (std::pair<long, uint8_t>{0x8405, 0x42}));
    EXPECT_EQ(board.writes[1], (std::pair<long, uint8_t>{0x0001, 0x43}));
    EXPECT_EQ(board.writes[2], (std::pair<long, uint8_t>{0x2002, 0x44}));
    EXPECT_EQ(cpu.memory[0x8405], 1) << "ROM is never written";
    EXPECT_EQ(board.seen.cpu, &cpu);
    EXPECT_EQ(board.seen.ppu, &ppu);
    EXPECT_EQ(board.seen.apu, m.apu.get());

    board.replacement = 0x99;  // a board may change the stored byte
    wr(0x6000, 0x01);
    EXPECT_EQ(cpu.memory[0x6000], 0x99);
    board.replacement = -1;

    board.reads.clear();
    rd(0x0801);
    cpu.read(m.at(0x0002), false);
    EXPECT_EQ(board.reads, (std::vector<long>{0x0001}));

    // ASL A touches no bus address: the board sees only the opcode fetch.
    board.reads.clear();
    board.writes.clear();
    m.program(0x0200, {0x0A});
    cpu.A = 1;
    m.step();
    EXPECT_EQ(cpu.A, 2);
    EXPECT_TRUE(board.writes.empty());
    EXPECT_EQ(board.reads, (std::vector<long>{0x0200}));

    // Stores to internal RAM reach only a board that looks at them; RAM keeps them either way.
    // Stepped or run, and zero-page reads too.
    using Writes = std::vector<std::pair<long, uint8_t>>;
    for (const bool ran : {false, true}) {
        for (const bool sees_ram : {true, false}) {
            SCOPED_TRACE(testing::Message() << "run: " << ran << ", board sees RAM writes: " << sees_ram);
            board.sees_ram_writes = sees_ram;
            board.writes.clear();
            cpu.memory[0x0001] = 0;
            cpu.A = 2;
            m.program(0x0200, {0x8D, 0x01, 0x08, 0x8D, 0x00, 0x60, 0xA5, 0x05});  // STA $0801; STA $6000; LDA $05
            board.reads.clear();
            if (ran) {
                cpu.run(cpu.cycle_count + 11);
            } else {
                for (int i = 0; i < 3; ++i) m.step();
            }
            EXPECT_EQ(board.writes, sees_ram ? (Writes{{0x0001, 2}, {0x6000, 2}}) : (Writes{{0x6000, 2}}));
            EXPECT_EQ(cpu.memory[0x0001], 2);
            EXPECT_EQ(board.reads,
                      (std::vector<long>{0x0200, 0x0201, 0x0202, 0x0203, 0x0204, 0x0205, 0x0206, 0x0207, 0x0005}));
        }
    }
}

// Instructions read RAM and cartridge space straight from the image unless a board watches
// reads: what they get must be what the bus gives, mirrors and the 16 KiB fold included, and a
// watching board must still see every read.
TEST_F(Bus, InstructionsReadWhatTheBusReads) {
    for (const bool watched : {false, true}) {
        for (const int prg16 : {1, 2}) {
            SCOPED_TRACE(testing::Message() << prg16 * 16 << " KiB, board watching reads: " << watched);
            auto rom = cartridge(prg16, 0);
            RecordingBoard* board = nullptr;
            if (watched) {
                auto owned = std::make_unique<RecordingBoard>(0);
                board = owned.get();
                rom->mapper = std::move(owned);
            }
            cpu.loadRom(rom.get(), false);
            for (uint32_t a = 0x0000; a < 0x8000; ++a) cpu.memory[a] = static_cast<uint8_t>(a * 7 + (a >> 8));
            for (uint32_t region = 0; region < 32; ++region) {
                for (const uint32_t a : {region << 11, region << 11 | 0x7FF}) {
                    if (a >= 0x2000 && a < 0x4000 && (a & 7) == 7) continue;  // PPUDATA reads change the buffer
                    const uint8_t expected = cpu.read(m.at(static_cast<uint16_t>(a)), false);
                    m.program(0x0200, {0xAD, static_cast<uint8_t>(a), static_cast<uint8_t>(a >> 8)});  // LDA a
                    if (board != nullptr) board->reads.clear();
                    m.step();
                    EXPECT_EQ(cpu.A, expected) << "LDA $" << std::hex << a;
                    if (board != nullptr) { EXPECT_EQ(board->reads.size(), 4u) << "LDA $" << std::hex << a; }
                }
            }
        }
    }
}

// An instruction at the end of RAM's first copy or of $8000-$BFFF with a single 16 KiB bank
// takes its operand from where the bus folds the next address, $0000 or $8000, whether the
// operand is an address or the value itself.
TEST_F(Bus, AnOperandPastTheEndOfAFoldFoldsAsTheBusDoes) {
    auto rom = cartridge(1, 0);
    cpu.loadRom(rom.get(), false);
    m.poke(0x0011, {0x77});
    m.poke(0x0042, {0x99});
    cpu.memory[0x0000] = 0x11;
    cpu.memory[0x8000] = 0x42;
    cpu.memory[0x0800] = cpu.memory[0xC000] = 0x55;  // what an unfolded read would find
    const struct {
        uint16_t at;
        uint8_t opcode, a;
    } cases[] = {{0x07FF, 0xA5, 0x77}, {0x07FF, 0xA9, 0x11}, {0xBFFF, 0xA5, 0x99}, {0xBFFF, 0xA9, 0x42}};
    for (const auto& c : cases) {
        m.program(c.at, {c.opcode});  // LDA zp or LDA #
        m.step();
        EXPECT_EQ(cpu.A, c.a) << "opcode $" << std::hex << unsigned{c.opcode} << " at $" << c.at;
    }
}

TEST_F(Bus, SixteenKibFoldOnlyForNromAndCnrom) {
    const struct {
        int prg16, mapper;
        bool folds;
    } cases[] = {{1, 0, true}, {1, 3, true}, {2, 0, false}, {2, 3, false}, {1, 2, false}, {1, 1, false}};
    for (const auto& c : cases) {
        auto rom = cartridge(c.prg16, c.mapper);
        cpu.loadRom(rom.get(), false);
        cpu.memory[0xC123] = 0xEE;
        EXPECT_EQ(rd(0xC123), c.folds ? cpu.memory[0x8123] : 0xEE)
            << "mapper " << c.mapper << ", " << c.prg16 * 16 << " KiB";
    }
}

// NOPs at $8000 and at the NMI ($9000) and IRQ ($A000) handlers; PC at $8000.
void nop_machine(BareMachine& m) {
    NES::CPU& cpu = *m.cpu;
    for (int a = 0x8000; a < 0x8100; ++a) cpu.memory[a] = 0xEA;
    for (int a = 0x9000; a < 0x9100; ++a) cpu.memory[a] = 0xEA;
    for (int a = 0xA000; a < 0xA100; ++a) cpu.memory[a] = 0xEA;
    m.poke(0xFFFA, {0x00, 0x90, 0x00, 0x80, 0x00, 0xA0});  // NMI $9000, reset $8000, IRQ $A000
    cpu.PC = m.at(0x8000);
    cpu.SP = 0xFF;
    cpu.P = 0x24;
}

class Interrupts : public ::testing::Test {
protected:
    BareMachine m;
    NES::CPU& cpu = *m.cpu;
    void SetUp() override { nop_machine(m); }
    uint16_t pushed_pc() const { return static_cast<uint16_t>(cpu.memory[0x1FE] | cpu.memory[0x1FF] << 8); }
};

// `run` keeps the interrupt inputs in its working copy between bus accesses, and samples the NMI
// input ahead of an instruction where the instruction would sample the same: it must take each
// interrupt where stepping instruction by instruction takes it.
TEST(InterruptsInARun, AreTakenWhereTheClockTakesThem) {
    const struct {
        const char* what;
        std::vector<uint8_t> program;  // at $8000, before the NOPs
        uint8_t irq_line, ppuctrl, nmi_pending;
        std::vector<uint8_t> at_1ff0;  // code the bus fetches (RAM's last mirror), run first
    } cases[] = {
        // Starting at $1FF0: NOP or CLI; NOP; NOP; JMP $8000.
        {"NMI flag up and enabled, in code the bus fetches", {}, 0, 0x80, 1, {0xEA, 0xEA, 0xEA, 0x4C, 0x00, 0x80}},
        {"IRQ held, then CLI in code the bus fetches", {}, 1, 0x00, 0, {0x58, 0xEA, 0xEA, 0x4C, 0x00, 0x80}},
        // JMP ($2002): the status read that finds the pointer clears the flag before it is sampled.
        {"NMI flag up and enabled, then JMP through the status port", {0x6C, 0x02, 0x20}, 0, 0x80, 1, {}},
        {"IRQ held while masked, then CLI", {0xEA, 0xEA, 0x58}, 1, 0x00, 0, {}},
        {"IRQ held while masked, then PLP", {0xA9, 0x20, 0x48, 0x28}, 1, 0x00, 0, {}},  // LDA #$20; PHA; PLP
        {"NMI flag up and enabled", {}, 0, 0x80, 1, {}},
        {"NMI flag up, enabled by a store", {0xEA, 0xA9, 0x80, 0x8D, 0x00, 0x20}, 0, 0x00, 1, {}},
        {"NMI flag up and enabled, then a status read", {0xAD, 0x02, 0x20}, 0, 0x80, 1, {}},
        // LDA $2002; NOP; LDA #$80; STA $2000: the read clears the flag before it is enabled.
        {"NMI flag read away, then enabled", {0xAD, 0x02, 0x20, 0xEA, 0xA9, 0x80, 0x8D, 0x00, 0x20}, 0, 0x00, 1, {}},
    };
    for (const auto& c : cases) {
        BareMachine ran, stepped;
        for (BareMachine* m : {&ran, &stepped}) {
            nop_machine(*m);
            for (size_t i = 0; i < c.program.size(); ++i) m->cpu->memory[0x8000 + i] = c.program[i];
            std::copy(c.at_1ff0.begin(), c.at_1ff0.end(), m->cpu->memory + 0x07F0);
            if (!c.at_1ff0.empty()) m->cpu->PC = m->at(0x1FF0);
            m->cpu->irq_line = c.irq_line;
            m->cpu->memory[0x2000] = c.ppuctrl;
            m->ppu->nmi_pending = c.nmi_pending;
        }
        ran.cpu->run(40);
        while (stepped.cpu->cycle_count < ran.cpu->cycle_count) stepped.step();
        const auto seen = [](const NES::CPU& k) {
            return std::vector<int64_t>{k.get_addr(k.PC),    k.A,        k.P,          k.SP,           k.cycle_count,
                                        k.instruction_count, k.irq_line, k.nmi_sample, k.nmi_condition};
        };
        EXPECT_EQ(seen(*ran.cpu), seen(*stepped.cpu)) << c.what;
        EXPECT_TRUE(std::equal(ran.cpu->memory + 0x100, ran.cpu->memory + 0x200, stepped.cpu->memory + 0x100))
            << c.what;
    }
}

// `run` stops where a loop may be waiting: after an instruction that can close a loop by
// itself, found a second time with nothing changed.
TEST(LoopsInARun, StopWhereTheyMayWait) {
    const struct {
        const char* what;
        std::vector<uint8_t> program;  // at $8000
    } loops[] = {
        {"BNE to itself", {0xD0, 0xFE}},
        {"JMP to itself", {0x4C, 0x00, 0x80}},
        {"JMP ($0010) to itself", {0x6C, 0x10, 0x00}},
        {"RTS to itself", {0x60}},  // the stack is full of $7FFF
    };
    for (const auto& loop : loops) {
        BareMachine m;
        nop_machine(m);
        NES::CPU& cpu = *m.cpu;
        std::copy(loop.program.begin(), loop.program.end(), cpu.memory + 0x8000);
        m.poke(0x0010, {0x00, 0x80});
        for (int i = 0; i < 0x100; ++i) cpu.memory[0x100 + i] = i % 2 == 0 ? 0xFF : 0x7F;
        const Loc last = cpu.run(100000);
        EXPECT_EQ(cpu.get_addr(last), 0x8000) << loop.what;
        EXPECT_LT(cpu.cycle_count, 100) << loop.what;
    }
}

// Code that runs from $FFFF on to $0000 moves PC back without closing a loop: `run` goes on
// through it as stepping does.
TEST(LoopsInARun, CodeRunsOnPastTheTopOfMemory) {
    BareMachine ran, stepped;
    for (BareMachine* m : {&ran, &stepped}) {
        nop_machine(*m);
        for (int a = 0xFFF0; a <= 0xFFFF; ++a) m->cpu->memory[a] = 0xEA;
        m->poke(0x0000, {0xE8, 0x4C, 0xF0, 0xFF});  // INX; JMP $FFF0
        m->cpu->PC = m->at(0xFFF0);
    }
    ran.cpu->run(400);
    while (stepped.cpu->cycle_count < ran.cpu->cycle_count) stepped.step();
    const auto seen = [](const NES::CPU& k) {
        return std::vector<int64_t>{k.get_addr(k.PC), k.X, k.cycle_count, k.instruction_count};
    };
    EXPECT_EQ(seen(*ran.cpu), seen(*stepped.cpu));
    EXPECT_GE(ran.cpu->X, 10);
}

TEST_F(Interrupts, NmiIsTakenAfterTheSecondInstructionFollowingTheRequest) {
    cpu.memory[0x2000] = 0x80;
    m.step();  // instruction k; the PPU raises its flag while catching up
    m.ppu->nmi_pending = 1;
    m.step();  // k + 1 samples the flag
    EXPECT_EQ(m.pc(), 0x8002);
    EXPECT_EQ(m.step(), 2);  // k + 2, then the entry, which charges nothing
    EXPECT_EQ(m.pc(), 0x9000);
    EXPECT_EQ(pushed_pc(), 0x8003);
    EXPECT_EQ(cpu.memory[0x1FD], 0x24);
    EXPECT_EQ(cpu.SP, 0xFC);
    EXPECT_TRUE(cpu.get_flag('I'));

    // The condition must fall before another NMI.
    for (int i = 0; i < 5; ++i) m.step();
    EXPECT_EQ(m.pc(), 0x9005);
    m.ppu->nmi_pending = 0;  // a status read
    m.step();
    m.step();
    m.ppu->nmi_pending = 1;
    m.step();
    m.step();
    EXPECT_EQ(m.pc(), 0x9000);
    EXPECT_EQ(cpu.SP, 0xF9);
}

TEST_F(Interrupts, EnablingNmiWhileTheFlagIsUpRaisesOne) {
    m.ppu->nmi_pending = 1;
    for (int i = 0; i < 4; ++i) m.step();
    EXPECT_EQ(m.pc(), 0x8004) << "no NMI while PPUCTRL bit 7 is clear";
    m.program(0x8004, {0xA9, 0x80, 0x8D, 0x00, 0x20});  // LDA #$80; STA $2000
    m.step();
    m.step();
    EXPECT_EQ(m.pc(), 0x8009);
    m.step();
    EXPECT_EQ(m.pc(), 0x9000);
    EXPECT_EQ(pushed_pc(), 0x800A);
}

TEST_F(Interrupts, IrqWaitsWhileMaskedAndIsTakenRightAfterCli) {
    cpu.irq_line = 1;
    m.program(0x8000, {0xEA, 0x58, 0xEA});  // NOP; CLI; NOP
    m.step();
    EXPECT_EQ(m.pc(), 0x8001);
    EXPECT_EQ(cpu.irq_line, 1) << "the line stays raised while masked";
    m.step();
    EXPECT_EQ(m.pc(), 0xA000);
    EXPECT_EQ(pushed_pc(), 0x8002);
    EXPECT_EQ(cpu.memory[0x1FD], 0x20);
    EXPECT_EQ(cpu.irq_line, 0);
    EXPECT_TRUE(cpu.get_flag('I'));
    EXPECT_EQ(cpu.cycle_count.load(), 4);
}

TEST_F(Interrupts, IrqIsTakenRightAfterPlpOrRtiClearsTheMask) {
    cpu.memory[0x1FF] = 0x20;  // a status with I clear
    cpu.SP = 0xFE;
    cpu.irq_line = 1;
    m.program(0x8000, {0x28});  // PLP
    m.step();
    EXPECT_EQ(m.pc(), 0xA000);
    EXPECT_EQ(pushed_pc(), 0x8001);

    // RTI back to $8123 with I clear: the IRQ enters before the instruction there.
    cpu.SP = 0xFC;
    m.poke(0x01FD, {0x20, 0x23, 0x81});
    cpu.irq_line = 1;
    m.program(0x8000, {0x40});
    cpu.P = 0x24;
    m.step();
    EXPECT_EQ(m.pc(), 0xA000);
    EXPECT_EQ(pushed_pc(), 0x8123);
    EXPECT_EQ(cpu.SP, 0xFC);
}

TEST_F(Interrupts, NmiWinsOverIrqAndTheIrqWaits) {
    cpu.memory[0x2000] = 0x80;
    cpu.P = 0x20;
    cpu.nmi_sample = 1;  // the NMI condition rises in the next instruction
    cpu.irq_line = 1;
    m.step();
    EXPECT_EQ(m.pc(), 0x9000);
    EXPECT_EQ(cpu.irq_line, 1);
    m.step();
    EXPECT_EQ(m.pc(), 0x9001) << "the NMI entry set I";
}

TEST(CpuReset, PrintsFiveLinesAndStartsAtTheFoldedVector) {
    BareMachine m;
    std::vector<uint8_t> bytes = image(1, 0);
    bytes[16 + 0x3FFC] = 0x34;
    bytes[16 + 0x3FFD] = 0x92;
    NES::ROM rom(static_cast<long>(bytes.size()), bytes.data());
    m.cpu->loadRom(&rom, true);
    m.cpu->cycle_count = 99;
    m.ppu->dot_count = 99;
    m.apu->apu_cycles = 99;
    m.cpu->SP = 0xFD;
    m.cpu->A = 7;

    testing::internal::CaptureStdout();
    m.cpu->reset();
    const std::string out = testing::internal::GetCapturedStdout();

    char pointers[128];
    std::snprintf(pointers, sizeof pointers, "reset loc: %p, memory loc: %p\n",
                  static_cast<void*>(m.cpu->memory + 0xFFFC), static_cast<void*>(m.cpu->memory));
    EXPECT_EQ(out, std::string("Before: fffc\n") + pointers + "After: bffc\n34 92\n9234\n");
    EXPECT_EQ(m.pc(), 0x9234);
    EXPECT_EQ(m.cpu->cycle_count.load(), 0);
    EXPECT_EQ(m.ppu->dot_count.load(), 0u);
    EXPECT_EQ(m.apu->apu_cycles.load(), 0u);
    EXPECT_EQ(m.cpu->SP, 0xFD);
    EXPECT_EQ(m.cpu->P, 0x24);
    EXPECT_EQ(m.cpu->A, 7);
}

TEST(CpuClock, EmulatedClockSpeedAndTraceLine) {
    BareMachine m;
    EXPECT_EQ(m.cpu->emulated_clock_speed(1000000000), 0);
    m.cpu->cycle_count = 1789773;
    EXPECT_EQ(m.cpu->emulated_clock_speed(1000000000), 1789773);
    EXPECT_EQ(m.cpu->emulated_clock_speed(500000000), 3579546);
    EXPECT_EQ(m.cpu->emulated_clock_speed(0), 0);
    EXPECT_EQ(m.cpu->emulated_clock_speed(1), INT32_MAX) << "saturates instead of overflowing";

    m.cpu->cycle_count = 10;
    m.cpu->debug = true;
    m.poke(0x0010, {0x42});
    m.program(0xC000, {0xA5, 0x10, 0x48});  // LDA $10; PHA
    m.cpu->SP = 0xFD;
    m.poke(0x01FE, {0xAA, 0xBB});
    testing::internal::CaptureStdout();
    m.step();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Cycles: 13, 0xa5: LDA, zpg $0010->0010=42, PC=$c000 - A=00 - X=00 - Y=00 - P=24 SP: fd [bb,aa]\n");

    char buf[256] = {};
    m.cpu->ins_str(buf, 0x48);
    EXPECT_STREQ(buf, "0x48: PHA, impl, PC=$c002 - A=66 - X=0 - Y=0");
    m.cpu->ins_str(buf, 0x04);
    EXPECT_STREQ(buf, "0x04: ---");
}

// ---------------------------------------------------------------------------------------------
// Power-on mapping

void expect_kib(const NES::CPU& cpu, uint16_t dest, int kib_count, int first_kib, int prg_kib, const char* what) {
    for (int k = 0; k < kib_count; ++k) {
        const uint8_t want = static_cast<uint8_t>((first_kib + k) % prg_kib);
        const int at = dest + k * 1024;
        EXPECT_EQ(cpu.memory[at], want) << what << " at " << std::hex << at;
        EXPECT_EQ(cpu.memory[at + 1023], want) << what << " at " << std::hex << at + 1023;
    }
}

void expect_zero(const NES::CPU& cpu, uint16_t dest, int kib_count, const char* what) {
    for (int at = dest; at < dest + kib_count * 1024; ++at)
        ASSERT_EQ(cpu.memory[at], 0) << what << " at " << std::hex << at;
}

TEST(CpuLoadRom, CopiesThePowerOnBanksOfEachBoard) {
    BareMachine m;
    NES::CPU& cpu = *m.cpu;

    cpu.memory[0x0000] = 0x55;
    auto nrom16 = cartridge(1, 0);
    cpu.loadRom(nrom16.get(), true);
    EXPECT_EQ(cpu.memory[0x0000], 0) << "loading clears the address space";
    expect_kib(cpu, 0x8000, 16, 0, 16, "NROM 16K");
    expect_zero(cpu, 0xC000, 16, "NROM 16K upper half stays zero");

    auto nrom64 = cartridge(4, 0);  // more than fits: only the first 32 KiB
    cpu.loadRom(nrom64.get(), true);
    expect_kib(cpu, 0x8000, 32, 0, 64, "NROM 64K");

    auto mmc1 = cartridge(8, 1);
    cpu.loadRom(mmc1.get(), true);
    expect_kib(cpu, 0x8000, 16, 0, 128, "MMC1 first bank");
    expect_kib(cpu, 0xC000, 16, 112, 128, "MMC1 last bank");

    auto uxrom = cartridge(4, 2);
    cpu.prg_bank = 16;
    cpu.loadRom(uxrom.get(), true);
    cpu.prg_bank = 0;
    expect_kib(cpu, 0x8000, 16, 16, 64, "UxROM selected bank");
    expect_kib(cpu, 0xC000, 16, 48, 64, "UxROM last bank");

    auto mmc3 = cartridge(4, 4);
    cpu.loadRom(mmc3.get(), true);
    expect_zero(cpu, 0x8000, 16, "MMC3 $8000 stays zero");
    expect_kib(cpu, 0xC000, 16, 48, 64, "MMC3 last bank");

    auto ntdec = cartridge(4, 40);
    cpu.loadRom(ntdec.get(), true);
    expect_kib(cpu, 0x6000, 8, 48, 64, "NTDEC bank 6");
    expect_kib(cpu, 0x8000, 8, 32, 64, "NTDEC bank 4");
    expect_kib(cpu, 0xA000, 8, 40, 64, "NTDEC bank 5");
    expect_zero(cpu, 0xC000, 8, "NTDEC $C000 stays zero");
    expect_kib(cpu, 0xE000, 8, 56, 64, "NTDEC bank 7");

    for (const int board : {7, 11, 34, 66}) {
        auto discrete = cartridge(8, board);
        cpu.loadRom(discrete.get(), true);
        expect_kib(cpu, 0x8000, 32, 0, 128, "32 KiB boards: the first bank");
    }

    auto mmc2 = cartridge(8, 9);
    cpu.loadRom(mmc2.get(), true);
    expect_zero(cpu, 0x8000, 8, "MMC2 $8000 stays zero");
    expect_kib(cpu, 0xA000, 24, 104, 128, "MMC2 last three 8 KiB banks");

    for (const int board : {10, 71}) {
        auto last_fixed = cartridge(8, board);
        cpu.loadRom(last_fixed.get(), true);
        expect_kib(cpu, 0x8000, 16, 0, 128, "MMC4 and Camerica first bank");
        expect_kib(cpu, 0xC000, 16, 112, 128, "MMC4 and Camerica last bank");
    }

    auto unknown = cartridge(2, 5);
    cpu.loadRom(unknown.get(), true);
    expect_zero(cpu, 0x8000, 32, "unsupported board maps nothing");
}

class BatteryRam : public ::testing::Test {
protected:
    std::filesystem::path dir;
    std::vector<std::unique_ptr<NES::ROM>> roms;
    void SetUp() override {
        dir =
            std::filesystem::temp_directory_path() / ("zumbrel_cpu_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Loads a 16 KiB NROM cartridge and returns what loadRom printed.
    std::string load(BareMachine& m, bool battery, bool read_battery_ram, const std::string& path) {
        roms.push_back(cartridge(1, 0, battery ? 0x02 : 0x00));
        m.cpu->battery_path = path;
        testing::internal::CaptureStdout();
        m.cpu->loadRom(roms.back().get(), read_battery_ram);
        return testing::internal::GetCapturedStdout();
    }
    void write_file(const std::filesystem::path& path, size_t size) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (size_t i = 0; i < size; ++i) std::fputc(static_cast<int>((i * 13 + 1) & 0xFF), f);
        std::fclose(f);
    }
};

TEST_F(BatteryRam, MissingFileIsAnnouncedAndLeavesPrgRamZero) {
    BareMachine m;
    const std::string path = (dir / "ram").string();
    EXPECT_EQ(load(m, true, true, path), "load RAM file: " + path + "\nRAM file exists: 0\n");
    for (int a = 0x6000; a < 0x8000; ++a) ASSERT_EQ(m.cpu->memory[a], 0);
}

TEST_F(BatteryRam, FileFillsPrgRamUpTo8KiB) {
    const std::string path = (dir / "ram").string();
    for (size_t size : {size_t{8192}, size_t{100}, size_t{9000}}) {
        BareMachine m;
        write_file(path, size);
        EXPECT_EQ(load(m, true, true, path), "load RAM file: " + path + "\nRAM file exists: 1\n");
        for (size_t i = 0; i < 8192; ++i) {
            const uint8_t want = i < size ? static_cast<uint8_t>((i * 13 + 1) & 0xFF) : 0;
            ASSERT_EQ(m.cpu->memory[0x6000 + i], want) << "file of " << size << " bytes, offset " << i;
        }
        EXPECT_EQ(m.cpu->memory[0x8000], 0) << "nothing beyond PRG RAM";
    }
}

TEST_F(BatteryRam, DirectoryAtThePathExistsButIsNotRead) {
    BareMachine m;
    const std::string path = (dir / "ram").string();
    std::filesystem::create_directory(path);
    EXPECT_EQ(load(m, true, true, path), "load RAM file: " + path + "\nRAM file exists: 1\n");
    EXPECT_EQ(m.cpu->memory[0x6000], 0);
}

TEST_F(BatteryRam, NothingHappensWithoutBatteryFlagOrDirectory) {
    const std::string path = (dir / "ram").string();
    write_file(path, 8192);
    BareMachine a, b, c;
    EXPECT_EQ(load(a, false, true, path), "") << "no battery";
    EXPECT_EQ(load(b, true, false, path), "") << "reading not asked for";
    EXPECT_EQ(load(c, true, true, ""), "") << "no cartridge directory";
    EXPECT_EQ(a.cpu->memory[0x6000], 0);
    EXPECT_EQ(b.cpu->memory[0x6000], 0);
    EXPECT_EQ(c.cpu->memory[0x6000], 0);
}

}  // namespace
