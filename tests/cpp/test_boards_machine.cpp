// The boards inside a whole console: the PPU's per-dot clock drives the MMC3 counter and
// the NTDEC 2722 timer, the CPU's power-on banks, and the board block in save states.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/console.hpp"
#include "scratch_home.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int DOTS_PER_FRAME = 341 * 262;

class BoardMachine : public ScratchHome {
protected:
    std::unique_ptr<NESUnit> console(const char* program) {
        return quiet_console(test_rom(program).c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    }

    // Runs a board program until its status byte leaves "running" (set in its first frame).
    static void run_to_verdict(NESUnit& unit) {
        unit.runFrame();
        for (int frame = 1; frame < 60 && unit.cpu->memory[0x300] == 0x80; ++frame) unit.runFrame();
        ASSERT_GT(unit.cpu->memory[0x301], 0) << "no check made";
        ASSERT_EQ(unit.cpu->memory[0x300], 0) << "check " << int(unit.cpu->memory[0x300]) << " failed";
    }
};

}  // namespace

TEST_F(BoardMachine, Mmc3CounterSteps242TimesPerRenderedFrame) {
    auto unit = console("board_mmc3.nes");
    auto& board = dynamic_cast<NES::MMC3&>(*unit->rom->mapper);
    // The PPU alone, a frame at a time from wherever it stands: no CPU writes interfere.
    board.irq_latch = 255;
    unit->cpu->memory[0x2001] = 0x08;
    board.irq_counter = 100000;
    for (int dot = 0; dot < DOTS_PER_FRAME; ++dot) unit->ppu->cycle();
    EXPECT_EQ(100000 - board.irq_counter, 242);

    unit->cpu->memory[0x2001] = 0x10;
    board.irq_counter = 100000;
    for (int dot = 0; dot < DOTS_PER_FRAME; ++dot) unit->ppu->cycle();
    EXPECT_EQ(100000 - board.irq_counter, 242);

    unit->cpu->memory[0x2001] = 0x00;
    for (int dot = 0; dot < DOTS_PER_FRAME; ++dot) unit->ppu->cycle();
    EXPECT_EQ(100000 - board.irq_counter, 242) << "no steps with rendering off";
}

TEST_F(BoardMachine, Ntdec2722FirstInterruptOnThe12288thDot) {
    auto unit = console("board_ntdec2722.nes");
    for (int dot = 1; dot < 12288; ++dot) unit->ppu->cycle();
    EXPECT_EQ(unit->cpu->irq_line, 0);
    unit->ppu->cycle();
    EXPECT_EQ(unit->cpu->irq_line, 1);
}

TEST_F(BoardMachine, PowerOnBanksOfEachBoard) {
    auto ntdec = console("board_ntdec2722.nes");
    const uint8_t* mem = ntdec->cpu->memory;
    EXPECT_EQ(mem[0x6000], 0xB6);
    EXPECT_EQ(mem[0x8000], 0xB4);
    EXPECT_EQ(mem[0xA000], 0xB5);
    EXPECT_EQ(mem[0xC000], 0x00);
    EXPECT_EQ(mem[0xE000], 0xB7);

    auto mmc3 = console("board_mmc3.nes");
    EXPECT_EQ(mmc3->cpu->memory[0x8000], 0x00);
    EXPECT_EQ(mmc3->cpu->memory[0xC000], 0x7E);
    EXPECT_EQ(mmc3->cpu->memory[0xE000], 0x7F);
    EXPECT_EQ(mmc3->ppu->video_memory[0x0400], 0x41) << "CHR bank 0 in pattern memory";
}

TEST_F(BoardMachine, UxromBankComesBackWithAState) {
    auto unit = console("board_uxrom.nes");
    run_to_verdict(*unit);
    ASSERT_EQ(unit->cpu->memory[0x8000], 0xA1);
    unit->save(1);
    unit->cpu->write(unit->cpu->at(0x8000), 5);
    ASSERT_EQ(unit->cpu->memory[0x8000], 0xA5);
    ASSERT_EQ(unit->cpu->prg_bank, 80);
    ASSERT_TRUE(unit->load(1));
    EXPECT_EQ(unit->cpu->memory[0x8000], 0xA1);
    EXPECT_EQ(unit->cpu->prg_bank, 16);
    EXPECT_EQ(dynamic_cast<NES::UxROM&>(*unit->rom->mapper).prg_bank, 16);
    EXPECT_EQ(unit->cpu->memory[0x300], 0) << "RAM comes back from the state";
}

TEST_F(BoardMachine, CnromBankComesBackWithAState) {
    auto unit = console("board_cnrom.nes");
    run_to_verdict(*unit);
    unit->cpu->write(unit->cpu->at(0x8000), 2);
    unit->save(1);
    unit->cpu->write(unit->cpu->at(0x8000), 3);
    ASSERT_EQ(unit->ppu->video_memory[0], 0xC3);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(unit->load(1));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(unit->ppu->video_memory[0], 0xC2);
    EXPECT_EQ(unit->ppu->chr_bank, 16);
}

TEST_F(BoardMachine, Mmc3RegistersComeBackWithAState) {
    auto unit = console("board_mmc3.nes");
    run_to_verdict(*unit);
    auto& board = dynamic_cast<NES::MMC3&>(*unit->rom->mapper);
    const uint8_t latch = board.irq_latch;
    const uint8_t select = board.bank_select;
    unit->save(2);
    unit->cpu->write(unit->cpu->at(0xC000), 17);
    unit->cpu->write(unit->cpu->at(0x8000), 0x47);
    unit->cpu->write(unit->cpu->at(0xA001), 0x40);
    ASSERT_TRUE(unit->load(2));
    EXPECT_EQ(board.irq_latch, latch);
    EXPECT_EQ(board.bank_select, select);
    EXPECT_EQ(board.prev_bank_select, select);
    EXPECT_FALSE(board.prg_ram_protect);
    EXPECT_EQ(unit->cpu->memory[0xE000], 0x7F);
}

// The boards whose slot block holds their registers: after a load the machine shows the
// banks and nametables of the save, whatever was switched in between.
class BoardSlot : public BoardMachine, public ::testing::WithParamInterface<const char*> {};

TEST_P(BoardSlot, BanksAndMirroringComeBackWithAState) {
    auto unit = console(GetParam());
    run_to_verdict(*unit);
    NES::CPU& cpu = *unit->cpu;
    NES::PPU& ppu = *unit->ppu;
    const std::vector<uint8_t> memory(cpu.memory, cpu.memory + 0x10000);
    const std::vector<uint8_t> video(ppu.video_memory, ppu.video_memory + 0x4000);
    const int32_t mirroring = ppu.mirroring;
    unit->save(1);
    for (const int a : {0x7FFD, 0x7FFE, 0x7FFF, 0x9000, 0xA000, 0xB000, 0xC000, 0xD000, 0xE000, 0xF000, 0xFFF0})
        cpu.write(cpu.at(static_cast<uint16_t>(a)), 0x1F);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(unit->load(1));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), cpu.memory));
    EXPECT_TRUE(std::equal(video.begin(), video.end(), ppu.video_memory));
    EXPECT_EQ(ppu.mirroring, mirroring);
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardSlot,
                         ::testing::Values("board_axrom.nes", "board_bnrom.nes", "board_nina001.nes", "board_gxrom.nes",
                                           "board_color_dreams.nes", "board_camerica.nes", "board_mmc2.nes",
                                           "board_mmc4.nes"),
                         [](const ::testing::TestParamInfo<const char*>& program) {
                             return fs::path(program.param).stem().string();
                         });

// The fetch of tile $FD that moves an MMC2 latch reads the tile from the bank shown before;
// the next tile $FD comes from the bank the latch chose. With fine X scroll f, tile 1 is drawn
// at pixels 8 - f to 15 - f.
TEST_F(BoardMachine, Mmc2TileThatMovesALatchShowsTheBankBeforeIt) {
    auto unit = console("board_mmc2.nes");
    run_to_verdict(*unit);
    NES::CPU& cpu = *unit->cpu;
    NES::PPU& ppu = *unit->ppu;
    auto& board = dynamic_cast<NES::MMC2&>(*unit->rom->mapper);
    // Row 0 of tile $FD: pixel value 1 in 4 KiB bank 3 (the $FE bank), value 2 in bank 2.
    uint8_t* chr = unit->rom->chr_rom.data();
    chr[3 * 0x1000 + 0xFD0] = 0xFF;
    chr[2 * 0x1000 + 0xFD8] = 0xFF;
    cpu.write(cpu.at(0xB000), 2);
    uint8_t* vram = ppu.video_memory;
    std::fill(vram + 0x2000, vram + 0x2400, 0);
    vram[0x2001] = vram[0x2002] = 0xFD;
    vram[0x3F00] = 0x0F;
    vram[0x3F01] = 0x11;
    vram[0x3F02] = 0x22;
    cpu.memory[0x2000] = 0x00;
    cpu.memory[0x2001] = 0x0A;
    for (const uint8_t fine_x : {uint8_t{0}, uint8_t{3}}) {
        board.latches[0] = 1;
        cpu.write(cpu.at(0xC000), 3);
        ppu.scanline = 0;
        ppu.dot = 0;
        ppu.past_visible = 0;
        ppu.v = ppu.t = 0;
        ppu.fine_x = fine_x;
        ppu.run_dots(257);
        EXPECT_EQ(board.latches[0], 0);
        const uint16_t* tile_1 = ppu.frame_index + 8 - fine_x;
        const std::vector<uint16_t> drawn(tile_1, tile_1 + 16);
        std::vector<uint16_t> wanted(8, 0x11);
        wanted.resize(16, 0x22);
        EXPECT_EQ(drawn, wanted) << "fine X " << int(fine_x) << ": tile 1 from bank 3, tile 2 from bank 2";
    }
}
