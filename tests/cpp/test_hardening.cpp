// Hostile inputs and failures: boards put back to power-on in place, save-state blocks that
// no board wrote, and files that are written whole or not at all when a write fails half-way.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/console.hpp"
#include "host/errors.hpp"
#include "host/storage.hpp"
#include "machine/state_layout.hpp"
#include "machine_fixture.hpp"
#include "scratch_home.hpp"

namespace fs = std::filesystem;

namespace {

// An image for `board` whose 8 KiB PRG banks each hold their own number and a loop at $E000
// that turns on rendering (so the MMC3 counts lines); CHR ROM bytes follow a pattern.
std::vector<uint8_t> image(int board, int prg_kib, int chr_kib, uint8_t flags6_low = 0) {
    std::vector<uint8_t> bytes = fixture::ines_image(
        board, static_cast<size_t>(prg_kib), static_cast<size_t>(chr_kib), flags6_low,
        [](size_t i) { return static_cast<uint8_t>(i >> 13); }, [](size_t i) { return static_cast<uint8_t>(i >> 10); });
    static const uint8_t loop[] = {0xA9, 0x1E, 0x8D, 0x01, 0x20, 0x4C, 0x05, 0xE0};  // LDA #$1E STA $2001 JMP *
    static const uint8_t vectors[6] = {0x00, 0xE0, 0x00, 0xE0, 0x00, 0xE0};
    for (int bank = 0; bank < prg_kib / 8; ++bank) {
        uint8_t* b = fixture::prg_of(bytes) + bank * 0x2000;
        std::memcpy(b, loop, sizeof loop);
        std::memcpy(b + 0x2000 - 6, vectors, sizeof vectors);
    }
    return bytes;
}

class Hardening : public ScratchHome {
protected:
    std::unique_ptr<NESUnit> console(const std::vector<uint8_t>& bytes, const char* name = "cart.nes") {
        return quiet_console(name, bytes, NESUnit::DEFAULT_CLOCK_SPEED);
    }
    static std::vector<uint8_t> state_of(NESUnit& unit) {
        std::vector<uint8_t> state(NES::CPU::STATE_SIZE);
        unit.cpu->save_state_bytes(state.data());
        return state;
    }
    static uint8_t* block(std::vector<uint8_t>& state) { return state.data() + NES::state_layout::BLOCK_AT; }
    static void put_le32(uint8_t* out, int32_t v) {
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
    }
    static std::vector<uint8_t> file_bytes(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::vector<fs::path> leftovers(const fs::path& dir) {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().find(".tmp") != std::string::npos) found.push_back(e.path());
        return found;
    }
    void TearDown() override {
        host::set_write_fault_after(SIZE_MAX);
        ScratchHome::TearDown();
    }
};

}  // namespace

// The PPU clocks the board through a pointer it took when the cartridge was attached; a
// board reset must not leave that pointer at a released object.
TEST_F(Hardening, BoardResetKeepsThePpuOnTheLiveBoard) {
    for (const int board : {0, 1, 2, 3, 4, 40, 36}) {
        SCOPED_TRACE("board " + std::to_string(board));
        auto unit = console(image(board, 64, 32));
        unit->runFrame();
        if (board == 4) dynamic_cast<NES::MMC3&>(*unit->rom->mapper).irq_latch = 7;
        if (board == 2) dynamic_cast<NES::UxROM&>(*unit->rom->mapper).prg_bank = 32;
        testing::internal::CaptureStdout();
        unit->rom->reset_mapper();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, board == 36 ? "UNRECOGNIZED MAPPER!\n" : "");
        ASSERT_EQ(unit->ppu->mapper, unit->rom->mapper.get());
        EXPECT_EQ(unit->rom->mapper_number(), board);
        if (board == 4) { EXPECT_EQ(dynamic_cast<NES::MMC3&>(*unit->rom->mapper).irq_latch, 255); }
        if (board == 2) { EXPECT_EQ(dynamic_cast<NES::UxROM&>(*unit->rom->mapper).prg_bank, 0); }
        unit->runFrame();  // the PPU clocks the board on every dot of it
        unit->runFrame();
    }
}

// Blocks that no board of this cartridge wrote (another cartridge's, or edited by hand) map
// real banks of this ROM and leave the interrupt counter in range.
TEST_F(Hardening, ForeignBoardBlocksStayInsideTheCartridge) {
    auto uxrom = console(image(2, 64, 0));
    // Saved bank (1 KiB units) -> the 16 KiB bank of the four this ROM has, in 1 KiB units.
    const std::pair<int32_t, int> cases[] = {{INT_MAX, 48}, {INT_MIN, 0}, {-16, 48}, {5 * 16, 16}, {2 * 16 + 5, 32}};
    for (const auto& [saved, expected] : cases) {
        SCOPED_TRACE("UxROM bank " + std::to_string(saved));
        std::vector<uint8_t> state = state_of(*uxrom);
        put_le32(block(state), saved);
        uxrom->cpu->load_state_bytes(state.data());
        EXPECT_EQ(dynamic_cast<NES::UxROM&>(*uxrom->rom->mapper).prg_bank, expected);
        EXPECT_EQ(uxrom->cpu->memory[0x8100], expected / 8);  // each 8 KiB bank holds its number
        uxrom->runFrame();
    }

    // The counter is restored as saved, whatever it is, and steps without overflowing.
    auto mmc3 = console(image(4, 64, 32));
    auto& board = dynamic_cast<NES::MMC3&>(*mmc3->rom->mapper);
    for (const int32_t saved : {INT_MIN, -2, 100, INT_MAX}) {
        SCOPED_TRACE("MMC3 counter " + std::to_string(saved));
        std::vector<uint8_t> state = state_of(*mmc3);
        put_le32(block(state) + 7, saved);
        mmc3->cpu->load_state_bytes(state.data());
        EXPECT_EQ(board.irq_counter, saved);
        mmc3->runFrame();
        mmc3->runFrame();
        if (saved == INT_MAX) {
            EXPECT_LT(board.irq_counter, INT_MAX);
        } else {
            EXPECT_GE(board.irq_counter, -1);
            EXPECT_LE(board.irq_counter, 255);
        }
    }
}

// A full disk half-way through a save leaves the previous slot file as it was, or no file
// when there was none, and no temporary file beside it.
TEST_F(Hardening, FailedSaveKeepsThePreviousSlot) {
    auto unit = console(image(0, 32, 8));
    unit->runFrame();
    unit->save(1);
    const fs::path slot = fs::path(unit->getSaveDir()) / "1";
    const std::vector<uint8_t> before = file_bytes(slot);
    ASSERT_EQ(before.size(), static_cast<size_t>(NES::CPU::STATE_SIZE));

    unit->cpu->memory[0x0400] ^= 0xFF;  // the state to save differs from the file
    for (const size_t fault :
         {size_t{0}, size_t{4096}, size_t{NES::CPU::STATE_SIZE / 2}, size_t{NES::CPU::STATE_SIZE - 1}}) {
        SCOPED_TRACE("fault after " + std::to_string(fault));
        host::set_write_fault_after(fault);
        try {
            unit->save(1);
            FAIL() << "the save succeeded";
        } catch (const FileError& e) {
            EXPECT_EQ(e.error_number, ENOSPC);
            EXPECT_EQ(e.path, slot.string());
        }
        EXPECT_THROW(unit->save(2), FileError);
        EXPECT_EQ(file_bytes(slot), before);
        EXPECT_FALSE(fs::exists(slot.parent_path() / "2"));
        EXPECT_TRUE(leftovers(slot.parent_path()).empty());
    }
    host::set_write_fault_after(NES::CPU::STATE_SIZE);  // exactly enough
    unit->save(1);
    EXPECT_NE(file_bytes(slot), before);
    EXPECT_TRUE(unit->load(1));
}

TEST_F(Hardening, FailedBatteryWriteKeepsThePreviousRam) {
    auto unit = console(image(0, 32, 8, 0x02), "battery.nes");
    unit->cpu->write(unit->cpu->at(0x6000), 0x11);
    unit->stop();
    const fs::path ram = fs::path(unit->cart_dir) / "ram";
    const std::vector<uint8_t> before = file_bytes(ram);
    ASSERT_EQ(before.size(), 8192u);
    EXPECT_EQ(before[0], 0x11);

    unit->cpu->write(unit->cpu->at(0x6000), 0x22);
    host::set_write_fault_after(4096);
    EXPECT_THROW(unit->stop(), FileError);
    EXPECT_EQ(file_bytes(ram), before);
    EXPECT_TRUE(leftovers(ram.parent_path()).empty());

    host::set_write_fault_after(SIZE_MAX);
    unit->stop();
    EXPECT_EQ(file_bytes(ram)[0], 0x22);
}

// The opcodes $02, $12, ... $F2 have no operation and 0 in both cycle tables, so code made
// of them runs without emulated time passing: the fuzzer found a cartridge whose frames took
// six million instructions each, and code spread over RAM could keep a frame from ending.
// They take two cycles, as an immediate does.
TEST_F(Hardening, EveryInstructionTakesTime) {
    std::vector<uint8_t> jam = image(0, 16, 8);
    std::memset(jam.data() + 16, 0x02, 0x4000 - 6);  // $02 everywhere up to the vectors
    const uint8_t vectors[6] = {0x00, 0x80, 0x00, 0x80, 0x00, 0x80};
    std::memcpy(jam.data() + 16 + 0x4000 - 6, vectors, sizeof vectors);
    auto unit = console(jam);
    for (int i = 0; i < 1000; ++i) unit->single_cycle();
    EXPECT_GE(unit->cycle_count(), 2 * 1000);
}
