// Board selection by iNES mapper number.
#include <cstdio>

#include "machine/cartridge/mapper.hpp"

namespace NES {

std::unique_ptr<Mapper> make_mapper(int number) {
    switch (number) {
        case 0: return std::make_unique<NROM>();
        case 1: return std::make_unique<MMC1>();
        case 2: return std::make_unique<UxROM>();
        case 3: return std::make_unique<CNROM>();
        case 4: return std::make_unique<MMC3>();
        case 40: return std::make_unique<NTDEC2722>();
        default:
            std::puts("UNRECOGNIZED MAPPER!");
            return std::make_unique<DEFAULT_MAPPER>(number);
    }
}

bool mapper_supported(int number) {
    switch (number) {
        case 0: case 1: case 2: case 3: case 4: case 40: return true;
        default: return false;
    }
}

}  // namespace NES
