// The iNES cartridge image: parsing, size checks and bank lookup.
#include "machine/cartridge/rom.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "machine/cartridge/banking.hpp"
#include "machine/state_archive.hpp"

namespace NES {

RomFileError::RomFileError(int e, const std::string& p)
    : std::runtime_error(std::strerror(e)), error_number(e), path(p) {}

namespace {

constexpr long HEADER_LEN = 16;
constexpr long TRAINER_LEN = 512;
constexpr uint64_t KIB = 1024;
// Larger than any real cartridge, small enough for an int and for memory.
constexpr uint64_t MAX_ROM_SIZE = 64 * KIB * KIB;
// No image needs more bytes than this; a file is never read past it.
constexpr long MAX_IMAGE_LEN = HEADER_LEN + TRAINER_LEN + 2 * static_cast<long>(MAX_ROM_SIZE);

const uint8_t MAGIC[4] = {0x4E, 0x45, 0x53, 0x1A};

struct SizeField {
    uint64_t bytes;
    bool too_large;
};

// NES 2.0 exponent-multiplier form: 2^E x (2M + 1) bytes.
SizeField exponent_size(uint8_t field) {
    const unsigned exponent = field >> 2;
    const uint64_t multiplier = 2 * (field & 3u) + 1;
    if (exponent > 26) return {0, true};  // at least 2^27 bytes
    const uint64_t bytes = (uint64_t{1} << exponent) * multiplier;
    return {bytes, bytes > MAX_ROM_SIZE};
}

SizeField count_size(uint64_t count, uint64_t unit) {
    const uint64_t bytes = count * unit;
    return {bytes, bytes > MAX_ROM_SIZE};
}

std::string kib_text(uint64_t bytes) { return std::to_string(bytes) + " bytes"; }

// Refuses images whose power-on or bank copies would leave the PRG ROM.
void check_board_fit(int mapper_number, uint64_t prg_bytes) {
    const BoardInfo* board = board_info(mapper_number);
    if (board == nullptr) return;
    const uint64_t whole_kib = prg_bytes / KIB;
    // Power-on maps whole 8 KiB banks, wrapped modulo the ROM.
    if (board->whole_8k_banks) {
        if (whole_kib < 8 || whole_kib % 8 != 0)
            throw RomFormatError("PRG ROM of " + kib_text(prg_bytes) +
                                 " is not a whole number of 8 KiB banks, which mapper " +
                                 std::to_string(mapper_number) + " needs");
    } else if (whole_kib < static_cast<uint64_t>(board->min_prg_kib)) {
        throw RomFormatError("PRG ROM of " + kib_text(prg_bytes) + " is too small for mapper " +
                             std::to_string(mapper_number) + ", which needs at least " +
                             std::to_string(board->min_prg_kib) + " KiB");
    }
}

}  // namespace

ROM::ROM() {
    std::vector<uint8_t> blank(HEADER_LEN + 16384, 0);
    std::memcpy(blank.data(), MAGIC, 4);
    blank[4] = 1;
    load_arr(static_cast<long>(blank.size()), blank.data());
}

ROM::ROM(const char* path) { load_file(path); }

ROM::ROM(long length, const unsigned char* data) { load_arr(length, data); }

void ROM::load_file(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) throw RomFileError(errno, path);
    // Read in pieces rather than trusting the file's size: directories and devices report none.
    std::vector<uint8_t> image;
    uint8_t piece[65536];
    errno = 0;
    while (static_cast<long>(image.size()) < MAX_IMAGE_LEN) {
        const size_t got = std::fread(piece, 1, sizeof piece, f);
        image.insert(image.end(), piece, piece + got);
        if (got < sizeof piece) break;
    }
    const bool failed = std::ferror(f) != 0;
    const int error_number = errno;
    std::fclose(f);
    if (failed) throw RomFileError(error_number != 0 ? error_number : EIO, path);
    load_arr(static_cast<long>(image.size()), image.data());
}

namespace {

// What a header announces, read before anything of the ROM changes.
struct Layout {
    int mapper_number;
    bool nes2;
    bool trainer;
    SizeField prg;
    SizeField chr;
    uint64_t data_offset;  // where the PRG ROM starts
    uint64_t total;        // the bytes the image needs
};

void check_magic(long length, const unsigned char* data) {
    if (length < HEADER_LEN || data == nullptr)
        throw RomFormatError("cartridge image too short: " + std::to_string(length < 0 ? 0 : length) +
                             " bytes, an iNES header alone is 16");
    if (std::memcmp(data, MAGIC, 4) != 0)
        throw RomFormatError("not an iNES image: the first four bytes are not 4E 45 53 1A (\"NES\" 0x1A)");
}

// Byte 4 (PRG, 16 KiB units) or 5 (CHR, 8 KiB units); NES 2.0 adds a nibble of byte 9 above
// it, and that nibble at 0xF selects the exponent form.
SizeField rom_size(uint8_t count, unsigned high_nibble, uint64_t unit, bool nes2) {
    if (!nes2) return count_size(count, unit);
    if (high_nibble == 0x0F) return exponent_size(count);
    return count_size(uint64_t(high_nibble << 8 | count), unit);
}

// Flags 6: bit 2 trainer, bits 4-7 low mapper nibble. Flags 7: bits 2-3 = 2 mark NES 2.0,
// bits 4-7 high mapper nibble.
Layout read_layout(const unsigned char* data) {
    const uint8_t flags6 = data[6];
    const uint8_t flags7 = data[7];
    Layout layout{};
    layout.mapper_number = (flags6 >> 4) | (flags7 & 0xF0);
    layout.nes2 = (flags7 & 0x0C) == 0x08;
    layout.trainer = (flags6 & 0x04) != 0;
    layout.prg = rom_size(data[4], data[9] & 0x0Fu, 16 * KIB, layout.nes2);
    layout.chr = rom_size(data[5], data[9] >> 4, 8 * KIB, layout.nes2);
    layout.data_offset = HEADER_LEN + (layout.trainer ? TRAINER_LEN : 0);
    layout.total = layout.data_offset + layout.prg.bytes + layout.chr.bytes;
    return layout;
}

void check_sizes(const Layout& layout) {
    const SizeField& prg = layout.prg;
    const SizeField& chr = layout.chr;
    if (prg.too_large) throw RomFormatError("PRG ROM size announced by the header is above the 64 MiB limit");
    if (chr.too_large) throw RomFormatError("CHR ROM size announced by the header is above the 64 MiB limit");
    if (prg.bytes < KIB)
        throw RomFormatError("PRG ROM of " + kib_text(prg.bytes) + " is below 1 KiB: there is no bank to map");
    if (chr.bytes != 0 && chr.bytes < 8 * KIB)
        throw RomFormatError("CHR ROM of " + kib_text(chr.bytes) + " is smaller than the 8 KiB pattern memory");
    check_board_fit(layout.mapper_number, prg.bytes);
}

void check_length(const Layout& layout, long length) {
    if (layout.total <= static_cast<uint64_t>(length)) return;
    throw RomFormatError("cartridge image truncated: the header announces " + std::to_string(layout.total) +
                         " bytes (header" + (layout.trainer ? ", trainer" : "") + ", " +
                         std::to_string(layout.prg.bytes) + " PRG, " + std::to_string(layout.chr.bytes) +
                         " CHR) but only " + std::to_string(length) + " are given");
}

// Flags 6: bit 0 vertical mirroring, bit 1 battery, bit 3 four-screen (over bit 0).
void take_header(ROM& rom, const Layout& layout, const unsigned char* data) {
    std::memcpy(rom.header, data, HEADER_LEN);
    const uint8_t flags6 = data[6];
    rom.battery = (flags6 & 0x02) != 0;
    std::puts(rom.battery ? "Battery" : "No Battery");
    rom.nes2 = layout.nes2;
    rom.mapper = make_mapper(layout.mapper_number);
    rom.mirroring = (flags6 & 0x08) ? 2 : (flags6 & 0x01);
    if (!rom.nes2) {
        std::puts("iNES");
        std::printf("%i\n", static_cast<int>(data[5]));
    }
}

// The trainer, then PRG and CHR back to back.
void take_contents(ROM& rom, const Layout& layout, const unsigned char* data) {
    rom.prg_size = static_cast<int>(layout.prg.bytes);
    rom.chr_size = static_cast<int>(layout.chr.bytes);
    if (layout.trainer) std::memcpy(rom.trainer, data + HEADER_LEN, TRAINER_LEN);
    const uint8_t* prg_start = data + layout.data_offset;
    rom.prg_rom.assign(prg_start, prg_start + rom.prg_size);
    rom.chr_rom.assign(prg_start + rom.prg_size, prg_start + rom.prg_size + rom.chr_size);
    std::vector<uint8_t> identity(data, data + layout.total);
    identity[6] &= static_cast<uint8_t>(~0x02);  // the battery flag
    rom.image_hash = state_hash(identity.data(), identity.size());
}

}  // namespace

void ROM::load_arr(long length, const unsigned char* data) {
    check_magic(length, data);
    const Layout layout = read_layout(data);
    check_sizes(layout);
    check_length(layout, length);
    // The image is sound: from here on nothing fails, so the ROM changes all at once.
    take_header(*this, layout, data);
    take_contents(*this, layout, data);
}

std::vector<uint8_t> ROM::image() const {
    std::vector<uint8_t> out(header, header + HEADER_LEN);
    if (header[6] & 0x04) out.insert(out.end(), trainer, trainer + TRAINER_LEN);
    out.insert(out.end(), prg_rom.begin(), prg_rom.end());
    out.insert(out.end(), chr_rom.begin(), chr_rom.end());
    return out;
}

uint8_t* ROM::get_prg_bank(int n) {
    const int banks = prg_size / 1024;
    if (banks <= 0) return prg_rom.data();
    return prg_rom.data() + static_cast<size_t>(banking::wrap_bank(n, banks)) * 1024;
}

uint8_t* ROM::get_chr_bank(int n) {
    const int banks = chr_size / 1024;
    if (banks <= 0)
        return chr_ram == nullptr ? nullptr : chr_ram + static_cast<size_t>(banking::wrap_bank(n, 8)) * 1024;
    return chr_rom.data() + static_cast<size_t>(banking::wrap_bank(n, banks)) * 1024;
}

namespace {
// Puts a board of class Board back into its power-on state without moving it.
template <class Board, class... Args>
bool reset_in_place(Mapper* board, Args... args) {
    auto* b = dynamic_cast<Board*>(board);
    if (b == nullptr) return false;
    *b = Board(args...);
    return true;
}
}  // namespace

void ROM::reset_mapper() {
    // The PPU keeps a pointer to the board for its per-dot clock, so the fresh board takes
    // the place of the old one instead of being allocated anew.
    const int number = (header[6] >> 4) | (header[7] & 0xF0);
    Mapper* board = mapper.get();
    const BoardInfo* info = board_info(number);
    if (info != nullptr && info->reset(board)) return;
    if (reset_in_place<DEFAULT_MAPPER>(board, number)) {
        std::puts("UNRECOGNIZED MAPPER!");
        return;
    }
    mapper = make_mapper(number);
}

}  // namespace NES
