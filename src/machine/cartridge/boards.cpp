// Stub: replaced by the boards.
#include "machine/cartridge/mapper.hpp"
namespace NES {
std::unique_ptr<Mapper> make_mapper(int number) {
    if (number == 0) return std::make_unique<NROM>();
    return std::make_unique<DEFAULT_MAPPER>(number);
}
bool mapper_supported(int number) { return number == 0; }
void UxROM::map_write(Context&, Loc, uint8_t*) {}
void UxROM::serialize(Context&, uint8_t*) {}
void UxROM::deserialize(Context&, const uint8_t*) {}
void CNROM::map_write(Context&, Loc, uint8_t*) {}
void CNROM::serialize(Context&, uint8_t*) {}
void CNROM::deserialize(Context&, const uint8_t*) {}
void MMC1::map_write(Context&, Loc, uint8_t*) {}
void MMC1::control(CPU*, PPU*, uint8_t) {}
void MMC3::map_write(Context&, Loc, uint8_t*) {}
void MMC3::clock(Context&) {}
void MMC3::serialize(Context&, uint8_t*) {}
void MMC3::deserialize(Context&, const uint8_t*) {}
void MMC3::scanline_clock(CPU*) {}
void NTDEC2722::map_write(Context&, Loc, uint8_t*) {}
void NTDEC2722::clock(Context&) {}
}  // namespace NES
