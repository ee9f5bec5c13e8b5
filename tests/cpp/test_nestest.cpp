// Runs nestest's automated mode and compares every official-opcode step with its reference log.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "machine_fixture.hpp"

namespace {

struct LogLine {
    unsigned pc, a, x, y, p, sp;
    long cycles;
    bool unofficial;
};

bool parse(const std::string& text, LogLine& line) {
    const auto field = [&](const char* name, unsigned& out) {
        const size_t at = text.find(name);
        return at != std::string::npos &&
               std::sscanf(text.c_str() + at + std::char_traits<char>::length(name), "%x", &out) == 1;
    };
    const size_t cyc = text.find("CYC:");
    if (cyc == std::string::npos || std::sscanf(text.c_str(), "%x", &line.pc) != 1) return false;
    line.cycles = std::stol(text.substr(cyc + 4));
    // The mnemonic column starts at 16; unofficial opcodes are marked with '*' just before it.
    line.unofficial = text.size() > 15 && text[15] == '*';
    return field(" A:", line.a) && field(" X:", line.x) && field(" Y:", line.y) && field(" P:", line.p) &&
           field(" SP:", line.sp);
}

}  // namespace

TEST(Nestest, OfficialOpcodesMatchTheReferenceLog) {
    const std::string dir = ZUMBREL_SHARED_ROMS "/cpu/";
    std::FILE* rom_file = std::fopen((dir + "nestest.nes").c_str(), "rb");
    std::ifstream log_file(dir + "nestest.log");
    if (rom_file == nullptr || !log_file) {
        if (rom_file) std::fclose(rom_file);
        GTEST_SKIP() << "nestest.nes or nestest.log not found in " << dir;
    }
    std::vector<uint8_t> image(16 + 16384);
    const size_t got = std::fread(image.data(), 1, image.size(), rom_file);
    std::fclose(rom_file);
    ASSERT_EQ(got, image.size()) << "nestest.nes is shorter than a 16 KiB NROM image";

    std::vector<LogLine> log;
    for (std::string text; std::getline(log_file, text);) {
        LogLine line{};
        ASSERT_TRUE(parse(text, line)) << "unreadable log line " << log.size() + 1 << ": " << text;
        log.push_back(line);
    }
    ASSERT_GT(log.size(), 5003u);

    // No cartridge: the 16 KiB PRG is placed at both $8000 and $C000 by hand.
    fixture::Machine m;
    NES::CPU& cpu = *m.cpu;
    std::copy(image.begin() + 16, image.end(), cpu.memory + 0x8000);
    std::copy(image.begin() + 16, image.end(), cpu.memory + 0xC000);
    cpu.PC = cpu.at(0xC000);
    cpu.SP = 0xFD;
    cpu.P = 0x24;

    size_t checked = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        const LogLine& want = log[i];
        const std::string where = "log line " + std::to_string(i + 1);
        ASSERT_EQ(m.pc(), want.pc) << where;
        ASSERT_EQ(cpu.A, want.a) << where;
        ASSERT_EQ(cpu.X, want.x) << where;
        ASSERT_EQ(cpu.Y, want.y) << where;
        ASSERT_EQ(cpu.SP, want.sp) << where;
        ASSERT_EQ(cpu.P & 0xCF, want.p & 0xCF) << where << " (P, bits 4 and 5 ignored)";
        ++checked;
        if (want.unofficial) break;
        const int64_t cycles = m.step();
        ASSERT_EQ(cycles, log[i + 1].cycles - want.cycles)
            << where << ": cycles of the instruction at " << std::hex << want.pc;
    }
    EXPECT_EQ(checked, 5004u) << "the first unofficial opcode is on line 5004";
    EXPECT_EQ(cpu.memory[0x02], 0) << "nestest's official-opcode error code";
}
