// The iNES cartridge image: header, PRG and CHR contents, mirroring, battery and board.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/cartridge/mapper.hpp"
#include "machine/common.hpp"

namespace NES {

// An image that is not a valid iNES image (too short, no magic, sizes that do not fit).
class RomFormatError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A cartridge file that cannot be opened or read; carries the errno and the path.
class RomFileError : public std::runtime_error {
public:
    RomFileError(int error_number, const std::string& path);
    int error_number;
    std::string path;
};

class ROM {
public:
    bool battery = false;
    std::vector<uint8_t> prg_rom;
    std::vector<uint8_t> chr_rom;
    uint8_t* chr_ram = nullptr;  // the PPU's pattern memory when there is no CHR ROM
    int mirroring = 0;
    bool nes2 = false;
    uint8_t header[16] = {};
    uint8_t trainer[512] = {};
    int prg_size = 0;
    int chr_size = 0;
    std::unique_ptr<Mapper> mapper;
    // A checksum of the header, trainer, PRG and CHR: which cartridge a snapshot belongs to.
    // The header's battery flag is left out: it decides only whether the host keeps the RAM in
    // a file, so a game's snapshot fits a copy whose flag was cleared (as environments do).
    uint64_t image_hash = 0;

    ROM();                                        // the blank cartridge
    explicit ROM(const char* path);               // throws RomFileError, RomFormatError
    ROM(long length, const unsigned char* data);  // throws RomFormatError

    void load_file(const char* path);
    void load_arr(long length, const unsigned char* data);
    uint8_t* get_prg_bank(int n);
    uint8_t* get_chr_bank(int n);
    void reset_mapper();
    int mapper_number() const { return mapper ? mapper->mapper_number : -1; }
    // The iNES image again (header, trainer, PRG, CHR), which loads as this cartridge.
    std::vector<uint8_t> image() const;
};

}  // namespace NES
