// Stub: replaced by the iNES parser.
#include "machine/cartridge/rom.hpp"
#include <cstring>
namespace NES {
RomFileError::RomFileError(int e, const std::string& p) : std::runtime_error(std::strerror(e)), error_number(e), path(p) {}
ROM::ROM() : prg_rom(16384), prg_size(16384), mapper(make_mapper(0)) {}
ROM::ROM(const char* path) : ROM() { (void)path; }
ROM::ROM(long, const unsigned char*) : ROM() {}
void ROM::load_file(const char*) {}
void ROM::load_arr(long, const unsigned char*) {}
uint8_t* ROM::get_prg_bank(int) { return prg_rom.data(); }
uint8_t* ROM::get_chr_bank(int) { return chr_ram; }
void ROM::reset_mapper() {}
}  // namespace NES
